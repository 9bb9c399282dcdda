#pragma once
// One stream per connected radio user: its callsign, the engine port it came in on, an idle
// counter, its own cluster socket winsckOut(i) and keep-alive timer tmrKeepAlive(i). Index 0 is
// the template of the sockets and timers and never a stream. Slots are reused, lowest first,
// before the table grows; nothing is ever removed.
#include "net/Socket.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <set>
#include <vector>

class Monitor;

class StreamTable : public QObject {
    Q_OBJECT
public:
    // Indices address sockets and timers as 16-bit signed numbers.
    static constexpr int kMaxIndex = 32767;
    // Text a user types before the stream's cluster connection is up is held, up to this much.
    static constexpr qsizetype kMaxHeldBytes = 64 * 1024;
    // A cluster node that leaves this much of a user's text unread has stopped reading: the
    // stream is ended like a failed connection.
    static constexpr qint64 kMaxNodeQueue = 1024 * 1024;

    StreamTable(Monitor& monitor, SocketFactory clusterSockets, QObject* parent = nullptr);
    ~StreamTable() override;

    // winsckOut(0) and tmrKeepAlive(0): every later socket and timer copies their settings.
    Socket& templateSocket() { return *m_slots[0].socket; }
    QTimer& templateTimer() { return *m_slots[0].timer; }

    // N, the highest index.
    int highestIndex() const { return static_cast<int>(m_slots.size()) - 1; }

    const QByteArray& callsign(int i) const { return at(i).callsign; }
    qint16 port(int i) const { return at(i).port; }
    qint32 idle(int i) const { return at(i).idle; }
    void setIdle(int i, qint32 v) { at(i).idle = v; }
    Socket& winsckOut(int i) { return *at(i).socket; }
    QTimer& tmrKeepAlive(int i) { return *at(i).timer; }

    // Text typed before the cluster connection was up, waiting to be sent after the login line.
    QByteArray& held(int i) { return at(i).held; }

    // The first slot from 1 whose callsign equals call (exact, case-sensitive); 0 if none.
    int find(const QByteArray& call) const;

    // Opens a stream for call arriving on port: the slot that holds call (port, idle and timer
    // restart only), else the lowest free slot (socket closed and connected again), else a new
    // index. Returns the index. Throws Failure when the table would grow past kMaxIndex; nothing
    // is created then. The caller refuses an empty callsign before this.
    int open(const QByteArray& call, int port);

    // Frees slot i (empty callsign) and drops its held text. The caller closes winsckOut(i).
    void release(int i);

    // List3 ("Connected Calls"): N + 1 rows.
    int rowCount() const { return static_cast<int>(m_slots.size()); }
    QString connectedCallsRow(int r) const;
    void refreshList3();

    // Stops (false) or resumes (true) reading every cluster connection, present and future.
    void setReadingAll(bool on);
    bool readingAll() const { return m_reading; }

    // Slots in use, for diagnostics and tests.
    int inUse() const { return static_cast<int>(m_index.size()); }

signals:
    // The cluster socket events and the keep-alive tick, with the stream's index.
    void clusterConnected(int index);
    void clusterData(int index);
    void clusterClosed(int index);
    void clusterError(int index, const QString& description);
    void keepAliveTick(int index);

private:
    struct Slot {
        QByteArray callsign;
        qint16 port = 0;
        qint32 idle = 0;
        QByteArray held;
        std::unique_ptr<Socket> socket;
        std::unique_ptr<QTimer> timer;
    };
    const Slot& at(int i) const;
    Slot& at(int i);
    void wire(int i);
    static void restart(QTimer& t);

    Monitor& m_monitor;
    SocketFactory m_factory;
    std::vector<Slot> m_slots;
    // Lookups cost the same whatever the number of users: callsign -> its slot (a callsign holds
    // at most one slot), and the free slots in ascending order.
    QHash<QByteArray, int> m_index;
    std::set<int> m_free;
    bool m_reading = true;
};

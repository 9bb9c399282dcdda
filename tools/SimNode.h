#pragma once
// The simulated DX-cluster node: one plain-text connection per user, the callsign as the
// first line, a greeting, a few commands and a stream of generated spots. For measurements it can
// flood each user after the login (`sh/dx`-like lines at once, then more spread over a time),
// writing without waiting, and tells when a user's writes first block because the system's send
// buffer is full.
#include "tools/SimServer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

namespace sim {

class SimNode : public QObject {
    Q_OBJECT
public:
    struct Counters {
        quint64 logins = 0;       // callsign lines taken
        quint64 linesIn = 0;      // non-blank lines from logged-in users
        quint64 linesOut = 0;     // lines written to users
        quint64 spotsDropped = 0; // spots not queued to a user that does not read
    };

    // What a write to a user carries.
    enum class Kind { Reply, Spot, Flood };

    explicit SimNode(QObject* parent = nullptr);
    ~SimNode() override;

    bool listen(quint16 port, QString& error);
    quint16 port() const;

    // Spots per second to every logged-in user; 0 stops them.
    void setSpotRate(double perSecond);
    // After each login: `bytes` of `sh/dx`-like lines at once (0: none).
    void setFlood(qint64 bytes) { m_floodBytes = bytes; }
    // After the flood: `bytes` more spread evenly over `seconds` (0 bytes: none).
    void setStream(qint64 bytes, double seconds);
    // The system's send buffer of each new connection, in bytes (0: the system's default).
    void setSendBuffer(int bytes) { m_sendBuffer = bytes; }
    // Spots go to the first `users` logins only (0: to everybody).
    void setSpotUsers(int users) { m_spotUsers = users; }
    // Users whose stream has not been written in full yet.
    int streaming() const;
    // Sends one line (CR LF added) to every logged-in user.
    void broadcast(const QByteArray& line);
    int loggedIn() const;
    const Counters& counters() const { return m_counters; }

signals:
    void userLoggedIn(const QByteArray& call);
    // A non-blank line from a logged-in user, without its line end.
    void userLine(const QByteArray& call, const QByteArray& line);
    void userLeft(const QByteArray& call);
    // Bytes written to a logged-in user, as handed to the socket.
    void wrote(const QByteArray& call, const QByteArray& bytes, sim::SimNode::Kind kind);
    // A user's writes blocked for the first time: `toSystem` bytes had been taken by then.
    void writeBlocked(const QByteArray& call, qint64 toSystem);

private:
    struct Client {
        LineSplitter splitter;
        QByteArray call; // empty until the first line
        bool spots = true;
        qint64 written = 0; // bytes handed to the socket
        bool blocked = false;
        qint64 streamed = -1; // -1: no stream (or done)
        QElapsedTimer streamClock;
    };

    void onNewConnection(QTcpSocket* s);
    void onReadyRead(QTcpSocket* s);
    void onClosed(QTcpSocket* s);
    void handleLine(QTcpSocket* s, Client& c, const QByteArray& line);
    void writeLines(QTcpSocket* s, const QList<QByteArray>& lines, Kind kind = Kind::Reply);
    // Writes to a logged-in user without waiting, and notes the first time the system's send
    // buffer is full.
    void writeTo(QTcpSocket* s, Client& c, const QByteArray& bytes, Kind kind);
    void flood(QTcpSocket* s, Client& c, qint64 bytes);
    void streamTick();
    QByteArray prompt(const QByteArray& call) const;
    void spotTick();
    void addSpot(const Spot& spot);

    PeerServer* m_server = nullptr;
    QHash<QTcpSocket*, Client> m_clients;
    SpotGenerator m_spots;
    QList<Spot> m_recent; // newest last, at most kRecentSpots
    double m_spotRate = 0;
    QTimer m_spotTimer;
    QElapsedTimer m_spotClock;
    qint64 m_spotsDone = 0;
    SpotGenerator m_floodLines{7};
    qint64 m_floodBytes = 0;
    qint64 m_streamBytes = 0;
    double m_streamSeconds = 0;
    QTimer m_streamTimer;
    int m_spotUsers = 0;
    int m_sendBuffer = 0;
    int m_loginCount = 0;
    Counters m_counters;
};

} // namespace sim

#pragma once
// The index of the sessions: callsign -> session, and slot numbers, the lowest free slot taken
// first, at most kMaxSlots. Slot 0 is never a session. The table owns its sessions and drives
// the connected-calls list: one row per slot, the callsign of a session, " *gone*" for a free
// slot and an empty row for slot 0.
#include "relay/Session.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class Monitor;

class SessionTable : public QObject {
    Q_OBJECT
public:
    // Slot numbers are 16-bit signed numbers.
    static constexpr int kMaxSlots = 32767;

    SessionTable(SessionContext context, Monitor& monitor, QObject* parent = nullptr);
    ~SessionTable() override;

    // The cluster node's address, once start-up has taken it; until then no session starts.
    void setNodeAddress(const NodeAddress& address) { m_address = address; }
    const std::optional<NodeAddress>& nodeAddress() const { return m_address; }

    // The session of a callsign (exact, case-sensitive), or none.
    Session* find(const QByteArray& callsign) const;
    // The session in a slot, or none.
    Session* at(int slot) const;

    // A radio user connected: the session that holds the callsign is told so (on another radio
    // port, the newest radio link takes the session over and the old one is disconnected);
    // otherwise a new session takes the lowest free slot (or the table grows by one) and connects
    // to the node. Throws Failure when the table is full or no node address was taken; nothing
    // changes then.
    Session* open(const QByteArray& callsign, quint8 port);

    // Whether a radio user with this callsign is never logged in, and why.
    RefusedCalls::Refusal refuses(const QByteArray& callsign) const;

    // True while a new session's node connection would leave the program too few descriptors.
    bool descriptorsLow() const;

    // Ends every session for one reason; returns how many there were.
    int endAll(Session::End reason);

    // The highest slot ever used; the connected-calls list has one row more.
    int highestSlot() const { return static_cast<int>(m_slots.size()) - 1; }
    int inUse() const { return static_cast<int>(m_index.size()); }
    // Sessions started since the table was made.
    quint64 started() const { return m_started; }
    // Text bytes the sessions that have ended sent to the node and received from it.
    quint64 endedToNodeBytes() const { return m_endedToNode; }
    quint64 endedFromNodeBytes() const { return m_endedFromNode; }

    // The link turned out to be paced: every session is told.
    void linkPaced();

    // Stops (false) or resumes (true) reading every node connection, present and future.
    void setReading(bool on);
    bool reading() const { return m_reading; }

    // How often the engine is asked for the frames of each user who waits for it.
    static constexpr int kAskIntervalMs = 500;
    // Sessions waiting for the engine now.
    int pacingBusy() const { return int(m_pacingBusy.size()); }

    // Deletes the sessions that have ended. Runs on its own from the event loop; callers that
    // drive the table without one call it between events.
    void reap();

private:
    void onEnded(Session* session);
    void onPacingBusy(Session* session, bool busy);
    void askEngine();

    SessionContext m_context;
    Monitor& m_monitor;
    std::optional<NodeAddress> m_address;
    std::vector<Session*> m_slots; // index 0 stays empty
    // Lookups cost the same whatever the number of users: callsign -> session, and the free
    // slots in ascending order.
    QHash<QByteArray, Session*> m_index;
    std::set<int> m_free;
    std::vector<std::unique_ptr<Session>> m_ended; // ended, to be deleted outside their events
    QTimer m_reaper;
    // The sessions that wait for the engine, asked for their frames at every tick.
    std::set<Session*> m_pacingBusy;
    QTimer m_askTimer;
    bool m_reading = true;
    quint64 m_started = 0;
    quint64 m_endedToNode = 0, m_endedFromNode = 0;
};

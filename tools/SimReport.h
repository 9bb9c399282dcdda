#pragma once
// What the simulator measures of a run, per user session, in plain code fed with events and
// their times: what the node wrote to a user against what reached the engine and what aired
// (the node's CR LF becomes the gateway's CR), the frames the engine held, the "Y" requests, the
// latency from a node write to the first frame carrying it, and the moment the node's writes
// first blocked. A user's n-th connection at the engine pairs with its n-th login at the node.
#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <vector>

namespace sim {

class TrafficRecord {
public:
    struct Session {
        QByteArray call;
        int ordinal = 0; // 1 for a user's first connection
        // node side
        double loginMs = -1, firstWriteMs = -1, nodeClosedMs = -1;
        QByteArray expected; // what the node wrote, as the radio user should get it
        qint64 rawWritten = 0;
        qint64 spotWrites = 0;
        qint64 blockedHeld = -1; // written but not at the engine when the writes first blocked
        double blockedMs = -1;
        qint64 blockedToSystem = -1; // bytes the system had taken by then
        // engine side
        double connectMs = -1, userLeftMs = -1, engineEndMs = -1;
        qint64 arrived = 0; // bytes of "D" frames at the engine
        qint64 aired = 0;
        qint64 mismatchAt = -1; // first byte that aired but differs from what the node wrote
        qint64 framesAired = 0;
        int maxOutstanding = 0;
        double maxOutstandingMs = -1; // when it was first reached
        quint64 polls = 0;            // "Y" requests
        quint64 idlePolls = 0;        // "Y" requests with nothing held anywhere for the user
        double lastAiredMs = -1;

        struct Write {
            qint64 radioStart; // where its text starts in `expected`
            double ms;
        };
        std::vector<Write> writes;
        size_t nextArrival = 0; // the first write whose text has not reached the engine

        bool complete() const { return mismatchAt < 0 && aired == expected.size(); }
        // Seconds the engine had the user connected (until `nowMs` while it still is).
        double connectedSeconds(double nowMs) const;
    };

    // node side
    void nodeLogin(const QByteArray& call, double ms);
    void nodeWrote(const QByteArray& call, const QByteArray& bytes, bool spot, double ms);
    void nodeBlocked(const QByteArray& call, qint64 toSystem, double ms);
    void nodeClosed(const QByteArray& call, double ms);
    // engine side
    void engineConnect(const QByteArray& call, double ms);
    // The user left (byUser) or the gateway disconnected it.
    void engineGone(const QByteArray& call, bool byUser, double ms);
    void engineArrived(const QByteArray& call, const QByteArray& data, int outstanding, double ms);
    void engineAired(const QByteArray& call, const QByteArray& data, double ms);
    void enginePolled(const QByteArray& call, int outstanding, double ms);

    const std::vector<Session>& sessions() const { return m_sessions; }
    const Session* session(const QByteArray& call, int ordinal) const;
    // Node write to the first "D" frame carrying it, in ms, every write that has arrived.
    const std::vector<double>& latencies() const { return m_latencies; }
    // True when every user still connected at the engine has had all the node wrote aired, and
    // the node wrote something.
    bool allAired() const;

    // The figures in one line, and per session as JSON.
    QString summary(double nowMs) const;
    QJsonObject report(double nowMs) const;

private:
    Session& at(QHash<QByteArray, int>& ordinals, const QByteArray& call, bool next);
    Session* current(const QHash<QByteArray, int>& ordinals, const QByteArray& call);

    std::vector<Session> m_sessions;
    QHash<QByteArray, int> m_index;       // "call#ordinal" -> place in m_sessions
    QHash<QByteArray, int> m_nodeOrdinal; // a call's latest login at the node
    QHash<QByteArray, int> m_engineOrdinal;
    std::vector<double> m_latencies;
};

// The value below which the share `q` (0 to 1) of the values lie; 0 for none.
double quantile(std::vector<double> values, double q);

} // namespace sim

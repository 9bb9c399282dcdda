#pragma once
// Scripts for the simulated radio users: the demo (a handful of users who connect, ask for
// spots, say hello and leave, round after round) and the load (many users sending lines at a
// given rate). On an engine of several radio ports the users take the ports in turn.
#include "tools/SimEngine.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

namespace sim {

class SimUsers : public QObject {
    Q_OBJECT
public:
    // With a radio model, users start this long after the gateway's registration.
    static constexpr int kFirstUserDelayMs = 1000;
    struct Timing {
        int connectGapMs = 700;    // between the demo users' connects
        int greetingWaitMs = 5000; // longest wait for the node's greeting before typing anyway
        int firstLineMs = 1000;    // demo: greeting to "sh/dx"
        int helloMs = 2000;        // demo: "sh/dx" to the hello line
        int leaveMs = 3000;        // demo: hello line to leaving; load: last line to leaving
        int roundGapMs = 4000;     // demo: all users gone to the next round
    };

    // users < 0: the demo; otherwise that many load users, each sending linesPerUser lines
    // (0: none, and they stay) at `rate` lines per second in all (0: as fast as the gateway
    // takes them). The script starts when the engine reports the gateway's registration.
    SimUsers(SimEngine* engine, int users, int linesPerUser, double rate, quint8 radioPort,
             QObject* parent = nullptr);

    void setTiming(const Timing& t) { m_timing = t; }
    // Load: each user leaves `leaveMs` after connecting (0: no), and connects again `rejoinMs`
    // later, once (0: no).
    void setLeave(int leaveMs, int rejoinMs) {
        m_leaveMs = leaveMs;
        m_rejoinMs = rejoinMs;
    }
    // Load users that left and will connect again.
    int rejoinsPending() const { return m_rejoinsPending; }
    static QList<QByteArray> demoCalls();
    static QByteArray loadCall(int index);

signals:
    // A user typed a line (for printing).
    void typed(const QByteArray& call, const QByteArray& line);
    // Load: every user has sent its lines and left.
    void loadDone();

private:
    struct User {
        int lines = 0; // lines still to send (load)
        int step = 0;  // demo: the next step
        bool greeted = false;
        bool ready = false; // may type
        bool gone = true;
        quint64 epoch = 0; // bumped to cancel what was scheduled for the user
    };

    void onRegistered();
    void onPortRegistered(quint8 port);
    // The radio port of the user in this place of the connect order.
    quint8 portOf(qsizetype index) const;
    // Load: connects a user and enters it in the script; false when its port is not open yet.
    bool connectLoadUser(const QByteArray& call, quint8 port);
    void onUserLine(const QByteArray& call, const QByteArray& line);
    void onUserGone(const QByteArray& call);
    void startDemoRound();
    void demoStep(const QByteArray& call);
    void startLoad();
    void loadReady(const QByteArray& call);
    void loadTick();
    void loadLeave(const QByteArray& call);
    void leaveAndRejoin(const QByteArray& call, quint8 port);
    void type(const QByteArray& call, const QByteArray& line);
    // Runs demoStep for the user after `ms`, unless the user's epoch changes meanwhile.
    void after(const QByteArray& call, int ms);

    SimEngine* m_engine;
    int m_userCount;
    int m_linesPerUser;
    double m_rate;
    quint8 m_radioPort;
    Timing m_timing;
    QHash<QByteArray, User> m_users;
    QList<QByteArray> m_order;           // the demo users in connect order
    QHash<QByteArray, quint8> m_waiting; // load users whose port the gateway has not registered
    bool m_running = false;
    quint64 m_nextEpoch = 0;
    // Load pacing: ready users take turns.
    QList<QByteArray> m_ready;
    qsizetype m_turn = 0;
    QTimer m_loadTimer;
    QElapsedTimer m_loadClock;
    qint64 m_loadDone = 0;
    int m_loadLeft = 0; // users not yet gone
    int m_leaveMs = 0;
    int m_rejoinMs = 0;
    int m_rejoinsPending = 0;
    QSet<QByteArray> m_rejoined;
};

} // namespace sim

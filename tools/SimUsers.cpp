#include "tools/SimUsers.h"

#include <QTimer>

namespace sim {
namespace {
// Flat out: keep at most this much queued towards the gateway.
constexpr qint64 kFloodQueue = 256 * 1024;
// At most this many lines in one tick, whatever the rate.
constexpr qint64 kLoadBurst = 50000;
} // namespace

SimUsers::SimUsers(SimEngine* engine, int users, int linesPerUser, double rate, quint8 radioPort,
                   QObject* parent)
    : QObject(parent), m_engine(engine), m_userCount(users), m_linesPerUser(linesPerUser),
      m_rate(rate), m_radioPort(radioPort) {
    connect(m_engine, &SimEngine::gatewayRegistered, this, &SimUsers::onRegistered);
    connect(m_engine, &SimEngine::portRegistered, this, &SimUsers::onPortRegistered);
    connect(m_engine, &SimEngine::userLine, this, &SimUsers::onUserLine);
    connect(m_engine, &SimEngine::userGone, this,
            [this](const QByteArray& call, bool) { onUserGone(call); });
    connect(&m_loadTimer, &QTimer::timeout, this, &SimUsers::loadTick);
    connect(m_engine, &SimEngine::drained, this, [this] {
        if (m_rate <= 0 && m_loadTimer.isActive()) loadTick();
    });
}

QList<QByteArray> SimUsers::demoCalls() {
    return {"G4ABC", "DL2XYZ", "JA1QRP"};
}

QByteArray SimUsers::loadCall(int index) {
    return "SIM" + QByteArray::number(index + 1);
}

void SimUsers::onRegistered() {
    if (m_running) return;
    m_running = true;
    // Radio users come a moment after the link, as people do, not in the millisecond of the
    // registration: a gateway has learnt by then whether the engine reports its frames.
    QTimer::singleShot(m_engine->hasRadio() ? kFirstUserDelayMs : 0, this, [this] {
        if (m_userCount < 0)
            startDemoRound();
        else
            startLoad();
    });
}

quint8 SimUsers::portOf(qsizetype index) const {
    const int ports = m_engine->ports();
    return ports > 1 ? quint8(index % ports) : m_radioPort;
}

void SimUsers::onPortRegistered(quint8 port) {
    if (!m_running || m_userCount < 0) return;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (it.value() == port && connectLoadUser(it.key(), port))
            it = m_waiting.erase(it);
        else
            ++it;
    }
}

bool SimUsers::connectLoadUser(const QByteArray& call, quint8 port) {
    if (!m_engine->connectUser(call, port)) return false;
    User u;
    u.lines = m_linesPerUser;
    u.gone = false;
    m_users.insert(call, u);
    ++m_loadLeft;
    if (m_leaveMs > 0 && !m_rejoined.contains(call))
        QTimer::singleShot(m_leaveMs, this, [this, call, port] { leaveAndRejoin(call, port); });
    return true;
}

void SimUsers::type(const QByteArray& call, const QByteArray& line) {
    if (m_engine->sendLine(call, line)) emit typed(call, line);
}

void SimUsers::after(const QByteArray& call, int ms) {
    const quint64 epoch = ++m_nextEpoch;
    m_users[call].epoch = epoch;
    QTimer::singleShot(ms, this, [this, call, epoch] {
        const auto it = m_users.constFind(call);
        if (it != m_users.constEnd() && it->epoch == epoch && !it->gone) demoStep(call);
    });
}

void SimUsers::onUserLine(const QByteArray& call, const QByteArray&) {
    const auto it = m_users.find(call);
    if (it == m_users.end() || it->greeted) return;
    it->greeted = true;
    if (m_userCount < 0) {
        if (it->step == 1) demoStep(call); // the greeting came: the timeout is superseded
    } else {
        loadReady(call);
    }
}

void SimUsers::onUserGone(const QByteArray& call) {
    const auto it = m_users.find(call);
    if (it == m_users.end() || it->gone) return;
    it->gone = true;
    it->epoch = ++m_nextEpoch;
    if (m_userCount < 0) {
        for (const User& u : std::as_const(m_users))
            if (!u.gone) return;
        // Everybody left: the next round, if the gateway is still there.
        QTimer::singleShot(m_timing.roundGapMs, this, [this] {
            if (m_engine->gatewayReady())
                startDemoRound();
            else
                m_running = false; // the next registration starts a round
        });
        return;
    }
    if (it->ready && it->lines > 0) m_ready.removeOne(call);
    if (--m_loadLeft == 0 && m_linesPerUser > 0) emit loadDone();
}

// ---- demo ----

void SimUsers::startDemoRound() {
    m_users.clear();
    m_order = demoCalls();
    for (qsizetype i = 0; i < m_order.size(); ++i) {
        User u;
        u.gone = false;
        m_users.insert(m_order[i], u);
        after(m_order[i], int(i) * m_timing.connectGapMs);
    }
}

void SimUsers::demoStep(const QByteArray& call) {
    User& u = m_users[call];
    switch (u.step) {
    case 0:
        if (!m_engine->connectUser(call, portOf(m_order.indexOf(call)))) {
            onUserGone(call);
            return;
        }
        u.step = 1;
        after(call, m_timing.greetingWaitMs); // unless the greeting comes first
        break;
    case 1:
        u.step = 2;
        after(call, m_timing.firstLineMs);
        break;
    case 2:
        u.step = 3;
        type(call, "sh/dx");
        after(call, m_timing.helloMs);
        break;
    case 3:
        u.step = 4;
        type(call, "hello from " + call);
        after(call, m_timing.leaveMs);
        break;
    case 4:
        u.step = 5;
        if (call == m_order.first()) {
            // This one says goodbye to the node, which closes; the gateway then asks the
            // engine to disconnect the user.
            type(call, "bye");
            after(call, m_timing.greetingWaitMs);
        } else {
            m_engine->disconnectUser(call);
        }
        break;
    default: // "bye" brought no disconnect
        if (!m_engine->disconnectUser(call)) onUserGone(call);
        break;
    }
}

// ---- load ----

void SimUsers::startLoad() {
    m_users.clear();
    m_ready.clear();
    m_waiting.clear();
    m_loadLeft = 0;
    for (int i = 0; i < m_userCount; ++i) {
        const QByteArray call = loadCall(i);
        const quint8 port = portOf(i);
        // A port the gateway has not registered yet takes its users once it has.
        if (!connectLoadUser(call, port) && !m_engine->registeredOn(port))
            m_waiting.insert(call, port);
    }
    if (m_linesPerUser <= 0) return;
    // Users the node does not greet in time type anyway.
    QTimer::singleShot(m_timing.greetingWaitMs, this, [this] {
        for (const QByteArray& call : m_users.keys())
            loadReady(call);
    });
}

void SimUsers::loadReady(const QByteArray& call) {
    const auto it = m_users.find(call);
    if (it == m_users.end() || it->ready || it->gone) return;
    it->ready = true;
    if (it->lines <= 0) return;
    m_ready.append(call);
    if (!m_loadTimer.isActive()) {
        m_loadTimer.setInterval(m_rate > 0 ? qBound(1, int(1000.0 / m_rate), 100) : 5);
        m_loadClock.start();
        m_loadDone = 0;
        m_loadTimer.start();
    }
}

void SimUsers::loadTick() {
    if (m_ready.isEmpty()) {
        m_loadTimer.stop();
        return;
    }
    if (!m_engine->gatewayReady()) return;
    qint64 budget = kLoadBurst;
    if (m_rate > 0) {
        budget = qMin(budget, dueCount(m_rate, m_loadClock.elapsed(), m_loadDone));
        m_loadDone += budget;
    }
    for (qint64 n = 0; n < budget && !m_ready.isEmpty(); ++n) {
        if (m_rate <= 0 && m_engine->bytesQueued() >= kFloodQueue) break;
        if (m_turn >= m_ready.size()) m_turn = 0;
        const QByteArray call = m_ready[m_turn];
        User& u = m_users[call];
        type(call, call + " line " + QByteArray::number(m_linesPerUser - u.lines + 1) + " of " +
                       QByteArray::number(m_linesPerUser));
        if (--u.lines > 0) {
            ++m_turn;
            continue;
        }
        m_ready.removeAt(m_turn); // the next user moves into this turn
        QTimer::singleShot(m_timing.leaveMs, this, [this, call] { loadLeave(call); });
    }
    if (m_ready.isEmpty()) m_loadTimer.stop();
}

void SimUsers::leaveAndRejoin(const QByteArray& call, quint8 port) {
    const auto it = m_users.constFind(call);
    if (it == m_users.constEnd() || it->gone || !m_engine->disconnectUser(call)) return;
    if (m_rejoinMs <= 0) return;
    m_rejoined.insert(call);
    ++m_rejoinsPending;
    QTimer::singleShot(m_rejoinMs, this, [this, call, port] {
        --m_rejoinsPending;
        connectLoadUser(call, port);
    });
}

void SimUsers::loadLeave(const QByteArray& call) {
    m_engine->disconnectUser(call);
}

} // namespace sim

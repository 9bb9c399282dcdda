#include "relay/Session.h"

#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/Failure.h"
#include "net/Platform.h"
#include "net/WriteBudget.h"
#include "relay/RadioSender.h"

#include <QDeadlineTimer>

namespace {
const QByteArray kCrLf = QByteArrayLiteral("\r\n");
const QByteArray kBlankLine = QByteArrayLiteral(" \r\n");

// Milliseconds on a monotonic clock, never 0.
qint64 monotonicMs() {
    return qMax<qint64>(1, QDeadlineTimer::current().deadline());
}
} // namespace

Session::Session(int slot, const QByteArray& callsign, quint8 port, SessionContext& context,
                 QObject* parent)
    : QObject(parent), m_slot(slot), m_callsign(callsign), m_port(port), m_context(context),
      m_node(context.nodeSockets()), m_since(context.log.clock().nowUtc()) {
    connect(m_node.get(), &Socket::connected, this, &Session::onNodeConnected);
    connect(m_node.get(), &Socket::dataArrived, this, &Session::onNodeData);
    connect(m_node.get(), &Socket::peerClosed, this, &Session::onNodeClosed);
    connect(m_node.get(), &Socket::errorOccurred, this, &Session::onNodeError);
    m_keepAlive.setInterval(context.keepAliveIntervalMs);
    connect(&m_keepAlive, &QTimer::timeout, this, &Session::keepAliveTick);
}

Session::~Session() = default;

void Session::start(const NodeAddress& address) {
    m_address = address;
    restartQuietInterval();
    // The engine's count for the user right now is what it still holds of an earlier link: the
    // offset of every later answer.
    if (m_context.radio.frameLimit() > 0) askEngine();
    connectNode();
}

void Session::connectNode() {
    m_state = State::Connecting;
    m_disconnectDue = false;
    m_node->setRemote(m_address.host, m_address.port);
    // A node that writes faster than the radio airs fills its own connection, a few KiB on.
    if (m_context.radio.frameLimit() > 0) m_node->setReceiveBuffer(kPacedReceiveBuffer);
    m_node->connectToHost();
}

void Session::restartQuietInterval() {
    m_idle = 0;
    m_lastNodeData = 0;
    m_keepAlive.start(m_context.keepAliveIntervalMs);
}

void Session::userConnectedAgain(quint8 port) {
    m_port = port;
    restartQuietInterval();
    if (m_context.radio.frameLimit() > 0) {
        m_toRadio.forgetOffset();
        askEngine();
    }
    if (m_state != State::Closing) return;
    // The node had gone and the engine's disconnect never came: the user is here again and
    // gets a fresh connection and login.
    m_node->close();
    m_held.clear();
    connectNode();
}

bool Session::userText(const QByteArray& text) {
    switch (m_state) {
    case State::LoggedIn:
        if (m_node->state() != Socket::Connected) return false;
        m_node->send(text);
        m_sentToNode.count(text);
        if (m_node->bytesToWrite() > kMaxNodeQueue)
            end(End::NodeNotReading, QStringLiteral("The cluster node is not reading (") +
                                         QString::number(m_node->bytesToWrite()) +
                                         QStringLiteral(" bytes waiting)"));
        else if (m_context.nodeQueue && m_context.nodeQueue->over())
            // The text of this user would take the gateway past what it keeps for all nodes.
            end(End::NodeNotReading,
                QStringLiteral("The cluster nodes are not reading (") +
                    QString::number(m_context.nodeQueue->used()) +
                    QStringLiteral(" bytes waiting for all users, more than ") +
                    QString::number(m_context.nodeQueue->limit()) + QLatin1Char(')'));
        return true;
    case State::Connecting:
        // Typed before the node connection is up: held and sent after the login line.
        if (m_held.size() + text.size() <= kMaxHeldBytes) {
            m_held += text;
            m_sentToNode.count(text);
            return true;
        }
        end(End::HeldOverflow);
        return true;
    case State::Closing:
    case State::Ended:
        break;
    }
    return false;
}

void Session::end(End reason, const QString& detail) {
    if (m_state == State::Ended) return;
    switch (reason) {
    case End::NodeFailed:
    case End::NodeNotReading:
        m_context.log.write(QStringLiteral("winsckOut_Error"),
                            outsideText(m_callsign) + QLatin1Char(' ') + QString::number(m_slot) +
                                QLatin1Char(' ') + detail);
        m_context.radio.sendDisconnect(m_slot, m_port, m_callsign);
        break;
    case End::HeldOverflow:
        m_context.log.write(QStringLiteral("DataArrival"),
                            QStringLiteral(" where = 14 ") + outsideText(m_callsign) +
                                QStringLiteral(" typed more than ") +
                                QString::number(kMaxHeldBytes) +
                                QStringLiteral(" bytes before the cluster connection was up"));
        m_context.radio.sendDisconnect(m_slot, m_port, m_callsign);
        break;
    case End::UserLeft:
    case End::LinkLost:
    case End::Shutdown:
        break;
    }
    m_state = State::Ended;
    m_keepAlive.stop();
    m_held.clear();
    m_held.squeeze();
    // Nothing held for the user reaches the engine any more.
    m_toRadio.clear();
    if (m_pacingBusy) {
        m_pacingBusy = false;
        emit pacingBusyChanged(this, false);
    }
    // What the user sent still goes to the node before the connection ends.
    m_node->close();
    emit ended(this);
}

void Session::setReading(bool on) {
    m_linkReading = on;
    updateReading();
}

void Session::updateReading() {
    // Two packets' worth held is enough to keep the radio busy until the engine's next answer.
    const bool on =
        m_linkReading && m_toRadio.heldBytes() <= 2 * qint64(m_context.radio.packetLength());
    if (on == m_reading) return;
    m_reading = on;
    m_node->setReading(on);
}

void Session::pump() {
    if (m_state == State::Ended) return;
    const int limit = m_context.radio.frameLimit();
    const QList<QByteArray> pieces = m_toRadio.take(m_context.radio.packetLength(), limit);
    if (!pieces.isEmpty()) {
        const qsizetype sent = m_context.radio.sendPieces(m_slot, m_port, m_callsign, pieces);
        if (limit > 0)
            m_toRadio.sent(pieces, sent);
        else if (sent > 0)
            m_toRadio.sentUnpaced();
    }
    if (m_disconnectDue && m_toRadio.heldBytes() == 0 &&
        (limit == 0 || m_toRadio.outstanding() == 0)) {
        // The node has gone and all it said is with the engine, and on a paced link aired (an
        // engine may drop the frames it still holds for a link it is asked to end): the user is
        // asked to go too.
        m_disconnectDue = false;
        m_context.radio.sendDisconnect(m_slot, m_port, m_callsign);
    }
    // The engine is asked while its answer can let something go: text waits, the disconnect
    // waits for the last frames to air, or the count, which between answers only ever errs
    // high, is half way to the limit (so that the next text finds room at once).
    const int outstanding = m_toRadio.outstanding();
    const bool busy = limit > 0 && (m_toRadio.waiting() || 2 * outstanding >= limit ||
                                    (m_disconnectDue && outstanding > 0));
    if (busy != m_pacingBusy) {
        m_pacingBusy = busy;
        emit pacingBusyChanged(this, busy);
    }
    updateReading();
}

void Session::linkPaced() {
    if (m_state == State::Ended) return;
    // Made before the link was known to be paced: the buffer shrinks now, and the engine is
    // asked what it holds for the user.
    m_node->setReceiveBuffer(kPacedReceiveBuffer);
    m_toRadio.countUnknown();
    askEngine();
    pump();
}

void Session::framesOutstanding(quint8 port, quint32 frames) {
    if (port != m_port || m_state == State::Ended) return;
    m_toRadio.answered(frames, monotonicMs());
    pump();
}

void Session::askEngine() {
    if (m_toRadio.asking()) return;
    m_toRadio.asked();
    m_context.radio.askOutstanding(m_port, m_callsign);
}

void Session::onNodeConnected() {
    try {
        m_state = State::LoggedIn;
        m_prompt = LoginPromptFilter();
        if (m_context.policy && m_context.policy->proxySource) {
            // Before the callsign: where the user comes from, so the node does not take a radio
            // user for a local one.
            const QByteArray proxy = proxyHeaderFor(*m_context.policy->proxySource, *m_node);
            if (proxy.isEmpty())
                return end(End::NodeFailed, QStringLiteral("no PROXY line: the node's address "
                                                           "is not an IP address"));
            m_node->send(proxy);
        }
        // The node takes the first line as the user's callsign; nothing else is awaited.
        m_node->send(m_callsign + kCrLf);
        // Then whatever the user typed while the connection was being made.
        if (!m_held.isEmpty()) {
            m_node->send(m_held);
            m_held.clear();
            m_held.squeeze();
        }
    } catch (const std::exception& e) {
        m_context.log.write(QStringLiteral("winsckOut_Connect"),
                            QString::number(m_slot) + QLatin1Char(' ') + describe(e));
    }
}

void Session::onNodeData() {
    QByteArray text;
    try {
        // The quiet minutes count again from now. The timer is not restarted here: Qt finds a
        // timer to stop by walking all of them, and with thousands of sessions that walk would
        // cost more than relaying the text. The time is noted instead, and a tick that comes
        // sooner than a full interval after it re-arms the timer for the rest of the interval
        // without counting (keepAliveTick): the same ticks as a restart, at one timer operation
        // per interval instead of one per arrival.
        m_idle = 0;
        m_lastNodeData = monotonicMs();
        if (!m_keepAlive.isActive()) m_keepAlive.start();
        const int st = m_node->state();
        // A node that closes right after its last words still has them relayed.
        if (st != Socket::Connected && st != Socket::Closing) {
            m_context.log.write(QStringLiteral("winsockOut_DataArrival"),
                                QStringLiteral("WinsckOut in wrong state ") + QString::number(st) +
                                    QLatin1Char(' ') + outsideText(m_callsign));
            return;
        }
        text = m_node->readAll();
        // The node's login prompt is not for the user; decided by the first bytes, after which
        // this is one test of a flag.
        if (!m_prompt.done() && !text.isEmpty() && (text = m_prompt.take(text)).isEmpty()) return;
        m_sentToRadio.count(text);
        m_context.radio.textCame(m_slot, text);
        m_toRadio.hold(text);
        pump();
    } catch (const std::exception&) {
        m_context.log.write(QStringLiteral("winsockOut_DataArrival"), outsideText(text));
    }
}

void Session::onNodeClosed() {
    m_state = State::Closing;
    try {
        // Text the node sent just before it closed goes to the user before the disconnect.
        QByteArray text = m_node->bytesAvailable() > 0 ? m_node->readAll() : QByteArray();
        if (!m_prompt.done()) text = m_prompt.last(text);
        if (!text.isEmpty()) {
            m_sentToRadio.count(text);
            m_context.radio.textCame(m_slot, text);
            m_toRadio.hold(text);
        }
        m_disconnectDue = true;
        pump();
    } catch (const std::exception& e) {
        m_context.log.write(QStringLiteral("winsckOut_Close"),
                            QString::number(m_slot) + QLatin1Char(' ') + describe(e));
    }
}

void Session::onNodeError(const QString& description) {
    end(End::NodeFailed, description);
}

void Session::keepAliveTick() {
    try {
        const int interval = m_context.keepAliveIntervalMs;
        const qint64 since = m_lastNodeData ? monotonicMs() - m_lastNodeData : interval;
        if (since < interval) {
            // The node spoke less than an interval ago: as if the timer had been restarted then.
            m_keepAlive.start(static_cast<int>(interval - since));
            return;
        }
        if (m_keepAlive.interval() != interval) m_keepAlive.setInterval(interval);
        const qint32 minutes = m_context.settings.keepAliveMinutes;
        if (minutes == 0) return;
        if (++m_idle < minutes) return;
        m_idle = 0;
        if (m_node->state() == Socket::Closed) {
            m_keepAlive.stop();
            return;
        }
        if (m_node->state() == Socket::Connected) m_node->send(kBlankLine);
    } catch (const std::exception&) {
        m_context.log.write(QStringLiteral("tmrKeepAlive_timer"),
                            QString::number(m_slot) + QLatin1Char(' ') + outsideText(m_callsign));
    }
}

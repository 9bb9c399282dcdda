#include "relay/Gateway.h"

#include "agwlink/AgwLink.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/SingleByte.h"
#include "net/TcpSocket.h"
#include "net/WriteBudget.h"
#include "relay/Monitor.h"
#include "relay/RadioSender.h"
#include "relay/Receiver.h"
#include "relay/SessionTable.h"

Gateway::Gateway(const Settings& settings, ErrorLog& log, Monitor& monitor, const Timing& timing,
                 SocketFactory agwSockets, SocketFactory nodeSockets, QObject* parent)
    : QObject(parent), m_settings(settings), m_log(log),
      m_nodeQueue(std::make_shared<WriteBudget>(kNodeQueueLimit)) {
    if (!agwSockets) agwSockets = TcpSocket::factory();
    if (!nodeSockets) nodeSockets = TcpSocket::factory(m_nodeQueue);
    m_link = std::make_unique<AgwLink>(m_settings, log, monitor, std::move(agwSockets), timing);
    m_radio = std::make_unique<RadioSender>(*m_link, m_settings, monitor, log);
    m_sessions = std::make_unique<SessionTable>(
        SessionContext{m_settings, log, *m_radio, std::move(nodeSockets),
                       timing.keepAliveIntervalMs, &m_descriptors, &m_policy, m_nodeQueue.get()},
        monitor);
    m_receiver = std::make_unique<Receiver>(*m_sessions, *m_radio, monitor, log);
    m_link->setEvents(m_receiver.get());
    // While the engine's queue is full, the node's text waits in the node connections.
    connect(m_link.get(), &AgwLink::congestion, this,
            [this](bool on) { m_sessions->setReading(!on); });
    // Users who came while it was not known yet are paced from now on too.
    connect(m_link.get(), &AgwLink::pacingLearnt, this, [this](bool paced) {
        if (paced) m_sessions->linkPaced();
    });
    m_board->setRequester([this] {
        QMetaObject::invokeMethod(
            this, [this] { m_board->publish(statusNow()); }, Qt::QueuedConnection);
    });
}

Gateway::~Gateway() {
    m_board->setRequester({});
    // Sockets go before the objects their notifications reach.
    m_link->setEvents(nullptr);
    m_sessions.reset();
    m_receiver.reset();
    m_radio.reset();
    m_link.reset();
}

void Gateway::reconfigure(const Settings& settings) {
    onOwnThread([this, settings] {
        m_settings = settings;
        if (m_addressed) return;
        m_addressed = true;
        if (!settings.agwIp.isEmpty()) m_link->setEngineHost(settings.agwIp);
        const std::optional<quint16> engine = settings.agwPort.number();
        const std::optional<quint16> node = settings.clusterPort.number();
        if (engine) m_link->setEnginePort(*engine);
        // A start stops at an engine port that names none, before the node is addressed.
        if ((settings.agwPort.isEmpty() || engine) && (settings.clusterPort.isEmpty() || node))
            m_sessions->setNodeAddress(
                {settings.clusterIp.isEmpty() ? QStringLiteral("127.0.0.1") : settings.clusterIp,
                 node.value_or(8000)});
    });
}

void Gateway::setAllPorts(bool on) {
    onOwnThread([this, on] { m_link->setAllPorts(on); });
}

void Gateway::setFrameLimit(int frames) {
    onOwnThread([this, frames] { m_link->setFrameLimit(frames); });
}

void Gateway::setNodeQueueLimit(qint64 bytes) {
    onOwnThread([this, bytes] { m_nodeQueue->setLimit(bytes); });
}

void Gateway::openLink() {
    onOwnThread([this] { m_link->open(); });
}

void Gateway::addRefusedCalls(const RefusedCalls& calls) {
    onOwnThread([this, &calls] { m_policy.refused.add(calls); });
}

void Gateway::setProxySource(const std::optional<QHostAddress>& source) {
    onOwnThread([this, &source] { m_policy.proxySource = source; });
}

void Gateway::kick() {
    onOwnThread([this] { m_link->kick(); });
}

void Gateway::shutdown() {
    onOwnThread([this] {
        m_link->close();
        m_sessions->endAll(Session::End::Shutdown);
    });
}

GatewayStatus Gateway::status() const {
    return onOwnThread([this] { return statusNow(); });
}

GatewayStatus Gateway::statusNow() const {
    GatewayStatus st;
    const int state = m_link->state();
    st.link.state = state == Socket::Connected ? QStringLiteral("connected")
                    : state >= Socket::ConnectionPending && state <= Socket::Connecting
                        ? QStringLiteral("connecting")
                        : QStringLiteral("down");
    st.link.callsign = fromSingleByte(m_link->registeredCall());
    st.link.engine =
        m_link->engineHost() + QLatin1Char(':') + QString::number(m_link->enginePort());
    st.link.ports = state == Socket::Connected ? m_link->registeredPorts() : 0;
    st.link.paced = state == Socket::Connected && m_link->paced();
    st.link.frameLimit = m_link->frameLimit();
    st.link.since = m_link->changedAt();
    const SessionTable& table = *m_sessions;
    st.counters.bytesToNodes = table.endedToNodeBytes();
    st.counters.bytesFromNodes = table.endedFromNodeBytes();
    for (int slot = 1; slot <= table.highestSlot(); ++slot) {
        const Session* s = table.at(slot);
        if (!s) continue;
        SessionStatus u;
        u.slot = slot;
        u.callsign = fromSingleByte(s->callsign());
        u.port = s->port();
        u.since = s->since();
        u.toNodeBytes = s->toNodeBytes();
        u.toNodeLines = s->toNodeLines();
        u.toRadioBytes = s->toRadioBytes();
        u.toRadioLines = s->toRadioLines();
        u.heldBytes = s->toRadio().heldBytes();
        u.framesOutstanding = s->toRadio().outstanding();
        u.airSeconds = s->toRadio().airSeconds();
        st.counters.bytesToNodes += quint64(u.toNodeBytes);
        st.counters.bytesFromNodes += quint64(u.toRadioBytes);
        switch (s->state()) {
        case Session::State::Connecting:
            u.nodeState = QStringLiteral("connecting");
            break;
        case Session::State::LoggedIn:
            u.nodeState = QStringLiteral("logged in");
            break;
        case Session::State::Closing:
        case Session::State::Ended:
            u.nodeState = QStringLiteral("closing");
            break;
        }
        st.users << u;
    }
    st.refusedCalls = m_policy.refused.size();
    st.counters.usersServed = table.started();
    st.counters.framesFromEngine = m_link->framesReceived();
    st.counters.bytesFromEngine = m_link->bytesReceived();
    st.counters.outstandingAsked = m_link->outstandingAsked();
    st.counters.framesToEngine = m_link->framesSent();
    st.counters.bytesToEngine = m_link->bytesSent();
    st.counters.linkConnects = m_link->connects();
    return st;
}

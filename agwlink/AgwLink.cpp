#include "agwlink/AgwLink.h"

#include "agwlink/LinkObserver.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/Failure.h"

namespace {
const QString kPacingTag = QStringLiteral("AGW pacing");

// A user as the questions for frames outstanding know it: the radio port, then the callsign.
QByteArray userKey(quint8 port, const QByteArray& call) {
    QByteArray key;
    key.reserve(call.size() + 1);
    key += char(port);
    key += call;
    return key;
}
} // namespace

AgwLink::AgwLink(const Settings& settings, ErrorLog& log, LinkObserver& observer,
                 SocketFactory sockets, const Timing& timing, QObject* parent)
    : QObject(parent), m_settings(settings), m_log(log), m_observer(observer),
      m_connectSleepMs(timing.connectSleepMs), m_stallResetMs(timing.stallResetMs),
      m_socket(sockets()) {
    connect(m_socket.get(), &Socket::connected, this, &AgwLink::onConnected);
    connect(m_socket.get(), &Socket::errorOccurred, this, &AgwLink::onError);
    connect(m_socket.get(), &Socket::peerClosed, this, &AgwLink::onPeerClosed);
    connect(m_socket.get(), &Socket::sendProgress, this, &AgwLink::onSendProgress);
    connect(m_socket.get(), &Socket::dataArrived, this, &AgwLink::readEngine);
    // The reconnect timer runs from the moment the link exists until it is destroyed.
    m_reconnectTimer.setInterval(timing.reconnectIntervalMs);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &AgwLink::reconnectTick);
    m_reconnectTimer.start();
    m_registerTimer.setSingleShot(true);
    connect(&m_registerTimer, &QTimer::timeout, this, &AgwLink::registerCall);
    m_stallTimer.setInterval(qBound(1, m_stallResetMs / 8, 10000));
    connect(&m_stallTimer, &QTimer::timeout, this, &AgwLink::checkStall);
    m_pacingTimer.setSingleShot(true);
    m_pacingTimer.setInterval(kPacingAnswerMs);
    connect(&m_pacingTimer, &QTimer::timeout, this, &AgwLink::pacingUnanswered);
    m_clock.start();
}

AgwLink::~AgwLink() = default;

void AgwLink::setEngineHost(const QString& host) {
    m_socket->setRemote(host, m_socket->remotePort());
}

void AgwLink::setEnginePort(quint16 port) {
    m_socket->setRemote(m_socket->remoteHost(), port);
}

QString AgwLink::engineHost() const {
    return m_socket->remoteHost();
}

quint16 AgwLink::enginePort() const {
    return m_socket->remotePort();
}

int AgwLink::state() const {
    return m_socket->state();
}

qint64 AgwLink::bytesQueued() const {
    return m_socket->bytesToWrite();
}

void AgwLink::open() {
    m_socket->connectToHost();
}

void AgwLink::close() {
    m_portsAsked = false;
    m_registerTimer.stop();
    m_pacingTimer.stop();
    m_socket->close();
    setCongested(false);
}

void AgwLink::send(const QByteArray& frame) {
    m_socket->send(frame);
    ++m_framesSent;
    m_bytesSent += frame.size();
    if (!m_congested && m_socket->bytesToWrite() > kHighWater) setCongested(true);
}

void AgwLink::sendData(quint8 port, const QByteArray& call, const QByteArray& data) {
    send(buildFrame(port, 'D', m_registeredCall, call, data));
}

void AgwLink::sendDisconnect(quint8 port, const QByteArray& call) {
    send(buildFrame(port, 'd', m_registeredCall, call));
}

void AgwLink::askOutstanding(quint8 port, const QByteArray& call) {
    if (!m_paced) return;
    // The engine knows a link by its own end first: the gateway's callsign, then the user's, even
    // for a link the user started (the other way round it answers 0).
    send(buildOutstandingRequest(port, m_registeredCall, call));
    ++m_asked[userKey(port, call)];
    ++m_outstandingAsked;
}

void AgwLink::setCongested(bool on) {
    if (m_congested == on) return;
    m_congested = on;
    // What the engine sends is answered (a "d" to a station without a session, at the least):
    // while it does not read, it is not read either, so that the answers cannot pile up.
    m_socket->setReading(!on);
    if (on) {
        m_lastProgressMs = m_clock.elapsed();
        m_stallTimer.start();
    } else {
        m_stallTimer.stop();
    }
    emit congestion(on);
}

void AgwLink::checkStall() {
    if (!m_congested || m_clock.elapsed() - m_lastProgressMs < m_stallResetMs) return;
    // An engine that takes nothing for this long will not take anything again (hung, or waiting
    // on us): while the link stays connected nothing else would bring it back.
    m_log.write(QStringLiteral("AGW link stalled"),
                QStringLiteral("the engine took nothing of ") +
                    QString::number(m_socket->bytesToWrite()) + QStringLiteral(" bytes in ") +
                    QString::number(m_stallResetMs / 1000) + QStringLiteral(" s: link reset"));
    reset();
}

void AgwLink::reconnect() {
    close();
    m_socket->connectToHost();
}

void AgwLink::lose() {
    m_registerTimer.stop();
    m_pacingTimer.stop();
    m_pacingAsked = false;
    m_paced = false;
    m_asked.clear();
    if (m_events) m_events->linkLost();
    emit lost();
}

void AgwLink::reset() {
    m_changedAt = m_log.clock().now();
    reconnect();
    lose();
}

void AgwLink::onConnected() {
    ++m_connects;
    m_portsAsked = false;
    m_ports = 0;
    m_pacingAsked = false;
    m_paced = false;
    m_asked.clear();
    // A new connection starts at a frame boundary: the start of a frame that the old connection
    // left in the buffer goes with it.
    m_assembler.clear();
    m_changedAt = m_log.clock().now();
    if (m_events) m_events->linkUp();
    // The engine needs a moment after accepting before it takes the registration; the relay goes
    // on meanwhile.
    if (m_connectSleepMs > 0)
        m_registerTimer.start(m_connectSleepMs);
    else
        registerCall();
}

void AgwLink::registerCall() {
    try {
        m_observer.statusChanged(QStringLiteral("Winsock.Connect"));
        if (m_socket->state() == Socket::Connected) {
            const QByteArray call = m_settings.clusterCall.bytes();
            send(buildRegisterFrame(call));
            m_registeredCall = call;
            m_ports = 1;
            if (m_allPorts) {
                send(buildPortInfoRequest());
                m_portsAsked = true;
            }
            if (m_frameLimit > 0) {
                // A station the engine has no link with: an engine that keeps count answers 0.
                send(buildOutstandingRequest(0, call, call));
                m_pacingAsked = true;
                m_pacingTimer.start();
            }
            m_observer.statusChanged(QStringLiteral("WinsockAGW.State = ") +
                                     QString::number(m_socket->state()));
        }
        m_observer.healthChanged(LinkHealth::Up);
    } catch (const std::exception&) {
        m_log.write(QStringLiteral("WinsockAGW_Connect"), QString());
    }
}

bool AgwLink::portsAnswered(int count) {
    if (!m_portsAsked) return false;
    m_portsAsked = false;
    for (int port = 1; port < qMin(count, 256); ++port) {
        send(buildRegisterFrame(m_registeredCall, static_cast<quint8>(port)));
        m_ports = port + 1;
    }
    return true;
}

bool AgwLink::outstandingAnswered(const AgwHeader& h, QByteArrayView data) {
    if (data.size() != 4 || h.CallFrom != m_registeredCall) return false;
    const auto* p = reinterpret_cast<const uchar*>(data.data());
    const quint32 frames =
        quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
    if (m_pacingAsked && h.Port == 0 && h.CallTo == m_registeredCall) {
        m_pacingAsked = false;
        m_pacingTimer.stop();
        m_paced = m_frameLimit > 0;
        m_log.write(kPacingTag, QStringLiteral("paced: the engine reports the frames it holds for "
                                               "each user; at most ") +
                                    QString::number(m_frameLimit) +
                                    QStringLiteral(" frames per user in the engine"));
        emit pacingLearnt(m_paced);
        return true;
    }
    const auto it = m_asked.find(userKey(h.Port, h.CallTo));
    if (it == m_asked.end()) return false;
    if (--*it <= 0) m_asked.erase(it);
    if (m_events) m_events->framesOutstanding(h.Port, h.CallTo, frames);
    return true;
}

void AgwLink::pacingUnanswered() {
    // Still waited for: an answer that comes later paces the link from then on.
    m_log.write(kPacingTag, QStringLiteral("unpaced: the engine does not report the frames it "
                                           "holds (no answer to \"Y\" within ") +
                                QString::number(kPacingAnswerMs / 1000) + QStringLiteral(" s)"));
    emit pacingLearnt(false);
}

void AgwLink::readEngine() {
    QByteArray arrival;
    qint64 count = 0;
    try {
        count = m_socket->bytesAvailable();
        arrival = m_socket->readAll();
    } catch (const std::exception& e) {
        if (m_events) m_events->receiveFailed(Step::ReadSocket, describe(e), false);
        return;
    }
    handleArrival(arrival, count);
}

void AgwLink::handleArrival(QByteArrayView arrival, qint64 count) {
    if (m_events) m_events->arrival(count);
    try {
        m_assembler.append(arrival);
    } catch (const std::exception& e) {
        m_assembler.clear();
        if (m_events) m_events->receiveFailed(Step::MergeArrival, describe(e), false);
        return;
    }
    // Every whole frame is handled in order, whatever happened to the one before it; a partial
    // frame at the end stays for the next arrival.
    bool first = true;
    for (;;) {
        QByteArrayView frame;
        quint32 announced = 0;
        const FrameAssembler::Next next = m_assembler.next(frame, &announced);
        if (next == FrameAssembler::Next::NeedMore) return;
        if (next == FrameAssembler::Next::Oversize) {
            // No engine sends such a frame: the link has lost its frame alignment and nothing
            // after this point can be read reliably. Start the link afresh.
            m_assembler.clear();
            if (m_events)
                m_events->receiveFailed(Step::FrameTooLarge,
                                        QStringLiteral("DataLen ") + QString::number(announced) +
                                            QStringLiteral(" exceeds ") +
                                            QString::number(FrameAssembler::kMaxDataLen),
                                        true);
            reset();
            return;
        }
        ++m_framesReceived;
        m_bytesReceived += static_cast<quint64>(frame.size());
        handleFrame(frame, first);
        first = false;
    }
}

void AgwLink::handleFrame(QByteArrayView frame, bool firstOfArrival) {
    const AgwHeader h = readHeader(frame.data());
    const QByteArrayView data = frame.sliced(kAgwHeaderSize);
    // The answers to the link's own questions for frames outstanding come twice a second for
    // every busy user: they are not traffic to show.
    if (h.DataKind == 'Y' && outstandingAnswered(h, data)) return;
    if (!m_events) return;
    m_events->frameSeen(h, data, firstOfArrival);
    switch (h.DataKind) {
    case 'C':
        m_events->userConnected(h.Port, h.CallFrom);
        return;
    case 'D':
        m_events->userData(h.Port, h.CallFrom, data);
        return;
    case 'd':
        m_events->userLeft(h.Port, h.CallFrom);
        return;
    default: {
        // The answer to the link's own question for the engine's radio ports registers the
        // callsign on the further ports, whose answers come as any "X".
        const bool answer = h.DataKind == 'G' && m_portsAsked;
        m_events->otherFrame(h, data, answer);
        if (!answer) return;
        try {
            portsAnswered(readPortInfo(data).count);
        } catch (const std::exception& e) {
            m_events->receiveFailed(Step::Dispatch, describe(e), false);
        }
        return;
    }
    }
}

void AgwLink::onError(const QString& description) {
    m_observer.healthChanged(LinkHealth::Failed);
    const QString message = QStringLiteral("Winsock Error: ") + description +
                            QStringLiteral(" at ") + m_socket->remoteHost() +
                            QStringLiteral("  port ") + QString::number(m_socket->remotePort());
    m_observer.statusChanged(message);
    m_log.write(QStringLiteral("WinsockAGW_Error"), message);
    m_changedAt = m_log.clock().now();
    setCongested(false);
    lose();
}

void AgwLink::onPeerClosed() {
    // The reconnect timer brings the link back.
    m_observer.healthChanged(LinkHealth::Down);
    m_changedAt = m_log.clock().now();
    setCongested(false);
    lose();
}

void AgwLink::onSendProgress(qint64 bytesSent, qint64 bytesRemaining) {
    m_lastProgressMs = m_clock.elapsed();
    m_observer.sendProgress(bytesSent, bytesRemaining);
    if (m_congested && bytesRemaining <= kLowWater) setCongested(false);
}

void AgwLink::kick() {
    if (m_socket->state() == Socket::Connected) return;
    reconnect();
    m_observer.healthChanged(LinkHealth::Retrying);
    m_observer.statusChanged(QString());
}

void AgwLink::reconnectTick() {
    if (m_socket->state() == Socket::Connected) return;
    reconnect();
}

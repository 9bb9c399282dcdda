#include "agwlink/AgwLink.h"

#include "agwlink/AgwFrame.h"
#include "agwlink/LinkMonitor.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/SingleByte.h"

AgwLink::AgwLink(const Settings& settings, ErrorLog& log, LinkMonitor& monitor,
                 SocketFactory sockets, const Timing& timing, QObject* parent)
    : QObject(parent), m_settings(settings), m_log(log), m_monitor(monitor),
      m_connectSleepMs(timing.connectSleepMs), m_socket(sockets()) {
    connect(m_socket.get(), &Socket::connected, this, &AgwLink::onConnected);
    connect(m_socket.get(), &Socket::errorOccurred, this, &AgwLink::onError);
    connect(m_socket.get(), &Socket::peerClosed, this, &AgwLink::onPeerClosed);
    connect(m_socket.get(), &Socket::sendProgress, this, &AgwLink::onSendProgress);
    connect(m_socket.get(), &Socket::dataArrived, this, &AgwLink::dataArrived);
    // The reconnect timer runs from the moment the link exists until it is destroyed.
    m_reconnectTimer.setInterval(timing.reconnectIntervalMs);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &AgwLink::reconnectTick);
    m_reconnectTimer.start();
}

AgwLink::~AgwLink() = default;

void AgwLink::open() {
    m_socket->connectToHost();
}

void AgwLink::close() {
    m_portsAsked = false;
    m_socket->close();
    setCongested(false);
}

void AgwLink::send(const QByteArray& frame) {
    m_socket->send(frame);
    ++m_framesSent;
    m_bytesSent += frame.size();
    if (!m_congested && m_socket->bytesToWrite() > kHighWater) setCongested(true);
}

void AgwLink::setCongested(bool on) {
    if (m_congested == on) return;
    m_congested = on;
    // What the engine sends is answered (a "d" to a station without a session, at the least):
    // while it does not read, it is not read either, so that the answers cannot pile up.
    m_socket->setReading(!on);
    emit congestion(on);
}

void AgwLink::reconnect() {
    close();
    m_socket->connectToHost();
}

void AgwLink::reset() {
    m_changedAt = platform::now();
    reconnect();
    emit lost();
}

void AgwLink::onConnected() {
    ++m_connects;
    m_portsAsked = false;
    m_ports = 0;
    m_changedAt = platform::now();
    emit connected();
    try {
        // The engine needs a moment after accepting before it takes the registration.
        platform::sleepMs(m_connectSleepMs);
        m_monitor.setStatusText(QStringLiteral("Winsock.Connect"));
        if (m_socket->state() == Socket::Connected) {
            const QByteArray call = toSingleByte(m_settings.clusterCall);
            send(buildRegisterFrame(call));
            m_registeredCall = call;
            m_ports = 1;
            if (m_allPorts) {
                send(buildPortInfoRequest());
                m_portsAsked = true;
            }
            m_monitor.setStatusText(QStringLiteral("WinsockAGW.State = ") +
                                    QString::number(m_socket->state()));
        }
        m_monitor.setKickVisible(false);
        m_monitor.setLinkColour(LinkColour::Normal);
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

void AgwLink::onError(const QString& description) {
    m_monitor.setLinkColour(LinkColour::Yellow);
    m_monitor.setKickVisible(true);
    const QString message = QStringLiteral("Winsock Error: ") + description +
                            QStringLiteral(" at ") + m_socket->remoteHost +
                            QStringLiteral("  port ") + QString::number(m_socket->remotePort);
    m_monitor.setStatusText(message);
    m_log.write(QStringLiteral("WinsockAGW_Error"), message);
    m_changedAt = platform::now();
    setCongested(false);
    emit lost();
}

void AgwLink::onPeerClosed() {
    // The reconnect timer brings the link back.
    m_changedAt = platform::now();
    setCongested(false);
    emit lost();
}

void AgwLink::onSendProgress(qint64 bytesSent, qint64 bytesRemaining) {
    m_monitor.setSendProgress(bytesSent, bytesRemaining);
    if (m_congested && bytesRemaining <= kLowWater) setCongested(false);
}

void AgwLink::kick() {
    if (m_socket->state() == Socket::Connected) return;
    reconnect();
    m_monitor.setKickVisible(false);
    m_monitor.setStatusText(QString());
}

void AgwLink::reconnectTick() {
    if (m_socket->state() == Socket::Connected) return;
    reconnect();
}

#include "agwlink/AgwLink.h"

#include "agwlink/AgwFrame.h"
#include "agwlink/Monitor.h"
#include "config/Module1.h"
#include "net/Failure.h"
#include "net/Platform.h"

AgwLink::AgwLink(Monitor& monitor, SocketFactory sockets, QObject* parent)
    : QObject(parent), m_monitor(monitor), m_socket(sockets()) {
    connect(m_socket.get(), &Socket::connected, this, &AgwLink::WinsockAGW_Connect);
    connect(m_socket.get(), &Socket::errorOccurred, this, &AgwLink::WinsockAGW_Error);
    connect(m_socket.get(), &Socket::peerClosed, this, &AgwLink::WinsockAGW_Close);
    connect(m_socket.get(), &Socket::sendProgress, this, &AgwLink::WinsockAGW_SendProgress);
    connect(m_socket.get(), &Socket::dataArrived, this, &AgwLink::dataArrived);
    // Timer1 runs from the moment the window exists until it is destroyed.
    m_timer1.setInterval(platform::timing().reconnectIntervalMs);
    connect(&m_timer1, &QTimer::timeout, this, &AgwLink::Timer1_Timer);
    m_timer1.start();
}

AgwLink::~AgwLink() = default;

void AgwLink::open() {
    m_socket->connectToHost();
}

void AgwLink::close() {
    m_socket->close();
    setCongested(false);
}

void AgwLink::send(const QByteArray& frame) {
    m_socket->send(frame);
    if (!m_congested && m_socket->bytesToWrite() > kHighWater) setCongested(true);
}

void AgwLink::setCongested(bool on) {
    if (m_congested == on) return;
    m_congested = on;
    emit congestion(on);
}

void AgwLink::reconnectNow() {
    close();
    m_socket->connectToHost();
}

void AgwLink::WinsockAGW_Connect() {
    try {
        // The engine needs a moment after accepting before it takes the registration.
        platform::sleepMs(platform::timing().connectSleepMs);
        m_monitor.setText1(QStringLiteral("Winsock.Connect"));
        if (m_socket->state() == Socket::Connected) {
            m_socket->send(buildRegisterFrame(toSingleByte(Module1::settings().ClusterCall)));
            m_monitor.setText1(QStringLiteral("WinsockAGW.State = %1").arg(m_socket->state()));
        }
        m_monitor.setKickVisible(false);
        m_monitor.setLinkColour(LinkColour::Normal);
    } catch (const std::exception&) {
        Module1::ErrorLog(QStringLiteral("WinsockAGW_Connect"), QString());
    }
}

void AgwLink::WinsockAGW_Error(const QString& description) {
    m_monitor.setLinkColour(LinkColour::Yellow);
    m_monitor.setKickVisible(true);
    const QString message = QStringLiteral("Winsock Error: %1 at %2  port %3")
                                .arg(description, m_socket->remoteHost)
                                .arg(m_socket->remotePort);
    m_monitor.setText1(message);
    Module1::ErrorLog(QStringLiteral("WinsockAGW_Error"), message);
}

void AgwLink::WinsockAGW_Close() {
    // The engine closed the link; Timer1 reconnects it.
}

void AgwLink::WinsockAGW_SendProgress(qint64 bytesSent, qint64 bytesRemaining) {
    m_monitor.setSendProgress(bytesSent, bytesRemaining);
    if (m_congested && bytesRemaining <= kLowWater) setCongested(false);
}

void AgwLink::kick_Click() {
    if (m_socket->state() == Socket::Connected) return;
    close();
    m_socket->connectToHost();
    m_monitor.setKickVisible(false);
    m_monitor.setText1(QString());
}

void AgwLink::Timer1_Timer() {
    if (m_socket->state() == Socket::Connected) return;
    close();
    m_socket->connectToHost();
}

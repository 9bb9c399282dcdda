#include "ui/Gateway.h"

#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "agwlink/AgwReceiver.h"
#include "agwlink/AxSender.h"
#include "agwlink/Monitor.h"
#include "config/ConfigFile.h"
#include "config/ErrorLog.h"
#include "config/Module1.h"
#include "net/Failure.h"
#include "net/Platform.h"
#include "net/TcpSocket.h"
#include "streams/ClusterEvents.h"
#include "streams/StreamTable.h"

namespace {
// A port setting as a port number; anything else fails the step that uses it.
quint16 portNumber(const QString& text) {
    const qint32 n = toInt32(text);
    if (n < 0 || n > 65535)
        throw Failure(QStringLiteral("Invalid property value (port %1)").arg(n));
    return static_cast<quint16>(n);
}
} // namespace

Gateway::Gateway(Monitor& monitor, MainWindowHost& window, SocketFactory agwSockets,
                 SocketFactory clusterSockets, QObject* parent)
    : QObject(parent), m_monitor(monitor), m_window(window) {
    if (!agwSockets) agwSockets = TcpSocket::factory();
    if (!clusterSockets) clusterSockets = TcpSocket::factory();
    m_link = std::make_unique<AgwLink>(monitor, std::move(agwSockets));
    // The stream table exists from the start, so that no frame can ever meet a missing table,
    // even after a start-up that was cut short.
    m_streams = std::make_unique<StreamTable>(monitor, std::move(clusterSockets));
    m_sender = std::make_unique<AxSender>(*m_link, *m_streams, monitor);
    m_receiver = std::make_unique<AgwReceiver>(*m_link, *m_streams, *m_sender, monitor);
    m_cluster = std::make_unique<ClusterEvents>(*m_streams, *m_sender);
    connect(m_link.get(), &AgwLink::dataArrived, this,
            [this] { m_receiver->WinsockAGW_DataArrival(); });
    connect(&m_link->WinsockAGW(), &Socket::connected, this,
            [this] { m_receiver->linkRestarted(); });
    // While the engine's queue is full, the node's text waits in the cluster connections.
    connect(m_link.get(), &AgwLink::congestion, this,
            [this](bool on) { m_streams->setReadingAll(!on); });
}

Gateway::~Gateway() {
    // Sockets go before the objects their notifications reach.
    m_cluster.reset();
    m_receiver.reset();
    m_sender.reset();
    m_streams.reset();
    m_link.reset();
}

void Gateway::Form_Load() {
    Module1::Settings& s = Module1::settings();
    try {
        s.ProgramVersion = QString::fromLatin1(kProgramVersion);
        Module1::ErrorLog(QStringLiteral("Program Started"), dateTimeText(platform::now()));
        readcfg(m_window);
        m_window.setTitle(m_window.title() + QLatin1Char(' ') + s.ProgramVersion +
                          QLatin1Char(' ') + s.ClusterCall);
        Socket& agw = m_link->WinsockAGW();
        if (!s.AgwIp.isEmpty()) agw.remoteHost = s.AgwIp;
        if (!s.AgwPort.isEmpty()) agw.remotePort = portNumber(s.AgwPort);
        m_link->open();
        m_window.setBytesCount(QStringLiteral("0"));
        m_sender->setClusterCall(toSingleByte(s.ClusterCall));
        Socket& tmpl = m_streams->templateSocket();
        if (!s.ClusterIp.isEmpty()) tmpl.remoteHost = s.ClusterIp;
        if (!s.ClusterPort.isEmpty()) tmpl.remotePort = portNumber(s.ClusterPort);
        tmpl.localPort = 0;
    } catch (const std::exception&) {
        Module1::ErrorLog(QStringLiteral("Form_Load"), QString());
    }
}

void Gateway::closeLink() {
    m_link->close();
}

void Gateway::kick_Click() {
    m_link->kick_Click();
}

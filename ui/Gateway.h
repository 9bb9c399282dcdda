#pragma once
// Everything that runs behind the main window: the AGW link, the stream table with the cluster
// connections, the receive side and SendToAx25, and the start-up sequence. The window owns one
// Gateway and shows what it reports through the Monitor.
#include "config/WindowGeometry.h"
#include "net/Socket.h"

#include <QObject>
#include <QString>
#include <memory>

class AgwLink;
class AgwReceiver;
class AxSender;
class ClusterEvents;
class Monitor;
class StreamTable;

// What start-up needs of the main window besides its geometry.
class MainWindowHost : public WindowGeometry {
public:
    virtual QString title() const = 0;
    virtual void setTitle(const QString& title) = 0;
    virtual void setBytesCount(const QString& text) = 0;
};

class Gateway : public QObject {
    Q_OBJECT
public:
    // The factories make the AGW socket and the cluster sockets (real TCP sockets by default).
    Gateway(Monitor& monitor, MainWindowHost& window, SocketFactory agwSockets = {},
            SocketFactory clusterSockets = {}, QObject* parent = nullptr);
    ~Gateway() override;

    // The start-up sequence of the window's load step. A failing step logs "Form_Load" and ends
    // it; the gateway stays usable (the stream table always exists).
    void Form_Load();
    // First step of the window's unload: the AGW socket is closed, no frame sent before it.
    void closeLink();
    // The "Kick" menu entry.
    void kick_Click();

    AgwLink& link() { return *m_link; }
    StreamTable& streams() { return *m_streams; }
    AxSender& sender() { return *m_sender; }
    AgwReceiver& receiver() { return *m_receiver; }

private:
    Monitor& m_monitor;
    MainWindowHost& m_window;
    std::unique_ptr<AgwLink> m_link;
    std::unique_ptr<StreamTable> m_streams;
    std::unique_ptr<AxSender> m_sender;
    std::unique_ptr<AgwReceiver> m_receiver;
    std::unique_ptr<ClusterEvents> m_cluster;
};

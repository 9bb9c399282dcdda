#pragma once
// Everything that runs: the AGW link, the sessions with their node connections, the receive side
// and the sending to radio users, wired together. The log and the monitor are handed in, the
// settings taken as a value of its own; a run, with the window or headless, owns one Gateway on
// the relay thread (RelayThread). Its controls below may be called from any thread: they run on
// the gateway's own, and the caller waits for them.
#include "config/Settings.h"
#include "net/DescriptorBudget.h"
#include "net/Platform.h"
#include "net/Socket.h"
#include "relay/Session.h"
#include "relay/Status.h"
#include "relay/StatusBoard.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <memory>
#include <type_traits>

class AgwLink;
class ErrorLog;
class WriteBudget;
class Monitor;
class RadioSender;
class Receiver;
class SessionTable;

class Gateway : public QObject {
    Q_OBJECT
public:
    // The relay reads its own copy of settings. The factories make the AGW socket and the node
    // sockets (real TCP sockets by default).
    Gateway(const Settings& settings, ErrorLog& log, Monitor& monitor, const Timing& timing = {},
            SocketFactory agwSockets = {}, SocketFactory nodeSockets = {},
            QObject* parent = nullptr);
    ~Gateway() override;

    // Settings read or saved since: each value takes effect where it is next read. The first
    // call also addresses the engine and the cluster node, for the run: the engine at "AGW IP"
    // and "AGW Port" where they are set (a port that names none leaves the one before), the node
    // at "Winsock IP" and "Winsock Port" (127.0.0.1 and 8000 where they are empty) when both
    // ports name one. Until the node is addressed, radio users are refused.
    void reconfigure(const Settings& settings);
    // Registers the cluster callsign on every radio port of the engine (the default), or on
    // port 0 only.
    void setAllPorts(bool on);
    // At most this many frames per user in an engine that reports them (0: unpaced).
    void setFrameLimit(int frames);
    // Requests the AGW connection.
    void openLink();
    // Callsigns never logged in at the node, added to those already refused.
    void addRefusedCalls(const RefusedCalls& calls);
    // A PROXY line with this source address before every callsign line; none: no PROXY line.
    void setProxySource(const std::optional<QHostAddress>& source);
    // The "Kick" menu entry.
    void kick();
    // Ends the run: the AGW socket is closed first, with no frame sent before it, then every
    // session, quietly.
    void shutdown();

    // At most this much unsent to all cluster nodes together, lingering connections included;
    // the session whose text goes past it ends.
    static constexpr qint64 kNodeQueueLimit = 256 * 1024 * 1024;
    void setNodeQueueLimit(qint64 bytes);

    // The link, the users and the counters as they are now.
    GatewayStatus status() const;
    // The same as snapshots for readers on other threads, taken on this thread when one asks
    // and the last is too old for it. It outlives the gateway.
    std::shared_ptr<StatusBoard> statusBoard() const { return m_board; }

    // Runs work on the gateway's own thread (at once when called there) and waits for it.
    template <typename Work> auto onOwnThread(Work work) const;

    // The parts, for the gateway's own thread only.
    AgwLink& link() { return *m_link; }
    SessionTable& sessions() { return *m_sessions; }
    RadioSender& radio() { return *m_radio; }
    Receiver& receiver() { return *m_receiver; }

private:
    GatewayStatus statusNow() const;

    Settings m_settings;
    bool m_addressed = false;
    ErrorLog& m_log;
    DescriptorBudget m_descriptors;
    std::shared_ptr<WriteBudget> m_nodeQueue;
    NodePolicy m_policy;
    std::unique_ptr<AgwLink> m_link;
    std::unique_ptr<RadioSender> m_radio;
    std::unique_ptr<SessionTable> m_sessions;
    std::unique_ptr<Receiver> m_receiver;
    std::shared_ptr<StatusBoard> m_board = std::make_shared<StatusBoard>();
};

template <typename Work> auto Gateway::onOwnThread(Work work) const {
    if (QThread::currentThread() == thread()) return work();
    auto* self = const_cast<Gateway*>(this);
    if constexpr (std::is_void_v<decltype(work())>) {
        QMetaObject::invokeMethod(self, work, Qt::BlockingQueuedConnection);
    } else {
        decltype(work()) result{};
        QMetaObject::invokeMethod(
            self, [&] { result = work(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}

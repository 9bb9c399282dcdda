#pragma once
// The relay on a thread of its own, whose event loop waits on epoll: the cost of a wake-up follows
// the sockets that are ready, not those that are open, and the window's painting never holds up a
// frame. The Gateway is made, run and destroyed on that thread, with settings of its own that
// reconfigure() keeps up to date; its controls may be called from any other thread.
#include "config/Settings.h"
#include "net/Platform.h"
#include "net/Socket.h"

#include <QThread>
#include <functional>
#include <memory>

class ErrorLog;
class Gateway;
class Monitor;

class RelayThread {
public:
    RelayThread(const Settings& settings, ErrorLog& log, Monitor& monitor,
                const Timing& timing = {}, SocketFactory agwSockets = {},
                SocketFactory nodeSockets = {});
    // The gateway goes on its own thread (its sockets with it), then the thread ends.
    ~RelayThread();

    Gateway& gateway() { return *m_gateway; }
    QThread& thread() { return m_thread; }

private:
    // Runs work on the relay thread and waits for it.
    void onThread(const std::function<void()>& work);

    QThread m_thread;
    Gateway* m_gateway = nullptr;
};

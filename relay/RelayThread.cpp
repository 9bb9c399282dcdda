#include "relay/RelayThread.h"

#include "net/EpollDispatcher.h"
#include "relay/Gateway.h"

RelayThread::RelayThread(const Settings& settings, ErrorLog& log, Monitor& monitor,
                         const Timing& timing, SocketFactory agwSockets,
                         SocketFactory nodeSockets) {
    m_thread.setObjectName(QStringLiteral("relay"));
    if (QAbstractEventDispatcher* d = makeEpollDispatcher()) m_thread.setEventDispatcher(d);
    m_thread.start();
    // The gateway is made on its thread, so that its sockets and timers belong to it.
    onThread([&] {
        m_gateway = new Gateway(settings, log, monitor, timing, std::move(agwSockets),
                                std::move(nodeSockets));
    });
}

RelayThread::~RelayThread() {
    onThread([this] {
        delete m_gateway;
        m_gateway = nullptr;
    });
    m_thread.quit();
    m_thread.wait();
}

void RelayThread::onThread(const std::function<void()>& work) {
    // A call of a plain object that lives on the thread, so that what the work deletes is never
    // the object the call was made to.
    auto* anchor = new QObject;
    anchor->moveToThread(&m_thread);
    QMetaObject::invokeMethod(
        anchor,
        [&] {
            work();
            anchor->deleteLater();
        },
        Qt::BlockingQueuedConnection);
}

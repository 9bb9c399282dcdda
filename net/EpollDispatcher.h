#pragma once
// An event dispatcher on Linux's epoll, for the thread that carries the relay's sockets and timers.
//
// Qt's own dispatchers hand the whole set of socket notifiers to poll() on every turn of the loop,
// so a wake-up costs in proportion to the sockets that are open. This one keeps the notifiers
// registered with one epoll descriptor and the timers in an ordered queue: a wake-up costs in
// proportion to what is ready, and registering a notifier or a timer is cheap however many there
// are. It behaves as Qt's Unix dispatcher does otherwise: posted events first, then awake() and
// aboutToBlock(), the wait, the ready notifiers (QEvent::SockAct), the due timers.
//
// Install it for the main thread with QCoreApplication::setEventDispatcher() before the
// application object exists, or for a thread with QThread::setEventDispatcher() before it starts.
#include <QAbstractEventDispatcher>
#include <QSocketNotifier>
#include <QtGlobal>

#include <memory>

// A new epoll dispatcher, owned by the caller until installed; nullptr where there is none (other
// systems than Linux, or the system refused the descriptors), and the caller keeps Qt's.
QAbstractEventDispatcher* makeEpollDispatcher();

// A socket notifier that the epoll dispatcher activates by calling activate() straight away,
// without an event sent through the application: on a connection that carries a short line per
// arrival, that way costs a good part of the line. No event filter sees its activations. Under
// another dispatcher its QEvent::SockAct calls activate() in the same way; it emits no activated().
class DirectSocketNotifier : public QSocketNotifier {
public:
    // Registered only once it is known to be direct.
    DirectSocketNotifier(qintptr fd, Type type, bool enabled, QObject* parent)
        : QSocketNotifier(type, parent) {
        setSocket(fd);
        setEnabled(enabled);
    }
    virtual void activate() = 0;

protected:
    bool event(QEvent* e) override;
};

#ifdef Q_OS_LINUX
class EpollEventDispatcher final : public QAbstractEventDispatcher {
public:
    explicit EpollEventDispatcher(QObject* parent = nullptr);
    ~EpollEventDispatcher() override;

    // False when the system refused the epoll or the wake-up descriptor.
    bool isValid() const;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    using QAbstractEventDispatcher::registerTimer;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                       QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};
#endif

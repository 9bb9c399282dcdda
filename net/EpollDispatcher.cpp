#include "net/EpollDispatcher.h"

#ifdef Q_OS_LINUX

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimerEvent>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <unordered_map>
#include <vector>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

bool DirectSocketNotifier::event(QEvent* e) {
    if (e->type() != QEvent::SockAct) return QSocketNotifier::event(e);
    activate();
    return true;
}

namespace {
constexpr qint64 kNsPerMs = 1000 * 1000;
constexpr qint64 kNsPerSec = 1000 * kNsPerMs;
// The tag of the wake-up descriptor's events. A socket's tag is its descriptor in the low half
// and the generation of its registration in the high half, so it can never be all ones.
constexpr quint64 kWakeTag = ~quint64(0);
// Events taken from the kernel in one wait; further ready descriptors come in the next turn.
constexpr int kMaxEvents = 256;

// What epoll watches for a notifier of each type (QSocketNotifier::Read, Write, Exception), and
// what activates it: a hang-up or an error activates every type, as poll() does in Qt's own
// dispatcher.
constexpr uint32_t kWatched[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};
constexpr uint32_t kActivating[3] = {EPOLLIN | EPOLLHUP | EPOLLERR, EPOLLOUT | EPOLLHUP | EPOLLERR,
                                     EPOLLPRI | EPOLLHUP | EPOLLERR};

const char* typeName(int type) {
    switch (type) {
    case QSocketNotifier::Read:
        return "Read";
    case QSocketNotifier::Write:
        return "Write";
    default:
        return "Exception";
    }
}

qint64 monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

// Whole milliseconds until due, rounded up: a wait must not end before the timer is due.
qint64 msUntil(qint64 due, qint64 now) {
    return due <= now ? 0 : (due - now + kNsPerMs - 1) / kNsPerMs;
}

// A coarse timer may fire up to 5% of its interval off, and uses that room to fall on a round
// fraction of a second, so that the timers of a thread wake it together: under 50 ms on an even
// millisecond, under 100 ms on a multiple of 4, otherwise on the second, the half second, or a
// multiple of 250, 200, 100, 50 or 25 ms, whichever suits the interval (Qt's rules, kept so that
// the timers behave as they do under Qt's own dispatcher).
qint64 coarseDue(qint64 due, qint64 intervalMs, qint64 now) {
    const qint64 sec = due / kNsPerSec;
    qint64 ms = due % kNsPerSec / kNsPerMs;
    if (intervalMs < 100 && intervalMs != 25 && intervalMs != 50 && intervalMs != 75) {
        if (intervalMs < 50) {
            const qint64 up = ms % 50 >= 25 ? 1 : 0;
            ms = (ms >> 1 | up) << 1;
        } else {
            const qint64 up = ms % 100 >= 50 ? 1 : 0;
            ms = (ms >> 2 | up) << 2;
        }
    } else {
        const qint64 slack = intervalMs / 20;
        const qint64 lo = std::max<qint64>(0, ms - slack);
        const qint64 hi = std::min<qint64>(1000, ms + slack);
        if (lo == 0) {
            ms = 0;
        } else if (hi == 1000) {
            ms = 1000;
        } else if (intervalMs % 500 == 0 && intervalMs >= 5000) {
            ms = ms >= 500 ? hi : lo;
        } else {
            qint64 step = 25;
            if (intervalMs % 500 == 0) {
                step = 500;
            } else if (intervalMs % 50 == 0) {
                const qint64 k = intervalMs / 50;
                step = k % 4 == 0 ? 200 : k % 2 == 0 ? 100 : k % 5 == 0 ? 250 : 50;
            }
            const qint64 base = ms / step * step;
            ms = ms < base + step / 2 ? std::max(base, lo) : std::min(base + step, hi);
        }
    }
    due = sec * kNsPerSec + ms * kNsPerMs;
    if (due < now) due += intervalMs * kNsPerMs;
    return due;
}

} // namespace

struct EpollEventDispatcher::Impl {
    int epfd = -1;
    int wakeFd = -1;
    std::atomic<int> wakePending{0}; // wakeFd has been written and not yet read
    std::atomic<bool> interrupted{false};

    // --- socket notifiers ---------------------------------------------------------------------
    struct Watch {
        QSocketNotifier* notifier[3] = {};
        bool direct[3] = {};    // the notifier is a DirectSocketNotifier
        quint64 serial[3] = {}; // of each registration; 0 when none
        quint64 queued[3] = {}; // serial of the registration waiting in the activation queue
        uint32_t events = 0;    // what epoll watches the descriptor for; 0: not in epoll
        quint32 generation = 0; // counts additions to epoll; events of an older one are stale
        bool pollable = true;   // false: epoll refuses the descriptor (a regular file, /dev/null)
    };
    std::vector<Watch> fds;   // by descriptor
    std::vector<int> unready; // descriptors epoll refuses; poll() reports them always ready
    quint64 lastSerial = 0;

    // Ready notifiers of this wake-up. A notifier unregistered (or deleted) before its turn has a
    // different serial or none by then and is skipped. The queue is shared with event loops
    // nested in an activation, like Qt's list of pending notifiers.
    struct Activation {
        QSocketNotifier* notifier;
        int fd;
        int type;
        quint64 serial;
        bool direct;
    };
    std::vector<Activation> queue;
    size_t queueHead = 0;

    // --- timers -------------------------------------------------------------------------------
    struct Timer {
        int id;
        qint64 intervalMs; // whole seconds for Qt::VeryCoarseTimer
        Qt::TimerType type;
        QObject* object;
        qint64 due;      // monotonic nanoseconds
        quint64 round;   // the activation round that last fired or registered it
        Timer** inEvent; // while its QTimerEvent is being delivered; cleared when it goes
        std::multimap<qint64, Timer*>::iterator pos;
    };
    std::multimap<qint64, Timer*> byDue; // equal due times keep the order of arrival
    std::unordered_map<int, std::unique_ptr<Timer>> timers;
    std::unordered_multimap<QObject*, Timer*> byObject;
    quint64 round = 0;

    ~Impl() {
        if (epfd >= 0) ::close(epfd);
        if (wakeFd >= 0) ::close(wakeFd);
    }

    int consumeWakeUp() {
        eventfd_t value;
        (void)eventfd_read(wakeFd, &value);
        wakePending.store(0, std::memory_order_release);
        return 1;
    }

    // Brings epoll in line with the notifiers registered for fd. renew: tell epoll again even if
    // the events are the same, as the descriptor may have been closed and opened anew since.
    void watch(int fd, bool renew = false) {
        Watch& w = fds[size_t(fd)];
        uint32_t want = 0;
        for (int t = 0; t < 3; ++t)
            if (w.notifier[t]) want |= kWatched[t];
        if (want == w.events && !renew) return;
        if (!w.pollable) {
            if (want == 0) {
                auto it = std::find(unready.begin(), unready.end(), fd);
                if (it != unready.end()) unready.erase(it);
                w.pollable = true;
            }
            w.events = want;
            return;
        }
        epoll_event ev{};
        if (want == 0) {
            // EBADF or ENOENT: the descriptor was closed first, and left epoll with it.
            (void)epoll_ctl(epfd, EPOLL_CTL_DEL, fd, &ev);
            w.events = 0;
            return;
        }
        ev.events = want;
        int op = EPOLL_CTL_MOD;
        if (w.events == 0) {
            op = EPOLL_CTL_ADD;
            ++w.generation;
        }
        ev.data.u64 = quint64(w.generation) << 32 | quint32(fd);
        int r = epoll_ctl(epfd, op, fd, &ev);
        if (r < 0 && op == EPOLL_CTL_MOD && errno == ENOENT) {
            // Closed and opened again under the same number since it was added.
            ev.data.u64 = quint64(++w.generation) << 32 | quint32(fd);
            r = epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
        } else if (r < 0 && op == EPOLL_CTL_ADD && errno == EEXIST) {
            r = epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev);
        }
        if (r == 0) {
            w.events = want;
        } else if (errno == EPERM) {
            w.pollable = false;
            w.events = want;
            unready.push_back(fd);
        } else {
            qWarning("EpollEventDispatcher: cannot watch descriptor %d: %s", fd, strerror(errno));
            w.events = 0;
        }
    }

    void enqueue(int fd, int type) {
        Watch& w = fds[size_t(fd)];
        if (!w.notifier[type] || w.queued[type] == w.serial[type]) return;
        w.queued[type] = w.serial[type];
        queue.push_back({w.notifier[type], fd, type, w.serial[type], w.direct[type]});
    }

    // Queues the notifiers an epoll event activates; 1 for the wake-up descriptor.
    int take(const epoll_event& ev) {
        if (ev.data.u64 == kWakeTag) return consumeWakeUp();
        const int fd = int(quint32(ev.data.u64));
        if (size_t(fd) >= fds.size()) return 0;
        const Watch& w = fds[size_t(fd)];
        if (w.events == 0 || w.generation != quint32(ev.data.u64 >> 32)) return 0;
        for (int t = 0; t < 3; ++t)
            if (ev.events & kActivating[t]) enqueue(fd, t);
        return 0;
    }

    int activateNotifiers() {
        int n = 0;
        while (queueHead < queue.size()) {
            const Activation a = queue[queueHead++];
            if (queueHead == queue.size()) {
                queue.clear();
                queueHead = 0;
            }
            Watch& w = fds[size_t(a.fd)];
            if (w.serial[a.type] != a.serial) continue;
            w.queued[a.type] = 0;
            if (a.direct) {
                static_cast<DirectSocketNotifier*>(a.notifier)->activate();
            } else {
                QEvent event(QEvent::SockAct);
                QCoreApplication::sendEvent(a.notifier, &event);
            }
            ++n;
        }
        return n;
    }

    // --- timers -------------------------------------------------------------------------------
    void moveTimer(Timer* t, qint64 due) {
        auto node = byDue.extract(t->pos);
        node.key() = due;
        t->due = due;
        t->pos = byDue.insert(std::move(node));
    }

    static qint64 nextDue(const Timer& t, qint64 now) {
        if (t.type == Qt::VeryCoarseTimer) {
            const qint64 secs = t.intervalMs / 1000;
            qint64 s = t.due / kNsPerSec + secs;
            if (s <= now / kNsPerSec) s = now / kNsPerSec + secs;
            return s * kNsPerSec;
        }
        qint64 due = t.due + t.intervalMs * kNsPerMs;
        if (due < now) due = now + t.intervalMs * kNsPerMs;
        return t.type == Qt::CoarseTimer ? coarseDue(due, t.intervalMs, now) : due;
    }

    void removeTimer(Timer* t) {
        byDue.erase(t->pos);
        auto [first, last] = byObject.equal_range(t->object);
        for (auto it = first; it != last; ++it) {
            if (it->second == t) {
                byObject.erase(it);
                break;
            }
        }
        if (t->inEvent) *t->inEvent = nullptr;
        timers.erase(t->id);
    }

    // Milliseconds until the first timer that is not in its own event further up the stack is
    // due; -1 when there is none.
    qint64 timerWait() const {
        for (const auto& [due, t] : byDue)
            if (!t->inEvent) return msUntil(due, monotonicNs());
        return -1;
    }

    // Fires every timer that was due when it began, once, in the order of due times. A timer
    // registered meanwhile waits for the next round; a timer still in its own event (a nested
    // event loop) is moved on without firing again. Zero-interval timers do not count as
    // handled events, as with Qt.
    int activateTimers() {
        if (byDue.empty()) return 0;
        const qint64 now = monotonicNs();
        const quint64 thisRound = ++round;
        std::vector<int> due;
        for (auto it = byDue.begin(); it != byDue.end() && it->first <= now; ++it)
            due.push_back(it->second->id);
        int n = 0;
        for (int id : due) {
            auto found = timers.find(id);
            if (found == timers.end()) continue;
            Timer* t = found->second.get();
            if (t->round == thisRound || t->due > now) continue;
            t->round = thisRound;
            moveTimer(t, nextDue(*t, now));
            if (t->intervalMs > 0) ++n;
            if (t->inEvent) continue;
            t->inEvent = &t;
            QTimerEvent event(id);
            QCoreApplication::sendEvent(t->object, &event);
            if (t) t->inEvent = nullptr;
        }
        return n;
    }
};

EpollEventDispatcher::EpollEventDispatcher(QObject* parent)
    : QAbstractEventDispatcher(parent), m(std::make_unique<Impl>()) {
    m->epfd = epoll_create1(EPOLL_CLOEXEC);
    m->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m->epfd < 0 || m->wakeFd < 0) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    if (epoll_ctl(m->epfd, EPOLL_CTL_ADD, m->wakeFd, &ev) < 0) {
        ::close(m->epfd);
        m->epfd = -1;
    }
}

EpollEventDispatcher::~EpollEventDispatcher() = default;

bool EpollEventDispatcher::isValid() const {
    return m->epfd >= 0 && m->wakeFd >= 0;
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    m->interrupted.store(false, std::memory_order_relaxed);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool withTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool withNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool canWait =
        (flags & QEventLoop::WaitForMoreEvents) && !m->interrupted.load(std::memory_order_relaxed);
    if (canWait) emit aboutToBlock();
    if (m->interrupted.load(std::memory_order_relaxed)) return false;

    int timeout = -1;
    if (!canWait || (withNotifiers && !m->unready.empty())) {
        timeout = 0;
    } else if (withTimers) {
        const qint64 wait = m->timerWait();
        if (wait >= 0) timeout = int(std::min<qint64>(wait, INT_MAX));
    }

    int handled = 0;
    if (withNotifiers) {
        epoll_event events[kMaxEvents];
        const int n = epoll_wait(m->epfd, events, kMaxEvents, timeout);
        for (int i = 0; i < n; ++i)
            handled += m->take(events[i]);
        for (int fd : m->unready) {
            // Always ready, as poll() has them; nothing more is known of them.
            m->enqueue(fd, QSocketNotifier::Read);
            m->enqueue(fd, QSocketNotifier::Write);
        }
        handled += m->activateNotifiers();
    } else {
        pollfd p{m->wakeFd, POLLIN, 0};
        if (::poll(&p, 1, timeout) > 0 && (p.revents & POLLIN)) handled += m->consumeWakeUp();
    }
    if (withTimers) handled += m->activateTimers();
    return handled > 0;
}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier) {
    Q_ASSERT(notifier);
    const qintptr fd = notifier->socket();
    const int type = notifier->type();
    if (fd < 0 || fd > INT_MAX) {
        qWarning("EpollEventDispatcher: invalid descriptor %lld", qlonglong(fd));
        return;
    }
#ifndef QT_NO_DEBUG
    if (notifier->thread() != thread() || thread() != QThread::currentThread()) {
        qWarning("QSocketNotifier: socket notifiers cannot be enabled from another thread");
        return;
    }
#endif
    if (size_t(fd) >= m->fds.size()) m->fds.resize(size_t(fd) + 1);
    Impl::Watch& w = m->fds[size_t(fd)];
    // A notifier left registered for a descriptor that was closed, whose number now belongs to
    // another socket: epoll forgot the old one with its closing, so it hears of this one anew.
    const bool replacing = w.notifier[type] && w.notifier[type] != notifier;
    if (replacing)
        qWarning("EpollEventDispatcher: multiple socket notifiers for descriptor %d and type %s",
                 int(fd), typeName(type));
    w.notifier[type] = notifier;
    w.direct[type] = dynamic_cast<DirectSocketNotifier*>(notifier) != nullptr;
    w.serial[type] = ++m->lastSerial;
    m->watch(int(fd), replacing);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier) {
    Q_ASSERT(notifier);
    const qintptr fd = notifier->socket();
    const int type = notifier->type();
#ifndef QT_NO_DEBUG
    if (notifier->thread() != thread() || thread() != QThread::currentThread()) {
        qWarning("QSocketNotifier: socket notifier (fd %d) cannot be disabled from another thread",
                 int(fd));
        return;
    }
#endif
    if (fd < 0 || size_t(fd) >= m->fds.size()) return;
    Impl::Watch& w = m->fds[size_t(fd)];
    if (!w.notifier[type]) return;
    if (w.notifier[type] != notifier) {
        qWarning("EpollEventDispatcher: multiple socket notifiers for descriptor %d and type %s",
                 int(fd), typeName(type));
        return;
    }
    w.notifier[type] = nullptr;
    w.serial[type] = 0;
    m->watch(int(fd));
}

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                         QObject* object) {
#ifndef QT_NO_DEBUG
    if (timerId < 1 || interval < 0 || !object) {
        qWarning("EpollEventDispatcher::registerTimer: invalid arguments");
        return;
    }
    if (object->thread() != thread() || thread() != QThread::currentThread()) {
        qWarning("EpollEventDispatcher::registerTimer: timers cannot be started from another "
                 "thread");
        return;
    }
#endif
    if (auto old = m->timers.find(timerId); old != m->timers.end())
        m->removeTimer(old->second.get());

    auto timer = std::make_unique<Impl::Timer>();
    Impl::Timer* t = timer.get();
    t->id = timerId;
    t->intervalMs = interval;
    t->type = timerType;
    t->object = object;
    t->round = m->round;
    t->inEvent = nullptr;

    const qint64 now = monotonicNs();
    qint64 due = now + interval * kNsPerMs;
    // Coarse timers are precise under 20 ms, where 5% is below a millisecond, and very coarse
    // from 20 s, where it is above a second.
    if (t->type == Qt::CoarseTimer && interval >= 20000) t->type = Qt::VeryCoarseTimer;
    if (t->type == Qt::CoarseTimer && interval <= 20) t->type = Qt::PreciseTimer;
    if (t->type == Qt::CoarseTimer) {
        due = coarseDue(due, interval, now);
    } else if (t->type == Qt::VeryCoarseTimer) {
        // Whole seconds, rounded to the nearest, counted from the nearest second.
        const qint64 secs = (interval + 500) / 1000;
        t->intervalMs = secs * 1000;
        qint64 s = now / kNsPerSec + secs;
        if (now % kNsPerSec > kNsPerSec / 2) ++s;
        due = s * kNsPerSec;
    }
    t->due = due;
    t->pos = m->byDue.emplace(due, t);
    m->byObject.emplace(object, t);
    m->timers.emplace(timerId, std::move(timer));
}

bool EpollEventDispatcher::unregisterTimer(int timerId) {
#ifndef QT_NO_DEBUG
    if (timerId < 1) {
        qWarning("EpollEventDispatcher::unregisterTimer: invalid argument");
        return false;
    }
    if (thread() != QThread::currentThread()) {
        qWarning("EpollEventDispatcher::unregisterTimer: timers cannot be stopped from another "
                 "thread");
        return false;
    }
#endif
    auto found = m->timers.find(timerId);
    if (found == m->timers.end()) return false;
    m->removeTimer(found->second.get());
    return true;
}

bool EpollEventDispatcher::unregisterTimers(QObject* object) {
#ifndef QT_NO_DEBUG
    if (!object) {
        qWarning("EpollEventDispatcher::unregisterTimers: invalid argument");
        return false;
    }
    if (object->thread() != thread() || thread() != QThread::currentThread()) {
        qWarning("EpollEventDispatcher::unregisterTimers: timers cannot be stopped from another "
                 "thread");
        return false;
    }
#endif
    std::vector<Impl::Timer*> mine;
    auto [first, last] = m->byObject.equal_range(object);
    for (auto it = first; it != last; ++it)
        mine.push_back(it->second);
    for (Impl::Timer* t : mine)
        m->removeTimer(t);
    return true;
}

QList<QAbstractEventDispatcher::TimerInfo>
EpollEventDispatcher::registeredTimers(QObject* object) const {
    QList<TimerInfo> list;
    if (!object) {
        qWarning("EpollEventDispatcher::registeredTimers: invalid argument");
        return list;
    }
    auto [first, last] = m->byObject.equal_range(object);
    for (auto it = first; it != last; ++it) {
        const Impl::Timer* t = it->second;
        list.append(TimerInfo(t->id, int(t->intervalMs), t->type));
    }
    return list;
}

int EpollEventDispatcher::remainingTime(int timerId) {
    auto found = m->timers.find(timerId);
    if (found == m->timers.end()) return -1;
    return int(std::min<qint64>(msUntil(found->second->due, monotonicNs()), INT_MAX));
}

void EpollEventDispatcher::wakeUp() {
    int idle = 0;
    if (!m->wakePending.compare_exchange_strong(idle, 1, std::memory_order_acquire)) return;
    while (eventfd_write(m->wakeFd, 1) < 0 && errno == EINTR) {
    }
}

void EpollEventDispatcher::interrupt() {
    m->interrupted.store(true, std::memory_order_relaxed);
    wakeUp();
}

QAbstractEventDispatcher* makeEpollDispatcher() {
    auto* d = new EpollEventDispatcher;
    if (d->isValid()) return d;
    delete d;
    return nullptr;
}

#else

QAbstractEventDispatcher* makeEpollDispatcher() {
    return nullptr;
}

#endif

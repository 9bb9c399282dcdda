// The epoll event dispatcher under the gateway's kind of load: thousands of idle connections and a
// few busy ones, timers of every kind, wake-ups from other threads, notifiers that go away in the
// middle of a wake-up, nested event loops, and a relay thread of its own. The whole test runs on
// the dispatcher: main() below installs it before the application object exists.
#include "net/DescriptorBudget.h"
#include "net/EpollDispatcher.h"
#include "net/TcpSocket.h"
#include "net/UnixSystem.h"
#include "support/Peers.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Runs a real event loop, one that waits in the dispatcher, until done() holds (checked each
// time the loop is about to wait) or ms have passed. QTest::qWaitFor never waits there.
bool spin(const std::function<bool()>& done, int ms = 5000) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    const auto check = QObject::connect(QAbstractEventDispatcher::instance(),
                                        &QAbstractEventDispatcher::aboutToBlock, &loop, [&] {
                                            if (done()) loop.quit();
                                        });
    if (!done()) loop.exec();
    QObject::disconnect(check);
    return done();
}

// A connected pair of local stream sockets, closed with the object.
struct Pair {
    int fd[2] = {-1, -1};
    Pair() { (void)::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd); }
    ~Pair() { closeBoth(); }
    void closeBoth() {
        for (int& f : fd) {
            if (f >= 0) ::close(f);
            f = -1;
        }
    }
    // Makes fd[0] readable.
    void poke() const { (void)!::write(fd[1], "x", 1); }
    // Reads what waits on fd[0]; returns the number of bytes.
    int drain() const {
        char buf[256];
        int total = 0;
        for (ssize_t n; (n = ::read(fd[0], buf, sizeof buf)) > 0;)
            total += int(n);
        return total;
    }
};

// Bytes that show their own position, so a reordering or a gap is seen.
QByteArray pattern(int stream, int index, int size) {
    QByteArray b = QByteArray::number(stream) + '/' + QByteArray::number(index) + ':';
    while (b.size() < size)
        b += char('a' + (stream + index + b.size()) % 26);
    b.truncate(size);
    return b;
}

// A server that echoes every byte on every connection it accepts, and counts what it saw.
struct EchoServer {
    QTcpServer server;
    std::vector<QTcpSocket*> accepted;
    int readers = 0; // accepted connections that have received data
    int ended = 0;   // accepted connections that the client has closed

    bool listen() {
        server.setListenBacklogSize(4096);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                accepted.push_back(s);
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, seen = false]() mutable {
                    if (!seen) ++readers;
                    seen = true;
                    s->write(s->readAll());
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, [this] { ++ended; });
            }
        });
        return server.listen(QHostAddress::LocalHost, 0);
    }
};

// A client that sends numbered blocks through the gateway's TcpSocket and keeps what comes back.
struct Talker {
    TcpSocket socket;
    QByteArray sent;
    QByteArray received;

    explicit Talker(quint16 port) {
        socket.setRemote(QStringLiteral("127.0.0.1"), port);
        QObject::connect(&socket, &Socket::dataArrived, [this] { received += socket.readAll(); });
        socket.connectToHost();
    }
    void send(const QByteArray& b) {
        socket.send(b);
        sent += b;
    }
};

// Idle client connections, as the gateway holds for users who say nothing.
struct IdleClients {
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    int woken = 0; // readyRead on a connection nobody wrote to: a notifier mixed up

    void open(int n, quint16 port) {
        for (int i = 0; i < n; ++i) {
            auto s = std::make_unique<QTcpSocket>();
            QObject::connect(s.get(), &QTcpSocket::readyRead, [this] { ++woken; });
            s->connectToHost(QHostAddress::LocalHost, port);
            sockets.push_back(std::move(s));
        }
    }
    int connected() const {
        int n = 0;
        for (const auto& s : sockets)
            n += s->state() == QAbstractSocket::ConnectedState;
        return n;
    }
};

} // namespace

class tst_dispatcher : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void relay_data();
    void relay();
    void timerOrder();
    void timerInItsOwnEvent_data();
    void timerInItsOwnEvent();
    void manyLongTimers();
    void zeroTimerDoesNotStarve();
    void wakeFromAnotherThread();
    void notifierGoneDuringActivation_data();
    void notifierGoneDuringActivation();
    void nestedLoop();
    void relayThread();
    void peerEndsSocket_data();
    void peerEndsSocket();
    void descriptorTableReserved();
    void descriptorsExhausted();
};

void tst_dispatcher::initTestCase() {
    QVERIFY(dynamic_cast<EpollEventDispatcher*>(QAbstractEventDispatcher::instance()));
}

void tst_dispatcher::relay_data() {
    QTest::addColumn<int>("idle");
    QTest::newRow("alone") << 0;
    // 4000 registered descriptors, and a quarter of the users leave and come back meanwhile, so
    // descriptor numbers are reused under the traffic.
    QTest::newRow("among 2000 idle connections") << 2000;
}

// A few busy connections relay both ways, whole and in order, while the idle ones are never woken.
void tst_dispatcher::relay() {
    QFETCH(int, idle);
    const long long limit = unixsystem::raiseOpenFileLimit();
    if (limit >= 0 && limit < 2 * idle + 200) QSKIP("too few descriptors allowed");
    EchoServer echo;
    QVERIFY(echo.listen());
    const quint16 port = echo.server.serverPort();
    IdleClients idlers;
    idlers.open(idle, port);
    std::vector<std::unique_ptr<Talker>> talkers;
    for (int i = 0; i < 6; ++i)
        talkers.push_back(std::make_unique<Talker>(port));
    const int total = idle + int(talkers.size());
    QVERIFY(spin([&] {
        return int(echo.accepted.size()) == total && idlers.connected() == idle &&
               std::all_of(talkers.begin(), talkers.end(),
                           [](const auto& t) { return t->socket.state() == Socket::Connected; });
    }));

    // One talker sends more in one turn than the system takes at once: its write notifier is
    // armed beside the read notifier of the same descriptor.
    talkers[0]->send(pattern(0, 0, 4 << 20));
    const int churn = idle / 4;
    for (int turn = 0; turn < 20; ++turn) {
        for (size_t t = 1; t < talkers.size(); ++t)
            for (int k = 0; k < 10; ++k)
                talkers[t]->send(pattern(int(t), turn * 10 + k, 97));
        if (turn == 5) {
            for (int i = 0; i < churn; ++i)
                idlers.sockets[size_t(i)]->abort();
            idlers.open(churn, port);
        }
        QTest::qWait(1); // the next turn
    }
    QVERIFY(spin(
        [&] {
            return std::all_of(talkers.begin(), talkers.end(),
                               [](const auto& t) { return t->received.size() == t->sent.size(); });
        },
        10000));
    for (const auto& t : talkers)
        QVERIFY(t->received == t->sent);
    QVERIFY(spin([&] { return echo.ended == churn && idlers.connected() == idle; }));
    QCOMPARE(echo.readers, int(talkers.size()));
    QCOMPARE(idlers.woken, 0);
}

void tst_dispatcher::timerOrder() {
    QStringList fired;
    const std::pair<const char*, int> timers[] = {{"30", 30},  {"10a", 10}, {"20", 20},
                                                  {"10b", 10}, {"0", 0},    {"coarse 40", 40}};
    for (const auto& [name, ms] : timers) {
        const QString n = QString::fromLatin1(name);
        const auto type =
            n.startsWith(QLatin1String("coarse")) ? Qt::CoarseTimer : Qt::PreciseTimer;
        QTimer::singleShot(ms, type, [&fired, n] { fired << n; });
    }
    QElapsedTimer clock;
    clock.start();
    int fiftyAt = -1;
    QTimer::singleShot(50, Qt::PreciseTimer, [&] { fiftyAt = int(clock.elapsed()); });
    QVERIFY(spin([&] { return fired.size() == 6 && fiftyAt >= 0; }));
    QCOMPARE(fired, QStringList({"0", "10a", "10b", "20", "30", "coarse 40"}));
    QVERIFY2(fiftyAt >= 50, qPrintable(QString::number(fiftyAt))); // never early
    spin([] { return false; }, 30);
    QCOMPARE(fired.size(), 6); // single shots
}

namespace {
// A timer that acts on itself from within its own QTimerEvent.
class SelfTimer : public QObject {
public:
    enum Action { Stop, Restart, KillAndStartAnew };
    SelfTimer(Action action, int interval) : m_action(action) { m_id = startTimer(interval); }
    int shots = 0;
    int id() const { return m_id; }

protected:
    void timerEvent(QTimerEvent* e) override {
        QCOMPARE(e->timerId(), m_id);
        ++shots;
        if (m_action == Stop && shots == 3) killTimer(m_id);
        if (m_action == Restart && shots == 1) {
            // QTimer::start() on a running timer: stop, then a fresh registration.
            killTimer(m_id);
            m_id = startTimer(20);
        }
        if (m_action == KillAndStartAnew) {
            // The freed id is handed out again at once; the new timer is due later.
            killTimer(m_id);
            m_id = startTimer(shots < 3 ? 0 : 60000);
        }
    }

private:
    Action m_action;
    int m_id;
};
} // namespace

void tst_dispatcher::timerInItsOwnEvent_data() {
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("interval");
    QTest::addColumn<int>("shots");
    QTest::newRow("stops itself after three") << int(SelfTimer::Stop) << 5 << 3;
    QTest::newRow("restarts with a longer interval") << int(SelfTimer::Restart) << 0 << 6;
    QTest::newRow("kills itself and starts anew") << int(SelfTimer::KillAndStartAnew) << 0 << 3;
}

void tst_dispatcher::timerInItsOwnEvent() {
    QFETCH(int, action);
    QFETCH(int, interval);
    QFETCH(int, shots);
    SelfTimer timer(SelfTimer::Action(action), interval);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(spin([&] { return timer.shots >= shots; }));
    spin([] { return false; }, 30);
    if (action == SelfTimer::Restart) {
        // Five more at 20 ms after the first: not before 100 ms, and still running.
        QVERIFY(clock.elapsed() >= 100);
        QVERIFY(timer.shots >= shots);
    } else {
        QCOMPARE(timer.shots, shots);
    }
    if (action == SelfTimer::KillAndStartAnew) {
        const int left = QAbstractEventDispatcher::instance()->remainingTime(timer.id());
        QVERIFY2(left > 58000 && left <= 61000, qPrintable(QString::number(left)));
    }
}

// One keep-alive timer per user: thousands of long timers do not delay a short one, go as a
// whole with their objects, and keep their kind and interval when moved to another thread.
void tst_dispatcher::manyLongTimers() {
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    std::vector<std::unique_ptr<QTimer>> keepAlive;
    for (int i = 0; i < 5000; ++i) {
        auto t = std::make_unique<QTimer>();
        t->start(60000);
        keepAlive.push_back(std::move(t));
    }
    const auto info = dispatcher->registeredTimers(keepAlive.back().get());
    QCOMPARE(info.size(), 1);
    QCOMPARE(info[0].timerType, Qt::VeryCoarseTimer); // coarse from 20 s on counts seconds
    QCOMPARE(info[0].interval, 60000);
    const int left = keepAlive.back()->remainingTime();
    QVERIFY2(left >= 59000 && left <= 61000, qPrintable(QString::number(left)));

    bool shortFired = false;
    QTimer::singleShot(20, Qt::PreciseTimer, [&] { shortFired = true; });
    // Half the users leave, the others send something (each send restarts its timer).
    for (size_t i = 0; i < keepAlive.size(); ++i) {
        if (i % 2)
            keepAlive[i].reset();
        else
            keepAlive[i]->start(60000);
    }
    QVERIFY(spin([&] { return shortFired; }, 2000));

    // A moved object's timers are taken from this thread and registered in the other.
    QThread other;
    other.setEventDispatcher(makeEpollDispatcher());
    other.start();
    QObject mover;
    mover.startTimer(25000, Qt::CoarseTimer);
    mover.startTimer(30, Qt::PreciseTimer);
    mover.moveToThread(&other);
    QVERIFY(dispatcher->registeredTimers(&mover).isEmpty());
    QList<QAbstractEventDispatcher::TimerInfo> there;
    QVERIFY(QTest::qWaitFor([&] {
        QMetaObject::invokeMethod(
            &mover, [&] { there = QAbstractEventDispatcher::instance()->registeredTimers(&mover); },
            Qt::BlockingQueuedConnection);
        return there.size() == 2;
    }));
    std::sort(there.begin(), there.end(),
              [](const auto& a, const auto& b) { return a.interval < b.interval; });
    QCOMPARE(there[0].interval, 30);
    QCOMPARE(there[0].timerType, Qt::PreciseTimer);
    QCOMPARE(there[1].interval, 25000);
    QCOMPARE(there[1].timerType, Qt::VeryCoarseTimer);
    QMetaObject::invokeMethod(
        &mover, [&] { mover.moveToThread(QCoreApplication::instance()->thread()); },
        Qt::BlockingQueuedConnection);
    QCoreApplication::sendPostedEvents(&mover); // and back
    QCOMPARE(dispatcher->registeredTimers(&mover).size(), 2);
    other.quit();
    QVERIFY(other.wait(2000));
}

// A timer of 0 ms runs on every turn of the loop; sockets, posted events and other timers still
// get theirs.
void tst_dispatcher::zeroTimerDoesNotStarve() {
    int spins = 0;
    QTimer busy;
    connect(&busy, &QTimer::timeout, [&] { ++spins; });
    busy.start(0);
    Pair pair;
    QSocketNotifier reader(pair.fd[0], QSocketNotifier::Read);
    int bytes = 0;
    connect(&reader, &QSocketNotifier::activated, [&] { bytes += pair.drain(); });
    bool posted = false, ticked = false;
    QMetaObject::invokeMethod(
        this, [&] { posted = true; }, Qt::QueuedConnection);
    QTimer::singleShot(10, [&] { ticked = true; });
    std::thread writer([&pair] {
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            pair.poke();
        }
    });
    const bool done = spin([&] { return bytes == 5 && posted && ticked && spins > 100; }, 3000);
    writer.join();
    QVERIFY(done);
}

void tst_dispatcher::wakeFromAnotherThread() {
    // Nothing else is due: the loop waits until the other thread posts.
    QStringList seen;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    auto a = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [&] { seen << "block"; });
    auto b = connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { seen << "awake"; });
    QEventLoop loop;
    bool delivered = false, gaveUp = false;
    QObject receiver;
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        QMetaObject::invokeMethod(
            &receiver,
            [&] {
                delivered = true;
                seen << "call";
                loop.quit();
            },
            Qt::QueuedConnection);
    });
    // Only what stops a loop that nothing wakes.
    QTimer::singleShot(10000, &loop, [&] {
        gaveUp = true;
        loop.quit();
    });
    loop.exec();
    poster.join();
    disconnect(a);
    disconnect(b);
    QVERIFY(delivered && !gaveUp);
    // It had blocked, woke for the call, and handled it after waking.
    const int call = int(seen.indexOf("call"));
    QVERIFY(call >= 2);
    QCOMPARE(seen.mid(call - 2, 2), QStringList({"block", "awake"}));
}

void tst_dispatcher::notifierGoneDuringActivation_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("deleted") << 0;
    QTest::newRow("disabled") << 1;
    QTest::newRow("descriptor closed first, its number reused") << 2;
    QTest::newRow("descriptor closed, its number reused, then the notifier deleted") << 3;
}

// Two descriptors are ready in the same wake-up; whichever notifier comes first does away with
// the other, which then must not be activated.
void tst_dispatcher::notifierGoneDuringActivation() {
    QFETCH(int, how);
    Pair pairs[2];
    QPointer<QSocketNotifier> notifiers[2];
    int activations[2] = {0, 0};
    std::unique_ptr<Pair> reused;
    std::unique_ptr<QSocketNotifier> onReused;
    int reusedActivations = 0;
    for (int i = 0; i < 2; ++i) {
        notifiers[i] = new QSocketNotifier(pairs[i].fd[0], QSocketNotifier::Read, this);
        connect(notifiers[i], &QSocketNotifier::activated, [&, i] {
            ++activations[i];
            pairs[i].drain();
            const int other = 1 - i;
            if (!notifiers[other]) return;
            if (how == 1) {
                notifiers[other]->setEnabled(false);
                return;
            }
            const int oldFd = pairs[other].fd[0];
            if (how >= 2) pairs[other].closeBoth();
            if (how != 3) delete notifiers[other];
            if (how >= 2) {
                reused = std::make_unique<Pair>();
                QCOMPARE(reused->fd[0], oldFd);
                onReused = std::make_unique<QSocketNotifier>(reused->fd[0], QSocketNotifier::Read);
                connect(onReused.get(), &QSocketNotifier::activated, [&] {
                    ++reusedActivations;
                    reused->drain();
                });
            }
            if (how == 3) delete notifiers[other];
        });
    }
    if (how == 3) {
        // The new notifier takes the place of the stale one, and the stale one is not found.
        for (int i = 0; i < 2; ++i)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("multiple socket notifiers"));
    }
    pairs[0].poke();
    pairs[1].poke();
    QCoreApplication::processEvents(); // one wake-up
    QCOMPARE(activations[0] + activations[1], 1);
    if (how >= 2) {
        QCOMPARE(reusedActivations, 0); // not ready: the old descriptor's readiness is not its own
        reused->poke();
        QVERIFY(spin([&] { return reusedActivations == 1; }, 2000));
    }
    delete notifiers[0];
    delete notifiers[1];
}

// A slot that runs an event loop of its own (a modal wait, QTest::qWait): everything else goes on
// meanwhile, but the timer whose event is running does not fire into itself.
void tst_dispatcher::nestedLoop() {
    QTimer outer;
    int outerShots = 0, depth = 0, reentered = 0;
    int otherTicks = 0, reads = 0;
    bool posted = false;
    Pair pair;
    QSocketNotifier reader(pair.fd[0], QSocketNotifier::Read);
    connect(&reader, &QSocketNotifier::activated, [&] {
        pair.drain();
        ++reads;
    });
    QTimer other;
    connect(&other, &QTimer::timeout, [&] { ++otherTicks; });
    connect(&outer, &QTimer::timeout, [&] {
        ++outerShots;
        if (depth > 0) ++reentered;
        if (outerShots != 1) return;
        ++depth;
        other.start(5);
        pair.poke();
        QMetaObject::invokeMethod(
            this, [&] { posted = true; }, Qt::QueuedConnection);
        QVERIFY(spin([&] { return otherTicks >= 5 && reads == 1 && posted; }, 3000));
        QTest::qWait(20);
        --depth;
    });
    outer.start(5);
    QVERIFY(spin([&] { return outerShots >= 3; }, 3000));
    QCOMPARE(reentered, 0);
}

// The relay's own thread: a thread given the dispatcher before it starts carries sockets and
// timers, and ends promptly when asked while it waits.
void tst_dispatcher::relayThread() {
    QThread relay;
    relay.setEventDispatcher(makeEpollDispatcher());
    relay.start();
    QObject anchor;
    anchor.moveToThread(&relay);
    std::atomic<bool> ours{false}, relayed{false};
    struct Parts {
        EchoServer echo;
        std::unique_ptr<Talker> talker;
    };
    Parts* parts = nullptr;
    QMetaObject::invokeMethod(
        &anchor,
        [&] {
            ours = dynamic_cast<EpollEventDispatcher*>(QAbstractEventDispatcher::instance()) !=
                   nullptr;
            parts = new Parts;
            if (!parts->echo.listen()) return;
            parts->talker = std::make_unique<Talker>(parts->echo.server.serverPort());
            Talker* t = parts->talker.get();
            connect(&t->socket, &Socket::connected, [t] {
                for (int i = 0; i < 100; ++i)
                    t->send(pattern(1, i, 50));
            });
            connect(&t->socket, &Socket::dataArrived, [t, &relayed] {
                if (t->received == t->sent) relayed = true;
            });
        },
        Qt::BlockingQueuedConnection);
    QVERIFY(ours);
    // Meanwhile the main thread's loop turns too: each thread flushes its own sockets.
    QVERIFY(spin([&] { return relayed.load(); }, 5000));
    QMetaObject::invokeMethod(
        &anchor, [&] { delete parts; }, Qt::BlockingQueuedConnection);
    QMetaObject::invokeMethod(
        &anchor, [&] { anchor.moveToThread(QCoreApplication::instance()->thread()); },
        Qt::BlockingQueuedConnection);
    // The quit wakes it: with nothing left to wait for, it would otherwise sleep for good.
    relay.quit();
    QVERIFY(relay.wait(10000));
}

// The TcpSocket tells a peer's reset from its orderly close under this dispatcher too, where it
// asks the kernel only when epoll reports a hang-up or an error.
void tst_dispatcher::peerEndsSocket_data() {
    QTest::addColumn<bool>("reset");
    QTest::newRow("orderly close") << false;
    QTest::newRow("reset") << true;
}

void tst_dispatcher::peerEndsSocket() {
    QFETCH(bool, reset);
    QCOMPARE(socketSeesPeerEnd(reset),
             reset ? QStringList{"error: Connection reset by peer 9"} : QStringList{"closed 8"});
}

int main(int argc, char** argv) {
    QAbstractEventDispatcher* dispatcher = makeEpollDispatcher();
    if (!dispatcher) {
        std::puts("no epoll dispatcher on this system: nothing to test");
        return 0;
    }
    QCoreApplication::setEventDispatcher(dispatcher);
    QCoreApplication app(argc, argv);
    tst_dispatcher tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

// The room made at the start is there (the kernel's table size is FDSize in /proc/self/status),
// and asking for more than the limit allows takes what it allows.
void tst_dispatcher::descriptorTableReserved() {
    const auto tableSize = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly)) return -1LL;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("FDSize:")) return line.mid(7).trimmed().toLongLong();
        return -1LL;
    };
    if (tableSize() < 0) QSKIP("no FDSize in /proc/self/status");
    const long long limit = unixsystem::raiseOpenFileLimit();
    // More than the other tests here ever open.
    const long long want = limit < 0 ? 20000 : qMin(20000LL, limit);
    unixsystem::reserveDescriptors(want);
    QVERIFY(tableSize() >= want);
    const int before = unixsystem::openDescriptors();
    unixsystem::reserveDescriptors(limit < 0 ? 1LL << 40 : limit + 1000);
    unixsystem::reserveDescriptors(-1);
    QCOMPARE(unixsystem::openDescriptors(), before);
}

// With no descriptor left even to count them by, the count is the limit, and the budget is low.
void tst_dispatcher::descriptorsExhausted() {
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit few = saved;
    few.rlim_cur = rlim_t(unixsystem::openDescriptors() + 8);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &few), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        filler.push_back(fd);
    const int counted = unixsystem::openDescriptors();
    DescriptorBudget budget(1);
    const bool low = budget.low();
    for (int fd : filler)
        ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    QCOMPARE(counted, int(few.rlim_cur));
    QVERIFY(low);
}

#include "tst_dispatcher.moc"

// The processor time an event loop spends per wake-up, against the number of idle sockets
// registered with it: the cost that grows with the open cluster connections under Qt's own
// dispatchers and should not under the epoll one.
//
//   wakeup_cost [--epoll] [--rounds N] [IDLE...]      (default IDLE: 10 5000)
//
// A thread runs an event loop with IDLE idle socket pairs (a read notifier on each, as a
// connected QTcpSocket has) and one busy pair whose notifier answers every byte with a byte. The
// main thread plays the peer: N round trips, one byte each way, so every round is one wake-up.
// The loop thread's own processor time (CLOCK_THREAD_CPUTIME_ID) over the rounds, divided by N,
// is the figure. Qt's dispatcher for a thread is GLib's unless QT_NO_GLIB=1 is set, then Qt's
// poll() one; --epoll installs ours.
#include "net/EpollDispatcher.h"
#include "net/UnixSystem.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

double threadCpuUs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

double wallUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

struct Result {
    double cpuUs = 0;  // loop thread, per round
    double wallUs = 0; // round trip seen by the peer
};

Result measure(bool epoll, int idle, int rounds) {
    QThread loop;
    if (epoll) loop.setEventDispatcher(makeEpollDispatcher());
    loop.start();

    std::vector<int> fds;
    int busy[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, busy) != 0) return {};
    fcntl(busy[1], F_SETFL, O_NONBLOCK);
    fds.push_back(busy[0]);
    fds.push_back(busy[1]);

    // Everything the loop thread owns is made and destroyed there.
    QObject anchor;
    anchor.moveToThread(&loop);
    std::vector<std::unique_ptr<QSocketNotifier>>* notifiers = nullptr;
    double cpuStart = 0, cpuEnd = 0;
    int seen = 0;
    QMetaObject::invokeMethod(
        &anchor,
        [&] {
            notifiers = new std::vector<std::unique_ptr<QSocketNotifier>>;
            for (int i = 0; i < idle; ++i) {
                int p[2];
                if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, p) != 0)
                    break;
                fds.push_back(p[0]);
                fds.push_back(p[1]);
                notifiers->push_back(
                    std::make_unique<QSocketNotifier>(p[1], QSocketNotifier::Read));
            }
            auto echo = std::make_unique<QSocketNotifier>(busy[1], QSocketNotifier::Read);
            QObject::connect(echo.get(), &QSocketNotifier::activated, [&] {
                // One byte per activation, so that every round is one turn of the loop even
                // when the next byte is already there.
                char c;
                if (::read(busy[1], &c, 1) != 1) return;
                if (seen == 0) cpuStart = threadCpuUs();
                if (++seen == rounds + 1) cpuEnd = threadCpuUs();
                (void)!::write(busy[1], &c, 1);
            });
            notifiers->push_back(std::move(echo));
        },
        Qt::BlockingQueuedConnection);

    // One round before the clock starts, then the measured ones.
    const double wallStart = wallUs();
    for (int i = 0; i <= rounds; ++i) {
        char c = 'x';
        if (::write(busy[0], &c, 1) != 1 || ::read(busy[0], &c, 1) != 1) break;
    }
    const double wallEnd = wallUs();

    QMetaObject::invokeMethod(
        &anchor,
        [&] {
            delete notifiers;
            anchor.moveToThread(nullptr);
        },
        Qt::BlockingQueuedConnection);
    loop.quit();
    loop.wait();
    for (int fd : fds)
        ::close(fd);
    return {(cpuEnd - cpuStart) / rounds, (wallEnd - wallStart) / (rounds + 1)};
}

} // namespace

int main(int argc, char** argv) {
    unixsystem::raiseOpenFileLimit();
    QCoreApplication app(argc, argv);
    bool epoll = false;
    int rounds = 20000;
    std::vector<int> idles;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--epoll")) {
            epoll = true;
        } else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (argv[i][0] != '-') {
            idles.push_back(std::atoi(argv[i]));
        } else {
            std::fprintf(stderr, "usage: %s [--epoll] [--rounds N] [IDLE...]\n", argv[0]);
            return 2;
        }
    }
    if (idles.empty()) idles = {10, 5000};
    if (epoll && !std::unique_ptr<QAbstractEventDispatcher>(makeEpollDispatcher())) {
        std::fprintf(stderr, "no epoll dispatcher on this system\n");
        return 1;
    }
    const char* name = epoll                                     ? "epoll"
                       : qEnvironmentVariableIsSet("QT_NO_GLIB") ? "qt-unix-poll"
                                                                 : "qt-glib";
    for (int idle : idles) {
        const Result r = measure(epoll, idle, rounds);
        std::printf("dispatcher=%s idle=%d rounds=%d cpu_us_per_wakeup=%.2f roundtrip_us=%.2f\n",
                    name, idle, rounds, r.cpuUs, r.wallUs);
        std::fflush(stdout);
    }
    return 0;
}

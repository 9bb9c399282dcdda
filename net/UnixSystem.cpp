#include "net/UnixSystem.h"

#include <QSocketNotifier>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <climits>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace unixsystem {

#ifdef Q_OS_UNIX

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int g_pipe[2] = {-1, -1}; // [0] written by the handler, [1] read by the event loop
bool g_notifierActive = false;

extern "C" void onTerminationSignal(int signalNumber) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Async-signal-safe; a full socket buffer means a signal is already on its way.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[0], &byte, 1);
    errno = saved;
}

void setHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int s : kSignals)
        ::sigaction(s, &action, nullptr);
}

} // namespace

long long raiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long long>(limit.rlim_cur);
}

void reserveDescriptors(long long count) {
    const long long limit = openFileLimit();
    if (limit >= 0 && count > limit) count = limit;
    if (count <= 1 || count > INT_MAX) return;
    // The lowest free descriptor at or above count - 1 makes the table hold count of them; the
    // table keeps its size when they are closed again.
    const int base = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (base < 0) return;
    const int high = ::fcntl(base, F_DUPFD_CLOEXEC, static_cast<int>(count - 1));
    if (high >= 0) ::close(high);
    ::close(base);
}

long long openFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
    return static_cast<long long>(limit.rlim_cur);
}

int openDescriptors() {
    // Each entry of /proc/self/fd is an open descriptor; the directory's own is one of them.
    DIR* d = ::opendir("/proc/self/fd");
    if (!d) {
        // Out of descriptors is an answer, not an unknown: taking it for one would let the
        // gateway go on opening connections with nothing left for itself.
        const int error = errno;
        const long long limit = openFileLimit();
        if ((error == EMFILE || error == ENFILE) && limit >= 0)
            return static_cast<int>(qMin<long long>(limit, INT_MAX));
        return -1;
    }
    int n = 0;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n - 1;
}

bool catchTerminationSignals() {
    if (g_pipe[0] >= 0) return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return false;
    }
    setHandler(onTerminationSignal);
    // A signal that came before this point and waited, blocked by whoever started us, is taken
    // now, like any later one.
    sigset_t set;
    sigemptyset(&set);
    for (const int s : kSignals)
        sigaddset(&set, s);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return true;
}

void ignoreTerminationSignals() {
    setHandler(SIG_IGN);
}

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (g_notifierActive || !catchTerminationSignals()) return;
    m_notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readSignal);
    g_notifierActive = true;
    m_active = true;
}

TerminationSignals::~TerminationSignals() {
    if (!m_active) return;
    delete m_notifier;
    g_notifierActive = false;
}

void TerminationSignals::readSignal() {
    unsigned char byte = 0;
    while (::read(g_pipe[1], &byte, 1) == 1)
        emit terminationRequested(byte);
}

#else // not Unix

long long raiseOpenFileLimit() {
    return -1;
}

void reserveDescriptors(long long) {}

long long openFileLimit() {
    return -1;
}

int openDescriptors() {
    return -1;
}

bool catchTerminationSignals() {
    return false;
}

void ignoreTerminationSignals() {}

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::readSignal() {}

#endif

} // namespace unixsystem

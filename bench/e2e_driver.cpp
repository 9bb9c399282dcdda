// e2e_driver: drives the real gateway from both sides and measures it.
//
// It plays the packet engine (one AGW connection; radio users connect with "C" frames and type
// "D" frames) and the cluster node (one connection per user, logged in by the first line), starts
// the gateway in a temporary directory with a pktgate.cfg that points at itself, runs the
// requested phases and prints one line of key=value figures per phase: units per second, the
// gateway's CPU seconds per unit (utime + stime from /proc/<pid>/stat), its RSS and peak RSS
// (VmRSS, VmHWM from /proc/<pid>/status) and, for paced phases, the latency from the moment a
// line is written on one side to the moment it is read whole on the other.
//
// Every line carries its send time and a per-user sequence number and has a fixed length and
// filler, so the driver also checks that nothing is lost, reordered or damaged on the way.
//
// With --socat the same byte stream goes through one socat relay instead (one connection, no
// framing work), which gives the cost floor of moving the bytes at all.
//
// Plain POSIX sockets and epoll, one thread; nothing here depends on the gateway's code.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr size_t kHeader = 36;
constexpr size_t kLineChars = 80;
constexpr size_t kLineHead = 28; // "<16 hex digits of send time> <10 digits of sequence> "
constexpr const char* kClusterCall = "GB7TC";
constexpr const char* kUserPrefix = "SIM";

[[noreturn]] void die(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fputs("e2e_driver: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::exit(1);
}

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---- what goes on the wire ---------------------------------------------------------------------

const std::string& filler() {
    static const std::string f = [] {
        std::string s;
        for (size_t i = 0; i < kLineChars - kLineHead; ++i)
            s += char('a' + i % 26);
        return s;
    }();
    return f;
}

// One line of 80 characters: send time, sequence number, filler; then the line end.
void putLine(std::string& out, int64_t sentNs, uint64_t seq, std::string_view end) {
    char head[kLineHead + 1];
    std::snprintf(head, sizeof head, "%016" PRIx64 " %010" PRIu64 " ", uint64_t(sentNs),
                  uint64_t(seq % 10000000000ULL));
    out.append(head, kLineHead);
    out += filler();
    out += end;
}

// Reads a line without its end; false when it is not one of ours, whole and undamaged.
bool parseLine(std::string_view line, int64_t& sentNs, uint64_t& seq) {
    if (line.size() != kLineChars || line[16] != ' ' || line[27] != ' ') return false;
    uint64_t t = 0;
    for (size_t i = 0; i < 16; ++i) {
        const char c = line[i];
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            return false;
        t = t << 4 | uint64_t(v);
    }
    uint64_t s = 0;
    for (size_t i = 17; i < 27; ++i) {
        if (line[i] < '0' || line[i] > '9') return false;
        s = s * 10 + uint64_t(line[i] - '0');
    }
    if (line.substr(kLineHead) != filler()) return false;
    sentNs = int64_t(t);
    seq = s;
    return true;
}

void putFrame(std::string& out, uint8_t port, char kind, uint8_t pid, std::string_view from,
              std::string_view to, std::string_view data) {
    const size_t at = out.size();
    out.resize(at + kHeader, '\0');
    char* h = out.data() + at;
    h[0] = char(port);
    h[4] = kind;
    h[6] = char(pid);
    std::memcpy(h + 8, from.data(), std::min<size_t>(10, from.size()));
    std::memcpy(h + 18, to.data(), std::min<size_t>(10, to.size()));
    const auto n = uint32_t(data.size());
    for (int i = 0; i < 4; ++i)
        h[28 + i] = char(n >> (8 * i) & 0xff);
    out += data;
}

uint32_t le32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(u[0]) | uint32_t(u[1]) << 8 | uint32_t(u[2]) << 16 | uint32_t(u[3]) << 24;
}

std::string_view callField(const char* p) {
    size_t n = 0;
    while (n < 10 && p[n] != '\0')
        ++n;
    return {p, n};
}

// "SIM<n>" -> n - 1; -1 for anything else.
int userOf(std::string_view call, size_t users) {
    const size_t pre = std::strlen(kUserPrefix);
    if (call.size() <= pre || call.substr(0, pre) != kUserPrefix) return -1;
    size_t n = 0;
    for (char c : call.substr(pre)) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + size_t(c - '0');
    }
    return n >= 1 && n <= users ? int(n - 1) : -1;
}

// ---- processes ---------------------------------------------------------------------------------

struct ProcStats {
    double cpuSeconds = 0; // utime + stime
    long rssKb = 0;        // VmRSS
    long hwmKb = 0;        // VmHWM
};

// utime + stime of a /proc stat file, in seconds; its command (thread name) into comm.
double statCpuSeconds(const std::string& path, std::string* comm = nullptr) {
    std::ifstream f(path);
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t open = all.find('(');
    const size_t close = all.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return 0;
    if (comm) *comm = all.substr(open + 1, close - open - 1);
    // Fields after the command: state is field 3, utime 14, stime 15.
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < all.size()) {
        const size_t sp = all.find(' ', at);
        fields.push_back(all.substr(at, sp == std::string::npos ? sp : sp - at));
        if (sp == std::string::npos) break;
        at = sp + 1;
    }
    if (fields.size() <= 12) return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) / double(sysconf(_SC_CLK_TCK));
}

// CPU seconds of each of the process's threads, summed by thread name.
std::map<std::string, double> threadCpu(pid_t pid) {
    std::map<std::string, double> out;
    std::error_code ec;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(dir, ec)) {
        std::string name;
        const double secs = statCpuSeconds(task.path().string() + "/stat", &name);
        out[name] += secs;
    }
    return out;
}

ProcStats readProc(pid_t pid) {
    ProcStats s;
    s.cpuSeconds = statCpuSeconds("/proc/" + std::to_string(pid) + "/stat");
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKb = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) s.hwmKb = std::atol(line.c_str() + 6);
    }
    return s;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& dir, const std::string& log,
            const std::vector<std::string>& env) {
    const pid_t pid = fork();
    if (pid < 0) die("fork: %s", std::strerror(errno));
    if (pid == 0) {
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        for (const std::string& e : env)
            putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Ends a child with SIGTERM (SIGKILL after timeoutMs); its exit status, or -1 if killed.
int endChild(pid_t pid, int timeoutMs) {
    if (pid <= 0) return 0;
    kill(pid, SIGTERM);
    int status = 0;
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

bool alive(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

// ---- sockets -----------------------------------------------------------------------------------

void nonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int listenLocal(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket: %s", std::strerror(errno));
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        die("bind 127.0.0.1:%u: %s", unsigned(port), std::strerror(errno));
    if (listen(fd, 65535) != 0) die("listen: %s", std::strerror(errno));
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    nonBlocking(fd);
    return fd;
}

int connectLocal(uint16_t port, int tries) {
    for (int i = 0; i < tries; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            nonBlocking(fd);
            return fd;
        }
        close(fd);
        usleep(20000);
    }
    die("cannot connect to 127.0.0.1:%u", unsigned(port));
}

enum class Role { Listener, Engine, Node, RawLines, RawFrames, Writer };

struct Conn {
    int fd = -1;
    Role role = Role::Writer;
    std::string in;
    size_t inPos = 0;
    std::string out;
    size_t outPos = 0;
    bool watchingOut = false;
    bool dirty = false; // written to, to be flushed at the end of the loop's turn
    bool eof = false;
    int user = -1; // node side: the user logged in on this connection
    size_t pendingOut() const { return out.size() - outPos; }
};

// ---- the driver --------------------------------------------------------------------------------

struct Phase {
    enum Dir { N2R, R2N } dir = N2R;
    bool broadcast = false; // paced node->radio: each unit is one line to every user at once
    double rate = 0;        // units per second; 0: as fast as they are taken
    uint64_t units = 0;     // flat out: units to send
    double seconds = 0;     // paced: how long
    std::string text;       // as given
};

struct User {
    std::string call;
    Conn* node = nullptr;
    std::string radioText; // engine side: data of "D" frames not yet ending in CR
    uint64_t n2rSent = 0, n2rSeen = 0;
    uint64_t r2nSent = 0, r2nSeen = 0;
};

struct Options {
    std::string gateway; // path of pktgate; empty with --socat
    bool socat = false;
    size_t users = 500;
    std::vector<Phase> phases;
    uint64_t window = 20000; // flat out: units in flight at most, all users together
    uint64_t perUser = 32;   // flat out: units in flight per user at most
    uint64_t rssEvery = 0;   // flat-out node->radio: sample VmRSS every this many lines
    std::string latencyOut;  // prefix for latency sample files of paced phases
    int packetLength = 130;
    double timeoutS = 120; // per phase
    std::string keepDir;   // keep the gateway's directory here (error.log etc.)
    std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen"}; // the gateway's environment
    std::vector<std::string> gatewayArgs;                      // after the gateway's path
    int statusReaders = 0; // clients reloading the status page "/" as fast as they can
    std::string statusPath = "/";
};

// Picks a free port on 127.0.0.1 for the gateway's status server (free when asked).
uint16_t freeLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        die("no free port: %s", std::strerror(errno));
    ::close(fd);
    return ntohs(a.sin_port);
}

// Clients of the status server, each a process of its own that asks for a page, reads the whole
// answer and asks again, until it is ended; they count the whole answers they read.
class StatusReaders {
public:
    StatusReaders(int n, uint16_t port, const std::string& path) {
        m_counts = static_cast<uint64_t*>(::mmap(nullptr, sizeof(uint64_t) * size_t(n),
                                                 PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                                                 -1, 0));
        if (m_counts == MAP_FAILED) die("mmap: %s", std::strerror(errno));
        for (int i = 0; i < n; ++i) {
            m_counts[i] = 0;
            const pid_t pid = fork();
            if (pid < 0) die("fork: %s", std::strerror(errno));
            if (pid == 0) {
                ::close_range(3, ~0U, 0); // none of the driver's connections
                read(port, path, m_counts[i]);
                _exit(0);
            }
            m_pids.push_back(pid);
        }
    }
    ~StatusReaders() {
        for (pid_t pid : m_pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        ::munmap(m_counts, sizeof(uint64_t) * m_pids.size());
    }
    uint64_t pages() const {
        uint64_t n = 0;
        for (size_t i = 0; i < m_pids.size(); ++i)
            n += __atomic_load_n(&m_counts[i], __ATOMIC_RELAXED);
        return n;
    }

private:
    static void read(uint16_t port, const std::string& path, uint64_t& count) {
        const std::string request =
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        std::vector<char> buf(64 * 1024);
        for (;;) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                ::write(fd, request.data(), request.size()) == ssize_t(request.size())) {
                size_t got = 0;
                ssize_t n;
                bool ok = false;
                while ((n = ::read(fd, buf.data(), buf.size())) > 0) {
                    if (got == 0) ok = std::string_view(buf.data(), size_t(n)).find(" 200 ") < 16;
                    got += size_t(n);
                }
                if (ok) __atomic_add_fetch(&count, 1, __ATOMIC_RELAXED);
            } else {
                usleep(10000); // not listening yet, or too many at once
            }
            ::close(fd);
        }
    }

    std::vector<pid_t> m_pids;
    uint64_t* m_counts = nullptr;
};

class Driver {
public:
    explicit Driver(Options o) : m_o(std::move(o)) {
        m_ep = epoll_create1(EPOLL_CLOEXEC);
        if (m_ep < 0) die("epoll: %s", std::strerror(errno));
        m_buf.resize(256 * 1024);
    }

    int run() {
        if (m_o.socat) return runSocat();
        return runGateway();
    }

private:
    // -- event loop

    Conn* adopt(int fd, Role role) {
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        c->role = role;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = c.get();
        if (epoll_ctl(m_ep, EPOLL_CTL_ADD, fd, &ev) != 0)
            die("epoll_ctl: %s", std::strerror(errno));
        m_conns.push_back(std::move(c));
        return m_conns.back().get();
    }

    void watchOut(Conn& c, bool on) {
        if (c.watchingOut == on) return;
        c.watchingOut = on;
        epoll_event ev{};
        ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
        ev.data.ptr = &c;
        epoll_ctl(m_ep, EPOLL_CTL_MOD, c.fd, &ev);
    }

    void flush(Conn& c) {
        while (c.outPos < c.out.size()) {
            const ssize_t n =
                ::send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL);
            if (n > 0) {
                c.outPos += size_t(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n < 0 && errno == EINTR) continue;
            c.eof = true;
            c.out.clear();
            c.outPos = 0;
            return;
        }
        if (c.outPos == c.out.size()) {
            c.out.clear();
            c.outPos = 0;
        } else if (c.outPos > (1u << 20)) {
            c.out.erase(0, c.outPos);
            c.outPos = 0;
        }
        watchOut(c, c.pendingOut() > 0);
    }

    // Reads what is waiting; false at the end of the stream.
    bool fill(Conn& c) {
        if (c.inPos > 0) {
            c.in.erase(0, c.inPos);
            c.inPos = 0;
        }
        for (;;) {
            const ssize_t n = ::recv(c.fd, m_buf.data(), m_buf.size(), 0);
            if (n > 0) {
                c.in.append(m_buf.data(), size_t(n));
                if (size_t(n) < m_buf.size()) return true;
                continue;
            }
            if (n == 0) return false;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            if (errno == EINTR) continue;
            return false;
        }
    }

    // Runs the loop until done() holds; step() runs after every turn. False on timeout.
    bool loop(const std::function<bool()>& done, const std::function<void(int64_t)>& step,
              double timeoutS, bool tick) {
        const int64_t deadline = nowNs() + int64_t(timeoutS * 1e9);
        epoll_event evs[256];
        while (!done()) {
            const int n = epoll_wait(m_ep, evs, 256, tick ? 1 : 20);
            m_now = nowNs();
            for (int i = 0; i < n; ++i)
                event(*static_cast<Conn*>(evs[i].data.ptr), evs[i].events);
            if (step) step(m_now);
            if (m_now > deadline) return false;
            if (m_child > 0 && n == 0 && !alive(m_child)) die("the relay process has ended");
        }
        return true;
    }

    void event(Conn& c, uint32_t events) {
        if (c.role == Role::Listener) {
            for (;;) {
                const int fd = accept4(c.fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) break;
                nonBlocking(fd);
                onAccept(c, fd);
            }
            return;
        }
        if (events & EPOLLOUT) flush(c);
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            const bool open = fill(c);
            switch (c.role) {
            case Role::Engine:
                engineInput(c);
                break;
            case Role::Node:
                nodeInput(c);
                break;
            case Role::RawLines:
                rawLines(c);
                break;
            case Role::RawFrames:
                rawFrames(c);
                break;
            default:
                c.inPos = c.in.size();
                break;
            }
            if (!open && !c.eof) {
                c.eof = true;
                epoll_ctl(m_ep, EPOLL_CTL_DEL, c.fd, nullptr);
                ++m_closed;
            }
        }
    }

    void onAccept(Conn& listener, int fd) {
        if (&listener == m_engineListener) {
            if (m_engine) die("a second connection on the engine port");
            m_engine = adopt(fd, m_o.socat ? m_rawRole : Role::Engine);
        } else {
            adopt(fd, Role::Node);
        }
    }

    // -- what arrives

    void seen(Phase::Dir dir, User& u, std::string_view line) {
        int64_t sent = 0;
        uint64_t seq = 0;
        if (!parseLine(line, sent, seq)) {
            if (line != " ") ++m_bad; // a keep-alive line is no damage
            return;
        }
        uint64_t& expected = dir == Phase::N2R ? u.n2rSeen : u.r2nSeen;
        if (seq != expected % 10000000000ULL) ++m_disorder;
        expected = seq + 1;
        ++m_received;
        if (m_recordLatency) m_latencyUs.push_back(float(double(m_now - sent) / 1000.0));
        if (m_perUser > 0 && dir == m_flatDir) topUp(size_t(&u - m_users.data()));
        if (m_rssEvery && m_received % m_rssEvery == 0 && m_child > 0)
            m_rssSamples.push_back(readProc(m_child).rssKb);
    }

    void engineInput(Conn& c) {
        const char* p = c.in.data();
        size_t at = c.inPos;
        while (c.in.size() - at >= kHeader) {
            const uint32_t len = le32(p + at + 28);
            if (c.in.size() - at < kHeader + len) break;
            const char kind = p[at + 4];
            const std::string_view data(p + at + kHeader, len);
            if (kind == 'X') {
                // Registration: real engines answer with one data byte 1.
                putFrame(c.out, 0, 'X', 0, callField(p + at + 8), {}, std::string_view("\1", 1));
                m_registered = true;
            } else if (kind == 'D') {
                const int ui = userOf(callField(p + at + 18), m_users.size());
                if (ui < 0) {
                    ++m_bad;
                } else {
                    User& u = m_users[size_t(ui)];
                    // The gateway cuts lines anywhere the node's text was split; a line is whole
                    // at its CR.
                    std::string& t = u.radioText;
                    size_t from = 0;
                    for (size_t i = 0; i < data.size(); ++i) {
                        if (data[i] != '\r') continue;
                        if (t.empty()) {
                            seen(Phase::N2R, u, data.substr(from, i - from));
                        } else {
                            t.append(data.data() + from, i - from);
                            seen(Phase::N2R, u, t);
                            t.clear();
                        }
                        from = i + 1;
                    }
                    t.append(data.data() + from, data.size() - from);
                }
            } else if (kind == 'd') {
                ++m_disconnects;
            }
            at += kHeader + len;
        }
        c.inPos = at;
        if (c.pendingOut()) flush(c);
    }

    void nodeInput(Conn& c) {
        const char* p = c.in.data();
        size_t at = c.inPos;
        for (;;) {
            const size_t lf = c.in.find('\n', at);
            if (lf == std::string::npos) break;
            size_t end = lf;
            if (end > at && p[end - 1] == '\r') --end;
            const std::string_view line(p + at, end - at);
            if (c.user < 0) {
                const int ui = userOf(line, m_users.size());
                if (ui < 0 || m_users[size_t(ui)].node) die("a login nobody asked for");
                c.user = ui;
                m_users[size_t(ui)].node = &c;
                ++m_loggedIn;
            } else {
                seen(Phase::R2N, m_users[size_t(c.user)], line);
            }
            at = lf + 1;
        }
        c.inPos = at;
    }

    // socat: lines as the node wrote them, CR LF ends.
    void rawLines(Conn& c) { nodeInputAs(c, 0); }
    void nodeInputAs(Conn& c, int user) {
        const char* p = c.in.data();
        size_t at = c.inPos;
        for (;;) {
            const size_t lf = c.in.find('\n', at);
            if (lf == std::string::npos) break;
            size_t end = lf;
            if (end > at && p[end - 1] == '\r') --end;
            seen(Phase::N2R, m_users[size_t(user)], std::string_view(p + at, end - at));
            at = lf + 1;
        }
        c.inPos = at;
    }
    // socat: frames as the engine wrote them.
    void rawFrames(Conn& c) {
        const char* p = c.in.data();
        size_t at = c.inPos;
        while (c.in.size() - at >= kHeader) {
            const uint32_t len = le32(p + at + 28);
            if (c.in.size() - at < kHeader + len) break;
            std::string_view data(p + at + kHeader, len);
            if (!data.empty() && data.back() == '\r') data.remove_suffix(1);
            seen(Phase::R2N, m_users[0], data);
            at += kHeader + len;
        }
        c.inPos = at;
    }

    // -- what is sent

    // One unit for user u in the phase's direction, appended to the connection it goes on.
    Conn* produce(Phase::Dir dir, size_t ui) {
        User& u = m_users[ui];
        if (dir == Phase::N2R) {
            Conn* c = m_o.socat ? m_writer : u.node;
            putLine(c->out, m_now, u.n2rSent++, "\r\n");
            return c;
        }
        Conn* c = m_o.socat ? m_writer : m_engine;
        std::string line;
        line.reserve(kLineChars + 1);
        putLine(line, m_now, u.r2nSent++, "\r");
        putFrame(c->out, 0, 'D', 0xF0, u.call, kClusterCall, line);
        return c;
    }

    // Flat out: a user whose lines in flight are down to half its share gets its share again.
    void topUp(size_t ui) {
        User& u = m_users[ui];
        const uint64_t inFlight =
            m_flatDir == Phase::N2R ? u.n2rSent - u.n2rSeen : u.r2nSent - u.r2nSeen;
        if (inFlight > m_perUser / 2 || m_toProduce == 0) return;
        Conn* c = nullptr;
        for (uint64_t k = inFlight; k < m_perUser && m_toProduce > 0; ++k, --m_toProduce)
            c = produce(m_flatDir, ui);
        if (c && !c->dirty) {
            c->dirty = true;
            m_dirty.push_back(c);
        }
    }

    void flushDirty() {
        for (Conn* c : m_dirty) {
            c->dirty = false;
            flush(*c);
        }
        m_dirty.clear();
    }

    // Runs one phase and prints its figures.
    void runPhase(const Phase& ph, pid_t measured) {
        m_received = 0;
        m_latencyUs.clear();
        m_rssSamples.clear();
        const bool paced = ph.rate > 0;
        m_recordLatency = paced;
        m_rssEvery = (!paced && ph.dir == Phase::N2R) ? m_o.rssEvery : 0;
        const uint64_t rounds = paced ? uint64_t(std::llround(ph.rate * ph.seconds)) : ph.units;
        const uint64_t target = ph.broadcast ? rounds * m_users.size() : rounds;
        const uint64_t badBefore = m_bad, disorderBefore = m_disorder;
        const ProcStats before = readProc(measured);
        const std::map<std::string, double> threadsBefore = threadCpu(measured);
        const int64_t start = nowNs();
        m_now = start;
        uint64_t sent = 0;
        size_t cursor = 0;
        const size_t nUsers = m_users.size();
        bool ok = false;
        if (paced && ph.broadcast) {
            // A spot falls due at the phase's rate and goes to every user at once, as a node
            // broadcasts it: one write per user.
            uint64_t spots = 0;
            auto step = [&](int64_t now) {
                const auto due =
                    std::min<uint64_t>(rounds, uint64_t(double(now - start) * ph.rate / 1e9) + 1);
                for (; spots < due; ++spots)
                    for (size_t ui = 0; ui < nUsers; ++ui) {
                        flush(*produce(Phase::N2R, ui));
                        ++sent;
                    }
            };
            ok = loop([&] { return sent >= target && m_received >= target; }, step, m_o.timeoutS,
                      true);
        } else if (paced) {
            // Lines fall due at the phase's rate, to one user after another; each goes out in a
            // write of its own.
            auto step = [&](int64_t now) {
                const auto due =
                    std::min<uint64_t>(target, uint64_t(double(now - start) * ph.rate / 1e9) + 1);
                while (sent < due) {
                    flush(*produce(ph.dir, cursor++ % nUsers));
                    ++sent;
                }
            };
            ok = loop([&] { return sent >= target && m_received >= target; }, step, m_o.timeoutS,
                      true);
        } else {
            // As fast as the gateway takes them: every user keeps its share of the window in
            // flight, topped up as its lines arrive.
            m_flatDir = ph.dir;
            m_perUser = std::clamp<uint64_t>(m_o.window / nUsers, 1, m_o.perUser);
            m_toProduce = target;
            for (size_t ui = 0; ui < nUsers; ++ui)
                topUp(ui);
            flushDirty();
            ok = loop([&] { return m_received >= target; }, [&](int64_t) { flushDirty(); },
                      m_o.timeoutS, false);
            m_perUser = 0;
        }
        const int64_t end = nowNs();
        const ProcStats after = readProc(measured);
        std::map<std::string, double> threads = threadCpu(measured);
        const double secs = double(end - start) / 1e9;
        const char* what = ph.dir == Phase::N2R ? "node->radio lines" : "radio->node frames";
        std::printf(
            "phase=%s dir=%s users=%zu units=%" PRIu64 " received=%" PRIu64
            " seconds=%.3f per_s=%.0f cpu_s=%.2f cpu_share=%.3f cpu_us_per_unit=%.3f rss_kb=%ld "
            "hwm_kb=%ld bad=%" PRIu64 " disorder=%" PRIu64 " complete=%d",
            ph.text.c_str(), ph.dir == Phase::N2R ? "n2r" : "r2n", m_users.size(), target,
            m_received, secs, double(m_received) / secs, after.cpuSeconds - before.cpuSeconds,
            (after.cpuSeconds - before.cpuSeconds) / secs,
            m_received ? (after.cpuSeconds - before.cpuSeconds) * 1e6 / double(m_received) : 0.0,
            after.rssKb, after.hwmKb, m_bad - badBefore, m_disorder - disorderBefore, ok ? 1 : 0);
        // Each thread's share of one core, by name (the gateway's are "relay" and its main one).
        std::string shares;
        for (auto& [name, cpu] : threads) {
            auto it = threadsBefore.find(name);
            const double share = (cpu - (it == threadsBefore.end() ? 0 : it->second)) / secs;
            if (share < 0.001) continue;
            std::string tag = name;
            std::replace(tag.begin(), tag.end(), ' ', '_');
            char buf[64];
            std::snprintf(buf, sizeof buf, "%s%s:%.3f", shares.empty() ? "" : ",", tag.c_str(),
                          share);
            shares += buf;
        }
        std::printf(" thread_shares=%s", shares.empty() ? "-" : shares.c_str());
        if (paced && !m_latencyUs.empty()) {
            std::vector<float> l = m_latencyUs;
            std::sort(l.begin(), l.end());
            auto pct = [&](double q) {
                return l[std::min(l.size() - 1, size_t(q * double(l.size())))];
            };
            std::printf(" rate=%.0f lat_p50_us=%.1f lat_p90_us=%.1f lat_p99_us=%.1f "
                        "lat_p999_us=%.1f lat_max_us=%.1f",
                        ph.rate, double(pct(0.5)), double(pct(0.9)), double(pct(0.99)),
                        double(pct(0.999)), double(l.back()));
            if (!m_o.latencyOut.empty()) {
                const std::string name = m_o.latencyOut + "-" + (m_o.socat ? "socat-" : "") +
                                         (ph.broadcast           ? "spots"
                                          : ph.dir == Phase::N2R ? "n2r"
                                                                 : "r2n") +
                                         ".txt";
                std::ofstream f(name);
                for (float v : m_latencyUs)
                    f << v << '\n';
            }
        }
        if (!m_rssSamples.empty()) {
            std::printf(" rss_samples_kb=");
            for (size_t i = 0; i < m_rssSamples.size(); ++i)
                std::printf("%s%ld", i ? "," : "", m_rssSamples[i]);
        }
        std::printf("  # %s\n", what);
        std::fflush(stdout);
        if (!ok) m_failed = true;
        if (m_bad != badBefore || m_disorder != disorderBefore) m_failed = true;
    }

    // -- the gateway

    int runGateway() {
        uint16_t agwPort = 0, nodePort = 0;
        m_engineListener = adopt(listenLocal(agwPort), Role::Listener);
        adopt(listenLocal(nodePort), Role::Listener);
        for (size_t i = 0; i < m_o.users; ++i) {
            User u;
            u.call = kUserPrefix + std::to_string(i + 1);
            m_users.push_back(std::move(u));
        }

        // The gateway keeps pktgate.cfg and error.log beside its executable: a copy of it in a
        // directory of its own.
        char tmpl[] = "/tmp/pktgate-e2e-XXXXXX";
        if (!mkdtemp(tmpl)) die("mkdtemp: %s", std::strerror(errno));
        const fs::path dir = tmpl;
        fs::copy_file(m_o.gateway, dir / "pktgate");
        {
            std::ofstream cfg(dir / "pktgate.cfg", std::ios::binary);
            cfg << "\"Cluster Call\",\"" << kClusterCall << "\"\r\n"
                << "\"AGW IP\",\"127.0.0.1\"\r\n"
                << "\"AGW Port\",\"" << agwPort << "\"\r\n"
                << "\"Winsock IP\",\"127.0.0.1\"\r\n"
                << "\"Winsock Port\",\"" << nodePort << "\"\r\n"
                << "\"Packet Length\"," << m_o.packetLength << "\r\n"
                << "\"Keep Alive\",5\r\n"
                << "\"Config Top\",1800\r\n\"Config Left\",1800\r\n"
                << "\"Top\",1200\r\n\"Left\",1200\r\n\"Height\",10005\r\n\"Width\",13425\r\n";
        }
        const int64_t t0 = nowNs();
        std::vector<std::string> argv{(dir / "pktgate").string()};
        argv.insert(argv.end(), m_o.gatewayArgs.begin(), m_o.gatewayArgs.end());
        const uint16_t statusPort = m_o.statusReaders > 0 ? freeLocalPort() : 0;
        if (statusPort) {
            argv.push_back("--status");
            argv.push_back("127.0.0.1:" + std::to_string(statusPort));
        }
        m_child = spawn(argv, dir.string(), (dir / "gateway.out").string(), m_o.env);

        if (!loop([&] { return m_registered; }, nullptr, 30, false))
            die("the gateway did not register with the engine");
        const ProcStats idle = readProc(m_child);
        std::printf("start seconds=%.3f rss_kb=%ld\n", double(nowNs() - t0) / 1e9, idle.rssKb);

        // The users connect, all at once; each is logged in at the node by the gateway.
        const int64_t t1 = nowNs();
        const std::string hello = std::string("*** CONNECTED To Station ") + kClusterCall + "\r";
        for (User& u : m_users)
            putFrame(m_engine->out, 0, 'C', 0, u.call, kClusterCall,
                     std::string_view(hello.c_str(), hello.size() + 1));
        flush(*m_engine);
        if (!loop([&] { return m_loggedIn >= m_users.size(); }, nullptr,
                  30 + double(m_o.users) / 100, false))
            die("only %zu of %zu users were logged in at the node", m_loggedIn, m_users.size());
        const ProcStats logged = readProc(m_child);
        std::printf("login users=%zu seconds=%.3f rss_kb=%ld hwm_kb=%ld cpu_s=%.2f\n",
                    m_users.size(), double(nowNs() - t1) / 1e9, logged.rssKb, logged.hwmKb,
                    logged.cpuSeconds - idle.cpuSeconds);
        std::fflush(stdout);

        {
            std::unique_ptr<StatusReaders> readers;
            if (statusPort) {
                readers =
                    std::make_unique<StatusReaders>(m_o.statusReaders, statusPort, m_o.statusPath);
                if (!loop([&] { return readers->pages() > 0; }, nullptr, 10, false))
                    die("the status page did not answer");
            }
            for (const Phase& ph : m_o.phases) {
                const uint64_t before = readers ? readers->pages() : 0;
                runPhase(ph, m_child);
                if (readers)
                    std::printf("status readers=%d path=%s pages=%" PRIu64 "\n", m_o.statusReaders,
                                m_o.statusPath.c_str(), readers->pages() - before);
            }
        }

        const ProcStats last = readProc(m_child);
        const int status = endChild(m_child, 10000);
        m_child = 0;
        // error.log: anything beyond the start (with the open-file limit), the engine's answer to
        // the registration, the way the link runs (this engine does not report its frames) and
        // the end is a fault seen by the gateway.
        size_t logFaults = 0;
        {
            std::ifstream log(dir / "error.log");
            std::string line;
            while (std::getline(log, line))
                if (line.find("Program Started") == std::string::npos &&
                    line.find("Open files") == std::string::npos &&
                    line.find("DataKind = X") == std::string::npos &&
                    line.find("AGW pacing") == std::string::npos &&
                    line.find("Program terminated") == std::string::npos)
                    ++logFaults;
        }
        std::printf("end users=%zu hwm_kb=%ld exit=%d disconnects=%" PRIu64
                    " error_log_faults=%zu\n",
                    m_users.size(), last.hwmKb, status, m_disconnects, logFaults);
        if (!m_o.keepDir.empty()) {
            fs::remove_all(m_o.keepDir);
            fs::copy(dir, m_o.keepDir);
        }
        fs::remove_all(dir);
        if (status != 0 || m_disconnects || logFaults) m_failed = true;
        return m_failed ? 1 : 0;
    }

    // -- socat, the cost floor: each phase through one fresh relay

    int runSocat() {
        m_users.resize(1);
        m_users[0].call = kUserPrefix + std::string("1");
        for (const Phase& ph : m_o.phases) {
            uint16_t sinkPort = 0, relayPort = 0;
            m_rawRole = ph.dir == Phase::N2R ? Role::RawLines : Role::RawFrames;
            m_engineListener = adopt(listenLocal(sinkPort), Role::Listener);
            // A free port for socat to listen on.
            {
                const int probe = listenLocal(relayPort);
                close(probe);
            }
            m_child = spawn(
                {"socat", "TCP-LISTEN:" + std::to_string(relayPort) + ",bind=127.0.0.1,reuseaddr",
                 "TCP:127.0.0.1:" + std::to_string(sinkPort)},
                "", "/dev/null", {});
            m_writer = adopt(connectLocal(relayPort, 250), Role::Writer);
            m_engine = nullptr;
            if (!loop([&] { return m_engine != nullptr; }, nullptr, 10, false))
                die("socat did not connect through");
            runPhase(ph, m_child);
            epoll_ctl(m_ep, EPOLL_CTL_DEL, m_writer->fd, nullptr);
            close(m_writer->fd);
            endChild(m_child, 5000);
            m_child = 0;
            epoll_ctl(m_ep, EPOLL_CTL_DEL, m_engineListener->fd, nullptr);
            close(m_engineListener->fd);
        }
        return m_failed ? 1 : 0;
    }

    Options m_o;
    int m_ep = -1;
    std::vector<char> m_buf;
    std::vector<std::unique_ptr<Conn>> m_conns;
    std::vector<User> m_users;
    Conn* m_engineListener = nullptr;
    Conn* m_engine = nullptr;
    Conn* m_writer = nullptr;
    Role m_rawRole = Role::RawLines;
    pid_t m_child = 0;
    int64_t m_now = 0;
    bool m_registered = false;
    size_t m_loggedIn = 0;
    size_t m_closed = 0;
    uint64_t m_received = 0, m_bad = 0, m_disorder = 0, m_disconnects = 0;
    bool m_recordLatency = false;
    uint64_t m_rssEvery = 0;
    Phase::Dir m_flatDir = Phase::N2R;
    uint64_t m_perUser = 0; // flat-out phase running: lines in flight per user
    uint64_t m_toProduce = 0;
    std::vector<Conn*> m_dirty;
    std::vector<float> m_latencyUs;
    std::vector<long> m_rssSamples;
    bool m_failed = false;
};

// "n2r:1000000" (flat out, units) or "n2r@5000:10" (paced, rate and seconds).
Phase parsePhase(const std::string& s) {
    Phase p;
    p.text = s;
    const size_t colon = s.find(':');
    if (colon == std::string::npos)
        die("phase '%s': expected DIR:UNITS or DIR@RATE:SECONDS", s.c_str());
    std::string head = s.substr(0, colon);
    const std::string tail = s.substr(colon + 1);
    const size_t at = head.find('@');
    if (at != std::string::npos) {
        p.rate = std::atof(head.c_str() + at + 1);
        p.seconds = std::atof(tail.c_str());
        head.resize(at);
        if (p.rate <= 0 || p.seconds <= 0)
            die("phase '%s': rate and seconds must be > 0", s.c_str());
    } else {
        p.units = std::strtoull(tail.c_str(), nullptr, 10);
        if (p.units == 0) die("phase '%s': units must be > 0", s.c_str());
    }
    if (head == "spots") {
        if (p.rate <= 0) die("phase '%s': spots are paced: spots@RATE:SECONDS", s.c_str());
        p.dir = Phase::N2R;
        p.broadcast = true;
    } else if (head == "n2r")
        p.dir = Phase::N2R;
    else if (head == "r2n")
        p.dir = Phase::R2N;
    else
        die("phase '%s': direction is n2r or r2n", s.c_str());
    return p;
}

const char* kUsage =
    "usage: e2e_driver (--gateway PATH | --socat) [options] --phase PHASE...\n"
    "  --gateway PATH     the pktgate executable to measure (run offscreen, in a temporary\n"
    "                     directory with its own pktgate.cfg)\n"
    "  --socat            push the same bytes through one socat relay instead (cost floor)\n"
    "  --users N          radio users, each with its own node connection (default 500)\n"
    "  --phase n2r:N      node->radio, N lines of 80 characters as fast as they are taken\n"
    "  --phase r2n:N      radio->node, N \"D\" frames as fast as they are taken\n"
    "  --phase n2r@R:S    node->radio at R lines/s for S seconds, with latency (r2n@R:S too)\n"
    "  --phase spots@R:S  R spots a second for S seconds, each a line to every user at once\n"
    "  --window N         flat out: units in flight at most, all users together (default\n"
    "                     20000); each user keeps N/users of them, 1 to --per-user\n"
    "  --per-user N       flat out: units in flight per user at most (default 32)\n"
    "  --rss-every N      flat-out n2r: sample the gateway's RSS every N lines\n"
    "  --latency-out P    write paced phases' latencies (microseconds) to P-n2r.txt, P-r2n.txt,\n"
    "                     P-spots.txt\n"
    "  --packet-length N  the gateway's Packet Length (default 130)\n"
    "  --timeout S        seconds a phase may take (default 120)\n"
    "  --env NAME=VALUE   add to the gateway's environment (QT_QPA_PLATFORM=offscreen is set)\n"
    "  --gateway-arg ARG  pass ARG to the gateway, e.g. --gateway-arg --headless (repeatable)\n"
    "  --keep-dir D       copy the gateway's directory (error.log, output) to D at the end\n"
    "  --status-readers N N clients reload the gateway's status page as fast as they can\n"
    "                     during the phases (the gateway gets --status on a free port)\n"
    "  --status-path P    the page they reload (default /)\n"
    "Prints one key=value line per phase; exits 1 when a phase did not complete or any line was\n"
    "lost, damaged or out of order.\n";

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) die("%s needs a value", a.c_str());
            return argv[++i];
        };
        if (a == "--gateway")
            o.gateway = value();
        else if (a == "--socat")
            o.socat = true;
        else if (a == "--users")
            o.users = std::strtoul(value().c_str(), nullptr, 10);
        else if (a == "--phase")
            o.phases.push_back(parsePhase(value()));
        else if (a == "--window")
            o.window = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--per-user")
            o.perUser = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--rss-every")
            o.rssEvery = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--latency-out")
            o.latencyOut = value();
        else if (a == "--packet-length")
            o.packetLength = std::atoi(value().c_str());
        else if (a == "--timeout")
            o.timeoutS = std::atof(value().c_str());
        else if (a == "--env")
            o.env.push_back(value());
        else if (a == "--gateway-arg")
            o.gatewayArgs.push_back(value());
        else if (a == "--keep-dir")
            o.keepDir = value();
        else if (a == "--status-readers")
            o.statusReaders = std::atoi(value().c_str());
        else if (a == "--status-path")
            o.statusPath = value();
        else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else
            die("unknown option '%s'\n%s", a.c_str(), kUsage);
    }
    if (o.socat == !o.gateway.empty()) die("give either --gateway PATH or --socat\n%s", kUsage);
    if (o.users < 1 || o.window < 1 || o.perUser < 1)
        die("--users, --window and --per-user must be at least 1");
    if (o.phases.empty()) die("no --phase given\n%s", kUsage);

    // One descriptor per user's node connection.
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    signal(SIGPIPE, SIG_IGN);
    Driver d(std::move(o));
    return d.run();
}

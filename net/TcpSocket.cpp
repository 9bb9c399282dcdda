#include "net/TcpSocket.h"

#include "net/EpollDispatcher.h"
#include "net/Failure.h"
#include "net/WriteBudget.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <utility>
#include <vector>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#endif

namespace {
// A closed connection still flushes what was queued on it; this long at most.
constexpr int kLingerMs = 30000;
// No more is taken from the network once this much waits unread on one socket.
constexpr qsizetype kReadBufferBytes = 64 * 1024;

// What was written from the front of a long queue is dropped once it is more than this and more
// than what remains, so a slow peer costs no copying per write.
constexpr qsizetype kCompactBytes = 64 * 1024;

// Writes as much of data as the system takes at once without waiting: the count taken, 0 when it
// takes nothing now, or minus the error when the connection failed.
qint64 writeDirect(int fd, const char* data, qint64 size) {
    for (;;) {
        const ssize_t n = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno != EINTR) return -errno;
    }
}

// What one arrival is read into, shared by the sockets of a thread.
char* readChunk() {
    static thread_local char chunk[kReadBufferBytes];
    return chunk;
}

// Sends are gathered per socket during one turn of the event loop and written with one system
// call per socket when the loop is about to wait again. Qt's own path would queue each send,
// arm the socket's write notifier and disarm it once written; the event dispatcher finds a
// notifier by walking all of them, so with thousands of cluster connections that walk, not the
// data, would be the cost of every frame.
// Each thread has its own batch, flushed by its own event loop: the sockets of a relay thread are
// never touched by the loop of another.
struct Batch {
    std::vector<TcpSocket*> sockets;
    QAbstractEventDispatcher* hooked = nullptr;
};
Batch& batch() {
    static thread_local Batch b;
    return b;
}
} // namespace

// A notifier of the connection's descriptor that calls its socket straight away: one line per
// arrival makes the way from the event loop to the read a good part of the cost of a line.
class TcpSocket::Notifier final : public DirectSocketNotifier {
public:
    Notifier(int fd, Type type, bool enabled, TcpSocket* socket, void (TcpSocket::*handler)())
        : DirectSocketNotifier(fd, type, enabled, socket), m_socket(socket), m_handler(handler) {}
    void activate() override { (m_socket->*m_handler)(); }

private:
    TcpSocket* m_socket;
    void (TcpSocket::*m_handler)();
};

TcpSocket::TcpSocket(QObject* parent, std::shared_ptr<WriteBudget> budget)
    : Socket(parent), m_sock(nullptr), m_budget(std::move(budget)) {}

void TcpSocket::account() {
    if (!m_budget) return;
    const qint64 now = bytesToWrite();
    m_budget->change(now - m_accounted);
    m_accounted = now;
}

TcpSocket::~TcpSocket() {
    close();
    if (m_inBatch) {
        auto& list = batch().sockets;
        // Not found when destroyed by another thread than its own, which Qt does not allow anyway.
        auto it = std::find(list.begin(), list.end(), this);
        if (it != list.end()) list.erase(it);
    }
}

void TcpSocket::flushAll() {
    // A flush may emit signals whose handlers send again: those are queued for the next turn.
    std::vector<TcpSocket*> list;
    list.swap(batch().sockets);
    for (TcpSocket* s : list)
        s->m_inBatch = false;
    for (TcpSocket* s : list)
        s->flushQueued();
}

void TcpSocket::flushQueued() {
    if (m_queued.isEmpty()) return;
    writeQueued();
    account();
}

void TcpSocket::writeQueued() {
    QByteArray data = std::exchange(m_queued, QByteArray());
    // A connection that is gone takes nothing more; its end is reported on its own.
    if (m_fd < 0 || m_failed || m_peerClosed) return;
    qint64 direct = 0;
    if (m_outPos == m_out.size() && m_writeError == 0) {
        direct = writeDirect(m_fd, data.constData(), data.size());
        if (direct < 0) {
            // Reported from the write notifier, outside the flush of every socket.
            m_writeError = static_cast<int>(-direct);
            m_writeNotifier->setEnabled(true);
            return;
        }
    }
    if (direct < data.size()) {
        if (m_outPos == m_out.size()) {
            m_out = direct == 0 ? std::move(data) : data.mid(direct);
            m_outPos = 0;
        } else {
            m_out.append(data.constData() + direct, data.size() - direct);
        }
        m_writeNotifier->setEnabled(true);
    }
    if (direct > 0) reportSent(direct);
}

void TcpSocket::reportSent(qint64 n) {
    m_sent += n;
    const qint64 remaining = bytesToWrite();
    emit sendProgress(m_sent, remaining);
    if (remaining == 0) emit sendComplete();
}

void TcpSocket::onWritable() {
    writeOut();
    account();
}

void TcpSocket::writeOut() {
    if (m_writeError != 0) {
        failConnected(m_writeError);
        return;
    }
    qint64 n = 0;
    if (m_outPos < m_out.size()) {
        n = writeDirect(m_fd, m_out.constData() + m_outPos, m_out.size() - m_outPos);
        if (n < 0) {
            failConnected(static_cast<int>(-n));
            return;
        }
        m_outPos += n;
    }
    if (m_outPos == m_out.size()) {
        m_out.clear();
        m_outPos = 0;
        m_writeNotifier->setEnabled(false);
    } else if (m_outPos > kCompactBytes && m_outPos > m_out.size() / 2) {
        m_out.remove(0, m_outPos); // what was written goes, at a cost of what remains
        m_outPos = 0;
    }
    if (n > 0) reportSent(n);
}

void TcpSocket::onReadable() {
    const qsizetype room = kReadBufferBytes - m_in.size();
    if (room <= 0 || !m_reading) {
        updateReadNotifier();
        return;
    }
    char* chunk = readChunk();
    ssize_t n;
    do {
        n = ::recv(m_fd, chunk, static_cast<size_t>(room), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        failConnected(errno);
        return;
    }
    if (n == 0 && m_writeError != 0) {
        // A reset that a write met first: the read that follows sees only the end, and the
        // connection failed all the same.
        failConnected(m_writeError);
        return;
    }
    if (n == 0) {
        // The peer's orderly close. What was read before it stays readable.
        m_peerClosed = true;
        m_queued.clear();
        closeDescriptor();
        emit peerClosed();
        return;
    }
    m_in.append(chunk, n);
    updateReadNotifier();
    emit dataArrived(m_in.size());
}

void TcpSocket::updateReadNotifier() {
    const bool armed = m_reading && m_in.size() < kReadBufferBytes;
    if (!m_readNotifier || armed == m_readArmed) return;
    m_readArmed = armed;
    m_readNotifier->setEnabled(armed);
}

void TcpSocket::failConnected(int error) {
    m_failed = true;
    m_queued.clear();
    closeDescriptor();
    emit errorOccurred(QString::fromLocal8Bit(std::strerror(error)));
}

void TcpSocket::closeDescriptor() {
    delete std::exchange(m_readNotifier, nullptr);
    delete std::exchange(m_writeNotifier, nullptr);
    if (m_fd >= 0) ::close(std::exchange(m_fd, -1));
    m_out.clear();
    m_outPos = 0;
    m_writeError = 0;
    account();
}

void TcpSocket::takeOver() {
    m_sock->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const int fd = ::fcntl(static_cast<int>(m_sock->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        failConnection(errno);
        return;
    }
    // Qt closes its own descriptor of the connection, which leaves the connection open on ours.
    // Qt has read nothing yet: it emits connected() before it first looks for data.
    m_ends = {m_sock->localAddress(), m_sock->peerAddress(), m_sock->localPort(),
              m_sock->peerPort()};
    QTcpSocket* qt = std::exchange(m_sock, nullptr);
    qt->disconnect(this);
    for (QSocketNotifier* n : qt->findChildren<QSocketNotifier*>())
        n->removeEventFilter(this);
    qt->abort();
    qt->deleteLater();
    m_fd = fd;
    m_readArmed = m_reading;
    m_readNotifier =
        new Notifier(fd, QSocketNotifier::Read, m_readArmed, this, &TcpSocket::onReadable);
    m_writeNotifier = new Notifier(fd, QSocketNotifier::Write, false, this, &TcpSocket::onWritable);
    emit connected();
}

#ifdef Q_OS_LINUX
namespace {
// The kernel's view of a connection that has ended under its owner: a reset, a connect that was
// refused or reset, or one that timed out. Reading the state consumes nothing.
bool connectionGone(qintptr fd) {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return false;
    return info.tcpi_state == TCP_CLOSE;
}

// The error that ended it (and clears it).
int pendingError(qintptr fd) {
    int error = 0;
    socklen_t len = sizeof error;
    ::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ERROR, &error, &len);
    return error;
}
} // namespace
#endif

// When a connect ends in a reset, Qt calls connect() again on the same descriptor, over and over
// until its own timeout (each call a new connection at the peer). The kernel knows better: while
// the connection is being made, Qt's notifier that tests it is watched, and a connection that the
// kernel already has as closed is reported as the error it is, and Qt does not try again. Once it
// is made the connection is ours (takeOver()), and a reset is the error its read or write returns.
void TcpSocket::watchNotifiers() {
#ifdef Q_OS_LINUX
    if (!m_sock) return;
    for (QSocketNotifier* n : m_sock->findChildren<QSocketNotifier*>())
        if (n->type() == QSocketNotifier::Write) n->installEventFilter(this);
#endif
}

bool TcpSocket::eventFilter(QObject* watched, QEvent* event) {
#ifdef Q_OS_LINUX
    if (event->type() == QEvent::SockAct && m_sock && !m_failed &&
        m_sock->state() == QAbstractSocket::ConnectingState) {
        const qintptr fd = static_cast<QSocketNotifier*>(watched)->socket();
        if (connectionGone(fd)) {
            const int error = pendingError(fd);
            failConnection(error ? error : ECONNRESET);
            return true;
        }
    }
#else
    (void)watched;
    (void)event;
#endif
    return false;
}

void TcpSocket::failConnection(int error) {
    m_failed = true;
    m_queued.clear();
    // Qt hears nothing more of this connection; the socket object stays, in the error state,
    // until the next close or connect. (Its notifier may be the one being handled: Qt allows
    // that when the event is taken, as it is.)
    m_sock->disconnect(this);
    m_sock->abort();
    emit errorOccurred(QString::fromLocal8Bit(std::strerror(error)));
}

namespace {
// Where a closed connection that still flushes waits: the application on the main thread; on
// another thread an object of that thread, which takes what still waits with it when the thread
// ends.
QObject* lingerHome() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app && app->thread() == QThread::currentThread()) return app;
    thread_local QObject* home = nullptr;
    if (!home) {
        home = new QObject;
        // Emitted on the thread itself, as its last act.
        QObject::connect(QThread::currentThread(), &QThread::finished, [] {
            delete home;
            home = nullptr;
        });
    }
    return home;
}

// A connection closed by its owner while the system had not yet taken all that was sent on it:
// it writes the rest, then closes, within kLingerMs at most. A failure ends it at once.
class Linger final : public QObject {
public:
    Linger(int fd, QByteArray rest, QObject* home, std::shared_ptr<WriteBudget> budget)
        : QObject(home), m_fd(fd), m_rest(std::move(rest)),
          m_writable(fd, QSocketNotifier::Write, this), m_budget(std::move(budget)) {
        if (m_budget) m_budget->change(m_rest.size());
        connect(&m_writable, &QSocketNotifier::activated, this, &Linger::write);
        QTimer::singleShot(kLingerMs, this, &Linger::end);
    }
    ~Linger() override {
        m_writable.setEnabled(false);
        if (m_fd >= 0) ::close(m_fd);
        release();
    }

private:
    void write() {
        const qint64 n = writeDirect(m_fd, m_rest.constData() + m_pos, m_rest.size() - m_pos);
        if (n > 0) {
            m_pos += n;
            if (m_budget) m_budget->change(-n);
        }
        if (n < 0 || m_pos == m_rest.size()) end();
    }
    void end() {
        m_writable.setEnabled(false);
        if (m_fd >= 0) ::close(std::exchange(m_fd, -1));
        release();
        deleteLater();
    }
    // What is not written now never will be.
    void release() {
        if (m_budget) m_budget->change(-(m_rest.size() - m_pos));
        m_pos = m_rest.size();
    }

    int m_fd;
    QByteArray m_rest;
    qsizetype m_pos = 0;
    QSocketNotifier m_writable;
    std::shared_ptr<WriteBudget> m_budget;
};
} // namespace

SocketFactory TcpSocket::factory(std::shared_ptr<WriteBudget> budget) {
    return [budget] { return std::make_unique<TcpSocket>(nullptr, budget); };
}

void TcpSocket::connectToHost() {
    close();
    m_ends = {};
    m_sock = new QTcpSocket(this);
    m_failed = false;
    m_peerClosed = false;
    m_sent = 0;
    connect(m_sock, &QTcpSocket::connected, this, &TcpSocket::takeOver);
    // A host name is looked up first; the connect's notifier comes after.
    connect(m_sock, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState s) {
        if (s == QAbstractSocket::ConnectingState) watchNotifiers();
    });
    connect(m_sock, &QTcpSocket::errorOccurred, this, &TcpSocket::onError);
    if (m_receiveBuffer > 0) {
        // The receive buffer must be set before the connect, when the window is agreed on; Qt
        // has a descriptor to set it on once the socket is bound. The address family follows
        // the peer's address where it is one.
        QHostAddress any = QHostAddress::Any;
        if (QHostAddress peer; peer.setAddress(remoteHost()))
            any = peer.protocol() == QAbstractSocket::IPv4Protocol ? QHostAddress::AnyIPv4
                                                                   : QHostAddress::AnyIPv6;
        m_sock->bind(any, 0);
        if (m_receiveBuffer > 0)
            m_sock->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                    m_receiveBuffer);
    }
    m_sock->connectToHost(remoteHost(), remotePort());
    watchNotifiers();
}

void TcpSocket::close() {
    // What was sent in this turn still goes, like what waits to be written.
    flushQueued();
    m_failed = false;
    m_peerClosed = false;
    m_in.clear();
    if (QTcpSocket* old = std::exchange(m_sock, nullptr)) {
        // Still being made: nothing was sent on it. It raises nothing more towards our owner.
        old->disconnect(this);
        for (QSocketNotifier* n : old->findChildren<QSocketNotifier*>())
            n->removeEventFilter(this);
        old->abort();
        old->deleteLater();
    }
    if (m_fd >= 0 && m_outPos < m_out.size() && m_writeError == 0) {
        // What was queued still goes out before the connection ends, so a user's last line is
        // not lost when the slot is closed right after.
        delete std::exchange(m_readNotifier, nullptr);
        delete std::exchange(m_writeNotifier, nullptr);
        new Linger(std::exchange(m_fd, -1), m_out.mid(m_outPos), lingerHome(), m_budget);
    }
    closeDescriptor();
}

void TcpSocket::send(const QByteArray& data) {
    const int st = state();
    if (st != Connected)
        throw Failure(QStringLiteral("Wrong protocol or connection state for the requested "
                                     "transaction or request (socket state %1)")
                          .arg(st));
    QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance();
    if (!loop) {
        // No event loop to flush at the end of the turn: straight to the system, and what it
        // does not take now waits for the loop.
        m_queued += data;
        flushQueued();
        return;
    }
    Batch& b = batch();
    if (b.hooked != loop) {
        b.hooked = loop;
        QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock, loop, &TcpSocket::flushAll);
        QObject::connect(loop, &QAbstractEventDispatcher::awake, loop, &TcpSocket::flushAll);
        QObject::connect(loop, &QObject::destroyed, [] { batch().hooked = nullptr; });
    }
    m_queued += data;
    account();
    if (!m_inBatch) {
        m_inBatch = true;
        b.sockets.push_back(this);
    }
}

qint64 TcpSocket::bytesAvailable() const {
    return m_in.size();
}

QByteArray TcpSocket::readAll() {
    QByteArray taken = std::exchange(m_in, QByteArray());
    updateReadNotifier();
    return taken;
}

qint64 TcpSocket::bytesToWrite() const {
    return m_queued.size() + (m_out.size() - m_outPos);
}

int TcpSocket::state() const {
    if (m_failed) return Error;
    if (m_peerClosed) return Closing;
    if (m_fd >= 0) return Connected;
    if (!m_sock) return Closed;
    switch (m_sock->state()) {
    case QAbstractSocket::HostLookupState:
        return ResolvingHost;
    case QAbstractSocket::ConnectingState:
        return Connecting;
    case QAbstractSocket::BoundState:
        return Open;
    default:
        // Connected, it is ours (m_fd); anything else without a connection is closed.
        return Closed;
    }
}

void TcpSocket::setReceiveBuffer(int bytes) {
    m_receiveBuffer = bytes;
    // On a connection made already the window it has offered stays, and shrinks from there.
    if (m_fd >= 0 && bytes > 0) ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void TcpSocket::setReading(bool on) {
    if (m_reading == on) return;
    m_reading = on;
    updateReadNotifier();
    if (on && !m_in.isEmpty()) {
        // Deliver what waited, from the event loop, as a fresh arrival.
        QTimer::singleShot(0, this, [this] {
            if (m_reading && !m_in.isEmpty()) emit dataArrived(m_in.size());
        });
    }
}

void TcpSocket::onError() {
    if (!m_sock) return;
    m_failed = true;
    emit errorOccurred(m_sock->errorString());
}

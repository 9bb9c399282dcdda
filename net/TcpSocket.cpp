#include "net/TcpSocket.h"

#include "net/EpollDispatcher.h"
#include "net/Failure.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <utility>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#endif
#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#endif

namespace {
// A closed connection still flushes what was queued on it; this long at most.
constexpr int kLingerMs = 30000;
// Qt stops taking data from the network once this much waits unread on one socket.
constexpr qint64 kReadBufferBytes = 64 * 1024;

// Writes as much of data as the system takes at once without waiting; 0 when it takes nothing
// or fails (the caller then leaves the data to Qt, which reports a failure the usual way).
qint64 writeDirect(qintptr fd, const char* data, qint64 size) {
#ifdef Q_OS_UNIX
    if (fd < 0) return 0;
    for (;;) {
        const ssize_t n = ::send(static_cast<int>(fd), data, static_cast<size_t>(size),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno != EINTR) return 0;
    }
#else
    (void)fd;
    (void)data;
    (void)size;
    return 0;
#endif
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

TcpSocket::TcpSocket(QObject* parent) : Socket(parent), m_sock(nullptr) {}

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
    const QByteArray data = std::exchange(m_queued, QByteArray());
    // A connection that is gone takes nothing more; its end is reported on its own.
    if (!m_sock || m_sock->state() != QAbstractSocket::ConnectedState) return;
    qint64 direct = 0;
    if (m_sock->bytesToWrite() == 0)
        direct = writeDirect(m_sock->socketDescriptor(), data.constData(), data.size());
    if (direct < data.size()) m_sock->write(data.constData() + direct, data.size() - direct);
    if (direct > 0) {
        m_sent += direct;
        const qint64 remaining = bytesToWrite();
        emit sendProgress(m_sent, remaining);
        if (remaining == 0) emit sendComplete();
    }
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

// Qt reports a connection reset by the peer exactly as an orderly close, and when a connect ends
// in a reset it calls connect() again on the same descriptor, over and over until its own timeout
// (each call a new connection at the peer). The kernel knows better. While the connection is
// being made, Qt's notifier that tests it is watched: a connection that the kernel already has as
// closed is reported as the error it is, and Qt does not try again. Once connected, under the
// epoll dispatcher nothing needs watching: when Qt finds the connection closed while it handles an
// activation, epoll's report of that activation tells a reset (an error or a hang-up) from an
// orderly close. Under another dispatcher Qt's read notifier is watched, and the kernel asked.
void TcpSocket::watchNotifiers() {
#ifdef Q_OS_LINUX
    if (!m_sock) return;
    const bool connecting = m_sock->state() != QAbstractSocket::ConnectedState;
    const bool askKernel = !isEpollDispatcher(QAbstractEventDispatcher::instance());
    const QList<QSocketNotifier*> notifiers = m_sock->findChildren<QSocketNotifier*>();
    for (QSocketNotifier* n : notifiers) {
        const bool watch = n->type() == QSocketNotifier::Write
                               ? connecting
                               : n->type() == QSocketNotifier::Read && !connecting && askKernel;
        if (watch)
            n->installEventFilter(this);
        else
            n->removeEventFilter(this);
    }
#endif
}

bool TcpSocket::eventFilter(QObject* watched, QEvent* event) {
#ifdef Q_OS_LINUX
    if (event->type() == QEvent::SockAct && m_sock && !m_failed && !m_peerClosed) {
        const auto state = m_sock->state();
        const qintptr fd = static_cast<QSocketNotifier*>(watched)->socket();
        if ((state == QAbstractSocket::ConnectingState ||
             state == QAbstractSocket::ConnectedState) &&
            connectionGone(fd)) {
            const int error = pendingError(fd);
            // An orderly close while connected is Qt's to report; anything else is an error.
            if (state == QAbstractSocket::ConnectingState || error != 0) {
                failConnection(error ? error : ECONNRESET);
                return true;
            }
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
#ifdef Q_OS_UNIX
    emit errorOccurred(QString::fromLocal8Bit(std::strerror(error)));
#else
    (void)error;
    emit errorOccurred(QStringLiteral("Connection reset by peer"));
#endif
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
} // namespace

SocketFactory TcpSocket::factory() {
    return [] { return std::make_unique<TcpSocket>(); };
}

void TcpSocket::connectToHost() {
    close();
    m_sock = new QTcpSocket(this);
    m_sock->setReadBufferSize(kReadBufferBytes);
    m_failed = false;
    m_peerClosed = false;
    m_resetSeen = false;
    m_sent = 0;
    connect(m_sock, &QTcpSocket::connected, this, [this] {
        m_sock->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        watchNotifiers(); // the read notifier is there now
        emit connected();
    });
    // A host name is looked up first; the connect's notifier comes after.
    connect(m_sock, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState s) {
        if (s == QAbstractSocket::ConnectingState) watchNotifiers();
    });
    connect(m_sock, &QTcpSocket::readyRead, this, &TcpSocket::onReadyRead);
    connect(m_sock, &QTcpSocket::bytesWritten, this, &TcpSocket::onBytesWritten);
    connect(m_sock, &QTcpSocket::disconnected, this, &TcpSocket::onDisconnected);
    connect(m_sock, &QTcpSocket::errorOccurred, this, &TcpSocket::onError);
    if (localPort != 0) m_sock->bind(QHostAddress::Any, localPort);
    m_sock->connectToHost(remoteHost, remotePort);
    watchNotifiers();
}

void TcpSocket::close() {
    // What was sent in this turn still goes, like what waits in Qt's queue.
    flushQueued();
    QTcpSocket* old = m_sock;
    m_sock = nullptr;
    m_failed = false;
    m_peerClosed = false;
    m_resetSeen = false;
    m_pendingRead = false;
    if (!old) return;
    // The old connection raises nothing more towards our owner. What was queued on it still goes
    // out before it ends, so a user's last line is not lost when the slot is closed right after.
    old->disconnect(this);
    const QList<QSocketNotifier*> notifiers = old->findChildren<QSocketNotifier*>();
    for (QSocketNotifier* n : notifiers)
        n->removeEventFilter(this);
    if (old->state() == QAbstractSocket::ConnectedState && old->bytesToWrite() > 0) {
        // Owned by its thread from now on, so it goes when the thread ends at the latest.
        old->setParent(lingerHome());
        connect(old, &QTcpSocket::disconnected, old, &QObject::deleteLater);
        connect(old, &QTcpSocket::errorOccurred, old, &QObject::deleteLater);
        QTimer::singleShot(kLingerMs, old, [old] {
            old->abort();
            old->deleteLater();
        });
        old->disconnectFromHost();
    } else {
        old->abort();
        old->deleteLater();
    }
}

void TcpSocket::send(const QByteArray& data) {
    const int st = state();
    if (st != Connected)
        throw Failure(QStringLiteral("Wrong protocol or connection state for the requested "
                                     "transaction or request (socket state %1)")
                          .arg(st));
    QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance();
    if (!loop) {
        // No event loop to flush at the end of the turn: straight to Qt.
        if (m_sock->write(data) != data.size()) throw Failure(m_sock->errorString());
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
    if (!m_inBatch) {
        m_inBatch = true;
        b.sockets.push_back(this);
    }
}

qint64 TcpSocket::bytesAvailable() const {
    return m_sock ? m_sock->bytesAvailable() : 0;
}

QByteArray TcpSocket::readAll() {
    return m_sock ? m_sock->readAll() : QByteArray();
}

qint64 TcpSocket::bytesToWrite() const {
    return m_queued.size() + (m_sock ? m_sock->bytesToWrite() : 0);
}

int TcpSocket::state() const {
    if (!m_sock) return Closed;
    if (m_failed) return Error;
    if (m_peerClosed) return Closing;
    switch (m_sock->state()) {
    case QAbstractSocket::UnconnectedState:
        return Closed;
    case QAbstractSocket::HostLookupState:
        return ResolvingHost;
    case QAbstractSocket::ConnectingState:
        return Connecting;
    case QAbstractSocket::ConnectedState:
        return Connected;
    case QAbstractSocket::BoundState:
        return Open;
    case QAbstractSocket::ListeningState:
        return Listening;
    case QAbstractSocket::ClosingState:
        return Closing;
    }
    return Closed;
}

void TcpSocket::setReading(bool on) {
    if (m_reading == on) return;
    m_reading = on;
    if (on && m_sock && (m_pendingRead || m_sock->bytesAvailable() > 0)) {
        m_pendingRead = false;
        // Deliver what waited, from the event loop, as a fresh arrival.
        QTimer::singleShot(0, this, [this] {
            if (m_reading && m_sock && m_sock->bytesAvailable() > 0)
                emit dataArrived(m_sock->bytesAvailable());
        });
    }
}

void TcpSocket::onReadyRead() {
    if (!m_reading) {
        m_pendingRead = true;
        return;
    }
    const qint64 n = m_sock->bytesAvailable();
    if (n > 0) emit dataArrived(n);
}

void TcpSocket::onBytesWritten(qint64 n) {
    m_sent += n;
    const qint64 remaining = m_sock ? m_sock->bytesToWrite() : 0;
    emit sendProgress(m_sent, remaining);
    if (remaining == 0) emit sendComplete();
}

void TcpSocket::onDisconnected() {
    if (m_failed) return;
    if (m_resetSeen) {
        m_failed = true;
        emit errorOccurred(QString::fromLocal8Bit(std::strerror(ECONNRESET)));
        return;
    }
    m_peerClosed = true;
    emit peerClosed();
}

void TcpSocket::onError() {
    if (!m_sock) return;
    // An orderly close by the peer is reported as a close, not as an error; a reset that epoll
    // reported with the activation Qt found the end in is an error, reported when Qt is done.
    if (m_sock->error() == QAbstractSocket::RemoteHostClosedError) {
        m_resetSeen = activationReportsHangUp().value_or(false);
        return;
    }
    if (m_peerClosed) return;
    m_failed = true;
    emit errorOccurred(m_sock->errorString());
}

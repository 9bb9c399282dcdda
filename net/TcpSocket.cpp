#include "net/TcpSocket.h"

#include "net/Failure.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QTimer>

namespace {
// A closed connection still flushes what was queued on it; this long at most.
constexpr int kLingerMs = 30000;
// Qt stops taking data from the network once this much waits unread on one socket.
constexpr qint64 kReadBufferBytes = 64 * 1024;
} // namespace

TcpSocket::TcpSocket(QObject* parent) : Socket(parent), m_sock(nullptr) {}

TcpSocket::~TcpSocket() { close(); }

SocketFactory TcpSocket::factory() {
    return [] { return std::make_unique<TcpSocket>(); };
}

void TcpSocket::connectToHost() {
    close();
    m_sock = new QTcpSocket(this);
    m_sock->setReadBufferSize(kReadBufferBytes);
    m_failed = false;
    m_peerClosed = false;
    m_sent = 0;
    connect(m_sock, &QTcpSocket::connected, this, [this] {
        m_sock->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        emit connected();
    });
    connect(m_sock, &QTcpSocket::readyRead, this, &TcpSocket::onReadyRead);
    connect(m_sock, &QTcpSocket::bytesWritten, this, &TcpSocket::onBytesWritten);
    connect(m_sock, &QTcpSocket::disconnected, this, &TcpSocket::onDisconnected);
    connect(m_sock, &QTcpSocket::errorOccurred, this, &TcpSocket::onError);
    if (localPort != 0) m_sock->bind(QHostAddress::Any, localPort);
    m_sock->connectToHost(remoteHost, remotePort);
}

void TcpSocket::close() {
    QTcpSocket* old = m_sock;
    m_sock = nullptr;
    m_failed = false;
    m_peerClosed = false;
    m_pendingRead = false;
    if (!old) return;
    // The old connection raises nothing more towards our owner. What was queued on it still goes
    // out before it ends, so a user's last line is not lost when the slot is closed right after.
    old->disconnect(this);
    if (old->state() == QAbstractSocket::ConnectedState && old->bytesToWrite() > 0) {
        // Owned by the application from now on, so it goes at exit at the latest.
        old->setParent(QCoreApplication::instance());
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
    if (m_sock->write(data) != data.size()) throw Failure(m_sock->errorString());
}

qint64 TcpSocket::bytesAvailable() const { return m_sock ? m_sock->bytesAvailable() : 0; }

QByteArray TcpSocket::readAll() { return m_sock ? m_sock->readAll() : QByteArray(); }

qint64 TcpSocket::bytesToWrite() const { return m_sock ? m_sock->bytesToWrite() : 0; }

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
    m_peerClosed = true;
    emit peerClosed();
}

void TcpSocket::onError() {
    if (!m_sock) return;
    // An orderly close by the peer is reported as a close, not as an error.
    if (m_sock->error() == QAbstractSocket::RemoteHostClosedError) return;
    if (m_peerClosed) return;
    m_failed = true;
    emit errorOccurred(m_sock->errorString());
}

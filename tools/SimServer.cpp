#include "tools/SimServer.h"

#include <sys/socket.h>

namespace sim {

void setSocketBuffer(qintptr fd, int option, int bytes) {
    ::setsockopt(static_cast<int>(fd), SOL_SOCKET, option, &bytes, sizeof bytes);
}

void holdReads(QTcpSocket* s, bool on, qint64 held) {
    if (s) s->setReadBufferSize(on ? held : 0);
}

PeerServer::PeerServer(QObject* parent) : QTcpServer(parent) {
    setListenBacklogSize(1024);
    setMaxPendingConnections(2000);
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = nextPendingConnection())
            if (m_accepted) m_accepted(s);
    });
}

bool PeerServer::listenLocal(quint16 port, Accepted accepted, int receiveBuffer, int sendBuffer) {
    m_accepted = std::move(accepted);
    if (!listen(QHostAddress::LocalHost, port)) return false;
    if (receiveBuffer) setSocketBuffer(socketDescriptor(), SO_RCVBUF, receiveBuffer);
    if (sendBuffer) setSocketBuffer(socketDescriptor(), SO_SNDBUF, sendBuffer);
    return true;
}

QString PeerServer::listenError(const QString& who, quint16 port) const {
    return QStringLiteral("%1 cannot listen on 127.0.0.1:%2: %3")
        .arg(who)
        .arg(port)
        .arg(errorString());
}

} // namespace sim

#include "tools/SimEngine.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace sim {
namespace {
// Below this many queued bytes the gateway connection counts as drained.
constexpr qint64 kLowWater = 64 * 1024;
} // namespace

SimEngine::SimEngine(QObject* parent) : QObject(parent), m_server(new QTcpServer(this)) {
    m_radio.baud = 0;
    m_server->setListenBacklogSize(1024);
    connect(m_server, &QTcpServer::newConnection, this, &SimEngine::onNewConnection);
    m_pieceTimer.setInterval(1);
    connect(&m_pieceTimer, &QTimer::timeout, this, &SimEngine::writePieces);
}

SimEngine::~SimEngine() {
    for (auto& c : m_connections) {
        c->socket->disconnect(this);
        c->socket->abort();
    }
}

bool SimEngine::listen(quint16 port, QString& error) {
    if (m_server->listen(QHostAddress::LocalHost, port)) return true;
    error = QStringLiteral("AGW engine cannot listen on 127.0.0.1:%1: %2")
                .arg(port)
                .arg(m_server->errorString());
    return false;
}

quint16 SimEngine::port() const {
    return m_server->serverPort();
}

qint64 SimEngine::bytesQueued() const {
    return m_gateway ? m_gateway->socket->bytesToWrite() + m_gateway->piecesBytes : 0;
}

int SimEngine::outstanding(const QByteArray& call) const {
    const auto it = m_users.constFind(call);
    return it == m_users.constEnd() ? 0 : int(it->link.outstanding());
}

int SimEngine::outstandingTotal() const {
    int n = 0;
    for (const User& u : m_users)
        n += int(u.link.outstanding());
    return n;
}

bool SimEngine::registeredOn(quint8 port) const {
    return m_gateway && (m_ports == 1 || m_gateway->ports.contains(port));
}

void SimEngine::onNewConnection() {
    while (QTcpSocket* s = m_server->nextPendingConnection()) {
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto c = std::make_unique<Connection>();
        c->socket = s;
        Connection* raw = c.get();
        m_connections.push_back(std::move(c));
        connect(s, &QTcpSocket::readyRead, this, [this, raw] { onReadyRead(raw); });
        // Queued, so that a connection closed from inside its own read handler outlives it.
        connect(
            s, &QTcpSocket::disconnected, this, [this, raw] { onClosed(raw); },
            Qt::QueuedConnection);
        connect(s, &QTcpSocket::bytesWritten, this, [this, raw] {
            if (raw == m_gateway && bytesQueued() < kLowWater) emit drained();
        });
        emit notice(QStringLiteral("engine: connection from %1:%2")
                        .arg(s->peerAddress().toString())
                        .arg(s->peerPort()));
    }
}

void SimEngine::onClosed(Connection* c) {
    const bool wasGateway = (c == m_gateway);
    if (wasGateway) m_gateway = nullptr;
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it->get() == c) {
            c->socket->deleteLater();
            m_connections.erase(it);
            break;
        }
    }
    emit notice(QStringLiteral("engine: connection closed"));
    if (wasGateway) emit gatewayLost();
}

void SimEngine::onReadyRead(Connection* c) {
    c->frames.append(c->socket->readAll());
    QByteArrayView f;
    quint32 announced = 0;
    FrameAssembler::Next next;
    while ((next = c->frames.next(f, &announced)) == FrameAssembler::Next::Frame) {
        ++m_counters.framesIn;
        handleFrame(c, f);
    }
    if (next == FrameAssembler::Next::Oversize) {
        // No gateway sends such a frame: the stream has lost its frame alignment.
        emit notice(QStringLiteral("engine: a frame header announces %1 data bytes, more than "
                                   "%2; closing the connection")
                        .arg(announced)
                        .arg(FrameAssembler::kMaxDataLen));
        c->frames.clear();
        if (c == m_gateway) {
            m_gateway = nullptr;
            emit gatewayLost();
        }
        c->socket->abort();
    }
}

void SimEngine::handleFrame(Connection* c, QByteArrayView frame) {
    // Copied before anything is emitted: the view lasts only until the next arrival is merged.
    const AgwHeader h = readHeader(frame.data());
    const QByteArray data = frame.sliced(kAgwHeaderSize).toByteArray();
    switch (h.DataKind) {
    case 'X': {
        if (h.Port != 0) {
            // A further radio port: taken for the cluster callsign of the registered gateway.
            const bool ok = c == m_gateway && h.CallFrom == clusterCall() && h.Port < m_ports;
            send(c, buildFrame(h.Port, 'X', h.CallFrom, QByteArray(),
                               QByteArray(1, ok ? '\1' : '\0')));
            if (!ok || c->ports.contains(h.Port)) break;
            c->ports.append(h.Port);
            emit notice(QStringLiteral("engine: gateway registered %1 on port %2")
                            .arg(QString::fromLatin1(h.CallFrom))
                            .arg(h.Port));
            emit portRegistered(h.Port);
            break;
        }
        c->registered = h.CallFrom;
        c->ports = {0};
        send(c, buildRegisteredFrame(h.CallFrom));
        if (m_fixedCall.isEmpty() && m_firstCall.isEmpty()) m_firstCall = h.CallFrom;
        if (h.CallFrom == clusterCall()) {
            m_gateway = c;
            emit notice(QStringLiteral("engine: gateway registered %1")
                            .arg(QString::fromLatin1(h.CallFrom)));
            emit gatewayRegistered(h.CallFrom);
        } else {
            emit notice(
                QStringLiteral("engine: %1 registered; the users connect to %2")
                    .arg(QString::fromLatin1(h.CallFrom), QString::fromLatin1(clusterCall())));
        }
        break;
    }
    case 'R':
        send(c, buildVersionFrame());
        break;
    case 'G':
        send(c, buildPortInfoFrame(m_ports));
        break;
    case 'D':
        if (m_ports > 1 && m_users.contains(h.CallTo) && m_users[h.CallTo].port != h.Port) {
            ++m_counters.framesDropped;
            emit notice(QStringLiteral("engine: data for %1 on port %2, who is on port %3")
                            .arg(QString::fromLatin1(h.CallTo))
                            .arg(h.Port)
                            .arg(m_users[h.CallTo].port));
        } else if (m_users.contains(h.CallTo)) {
            queueForAir(h.CallTo, data);
        } else {
            ++m_counters.framesDropped;
            emit notice(QStringLiteral("engine: data for %1, who is not connected")
                            .arg(QString::fromLatin1(h.CallTo)));
        }
        break;
    case 'd': {
        const auto it = m_users.constFind(h.CallTo);
        if (it == m_users.constEnd()) {
            ++m_counters.framesDropped;
            emit notice(QStringLiteral("engine: disconnect for %1, who is not connected")
                            .arg(QString::fromLatin1(h.CallTo)));
            break;
        }
        const QByteArray call = h.CallTo;
        send(c, buildFrame(it->port, 'd', call, it->to, disconnectedText(call)));
        removeUser(call);
        emit userGone(call, true);
        break;
    }
    case 'Y':
        if (hasRadio())
            answerOutstanding(c, h);
        else
            emit notice(QStringLiteral("engine: frame kind Y ignored (no radio)"));
        break;
    default:
        emit notice(QStringLiteral("engine: frame kind %1 ignored").arg(QLatin1Char(h.DataKind)));
        break;
    }
}

void SimEngine::answerOutstanding(Connection* c, const AgwHeader& h) {
    // As Direwolf: a true count only for the link the asking client owns, named from the
    // cluster callsign to the user on the user's port; 0 for everything else.
    const auto it = m_users.constFind(h.CallTo);
    const bool known = c == m_gateway && it != m_users.constEnd();
    int count = 0;
    if (known && it->port == h.Port && h.CallFrom == it->to)
        count = int(it->link.outstanding()) + it->staleExtra;
    send(c, buildOutstandingFrame(h.Port, h.CallFrom, h.CallTo, quint32(count)));
    if (known) emit outstandingAsked(h.CallTo, count);
}

void SimEngine::queueForAir(const QByteArray& call, const QByteArray& data) {
    User& u = m_users[call];
    if (!hasRadio()) {
        emit frameArrived(call, data, 1);
        if (!m_users.contains(call)) return;
        emit frameAired(call, data);
        deliver(call, data);
        return;
    }
    u.link.enqueue(data);
    emit frameArrived(call, data, int(u.link.outstanding()));
    if (u.keying || u.link.onAir()) return;
    if (!u.airTimer) {
        u.airTimer = new QTimer(this);
        u.airTimer->setSingleShot(true);
        u.airTimer->setTimerType(Qt::PreciseTimer);
        connect(u.airTimer, &QTimer::timeout, this, [this, call] { onAirTimer(call); });
    }
    // Frames that come in while the transmitter keys up go out in the same burst.
    u.keying = true;
    u.airTimer->start(m_radio.txDelayMs);
}

void SimEngine::onAirTimer(const QByteArray& call) {
    const auto it = m_users.find(call);
    if (it == m_users.end()) return;
    if (it->keying) {
        it->keying = false;
        const double ms = it->link.startBurst();
        if (ms >= 0) it->airTimer->start(qMax(1, qRound(ms)));
        return;
    }
    const QList<QByteArray> aired = it->link.finishBurst();
    if (!aired.isEmpty()) it->staleExtra = 0;
    if (it->link.queued() > 0) {
        it->keying = true;
        it->airTimer->start(m_radio.txDelayMs);
    }
    for (const QByteArray& data : aired) {
        // A slot may end the user's link (a user that leaves on what it reads).
        if (!m_users.contains(call)) return;
        emit frameAired(call, data);
        deliver(call, data);
    }
}

void SimEngine::removeUser(const QByteArray& call) {
    const auto it = m_users.find(call);
    if (it == m_users.end()) return;
    if (it->airTimer) {
        it->airTimer->stop();
        it->airTimer->deleteLater();
    }
    m_users.erase(it);
}

void SimEngine::deliver(const QByteArray& call, const QByteArray& data) {
    User& u = m_users[call];
    if (!u.greeted && !data.isEmpty()) {
        u.greeted = true;
        ++m_counters.usersGreeted;
    }
    QList<QByteArray> lines;
    for (const char ch : data) {
        if (ch == '\r') {
            lines.append(u.partial);
            u.partial.clear();
        } else if (ch != '\n' && ch != '\0') {
            u.partial.append(ch);
        }
    }
    // `u` may go away in a slot (a user that leaves on what it reads), so count first.
    m_counters.linesReceived += quint64(lines.size());
    for (const QByteArray& line : lines)
        emit userLine(call, line);
}

bool SimEngine::connectUser(const QByteArray& call, quint8 radioPort) {
    if (!registeredOn(radioPort) || call.isEmpty() || m_users.contains(call)) return false;
    User u;
    u.port = radioPort;
    u.to = clusterCall();
    u.link = RadioLink(m_radio);
    // Direwolf's count for a link that was there before stays a window too high until new
    // frames pass.
    const QByteArray link = QByteArray::number(radioPort) + ':' + call;
    if (hasRadio() && m_linkedBefore.contains(link)) u.staleExtra = m_radio.window;
    m_linkedBefore.insert(link);
    m_users.insert(call, u);
    ++m_counters.usersConnected;
    send(m_gateway, buildFrame(radioPort, 'C', call, u.to, connectedText(call)));
    emit userConnected(call);
    return true;
}

bool SimEngine::sendLine(const QByteArray& call, const QByteArray& line) {
    const auto it = m_users.constFind(call);
    if (!m_gateway || it == m_users.constEnd()) return false;
    ++m_counters.linesSent;
    send(m_gateway, buildFrameWithPid(it->port, 'D', kPidText, call, it->to, line + '\r'));
    return true;
}

bool SimEngine::disconnectUser(const QByteArray& call) {
    const auto it = m_users.constFind(call);
    if (!m_gateway || it == m_users.constEnd()) return false;
    send(m_gateway, buildFrame(it->port, 'd', call, it->to, disconnectedText(call)));
    removeUser(call);
    emit userGone(call, false);
    return true;
}

void SimEngine::send(Connection* c, const QByteArray& frame) {
    ++m_counters.framesOut;
    if (!m_split) {
        c->socket->write(frame);
        return;
    }
    for (const QByteArray& piece : splitForWrites(frame)) {
        c->pieces.append(piece);
        c->piecesBytes += piece.size();
    }
    if (!m_pieceTimer.isActive()) m_pieceTimer.start();
}

void SimEngine::writePieces() {
    bool more = false;
    for (auto& c : m_connections) {
        if (c->pieces.isEmpty()) continue;
        const QByteArray piece = c->pieces.takeFirst();
        c->piecesBytes -= piece.size();
        c->socket->write(piece);
        c->socket->flush();
        more = more || !c->pieces.isEmpty();
    }
    if (!more) m_pieceTimer.stop();
}

} // namespace sim

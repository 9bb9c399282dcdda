#include "tools/SimEngine.h"

#include <QHostAddress>

namespace sim {
namespace {
// Below this many queued bytes the gateway connection counts as drained.
constexpr qint64 kLowWater = 64 * 1024;
} // namespace

SimEngine::SimEngine(QObject* parent) : QObject(parent), m_server(new PeerServer(this)) {
    m_radio.baud = 0;
    m_users.setTiming(m_radio);
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
    if (m_server->listenLocal(port, [this](QTcpSocket* s) { onNewConnection(s); })) return true;
    error = m_server->listenError(QStringLiteral("AGW engine"), port);
    return false;
}

quint16 SimEngine::port() const {
    return m_server->serverPort();
}

qint64 SimEngine::bytesQueued() const {
    return m_gateway ? m_gateway->socket->bytesToWrite() + m_gateway->piecesBytes : 0;
}

bool SimEngine::registeredOn(quint8 port) const {
    return m_gateway && (m_ports == 1 || m_gateway->ports.contains(port));
}

void SimEngine::onNewConnection(QTcpSocket* s) {
    s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    auto c = std::make_unique<Connection>();
    c->socket = s;
    Connection* raw = c.get();
    m_connections.push_back(std::move(c));
    connect(s, &QTcpSocket::readyRead, this, [this, raw] { onReadyRead(raw); });
    // Queued, so that a connection closed from inside its own read handler outlives it.
    connect(
        s, &QTcpSocket::disconnected, this, [this, raw] { onClosed(raw); }, Qt::QueuedConnection);
    connect(s, &QTcpSocket::bytesWritten, this, [this, raw] {
        if (raw == m_gateway && bytesQueued() < kLowWater) emit drained();
    });
    emit notice(QStringLiteral("engine: connection from %1:%2")
                    .arg(s->peerAddress().toString())
                    .arg(s->peerPort()));
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
    quint32 announced = 0;
    const auto take = [&](QByteArrayView f) {
        ++m_counters.framesIn;
        handleFrame(c, f);
    };
    if (c->read(take, &announced) == FrameAssembler::Next::Oversize) {
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
    case 'D': {
        const User* u = m_users.find(h.CallTo);
        if (m_ports > 1 && u && u->port != h.Port) {
            ++m_counters.framesDropped;
            emit notice(QStringLiteral("engine: data for %1 on port %2, who is on port %3")
                            .arg(QString::fromLatin1(h.CallTo))
                            .arg(h.Port)
                            .arg(u->port));
        } else if (u) {
            queueForAir(h.CallTo, data);
        } else {
            ++m_counters.framesDropped;
            emit notice(QStringLiteral("engine: data for %1, who is not connected")
                            .arg(QString::fromLatin1(h.CallTo)));
        }
        break;
    }
    case 'd': {
        const User* u = m_users.find(h.CallTo);
        if (!u) {
            ++m_counters.framesDropped;
            emit notice(QStringLiteral("engine: disconnect for %1, who is not connected")
                            .arg(QString::fromLatin1(h.CallTo)));
            break;
        }
        const QByteArray call = h.CallTo;
        send(c, buildFrame(u->port, 'd', call, u->to, disconnectedText(call)));
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
    const quint32 count = m_users.answer(c == m_gateway, h);
    send(c, buildOutstandingFrame(h.Port, h.CallFrom, h.CallTo, count));
    if (c == m_gateway && hasUser(h.CallTo)) emit outstandingAsked(h.CallTo, int(count));
}

void SimEngine::queueForAir(const QByteArray& call, const QByteArray& data) {
    User& u = *m_users.find(call);
    if (!hasRadio()) {
        emit frameArrived(call, data, 1);
        if (!hasUser(call)) return;
        emit frameAired(call, data);
        deliver(call, data);
        return;
    }
    u.radio.enqueue(data);
    emit frameArrived(call, data, int(u.radio.outstanding()));
    if (u.keying || u.radio.onAir()) return;
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
    User* u = m_users.find(call);
    if (!u) return;
    if (u->keying) {
        u->keying = false;
        const double ms = u->radio.startBurst();
        if (ms >= 0) u->airTimer->start(qMax(1, qRound(ms)));
        return;
    }
    const QList<QByteArray> aired = u->radio.finishBurst();
    if (!aired.isEmpty()) m_users.aired(*u);
    if (u->radio.queued() > 0) {
        u->keying = true;
        u->airTimer->start(m_radio.txDelayMs);
    }
    for (const QByteArray& data : aired) {
        // A slot may end the user's link (a user that leaves on what it reads).
        if (!hasUser(call)) return;
        emit frameAired(call, data);
        deliver(call, data);
    }
}

void SimEngine::removeUser(const QByteArray& call) {
    User* u = m_users.find(call);
    if (!u) return;
    if (u->airTimer) {
        u->airTimer->stop();
        u->airTimer->deleteLater();
    }
    m_users.close(call);
}

void SimEngine::deliver(const QByteArray& call, const QByteArray& data) {
    User& u = *m_users.find(call);
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
    if (!registeredOn(radioPort) || call.isEmpty() || hasUser(call)) return false;
    const User& u = m_users.open(radioPort, call, clusterCall());
    ++m_counters.usersConnected;
    send(m_gateway, buildFrame(radioPort, 'C', call, u.to, connectedText(call)));
    emit userConnected(call);
    return true;
}

bool SimEngine::sendLine(const QByteArray& call, const QByteArray& line) {
    const User* u = m_users.find(call);
    if (!m_gateway || !u) return false;
    ++m_counters.linesSent;
    send(m_gateway, buildFrameWithPid(u->port, 'D', kPidText, call, u->to, line + '\r'));
    return true;
}

bool SimEngine::disconnectUser(const QByteArray& call) {
    const User* u = m_users.find(call);
    if (!m_gateway || !u) return false;
    send(m_gateway, buildFrame(u->port, 'd', call, u->to, disconnectedText(call)));
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

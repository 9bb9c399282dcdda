#include "tools/SimNode.h"

namespace sim {
namespace {
constexpr int kRecentSpots = 10;
constexpr int kShownSpots = 5;
// A user with this much unsent output gets no more spots until it reads.
constexpr qint64 kSpotBacklog = 1024 * 1024;
// At most this many spots in one tick, whatever the rate.
constexpr qint64 kSpotBurst = 10000;
} // namespace

SimNode::SimNode(QObject* parent) : QObject(parent), m_server(new PeerServer(this)) {
    connect(&m_spotTimer, &QTimer::timeout, this, &SimNode::spotTick);
    m_streamTimer.setInterval(20);
    connect(&m_streamTimer, &QTimer::timeout, this, &SimNode::streamTick);
    // Something for "sh/dx" to list from the start.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = kShownSpots; i > 0; --i)
        addSpot(m_spots.next(now.addSecs(-120 * i)));
}

SimNode::~SimNode() {
    for (auto it = m_clients.keyBegin(); it != m_clients.keyEnd(); ++it) {
        (*it)->disconnect(this);
        (*it)->abort();
    }
}

bool SimNode::listen(quint16 port, QString& error) {
    if (m_server->listenLocal(port, [this](QTcpSocket* s) { onNewConnection(s); })) return true;
    error = m_server->listenError(QStringLiteral("cluster node"), port);
    return false;
}

quint16 SimNode::port() const {
    return m_server->serverPort();
}

int SimNode::loggedIn() const {
    int n = 0;
    for (const Client& c : m_clients)
        n += c.call.isEmpty() ? 0 : 1;
    return n;
}

void SimNode::setSpotRate(double perSecond) {
    m_spotRate = perSecond;
    m_spotsDone = 0;
    if (perSecond <= 0) {
        m_spotTimer.stop();
        return;
    }
    m_spotTimer.setInterval(qBound(5, int(1000.0 / perSecond), 1000));
    m_spotClock.start();
    m_spotTimer.start();
}

void SimNode::spotTick() {
    const qint64 due = qMin(dueCount(m_spotRate, m_spotClock.elapsed(), m_spotsDone), kSpotBurst);
    if (due <= 0) return;
    m_spotsDone += due;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (qint64 i = 0; i < due; ++i) {
        const Spot s = m_spots.next(now);
        addSpot(s);
        broadcast(formatSpotLine(s));
    }
    // After a burst that hit the cap, start counting afresh rather than catch up forever.
    if (due == kSpotBurst) {
        m_spotsDone = 0;
        m_spotClock.restart();
    }
}

void SimNode::addSpot(const Spot& spot) {
    m_recent.append(spot);
    if (m_recent.size() > kRecentSpots) m_recent.removeFirst();
}

void SimNode::broadcast(const QByteArray& line) {
    const QByteArray bytes = line + "\r\n";
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
        if (it->call.isEmpty() || !it->spots) continue;
        if (it.key()->bytesToWrite() > kSpotBacklog) {
            ++m_counters.spotsDropped;
            continue;
        }
        writeTo(it.key(), *it, bytes, Kind::Spot);
        ++m_counters.linesOut;
    }
}

void SimNode::setStream(qint64 bytes, double seconds) {
    m_streamBytes = bytes;
    m_streamSeconds = seconds;
}

int SimNode::streaming() const {
    int n = 0;
    for (const Client& c : m_clients)
        n += c.streamed >= 0 ? 1 : 0;
    return n;
}

void SimNode::writeTo(QTcpSocket* s, Client& c, const QByteArray& bytes, Kind kind) {
    s->write(bytes);
    s->flush(); // hands the system what it takes now, without waiting
    c.written += bytes.size();
    emit wrote(c.call, bytes, kind);
    if (!c.blocked && s->bytesToWrite() > 0) {
        c.blocked = true;
        emit writeBlocked(c.call, c.written - s->bytesToWrite());
    }
}

void SimNode::flood(QTcpSocket* s, Client& c, qint64 bytes) {
    // Lines as "sh/dx" lists them, each written on its own.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (qint64 done = 0; done < bytes;) {
        const QByteArray line = formatShowDxLine(m_floodLines.next(now)) + "\r\n";
        writeTo(s, c, line, Kind::Flood);
        ++m_counters.linesOut;
        done += line.size();
    }
}

void SimNode::streamTick() {
    bool more = false;
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
        Client& c = *it;
        if (c.streamed < 0) continue;
        const double share = m_streamSeconds > 0
                                 ? double(c.streamClock.elapsed()) / (1000.0 * m_streamSeconds)
                                 : 1.0;
        const qint64 due = qMin(m_streamBytes, qint64(double(m_streamBytes) * qMin(share, 1.0)));
        if (due > c.streamed) {
            const qint64 before = c.written;
            flood(it.key(), c, due - c.streamed);
            c.streamed += c.written - before;
        }
        if (c.streamed >= m_streamBytes)
            c.streamed = -1;
        else
            more = true;
    }
    if (!more) m_streamTimer.stop();
}

void SimNode::onNewConnection(QTcpSocket* s) {
    s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_sendBuffer > 0)
        s->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, m_sendBuffer);
    m_clients.insert(s, Client());
    connect(s, &QTcpSocket::readyRead, this, [this, s] { onReadyRead(s); });
    connect(
        s, &QTcpSocket::disconnected, this, [this, s] { onClosed(s); }, Qt::QueuedConnection);
}

void SimNode::onClosed(QTcpSocket* s) {
    const auto it = m_clients.find(s);
    if (it == m_clients.end()) return;
    const QByteArray call = it->call;
    m_clients.erase(it);
    s->deleteLater();
    if (!call.isEmpty()) emit userLeft(call);
}

void SimNode::onReadyRead(QTcpSocket* s) {
    const auto it = m_clients.find(s);
    if (it == m_clients.end()) {
        s->readAll();
        return;
    }
    const QList<QByteArray> lines = it->splitter.append(s->readAll());
    for (const QByteArray& line : lines) {
        // Look the client up again: a command may have ended the session.
        const auto c = m_clients.find(s);
        if (c == m_clients.end() || s->state() != QAbstractSocket::ConnectedState) break;
        handleLine(s, *c, line);
    }
}

QByteArray SimNode::prompt(const QByteArray& call) const {
    return call + " de SIMNODE >";
}

void SimNode::writeLines(QTcpSocket* s, const QList<QByteArray>& lines, Kind kind) {
    QByteArray bytes;
    for (const QByteArray& l : lines)
        bytes += l + "\r\n";
    const auto it = m_clients.find(s);
    if (it == m_clients.end()) return;
    writeTo(s, *it, bytes, kind);
    m_counters.linesOut += quint64(lines.size());
}

void SimNode::handleLine(QTcpSocket* s, Client& c, const QByteArray& line) {
    const QByteArray text = line.trimmed();
    if (text.isEmpty()) return;                        // keep-alive lines and stray line ends
    if (c.call.isEmpty() && isProxyLine(text)) return; // the gateway's address line
    if (c.call.isEmpty()) {
        c.call = text;
        ++m_counters.logins;
        c.spots = m_spotUsers <= 0 || ++m_loginCount <= m_spotUsers;
        emit userLoggedIn(c.call);
        writeLines(s, {"Hello " + c.call + ", this is the simulated cluster node", prompt(c.call)});
        if (m_floodBytes > 0) flood(s, c, m_floodBytes);
        if (m_streamBytes > 0) {
            c.streamed = 0;
            c.streamClock.start();
            if (!m_streamTimer.isActive()) m_streamTimer.start();
        }
        return;
    }
    ++m_counters.linesIn;
    const QByteArray call = c.call;
    emit userLine(call, text);
    const QByteArray command = text.toLower();
    if (command == "sh/dx" || command == "show/dx") {
        QList<QByteArray> out;
        for (qsizetype i = m_recent.size() - 1; i >= 0 && out.size() < kShownSpots; --i)
            out.append(formatShowDxLine(m_recent[i]));
        out.append(prompt(call));
        writeLines(s, out);
    } else if (command == "bye" || command == "quit" || command == "b") {
        writeLines(s, {"73 de SIMNODE, goodbye " + call});
        s->disconnectFromHost();
    } else {
        writeLines(s, {text});
    }
}

} // namespace sim

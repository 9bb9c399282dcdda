#include "support/Peers.h"

#include "agwlink/AgwFrame.h"
#include "config/ConfigFile.h"
#include "net/TcpSocket.h"
#include "relay/Startup.h"
#include "support/TestUtil.h"

#include <QElapsedTimer>

#include <sys/socket.h>

QByteArray connectFrame(const QByteArray& call, quint8 port) {
    return buildFrame(port, 'C', call, "GB7TC", sim::connectedText("GB7TC"));
}

QByteArray dataFrame(const QByteArray& call, const QByteArray& data, quint8 port) {
    return buildFrame(port, 'D', call, "GB7TC", data);
}

QByteArray disconnectFrame(const QByteArray& call, quint8 port) {
    return buildFrame(port, 'd', call, "GB7TC", "*** DISCONNECTED From Station GB7TC\r");
}

void resetConnection(QTcpSocket* s) {
    const linger hard{1, 0};
    ::setsockopt(static_cast<int>(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                 sizeof hard);
    s->abort();
}

FakeEngine::FakeEngine(int receiveBuffer) {
    const auto accepted = [this](QTcpSocket* s) {
        link.replace(s, this);
        ++connections;
        reported.clear();
        QObject::connect(s, &QTcpSocket::readyRead, this, [this] { read(); });
    };
    server.listenLocal(0, accepted, receiveBuffer);
}

FakeEngine::~FakeEngine() {
    if (link) link->disconnect(this);
}

void FakeEngine::read() {
    const auto each = [this](QByteArrayView f) { take(f); };
    if (link.read(each) == FrameAssembler::Next::Oversize) ++broken;
}

void FakeEngine::take(QByteArrayView f) {
    const AgwHeader h = readHeader(f.data());
    ++frames;
    if (keepFrames) kept << f.toByteArray();
    if (h.DataKind == 'X') {
        ++registrations;
        registeredCall = h.CallFrom;
    }
    if (h.DataKind == 'D') {
        text[h.CallTo] += f.sliced(kAgwHeaderSize).toByteArray();
        maxDataLen = std::max(maxDataLen, h.DataLen);
    }
    if (countsFrames) links.received(h, f.sliced(kAgwHeaderSize).toByteArray());
    if (h.DataKind == 'Y' && countsFrames) {
        ++outstandingAsked;
        send(sim::buildOutstandingFrame(h.Port, h.CallFrom, h.CallTo, links.answer(true, h)));
    }
    if (h.DataKind == 'd') ++disconnects[h.CallTo];
}

void FakeEngine::send(const QByteArray& bytes) {
    link->write(bytes);
    link->flush();
    if (!countsFrames) return;
    sim::takeFrames(reported, bytes,
                    [this](QByteArrayView f) { links.reported(readHeader(f.data())); });
}

bool FakeEngine::sendAll(const QByteArray& bytes) {
    send(bytes);
    return waitUntil([this] { return link->bytesToWrite() == 0; }, 10000);
}

void FakeEngine::pause(bool on) {
    link.pause(on);
    if (!on) read();
}

bool FakeEngine::registered(int times) {
    return waitUntil([&] { return registrations >= times; }, 5000);
}

QList<QByteArray> FakeEngine::to(const QByteArray& call, char kind) const {
    QList<QByteArray> out;
    for (const QByteArray& f : kept)
        if (f[4] == kind && readHeader(f.constData()).CallTo == call) out << f;
    return out;
}

FakeNode::FakeNode(int receiveBuffer, int sendBuffer) {
    const auto accepted = [this](QTcpSocket* s) {
        conns.push_back(std::make_unique<Conn>());
        Conn* c = conns.back().get();
        c->sock = s;
        if (!greeting.isEmpty()) s->write(greeting);
        QObject::connect(s, &QTcpSocket::readyRead, this, [c] {
            if (c->reading) c->bytes += c->sock->readAll();
        });
        QObject::connect(s, &QTcpSocket::disconnected, this, [c] { c->ended = true; });
        QObject::connect(s, &QTcpSocket::errorOccurred, this, [c] { c->ended = true; });
    };
    server.listenLocal(0, accepted, receiveBuffer, sendBuffer);
}

FakeNode::~FakeNode() {
    for (auto& c : conns)
        c->sock->disconnect(this);
}

FakeNode::Conn* FakeNode::of(const QByteArray& call) {
    for (auto& c : conns)
        if (sim::loginCall(c->bytes) == call) return c.get();
    return nullptr;
}

FakeNode::Conn* FakeNode::waitFor(const QByteArray& call) {
    Conn* c = nullptr;
    waitUntil([&] { return (c = of(call)) != nullptr; }, 5000);
    return c;
}

void FakeNode::stopReading(Conn* c) {
    c->reading = false;
    sim::holdReads(c->sock, true, 1);
}

HttpReply httpRequest(quint16 port, const QByteArray& bytes) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000)) return {};
    s.write(bytes);
    QByteArray in;
    HttpReply r;
    waitUntil(
        [&] {
            // An answer without its whole body (HEAD's) ends when the server closes.
            const bool open = s.state() == QAbstractSocket::ConnectedState;
            in += s.readAll();
            const qsizetype end = in.indexOf("\r\n\r\n");
            if (end < 0) return !open;
            r.head = in.left(end);
            const qsizetype at = r.head.toLower().indexOf("content-length:");
            r.body = in.mid(end + 4);
            return !open || at < 0 ||
                   r.body.size() >= r.head.mid(at + 15).split('\r')[0].trimmed().toInt();
        },
        5000);
    if (!r.head.isEmpty()) r.code = r.head.mid(9, 3).toInt();
    return r;
}

HttpReply httpGet(quint16 port, const QByteArray& path, const QByteArray& method) {
    return httpRequest(port, method + ' ' + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
}

QStringList socketSeesPeerEnd(bool reset) {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) return {QStringLiteral("no listener")};
    TcpSocket s;
    s.setRemote(QStringLiteral("127.0.0.1"), server.serverPort());
    QStringList seen;
    QObject::connect(&s, &Socket::peerClosed,
                     [&] { seen << QStringLiteral("closed ") + QString::number(s.state()); });
    QObject::connect(&s, &Socket::errorOccurred, [&](const QString& d) {
        seen << QStringLiteral("error: ") + d + QLatin1Char(' ') + QString::number(s.state());
    });
    s.connectToHost();
    if (!waitUntil([&] { return server.hasPendingConnections(); }, 5000)) return {"no connection"};
    QTcpSocket* peer = server.nextPendingConnection();
    if (!waitUntil([&] { return s.state() == Socket::Connected; }, 5000)) return {"not connected"};
    peer->write("last words\r\n");
    peer->flush();
    if (reset)
        resetConnection(peer);
    else
        peer->disconnectFromHost();
    waitUntil([&] { return !seen.isEmpty(); }, 5000);
    QElapsedTimer more;
    more.start();
    waitUntil([&] { return more.elapsed() >= 50; }, 100);
    return seen;
}

QByteArray settingsFor(quint16 agwPort, quint16 nodePort, int packetLength) {
    return "\"Cluster Call\",\"GB7TC\"\r\n\"AGW IP\",\"127.0.0.1\"\r\n\"AGW Port\",\"" +
           QByteArray::number(agwPort) +
           "\"\r\n\"Winsock IP\",\"127.0.0.1\"\r\n\"Winsock Port\",\"" +
           QByteArray::number(nodePort) + "\"\r\n\"Packet Length\"," +
           QByteArray::number(packetLength) + "\r\n";
}

LiveGateway::LiveGateway(Timing timing, RecordedFeed* m)
    : errorLog(dir.path()), monitor(m ? *m : ownMonitor) {
    gw = std::make_unique<Gateway>(settings, errorLog, monitor, timing);
}

LiveGateway::~LiveGateway() {
    gw->shutdown();
    gw.reset();
}

void LiveGateway::start(const QByteArray& cfg) {
    dir.write(QStringLiteral("pktgate.cfg"), cfg);
    host.take(startUp(*gw, settings, settingsFilePath(dir.path()), errorLog, everyFrameValue));
}

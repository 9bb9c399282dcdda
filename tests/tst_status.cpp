// The status server from outside: its pages against a gateway between a fake engine and node, its
// answers to what it does not serve, the limits that keep clients from holding up the relay, and
// its place on the Gateway's thread.
#include "service/StatusServer.h"
#include "support/Peers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QtTest>

namespace {

struct Reply {
    int code = 0; // 0: the connection ended without an answer
    QByteArray head, body;
};

// Sends raw bytes to the server and reads one answer, or sees the connection end without one.
Reply request(quint16 port, const QByteArray& bytes) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000)) return {};
    s.write(bytes);
    QByteArray in;
    Reply r;
    waitUntil(
        [&] {
            in += s.readAll();
            const qsizetype end = in.indexOf("\r\n\r\n");
            if (end < 0) return s.state() != QAbstractSocket::ConnectedState;
            r.head = in.left(end);
            const qsizetype at = r.head.toLower().indexOf("content-length:");
            const qsizetype length =
                at < 0 ? 0 : r.head.mid(at + 15).split('\r').first().trimmed().toLongLong();
            r.body = in.mid(end + 4);
            return r.body.size() >= length;
        },
        5000);
    if (!r.head.isEmpty()) r.code = r.head.mid(9, 3).toInt();
    return r;
}

Reply get(quint16 port, const QByteArray& path, const QByteArray& method = "GET") {
    return request(port, method + ' ' + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
}

// A gateway between a fake engine and node, with its status server.
struct Rig {
    explicit Rig(const StatusLimits& limits = {}) {
        g.start(settingsFor(engine.port(), node.port()));
        engine.registered();
        server = new StatusServer(*g.gw, g.errorLog, g.gw.get());
        QString error;
        QVERIFY2(server->listen({QHostAddress::LocalHost, 0}, error, limits), qPrintable(error));
    }
    void login(const QByteArray& call, quint8 port = 1) {
        engine.send(connectFrame(call, port));
        QVERIFY(node.waitFor(call));
    }
    QJsonObject json() {
        return QJsonDocument::fromJson(get(server->port(), "/status.json").body).object();
    }

    FakeEngine engine;
    FakeNode node;
    LiveGateway g;
    StatusServer* server = nullptr;
};

const QByteArray kOddCall = "<i>X\"&'";

} // namespace

class tst_status : public QObject {
    Q_OBJECT
private slots:
    void pages_data();
    void pages();
    void usersComeAndGo();
    void limits_data();
    void limits();
    void onTheGatewaysThread();
};

void tst_status::pages_data() {
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArrayList>("has"); // in the head or the body
    QTest::addColumn<QByteArrayList>("lacks");
    QTest::newRow("page") << QByteArray("GET") << QByteArray("/") << 200
                          << QByteArrayList{"text/html; charset=utf-8",
                                            "http-equiv=\"refresh\"",
                                            "GB7TC",
                                            "127.0.0.1:",
                                            "G4ABC",
                                            "&lt;i&gt;X&quot;&amp;'",
                                            "Program Started"}
                          << QByteArrayList{"<i>X", "Winsock Port", "Packet Length"};
    QTest::newRow("json") << QByteArray("GET") << QByteArray("/status.json?x=1") << 200
                          << QByteArrayList{"application/json", "\"<i>X\\\"&'\""}
                          << QByteArrayList{};
    QTest::newRow("metrics") << QByteArray("GET") << QByteArray("/metrics") << 200
                             << QByteArrayList{"text/plain; version=0.0.4",
                                               "\npktgate_users_connected 2\n",
                                               "\npktgate_link_up 1\n",
                                               "\npktgate_log_lines_total{tag=\"Program "
                                               "Started\"} 1\n",
                                               "\npktgate_descriptor_headroom "}
                             << QByteArrayList{};
    QTest::newRow("POST") << QByteArray("POST") << QByteArray("/") << 405
                          << QByteArrayList{"Allow: GET"} << QByteArrayList{"GB7TC"};
    QTest::newRow("HEAD") << QByteArray("HEAD") << QByteArray("/metrics") << 405 << QByteArrayList{}
                          << QByteArrayList{};
    QTest::newRow("elsewhere") << QByteArray("GET") << QByteArray("/pktgate.cfg") << 404
                               << QByteArrayList{} << QByteArrayList{"GB7TC"};
}

void tst_status::pages() {
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(int, code);
    QFETCH(QByteArrayList, has);
    QFETCH(QByteArrayList, lacks);
    Rig r;
    r.login("G4ABC");
    r.login(kOddCall);
    const Reply reply = get(r.server->port(), path, method);
    QCOMPARE(reply.code, code);
    const QByteArray all = reply.head + "\r\n\r\n" + reply.body;
    for (const QByteArray& text : has)
        QVERIFY2(all.contains(text), text.constData());
    for (const QByteArray& text : lacks)
        QVERIFY2(!all.contains(text), text.constData());
}

void tst_status::usersComeAndGo() {
    Rig r;
    r.login("G4ABC", 0);
    r.login(kOddCall, 1);
    r.engine.send(dataFrame("G4ABC", "sh/dx\r", 0));
    FakeNode::Conn* c = r.node.of("G4ABC");
    QVERIFY(waitUntil([&] { return c->bytes.endsWith("sh/dx\r\n"); }, 5000));
    c->sock->write("DX de K1ABC\r\n");
    QVERIFY(waitUntil([&] { return r.engine.text["G4ABC"].contains("DX de"); }, 5000));

    QJsonObject st = r.json();
    const QJsonObject link = st[QStringLiteral("link")].toObject();
    QCOMPARE(link[QStringLiteral("state")].toString(), QStringLiteral("connected"));
    QCOMPARE(link[QStringLiteral("callsign")].toString(), QStringLiteral("GB7TC"));
    QCOMPARE(link[QStringLiteral("engine")].toString(),
             QStringLiteral("127.0.0.1:%1").arg(r.engine.port()));
    QVERIFY(!link[QStringLiteral("since")].toString().isEmpty());
    QJsonArray users = st[QStringLiteral("users")].toArray();
    QCOMPARE(users.size(), 2);
    const QJsonObject first = users[0].toObject();
    QCOMPARE(first[QStringLiteral("slot")].toInt(), 1);
    QCOMPARE(first[QStringLiteral("callsign")].toString(), QStringLiteral("G4ABC"));
    QCOMPARE(first[QStringLiteral("port")].toInt(), 0);
    QCOMPARE(first[QStringLiteral("node_state")].toString(), QStringLiteral("logged in"));
    QCOMPARE(first[QStringLiteral("to_node_bytes")].toInt(), 7);
    QCOMPARE(first[QStringLiteral("to_node_lines")].toInt(), 1);
    QCOMPARE(first[QStringLiteral("to_radio_lines")].toInt(), 1);
    QCOMPARE(users[1].toObject()[QStringLiteral("callsign")].toString(),
             QString::fromLatin1(kOddCall));
    QCOMPARE(users[1].toObject()[QStringLiteral("port")].toInt(), 1);

    // One leaves: the gauges go down, the counters since the start do not.
    r.engine.send(disconnectFrame("G4ABC", 0));
    QVERIFY(waitUntil([&] { return r.node.of("G4ABC")->ended; }, 5000));
    st = r.json();
    users = st[QStringLiteral("users")].toArray();
    QCOMPARE(users.size(), 1);
    QCOMPARE(users[0].toObject()[QStringLiteral("slot")].toInt(), 2);
    const QJsonObject counters = st[QStringLiteral("counters")].toObject();
    QCOMPARE(counters[QStringLiteral("users_connected")].toInt(), 1);
    QCOMPARE(counters[QStringLiteral("users_served")].toInt(), 2);
    QCOMPARE(counters[QStringLiteral("frames_from_engine")].toInt(), 4);
    QCOMPARE(counters[QStringLiteral("frames_to_engine")].toInt(), int(r.engine.frames));
    const QByteArray metrics = get(r.server->port(), "/metrics").body;
    QVERIFY(metrics.contains("\npktgate_users_connected 1\n"));
    QVERIFY(metrics.contains("\npktgate_users_served_total 2\n"));
    QVERIFY(metrics.contains("\npktgate_agw_frames_total{direction=\"from_engine\"} 4\n"));
}

void tst_status::limits_data() {
    QTest::addColumn<QByteArray>("sent"); // by each client
    QTest::addColumn<int>("clients");
    QTest::addColumn<int>("lifeMs");
    QTest::addColumn<int>("cut"); // clients cut without an answer; the others stay connected
    QTest::newRow("a request too large")
        << "GET / HTTP/1.1\r\nX-Pad: " + QByteArray(3000, 'x') + "\r\n\r\n"
        << 1 << 60000 << 1;
    QTest::newRow("a client that never ends its request")
        << QByteArray("GET / HTTP/1.1\r\n") << 1 << 300 << 1;
    QTest::newRow("more clients than allowed") << QByteArray() << 3 << 60000 << 1;
}

void tst_status::limits() {
    QFETCH(QByteArray, sent);
    QFETCH(int, clients);
    QFETCH(int, lifeMs);
    QFETCH(int, cut);
    StatusLimits limits;
    limits.connections = 2;
    limits.requestBytes = 2048;
    limits.lifeMs = lifeMs;
    Rig r(limits);
    std::vector<std::unique_ptr<QTcpSocket>> open;
    for (int i = 0; i < clients; ++i) {
        open.push_back(std::make_unique<QTcpSocket>());
        open.back()->connectToHost(QHostAddress::LocalHost, r.server->port());
        QVERIFY(open.back()->waitForConnected(5000));
        open.back()->write(sent);
    }
    const auto closed = [&] {
        return std::count_if(open.begin(), open.end(), [](const auto& s) {
            return s->state() == QAbstractSocket::UnconnectedState;
        });
    };
    QVERIFY(waitUntil([&] { return closed() == cut; }, 5000));
    QTest::qWait(100);
    QCOMPARE(closed(), cut);
    for (const auto& s : open)
        QVERIFY(!s->readAll().startsWith("HTTP"));
    // The relay and the server go on.
    open.clear();
    r.login("G4ABC");
    QVERIFY(waitUntil([&] { return get(r.server->port(), "/metrics").code == 200; }, 5000));
}

void tst_status::onTheGatewaysThread() {
    // The gateway on a thread of its own; the server is made there and asks it there.
    FakeEngine engine;
    FakeNode node;
    QThread relay;
    relay.start();
    QObject onRelay;
    onRelay.moveToThread(&relay);
    std::unique_ptr<LiveGateway> g;
    QMetaObject::invokeMethod(
        &onRelay,
        [&] {
            g = std::make_unique<LiveGateway>();
            g->start(settingsFor(engine.port(), node.port()));
        },
        Qt::BlockingQueuedConnection);
    QVERIFY(engine.registered());
    QString error;
    StatusServer* server =
        openStatusServer(*g->gw, g->errorLog, {QHostAddress::LocalHost, 0}, error);
    QVERIFY2(server, qPrintable(error));
    QCOMPARE(server->thread(), &relay);
    const QJsonObject st =
        QJsonDocument::fromJson(get(server->port(), "/status.json").body).object();
    QCOMPARE(st[QStringLiteral("link")].toObject()[QStringLiteral("state")].toString(),
             QStringLiteral("connected"));
    QMetaObject::invokeMethod(
        &onRelay, [&] { g.reset(); }, Qt::BlockingQueuedConnection);
    relay.quit();
    relay.wait();
}

QTEST_GUILESS_MAIN(tst_status)
#include "tst_status.moc"

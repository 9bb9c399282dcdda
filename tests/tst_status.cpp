// The status server from outside: its pages against a gateway between a fake engine and node, its
// answers to what it does not serve, the limits that keep clients from holding up the relay, and
// its place on the Gateway's thread.
#include "service/StatusPage.h"
#include "service/StatusServer.h"
#include "support/Peers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSemaphore>
#include <QThread>
#include <QtTest>

namespace {

// A gateway between a fake engine and node, with its status server.
struct Rig : PeerPair {
    explicit Rig(const StatusLimits& limits = {}) {
        g.start(settingsFor(engine.port(), node.port()));
        engine.registered();
        server = new StatusServer(*g.gw, g.errorLog, g.gw.get());
        QString error;
        QVERIFY2(server->listen({QHostAddress::LocalHost, 0}, error, limits), qPrintable(error));
    }
    void login(const QByteArray& call, quint8 port = 1) { QVERIFY(PeerPair::login(call, port)); }
    QJsonObject json() {
        return QJsonDocument::fromJson(httpGet(server->port(), "/status.json").body).object();
    }

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
    void descriptorHeadroom_data();
    void descriptorHeadroom();
    void usersTableInPages_data();
    void usersTableInPages();
    void headAndClose();
    void idleConnectionsMakeRoom();
    void limits_data();
    void limits();
    void offTheRelaysThread();
    void htmlTextShowsControls();
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
                          << QByteArrayList{"Allow: GET, HEAD"} << QByteArrayList{"GB7TC"};
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
    const HttpReply reply = httpGet(r.server->port(), path, method);
    QCOMPARE(reply.code, code);
    const QByteArray all = reply.head + "\r\n\r\n" + reply.body;
    for (const QByteArray& text : has)
        QVERIFY2(all.contains(text), text.constData());
    for (const QByteArray& text : lacks)
        QVERIFY2(!all.contains(text), text.constData());
}

// The users of /status.json, one line each.
static QStringList users(const QJsonObject& status) {
    QStringList out;
    for (const QJsonValue& v : status[QStringLiteral("users")].toArray()) {
        const QJsonObject u = v.toObject();
        out << QStringLiteral("%1 %2 port %3, %4, to node %5/%6, to radio %7 lines")
                   .arg(u[QStringLiteral("slot")].toInt())
                   .arg(u[QStringLiteral("callsign")].toString())
                   .arg(u[QStringLiteral("port")].toInt())
                   .arg(u[QStringLiteral("node_state")].toString())
                   .arg(u[QStringLiteral("to_node_bytes")].toInt())
                   .arg(u[QStringLiteral("to_node_lines")].toInt())
                   .arg(u[QStringLiteral("to_radio_lines")].toInt());
    }
    return out;
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
    QCOMPARE(
        QStringList({link[QStringLiteral("state")].toString(),
                     link[QStringLiteral("callsign")].toString(),
                     link[QStringLiteral("engine")].toString()}),
        QStringList({"connected", "GB7TC", QStringLiteral("127.0.0.1:%1").arg(r.engine.port())}));
    QCOMPARE(users(st),
             QStringList({"1 G4ABC port 0, logged in, to node 7/1, to radio 1 lines",
                          "2 <i>X\"&' port 1, logged in, to node 0/0, to radio 0 lines"}));

    // One leaves: the gauges go down, the counters since the start do not.
    r.engine.send(disconnectFrame("G4ABC", 0));
    QVERIFY(waitUntil([&] { return r.node.of("G4ABC")->ended; }, 5000));
    // The pages show a snapshot of at most a second ago.
    QVERIFY(waitUntil([&] { return users(st = r.json()).size() == 1; }, 5000));
    const QJsonObject counters = st[QStringLiteral("counters")].toObject();
    QCOMPARE(counters[QStringLiteral("users_served")].toInt(), 2);
    QCOMPARE(counters[QStringLiteral("frames_from_engine")].toInt(), 4);
    QCOMPARE(counters[QStringLiteral("frames_to_engine")].toInt(), int(r.engine.frames));
    const QByteArray metrics = httpGet(r.server->port(), "/metrics").body;
    // The node's bytes of the session that ended stay counted.
    for (const char* line : {"pktgate_users_connected 1", "pktgate_users_served_total 2",
                             "pktgate_agw_frames_total{direction=\"from_engine\"} 4",
                             "pktgate_node_bytes_total{direction=\"to_node\"} 7",
                             "pktgate_node_bytes_total{direction=\"from_node\"} 13"})
        QVERIFY2(metrics.contains('\n' + QByteArray(line) + '\n'), line);
}

// The users that may still come: the descriptors left, less those kept for the program.
void tst_status::descriptorHeadroom_data() {
    QTest::addColumn<int>("open");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("plenty") << 100 << QByteArray("pktgate_descriptor_headroom 836");
    QTest::newRow("into what is kept") << 990 << QByteArray("pktgate_descriptor_headroom 0");
}

void tst_status::descriptorHeadroom() {
    QFETCH(int, open);
    QFETCH(QByteArray, line);
    const QByteArray text = metricsText({}, {}, {1000, open, 64});
    QVERIFY2(text.contains('\n' + line + '\n'), text.constData());
}

void tst_status::usersTableInPages_data() {
    QTest::addColumn<int>("page");
    QTest::addColumn<QList<int>>("rows");  // the first and the last shown
    QTest::addColumn<QList<int>>("links"); // to the other pages
    QTest::newRow("first") << 1 << QList<int>{1, 200} << QList<int>{2, 3};
    QTest::newRow("last, not full") << 3 << QList<int>{401, 450} << QList<int>{1, 2};
    QTest::newRow("past the end") << 9 << QList<int>{401, 450} << QList<int>{1, 2};
    QTest::newRow("before the first") << 0 << QList<int>{1, 200} << QList<int>{2, 3};
}

void tst_status::usersTableInPages() {
    QFETCH(int, page);
    QFETCH(QList<int>, rows);
    QFETCH(QList<int>, links);
    GatewayStatus st;
    for (int slot = 1; slot <= 450; ++slot) {
        SessionStatus u;
        u.slot = slot;
        u.callsign = QStringLiteral("U%1").arg(slot);
        st.users << u;
    }
    const QString html = QString::fromUtf8(statusHtml(st, {}, page));
    QList<int> shown, linked;
    for (const auto& m :
         QRegularExpression(QStringLiteral("<tr><td class=\"n\">(\\d+)</td>")).globalMatch(html))
        shown << m.captured(1).toInt();
    for (const auto& m :
         QRegularExpression(QStringLiteral("href=\"/\\?page=(\\d+)\"")).globalMatch(html))
        linked << m.captured(1).toInt();
    QCOMPARE(shown.size(), rows[1] - rows[0] + 1);
    QCOMPARE(QList<int>({shown.first(), shown.last()}), rows);
    QCOMPARE(linked, links);
    QVERIFY(html.contains(QStringLiteral("450 connected")));
}

// HEAD answers as GET would, without the body; "Connection: close" closes after the answer.
void tst_status::headAndClose() {
    StatusLimits limits;
    limits.idleMs = 60000;
    Rig r(limits);
    r.login("G4ABC");
    const QByteArray asked = " / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    const HttpReply get = httpRequest(r.server->port(), "GET" + asked);
    const HttpReply head = httpRequest(r.server->port(), "HEAD" + asked);
    QCOMPARE(head.code, 200);
    QVERIFY(head.body.isEmpty());
    QVERIFY(!get.body.isEmpty());
    for (const QByteArray& h :
         {QByteArray("Content-Type: text/html; charset=utf-8"), QByteArray("Content-Length: ")})
        QVERIFY2(get.head.contains(h) && head.head.contains(h), h.constData());

    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, r.server->port());
    QVERIFY(s.waitForConnected(5000));
    s.write("GET" + asked);
    QVERIFY(waitUntil([&] { return s.state() == QAbstractSocket::UnconnectedState; }, 5000));
    QVERIFY(s.readAll().startsWith("HTTP/1.1 200"));
}

// Clients that keep their connections open once answered lose them when idle, and the page is
// free for the next.
void tst_status::idleConnectionsMakeRoom() {
    StatusLimits limits;
    limits.connections = 2;
    limits.lifeMs = 60000;
    limits.idleMs = 300;
    Rig r(limits);
    std::vector<std::unique_ptr<QTcpSocket>> open;
    QByteArray answers;
    for (int i = 0; i < limits.connections; ++i) {
        open.push_back(std::make_unique<QTcpSocket>());
        open.back()->connectToHost(QHostAddress::LocalHost, r.server->port());
        QVERIFY(open.back()->waitForConnected(5000));
        open.back()->write("GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n");
    }
    QVERIFY(waitUntil(
        [&] {
            return std::all_of(open.begin(), open.end(), [](const auto& s) {
                return s->state() == QAbstractSocket::UnconnectedState;
            });
        },
        5000));
    for (const auto& s : open)
        QVERIFY(s->readAll().startsWith("HTTP/1.1 200"));
    QCOMPARE(httpGet(r.server->port(), "/metrics").code, 200);
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
    QVERIFY(waitUntil([&] { return httpGet(r.server->port(), "/metrics").code == 200; }, 5000));
}

void tst_status::offTheRelaysThread() {
    // The gateway on a thread of its own, busy: the server answers from the last snapshot.
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
    const auto linkState = [&] {
        const QJsonObject st =
            QJsonDocument::fromJson(httpGet(server->port(), "/status.json").body).object();
        return st[QStringLiteral("link")].toObject()[QStringLiteral("state")].toString();
    };
    QCOMPARE(linkState(), QStringLiteral("connected"));
    QSemaphore busy, free;
    QMetaObject::invokeMethod(&onRelay, [&] {
        busy.release();
        free.acquire();
    });
    busy.acquire();
    QCOMPARE(linkState(), QStringLiteral("connected")); // the snapshot is recent
    QTest::qWait(1200);
    // An old snapshot: the server asks for a new one, waits a while, then serves the old.
    const HttpReply page = httpGet(server->port(), "/");
    free.release();
    QCOMPARE(page.code, 200);
    QVERIFY(page.body.contains("class=\"connected\""));
    QMetaObject::invokeMethod(
        &onRelay, [&] { g.reset(); }, Qt::BlockingQueuedConnection);
    relay.quit();
    relay.wait();
}

// The markup escaped first, then every control character as its control picture: none reaches
// the page as it is, and the entities' own characters are never taken for one.
void tst_status::htmlTextShowsControls() {
    QCOMPARE(htmlText(QStringLiteral("a<b\r\n\t\x7f\x01\"&")),
             QStringLiteral("a&lt;b\u240d\u240a\u2409\u2421\u2401&quot;&amp;"));
}

QTEST_GUILESS_MAIN(tst_status)
#include "tst_status.moc"

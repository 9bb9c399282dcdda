// End to end: the real main window (offscreen) between a fake packet engine and a fake cluster
// node, both listening on 127.0.0.1, checking the bytes on the wire.
#include "agwlink/AgwFrame.h"
#include "agwlink/FrameAssembler.h"
#include "config/Module1.h"
#include "net/Platform.h"
#include "streams/StreamTable.h"
#include "support/TestUtil.h"
#include "ui/frmAGW.h"

#include <QListView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <map>

namespace {

// The engine: one connection from the gateway; frames out as the test says, frames in parsed.
class FakeEngine : public QObject {
public:
    FakeEngine() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            link = server.nextPendingConnection();
            QObject::connect(link, &QTcpSocket::readyRead, this, [this] {
                assembler.append(link->readAll());
                QByteArrayView f;
                while (assembler.next(f) == FrameAssembler::Next::Frame)
                    frames << f.toByteArray();
            });
        });
    }
    ~FakeEngine() override {
        if (link) link->disconnect(this);
    }
    void send(const QByteArray& bytes) {
        link->write(bytes);
        link->flush();
    }
    // Frames of a kind addressed to a user, data joined.
    QList<QByteArray> to(const QByteArray& call, char kind = 'D') const {
        QList<QByteArray> out;
        for (const QByteArray& f : frames)
            if (f[4] == kind && readHeader(f.constData()).CallTo == call) out << f;
        return out;
    }
    QByteArray textTo(const QByteArray& call) const {
        QByteArray t;
        for (const QByteArray& f : to(call))
            t += f.mid(36);
        return t;
    }
    QTcpServer server;
    QTcpSocket* link = nullptr;
    FrameAssembler assembler;
    QList<QByteArray> frames;
};

// The node: one connection per user, named by its first line.
class FakeNode : public QObject {
public:
    FakeNode() {
        server.listen(QHostAddress::LocalHost, 0);
        server.setMaxPendingConnections(2000);
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                const int id = int(conns.size());
                conns.push_back({s, {}, false});
                QObject::connect(s, &QTcpSocket::readyRead, this, [this, id] {
                    conns[size_t(id)].bytes += conns[size_t(id)].sock->readAll();
                });
                QObject::connect(s, &QTcpSocket::disconnected, this,
                                 [this, id] { conns[size_t(id)].ended = true; });
            }
        });
    }
    ~FakeNode() override {
        for (Conn& c : conns)
            c.sock->disconnect(this);
    }
    struct Conn {
        QTcpSocket* sock;
        QByteArray bytes;
        bool ended;
    };
    Conn* of(const QByteArray& call) {
        for (Conn& c : conns)
            if (c.bytes.startsWith(call + "\r\n")) return &c;
        return nullptr;
    }
    QTcpServer server;
    std::vector<Conn> conns;
};

QByteArray cFrame(const QByteArray& call, quint8 port = 1) {
    return buildFrame(port, 'C', call, "GB7TC",
                      "*** CONNECTED To Station GB7TC\r" + QByteArray(1, '\0'));
}
QByteArray dFrame(const QByteArray& call, const QByteArray& data, quint8 port = 1) {
    return buildFrame(port, 'D', call, "GB7TC", data);
}

} // namespace

class tst_gui_e2e : public QObject {
    Q_OBJECT

    struct Rig {
        TempAppDir dir;
        FakeEngine engine;
        FakeNode node;
        std::unique_ptr<frmAGW> w;
        explicit Rig(int packetLength = 130, quint16 nodePort = 0) {
            Module1::settings() = Module1::Settings{};
            dir.write(QStringLiteral("pktgate.cfg"),
                      "\"Cluster Call\",\"GB7TC\"\r\n\"AGW IP\",\"127.0.0.1\"\r\n\"AGW Port\",\"" +
                          QByteArray::number(engine.server.serverPort()) +
                          "\"\r\n\"Winsock IP\",\"127.0.0.1\"\r\n\"Winsock Port\",\"" +
                          QByteArray::number(nodePort ? nodePort : node.server.serverPort()) +
                          "\"\r\n\"Packet Length\"," + QByteArray::number(packetLength) + "\r\n");
            w = std::make_unique<frmAGW>();
            w->askToEnd = [] { return true; };
            w->show();
            w->Form_Load();
        }
        bool registered() { return !engine.frames.isEmpty() && engine.frames[0][4] == 'X'; }
        // A user connects and is logged in at the node.
        FakeNode::Conn* login(const QByteArray& call, quint8 port = 1) {
            engine.send(cFrame(call, port));
            if (!QTest::qWaitFor([&] { return node.of(call) != nullptr; }, 5000)) return nullptr;
            return node.of(call);
        }
    };

private slots:
    void init() {
        platform::timing().connectSleepMs = 0;
        platform::timing().reconnectIntervalMs = 60000;
    }

    void userTalksToNode();
    void nodeTalksToUser_data();
    void nodeTalksToUser();
    void disconnects();
    void noStreamAndRefusedNode();
    void manyUsers();
    void bigNodeText();
};

void tst_gui_e2e::userTalksToNode() {
    Rig r;
    QTRY_VERIFY_WITH_TIMEOUT(r.registered(), 5000);
    FakeNode::Conn* c = r.login("N0USR");
    QVERIFY(c);
    QTest::qWait(50);
    QCOMPARE(c->bytes, QByteArray("N0USR\r\n")); // the login line and nothing else
    r.engine.send(dFrame("N0USR", "hi\r"));
    r.engine.send(dFrame("N0USR", QByteArray("a\0b\r\n", 5)));
    QTRY_COMPARE_WITH_TIMEOUT(c->bytes, QByteArray("N0USR\r\nhi\r\nab\r\n\n"), 5000);
    // The window shows it: List3 the caller, List1 the traffic.
    r.w->flushMonitor();
    auto* list3 = r.w->findChild<QListView*>(QStringLiteral("List3"));
    QVERIFY(list3);
    QCOMPARE(list3->model()->rowCount(), 2);
    QCOMPARE(list3->model()->index(1, 0).data().toString(), QStringLiteral("N0USR"));
}

void tst_gui_e2e::nodeTalksToUser_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QList<QByteArray>>("pieces");
    using L = QList<QByteArray>;
    QTest::newRow("two lines in one frame") << QByteArray("a\r\nb\r\n") << L{"a\rb\r"};
    QTest::newRow("unterminated last line") << QByteArray("a\r\nb") << L{"a\r", "b"};
    QTest::newRow("300 characters")
        << QByteArray(300, 'x')
        << L{QByteArray(130, 'x'), QByteArray(130, 'x'), QByteArray(40, 'x')};
    QTest::newRow("10, 50 and 60")
        << QByteArray(10, 'a') + "\r\n" + QByteArray(50, 'b') + "\r\n" + QByteArray(60, 'c') +
               "\r\n"
        << L{QByteArray(10, 'a') + '\r' + QByteArray(50, 'b') + '\r' + QByteArray(60, 'c') + '\r'};
}

void tst_gui_e2e::nodeTalksToUser() {
    QFETCH(QByteArray, text);
    QFETCH(QList<QByteArray>, pieces);
    Rig r;
    QTRY_VERIFY_WITH_TIMEOUT(r.registered(), 5000);
    FakeNode::Conn* c = r.login("N0USR", 4);
    QVERIFY(c);
    c->sock->write(text);
    QTRY_COMPARE_WITH_TIMEOUT(r.engine.to("N0USR").size(), pieces.size(), 5000);
    const QList<QByteArray> frames = r.engine.to("N0USR");
    for (int k = 0; k < frames.size(); ++k) {
        const AgwHeader h = readHeader(frames[k].constData());
        QCOMPARE(h.Port, quint8(4));
        QCOMPARE(h.Pid, quint8(0));
        QCOMPARE(h.CallFrom, QByteArray("GB7TC"));
        QCOMPARE(frames[k].mid(36), pieces[k]);
    }
}

void tst_gui_e2e::disconnects() {
    Rig r;
    QTRY_VERIFY_WITH_TIMEOUT(r.registered(), 5000);
    // The node closes: exactly one disconnect frame for that user.
    FakeNode::Conn* a = r.login("AAA");
    QVERIFY(a);
    a->sock->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(r.engine.to("AAA", 'd').size(), 1, 5000);
    QCOMPARE(r.engine.to("AAA", 'd')[0], buildFrame(1, 'd', "GB7TC", "AAA"));
    QTest::qWait(100);
    QCOMPARE(r.engine.to("AAA", 'd').size(), 1);
    // The user disconnects: the node sees the connection end, after the user's last line.
    FakeNode::Conn* b = r.login("BBB");
    QVERIFY(b);
    r.engine.send(dFrame("BBB", "bye\r") + buildFrame(1, 'd', "BBB", "GB7TC"));
    QTRY_VERIFY_WITH_TIMEOUT(b->ended, 5000);
    QCOMPARE(b->bytes, QByteArray("BBB\r\nbye\r\n"));
}

void tst_gui_e2e::noStreamAndRefusedNode() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 closedPort = probe.serverPort();
    probe.close();
    Rig r(130, closedPort);
    QTRY_VERIFY_WITH_TIMEOUT(r.registered(), 5000);
    // Data from a station with no stream, followed by more frames in the same arrival.
    r.engine.send(dFrame("G0XXX", "hello\r", 2) + cFrame("N0USR", 1));
    QTRY_COMPARE_WITH_TIMEOUT(r.engine.to("G0XXX", 'd').size(), 1, 5000);
    QCOMPARE(int(quint8(r.engine.to("G0XXX", 'd')[0][0])), 2);
    // N0USR's connect was still handled; its cluster connection is refused.
    QTRY_COMPARE_WITH_TIMEOUT(r.engine.to("N0USR", 'd').size(), 1, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(
        !r.dir.logEntries().filter(QStringLiteral("winsckOut_Error N0USR 1 ")).isEmpty(), 5000);
    r.w->flushMonitor();
    auto* list3 = r.w->findChild<QListView*>(QStringLiteral("List3"));
    QCOMPARE(list3->model()->index(1, 0).data().toString(), QStringLiteral(" *gone*"));
}

void tst_gui_e2e::manyUsers() {
    Rig r;
    QTRY_VERIFY_WITH_TIMEOUT(r.registered(), 5000);
    const int users = 500;
    QByteArray connects;
    for (int u = 0; u < users; ++u)
        connects += cFrame("U" + QByteArray::number(u), quint8(u % 4));
    r.engine.send(connects);
    QVERIFY(QTest::qWaitFor(
        [&] {
            int logged = 0;
            for (const auto& c : r.node.conns)
                logged += c.bytes.endsWith("\r\n") ? 1 : 0;
            return logged == users;
        },
        20000));
    // Each user sends a line and gets one back.
    QByteArray lines;
    for (int u = 0; u < users; ++u)
        lines += dFrame("U" + QByteArray::number(u), "line of U" + QByteArray::number(u) + "\r");
    r.engine.send(lines);
    for (int u = 0; u < users; ++u) {
        const QByteArray call = "U" + QByteArray::number(u);
        FakeNode::Conn* c = nullptr;
        QVERIFY(QTest::qWaitFor(
            [&] { return (c = r.node.of(call)) && c->bytes.size() > call.size() + 2; }, 10000));
        QCOMPARE(c->bytes, call + "\r\nline of " + call + "\r\n");
        c->sock->write("hello " + call + "\r\n");
    }
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (int u = 0; u < users; ++u)
                if (r.engine.to("U" + QByteArray::number(u)).isEmpty()) return false;
            return true;
        },
        20000));
    for (int u = 0; u < users; ++u) {
        const QByteArray call = "U" + QByteArray::number(u);
        QCOMPARE(r.engine.textTo(call), "hello " + call + "\r");
        QCOMPARE(int(quint8(r.engine.to(call)[0][0])), u % 4);
    }
    QCOMPARE(r.w->gateway().streams().inUse(), users);
}

void tst_gui_e2e::bigNodeText() {
    Rig r;
    QTRY_VERIFY_WITH_TIMEOUT(r.registered(), 5000);
    FakeNode::Conn* c = r.login("N0USR");
    QVERIFY(c);
    QByteArray text;
    for (int k = 0; text.size() < 100000; ++k)
        text += "DX de K1ABC:     14025.0  DL" + QByteArray::number(k) +
                "XYZ       CW 599     1234Z\r\n";
    c->sock->write(text);
    QByteArray expected = text;
    expected.replace("\r\n", "\r");
    QTRY_COMPARE_WITH_TIMEOUT(r.engine.textTo("N0USR").size(), expected.size(), 10000);
    QCOMPARE(r.engine.textTo("N0USR"), expected);
    for (const QByteArray& f : r.engine.to("N0USR"))
        QVERIFY(f.size() - 36 <= 130);
}

QTEST_MAIN(tst_gui_e2e)
#include "tst_gui_e2e.moc"

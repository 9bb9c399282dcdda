// The relay driven through stand-in sockets: frames from the engine in every arrival pattern,
// dispatch by kind, the session's node events, the keep-alive and the ways a session ends.
#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "agwlink/TextCutter.h"
#include "relay/Receiver.h"
#include "relay/SessionTable.h"
#include "support/Fakes.h"
#include "support/Peers.h"

#include <QtTest>

namespace {
const QByteArray kGoodCfg = "\"Cluster Call\",\"GB7TC\"\r\n\"Packet Length\",130\r\n";

// A gateway on stand-in sockets, started with a settings file.
struct Rig : StandInGateway {
    explicit Rig(const QByteArray& cfg = kGoodCfg, Timing timing = quickTiming())
        : StandInGateway(timing) {
        start(cfg);
    }
    SessionTable& table() { return gw->sessions(); }
    Session* session(const QByteArray& call) { return table().find(call); }
    // The engine answers the question for a link's frames outstanding.
    void outstanding(quint8 port, const QByteArray& call, quint32 frames) {
        engine(sim::buildOutstandingFrame(port, "GB7TC", call, frames));
    }
    // The engine has answered the link's first question: it keeps count, the link is paced.
    void pace() { outstanding(0, "GB7TC", 0); }
    // The data of the "D" frames sent since the last look, one after the other, and their count.
    QByteArray dataSent(int* frames = nullptr) {
        QByteArray data;
        int n = 0;
        for (const QByteArray& f : sent())
            if (f[4] == 'D') {
                data += f.mid(kAgwHeaderSize);
                ++n;
            }
        if (frames) *frames = n;
        return data;
    }
};
} // namespace

class tst_relay : public QObject {
    Q_OBJECT

private slots:
    void registration();
    void radioPorts_data();
    void radioPorts();
    void arrivalPatterns_data();
    void arrivalPatterns();
    void loginAndData();
    void heldBeforeConnect();
    void heldOverflowEndsSession();
    void dispatchFaults_data();
    void dispatchFaults();
    void oversizeResetsLink();
    void unknownKindShownAndLogged();
    void nodeToRadio_data();
    void nodeToRadio();
    void nodeCloses();
    void nodeClosesAfterLastWords();
    void userComesBackAfterNodeClosed();
    void nodeFails();
    void userDisconnects();
    void slotReuse();
    void sendWhileLinkDown();
    void framesFromRegisteredCall();
    void keepAlive_data();
    void keepAlive();
    void keepAliveStopsOnClosedSocket();
    void keepAliveFullIntervalOnConnect();
    void startupCutShort_data();
    void startupCutShort();
    void engineNotReadingPausesNodes();
    void engineThatNeverTakesIsReset();
    void pacedByTheEngine();
    void pacedNodeCloses();
    void pacedAfterTheUserCame();
    void nodeNotReadingEndsSession();
    void status();
    void outsideTextInLog_data();
    void outsideTextInLog();
    void linkLostEndsSessions_data();
    void linkLostEndsSessions();
};

void tst_relay::registration() {
    Rig r;
    // Every connect registers the callsign again.
    r.agw->makeConnected();
    QCOMPARE(r.agw->written, linkUpFrames("GB7TC"));
    QCOMPARE(r.monitor.shown().status, QStringLiteral("WinsockAGW.State = 7"));
    QVERIFY(!r.monitor.shown().retryOffered);
    // A connect notification that finds the link gone again sends nothing but still hides Kick.
    r.agw->written.clear();
    r.monitor.shown().retryOffered = true;
    r.monitor.shown().linkFailed = true;
    r.agw->m_state = Socket::Closing;
    emit r.agw->connected();
    QVERIFY(r.agw->written.isEmpty());
    QVERIFY(!r.monitor.shown().retryOffered);
    QCOMPARE(r.monitor.shown().linkFailed, false);
}

void tst_relay::arrivalPatterns_data() {
    QTest::addColumn<int>("chunk");
    QTest::newRow("all frames in one arrival") << 0;
    QTest::newRow("one byte at a time") << 1;
    QTest::newRow("arrivals end inside headers") << 20;
    QTest::newRow("frames split across arrivals") << 50;
}

void tst_relay::arrivalPatterns() {
    QFETCH(int, chunk);
    Rig r;
    r.login("N0USR");
    QByteArray bytes;
    for (int k = 0; k < 10; ++k)
        bytes += dataFrame("N0USR", "line " + QByteArray::number(k) + "\r");
    if (chunk == 0) chunk = int(bytes.size());
    for (qsizetype at = 0; at < bytes.size(); at += chunk)
        r.engine(bytes.mid(at, chunk));
    QByteArray expected;
    for (int k = 0; k < 10; ++k)
        expected += "line " + QByteArray::number(k) + "\r\n";
    QCOMPARE(r.node("N0USR")->written, expected);
    QVERIFY(!r.gw->link().assembler().partial());
}

void tst_relay::loginAndData() {
    Rig r;
    r.engine(connectFrame("N0USR", 1));
    Session* s = r.session("N0USR");
    QVERIFY(s);
    QCOMPARE(s->slot(), 1);
    QCOMPARE(s->state(), Session::State::Connecting);
    QCOMPARE(r.node("N0USR")->connects, 1);
    QCOMPARE(r.monitor.shown().calls, (QStringList{QString(), QStringLiteral("N0USR")}));
    r.node("N0USR")->makeConnected();
    QCOMPARE(s->state(), Session::State::LoggedIn);
    QCOMPARE(r.node("N0USR")->written, QByteArray("N0USR\r\n"));
    r.node("N0USR")->written.clear();
    r.engine(dataFrame("N0USR", QByteArray("hi\r\0x\r\n", 7)));
    QCOMPARE(r.node("N0USR")->written, QByteArray("hi\r\nx\r\n"));
    // The monitor: header boxes, routes once each, traffic rows with the converted text.
    QCOMPARE(r.monitor.shown().header.DataKind, 'D');
    QCOMPARE(r.monitor.shown().routes, (QStringList{"C:N0USR -> GB7TC", "D:N0USR -> GB7TC"}));
    r.engine(dataFrame("N0USR", "again\r"));
    QCOMPARE(r.monitor.shown().routes.size(), 2);
    QCOMPARE(r.monitor.shown().traffic.last(), QStringLiteral("N0USR :D -> again\r\n"));
}

void tst_relay::heldBeforeConnect() {
    Rig r;
    r.engine(connectFrame("N0USR") + dataFrame("N0USR", "sh/dx\r") + dataFrame("N0USR", "hello\r"));
    FakeSocket* node = r.node("N0USR");
    QVERIFY(r.sent().isEmpty()); // no disconnect for a user whose connection is on its way
    node->makeConnected();
    QCOMPARE(node->written, QByteArray("N0USR\r\nsh/dx\r\nhello\r\n"));
    // The next user in the same slot does not get the old user's held text.
    r.engine(dataFrame("N0USR", "bye\r") + disconnectFrame("N0USR"));
    r.engine(connectFrame("G4NEW") + dataFrame("G4NEW", "x\r"));
    QCOMPARE(r.session("G4NEW")->slot(), 1);
    r.node("G4NEW")->makeConnected();
    QCOMPARE(r.node("G4NEW")->written, QByteArray("G4NEW\r\nx\r\n"));
}

// Text beyond the bound while the node connection is made ends the session: the user is
// disconnected, nothing typed before or after reaches a node, and the slot is free again.
void tst_relay::heldOverflowEndsSession() {
    Rig r;
    r.engine(connectFrame("N0USR"));
    FakeSocket* node = r.node("N0USR");
    r.engine(dataFrame("N0USR", QByteArray(60000, 'x')));
    QVERIFY(r.sent().isEmpty());
    r.engine(dataFrame("N0USR", QByteArray(10000, 'y')));
    QCOMPARE(r.sent(), QList<QByteArray>{buildFrame(1, 'd', "GB7TC", "N0USR")});
    QVERIFY(!r.session("N0USR"));
    QCOMPARE(node->state(), int(Socket::Closed));
    QVERIFY(node->written.isEmpty());
    QCOMPARE(r.monitor.shown().calls, (QStringList{QString(), QStringLiteral(" *gone*")}));
    QVERIFY(!r.dir.logEntries()
                 .filter(QStringLiteral("DataArrival  where = 14 N0USR typed more"))
                 .isEmpty());
    // What comes after is answered like any station's without a session.
    r.engine(dataFrame("N0USR", "TAIL\r"));
    QCOMPARE(r.sent(), QList<QByteArray>{buildFrame(1, 'd', "GB7TC", "N0USR")});
    QVERIFY(!r.session("N0USR"));
}

void tst_relay::dispatchFaults_data() {
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<int>("disconnects");
    QTest::newRow("data from a station with no session")
        << dataFrame("G0XXX", "hello\r", 2)
        << "SendToAx25  where = 0 stream = 2 G0XXX not connected" << 1;
    QTest::newRow("connect without a callsign")
        << buildFrame(0, 'C', "", "GB7TC") << "DataArrival  where = 14 no call" << 0;
    QTest::newRow("connect with a CR in the callsign")
        << buildFrame(0, 'C', "AB\rCD", "GB7TC") << "DataArrival  where = 14 bad call AB<0d>CD"
        << 0;
    QTest::newRow("connect with a blank in the callsign")
        << buildFrame(0, 'C', "AB CD", "GB7TC") << "DataArrival  where = 14 bad call AB<20>CD" << 0;
}

void tst_relay::dispatchFaults() {
    QFETCH(QByteArray, bad);
    QFETCH(QString, logged);
    QFETCH(int, disconnects);
    Rig r;
    r.login("N0USR");
    // The refused frame sits between two good ones in one arrival: both good ones get through.
    r.engine(dataFrame("N0USR", "one\r") + bad + dataFrame("N0USR", "two\r") +
             connectFrame("G4NEW"));
    QCOMPARE(r.node("N0USR")->written, QByteArray("one\r\ntwo\r\n"));
    QVERIFY(r.session("G4NEW"));
    QVERIFY(r.dir.logEntries().contains(logged));
    const QList<QByteArray> f = r.sent();
    QCOMPARE(f.size(), disconnects);
    if (disconnects) QCOMPARE(f[0], buildFrame(2, 'd', "GB7TC", "G0XXX"));
    QCOMPARE(r.table().inUse(), 2);
}

void tst_relay::oversizeResetsLink() {
    Rig r;
    r.login("N0USR");
    FakeSocket* node = r.node("N0USR");
    QByteArray huge = dataFrame("N0USR", "x");
    huge[30] = 2; // DataLen 131073
    const int connectsBefore = r.agw->connects;
    r.engine(dataFrame("N0USR", "one\r") + huge + QByteArray(100, 'z'));
    QCOMPARE(node->written, QByteArray("one\r\n"));
    QCOMPARE(r.agw->connects, connectsBefore + 1);
    QVERIFY(!r.gw->link().assembler().partial());
    QVERIFY(r.dir.logEntries().contains(
        QStringLiteral("DataArrival  where = 104 DataLen 131073 exceeds 65536, link reset")));
}

void tst_relay::unknownKindShownAndLogged() {
    Rig r;
    r.engine(buildFrame(0, 'X', "GB7TC", "", QByteArray(1, '\1')));
    QCOMPARE(r.monitor.shown().status, QStringLiteral("****** DataKind = X \1"));
    // The log shows what came from outside with its control bytes visible.
    QVERIFY(r.dir.logEntries().contains(QStringLiteral("DataArrival ****** DataKind = X <01>")));
    // In an arrival of several frames, the frame after it shows the data of every frame so far,
    // not the notice with its own data after it.
    r.engine(buildFrame(0, 'D', "", "", "a") + buildFrame(0, 'Z', "", "", "zz") +
             buildFrame(0, 'D', "", "", "b"));
    QCOMPARE(r.monitor.shown().status, QStringLiteral("azzb"));
}

void tst_relay::radioPorts_data() {
    QTest::addColumn<bool>("allPorts");
    QTest::addColumn<QByteArrayList>("answers"); // the data of the "G" frames the engine sends
    QTest::addColumn<QByteArrayList>("sent");    // the frames the gateway sends after connecting
    QTest::addColumn<int>("logged");             // "DataKind = G" lines in the log
    const QByteArray x0 = buildRegisterFrame("GB7TC"), g = buildPortInfoRequest();
    const QByteArray y = buildOutstandingRequest(0, "GB7TC", "GB7TC");
    const QByteArray x1 = buildRegisterFrame("GB7TC", 1), x2 = buildRegisterFrame("GB7TC", 2);
    QTest::newRow("port 0 only: a G is unexpected")
        << false << QByteArrayList{"2;Port1;Port2;"} << QByteArrayList{x0, y} << 1;
    QTest::newRow("two ports") << true << QByteArrayList{"2;Port1 VHF;Port2 UHF;"}
                               << QByteArrayList{x0, g, y, x1} << 0;
    QTest::newRow("one port") << true << QByteArrayList{"1;Port1;"} << QByteArrayList{x0, g, y}
                              << 0;
    QTest::newRow("unreadable answer")
        << true << QByteArrayList{"none"} << QByteArrayList{x0, g, y} << 0;
    QTest::newRow("a second answer is unexpected")
        << true << QByteArrayList{"3;a;b;c;", "3;a;b;c;"} << QByteArrayList{x0, g, y, x1, x2} << 1;
}

void tst_relay::radioPorts() {
    QFETCH(bool, allPorts);
    QFETCH(QByteArrayList, answers);
    QFETCH(QByteArrayList, sent);
    QFETCH(int, logged);
    Rig r;
    r.gw->setAllPorts(allPorts);
    r.agw->makeConnected();
    for (const QByteArray& a : answers)
        r.engine(buildFrame(0, 'G', "", "", a));
    QCOMPARE(r.sent(), sent);
    QCOMPARE(r.gw->status().link.ports, sent.size() - (allPorts ? 2 : 1));
    int lines = 0;
    for (const QString& e : r.dir.logEntries())
        lines += e.startsWith(QStringLiteral("DataArrival ****** DataKind = G"));
    QCOMPARE(lines, logged);
    // Every connect asks again.
    r.agw->peerClose();
    r.agw->makeConnected();
    QCOMPARE(r.sent().size(), allPorts ? 3 : 2);
}

void tst_relay::nodeToRadio_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QList<QByteArray>>("pieces");
    using L = QList<QByteArray>;
    QTest::newRow("two lines") << QByteArray("a\r\nb\r\n") << L{"a\rb\r"};
    QTest::newRow("unterminated last line") << QByteArray("a\r\nb") << L{"a\r", "b"};
    QTest::newRow("empty text") << QByteArray() << L{};
    QTest::newRow("300 characters")
        << QByteArray(300, 'q')
        << L{QByteArray(130, 'q'), QByteArray(130, 'q'), QByteArray(40, 'q')};
}

void tst_relay::nodeToRadio() {
    QFETCH(QByteArray, text);
    QFETCH(QList<QByteArray>, pieces);
    Rig r;
    r.login("N0USR", 3);
    r.node("N0USR")->deliver(text);
    const QList<QByteArray> frames = r.sent();
    QCOMPARE(frames.size(), pieces.size());
    for (int k = 0; k < frames.size(); ++k)
        QCOMPARE(frames[k], buildFrame(3, 'D', "GB7TC", "N0USR", pieces[k]));
    QCOMPARE(r.monitor.shown().sent.last(), QStringLiteral("1 -> ") + QString::fromLatin1(text));
}

void tst_relay::nodeCloses() {
    Rig r;
    r.login("N0USR");
    // One disconnect frame, whatever the packet length would cut its text into.
    r.change([&](Settings& s) { s.packetLength = 1; });
    r.node("N0USR")->peerClose();
    QCOMPARE(r.sent(), QList<QByteArray>{buildFrame(1, 'd', "GB7TC", "N0USR")});
    // The session stays until the engine reports the disconnect.
    QCOMPARE(r.session("N0USR")->state(), Session::State::Closing);
    QCOMPARE(r.monitor.shown().calls.value(1), QStringLiteral("N0USR"));
    r.engine(disconnectFrame("N0USR"));
    QVERIFY(!r.session("N0USR"));
    QCOMPARE(r.monitor.shown().calls.value(1), QStringLiteral(" *gone*"));
}

void tst_relay::nodeClosesAfterLastWords() {
    Rig r;
    r.login("N0USR");
    // The node's goodbye is waiting when the close is reported: it reaches the user first.
    r.node("N0USR")->incoming = "73 de node\r\n";
    r.node("N0USR")->peerClose();
    const QList<QByteArray> f = r.sent();
    QCOMPARE(f.size(), 2);
    QCOMPARE(f[0].mid(36), QByteArray("73 de node\r"));
    QCOMPARE(f[1][4], 'd');
    // Data noticed while the socket already reports the peer's close is relayed too.
    r.login("G4NEW");
    r.node("G4NEW")->m_state = Socket::Closing;
    r.node("G4NEW")->deliver("last\r\n");
    QCOMPARE(r.sent().value(0).mid(36), QByteArray("last\r"));
}

// The node closed and the engine's disconnect never came: the user's next connect gets a fresh
// node connection and login, and the first line reaches the node.
void tst_relay::userComesBackAfterNodeClosed() {
    Rig r;
    r.login("N0USR");
    FakeSocket* node = r.node("N0USR");
    node->peerClose();
    r.sent();
    r.engine(connectFrame("N0USR", 2) + dataFrame("N0USR", "sh/dx\r", 2));
    QCOMPARE(r.session("N0USR")->state(), Session::State::Connecting);
    QCOMPARE(node->connects, 2);
    QVERIFY(r.sent().isEmpty());
    node->makeConnected();
    QCOMPARE(node->written, QByteArray("N0USR\r\nsh/dx\r\n"));
    QCOMPARE(r.session("N0USR")->port(), quint8(2));
}

void tst_relay::nodeFails() {
    Rig r;
    r.engine(connectFrame("N0USR"));
    FakeSocket* node = r.node("N0USR");
    node->fail(QStringLiteral("Connection refused"));
    QVERIFY(
        r.dir.logEntries().contains(QStringLiteral("winsckOut_Error N0USR 1 Connection refused")));
    QCOMPARE(r.sent(), QList<QByteArray>{buildFrame(1, 'd', "GB7TC", "N0USR")});
    QCOMPARE(r.monitor.shown().calls, (QStringList{QString(), QStringLiteral(" *gone*")}));
    QCOMPARE(node->state(), int(Socket::Closed));
    QVERIFY(!r.session("N0USR"));
}

void tst_relay::userDisconnects() {
    Rig r;
    r.login("N0USR");
    FakeSocket* node = r.node("N0USR");
    r.engine(disconnectFrame("N0USR"));
    QCOMPARE(node->state(), int(Socket::Closed));
    QVERIFY(r.sent().isEmpty());
    // A disconnect from a station without a session changes nothing.
    const QStringList calls = r.monitor.shown().calls;
    r.engine(disconnectFrame("NOBODY"));
    QCOMPARE(r.monitor.shown().calls, calls);
    QVERIFY(r.sent().isEmpty());
}

void tst_relay::slotReuse() {
    Rig r;
    r.login("AAA");
    r.login("BBB");
    r.engine(disconnectFrame("AAA"));
    QCOMPARE(r.monitor.shown().calls, (QStringList{QString(), " *gone*", "BBB"}));
    r.engine(connectFrame("CCC"));
    QCOMPARE(r.session("CCC")->slot(), 1);
    QCOMPARE(r.monitor.shown().calls, (QStringList{QString(), "CCC", "BBB"}));
    // A repeated connect from the same callsign keeps the node connection and the row.
    FakeSocket* b = r.node("BBB");
    r.engine(connectFrame("BBB", 5));
    QCOMPARE(b->connects, 1);
    QCOMPARE(r.node("BBB"), b);
    QCOMPARE(r.session("BBB")->port(), quint8(5));
    // Callsigns differing in letter case are different users.
    r.engine(connectFrame("ccc"));
    QCOMPARE(r.session("ccc")->slot(), 3);
}

void tst_relay::sendWhileLinkDown() {
    Rig r;
    r.login("N0USR");
    r.agw->m_state = Socket::Closed;
    r.node("N0USR")->deliver("spot\r\n");
    QVERIFY(r.monitor.shown().status.startsWith(QStringLiteral("SendToAx25: Error: where = 15 ")));
    QVERIFY(
        r.dir.logEntries().last().startsWith(QStringLiteral("SendToAx25  where = 15 stream = 1 ")));
}

// A callsign saved in the dialog is registered at the next connect, and frames to users come
// from the callsign the link registered, not from the one at start-up.
void tst_relay::framesFromRegisteredCall() {
    Rig r;
    r.change([](Settings& s) { s.clusterCall = QStringLiteral("GB7NEW"); });
    r.agw->m_state = Socket::Closed;
    r.gw->link().reconnectTick();
    r.agw->makeConnected();
    QCOMPARE(r.sent().value(0), buildRegisterFrame("GB7NEW"));
    r.login("N0USR");
    r.node("N0USR")->deliver("hello\r\n");
    QCOMPARE(r.sent(), QList<QByteArray>{buildFrame(1, 'D', "GB7NEW", "N0USR", "hello\r")});
}

void tst_relay::keepAlive_data() {
    QTest::addColumn<int>("minutes");
    QTest::addColumn<bool>("nodeTalks");
    QTest::addColumn<QByteArray>("perTick"); // what the node has after each of six quiet ticks
    QTest::newRow("off") << 0 << false << QByteArray("000000");
    QTest::newRow("every 2 minutes") << 2 << false << QByteArray("011223");
    QTest::newRow("negative behaves like 1") << -3 << false << QByteArray("123456");
    QTest::newRow("node talks every tick") << 2 << true << QByteArray("000000");
}

void tst_relay::keepAlive() {
    QFETCH(int, minutes);
    QFETCH(bool, nodeTalks);
    QFETCH(QByteArray, perTick);
    Rig r;
    r.change([&](Settings& s) { s.keepAliveMinutes = minutes; });
    r.login("N0USR");
    Session* s = r.session("N0USR");
    for (int k = 0; k < perTick.size(); ++k) {
        if (nodeTalks) r.node("N0USR")->deliver("spot\r\n");
        s->keepAliveTick();
        QCOMPARE(r.node("N0USR")->written, QByteArray(" \r\n").repeated(perTick[k] - '0'));
    }
    QVERIFY(s->keepAliveTimer().isActive());
}

void tst_relay::keepAliveStopsOnClosedSocket() {
    Rig r;
    r.change([&](Settings& s) { s.keepAliveMinutes = 1; });
    r.login("N0USR");
    Session* s = r.session("N0USR");
    // The node's connection is closed under the session: the next tick stops the timer.
    s->node().close();
    s->keepAliveTick();
    QVERIFY(!s->keepAliveTimer().isActive());
    QCOMPARE(s->idle(), 0);
    // A connection still being made is sent nothing and the timer goes on.
    r.engine(connectFrame("G4NEW"));
    Session* g = r.session("G4NEW");
    g->keepAliveTick();
    QVERIFY(g->keepAliveTimer().isActive());
    QVERIFY(r.node("G4NEW")->written.isEmpty());
    QCOMPARE(g->idle(), 0);
}

// A new or repeated connect starts a full quiet interval, whatever the timer was re-armed to
// after the node last spoke.
void tst_relay::keepAliveFullIntervalOnConnect() {
    Timing timing = StandInGateway::quickTiming();
    timing.keepAliveIntervalMs = 400;
    Rig r(kGoodCfg, timing);
    r.change([&](Settings& s) { s.keepAliveMinutes = 1; });
    r.login("N0USR");
    Session* s = r.session("N0USR");
    r.node("N0USR")->deliver("spot\r\n");
    QTest::qWait(300);
    s->keepAliveTick(); // re-armed for the rest of the interval: about 100 ms
    QVERIFY(s->keepAliveTimer().remainingTime() <= 150);
    r.engine(connectFrame("N0USR"));
    QVERIFY(s->keepAliveTimer().remainingTime() > 300);
    r.engine(disconnectFrame("N0USR") + connectFrame("G4NEW"));
    QVERIFY(r.session("G4NEW")->keepAliveTimer().remainingTime() > 300);
}

void tst_relay::startupCutShort_data() {
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("port");
    QTest::addColumn<bool>("linkOpened");
    QTest::addColumn<bool>("nodeTaken");
    QTest::newRow("AGW Port out of range")
        << QByteArray("AGW Port") << QByteArray("70000") << false << false;
    QTest::newRow("AGW Port not a number")
        << QByteArray("AGW Port") << QByteArray("abc") << false << false;
    QTest::newRow("AGW Port lone minus")
        << QByteArray("AGW Port") << QByteArray("-") << false << false;
    QTest::newRow("Winsock Port not a number")
        << QByteArray("Winsock Port") << QByteArray("x7300") << true << false;
    QTest::newRow("Winsock Port negative")
        << QByteArray("Winsock Port") << QByteArray("-1") << true << false;
    QTest::newRow("AGW Port begins with a number")
        << QByteArray("AGW Port") << QByteArray("8001x") << true << true;
    QTest::newRow("Winsock Port with a fraction")
        << QByteArray("Winsock Port") << QByteArray("7300.4") << true << true;
}

void tst_relay::startupCutShort() {
    // A port the gateway cannot use ends start-up at its step: a bad AGW port before the link is
    // opened, a bad cluster port before the cluster address is taken. A user who connects (once
    // the link is up, by Kick if need be) is then refused and nothing connects anywhere.
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, port);
    QFETCH(bool, linkOpened);
    QFETCH(bool, nodeTaken);
    Rig r(kGoodCfg + "\"" + key + "\",\"" + port + "\"\r\n");
    QCOMPARE(r.dir.logEntries().contains(QStringLiteral("Form_Load ")), !nodeTaken);
    QCOMPARE(r.agw->connects, linkOpened ? 1 : 0);
    if (linkOpened && key == "AGW Port") QCOMPARE(r.agw->remotePort(), quint16(8001));
    if (!linkOpened) {
        r.gw->kick();
        r.agw->makeConnected();
        r.sent();
    }
    r.engine(connectFrame("N0USR") + dataFrame("N0USR", "x\r"));
    QCOMPARE(r.nodePool.made.size(), size_t(nodeTaken ? 1 : 0));
    if (nodeTaken) {
        QCOMPARE(r.nodePool.made[0]->remotePort(), quint16(key == "Winsock Port" ? 7300 : 8000));
        return;
    }
    QVERIFY(!r.session("N0USR"));
    QVERIFY(r.dir.logEntries().contains(
        QStringLiteral("DataArrival  where = 14 N0USR refused: no cluster address")));
    const QList<QByteArray> f = r.sent();
    QCOMPARE(f.size(), 2);
    QCOMPARE(f[0], buildFrame(1, 'd', "GB7TC", "N0USR"));
}

void tst_relay::engineNotReadingPausesNodes() {
    Rig r;
    r.login("AAA");
    r.login("BBB");
    // The engine stops reading: once more than the high-water mark is queued for it, no node
    // connection is read any more, including ones opened meanwhile, nor the engine itself.
    r.agw->pending = AgwLink::kHighWater + 1;
    r.node("AAA")->deliver("spot\r\n");
    QVERIFY(!r.node("AAA")->reading);
    QVERIFY(!r.node("BBB")->reading);
    QVERIFY(!r.agw->reading);
    r.engine(connectFrame("CCC"));
    QVERIFY(!r.node("CCC")->reading);
    // The queue drains below the low-water mark: everybody is read again.
    emit r.agw->sendProgress(1 << 20, AgwLink::kLowWater);
    QVERIFY(r.node("AAA")->reading && r.node("BBB")->reading && r.node("CCC")->reading);
    QVERIFY(r.agw->reading);
    // A link that is closed and reopened starts uncongested.
    r.node("AAA")->deliver("spot\r\n");
    QVERIFY(!r.node("AAA")->reading);
    r.agw->m_state = Socket::Closed;
    r.gw->kick();
    QVERIFY(r.node("AAA")->reading);
}

void tst_relay::nodeNotReadingEndsSession() {
    Rig r;
    r.login("AAA");
    r.login("BBB");
    r.node("AAA")->pending = Session::kMaxNodeQueue + 1;
    r.engine(dataFrame("AAA", "more\r") + dataFrame("BBB", "hello\r"));
    // AAA's session ends like a failed connection; BBB goes on.
    QVERIFY(!r.session("AAA"));
    QCOMPARE(r.sent().value(0), buildFrame(1, 'd', "GB7TC", "AAA"));
    QVERIFY(!r.dir.logEntries()
                 .filter(QStringLiteral("winsckOut_Error AAA 1 The cluster node is not reading"))
                 .isEmpty());
    QCOMPARE(r.node("BBB")->written, QByteArray("hello\r\n"));
}

// Text from outside goes into a log line as it is, never taken for a placeholder, and its control
// bytes are shown.
void tst_relay::outsideTextInLog_data() {
    QTest::addColumn<QString>("engineHost");
    QTest::addColumn<QByteArray>("call");
    QTest::addColumn<QString>("logged");
    QTest::newRow("a scoped address")
        << "fe80::1%2" << QByteArray("N0USR")
        << "WinsockAGW_Error Winsock Error: refused at fe80::1%2  port 8000";
    QTest::newRow("a callsign like a placeholder")
        << "127.0.0.1" << QByteArray("AB%1") << "winsckOut_Error AB%1 1 refused";
}

void tst_relay::outsideTextInLog() {
    QFETCH(QString, engineHost);
    QFETCH(QByteArray, call);
    QFETCH(QString, logged);
    Rig r;
    r.gw->link().setEngineHost(engineHost);
    r.engine(connectFrame(call));
    if (logged.startsWith(QLatin1String("WinsockAGW")))
        r.agw->fail(QStringLiteral("refused"));
    else
        r.node(call)->fail(QStringLiteral("refused"));
    QVERIFY2(r.dir.logEntries().contains(logged), qPrintable(r.dir.logEntries().join('\n')));
}

// What a status page is told: the link, each user with its traffic both ways, the counters.
// An engine that stops taking anything while the gateway waits on it: the link is reset once
// nothing has been taken for the stall time, so that the reconnect brings it back; an engine that
// takes a little now and then is left alone.
void tst_relay::engineThatNeverTakesIsReset() {
    Timing timing = StandInGateway::quickTiming();
    timing.stallResetMs = 400;
    Rig r(kGoodCfg, timing);
    r.login("AAA");
    r.agw->pending = AgwLink::kHighWater + 1;
    r.node("AAA")->deliver("spot\r\n");
    QVERIFY(r.gw->link().congested());
    const int connects = r.agw->connects;
    for (int i = 0; i < 6; ++i) {
        QTest::qWait(150);
        emit r.agw->sendProgress(i, AgwLink::kHighWater);
    }
    QCOMPARE(r.agw->connects, connects);
    QVERIFY(waitUntil([&] { return r.agw->connects == connects + 1; }, 5000));
    QVERIFY(!r.session("AAA"));
    const QStringList log = r.dir.logEntries();
    QCOMPARE(log.filter(QStringLiteral("AGW link stalled")).size(), 1);
}

// A paced link keeps at most 8 of a user's frames in the engine: the rest of the node's text is
// held, and the node is no longer read, until the engine's answers make room; the user's "d"
// drops what is held, and the same user connecting again gets nothing of it.
void tst_relay::pacedByTheEngine() {
    Rig r;
    r.pace();
    QVERIFY(r.gw->link().paced());
    r.login("N0USR", 3);
    // The question at the connect gives the offset: the engine still counts 2 of a link before.
    QCOMPARE(r.sent(), QList<QByteArray>{buildOutstandingRequest(3, "GB7TC", "N0USR")});
    r.outstanding(3, "N0USR", 2);
    QByteArray text;
    for (int i = 0; i < 20; ++i)
        text += QByteArray(99, char('a' + i)) + "\r\n"; // one frame each
    FakeSocket* node = r.node("N0USR");
    node->deliver(text);
    int frames = 0;
    QByteArray aired = r.dataSent(&frames);
    QCOMPARE(frames, 8);
    QVERIFY(!node->reading);
    // No answer yet: no more. Three of the eight have aired (the engine says 2 + 5).
    r.session("N0USR")->askEngine();
    QCOMPARE(r.sent(), QList<QByteArray>{buildOutstandingRequest(3, "GB7TC", "N0USR")});
    r.outstanding(3, "N0USR", 7);
    aired += r.dataSent(&frames);
    QCOMPARE(frames, 3);
    // All aired: the rest, eight at a time.
    r.session("N0USR")->askEngine();
    r.sent();
    r.outstanding(3, "N0USR", 2);
    aired += r.dataSent(&frames);
    QCOMPARE(frames, 8);
    QVERIFY(node->reading);
    QCOMPARE(r.session("N0USR")->toRadio().heldBytes(), 100);
    // The user leaves with one line held: it never reaches the engine.
    r.engine(disconnectFrame("N0USR", 3));
    QVERIFY(node->closes > 0);
    r.outstanding(3, "N0USR", 0);
    QCOMPARE(r.dataSent(), QByteArray());
    QCOMPARE(aired, toRadioText(text).left(19 * 100));
    r.login("N0USR", 3);
    r.outstanding(3, "N0USR", 0);
    QCOMPARE(r.dataSent(), QByteArray());
}

// The node closes while text is held: the user's disconnect follows once the last of it has
// aired.
void tst_relay::pacedNodeCloses() {
    Rig r;
    r.pace();
    r.login("N0USR", 3);
    r.outstanding(3, "N0USR", 0);
    QByteArray text;
    for (int i = 0; i < 10; ++i)
        text += QByteArray(99, char('a' + i)) + "\r\n";
    r.node("N0USR")->deliver(text);
    r.node("N0USR")->peerClose();
    QCOMPARE(r.dataSent().size(), 800);
    r.session("N0USR")->askEngine();
    r.sent();
    r.outstanding(3, "N0USR", 0);
    QCOMPARE(r.dataSent().size(), 200);
    // Once the engine has aired it all.
    r.session("N0USR")->askEngine();
    r.sent();
    r.outstanding(3, "N0USR", 1);
    QCOMPARE(r.sent(), QList<QByteArray>{});
    r.session("N0USR")->askEngine();
    r.sent();
    r.outstanding(3, "N0USR", 0);
    QCOMPARE(r.sent(), QList<QByteArray>{buildFrame(3, 'd', "GB7TC", "N0USR")});
}

// A user who came before the engine's first answer: once the link is paced, the user's node
// connection gets the small buffer, and the engine's count is the user's own frames (no offset).
void tst_relay::pacedAfterTheUserCame() {
    Rig r;
    r.login("N0USR", 3);
    QByteArray line = QByteArray(99, 'x') + "\r\n";
    r.node("N0USR")->deliver(line.repeated(20));
    int frames = 0;
    r.dataSent(&frames);
    QCOMPARE(frames, 20);
    QCOMPARE(r.node("N0USR")->receiveBuffer, 0);
    r.pace();
    QCOMPARE(r.node("N0USR")->receiveBuffer, Session::kPacedReceiveBuffer);
    QCOMPARE(r.sent(), QList<QByteArray>{buildOutstandingRequest(3, "GB7TC", "N0USR")});
    r.node("N0USR")->deliver(line.repeated(20));
    r.outstanding(3, "N0USR", 12);
    r.dataSent(&frames);
    QCOMPARE(frames, 0);
    r.session("N0USR")->askEngine();
    r.sent();
    r.outstanding(3, "N0USR", 5);
    r.dataSent(&frames);
    QCOMPARE(frames, 3);
}

void tst_relay::status() {
    Rig r;
    r.login("AAA", 2);
    r.engine(connectFrame("BBB") + dataFrame("AAA", "sh/dx\r", 2) + dataFrame("BBB", "held\r"));
    r.node("AAA")->deliver("DX de X: 14025\r\nline two\r\n");
    const GatewayStatus st = r.gw->status();
    QCOMPARE(st.link.state, QStringLiteral("connected"));
    QCOMPARE(st.link.callsign, QStringLiteral("GB7TC"));
    QCOMPARE(st.link.engine, QStringLiteral("127.0.0.1:8000"));
    QCOMPARE(st.users.size(), 2);
    const SessionStatus& a = st.users[0];
    QCOMPARE(a.callsign, QStringLiteral("AAA"));
    QCOMPARE(a.slot, 1);
    QCOMPARE(a.port, 2);
    QCOMPARE(a.nodeState, QStringLiteral("logged in"));
    QCOMPARE(a.toNodeBytes, 7);
    QCOMPARE(a.toNodeLines, 1);
    QCOMPARE(a.toRadioBytes, 26);
    QCOMPARE(a.toRadioLines, 2);
    QCOMPARE(st.users[1].nodeState, QStringLiteral("connecting"));
    QCOMPARE(st.counters.usersServed, 2u);
    QCOMPARE(st.counters.framesFromEngine, 4u);
    QCOMPARE(st.counters.linkConnects, 1u);
    // The registration, the questions for the ports and for frames outstanding, a "D".
    QCOMPARE(st.counters.framesToEngine, 4u);
}

// The AGW link goes, and every radio user's link with it: each session ends without a frame,
// with one log line for all, and a user who connects on the next link starts afresh.
void tst_relay::linkLostEndsSessions_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("the engine closes the link") << "close";
    QTest::newRow("the link fails") << "error";
    QTest::newRow("the gateway resets it after an oversize frame") << "oversize";
}

void tst_relay::linkLostEndsSessions() {
    QFETCH(QString, how);
    Rig r;
    r.login("AAA");
    r.login("BBB");
    r.engine(connectFrame("CCC") + dataFrame("CCC", "held\r")); // still connecting
    r.node("BBB")->peerClose();                                 // node gone, "d" awaited
    r.sent();
    const QList<FakeSocket*> nodes{r.node("AAA"), r.node("BBB"), r.node("CCC")};
    if (how == QLatin1String("close")) {
        r.agw->peerClose();
    } else if (how == QLatin1String("error")) {
        r.agw->fail(QStringLiteral("Connection reset by peer"));
    } else {
        QByteArray huge = dataFrame("AAA", "x");
        huge[30] = 2;
        r.engine(huge);
    }
    QCOMPARE(r.table().inUse(), 0);
    for (FakeSocket* n : nodes)
        QCOMPARE(n->state(), int(Socket::Closed));
    QCOMPARE(r.monitor.shown().calls, (QStringList{QString(), " *gone*", " *gone*", " *gone*"}));
    QCOMPARE(r.dir.logEntries().filter(QStringLiteral("AGW link lost")),
             QStringList{QStringLiteral("AGW link lost 3 sessions ended")});
    QVERIFY(r.sent().isEmpty());

    // The link comes back; the same user connects again and is logged in afresh.
    if (r.agw->state() != Socket::Connecting) r.gw->link().reconnectTick();
    r.agw->makeConnected();
    QCOMPARE(r.sent().value(0), buildRegisterFrame("GB7TC"));
    const size_t made = r.nodePool.made.size();
    r.engine(connectFrame("AAA"));
    FakeSocket* fresh = r.node("AAA");
    QCOMPARE(r.nodePool.made.size(), made + 1);
    QCOMPARE(fresh, r.nodePool.made.back());
    fresh->makeConnected();
    QCOMPARE(fresh->written, QByteArray("AAA\r\n"));
    QCOMPARE(r.dir.logEntries().filter(QStringLiteral("AGW link lost")).size(), 1);
}

QTEST_GUILESS_MAIN(tst_relay)
#include "tst_relay.moc"

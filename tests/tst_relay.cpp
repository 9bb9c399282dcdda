// The relay driven through stand-in sockets: frames from the engine in every arrival pattern,
// dispatch by kind, the cluster socket events, the keep-alive and the faults a link can show.
#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "agwlink/AgwReceiver.h"
#include "agwlink/AxSender.h"
#include "config/Module1.h"
#include "net/Platform.h"
#include "streams/StreamTable.h"
#include "support/Fakes.h"
#include "support/TestUtil.h"
#include "ui/Gateway.h"

#include <QtTest>

namespace {
QByteArray cFrame(const QByteArray& call, quint8 port = 1) {
    return buildFrame(port, 'C', call, "GB7TC",
                      "*** CONNECTED To Station GB7TC\r" + QByteArray(1, '\0'));
}
QByteArray dFrame(const QByteArray& call, const QByteArray& data, quint8 port = 1) {
    return buildFrame(port, 'D', call, "GB7TC", data);
}
QByteArray discFrame(const QByteArray& call, quint8 port = 1) {
    return buildFrame(port, 'd', call, "GB7TC", "*** DISCONNECTED From Station GB7TC\r");
}
} // namespace

class tst_relay : public QObject {
    Q_OBJECT

    // One gateway on stand-in sockets, started with a settings file.
    struct Rig {
        TempAppDir dir;
        FakeMonitor monitor;
        FakeHost host;
        FakeSocketPool agwPool, nodePool;
        std::unique_ptr<Gateway> gw;
        FakeSocket* agw = nullptr;

        explicit Rig(
            const QByteArray& cfg = "\"Cluster Call\",\"GB7TC\"\r\n\"Packet Length\",130\r\n") {
            Module1::settings() = Module1::Settings{};
            if (!cfg.isNull()) dir.write(QStringLiteral("pktgate.cfg"), cfg);
            gw = std::make_unique<Gateway>(monitor, host, agwPool.factory(), nodePool.factory());
            gw->Form_Load();
            agw = agwPool.made.at(0);
            agw->makeConnected();
            agw->written.clear(); // the registration
        }
        void engine(const QByteArray& bytes) { agw->deliver(bytes); }
        FakeSocket* node(int i) { return nodePool.made.at(static_cast<size_t>(i)); }
        QList<QByteArray> sent() {
            const QList<QByteArray> f = splitFrames(agw->written);
            agw->written.clear();
            return f;
        }
        // Connects call and brings its cluster socket up; returns the stream index.
        int login(const QByteArray& call, quint8 port = 1) {
            engine(cFrame(call, port));
            const int i = gw->streams().find(call);
            node(i)->makeConnected();
            node(i)->written.clear();
            return i;
        }
    };

private slots:
    void init() {
        platform::timing().connectSleepMs = 0;
        platform::timing().keepAliveIntervalMs = 60000;
    }

    void registration();
    void arrivalPatterns_data();
    void arrivalPatterns();
    void loginAndData();
    void heldBeforeConnect();
    void heldBeyondBound();
    void dispatchFaults_data();
    void dispatchFaults();
    void oversizeResetsLink();
    void unknownKindShownAndLogged();
    void nodeToRadio_data();
    void nodeToRadio();
    void nodeCloses();
    void nodeClosesAfterLastWords();
    void nodeFails();
    void userDisconnects();
    void slotReuse();
    void sendWhileLinkDown();
    void keepAlive_data();
    void keepAlive();
    void keepAliveStopsOnClosedSocket();
    void startupCutShort();
    void engineNotReadingPausesNodes();
    void nodeNotReadingEndsStream();
};

void tst_relay::registration() {
    Rig r;
    // Every connect registers the callsign again.
    r.agw->makeConnected();
    QCOMPARE(r.agw->written, buildRegisterFrame("GB7TC"));
    QCOMPARE(r.monitor.text1, QStringLiteral("WinsockAGW.State = 7"));
    QVERIFY(!r.monitor.kickVisible);
    // A connect notification that finds the link gone again sends nothing but still hides Kick.
    r.agw->written.clear();
    r.monitor.kickVisible = true;
    r.monitor.colour = LinkColour::Yellow;
    r.agw->m_state = Socket::Closing;
    emit r.agw->connected();
    QVERIFY(r.agw->written.isEmpty());
    QVERIFY(!r.monitor.kickVisible);
    QCOMPARE(r.monitor.colour, LinkColour::Normal);
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
    const int i = r.login("N0USR");
    QByteArray bytes;
    for (int k = 0; k < 10; ++k)
        bytes += dFrame("N0USR", "line " + QByteArray::number(k) + "\r");
    if (chunk == 0) chunk = int(bytes.size());
    for (qsizetype at = 0; at < bytes.size(); at += chunk)
        r.engine(bytes.mid(at, chunk));
    QByteArray expected;
    for (int k = 0; k < 10; ++k)
        expected += "line " + QByteArray::number(k) + "\r\n";
    QCOMPARE(r.node(i)->written, expected);
    QVERIFY(!r.gw->receiver().assembler().partial());
}

void tst_relay::loginAndData() {
    Rig r;
    r.engine(cFrame("N0USR", 1));
    const int i = r.gw->streams().find("N0USR");
    QCOMPARE(i, 1);
    QCOMPARE(r.node(i)->connects, 1);
    QCOMPARE(r.monitor.list3, (QStringList{QString(), QStringLiteral("N0USR")}));
    r.node(i)->makeConnected();
    QCOMPARE(r.node(i)->written, QByteArray("N0USR\r\n"));
    r.node(i)->written.clear();
    r.engine(dFrame("N0USR", QByteArray("hi\r\0x\r\n", 7)));
    QCOMPARE(r.node(i)->written, QByteArray("hi\r\nx\r\n\n"));
    // The monitor: header boxes, kind lines once each, traffic rows with the converted text.
    QCOMPARE(r.monitor.header.DataKind, 'D');
    QCOMPARE(r.monitor.list2, (QStringList{"C:N0USR -> GB7TC", "D:N0USR -> GB7TC"}));
    r.engine(dFrame("N0USR", "again\r"));
    QCOMPARE(r.monitor.list2.size(), 2);
    QCOMPARE(r.monitor.list1.last(), QStringLiteral("N0USR :D -> again\r\n"));
}

void tst_relay::heldBeforeConnect() {
    Rig r;
    r.engine(cFrame("N0USR") + dFrame("N0USR", "sh/dx\r") + dFrame("N0USR", "hello\r"));
    const int i = r.gw->streams().find("N0USR");
    QVERIFY(r.sent().isEmpty()); // no disconnect for a user whose connection is on its way
    r.node(i)->makeConnected();
    QCOMPARE(r.node(i)->written, QByteArray("N0USR\r\nsh/dx\r\nhello\r\n"));
    // A reused slot does not carry the old user's held text.
    r.engine(dFrame("N0USR", "bye\r") + discFrame("N0USR"));
    r.engine(cFrame("G4NEW") + dFrame("G4NEW", "x\r"));
    QCOMPARE(r.gw->streams().find("G4NEW"), i);
    r.node(i)->makeConnected();
    QCOMPARE(r.node(i)->written.right(10), QByteArray("G4NEW\r\nx\r\n"));
}

void tst_relay::heldBeyondBound() {
    Rig r;
    r.engine(cFrame("N0USR"));
    const QByteArray big(4000, 'x');
    for (int k = 0; k < 16; ++k)
        r.engine(dFrame("N0USR", big));
    QVERIFY(r.sent().isEmpty());
    r.engine(dFrame("N0USR", big)); // past 64 KiB: no usable stream any more
    const QList<QByteArray> f = r.sent();
    QCOMPARE(f.size(), 1);
    QCOMPARE(f[0][4], 'd');
    QCOMPARE(readHeader(f[0].constData()).CallTo, QByteArray("N0USR"));
}

void tst_relay::dispatchFaults_data() {
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<int>("disconnects");
    QTest::newRow("data from a station with no stream")
        << dFrame("G0XXX", "hello\r", 2) << "SendToAx25  where = 0 stream = 2 G0XXX not connected"
        << 1;
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
    const int i = r.login("N0USR");
    // The refused frame sits between two good ones in one arrival: both good ones get through.
    r.engine(dFrame("N0USR", "one\r") + bad + dFrame("N0USR", "two\r") + cFrame("G4NEW"));
    QCOMPARE(r.node(i)->written, QByteArray("one\r\ntwo\r\n"));
    QVERIFY(r.gw->streams().find("G4NEW") > 0);
    QVERIFY(r.dir.logEntries().contains(logged));
    const QList<QByteArray> f = r.sent();
    QCOMPARE(f.size(), disconnects);
    if (disconnects) {
        QCOMPARE(f[0].size(), 36);
        QCOMPARE(f[0][4], 'd');
        QCOMPARE(int(quint8(f[0][0])), 2);
        QCOMPARE(readHeader(f[0].constData()).CallTo, QByteArray("G0XXX"));
        QCOMPARE(readHeader(f[0].constData()).CallFrom, QByteArray("GB7TC"));
    }
    QCOMPARE(r.gw->streams().inUse(), 2);
}

void tst_relay::oversizeResetsLink() {
    Rig r;
    const int i = r.login("N0USR");
    QByteArray huge = dFrame("N0USR", "x");
    huge[30] = 2; // DataLen 131073
    const int connectsBefore = r.agw->connects;
    r.engine(dFrame("N0USR", "one\r") + huge + QByteArray(100, 'z'));
    QCOMPARE(r.node(i)->written, QByteArray("one\r\n"));
    QCOMPARE(r.agw->connects, connectsBefore + 1);
    QVERIFY(!r.gw->receiver().assembler().partial());
    QVERIFY(r.dir.logEntries().contains(
        QStringLiteral("DataArrival  where = 104 DataLen 131073 exceeds 65536, link reset")));
    // The stream is untouched; the new connection reads frames from a clean start.
    r.agw->makeConnected();
    r.engine(dFrame("N0USR", "two\r"));
    QCOMPARE(r.node(i)->written, QByteArray("one\r\ntwo\r\n"));
}

void tst_relay::unknownKindShownAndLogged() {
    Rig r;
    r.engine(buildFrame(0, 'X', "GB7TC", "", QByteArray(1, '\1')));
    const QString text = QStringLiteral("****** DataKind = X \1");
    QCOMPARE(r.monitor.text1, text);
    QVERIFY(r.dir.logEntries().contains(QStringLiteral("DataArrival ") + text));
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
    const int i = r.login("N0USR", 3);
    r.node(i)->deliver(text);
    const QList<QByteArray> frames = r.sent();
    QCOMPARE(frames.size(), pieces.size());
    for (int k = 0; k < frames.size(); ++k) {
        const AgwHeader h = readHeader(frames[k].constData());
        QCOMPARE(h.Port, quint8(3));
        QCOMPARE(h.DataKind, 'D');
        QCOMPARE(h.Pid, quint8(0));
        QCOMPARE(h.CallFrom, QByteArray("GB7TC"));
        QCOMPARE(h.CallTo, QByteArray("N0USR"));
        QCOMPARE(frames[k].mid(36), pieces[k]);
    }
    QCOMPARE(r.monitor.list4.last(), QStringLiteral("1 -> ") + QString::fromLatin1(text));
}

void tst_relay::nodeCloses() {
    Rig r;
    const int i = r.login("N0USR");
    r.node(i)->peerClose();
    const QList<QByteArray> f = r.sent();
    QCOMPARE(f.size(), 1);
    QCOMPARE(f[0], buildFrame(1, 'd', "GB7TC", "N0USR"));
    // The slot stays until the engine reports the disconnect.
    QCOMPARE(r.gw->streams().callsign(i), QByteArray("N0USR"));
    r.engine(discFrame("N0USR"));
    QVERIFY(r.gw->streams().callsign(i).isEmpty());
}

void tst_relay::nodeClosesAfterLastWords() {
    Rig r;
    const int i = r.login("N0USR");
    // The node's goodbye is waiting when the close is reported: it reaches the user first.
    r.node(i)->incoming = "73 de node\r\n";
    r.node(i)->peerClose();
    const QList<QByteArray> f = r.sent();
    QCOMPARE(f.size(), 2);
    QCOMPARE(f[0].mid(36), QByteArray("73 de node\r"));
    QCOMPARE(f[1][4], 'd');
    // Data noticed while the socket already reports the peer's close is relayed too.
    const int j = r.login("G4NEW");
    r.node(j)->m_state = Socket::Closing;
    r.node(j)->deliver("last\r\n");
    QCOMPARE(r.sent().value(0).mid(36), QByteArray("last\r"));
}

void tst_relay::nodeFails() {
    Rig r;
    r.engine(cFrame("N0USR"));
    r.node(1)->fail(QStringLiteral("Connection refused"));
    QVERIFY(
        r.dir.logEntries().contains(QStringLiteral("winsckOut_Error N0USR 1 Connection refused")));
    const QList<QByteArray> f = r.sent();
    QCOMPARE(f.size(), 1);
    QCOMPARE(f[0], buildFrame(1, 'd', "GB7TC", "N0USR"));
    QCOMPARE(r.monitor.list3, (QStringList{QString(), QStringLiteral(" *gone*")}));
    QCOMPARE(r.node(1)->state(), int(Socket::Closed));
}

void tst_relay::userDisconnects() {
    Rig r;
    const int i = r.login("N0USR");
    const int closes = r.node(i)->closes;
    r.engine(discFrame("N0USR"));
    QCOMPARE(r.node(i)->closes, closes + 1);
    QVERIFY(r.sent().isEmpty());
    // A disconnect from a station without a stream still rebuilds List3.
    const int refreshes = r.monitor.list3Refreshes;
    r.engine(discFrame("NOBODY"));
    QCOMPARE(r.monitor.list3Refreshes, refreshes + 1);
}

void tst_relay::slotReuse() {
    Rig r;
    r.login("AAA");
    r.login("BBB");
    r.engine(discFrame("AAA"));
    QCOMPARE(r.monitor.list3, (QStringList{QString(), " *gone*", "BBB"}));
    r.engine(cFrame("CCC"));
    QCOMPARE(r.gw->streams().find("CCC"), 1);
    QCOMPARE(r.nodePool.made.size(), size_t(3)); // template and two streams: nothing new
    QCOMPARE(r.monitor.list3, (QStringList{QString(), "CCC", "BBB"}));
    // A repeated connect from the same callsign touches neither the socket nor List3.
    const int connects = r.node(2)->connects;
    const int refreshes = r.monitor.list3Refreshes;
    r.engine(cFrame("BBB", 5));
    QCOMPARE(r.node(2)->connects, connects);
    QCOMPARE(r.monitor.list3Refreshes, refreshes);
    QCOMPARE(r.gw->streams().port(2), qint16(5));
    // Callsigns differing in letter case are different users.
    r.engine(cFrame("ccc"));
    QCOMPARE(r.gw->streams().find("ccc"), 3);
}

void tst_relay::sendWhileLinkDown() {
    Rig r;
    const int i = r.login("N0USR");
    r.agw->m_state = Socket::Closed;
    r.node(i)->deliver("spot\r\n");
    QVERIFY(r.monitor.text1.startsWith(QStringLiteral("SendToAx25: Error: where = 15 ")));
    QVERIFY(
        r.dir.logEntries().last().startsWith(QStringLiteral("SendToAx25  where = 15 stream = 1 ")));
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
    Module1::settings().KeepAliveMinutes = minutes;
    const int i = r.login("N0USR");
    for (int k = 0; k < perTick.size(); ++k) {
        if (nodeTalks) r.node(i)->deliver("spot\r\n");
        emit r.gw->streams().keepAliveTick(i);
        QCOMPARE(r.node(i)->written, QByteArray(" \r\n").repeated(perTick[k] - '0'));
    }
    QVERIFY(r.gw->streams().tmrKeepAlive(i).isActive());
}

void tst_relay::keepAliveStopsOnClosedSocket() {
    Rig r;
    Module1::settings().KeepAliveMinutes = 1;
    const int i = r.login("N0USR");
    r.engine(discFrame("N0USR")); // socket closed, timer still on
    QVERIFY(r.gw->streams().tmrKeepAlive(i).isActive());
    emit r.gw->streams().keepAliveTick(i);
    QVERIFY(!r.gw->streams().tmrKeepAlive(i).isActive());
    QCOMPARE(r.gw->streams().idle(i), 0);
    // Reusing the slot starts it again; a connection still being made is sent nothing.
    r.engine(cFrame("G4NEW"));
    QCOMPARE(r.gw->streams().find("G4NEW"), i);
    QVERIFY(r.gw->streams().tmrKeepAlive(i).isActive());
    r.node(i)->written.clear();
    emit r.gw->streams().keepAliveTick(i);
    QVERIFY(r.gw->streams().tmrKeepAlive(i).isActive());
    QVERIFY(r.node(i)->written.isEmpty());
    QCOMPARE(r.gw->streams().idle(i), 0);
}

void tst_relay::startupCutShort() {
    // A non-numeric AGW port ends start-up before the link is opened; frames that might arrive
    // later still meet an empty stream table.
    Rig r("\"Cluster Call\",\"GB7TC\"\r\n\"AGW Port\",\"80x0\"\r\n");
    QCOMPARE(r.dir.logEntries().count(QStringLiteral("Form_Load ")), 0);
    Rig bad("\"AGW Port\",\"99999\"\r\n");
    QVERIFY(bad.dir.logEntries().contains(QStringLiteral("Form_Load ")));
    QCOMPARE(bad.agw->connects, 0);
    bad.engine(cFrame("N0USR") + dFrame("N0USR", "x\r"));
    QCOMPARE(bad.gw->streams().find("N0USR"), 1);
}

void tst_relay::engineNotReadingPausesNodes() {
    Rig r;
    const int a = r.login("AAA");
    const int b = r.login("BBB");
    // The engine stops reading: once more than the high-water mark is queued for it, no cluster
    // connection is read any more, including ones opened meanwhile.
    r.agw->pending = AgwLink::kHighWater + 1;
    r.node(a)->deliver("spot\r\n");
    QVERIFY(!r.node(a)->reading);
    QVERIFY(!r.node(b)->reading);
    r.engine(cFrame("CCC"));
    const int c = r.gw->streams().find("CCC");
    QVERIFY(!r.node(c)->reading);
    // The queue drains below the low-water mark: everybody is read again.
    emit r.agw->sendProgress(1 << 20, AgwLink::kLowWater);
    QVERIFY(r.node(a)->reading && r.node(b)->reading && r.node(c)->reading);
    // A link that is closed and reopened starts uncongested.
    r.node(a)->deliver("spot\r\n");
    QVERIFY(!r.node(a)->reading);
    r.agw->m_state = Socket::Closed;
    r.gw->kick_Click();
    QVERIFY(r.node(a)->reading);
}

void tst_relay::nodeNotReadingEndsStream() {
    Rig r;
    const int a = r.login("AAA");
    const int b = r.login("BBB");
    r.node(a)->pending = StreamTable::kMaxNodeQueue + 1;
    r.engine(dFrame("AAA", "more\r") + dFrame("BBB", "hello\r"));
    // AAA's stream ends like a failed connection; BBB goes on.
    QVERIFY(r.gw->streams().callsign(a).isEmpty());
    QCOMPARE(r.sent().value(0), buildFrame(1, 'd', "GB7TC", "AAA"));
    QVERIFY(!r.dir.logEntries()
                 .filter(QStringLiteral("winsckOut_Error AAA 1 The cluster node is not reading"))
                 .isEmpty());
    QCOMPARE(r.node(b)->written, QByteArray("hello\r\n"));
}

QTEST_GUILESS_MAIN(tst_relay)
#include "tst_relay.moc"

// The gateway against a cluster node as a real one behaves: callsigns it never logs in, the PROXY
// line before the callsign, the node's login prompt kept off the air, and one user who comes in
// on two radio ports.
#include "agwlink/AgwFrame.h"
#include "relay/CallPolicy.h"
#include "relay/NodeLogin.h"
#include "relay/Session.h"
#include "relay/SessionTable.h"
#include "support/Peers.h"

#include <QDir>
#include <QtTest>

namespace {

// An engine, a node and a gateway between them, on 127.0.0.1.
struct Rig : PeerPair {
    // refusedFile: the content of refused-calls.txt (none when null; "<dir>": a directory there).
    explicit Rig(const QString& refuseOption = {}, const QByteArray& refusedFile = {},
                 const QByteArray& greeting = {},
                 std::optional<QHostAddress> proxy = std::nullopt) {
        engine.keepFrames = true;
        node.greeting = greeting;
        RefusedCalls calls;
        QString bad;
        if (!refuseOption.isEmpty() && !parseRefusedCalls(refuseOption, calls, bad))
            qFatal("bad refused calls in a test");
        g.gw->addRefusedCalls(calls);
        g.gw->setProxySource(proxy);
        if (refusedFile == "<dir>")
            QDir(g.dir.path()).mkdir(QStringLiteral("refused-calls.txt"));
        else if (!refusedFile.isNull())
            g.dir.write(QStringLiteral("refused-calls.txt"), refusedFile);
        g.start(settingsFor(engine.port(), node.port()));
        up = engine.registered();
    }
    // The radio ports of the disconnects sent to a callsign, in order.
    QList<int> disconnectPorts(const QByteArray& call) const {
        QList<int> ports;
        for (const QByteArray& f : engine.to(call, 'd'))
            ports << readHeader(f.constData()).Port;
        return ports;
    }
    QStringList logWith(const QString& text) const { return g.log().filter(text); }

    LiveGateway g;
    bool up = false;
};

} // namespace

class tst_node : public QObject {
    Q_OBJECT
private slots:
    void refusedCalls_data();
    void refusedCalls();
    void badRefusedCallsFile_data();
    void badRefusedCallsFile();
    void refusedOnStatusPage();
    void proxyLine_data();
    void proxyLine();
    void proxyLineFamilies_data();
    void proxyLineFamilies();
    void promptFilter_data();
    void promptFilter();
    void promptOffTheAir_data();
    void promptOffTheAir();
    void twoRadioPorts_data();
    void twoRadioPorts();
};

void tst_node::refusedCalls_data() {
    QTest::addColumn<QString>("option");    // --refuse-calls
    QTest::addColumn<QByteArray>("file");   // refused-calls.txt
    QTest::addColumn<QByteArray>("call");   // the radio user
    QTest::addColumn<QString>("refusedAs"); // the log's reason; empty: logged in
    const QString listed = QStringLiteral("on the refused-calls list");
    const QString cluster = QStringLiteral("the cluster callsign");
    QTest::newRow("bare call, the call")
        << "G4ABC" << QByteArray() << QByteArray("G4ABC") << listed;
    QTest::newRow("bare call, any SSID")
        << "M0XYZ,G4ABC" << QByteArray() << QByteArray("G4ABC-15") << listed;
    QTest::newRow("SSID, itself") << "G4ABC-1" << QByteArray() << QByteArray("G4ABC-1") << listed;
    QTest::newRow("SSID, not another")
        << "G4ABC-1" << QByteArray() << QByteArray("G4ABC-2") << QString();
    QTest::newRow("SSID, not the bare call")
        << "G4ABC-1" << QByteArray() << QByteArray("G4ABC") << QString();
    QTest::newRow("letter case") << "g4abc" << QByteArray() << QByteArray("G4ABC-3") << listed;
    QTest::newRow("file") << QString() << QByteArray("# the sysop\r\n  G4ABC \r\n\r\nM0XYZ-2\n")
                          << QByteArray("M0XYZ-2") << listed;
    QTest::newRow("file, bare") << QString() << QByteArray("G4ABC\n") << QByteArray("G4ABC-9")
                                << listed;
    QTest::newRow("file and option")
        << "M0XYZ" << QByteArray("G4ABC\n") << QByteArray("G4ABC") << listed;
    QTest::newRow("cluster callsign")
        << QString() << QByteArray() << QByteArray("GB7TC") << cluster;
    QTest::newRow("cluster callsign, SSID")
        << QString() << QByteArray() << QByteArray("GB7TC-4") << cluster;
    QTest::newRow("anyone else") << "G4ABC" << QByteArray("M0XYZ\n") << QByteArray("G4ABD")
                                 << QString();
}

void tst_node::refusedCalls() {
    QFETCH(QString, option);
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, call);
    QFETCH(QString, refusedAs);
    Rig r(option, file);
    QVERIFY(r.up);
    r.engine.send(connectFrame(call, 1) + dataFrame(call, "sh/dx\r", 1));
    // A user after it is logged in: by then the refused one would have been too.
    r.engine.send(connectFrame("N0CTL", 1));
    QVERIFY(r.node.waitFor("N0CTL"));
    if (refusedAs.isEmpty()) {
        QVERIFY(r.node.waitFor(call));
        QVERIFY(r.logWith(QStringLiteral(" refused")).isEmpty());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(r.disconnectPorts(call).size(), 2, 5000); // the "C", then the "D"
    QCOMPARE(r.disconnectPorts(call).first(), 1);
    QCOMPARE(int(r.node.conns.size()), 1);
    QCOMPARE(r.logWith(QStringLiteral(" refused: ")),
             QStringList{QStringLiteral("DataArrival  where = 14 ") + QString::fromLatin1(call) +
                         QStringLiteral(" refused: ") + refusedAs});
}

void tst_node::badRefusedCallsFile_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QByteArray>("refused"); // a call still refused; empty: none
    QTest::newRow("not a file") << QByteArray("<dir>")
                                << "Refused calls refused-calls.txt cannot be read (not a file)"
                                << QByteArray();
    QTest::newRow("bad line") << QByteArray("G4ABC\nG4 ABC\nM0XYZ-16\nM0XYZ\n")
                              << "Refused calls refused-calls.txt line 2: \"G4 ABC\" is not a "
                                 "callsign, skipped"
                              << QByteArray("M0XYZ");
    QTest::newRow("binary") << QByteArray("\x01\xff\"\nG4ABC\n", 10)
                            << "line 1: \"<01><ff><22>\" is not a callsign" << QByteArray("G4ABC");
}

void tst_node::badRefusedCallsFile() {
    QFETCH(QByteArray, file);
    QFETCH(QString, logged);
    QFETCH(QByteArray, refused);
    Rig r({}, file);
    QVERIFY(r.up);
    QVERIFY2(!r.logWith(logged).isEmpty(), qPrintable(r.g.log().join(QLatin1Char('\n'))));
    // The gateway runs with what it could read.
    QVERIFY(!r.logWith(QStringLiteral("Form_Load")).size());
    r.engine.send(connectFrame("N0CTL", 1));
    QVERIFY(r.node.waitFor("N0CTL"));
    if (refused.isEmpty()) return;
    r.engine.send(connectFrame(refused, 1));
    QTRY_COMPARE_WITH_TIMEOUT(r.disconnectPorts(refused).size(), 1, 5000);
    QCOMPARE(int(r.node.conns.size()), 1);
}

void tst_node::refusedOnStatusPage() {
    Rig r(QStringLiteral("G4ABC,G4ABC,M0XYZ-1"), QByteArray("N0BBB\n"));
    QCOMPARE(r.g.gw->status().refusedCalls, 3);
    QCOMPARE(r.logWith(QStringLiteral("Refused calls")),
             QStringList{QStringLiteral(
                 "Refused calls 3 callsigns are never logged in, besides the cluster callsign")});
}

void tst_node::proxyLine_data() {
    QTest::addColumn<QString>("source"); // empty: no --node-proxy-header
    QTest::newRow("off") << QString();
    QTest::newRow("0.0.0.0") << QStringLiteral("0.0.0.0");
    QTest::newRow("another") << QStringLiteral("10.0.0.1");
}

void tst_node::proxyLine() {
    QFETCH(QString, source);
    Rig r({}, {}, {},
          source.isEmpty() ? std::nullopt : std::optional<QHostAddress>(QHostAddress(source)));
    QVERIFY(r.up);
    r.engine.send(connectFrame("N0AAA", 1) + dataFrame("N0AAA", "sh/dx\r", 1));
    FakeNode::Conn* c = r.node.waitFor("N0AAA");
    QVERIFY(c);
    QTRY_VERIFY_WITH_TIMEOUT(c->bytes.endsWith("sh/dx\r\n"), 5000);
    const QByteArray proxy = source.isEmpty() ? QByteArray()
                                              : "PROXY TCP4 " + source.toLatin1() + " 127.0.0.1 " +
                                                    QByteArray::number(c->sock->peerPort()) + ' ' +
                                                    QByteArray::number(r.node.port()) + "\r\n";
    QCOMPARE(c->bytes, proxy + "N0AAA\r\nsh/dx\r\n");
}

void tst_node::proxyLineFamilies_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("node");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("IPv4") << "0.0.0.0"
                          << "127.0.0.1"
                          << QByteArray("PROXY TCP4 0.0.0.0 127.0.0.1 40000 7300\r\n");
    QTest::newRow("IPv4-mapped node")
        << "10.0.0.1"
        << "::ffff:192.0.2.7" << QByteArray("PROXY TCP4 10.0.0.1 192.0.2.7 40000 7300\r\n");
    QTest::newRow("IPv6 node") << "0.0.0.0"
                               << "::1"
                               << QByteArray("PROXY TCP6 ::ffff:0.0.0.0 ::1 40000 7300\r\n");
    QTest::newRow("IPv6 source") << "2001:db8::5"
                                 << "127.0.0.1"
                                 << QByteArray("PROXY TCP6 2001:db8::5 ::ffff:127.0.0.1 40000 "
                                               "7300\r\n");
    QTest::newRow("node not an address") << "0.0.0.0"
                                         << "localhost" << QByteArray();
}

void tst_node::proxyLineFamilies() {
    QFETCH(QString, source);
    QFETCH(QString, node);
    QFETCH(QByteArray, line);
    QCOMPARE(proxyHeaderLine(QHostAddress(source), 40000, QHostAddress(node), 7300), line);
}

void tst_node::promptFilter_data() {
    QTest::addColumn<QByteArrayList>("reads"); // what the node connection brings, read by read
    QTest::addColumn<QByteArray>("relayed");
    QTest::addColumn<bool>("closed"); // the node closes after the last read
    QTest::newRow("prompt") << QByteArrayList{"login: ", "Hello N0AAA\r\n"}
                            << QByteArray("Hello N0AAA\r\n") << false;
    QTest::newRow("prompt and more in one read")
        << QByteArrayList{"LOGIN: Hello\r\n"} << QByteArray("Hello\r\n") << false;
    QTest::newRow("without the blank")
        << QByteArrayList{"Login:Hello"} << QByteArray("Hello") << false;
    QTest::newRow("in pieces") << QByteArrayList{"lo", "gin:", " Hello"} << QByteArray("Hello")
                               << false;
    QTest::newRow("not a prompt") << QByteArrayList{"log", "out\r\n"} << QByteArray("logout\r\n")
                                  << false;
    QTest::newRow("after a line end") << QByteArrayList{"Welcome\r\nlogin: ", "login: x"}
                                      << QByteArray("Welcome\r\nlogin: login: x") << false;
    QTest::newRow("later reads are not looked at")
        << QByteArrayList{"DX de", "login: "} << QByteArray("DX delogin: ") << false;
    QTest::newRow("held, then the node closes")
        << QByteArrayList{"logi"} << QByteArray("logi") << true;
}

void tst_node::promptFilter() {
    QFETCH(QByteArrayList, reads);
    QFETCH(QByteArray, relayed);
    QFETCH(bool, closed);
    LoginPromptFilter f;
    QByteArray out;
    for (qsizetype i = 0; i < reads.size(); ++i)
        out += closed && i == reads.size() - 1 ? f.last(reads[i]) : f.take(reads[i]);
    QCOMPARE(out, relayed);
    QVERIFY(f.done() || !closed);
}

void tst_node::promptOffTheAir_data() {
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QByteArray>("onAir"); // what the user gets once the node has said "Hello"
    QTest::newRow("DXSpider's prompt") << QByteArray("login: ") << QByteArray("Hello\r");
    QTest::newRow("no prompt") << QByteArray() << QByteArray("Hello\r");
    QTest::newRow("another greeting")
        << QByteArray("Welcome\r\n") << QByteArray("Welcome\rHello\r");
}

void tst_node::promptOffTheAir() {
    QFETCH(QByteArray, greeting);
    QFETCH(QByteArray, onAir);
    Rig r({}, {}, greeting);
    QVERIFY(r.up);
    r.engine.send(connectFrame("N0AAA", 1));
    FakeNode::Conn* c = r.node.waitFor("N0AAA");
    QVERIFY(c);
    c->sock->write("Hello\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(r.engine.text.value("N0AAA"), onAir, 5000);
    // A prompt later in the stream is the node's text like any other.
    c->sock->write("login: \r\n");
    QTRY_COMPARE_WITH_TIMEOUT(r.engine.text.value("N0AAA"), onAir + "login: \r", 5000);
}

void tst_node::twoRadioPorts_data() {
    QTest::addColumn<int>("oldPort");
    QTest::addColumn<int>("newPort");
    QTest::addColumn<char>("fromOld"); // what the old port sends after the take-over
    for (const auto& [from, to] : {std::pair{0, 1}, std::pair{1, 0}})
        for (const char kind : {'d', 'D'})
            QTest::addRow("port %d then %d, then %c from %d", from, to, kind, from)
                << from << to << kind;
}

void tst_node::twoRadioPorts() {
    QFETCH(int, oldPort);
    QFETCH(int, newPort);
    QFETCH(char, fromOld);
    const auto oldP = quint8(oldPort), newP = quint8(newPort);
    Rig r;
    QVERIFY(r.up);
    r.engine.send(connectFrame("G4ABC", oldP));
    FakeNode::Conn* c = r.node.waitFor("G4ABC");
    QVERIFY(c);
    r.engine.send(connectFrame("G4ABC", newP));
    QTRY_COMPARE_WITH_TIMEOUT(r.disconnectPorts("G4ABC"), QList<int>{oldPort}, 5000);
    r.engine.send(fromOld == 'd' ? disconnectFrame("G4ABC", oldP)
                                 : dataFrame("G4ABC", "old\r", oldP));
    r.engine.send(dataFrame("G4ABC", "new\r", newP));
    QTRY_VERIFY_WITH_TIMEOUT(c->bytes.endsWith("new\r\n"), 5000);
    // One login, the old port's text not at the node, the session on the new port.
    QCOMPARE(c->bytes, QByteArray("G4ABC\r\nnew\r\n"));
    QCOMPARE(int(r.node.conns.size()), 1);
    QVERIFY(!c->ended);
    const Session* s = r.g.gw->sessions().find("G4ABC");
    QVERIFY(s);
    QCOMPARE(int(s->port()), newPort);
    // Text from the old port is answered as from a station without a session.
    const QList<int> expected = fromOld == 'D' ? QList<int>{oldPort, oldPort} : QList<int>{oldPort};
    QTRY_COMPARE_WITH_TIMEOUT(r.disconnectPorts("G4ABC"), expected, 5000);
    c->sock->write("to the user\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(r.engine.to("G4ABC").size(), 1, 5000);
    QCOMPARE(int(readHeader(r.engine.to("G4ABC").first().constData()).Port), newPort);
    QCOMPARE(r.logWith(QStringLiteral("moved")),
             QStringList{QStringLiteral("DataArrival  where = 14 G4ABC moved from radio port %1 "
                                        "to %2")
                             .arg(oldPort)
                             .arg(newPort)});
    // The user leaves from the new port: the session ends.
    r.engine.send(disconnectFrame("G4ABC", newP));
    QTRY_VERIFY_WITH_TIMEOUT(!r.g.gw->sessions().find("G4ABC"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(c->ended, 5000);
}

QTEST_GUILESS_MAIN(tst_node)
#include "tst_node.moc"

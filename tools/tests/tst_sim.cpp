// The simulator against a fake gateway (a plain socket in the test) and as a program.
#include "agwlink/FrameAssembler.h"
#include "tools/SimEngine.h"
#include "tools/SimNode.h"
#include "tools/SimOptions.h"
#include "tools/SimProtocol.h"
#include "tools/SimRadio.h"
#include "tools/SimReport.h"
#include "tools/SimUsers.h"

#include <QJsonArray>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

using namespace sim;

namespace {

// One whole frame the engine sent.
struct Frame {
    AgwHeader header;
    QByteArray data;
};

// Plays the gateway: one socket to the engine, collecting whole frames.
struct FakeGateway {
    QTcpSocket socket;
    FrameAssembler assembler;
    QList<Frame> frames;

    explicit FakeGateway(quint16 port) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            takeFrames(assembler, socket.readAll(), [this](QByteArrayView f) {
                frames.append({readHeader(f.data()), f.sliced(kAgwHeaderSize).toByteArray()});
            });
        });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool waitConnected() { return socket.waitForConnected(3000); }
    void send(const QByteArray& bytes) {
        socket.write(bytes);
        socket.flush();
    }
    QList<Frame> ofKind(char kind, const QByteArray& call = {}) const {
        QList<Frame> out;
        for (const Frame& f : frames)
            if (f.header.DataKind == kind && (call.isEmpty() || f.header.CallFrom == call))
                out.append(f);
        return out;
    }
};

// One node user: a socket and the lines it received.
struct NodeClient {
    QTcpSocket socket;
    QByteArray received;

    explicit NodeClient(quint16 port) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    QList<QByteArray> lines() const {
        QList<QByteArray> out = received.split('\n');
        out.removeLast(); // the part after the last line end
        for (QByteArray& l : out) {
            if (!l.endsWith('\r')) return {}; // every line must end in CR LF
            l.chop(1);
        }
        return out;
    }
};

} // namespace

class TstSim : public QObject {
    Q_OBJECT
private slots:
    void piecesRejoin();
    void lineSplitter_data();
    void lineSplitter();
    void spotLineLayout();
    void options_data();
    void options();
    void program_data();
    void program();
    void programEndsOnSigterm();
    void registration_data();
    void registration();
    void userFramesReachGateway();
    void radioPorts();
    void gatewayDataReachesUser_data();
    void gatewayDataReachesUser();
    void gatewayDisconnect();
    void engineDropsBrokenStream_data();
    void engineDropsBrokenStream();
    void nodeSession_data();
    void nodeSession();
    void nodeByeCloses();
    void spotsOnlyToLoggedIn();
    void loadUsers();
    void demoRound();
    void radioCalibration();
    void outstandingAnswers_data();
    void outstandingAnswers();
    void radioAirsInOrder();
    void nodeFlood();
    void recordChecksText_data();
    void recordChecksText();
};

namespace {
// An engine with a registered fake gateway in front of it.
struct EngineBench {
    SimEngine engine;
    FakeGateway* gw = nullptr;

    explicit EngineBench(const RadioTiming& radio) {
        engine.setRadio(radio);
        QString error;
        if (engine.listen(0, error)) gw = new FakeGateway(engine.port());
    }
    ~EngineBench() { delete gw; }
    bool registered() {
        if (!gw || !gw->waitConnected()) return false;
        gw->send(buildRegisterFrame("GB7TC"));
        return QTest::qWaitFor([this] { return engine.gatewayReady(); }, 5000);
    }
};

RadioTiming fastRadio() {
    RadioTiming t;
    t.baud = 200000;
    t.txDelayMs = 5;
    return t;
}
} // namespace

void TstSim::piecesRejoin() {
    // The pieces the engine writes in split mode make the same frame again.
    const QByteArray frame = buildFrame(2, 'D', "A", "B", "hello\r");
    const QList<QByteArray> pieces = splitForWrites(frame);
    QVERIFY(pieces.size() > 3);
    QCOMPARE(pieces.join(), frame);
}

void TstSim::lineSplitter_data() {
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<int>("pending");
    QTest::newRow("CR LF") << QByteArrayList{"G4ABC\r\n"} << QByteArrayList{"G4ABC"} << 0;
    QTest::newRow("CR LF across arrivals")
        << QByteArrayList{"a\r", "\nb\r\n"} << QByteArrayList{"a", "b"} << 0;
    QTest::newRow("bare LF and bare CR")
        << QByteArrayList{"a\nb\rc"} << QByteArrayList{"a", "b"} << 1;
    QTest::newRow("empty lines kept") << QByteArrayList{"\r\n\r\n"} << QByteArrayList{"", ""} << 0;
    QTest::newRow("line in pieces")
        << QByteArrayList{"sh", "/d", "x\r\n"} << QByteArrayList{"sh/dx"} << 0;
}

void TstSim::lineSplitter() {
    QFETCH(QByteArrayList, chunks);
    QFETCH(QByteArrayList, lines);
    QFETCH(int, pending);
    LineSplitter s;
    QByteArrayList got;
    for (const QByteArray& c : chunks)
        got += s.append(c);
    QCOMPARE(got, lines);
    QCOMPARE(s.pending(), pending);
}

void TstSim::spotLineLayout() {
    Spot s;
    s.spotter = "K1ABC";
    s.freqKHz = 14025.0;
    s.dxCall = "DL1XYZ";
    s.comment = "CW 599";
    s.utc = QDateTime(QDate(2024, 1, 12), QTime(12, 34), Qt::UTC);
    QCOMPARE(formatSpotLine(s),
             QByteArray("DX de K1ABC:     14025.0  DL1XYZ       CW 599                          "
                        "1234Z"));
    // Long fields are cut, so the columns never move.
    s.spotter = "VERYLONGCALL";
    s.freqKHz = 1810.5;
    QCOMPARE(formatSpotLine(s).size(), 76);
    QVERIFY(formatSpotLine(s).startsWith("DX de VERYLON     1810.5  DL1XYZ"));
}

void TstSim::options_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("expect"); // a field check or a part of the error text
    using R = ParseResult;
    QTest::newRow("defaults") << QStringList{} << int(R::Run) << "agw 8000 node 7300 demo";
    QTest::newRow("ports and load")
        << QStringList{"--agw-port", "0", "--node-port=7373", "--users", "500", "--rate", "0"}
        << int(R::Run) << "agw 0 node 7373 users 500";
    QTest::newRow("non-numeric port")
        << QStringList{"--agw-port", "80x"} << int(R::Error) << "--agw-port: \"80x\"";
    QTest::newRow("port too large")
        << QStringList{"--node-port", "65536"} << int(R::Error) << "out of range";
    QTest::newRow("rate not a number")
        << QStringList{"--spot-rate", "fast"} << int(R::Error) << "--spot-rate";
    QTest::newRow("negative duration")
        << QStringList{"--duration", "-3"} << int(R::Error) << "--duration";
    QTest::newRow("callsign too long")
        << QStringList{"--cluster-call", "ABCDEFGHIJK"} << int(R::Error) << "--cluster-call";
    QTest::newRow("both only flags")
        << QStringList{"--node-only", "--engine-only"} << int(R::Error) << "exclude";
    QTest::newRow("same port twice")
        << QStringList{"--agw-port", "9000", "--node-port", "9000"} << int(R::Error) << "differ";
    QTest::newRow("no radio port") << QStringList{"--ports", "0"} << int(R::Error) << "--ports";
    QTest::newRow("stray argument") << QStringList{"now"} << int(R::Error) << "\"now\"";
    QTest::newRow("unknown option") << QStringList{"--user=3"} << int(R::Error) << "user";
    QTest::newRow("help") << QStringList{"--help"} << int(R::Help) << "--split-frames";
    QTest::newRow("radio and flood")
        << QStringList{"--baud", "9600", "--flood-bytes", "16384", "--stream-seconds", "60"}
        << int(R::Run) << "agw 8000 node 7300 demo";
    QTest::newRow("baud not a number")
        << QStringList{"--baud", "fast"} << int(R::Error) << "--baud";
}

void TstSim::options() {
    QFETCH(QStringList, args);
    QFETCH(int, result);
    QFETCH(QString, expect);
    SimOptions o;
    QString message;
    args.prepend(QStringLiteral("pktgate-sim"));
    const ParseResult r = parseSimOptions(args, o, message);
    QCOMPARE(int(r), result);
    if (r == ParseResult::Run) {
        const QString fields =
            QStringLiteral("agw %1 node %2 ").arg(o.agwPort).arg(o.nodePort) +
            (o.users < 0 ? QStringLiteral("demo") : QStringLiteral("users %1").arg(o.users));
        QCOMPARE(fields, expect);
    } else {
        QVERIFY2(message.contains(expect), qPrintable(message));
    }
}

void TstSim::program_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // expected in stdout (exit 0) or stderr
    QTest::newRow("bad port") << QStringList{"--agw-port", "abc"} << 2 << "--agw-port";
    QTest::newRow("port out of range") << QStringList{"--node-port", "99999"} << 2 << "99999";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "--lines-per-user";
    QTest::newRow("short run") << QStringList{"--agw-port", "0",          "--node-port",
                                              "0",          "--duration", "0.3",
                                              "--quiet",    "--baud",     "0"}
                               << 0 << "summary: frames in 0, frames out 0";
}

void TstSim::program() {
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QProcess p;
    p.start(QStringLiteral(PKTGATE_SIM_EXE), args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), exitCode);
    const QString text = QString::fromLocal8Bit(exitCode == 0 ? p.readAllStandardOutput()
                                                              : p.readAllStandardError());
    QVERIFY2(text.contains(output), qPrintable(text));
}

void TstSim::programEndsOnSigterm() {
    QProcess p;
    p.start(QStringLiteral(PKTGATE_SIM_EXE), {"--agw-port", "0", "--node-port", "0"});
    QVERIFY(p.waitForStarted(5000));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += p.readAllStandardOutput()).contains("cluster node on"), 5000);
    p.terminate();
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    out += p.readAllStandardOutput();
    QVERIFY2(out.contains("pktgate-sim summary:"), out.constData());
}

void TstSim::registration_data() {
    QTest::addColumn<bool>("split");
    QTest::addColumn<bool>("bytewise"); // the gateway writes its frames a byte at a time
    QTest::addColumn<QByteArray>("fixedCall");
    QTest::newRow("whole frames") << false << false << QByteArray();
    QTest::newRow("engine splits its frames") << true << false << QByteArray();
    QTest::newRow("gateway writes bytewise") << false << true << QByteArray();
    QTest::newRow("cluster call given") << false << false << QByteArray("GB7SIM");
}

void TstSim::registration() {
    QFETCH(bool, split);
    QFETCH(bool, bytewise);
    QFETCH(QByteArray, fixedCall);
    SimEngine engine;
    engine.setSplitFrames(split);
    engine.setClusterCall(fixedCall);
    QString error;
    QVERIFY(engine.listen(0, error));
    QSignalSpy registered(&engine, &SimEngine::gatewayRegistered);
    FakeGateway gw(engine.port());
    QVERIFY(gw.waitConnected());
    const QByteArray call = fixedCall.isEmpty() ? QByteArray("N0CALL-1") : fixedCall;
    QByteArray out = buildRegisterFrame(call) + buildFrame(0, 'R', "", "");
    if (!fixedCall.isEmpty()) out.prepend(buildRegisterFrame("OTHER")); // not the cluster call
    if (bytewise) {
        for (char c : out) {
            gw.send(QByteArray(1, c));
            QTest::qWait(0);
        }
    } else {
        gw.send(out);
    }
    QTRY_COMPARE_WITH_TIMEOUT(gw.frames.size(), fixedCall.isEmpty() ? 2 : 3, 5000);
    const QList<Frame> x = gw.ofKind('X', call);
    QCOMPARE(x.size(), 1);
    QCOMPARE(x[0].header.DataLen, 1u);
    QCOMPARE(x[0].data, QByteArray(1, '\1'));
    const QList<Frame> r = gw.ofKind('R');
    QCOMPARE(r.size(), 1);
    QCOMPARE(r[0].header.DataLen, 8u);
    QCOMPARE(registered.size(), 1);
    QCOMPARE(engine.clusterCall(), call);
    QVERIFY(engine.gatewayReady());
}

void TstSim::userFramesReachGateway() {
    SimEngine engine;
    QString error;
    QVERIFY(engine.listen(0, error));
    FakeGateway gw(engine.port());
    QVERIFY(gw.waitConnected());
    QVERIFY(!engine.connectUser("G4ABC", 3)); // nobody registered yet
    gw.send(buildRegisterFrame("N0CALL-1"));
    QTRY_VERIFY_WITH_TIMEOUT(engine.gatewayReady(), 5000);

    QVERIFY(engine.connectUser("G4ABC", 3));
    QVERIFY(!engine.connectUser("G4ABC", 3)); // already connected
    QVERIFY(engine.sendLine("G4ABC", "sh/dx"));
    QVERIFY(engine.disconnectUser("G4ABC"));
    QVERIFY(!engine.sendLine("G4ABC", "too late"));
    QTRY_COMPARE_WITH_TIMEOUT(gw.frames.size(), 4, 5000); // X answer, C, D, d

    const Frame& c = gw.frames[1];
    QCOMPARE(c.header.DataKind, 'C');
    QCOMPARE(c.header.Port, quint8(3));
    QCOMPARE(c.header.CallFrom, QByteArray("G4ABC"));
    QCOMPARE(c.header.CallTo, QByteArray("N0CALL-1"));
    QCOMPARE(c.data, QByteArray("*** CONNECTED To Station G4ABC\r\0", 32));
    const Frame& d = gw.frames[2];
    QCOMPARE(d.header.DataKind, 'D');
    QCOMPARE(d.header.Pid, quint8(0xF0));
    QCOMPARE(d.header.Port, quint8(3));
    QCOMPARE(d.header.CallFrom, QByteArray("G4ABC"));
    QCOMPARE(d.header.CallTo, QByteArray("N0CALL-1"));
    QCOMPARE(d.data, QByteArray("sh/dx\r"));
    const Frame& bye = gw.frames[3];
    QCOMPARE(bye.header.DataKind, 'd');
    QCOMPARE(bye.header.CallFrom, QByteArray("G4ABC"));
    QCOMPARE(bye.header.CallTo, QByteArray("N0CALL-1"));
}

void TstSim::radioPorts() {
    // An engine of two ports names them when asked, takes the callsign on the ports it has, and
    // a user on port 1 only once the gateway registered there. (tst_program runs the gateway
    // against it with users on both ports.)
    SimEngine engine;
    engine.setPorts(2);
    QString error;
    QVERIFY(engine.listen(0, error));
    QSignalSpy portSpy(&engine, &SimEngine::portRegistered);
    FakeGateway gw(engine.port());
    QVERIFY(gw.waitConnected());
    gw.send(buildRegisterFrame("GB7TC") + buildPortInfoRequest());
    QTRY_COMPARE_WITH_TIMEOUT(gw.frames.size(), 2, 5000);
    QCOMPARE(gw.frames[1].header.DataKind, 'G');
    const PortInfo info = readPortInfo(gw.frames[1].data);
    QCOMPARE(info.count, 2);
    QCOMPARE(info.descriptions.size(), 2);
    QVERIFY(engine.connectUser("G4ABC", 0));
    QVERIFY(!engine.connectUser("DL2XYZ", 1)); // port 1 is not registered yet

    gw.send(buildRegisterFrame("GB7TC", 1) + buildRegisterFrame("GB7TC", 2));
    QTRY_COMPARE_WITH_TIMEOUT(gw.ofKind('X').size(), 3, 5000);
    const QList<Frame> x = gw.ofKind('X');
    QCOMPARE(x[1].header.Port, quint8(1));
    QCOMPARE(x[1].data, QByteArray(1, '\1'));
    QCOMPARE(x[2].header.Port, quint8(2));
    QCOMPARE(x[2].data, QByteArray(1, '\0')); // the engine has no port 2
    QCOMPARE(portSpy.size(), 1);
    QVERIFY(engine.connectUser("DL2XYZ", 1));
}

void TstSim::gatewayDataReachesUser_data() {
    QTest::addColumn<QByteArrayList>("pieces"); // data of successive "D" frames to G4ABC
    QTest::addColumn<QByteArrayList>("lines");
    QTest::newRow("one line") << QByteArrayList{"Hello G4ABC\r"} << QByteArrayList{"Hello G4ABC"};
    QTest::newRow("two lines in a frame") << QByteArrayList{"a\rb\r"} << QByteArrayList{"a", "b"};
    QTest::newRow("line cut across frames")
        << QByteArrayList{"DX de K1A", "BC: 14025.0\r"} << QByteArrayList{"DX de K1ABC: 14025.0"};
    QTest::newRow("empty line") << QByteArrayList{"\r"} << QByteArrayList{""};
}

void TstSim::gatewayDataReachesUser() {
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArrayList, lines);
    SimEngine engine;
    QString error;
    QVERIFY(engine.listen(0, error));
    FakeGateway gw(engine.port());
    QVERIFY(gw.waitConnected());
    gw.send(buildRegisterFrame("N0CALL-1"));
    QTRY_VERIFY_WITH_TIMEOUT(engine.gatewayReady(), 5000);
    QVERIFY(engine.connectUser("G4ABC"));
    QSignalSpy got(&engine, &SimEngine::userLine);
    QByteArray out = buildFrame(0, 'D', "N0CALL-1", "NOBODY", "lost\r");
    for (const QByteArray& p : pieces)
        out += buildFrame(0, 'D', "N0CALL-1", "G4ABC", p);
    gw.send(out);
    QTRY_COMPARE_WITH_TIMEOUT(engine.counters().framesIn, quint64(2 + pieces.size()), 5000);
    QByteArrayList received;
    for (const QList<QVariant>& args : got) {
        QCOMPARE(args[0].toByteArray(), QByteArray("G4ABC"));
        received.append(args[1].toByteArray());
    }
    QCOMPARE(received, lines);
    QCOMPARE(engine.counters().framesDropped, quint64(1)); // the frame for NOBODY
}

void TstSim::gatewayDisconnect() {
    SimEngine engine;
    QString error;
    QVERIFY(engine.listen(0, error));
    FakeGateway gw(engine.port());
    QVERIFY(gw.waitConnected());
    gw.send(buildRegisterFrame("N0CALL-1"));
    QTRY_VERIFY_WITH_TIMEOUT(engine.gatewayReady(), 5000);
    QVERIFY(engine.connectUser("DL2XYZ", 1));
    QSignalSpy gone(&engine, &SimEngine::userGone);
    // A disconnect for a station that is not connected gets no answer; the known one does.
    gw.send(buildFrame(1, 'd', "N0CALL-1", "NOBODY") + buildFrame(1, 'd', "N0CALL-1", "DL2XYZ"));
    QTRY_COMPARE_WITH_TIMEOUT(gw.ofKind('d').size(), 1, 5000);
    QTest::qWait(50);
    QCOMPARE(gw.frames.size(), 3); // X answer, C, one d
    const Frame d = gw.ofKind('d').first();
    QCOMPARE(d.header.Port, quint8(1));
    QCOMPARE(d.header.CallFrom, QByteArray("DL2XYZ"));
    QCOMPARE(d.header.CallTo, QByteArray("N0CALL-1"));
    QCOMPARE(d.data, QByteArray("*** DISCONNECTED From Station DL2XYZ\r\0", 38));
    QCOMPARE(gone.size(), 1);
    QCOMPARE(gone[0][1].toBool(), true);
    QVERIFY(!engine.hasUser("DL2XYZ"));
}

void TstSim::engineDropsBrokenStream_data() {
    QTest::addColumn<quint32>("dataLen"); // announced by the header
    QTest::addColumn<bool>("dropped");
    QTest::newRow("at the limit") << FrameAssembler::kMaxDataLen << false;
    QTest::newRow("one past the limit") << FrameAssembler::kMaxDataLen + 1 << true;
    QTest::newRow("garbage length") << quint32(0xff000000) << true;
}

void TstSim::engineDropsBrokenStream() {
    QFETCH(quint32, dataLen);
    QFETCH(bool, dropped);
    SimEngine engine;
    QString error;
    QVERIFY(engine.listen(0, error));
    FakeGateway gw(engine.port());
    QVERIFY(gw.waitConnected());
    gw.send(buildRegisterFrame("N0CALL-1"));
    QTRY_VERIFY_WITH_TIMEOUT(engine.gatewayReady(), 5000);
    QByteArray header = buildFrame(0, 'D', "N0CALL-1", "G4ABC");
    for (int i = 0; i < 4; ++i)
        header[28 + i] = char((dataLen >> (8 * i)) & 0xff);
    gw.send(header);
    if (dropped) {
        QTRY_COMPARE_WITH_TIMEOUT(gw.socket.state(), QAbstractSocket::UnconnectedState, 5000);
        QVERIFY(!engine.gatewayReady());
        return;
    }
    // The largest frame the engine takes: it comes in whole and the gateway stays.
    gw.send(QByteArray(qsizetype(dataLen), 'x'));
    QTRY_COMPARE_WITH_TIMEOUT(engine.counters().framesIn, quint64(2), 5000);
    QCOMPARE(engine.counters().framesDropped, quint64(1)); // G4ABC is not connected
    QCOMPARE(gw.socket.state(), QAbstractSocket::ConnectedState);
    QVERIFY(engine.gatewayReady());
}

void TstSim::nodeSession_data() {
    QTest::addColumn<QByteArrayList>("sent"); // after the callsign line
    QTest::addColumn<int>("replyLines");
    QTest::addColumn<QByteArray>("lastLine");
    QTest::newRow("echo") << QByteArrayList{"hello there\r\n"} << 1 << QByteArray("hello there");
    QTest::newRow("keep-alive gets no answer")
        << QByteArrayList{" \r\n", "ping\r\n"} << 1 << QByteArray("ping");
    QTest::newRow("sh/dx lists spots then prompts")
        << QByteArrayList{"SH/DX\r\n"} << 6 << QByteArray("G4ABC de SIMNODE >");
    QTest::newRow("command in pieces")
        << QByteArrayList{"sh/", "dx\r", "\n"} << 6 << QByteArray("G4ABC de SIMNODE >");
}

void TstSim::nodeSession() {
    QFETCH(QByteArrayList, sent);
    QFETCH(int, replyLines);
    QFETCH(QByteArray, lastLine);
    SimNode node;
    QString error;
    QVERIFY(node.listen(0, error));
    NodeClient c(node.port());
    QVERIFY(c.socket.waitForConnected(3000));
    c.socket.write("G4A");
    c.socket.flush();
    QTest::qWait(20);
    c.socket.write("BC\r\n");
    const QByteArrayList greeting{"Hello G4ABC, this is the simulated cluster node",
                                  "G4ABC de SIMNODE >"};
    QTRY_COMPARE_WITH_TIMEOUT(c.lines(), greeting, 5000);
    for (const QByteArray& s : sent) {
        c.socket.write(s);
        c.socket.flush();
        QTest::qWait(10);
    }
    QTRY_COMPARE_WITH_TIMEOUT(c.lines().size(), 2 + replyLines, 5000);
    QTest::qWait(50);
    const QByteArrayList lines = c.lines();
    QCOMPARE(lines.size(), 2 + replyLines);
    QCOMPARE(lines.last(), lastLine);
    if (replyLines == 6) QVERIFY(lines[2].contains("Z "));
    QCOMPARE(node.counters().logins, quint64(1));
}

void TstSim::nodeByeCloses() {
    SimNode node;
    QString error;
    QVERIFY(node.listen(0, error));
    QSignalSpy left(&node, &SimNode::userLeft);
    NodeClient c(node.port());
    QVERIFY(c.socket.waitForConnected(3000));
    // After the PROXY line a gateway may send first.
    c.socket.write("PROXY TCP4 192.0.2.1 127.0.0.1 1 2\r\nG4ABC\r\nbye\r\nafter bye\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(c.socket.state(), QAbstractSocket::UnconnectedState, 5000);
    QVERIFY(c.lines().first().startsWith("Hello G4ABC,"));
    QVERIFY(c.lines().last().startsWith("73 de SIMNODE"));
    QTRY_COMPARE_WITH_TIMEOUT(left.size(), 1, 5000);
    QCOMPARE(node.loggedIn(), 0);
}

void TstSim::spotsOnlyToLoggedIn() {
    SimNode node;
    QString error;
    QVERIFY(node.listen(0, error));
    NodeClient in(node.port());
    NodeClient waiting(node.port()); // connected, no callsign line yet
    QVERIFY(in.socket.waitForConnected(3000));
    QVERIFY(waiting.socket.waitForConnected(3000));
    in.socket.write("G4ABC\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(in.lines().size(), 2, 5000);
    node.setSpotRate(50);
    QTRY_VERIFY_WITH_TIMEOUT(in.lines().size() >= 5, 5000);
    node.setSpotRate(0);
    for (qsizetype i = 2; i < in.lines().size(); ++i)
        QVERIFY(in.lines()[i].startsWith("DX de "));
    QVERIFY(waiting.received.isEmpty());
}

void TstSim::loadUsers() {
    SimEngine engine;
    QString error;
    QVERIFY(engine.listen(0, error));
    SimUsers users(&engine, 3, 2, 0, 5);
    SimUsers::Timing t;
    t.leaveMs = 50;
    users.setTiming(t);
    QSignalSpy done(&users, &SimUsers::loadDone);
    FakeGateway gw(engine.port());
    QVERIFY(gw.waitConnected());
    gw.send(buildRegisterFrame("N0CALL-1"));
    // Like the gateway once the node greets: a line to each user that connects.
    QTRY_COMPARE_WITH_TIMEOUT(gw.ofKind('C').size(), 3, 5000);
    QTest::qWait(50);
    QVERIFY(gw.ofKind('D').isEmpty()); // nobody types before the greeting
    for (const Frame& c : gw.ofKind('C'))
        gw.send(buildFrame(c.header.Port, 'D', "N0CALL-1", c.header.CallFrom, "Hello\r"));
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 5000);
    for (int i = 0; i < 3; ++i) {
        const QByteArray call = SimUsers::loadCall(i);
        QCOMPARE(gw.ofKind('C', call).size(), 1);
        QCOMPARE(gw.ofKind('C', call)[0].header.Port, quint8(5));
        const QList<Frame> d = gw.ofKind('D', call);
        QCOMPARE(d.size(), 2);
        QCOMPARE(d[1].data, call + " line 2 of 2\r");
        QCOMPARE(gw.ofKind('d', call).size(), 1);
    }
    QCOMPARE(engine.userCount(), 0);
}

void TstSim::demoRound() {
    SimEngine engine;
    QString error;
    QVERIFY(engine.listen(0, error));
    SimUsers users(&engine, -1, 0, 0, 0);
    users.setTiming({10, 2000, 10, 10, 10, 100});
    FakeGateway gw(engine.port());
    QVERIFY(gw.waitConnected());
    const QByteArrayList calls = SimUsers::demoCalls();
    // Greets every user that connects, and disconnects the one that says "bye", as the gateway
    // does when the node closes.
    qsizetype seen = 0;
    QObject::connect(&gw.socket, &QTcpSocket::readyRead, &gw.socket, [&gw, &seen] {
        for (; seen < gw.frames.size(); ++seen) {
            const AgwHeader& h = gw.frames[seen].header;
            if (h.DataKind == 'C')
                gw.send(buildFrame(h.Port, 'D', "N0CALL-1", h.CallFrom, "Hello\r"));
            if (h.DataKind == 'D' && gw.frames[seen].data == "bye\r")
                gw.send(buildFrame(h.Port, 'd', "N0CALL-1", h.CallFrom));
        }
    });
    gw.send(buildRegisterFrame("N0CALL-1"));
    // A second round starts once everyone has left.
    QTRY_VERIFY_WITH_TIMEOUT(gw.ofKind('C', calls.first()).size() == 2, 10000);
    qsizetype secondRound = 0;
    for (int connects = 0; connects < 2; ++secondRound) {
        const AgwHeader& h = gw.frames[secondRound].header;
        if (h.DataKind == 'C' && h.CallFrom == calls.first()) ++connects;
    }
    gw.frames = gw.frames.mid(0, secondRound - 1); // the first round alone
    for (const QByteArray& call : calls) {
        QByteArrayList typed;
        for (const Frame& f : gw.ofKind('D', call))
            typed.append(f.data);
        const QByteArrayList expected{"sh/dx\r", "hello from " + call + '\r'};
        QCOMPARE(typed.mid(0, 2), expected);
        QCOMPARE(gw.ofKind('d', call).size(), 1); // left on its own, or the engine's answer
    }
    QCOMPARE(gw.ofKind('D', calls.first()).size(), 3);
    QCOMPARE(gw.ofKind('D', calls.first())[2].data, QByteArray("bye\r"));
}

void TstSim::radioCalibration() {
    // Direwolf 1.6 at 1200 baud aired 200 frames of about 80 bytes in about 172 s.
    const double ms = airTimeMs(RadioTiming(), QList<qsizetype>(200, 80));
    QVERIFY2(ms > 172000 * 0.95 && ms < 172000 * 1.05, qPrintable(QString::number(ms)));
    // Without a radio nothing takes time on air.
    RadioTiming none;
    none.baud = 0;
    QCOMPARE(airMs(none, 1000), 0.0);
}

void TstSim::outstandingAnswers_data() {
    QTest::addColumn<int>("baud");         // 0: no radio
    QTest::addColumn<bool>("reconnected"); // the user left and came back before the frames
    QTest::addColumn<bool>("otherClient"); // the question comes on another connection
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("answer"); // -1: none
    // Three frames for G4ABC on port 1 are held (a slow radio keeps them for seconds).
    QTest::newRow("cluster call to the user")
        << 300 << false << false << QByteArray("GB7TC") << QByteArray("G4ABC") << 1 << 3;
    QTest::newRow("calls the other way round")
        << 300 << false << false << QByteArray("G4ABC") << QByteArray("GB7TC") << 1 << 0;
    QTest::newRow("station without a link")
        << 300 << false << false << QByteArray("GB7TC") << QByteArray("GB7TC") << 0 << 0;
    QTest::newRow("another port") << 300 << false << false << QByteArray("GB7TC")
                                  << QByteArray("G4ABC") << 2 << 0;
    QTest::newRow("a client that does not own the link")
        << 300 << false << true << QByteArray("GB7TC") << QByteArray("G4ABC") << 1 << 0;
    QTest::newRow("after a reconnect: a window too many")
        << 300 << true << false << QByteArray("GB7TC") << QByteArray("G4ABC") << 1 << 7;
    QTest::newRow("no radio: no answer")
        << 0 << false << false << QByteArray("GB7TC") << QByteArray("G4ABC") << 1 << -1;
}

void TstSim::outstandingAnswers() {
    QFETCH(int, baud);
    QFETCH(bool, reconnected);
    QFETCH(bool, otherClient);
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(int, port);
    QFETCH(int, answer);
    RadioTiming radio;
    radio.baud = baud;
    EngineBench b(radio);
    QVERIFY(b.registered());
    QVERIFY(b.engine.connectUser("G4ABC", 1));
    if (reconnected) {
        QVERIFY(b.engine.disconnectUser("G4ABC"));
        QVERIFY(b.engine.connectUser("G4ABC", 1));
    }
    QSignalSpy aired(&b.engine, &SimEngine::frameAired);
    for (int i = 0; i < 3; ++i)
        b.gw->send(buildFrame(1, 'D', "GB7TC", "G4ABC", "line\r"));
    QTRY_COMPARE_WITH_TIMEOUT(b.engine.counters().framesIn, quint64(4), 5000);
    QCOMPARE(aired.size(), baud > 0 ? 0 : 3);

    FakeGateway other(b.engine.port());
    QVERIFY(other.waitConnected());
    FakeGateway& asker = otherClient ? other : *b.gw;
    const qsizetype before = asker.frames.size();
    asker.send(buildFrame(quint8(port), 'Y', from, to));
    if (answer < 0) {
        QTest::qWait(100);
        QCOMPARE(asker.frames.size(), before);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(asker.ofKind('Y').size(), 1, 5000);
    const Frame y = asker.ofKind('Y').first();
    QCOMPARE(y.header.Port, quint8(port));
    QCOMPARE(y.header.CallFrom, from);
    QCOMPARE(y.header.CallTo, to);
    QCOMPARE(y.header.DataLen, 4u);
    QCOMPARE(y.data, QByteArray(1, char(answer)) + QByteArray(3, '\0')); // little-endian
    QVERIFY(aired.isEmpty()); // the answer came while the frames were still held
}

void TstSim::radioAirsInOrder() {
    // A user reads a frame only once it has aired, in order; a reconnect's extra window goes
    // with the first new frame; the gateway's "d" drops what is still queued.
    EngineBench b(fastRadio());
    QVERIFY(b.registered());
    QVERIFY(b.engine.connectUser("G4ABC"));
    QVERIFY(b.engine.disconnectUser("G4ABC"));
    QVERIFY(b.engine.connectUser("G4ABC"));
    QSignalSpy lines(&b.engine, &SimEngine::userLine);
    QSignalSpy arrived(&b.engine, &SimEngine::frameArrived);
    QByteArray out;
    for (int i = 0; i < 10; ++i)
        out += buildFrame(0, 'D', "GB7TC", "G4ABC", "line " + QByteArray::number(i) + '\r');
    b.gw->send(out);
    QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), 10, 5000);
    QCOMPARE(arrived.last()[2].toInt(), 10); // all ten held at once
    QTRY_COMPARE_WITH_TIMEOUT(lines.size(), 10, 5000);
    for (int i = 0; i < 10; ++i)
        QCOMPARE(lines[i][1].toByteArray(), "line " + QByteArray::number(i));
    QCOMPARE(b.engine.outstanding("G4ABC"), 0);
    b.gw->send(buildFrame(0, 'Y', "GB7TC", "G4ABC"));
    QTRY_COMPARE_WITH_TIMEOUT(b.gw->ofKind('Y').size(), 1, 5000);
    QCOMPARE(b.gw->ofKind('Y').first().data, QByteArray(4, '\0'));

    // A long queue, cut short by the gateway's "d".
    RadioTiming slow = fastRadio();
    slow.baud = 1200;
    EngineBench c(slow);
    QVERIFY(c.registered());
    QVERIFY(c.engine.connectUser("G4ABC"));
    QSignalSpy cut(&c.engine, &SimEngine::frameAired);
    out.clear();
    for (int i = 0; i < 20; ++i)
        out += buildFrame(0, 'D', "GB7TC", "G4ABC", QByteArray(100, 'x'));
    c.gw->send(out + buildFrame(0, 'd', "GB7TC", "G4ABC"));
    QTRY_COMPARE_WITH_TIMEOUT(c.gw->ofKind('d').size(), 1, 5000);
    QCOMPARE(c.engine.outstandingTotal(), 0);
    QTest::qWait(50);
    QVERIFY(cut.isEmpty());
}

void TstSim::nodeFlood() {
    // The flood and the stream come after the greeting, as whole CR LF lines, and the node
    // reports every byte it wrote.
    SimNode node;
    node.setFlood(2000);
    node.setStream(1000, 0.2);
    QString error;
    QVERIFY(node.listen(0, error));
    QByteArray written;
    connect(&node, &SimNode::wrote, this,
            [&written](const QByteArray&, const QByteArray& bytes, SimNode::Kind) {
                written += bytes;
            });
    NodeClient c(node.port());
    QVERIFY(c.socket.waitForConnected(3000));
    c.socket.write("G4ABC\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(c.received.size() >= 3000 && node.streaming() == 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(c.received.size(), written.size(), 5000);
    QCOMPARE(c.received, written);
    const QByteArrayList lines = c.lines();
    QVERIFY(lines.size() > 30);
    QCOMPARE(lines[0], QByteArray("Hello G4ABC, this is the simulated cluster node"));
    QVERIFY(lines[2].contains('<')); // an "sh/dx" line
}

void TstSim::recordChecksText_data() {
    QTest::addColumn<QByteArrayList>("aired"); // frames that aired for the second session
    QTest::addColumn<QString>("text");
    QTest::newRow("all, as the gateway cuts it")
        << QByteArrayList{"new 1\rne", "w 2\r"} << QStringLiteral("complete");
    QTest::newRow("not all yet") << QByteArrayList{"new 1\r"} << QStringLiteral("short");
    QTest::newRow("old session's text")
        << QByteArrayList{"old 2\r", "new 1\r"} << QStringLiteral("wrong at byte 0");
    QTest::newRow("a byte lost") << QByteArrayList{"new 1\r", "ew 2\r"}
                                 << QStringLiteral("wrong at byte 6");
}

void TstSim::recordChecksText() {
    QFETCH(QByteArrayList, aired);
    QFETCH(QString, text);
    TrafficRecord r;
    r.engineConnect("G4ABC", 0);
    r.nodeLogin("G4ABC", 1);
    r.nodeWrote("G4ABC", "old 1\r\nold 2\r\n", false, 2);
    r.engineGone("G4ABC", true, 3);
    r.nodeClosed("G4ABC", 5);
    // The same user again: its text is checked against what the node wrote the second time.
    r.engineConnect("G4ABC", 10);
    r.nodeLogin("G4ABC", 11);
    r.nodeWrote("G4ABC", "new 1\r\n", false, 12);
    r.nodeWrote("G4ABC", "new 2\r\n", true, 13);
    double ms = 20;
    for (const QByteArray& f : aired) {
        r.engineArrived("G4ABC", f, 1, ms);
        r.engineAired("G4ABC", f, ms);
        ms += 10;
    }
    const TrafficRecord::Session* s = r.session("G4ABC", 2);
    QVERIFY(s);
    QCOMPARE(r.report(ms)[QStringLiteral("sessions")]
                 .toArray()[1]
                 .toObject()[QStringLiteral("text")]
                 .toString(),
             text);
    QCOMPARE(r.session("G4ABC", 1)->nodeClosedMs - r.session("G4ABC", 1)->userLeftMs, 2.0);
    if (text == QStringLiteral("complete")) {
        // Both writes start in the first frame, which came at 20.
        QCOMPARE(r.latencies(), (std::vector<double>{8, 7}));
        QVERIFY(r.allAired());
    }
}

QTEST_GUILESS_MAIN(TstSim)
#include "tst_sim.moc"

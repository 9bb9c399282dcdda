// The program's command line, read without starting anything, and the real executable run from
// outside: its exit codes and texts, a headless run against a fake engine and node, every radio
// port of the simulator's engine registered, and the probe of the engine and the node.
#include "service/ProgramOptions.h"
#include "support/Peers.h"
#include "tools/Simulator.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>
#include <csignal>
#include <unistd.h>

namespace {

// The environment of a run without a display.
QProcessEnvironment noDisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

// One line of what was parsed, to compare with a table; the node's options when given.
QString summary(const ProgramOptions& o) {
    QString s = QStringLiteral("dir=%1 headless=%2 probe=%3 ports=%4 status=%5 platform=%6")
                    .arg(o.directory)
                    .arg(o.headless)
                    .arg(o.probe)
                    .arg(o.allPorts)
                    .arg(o.status ? addressText(o.status->address, o.status->port) : QString())
                    .arg(o.platform);
    if (o.refusedCalls.size()) s += QStringLiteral(" refused=%1").arg(o.refusedCalls.size());
    if (o.proxySource) s += QStringLiteral(" proxy=") + o.proxySource->toString();
    return s;
}

// The gateway executable, started with its own directory.
struct Run {
    explicit Run(const QStringList& args, const QByteArray& cfg = {}) {
        if (!cfg.isNull()) dir.write(QStringLiteral("pktgate.cfg"), cfg);
        process.setProcessEnvironment(noDisplay());
        process.start(QStringLiteral(PKTGATE_EXE),
                      QStringList{QStringLiteral("--dir"), dir.path()} + args);
    }
    ~Run() {
        if (process.state() != QProcess::NotRunning) process.kill();
        process.waitForFinished(5000);
    }
    // Waits for text on standard error.
    bool said(const QByteArray& text) {
        return waitUntil([&] { return (err += process.readAllStandardError()).contains(text); },
                         10000);
    }
    // The status server's port, from what it said.
    quint16 statusPort() {
        said("status page on http://127.0.0.1:");
        const qsizetype at = err.indexOf("http://127.0.0.1:") + 17;
        return quint16(err.mid(at, err.indexOf('/', at) - at).toUInt());
    }
    // SIGTERM; the exit code, or -1.
    int terminate() {
        process.terminate();
        if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        err += process.readAllStandardError();
        return process.exitCode();
    }

    TempDir dir;
    QProcess process;
    QByteArray err;
};

// A peer that says its words to every connection, then reads and ignores what comes.
struct Speaker {
    explicit Speaker(const QByteArray& words) {
        server.listenLocal(0, [words](QTcpSocket* s) {
            s->write(words);
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->readAll(); });
        });
    }
    quint16 port() const { return server.serverPort(); }
    sim::PeerServer server;
};

// A port of 127.0.0.1 where nothing listens.
quint16 closedPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

QJsonObject statusOf(quint16 port) {
    return QJsonDocument::fromJson(httpGet(port, "/status.json").body).object();
}

} // namespace

class tst_program : public QObject {
    Q_OBJECT
private slots:
    void terminationSignals_data();
    void terminationSignals();
    void options_data();
    void options();
    void display_data();
    void display();
    void exitCodes_data();
    void exitCodes();
    void headlessRun();
    void everyRadioPort();
    void probe_data();
    void probe();
};

// SIGTERM ends the program in order whenever it comes: in a burst every half millisecond until
// the program is gone (with its window, or headless), or sent before the program could take it
// (blocked by whoever started it). Exit code 0, "Program terminated" once and last, pktgate.cfg
// as it was.
void tst_program::terminationSignals_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("early");
    QTest::newRow("a burst, with the window") << QStringList{"-platform", "offscreen"} << false;
    QTest::newRow("a burst, headless") << QStringList{"--headless"} << false;
    QTest::newRow("before the start") << QStringList{"--headless"} << true;
}

void tst_program::terminationSignals() {
    QFETCH(QStringList, args);
    QFETCH(bool, early);
    const QByteArray cfg = "\"Cluster Call\",\"GB7TC\"\r\n\"AGW Port\",\"1\"\r\n";
    TempDir dir;
    dir.write(QStringLiteral("pktgate.cfg"), cfg);
    QProcess p;
    p.setProcessEnvironment(noDisplay());
    if (early)
        p.setChildProcessModifier([] {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGTERM);
            ::sigprocmask(SIG_BLOCK, &set, nullptr);
        });
    p.start(QStringLiteral(PKTGATE_EXE), QStringList{QStringLiteral("--dir"), dir.path()} + args);
    QVERIFY(p.waitForStarted(5000));
    if (early) {
        ::kill(pid_t(p.processId()), SIGTERM);
    } else {
        QVERIFY(waitUntil([&] { return dir.logEntries().size() >= 2; }, 10000));
        QElapsedTimer t;
        t.start();
        while (p.state() != QProcess::NotRunning && t.elapsed() < 10000) {
            ::kill(pid_t(p.processId()), SIGTERM);
            ::usleep(500);
            QCoreApplication::processEvents();
        }
    }
    QVERIFY(p.state() == QProcess::NotRunning || p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    const QStringList log = dir.logEntries();
    QCOMPARE(log.filter(QStringLiteral("Program terminated")).size(), 1);
    QVERIFY2(log.last().startsWith(QStringLiteral("Program terminated ")), qPrintable(log.last()));
    QCOMPARE(dir.read(QStringLiteral("pktgate.cfg")), cfg);
}

void tst_program::options_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("expect"); // the summary, or a part of the message
    using R = OptionsResult;
    const QString none = QStringLiteral("dir= headless=0 probe=0 ports=1 status= platform=");
    QTest::newRow("none") << QStringList{} << int(R::Run) << none;
    QTest::newRow("Qt's window options are left to Qt")
        << QStringList{"-platform", "offscreen", "-style", "fusion", "-reverse"} << int(R::Run)
        << "dir= headless=0 probe=0 ports=1 status= platform=offscreen";
    QTest::newRow("all")
        << QStringList{"--headless", "--port-0-only",           "--dir",
                       "/tmp/./pg/", "--status=127.0.0.1:8080", "--probe"}
        << int(R::Run) << "dir=/tmp/pg headless=1 probe=1 ports=0 status=127.0.0.1:8080 platform=";
    QTest::newRow("IPv6, any port") << QStringList{"--status", "[::1]:0"} << int(R::Run)
                                    << "dir= headless=0 probe=0 ports=1 status=[::1]:0 platform=";
    QTest::newRow("no address") << QStringList{"--status", "8080"} << int(R::Error)
                                << "--status: \"8080\"";
    QTest::newRow("host name") << QStringList{"--status", "localhost:80"} << int(R::Error)
                               << "numeric address";
    QTest::newRow("IPv6 without brackets")
        << QStringList{"--status", "::1:80"} << int(R::Error) << "--status";
    QTest::newRow("port too large")
        << QStringList{"--status", "127.0.0.1:65536"} << int(R::Error) << "--status";
    QTest::newRow("empty dir") << QStringList{"--dir="} << int(R::Error) << "--dir";
    QTest::newRow("refused calls, twice")
        << QStringList{"--refuse-calls", "G4ABC, G4ABC-1", "--refuse-calls=M0XYZ"} << int(R::Run)
        << none + " refused=3";
    QTest::newRow("a bad refused call")
        << QStringList{"--refuse-calls", "G4ABC,G4ABC-16"} << int(R::Error)
        << "--refuse-calls: \"G4ABC-16\" is not a callsign";
    QTest::newRow("an empty refused call")
        << QStringList{"--refuse-calls", "G4ABC,,M0XYZ"} << int(R::Error) << "\"\" is not";
    QTest::newRow("PROXY line") << QStringList{"--node-proxy-header"} << int(R::Run)
                                << none + " proxy=0.0.0.0";
    QTest::newRow("PROXY line with an address")
        << QStringList{"-node-proxy-header=10.0.0.1"} << int(R::Run) << none + " proxy=10.0.0.1";
    QTest::newRow("PROXY line, loopback") << QStringList{"--node-proxy-header=127.0.0.2"}
                                          << int(R::Error) << "--node-proxy-header: \"127.0.0.2\"";
    QTest::newRow("PROXY line, IPv6 loopback")
        << QStringList{"--node-proxy-header=::1"} << int(R::Error) << "\"::1\"";
    QTest::newRow("PROXY line, no address")
        << QStringList{"--node-proxy-header=nowhere"} << int(R::Error) << "\"nowhere\"";
    QTest::newRow("PROXY line's address given apart")
        << QStringList{"--node-proxy-header", "10.0.0.1"} << int(R::Error) << "\"10.0.0.1\"";
    QTest::newRow("stray") << QStringList{"now"} << int(R::Error) << "\"now\"";
}

void tst_program::options() {
    QFETCH(QStringList, args);
    QFETCH(int, result);
    QFETCH(QString, expect);
    ProgramOptions o;
    QString message;
    const OptionsResult r = parseProgramOptions(QStringList{"pktgate"} + args, o, message);
    QCOMPARE(int(r), result);
    if (r == OptionsResult::Run)
        QCOMPARE(summary(o), expect);
    else
        QVERIFY2(message.contains(expect), qPrintable(message));
}

void tst_program::display_data() {
    QTest::addColumn<QString>("platform"); // the -platform option
    QTest::addColumn<QStringList>("env");  // NAME=VALUE
    QTest::addColumn<bool>("available");
    QTest::newRow("nothing") << QString() << QStringList{} << false;
    QTest::newRow("X11") << QString() << QStringList{"DISPLAY=:0"} << true;
    QTest::newRow("Wayland") << QString() << QStringList{"WAYLAND_DISPLAY=wayland-0"} << true;
    QTest::newRow("offscreen with parameters")
        << QString() << QStringList{"QT_QPA_PLATFORM=offscreen:fontengine=freetype"} << true;
    QTest::newRow("xcb asked for") << QString() << QStringList{"QT_QPA_PLATFORM=xcb"} << false;
    QTest::newRow("a list") << QString() << QStringList{"QT_QPA_PLATFORM=wayland;xcb"} << false;
    QTest::newRow("the option first")
        << QStringLiteral("xcb") << QStringList{"QT_QPA_PLATFORM=offscreen"} << false;
}

void tst_program::display() {
    QFETCH(QString, platform);
    QFETCH(QStringList, env);
    QFETCH(bool, available);
    QProcessEnvironment e;
    for (const QString& pair : env)
        e.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    QCOMPARE(displayAvailable(platform, e), available);
}

void tst_program::exitCodes_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArrayList>("err");
    QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("Usage: pktgate [options]")
                          << QByteArrayList{};
    QTest::newRow("version") << QStringList{"--version"} << 0 << QByteArray("pktgate 1.023C\n")
                             << QByteArrayList{};
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << QByteArray()
                                    << QByteArrayList{"Unknown option 'bogus'", "Usage: pktgate"};
    QTest::newRow("bad value") << QStringList{"--status", "nowhere"} << 2 << QByteArray()
                               << QByteArrayList{"--status: \"nowhere\"", "--dir <DIR>"};
    QTest::newRow("bad refused call")
        << QStringList{"--refuse-calls", "G4ABC,SYS OP"} << 2 << QByteArray()
        << QByteArrayList{"pktgate: --refuse-calls: \"SYS OP\" is not a callsign", "Usage:"};
    QTest::newRow("loopback PROXY source")
        << QStringList{"--node-proxy-header=127.0.0.1"} << 2 << QByteArray()
        << QByteArrayList{"pktgate: --node-proxy-header: \"127.0.0.1\"", "Usage:"};
    QTest::newRow("missing directory")
        << QStringList{"--dir", "/nonexistent/pktgate"} << 2 << QByteArray()
        << QByteArrayList{"--dir: /nonexistent/pktgate does not exist"};
    QTest::newRow("a file for a directory") << QStringList{"--dir", PKTGATE_EXE} << 2
                                            << QByteArray() << QByteArrayList{"is not a directory"};
}

void tst_program::exitCodes() {
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QByteArray, out);
    QFETCH(QByteArrayList, err);
    QProcess p;
    p.start(QStringLiteral(PKTGATE_EXE), args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), code);
    const QByteArray stdOut = p.readAllStandardOutput(), stdErr = p.readAllStandardError();
    QVERIFY2(out.isEmpty() ? stdOut.isEmpty() : stdOut.startsWith(out), stdOut.constData());
    for (const QByteArray& text : err)
        QVERIFY2(stdErr.contains(text), stdErr.constData());
}

void tst_program::headlessRun() {
    // Without a display and without --headless: said once, then the same gateway headless.
    FakeEngine engine;
    engine.keepFrames = true;
    FakeNode node;
    const QByteArray cfg = settingsFor(engine.port(), node.port());
    Run gw({"--status", "127.0.0.1:0"}, cfg);
    QVERIFY(gw.said("running headless, as with --headless"));
    const quint16 port = gw.statusPort();
    QVERIFY(engine.registered());
    engine.send(connectFrame("G4ABC"));
    QVERIFY(node.waitFor("G4ABC"));
    const QJsonArray users = statusOf(port)[QStringLiteral("users")].toArray();
    QCOMPARE(users.size(), 1);
    QCOMPARE(users[0].toObject()[QStringLiteral("callsign")].toString(), QStringLiteral("G4ABC"));
    // Every log line goes to standard error as well.
    QVERIFY(gw.said("Program Started"));

    // SIGTERM: the link is closed with no frame sent before it, the end logged last, the
    // settings file left as it was.
    const qint64 frames = engine.frames;
    QVERIFY2(gw.terminate() == 0, gw.err.right(3000).constData());
    QVERIFY(
        waitUntil([&] { return engine.link->state() != QAbstractSocket::ConnectedState; }, 5000));
    QVERIFY(waitUntil([&] { return node.of("G4ABC")->ended; }, 5000));
    QCOMPARE(engine.frames, frames);
    // The registration on port 0 and the question for the engine's ports, which this engine does
    // not answer: nothing more.
    QCOMPARE(engine.kept.value(0), buildRegisterFrame("GB7TC"));
    QCOMPARE(engine.kept.value(1), buildPortInfoRequest());
    QCOMPARE(engine.registrations, 1);
    const QStringList log = gw.dir.logEntries();
    QVERIFY2(log.last().startsWith(QStringLiteral("Program terminated ")), qPrintable(log.last()));
    QCOMPARE(gw.dir.read(QStringLiteral("pktgate.cfg")), cfg);
    QVERIFY(gw.err.contains("Program terminated"));
}

void tst_program::everyRadioPort() {
    // The simulator's engine of two ports, four users taking them in turn: the users on port 1
    // are let in only once the gateway has registered there.
    sim::SimOptions o;
    o.agwPort = o.nodePort = 0;
    o.ports = 2;
    o.users = 4;
    o.linesPerUser = 3;
    o.rate = 0;
    o.spotRate = 0;
    sim::Simulator simulator(o);
    QString error;
    QVERIFY2(simulator.start(error), qPrintable(error));
    Run gw({"--headless", "--status", "127.0.0.1:0"},
           settingsFor(simulator.engine()->port(), simulator.node()->port()));
    const quint16 port = gw.statusPort();
    QVERIFY(waitUntil([&] { return simulator.node()->counters().linesIn == 12; }, 20000));
    QVERIFY(simulator.engine()->registeredOn(1));
    QCOMPARE(simulator.node()->counters().logins, 4u);
    QCOMPARE(simulator.engine()->counters().framesDropped, 0u);
    const QJsonObject st = statusOf(port);
    QCOMPARE(st[QStringLiteral("link")].toObject()[QStringLiteral("ports")].toInt(), 2);
    QSet<int> ports;
    for (const QJsonValue& u : st[QStringLiteral("users")].toArray())
        ports << u.toObject()[QStringLiteral("port")].toInt();
    QCOMPARE(ports, (QSet<int>{0, 1}));
    QCOMPARE(gw.terminate(), 0);
}

// --probe against the simulator and against each thing that goes wrong: one line for the
// settings, one for the engine, one for the node; exit code 0 only when both answered. Nothing is
// registered, nobody logged in, no file written (error.log included).
void tst_program::probe_data() {
    QTest::addColumn<QString>("engine"); // sim, down, garbage, unresolvable
    QTest::addColumn<QString>("node");   // sim, down, login
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("lines"); // %E, %N: the engine's and the node's port
    const QString simEngine =
        QStringLiteral("engine 127.0.0.1:%E: AGW version 2000.1; 1 radio port: \"Port1 Simulated "
                       "radio port 1\"");
    const QString login = QStringLiteral("node 127.0.0.1:%N: answered \"login: \" — a user port");
    QTest::newRow("the simulator")
        << "sim"
        << "sim" << 0
        << QStringList{"settings %D/pktgate.cfg: Cluster Call \"GB7TC\", engine 127.0.0.1:%E, "
                       "node 127.0.0.1:%N",
                       simEngine,
                       "node 127.0.0.1:%N: connected, said nothing within 2 s — it waits for the "
                       "callsign, which the gateway sends first"};
    QTest::newRow("a node with a login prompt") << "sim"
                                                << "login" << 0 << QStringList{login};
    QTest::newRow("engine down")
        << "down"
        << "login" << 1
        << QStringList{"engine 127.0.0.1:%E: connection refused — is the AGW server on? (\"AGW "
                       "Port\" in pktgate.cfg)",
                       login};
    QTest::newRow("node down") << "sim"
                               << "down" << 1
                               << QStringList{simEngine, "node 127.0.0.1:%N: connection refused — "
                                                         "is the cluster node on? (\"Winsock "
                                                         "Port\" in pktgate.cfg)"};
    QTest::newRow("engine answering garbage")
        << "garbage"
        << "sim" << 1
        << QStringList{"engine 127.0.0.1:%E: answered \"login: \", which is no AGW frame — is this "
                       "the node's port? (\"AGW Port\" in pktgate.cfg)"};
    QTest::newRow("a host that does not resolve")
        << "unresolvable"
        << "sim" << 1
        << QStringList{"engine nosuch.invalid:%E: host not found — check \"AGW IP\" in "
                       "pktgate.cfg"};
}

void tst_program::probe() {
    QFETCH(QString, engine);
    QFETCH(QString, node);
    QFETCH(int, code);
    QFETCH(QStringList, lines);
    sim::SimOptions o;
    o.agwPort = o.nodePort = 0;
    o.spotRate = 0;
    sim::Simulator simulator(o);
    QString error;
    QVERIFY2(simulator.start(error), qPrintable(error));
    Speaker speaker("login: ");
    const quint16 enginePort = engine == "sim"       ? simulator.engine()->port()
                               : engine == "garbage" ? speaker.port()
                               : engine == "down"    ? closedPort()
                                                     : quint16(8000);
    const quint16 nodePort = node == "sim"     ? simulator.node()->port()
                             : node == "login" ? speaker.port()
                                               : closedPort();
    QByteArray cfg = settingsFor(enginePort, nodePort);
    if (engine == "unresolvable")
        cfg.replace("\"AGW IP\",\"127.0.0.1\"", "\"AGW IP\",\"nosuch.invalid\"");

    TempDir dir;
    dir.write(QStringLiteral("pktgate.cfg"), cfg);
    QProcess p;
    p.setProcessEnvironment(noDisplay());
    p.start(QStringLiteral(PKTGATE_EXE),
            {QStringLiteral("--dir"), dir.path(), QStringLiteral("--probe")});
    // The peers live in this process: their events go on while the probe runs.
    QVERIFY(waitUntil([&] { return p.state() == QProcess::NotRunning; }, 30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QCOMPARE(out.count(QLatin1Char('\n')), 3);
    for (QString line : lines) {
        line.replace(QStringLiteral("%D"), dir.path())
            .replace(QStringLiteral("%E"), QString::number(enginePort))
            .replace(QStringLiteral("%N"), QString::number(nodePort));
        QVERIFY2(out.contains(line + QLatin1Char('\n')), qPrintable(out));
    }
    QCOMPARE(p.exitCode(), code);

    QCOMPARE(simulator.engine()->registeredOn(0), false);
    QCOMPARE(simulator.node()->counters().logins, 0u);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("pktgate.cfg")});
    QCOMPARE(dir.read(QStringLiteral("pktgate.cfg")), cfg);
}

QTEST_GUILESS_MAIN(tst_program)
#include "tst_program.moc"

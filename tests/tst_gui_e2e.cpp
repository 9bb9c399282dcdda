// End to end: the real main window (offscreen) between a fake packet engine and a fake cluster
// node, both listening on 127.0.0.1, checking the bytes on the wire.
#include "agwlink/AgwFrame.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/Platform.h"
#include "net/UnixSystem.h"
#include "relay/SessionTable.h"
#include "support/Peers.h"
#include "support/TestUtil.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QListView>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <algorithm>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

class tst_gui_e2e : public QObject {
    Q_OBJECT

    struct Rig : PeerPair {
        TempDir dir;
        Settings settings;
        ErrorLog log{dir.path()};
        std::unique_ptr<MainWindow> w;
        explicit Rig(int packetLength = 130, quint16 nodePort = 0) {
            dir.write(QStringLiteral("pktgate.cfg"),
                      settingsFor(engine.port(), nodePort ? nodePort : node.port(), packetLength));
            engine.keepFrames = true;
            Timing timing;
            timing.connectSleepMs = 0;
            w = std::make_unique<MainWindow>(settings, log, dir.path(), timing);
            w->askToEnd = [] { return true; };
            w->show();
            w->start();
        }
        // The gateway registered, before it sent anything else.
        bool registered() { return engine.registered() && engine.kept.first()[4] == 'X'; }
    };

private slots:
    void userTalksToNode();
    void nodeTalksToUser_data();
    void nodeTalksToUser();
    void disconnects();
    void noStreamAndRefusedNode();
    void manyUsers();
    void bigNodeText();
    void shutdownWhileNodesTalk();
    void descriptorsRunOut();
};

void tst_gui_e2e::userTalksToNode() {
    Rig r;
    QVERIFY(r.registered());
    FakeNode::Conn* c = r.login("N0USR");
    QVERIFY(c);
    QTest::qWait(50);
    QCOMPARE(c->bytes, QByteArray("N0USR\r\n")); // the login line and nothing else
    r.engine.send(dataFrame("N0USR", "hi\r"));
    r.engine.send(dataFrame("N0USR", QByteArray("a\0b\r\n", 5)));
    QTRY_COMPARE_WITH_TIMEOUT(c->bytes, QByteArray("N0USR\r\nhi\r\nab\r\n"), 5000);
    // The window shows it: the connected calls list the caller.
    r.w->flushMonitor();
    auto* calls = r.w->findChild<QListView*>(QStringLiteral("List3"));
    QVERIFY(calls);
    QCOMPARE(calls->model()->rowCount(), 2);
    QCOMPARE(calls->model()->index(1, 0).data().toString(), QStringLiteral("N0USR"));
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
    QVERIFY(r.registered());
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
        QCOMPARE(frames[k].mid(kAgwHeaderSize), pieces[k]);
    }
}

void tst_gui_e2e::disconnects() {
    Rig r;
    QVERIFY(r.registered());
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
    r.engine.send(dataFrame("BBB", "bye\r") + disconnectFrame("BBB"));
    QTRY_VERIFY_WITH_TIMEOUT(b->ended, 5000);
    QCOMPARE(b->bytes, QByteArray("BBB\r\nbye\r\n"));
}

void tst_gui_e2e::noStreamAndRefusedNode() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 closedPort = probe.serverPort();
    probe.close();
    Rig r(130, closedPort);
    QVERIFY(r.registered());
    // Data from a station with no stream, followed by more frames in the same arrival.
    r.engine.send(dataFrame("G0XXX", "hello\r", 2) + connectFrame("N0USR", 1));
    QTRY_COMPARE_WITH_TIMEOUT(r.engine.to("G0XXX", 'd').size(), 1, 5000);
    QCOMPARE(int(quint8(r.engine.to("G0XXX", 'd')[0][0])), 2);
    // N0USR's connect was still handled; its cluster connection is refused.
    QTRY_COMPARE_WITH_TIMEOUT(r.engine.to("N0USR", 'd').size(), 1, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(
        !r.dir.logEntries().filter(QStringLiteral("winsckOut_Error N0USR 1 ")).isEmpty(), 5000);
    r.w->flushMonitor();
    auto* calls = r.w->findChild<QListView*>(QStringLiteral("List3"));
    QCOMPARE(calls->model()->index(1, 0).data().toString(), QStringLiteral(" *gone*"));
}

void tst_gui_e2e::manyUsers() {
    Rig r;
    QVERIFY(r.registered());
    const int users = 500;
    QByteArray connects;
    for (int u = 0; u < users; ++u)
        connects += connectFrame("U" + QByteArray::number(u), quint8(u % 4));
    r.engine.send(connects);
    QVERIFY(waitUntil(
        [&] {
            int logged = 0;
            for (const auto& c : r.node.conns)
                logged += c->bytes.endsWith("\r\n") ? 1 : 0;
            return logged == users;
        },
        20000));
    // Each user sends a line and gets one back.
    QByteArray lines;
    for (int u = 0; u < users; ++u)
        lines += dataFrame("U" + QByteArray::number(u), "line of U" + QByteArray::number(u) + "\r",
                           quint8(u % 4));
    r.engine.send(lines);
    for (int u = 0; u < users; ++u) {
        const QByteArray call = "U" + QByteArray::number(u);
        FakeNode::Conn* c = nullptr;
        QVERIFY(waitUntil(
            [&] { return (c = r.node.of(call)) && c->bytes.size() > call.size() + 2; }, 10000));
        QCOMPARE(c->bytes, call + "\r\nline of " + call + "\r\n");
        c->sock->write("hello " + call + "\r\n");
    }
    QVERIFY(waitUntil(
        [&] {
            for (int u = 0; u < users; ++u)
                if (!r.engine.text.contains("U" + QByteArray::number(u))) return false;
            return true;
        },
        20000));
    for (int u = 0; u < users; ++u) {
        const QByteArray call = "U" + QByteArray::number(u);
        QCOMPARE(r.engine.text.value(call), "hello " + call + "\r");
        QCOMPARE(int(quint8(r.engine.to(call)[0][0])), u % 4);
    }
    QCOMPARE(r.w->gateway().status().users.size(), users);
}

// A service manager stops the gateway while the nodes keep talking to three users: nothing but
// their text goes to the engine before the link closes (no disconnect for anybody), the node
// connections end, and "Program terminated" is the last line of the run.
void tst_gui_e2e::shutdownWhileNodesTalk() {
    Rig r;
    QVERIFY(r.registered());
    QList<FakeNode::Conn*> conns;
    for (const QByteArray call : {"AAA", "BBB", "CCC"}) {
        conns << r.login(call);
        QVERIFY(conns.back());
    }
    QTimer talk;
    QObject::connect(&talk, &QTimer::timeout, [&] {
        for (FakeNode::Conn* c : conns)
            if (c->sock->state() == QAbstractSocket::ConnectedState)
                c->sock->write(QByteArray("DX de K1ABC: 14025.0 DL1XYZ\r\n").repeated(50));
    });
    talk.start(1);
    QVERIFY(waitUntil([&] { return r.engine.text.value("CCC").size() > 10000; }, 5000));
    r.w->closeWithReason(MainWindow::ByTaskManager);
    QVERIFY(
        waitUntil([&] { return r.engine.link->state() != QAbstractSocket::ConnectedState; }, 5000));
    QVERIFY(waitUntil(
        [&] { return std::all_of(conns.begin(), conns.end(), [](auto* c) { return c->ended; }); },
        5000));
    QTest::qWait(200);
    talk.stop();
    for (const QByteArray& f : r.engine.kept)
        QVERIFY(f[4] == 'X' || f[4] == 'G' || f[4] == 'Y' || f[4] == 'D');
    const QStringList log = r.dir.logEntries();
    QVERIFY(!log.isEmpty());
    QVERIFY2(log.last().startsWith(QStringLiteral("Program terminated ")), qPrintable(log.last()));
    QCOMPARE(log.filter(QStringLiteral("Program terminated")).size(), 1);
}

void tst_gui_e2e::bigNodeText() {
    Rig r;
    QVERIFY(r.registered());
    FakeNode::Conn* c = r.login("N0USR");
    QVERIFY(c);
    QByteArray text;
    for (int k = 0; text.size() < 100000; ++k)
        text += "DX de K1ABC:     14025.0  DL" + QByteArray::number(k) +
                "XYZ       CW 599     1234Z\r\n";
    c->sock->write(text);
    QByteArray expected = text;
    expected.replace("\r\n", "\r");
    QTRY_COMPARE_WITH_TIMEOUT(r.engine.text.value("N0USR").size(), expected.size(), 10000);
    QCOMPARE(r.engine.text.value("N0USR"), expected);
    for (const QByteArray& f : r.engine.to("N0USR"))
        QVERIFY(f.size() - kAgwHeaderSize <= 130);
}

// The gateway with its window in a child process that may open 256 files, while 1,500 users
// connect at once: it does not crash; the users beyond what the descriptors allow are each turned
// away with one "d" and one log line for them all; the users in relay both ways; when 60 leave,
// 40 of those turned away get in.
void tst_gui_e2e::descriptorsRunOut() {
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("The sanitizers' runtime needs descriptors of its own (its vptr check opens a pipe to "
          "probe memory), so it reports false faults in a process that has none left");
#endif
    unixsystem::raiseOpenFileLimit(); // this side holds both ends' many connections
    TempDir dir;
    FakeEngine engine;
    FakeNode node;
    dir.write(QStringLiteral("pktgate.cfg"), settingsFor(engine.port(), node.port()));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PKTGATE_E2E_CHILD"), dir.path());
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForStarted(5000));
    QVERIFY(waitUntil([&] { return engine.registrations == 1; }, 10000));

    constexpr int kUsers = 1500;
    const auto call = [](int u) { return "U" + QByteArray::number(u); };
    QByteArray connects;
    for (int u = 0; u < kUsers; ++u)
        connects += connectFrame(call(u));
    engine.send(connects);
    const auto settled = [&] {
        int n = 0;
        for (int u = 0; u < kUsers; ++u)
            n += (node.of(call(u)) || engine.disconnects.value(call(u))) ? 1 : 0;
        return n == kUsers;
    };
    QVERIFY(waitUntil(settled, 30000));
    QList<int> in, out;
    for (int u = 0; u < kUsers; ++u) {
        const int d = engine.disconnects.value(call(u));
        if (node.of(call(u))) {
            QVERIFY2(d == 0, call(u).constData());
            in << u;
        } else {
            QVERIFY2(d == 1, call(u).constData());
            out << u;
        }
    }
    qInfo("%lld users logged in, %lld turned away", static_cast<long long>(in.size()),
          static_cast<long long>(out.size()));
    QVERIFY(in.size() >= 60);
    QVERIFY(out.size() >= 1000);
    QCOMPARE(dir.logEntries().filter(QStringLiteral("new users refused")).size(), 1);
    QCOMPARE(dir.logEntries().filter(QStringLiteral("winsckOut_Error")), QStringList());

    // The users in keep working.
    QByteArray lines;
    for (const int u : in) {
        lines += dataFrame(call(u), "from " + call(u) + "\r");
        node.of(call(u))->sock->write("to " + call(u) + "\r\n");
    }
    engine.send(lines);
    QVERIFY(waitUntil(
        [&] {
            for (const int u : in)
                if (node.of(call(u))->bytes != call(u) + "\r\nfrom " + call(u) + "\r\n" ||
                    engine.text.value(call(u)) != "to " + call(u) + "\r")
                    return false;
            return true;
        },
        10000));
    // Nothing came late: the users in are still in, each turned away had one "d".
    for (int u = 0; u < kUsers; ++u)
        QVERIFY2(engine.disconnects.value(call(u)) == (node.of(call(u)) ? 0 : 1),
                 call(u).constData());

    // 60 leave; 40 who were turned away come back and get in (the program may have taken a
    // few descriptors meanwhile: that is what the headroom is for).
    QByteArray leave, again;
    for (int k = 0; k < 60; ++k)
        leave += disconnectFrame(call(in[k]));
    for (int k = 0; k < 40; ++k)
        again += connectFrame(call(out[k]));
    engine.send(leave);
    QVERIFY(waitUntil(
        [&] {
            for (int k = 0; k < 60; ++k)
                if (!node.of(call(in[k]))->ended) return false;
            return true;
        },
        10000));
    // The gateway counts its descriptors afresh now and then, not at every user: one who comes
    // before that and is turned away again tries again.
    engine.send(again);
    QHash<QByteArray, int> turnedAway;
    for (int k = 0; k < 40; ++k)
        turnedAway[call(out[k])] = engine.disconnects.value(call(out[k]));
    QVERIFY(waitUntil(
        [&] {
            bool all = true;
            QByteArray retry;
            for (int k = 0; k < 40; ++k) {
                const QByteArray c = call(out[k]);
                if (node.of(c)) continue;
                all = false;
                if (engine.disconnects.value(c) > turnedAway[c]) {
                    turnedAway[c] = engine.disconnects.value(c);
                    retry += connectFrame(c);
                }
            }
            if (!retry.isEmpty()) engine.send(retry);
            return all;
        },
        10000));
    QCOMPARE(dir.logEntries().filter(QStringLiteral("new users served again")).size(), 1);

    child.closeWriteChannel(); // the child ends when its input ends
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
}

namespace {
// The child of descriptorsRunOut: the whole program as it runs, window and relay thread, with
// 256 descriptors, its files in the directory named by the environment; it ends when its
// standard input ends.
int descriptorsChild(int argc, char** argv, const QString& dir) {
    rlimit few{256, 256};
    if (setrlimit(RLIMIT_NOFILE, &few) != 0) return 3;
    unixsystem::catchTerminationSignals();
    QApplication app(argc, argv);
    ErrorLog log(dir);
    Settings settings;
    Timing timing;
    timing.connectSleepMs = 0;
    MainWindow window(settings, log, dir, timing);
    window.askToEnd = [] { return true; };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buf[256];
        if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) window.closeWithReason(MainWindow::ByCode);
    });
    window.show();
    window.start();
    return app.exec();
}
} // namespace

int main(int argc, char** argv) {
    const QString childDir = qEnvironmentVariable("PKTGATE_E2E_CHILD");
    if (!childDir.isEmpty()) return descriptorsChild(argc, argv, childDir);
    QApplication app(argc, argv);
    tst_gui_e2e t;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&t, argc, argv);
}
#include "tst_gui_e2e.moc"

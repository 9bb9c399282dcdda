// Faults from outside, each with nothing else lost: an engine that drops the link in the middle of
// a frame or sends one byte at a time, a node that resets a connection, descriptors that run
// out, a directory that cannot be written, peers that stop reading, and a long soak. Network
// faults use real sockets on 127.0.0.1 around a Gateway (real TCP sockets, recorded feed);
// every wait has a stated bound.
#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "agwlink/FrameAssembler.h"
#include "config/ConfigFile.h"
#include "relay/Receiver.h"
#include "relay/SessionTable.h"
#include "support/Fakes.h"
#include "support/Peers.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QtTest>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define PKTGATE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PKTGATE_ASAN 1
#endif
#endif

#ifdef PKTGATE_ASAN
// Freed memory waits in the sanitizer's quarantine (256 MiB by default) and counts as resident;
// a small quarantine keeps the memory figures of these tests meaningful.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
// What the sanitizer's own bookkeeping (quarantine, allocator caches, the allocation stacks it
// keeps for good) may add to a memory bound.
constexpr qint64 kSanitizerAllowanceKiB = 48 * 1024;
constexpr qint64 kSanitizerSoakAllowanceKiB = 16 * 1024;
constexpr bool kSanitized = true;
#else
constexpr qint64 kSanitizerAllowanceKiB = 0;
constexpr qint64 kSanitizerSoakAllowanceKiB = 0;
constexpr bool kSanitized = false;
#endif

namespace {

constexpr qint64 kMiB = 1024 * 1024;

// A figure of /proc/self/status in KiB ("VmRSS", "VmHWM").
qint64 statusKiB(const char* key) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ')[0].toLongLong();
    return -1;
}
qint64 rssKiB() {
    return statusKiB("VmRSS");
}
// Starts a new peak: VmHWM becomes the current resident size.
bool resetPeakRss() {
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

// Counts the arrivals the receive side handles and those of a single byte.
class CountingMonitor : public RecordedFeed {
public:
    void statusAppended(const QString& text) override {
        if (text.startsWith(QLatin1String(" Len="))) {
            ++arrivals;
            if (text == QLatin1String(" Len=1\r\n")) ++singleBytes;
        }
        RecordedFeed::statusAppended(text);
    }
    int arrivals = 0, singleBytes = 0;
};

// The number of whole frames in bytes.
qint64 countFrames(const QByteArray& bytes) {
    qint64 n = 0;
    for (qsizetype at = 0; bytes.size() - at >= kAgwHeaderSize; ++n)
        at += kAgwHeaderSize + readDataLen(bytes.constData() + at);
    return n;
}

// The lines of a tag that the log entries stand for: those written in full and those summed up.
quint64 loggedCount(const QStringList& entries, const QString& tag) {
    const QRegularExpression summary(QLatin1Char('^') + QRegularExpression::escape(tag) +
                                     QStringLiteral(" repeated ([0-9,]+) times$"));
    quint64 n = 0;
    for (const QString& e : entries) {
        if (!e.startsWith(tag + QLatin1Char(' '))) continue;
        const QRegularExpressionMatch m = summary.match(e);
        n += m.hasMatch() ? m.captured(1).remove(QLatin1Char(',')).toULongLong() : 1;
    }
    return n;
}

struct Buffers {
    int engineReceive = 0;
    int nodeReceive = 0;
    int nodeSend = 0;
};

// A Gateway on real sockets between a fake engine and a fake node.
struct Rig : PeerPair {
    CountingMonitor monitor;
    LiveGateway live;

    explicit Rig(Buffers b = {}, Timing timing = StandInGateway::quickTiming())
        : PeerPair(b.engineReceive, b.nodeReceive, b.nodeSend), live(timing, &monitor) {
        live.start(settingsFor(engine.port(), node.port()));
    }
    Gateway& gw() { return *live.gw; }
    bool registered(int times = 1) { return engine.registered(times); }
    QStringList log() const { return live.log(); }
};

} // namespace

class tst_faults : public QObject {
    Q_OBJECT
private slots:

    void engineDropsLinkMidFrame_data();
    void engineDropsLinkMidFrame();
    void linkLostEndsSessions_data();
    void linkLostEndsSessions();
    void floodFromUnknownStations();
    void unknownStationsWhileEngineStalled();
    void engineSendsOneByteAtATime();
    void nodeResetsOneConnection();
    void nodeResetsEveryConnection();
    void directoryNotWritable_data();
    void directoryNotWritable();
    void nodeStopsReading();
    void engineStopsReading();
    void soak();
    void fuzzFindings_data();
    void fuzzFindings();
};

// The engine drops the link after part of a frame. The link is back within 3 s (reconnect
// interval 200 ms) and the next frames on the new link are read from their first byte; nothing is
// logged as a broken frame. The radio users' links went with the AGW link: their sessions ended,
// and they connect anew.
void tst_faults::engineDropsLinkMidFrame_data() {
    QTest::addColumn<int>("cut");
    QTest::addColumn<bool>("reset");
    QTest::newRow("inside the header, closed") << 20 << false;
    QTest::newRow("inside the header, reset") << 20 << true;
    QTest::newRow("after the header, closed") << 36 << false;
    QTest::newRow("inside the data, reset") << 40 << true;
}

void tst_faults::engineDropsLinkMidFrame() {
    QFETCH(int, cut);
    QFETCH(bool, reset);
    Timing timing = StandInGateway::quickTiming();
    timing.reconnectIntervalMs = 200;
    Rig r({}, timing);
    QVERIFY(r.registered());
    FakeNode::Conn* a = r.login("AAA");
    QVERIFY(a);
    r.engine.send(dataFrame("AAA", "before\r"));
    QVERIFY(waitUntil([&] { return a->bytes == "AAA\r\nbefore\r\n"; }, 5000));

    const QByteArray lost = dataFrame("AAA", "lost line\r");
    r.engine.send(lost.left(cut));
    QVERIFY(waitUntil([&] { return r.gw().link().assembler().buffered() == cut; }, 5000));
    QTcpSocket* old = r.engine.link;
    if (reset)
        resetConnection(old);
    else
        old->disconnectFromHost();
    QElapsedTimer t;
    t.start();
    QVERIFY(
        waitUntil([&] { return r.engine.connections == 2 && r.engine.registrations == 2; }, 3000));
    qInfo("link back after %lld ms", static_cast<long long>(t.elapsed()));
    QVERIFY(waitUntil([&] { return a->ended; }, 1000));

    // The new link starts at a frame boundary.
    r.engine.send(connectFrame("AAA") + dataFrame("AAA", "after\r") + connectFrame("BBB", 2) +
                  dataFrame("BBB", "also\r", 2));
    FakeNode::Conn* b = r.node.waitFor("BBB");
    QVERIFY(b);
    QVERIFY(waitUntil([&] { return b->bytes == "BBB\r\nalso\r\n"; }, 5000));
    QVERIFY(waitUntil([&] { return r.node.conns.size() == 3; }, 5000));
    FakeNode::Conn* a2 =
        r.node.conns[1]->bytes.startsWith("AAA") ? r.node.conns[1].get() : r.node.conns[2].get();
    QVERIFY(waitUntil([&] { return a2->bytes == "AAA\r\nafter\r\n"; }, 5000));
    QCOMPARE(r.log().filter(QStringLiteral("DataArrival")), QStringList());
}

// The AGW link goes while users are logged in: every node connection closes within a second, one
// line counts the ended sessions, the connected-calls list is empty; once the link is back, what
// the nodes still send for the old sessions produces no frame at all, and a user's connect on the
// new link gets a fresh login.
void tst_faults::linkLostEndsSessions_data() {
    QTest::addColumn<bool>("oversize");
    QTest::newRow("the engine closes the link") << false;
    QTest::newRow("the gateway resets it after an oversize frame") << true;
}

void tst_faults::linkLostEndsSessions() {
    QFETCH(bool, oversize);
    Timing timing = StandInGateway::quickTiming();
    timing.reconnectIntervalMs = 200;
    Rig r({}, timing);
    QVERIFY(r.registered());
    const QList<QByteArray> calls{"AAA", "BBB", "CCC"};
    QList<FakeNode::Conn*> conns;
    for (const QByteArray& c : calls) {
        conns << r.login(c);
        QVERIFY(conns.back());
    }
    r.engine.keepFrames = true;
    if (oversize) {
        QByteArray huge = dataFrame("AAA", "x");
        huge[30] = 2;
        r.engine.send(huge);
    } else {
        r.engine.link->disconnectFromHost();
    }
    QVERIFY(waitUntil(
        [&] { return std::all_of(conns.begin(), conns.end(), [](auto* c) { return c->ended; }); },
        1000));
    QCOMPARE(r.log().filter(QStringLiteral("AGW link lost")),
             QStringList{QStringLiteral("AGW link lost 3 sessions ended")});
    QCOMPARE(r.monitor.shown().calls, (QStringList{QString(), " *gone*", " *gone*", " *gone*"}));
    QVERIFY(r.registered(2));
    // The nodes' last words for the old sessions go nowhere.
    for (FakeNode::Conn* c : conns)
        if (c->sock->state() == QAbstractSocket::ConnectedState) c->sock->write("spot\r\n");
    r.engine.send(connectFrame("AAA"));
    QVERIFY(waitUntil([&] { return r.node.conns.size() == 4; }, 5000));
    FakeNode::Conn* fresh = r.node.conns.back().get();
    QVERIFY(waitUntil([&] { return fresh->bytes == "AAA\r\n"; }, 5000));
    QTest::qWait(100);
    for (const QByteArray& f : r.engine.kept)
        QVERIFY(f[4] == 'X' || f[4] == 'G' || f[4] == 'Y'); // the registration, nothing for users
}

// 50,000 "D" frames from stations without a session in one burst: every one is answered with its
// "d", every one is counted in the log, which grows by less than 100 KB (bursts are summed up),
// and a logged-in user's line gets through both ways while it happens: the node's line reaches
// the user before the flood's last answer, not behind all of them.
void tst_faults::floodFromUnknownStations() {
    Rig r;
    QVERIFY(r.registered());
    FakeNode::Conn* a = r.login("AAA");
    QVERIFY(a);
    const qint64 logBefore = QFileInfo(r.live.dir.file(QStringLiteral("error.log"))).size();
    const QMap<QString, quint64> linesBefore = r.live.errorLog.linesByTag();
    const qint64 framesBefore = r.engine.frames;
    constexpr int kFrames = 50000;
    QByteArray flood;
    for (int k = 0; k < kFrames; ++k)
        flood += dataFrame("UNK" + QByteArray::number(k), "x\r", quint8(k % 4));
    r.engine.keepFrames = true;
    r.engine.send(flood + dataFrame("AAA", "ping\r"));
    a->sock->write("pong\r\n");
    QVERIFY(waitUntil(
        [&] { return a->bytes.endsWith("ping\r\n") && r.engine.text.value("AAA") == "pong\r"; },
        30000));
    QVERIFY(waitUntil([&] { return r.engine.frames - framesBefore >= kFrames + 1; }, 60000));
    for (int k = 0; k < kFrames; ++k)
        QCOMPARE(r.engine.disconnects.value("UNK" + QByteArray::number(k)), 1);
    qsizetype pongAt = -1, lastAnswerAt = -1;
    for (qsizetype i = 0; i < r.engine.kept.size(); ++i) {
        const QByteArray& f = r.engine.kept[i];
        if (f[4] == 'D' && f.endsWith("pong\r")) pongAt = i;
        if (f[4] == 'd') lastAnswerAt = i;
    }
    QVERIFY2(pongAt >= 0 && pongAt < lastAnswerAt, "the user's line waited behind the flood");
    // Every line of the flood is in the log, in full or summed up.
    const QMap<QString, quint64> lines = r.live.errorLog.linesByTag();
    QVERIFY(waitUntil(
        [&] {
            const QStringList entries = r.log();
            for (auto it = lines.cbegin(); it != lines.cend(); ++it)
                if (loggedCount(entries, it.key()) != it.value()) return false;
            return true;
        },
        5000));
    QVERIFY(lines != linesBefore);
    const qint64 grew = QFileInfo(r.live.dir.file(QStringLiteral("error.log"))).size() - logBefore;
    qInfo("log grew %lld bytes", static_cast<long long>(grew));
    QVERIFY(grew < 100 * 1024);
}

// An engine that stops reading while it sends 200,000 "D" frames from stations without a session:
// the answers waiting for it stay within the high-water mark and one arrival, instead of growing
// with every frame; once it reads again, every frame has its answer.
void tst_faults::unknownStationsWhileEngineStalled() {
    Rig r({.engineReceive = 65536, .nodeReceive = 0, .nodeSend = 0});
    QVERIFY(r.registered());
    r.engine.pause(true);
    constexpr int kFrames = 200000;
    QByteArray flood;
    for (int k = 0; k < kFrames; ++k)
        flood += dataFrame("UNK" + QByteArray::number(k % 1000), "x\r", 1);
    const qint64 framesBefore = r.engine.frames;
    r.engine.send(flood);
    qint64 peak = 0, last = -1;
    QElapsedTimer still;
    still.start();
    while (still.elapsed() < 500) { // until nothing moves for half a second
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        const qint64 queued = r.gw().link().bytesQueued();
        peak = std::max(peak, queued);
        if (queued != last) still.restart();
        last = queued;
    }
    qInfo("answers waiting for the engine at most %lld KiB", static_cast<long long>(peak / 1024));
    QVERIFY(r.gw().link().congested());
    QVERIFY(peak <= AgwLink::kHighWater + 256 * 1024);
    r.engine.pause(false);
    QVERIFY(waitUntil([&] { return r.engine.frames - framesBefore >= kFrames; }, 30000));
}

// A whole session with every byte from the engine arriving alone: login, data both ways,
// disconnect. Each byte is waited for (at most 5 s); every frame is handled exactly once.
void tst_faults::engineSendsOneByteAtATime() {
    Rig r;
    QVERIFY(r.registered());
    const auto trickle = [&](const QByteArray& bytes) {
        for (const char c : bytes) {
            const int before = r.monitor.arrivals;
            r.engine.send(QByteArray(1, c));
            if (!waitUntil([&] { return r.monitor.arrivals > before; }, 5000)) return false;
        }
        return true;
    };
    const QByteArray session1 = connectFrame("G4ABC", 3);
    QVERIFY(trickle(session1));
    FakeNode::Conn* c = nullptr;
    QVERIFY(waitUntil([&] { return (c = r.node.of("G4ABC")) != nullptr; }, 5000));
    const QByteArray session2 = dataFrame("G4ABC", "hello\r", 3) + dataFrame("G4ABC", "sh/dx\r", 3);
    QVERIFY(trickle(session2));
    QVERIFY(waitUntil([&] { return c->bytes == "G4ABC\r\nhello\r\nsh/dx\r\n"; }, 5000));
    c->sock->write("DX de K1ABC: 14025.0 DL1XYZ\r\n");
    QVERIFY(waitUntil(
        [&] { return r.engine.text.value("G4ABC") == "DX de K1ABC: 14025.0 DL1XYZ\r"; }, 5000));
    const QByteArray session3 = disconnectFrame("G4ABC", 3);
    QVERIFY(trickle(session3));
    QVERIFY(waitUntil([&] { return c->ended; }, 5000));

    const int bytes = int(session1.size() + session2.size() + session3.size());
    QCOMPARE(r.monitor.singleBytes, bytes);
    QCOMPARE(r.monitor.headersShown, 4);
    QCOMPARE(r.gw().sessions().inUse(), 0);
    QCOMPARE(r.engine.disconnects.value("G4ABC"), 0);
    QCOMPARE(r.log().filter(QStringLiteral("DataArrival")), QStringList());
}

// The node resets one user's connection while text flows both ways for two users: that user
// gets a "d" frame within 5 s; the other loses nothing, in either direction.
void tst_faults::nodeResetsOneConnection() {
    Rig r;
    QVERIFY(r.registered());
    FakeNode::Conn* a = r.login("AAA");
    FakeNode::Conn* b = r.login("BBB");
    QVERIFY(a && b);
    QByteArray toNodeB = "BBB\r\n", toUserB;
    const auto round = [&](int k, bool withA) {
        const QByteArray n = QByteArray::number(k);
        QByteArray frames = dataFrame("BBB", "line " + n + "\r");
        toNodeB += "line " + n + "\r\n";
        if (withA) frames += dataFrame("AAA", "line " + n + "\r");
        r.engine.send(frames);
        b->sock->write("spot " + n + "\r\n");
        toUserB += "spot " + n + "\r";
        if (withA && a->sock->state() == QAbstractSocket::ConnectedState)
            a->sock->write("spot " + n + "\r\n");
        QCoreApplication::processEvents();
    };
    for (int k = 0; k < 200; ++k)
        round(k, true);
    resetConnection(a->sock);
    for (int k = 200; k < 400; ++k)
        round(k, k < 210);
    QVERIFY(waitUntil([&] { return r.engine.disconnects.value("AAA") >= 1; }, 5000));
    // The engine reports the user's link gone, as it does after a disconnect request.
    r.engine.send(disconnectFrame("AAA"));
    QVERIFY(waitUntil([&] { return b->bytes == toNodeB; }, 5000));
    QVERIFY(waitUntil([&] { return r.engine.text.value("BBB") == toUserB; }, 5000));
    QVERIFY(waitUntil([&] { return r.gw().sessions().inUse() == 1; }, 5000));
    QCOMPARE(r.gw().sessions().find("BBB")->slot(), 2);
    QVERIFY(!b->ended);
    QCOMPARE(r.engine.disconnects.value("BBB"), 0);
    QCOMPARE(r.log().filter(QStringLiteral("BBB")), QStringList());
}

// A node that resets every connection as it accepts it: every user gets a "d" frame, and every
// reset is counted in error.log, in a line of its own or in a summary.
void tst_faults::nodeResetsEveryConnection() {
    FakeEngine engine;
    sim::PeerServer node;
    QVERIFY(node.listenLocal(0, [](QTcpSocket* s) {
        resetConnection(s);
        s->deleteLater();
    }));
    LiveGateway live;
    live.start(settingsFor(engine.port(), node.serverPort()));
    QVERIFY(engine.registered());
    constexpr int kUsers = 100;
    QByteArray frames;
    for (int i = 0; i < kUsers; ++i)
        frames += connectFrame("U" + QByteArray::number(i));
    engine.send(frames);
    QVERIFY(waitUntil([&] { return engine.disconnects.size() == kUsers; }, 10000));
    const auto counted = [&] { return loggedCount(live.log(), QStringLiteral("winsckOut_Error")); };
    waitUntil([&] { return counted() >= kUsers; }, 5000);
    QCOMPARE(counted(), quint64(kUsers));
}

// The directory of the gateway's files cannot be written, in ways that hold for root as well.
// Log calls return, each one counted; a save that cannot be made leaves the old file whole and is
// logged as "SaveCfg" when the log can be written at all; no temporary file stays behind.
void tst_faults::directoryNotWritable_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<bool>("logged");
    QTest::newRow("the directory is below a regular file") << "file" << false << false;
    QTest::newRow("error.log is a directory") << "logdir" << true << false;
    QTest::newRow("the disk is full") << "full" << false << true;
    QTest::newRow("the disk is full and error.log is a directory")
        << "full,logdir" << false << false;
}

void tst_faults::directoryNotWritable() {
    QFETCH(QString, how);
    QFETCH(bool, saved);
    QFETCH(bool, logged);
    QTemporaryDir tmp;
    QString app = tmp.path();
    const QByteArray old = settingsFor(8000, 7300);
    if (how == QLatin1String("file")) {
        QFile blocker(tmp.filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        app = tmp.filePath(QStringLiteral("blocker/pktgate"));
    } else {
        QFile f(tmp.filePath(QStringLiteral("pktgate.cfg")));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(old) == old.size());
    }
    if (how.contains(QLatin1String("logdir")))
        QVERIFY(QDir(app).mkdir(QStringLiteral("error.log")));
    const QStringList before = QDir(app).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    ErrorLog errors(app);
    Settings settings;
    settings.clusterCall = QStringLiteral("GB7TC");
    settings.agwIp = QString(6000, QLatin1Char('h')); // a file larger than the limit
    FakeHost host;
    // A full disk: no file may grow beyond 4 KiB (the signal that would end the process is
    // ignored, so writes fail with "File too large").
    rlimit oldLimit{};
    getrlimit(RLIMIT_FSIZE, &oldLimit);
    const bool full = how.contains(QLatin1String("full"));
    void (*oldHandler)(int) = SIG_DFL;
    if (full) {
        oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small{4096, oldLimit.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    saveSettingsFile(settingsFilePath(app), settings, host.frame, errors);
    // Each call returns (none waits for a place that takes nothing) and is counted.
    for (int k = 0; k < 1000; ++k)
        errors.write(QStringLiteral("Test"), QStringLiteral("x"));
    if (full) {
        setrlimit(RLIMIT_FSIZE, &oldLimit);
        std::signal(SIGXFSZ, oldHandler);
    }
    QCOMPARE(errors.linesByTag().value(QStringLiteral("Test")), quint64(1000));

    QFile cfg(QDir(app).filePath(QStringLiteral("pktgate.cfg")));
    if (how == QLatin1String("file")) {
        QVERIFY(!cfg.exists());
    } else {
        QVERIFY(cfg.open(QIODevice::ReadOnly));
        const QByteArray now = cfg.readAll();
        if (saved)
            QCOMPARE(now, formatSettings(settings, host.frame));
        else
            QCOMPARE(now, old);
    }
    QFile log(QDir(app).filePath(QStringLiteral("error.log")));
    QByteArray logText;
    if (log.open(QIODevice::ReadOnly)) logText = log.readAll();
    QCOMPARE(logText.contains("SaveCfg "), logged);
    if (logged) QVERIFY(logText.contains("SaveCfg File too large"));
    QStringList after = QDir(app).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    after.removeAll(QStringLiteral("error.log"));
    QStringList expected = before;
    expected.removeAll(QStringLiteral("error.log"));
    if (saved && !expected.contains(QStringLiteral("pktgate.cfg")))
        expected << QStringLiteral("pktgate.cfg");
    QCOMPARE(after, expected);
}

// A node that stops reading one user's connection while the user keeps typing: the gateway ends
// that stream before 16 MiB are typed (its own queue stops at Session::kMaxNodeQueue), the
// resident size grows by less than 8 MiB meanwhile, and another user is served throughout.
void tst_faults::nodeStopsReading() {
    Rig r({.engineReceive = 0, .nodeReceive = 16384, .nodeSend = 0});
    QVERIFY(r.registered());
    FakeNode::Conn* a = r.login("AAA");
    FakeNode::Conn* b = r.login("BBB");
    QVERIFY(a && b);
    FakeNode::stopReading(a);
    const qint64 before = rssKiB();
    qint64 peak = before;
    qint64 typed = 0;
    const QByteArray line = QByteArray(999, 't') + '\r';
    QByteArray burst;
    for (int k = 0; k < 64; ++k)
        burst += dataFrame("AAA", line);
    int served = 0;
    while (typed < 16 * kMiB && r.engine.disconnects.value("AAA") == 0) {
        QVERIFY(r.engine.sendAll(burst));
        typed += 64 * line.size();
        peak = std::max(peak, rssKiB());
        // The other user talks now and then.
        if ((typed / line.size()) % 1024 == 0) {
            r.engine.send(dataFrame("BBB", "still here\r"));
            ++served;
        }
    }
    // Lines still on their way after that are answered with "d" too, as from any station
    // without a stream.
    QVERIFY(waitUntil([&] { return r.engine.disconnects.value("AAA") >= 1; }, 5000));
    qInfo("stream ended after %lld KiB typed; resident size grew by %lld KiB",
          static_cast<long long>(typed / 1024), static_cast<long long>(peak - before));
    QVERIFY(typed < 16 * kMiB);
    QVERIFY2(peak - before < 8 * 1024 + kSanitizerAllowanceKiB,
             qPrintable(QString::number(peak - before)));
    QVERIFY(!r.gw().sessions().find("AAA"));
    QVERIFY(!r.log()
                 .filter(QStringLiteral("winsckOut_Error AAA 1 The cluster node is not reading"))
                 .isEmpty());
    r.engine.send(dataFrame("BBB", "last\r"));
    b->sock->write("hello BBB\r\n");
    QVERIFY(waitUntil(
        [&] {
            return b->bytes ==
                   "BBB\r\n" + QByteArray("still here\r\n").repeated(served) + "last\r\n";
        },
        5000));
    QVERIFY(waitUntil([&] { return r.engine.text.value("BBB") == "hello BBB\r"; }, 5000));
    QCOMPARE(r.engine.disconnects.value("BBB"), 0);
}

// An engine that stops reading while the node keeps talking to three users: the gateway's queue
// towards the engine stays within AgwLink::kHighWater + 256 KiB, the resident size grows by less
// than 8 MiB, what the engine sends meanwhile waits in its connection (each frame of it may ask
// for an answer), and once the engine reads again a user's typing reaches the node and every
// user gets the node's 4 MiB whole and in order (within 30 s).
void tst_faults::engineStopsReading() {
    Rig r({.engineReceive = 65536, .nodeReceive = 0, .nodeSend = 65536});
    QVERIFY(r.registered());
    const QList<QByteArray> calls{"AAA", "BBB", "CCC"};
    QList<FakeNode::Conn*> conns;
    for (const QByteArray& c : calls) {
        conns << r.login(c);
        QVERIFY(conns.back());
    }
    constexpr qint64 kPerUser = 4 * kMiB;
    QList<qint64> spoken(calls.size(), 0), lines(calls.size(), 0);
    // The node writes while its own queue is short, so that it keeps no more than the test needs.
    const auto talk = [&] {
        for (int k = 0; k < calls.size(); ++k)
            while (spoken[k] < kPerUser && conns[k]->sock->bytesToWrite() < 65536) {
                QByteArray text;
                for (; text.size() < 8192; ++lines[k])
                    text += "DX de " + calls[k] + ": 14025.0 spot " + QByteArray::number(lines[k]) +
                            "\r\n";
                conns[k]->sock->write(text);
                spoken[k] += text.size();
            }
    };
    r.engine.pause(true);
    const qint64 before = rssKiB();
    qint64 peakRss = before, peakQueue = 0;
    QElapsedTimer stall;
    stall.start();
    qint64 lastSpoken = -1;
    // Talk until the node can put nothing more out for 500 ms, or all is said.
    for (;;) {
        talk();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        peakQueue = std::max(peakQueue, r.gw().link().bytesQueued());
        peakRss = std::max(peakRss, rssKiB());
        qint64 total = 0;
        for (const qint64 n : spoken)
            total += n;
        if (total != lastSpoken) {
            lastSpoken = total;
            stall.restart();
        }
        if (total == kPerUser * calls.size() || stall.elapsed() > 500) break;
    }
    qInfo("node said %lld KiB while the engine read nothing; queue peak %lld KiB, resident size "
          "grew by %lld KiB",
          static_cast<long long>(lastSpoken / 1024), static_cast<long long>(peakQueue / 1024),
          static_cast<long long>(peakRss - before));
    QVERIFY(r.gw().link().congested());
    QVERIFY(peakQueue <= AgwLink::kHighWater + 256 * 1024);
    QVERIFY2(peakRss - before < 8 * 1024 + kSanitizerAllowanceKiB,
             qPrintable(QString::number(peakRss - before)));
    // Typing waits while the engine does not read, and goes through once it does.
    r.engine.send(dataFrame("BBB", "typed while stalled\r"));
    QVERIFY(!waitUntil([&] { return conns[1]->bytes.endsWith("typed while stalled\r\n"); }, 200));

    r.engine.pause(false);
    QVERIFY(waitUntil([&] { return conns[1]->bytes.endsWith("typed while stalled\r\n"); }, 10000));
    // Every line arrives with CR for its CR LF.
    QVERIFY(waitUntil(
        [&] {
            talk();
            for (int k = 0; k < calls.size(); ++k)
                if (spoken[k] < kPerUser ||
                    r.engine.text.value(calls[k]).size() < spoken[k] - lines[k])
                    return false;
            return true;
        },
        30000));
    for (int k = 0; k < calls.size(); ++k) {
        QByteArray expected;
        for (qint64 n = 0; n < lines[k]; ++n)
            expected += "DX de " + calls[k] + ": 14025.0 spot " + QByteArray::number(n) + "\r";
        QVERIFY(r.engine.text.value(calls[k]) == expected);
        QCOMPARE(r.engine.disconnects.value(calls[k]), 0);
    }
    QVERIFY(r.engine.maxDataLen <= 130);
    QVERIFY(!r.gw().link().congested());
}

// 1,000,000 frames from the engine through the receive side, on stand-in sockets: 64 users at a
// time connect, type, are answered and leave, all the time. After 200,000 frames of warm-up the
// peak resident size grows by at most 2 MiB (plus 16 MiB of the sanitizers' own bookkeeping in
// a sanitizer build), the table stays within the users present at once, and nothing is logged.
void tst_faults::soak() {
    TempDir dir;
    ErrorLog errors(dir.path());
    Settings settings;
    settings.clusterCall = QStringLiteral("GB7TC");
    settings.packetLength = 130;
    NullMonitor monitor;
    FakeSocketPool agwPool;
    // Every session makes its own node socket; none is kept track of beyond its session.
    const SocketFactory nodeSockets = [] { return std::make_unique<FakeSocket>(); };
    Gateway gw(settings, errors, monitor, StandInGateway::quickTiming(), agwPool.factory(),
               nodeSockets);
    gw.sessions().setNodeAddress({QStringLiteral("127.0.0.1"), 8000});
    gw.openLink();
    FakeSocket* agw = agwPool.made.at(0);
    agw->makeConnected();
    SessionTable& table = gw.sessions();

    constexpr int kUsers = 64;
    constexpr qint64 kFrames = 1000000, kWarmUp = 200000;
    std::vector<int> turns(kUsers, -1); // -1 absent, otherwise turns since connecting
    qint64 frames = 0, sessions = 0, toUsers = 0;
    qint64 baseline = -1;
    int highest = 0;
    QByteArray arrival;
    const QByteArray spot = "DX de K1ABC:     14025.0  DL1XYZ       CW 599     1234Z\r\n";
    for (int u = 0; frames < kFrames; u = (u + 1) % kUsers) {
        const QByteArray call = "S" + QByteArray::number(u);
        int& t = turns[static_cast<size_t>(u)];
        if (t < 0) {
            arrival += connectFrame(call, quint8(u % 4));
            t = 0;
        } else if (t < 4 + u % 3) {
            arrival += dataFrame(call, "line " + QByteArray::number(frames) + "\r", quint8(u % 4));
            ++t;
        } else {
            arrival += disconnectFrame(call, quint8(u % 4));
            t = -1;
            ++sessions;
        }
        ++frames;
        if (frames % 32 != 0) continue;
        // Arrivals cut at arbitrary points, so partial frames are carried over too.
        const qsizetype cut = 1 + (frames / 32) % 700;
        gw.link().handleArrival(QByteArrayView(arrival).first(cut), cut);
        gw.link().handleArrival(QByteArrayView(arrival).sliced(cut), arrival.size() - cut);
        arrival.clear();
        // The node accepts new connections and answers every fourth user.
        for (int i = 1; i <= table.highestSlot(); ++i) {
            Session* session = table.at(i);
            if (!session) continue;
            auto* s = static_cast<FakeSocket*>(&session->node());
            if (s->state() == Socket::Connecting) s->makeConnected();
            if (s->state() == Socket::Connected && (i + frames / 32) % 4 == 0) s->deliver(spot);
            s->written.clear();
        }
        toUsers += countFrames(agw->written);
        agw->written.clear();
        highest = std::max(highest, table.highestSlot());
        if (frames == kWarmUp) {
            QVERIFY(resetPeakRss());
            baseline = statusKiB("VmHWM");
        }
    }
    const qint64 peak = statusKiB("VmHWM");
    qInfo("%lld frames in, %lld out, %lld sessions; peak resident size %lld KiB after warm-up, "
          "%lld KiB at the end",
          static_cast<long long>(frames), static_cast<long long>(toUsers),
          static_cast<long long>(sessions), static_cast<long long>(baseline),
          static_cast<long long>(peak));
    QVERIFY(sessions > 100000);
    QVERIFY(toUsers > 100000);
    QVERIFY(highest <= kUsers);
    QVERIFY2(peak - baseline <= 2 * 1024 + kSanitizerSoakAllowanceKiB,
             qPrintable(QString::number(peak - baseline)));
    QCOMPARE(dir.logEntries(), QStringList());
}

// Inputs the fuzzers found, each with the behaviour it now shows. N0USR holds slot 1 on port 1
// (its node connection still being made).
void tst_faults::fuzzFindings_data() {
    QTest::addColumn<QByteArray>("frames");
    QTest::addColumn<QStringList>("log");
    // A "D" without a callsign used to be answered with a disconnect addressed by slot number
    // (the frame's port): the user in that slot was disconnected, or on a port beyond the
    // table the answer failed. Nobody sent it, so nobody is answered; it is logged.
    QTest::newRow("data without a callsign on a user's port")
        << connectFrame("N0USR", 1) + dataFrame("", "anonymous\r", 1)
        << QStringList{"DataArrival  where = 14 no call"};
    QTest::newRow("data without a callsign on a port beyond the table")
        << connectFrame("N0USR", 1) + dataFrame("", "anonymous\r", 5)
        << QStringList{"DataArrival  where = 14 no call"};
}

void tst_faults::fuzzFindings() {
    QFETCH(QByteArray, frames);
    QFETCH(QStringList, log);
    StandInGateway g;
    g.startBare();
    g.engine(frames);
    QCOMPARE(g.sent(), QList<QByteArray>());
    QCOMPARE(g.gw->sessions().find("N0USR")->slot(), 1);
    QCOMPARE(g.dir.logEntries(), log);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    tst_faults t;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&t, argc, argv);
}

#include "tst_faults.moc"

// The keep-alive on real timers: the quiet interval counts from the node's last text, however
// often it talks, although an arrival no longer restarts the timer itself.
#include "agwlink/AgwFrame.h"
#include "relay/SessionTable.h"
#include "support/Fakes.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

constexpr int kIntervalMs = 200;
const QByteArray kLogin = "N0USR\r\n";
const QByteArray kBlank = " \r\n";

Timing keepAliveTiming() {
    Timing t = StandInGateway::quickTiming();
    t.keepAliveIntervalMs = kIntervalMs;
    return t;
}

// A gateway on stand-in sockets with one user logged in, its keep-alive ticking every 200 ms.
struct Rig : StandInGateway {
    explicit Rig(int minutes) : StandInGateway(keepAliveTiming()) {
        settings.keepAliveMinutes = minutes;
        startBare();
        login("N0USR");
        node = StandInGateway::node("N0USR");
        node->written = kLogin;
    }
    // Keep-alive lines the node has had.
    int blanks() const { return int(node->written.mid(kLogin.size()).count(kBlank)); }
    FakeSocket* node = nullptr;
};

} // namespace

class tst_keepalive : public QObject {
    Q_OBJECT
private slots:
    void countsFromLastText_data();
    void countsFromLastText();
};

void tst_keepalive::countsFromLastText_data() {
    QTest::addColumn<int>("minutes");
    QTest::addColumn<int>("talkEveryMs"); // 0: the node says one thing, then nothing
    QTest::addColumn<int>("talkForMs");
    // One line half-way through the first interval: the tick at 200 ms must not count, the
    // keep-alive comes a full interval after the line.
    QTest::newRow("one line, 1 minute") << 1 << 0 << 100;
    QTest::newRow("one line, 3 minutes") << 3 << 0 << 100;
    // A node that talks more often than the interval is never sent a keep-alive, and gets one a
    // full interval after it falls silent.
    QTest::newRow("talks every 50 ms") << 1 << 50 << 700;
    QTest::newRow("talks every 150 ms") << 2 << 150 << 900;
}

void tst_keepalive::countsFromLastText() {
    QFETCH(int, minutes);
    QFETCH(int, talkEveryMs);
    QFETCH(int, talkForMs);
    Rig r(minutes);
    QElapsedTimer t;
    t.start();
    if (talkEveryMs == 0) {
        QTest::qWait(talkForMs);
        r.node->deliver("spot\r\n");
    } else {
        while (t.elapsed() < talkForMs) {
            r.node->deliver("spot\r\n");
            QTest::qWait(talkEveryMs);
            QCOMPARE(r.blanks(), 0);
        }
        r.node->deliver("spot\r\n");
    }
    QElapsedTimer quiet;
    quiet.start();
    QCOMPARE(r.blanks(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(r.blanks(), 1, minutes * kIntervalMs + 2000);
    // Timers may fire a little early (Qt's coarse timers allow 5 %), never a whole tick early.
    QVERIFY2(quiet.elapsed() >= qint64(minutes) * kIntervalMs * 9 / 10,
             qPrintable(QStringLiteral("keep-alive after %1 ms").arg(quiet.elapsed())));
    Session* s = r.gw->sessions().find("N0USR");
    QCOMPARE(s->idle(), 0);
    QVERIFY(s->keepAliveTimer().isActive());
}

QTEST_GUILESS_MAIN(tst_keepalive)
#include "tst_keepalive.moc"

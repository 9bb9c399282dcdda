// The life of the AGW link over real sockets on 127.0.0.1: registration on every connect, the
// error display, the reconnect timer and "Kick".
#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "support/Peers.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <sys/socket.h>

namespace {
QByteArray cfgFor(quint16 agwPort) {
    return "\"Cluster Call\",\"N0CALL-1\"\r\n\"AGW IP\",\"127.0.0.1\"\r\n\"AGW Port\",\"" +
           QByteArray::number(agwPort) + "\"\r\n";
}

quint16 unusedPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}
} // namespace

class tst_agwlink : public QObject {
    Q_OBJECT
private slots:
    void pacedNodeFeelsTheRadio();
    void registersAfterTheConnectPause();
    void registersAgainAfterReconnect();
    void errorDisplayAndRecovery();
    void kickWhileConnectedChangesNothing();
};

void tst_agwlink::registersAfterTheConnectPause() {
    Timing timing;
    timing.connectSleepMs = 500;
    QTcpServer engine;
    QVERIFY(engine.listen(QHostAddress::LocalHost, 0));
    LiveGateway g(timing);
    QElapsedTimer clock;
    clock.start();
    g.start(cfgFor(engine.serverPort()));
    QTRY_VERIFY_WITH_TIMEOUT(engine.hasPendingConnections(), 5000);
    QTcpSocket* peer = engine.nextPendingConnection();
    // The pause holds nothing else up: events go on meanwhile, with the link up and no
    // registration yet.
    QTRY_COMPARE_WITH_TIMEOUT(g.gw->link().state(), int(Socket::Connected), 5000);
    bool pausedOnly = false;
    QTimer::singleShot(50, [&] { pausedOnly = g.gw->link().registeredPorts() == 0; });
    QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() >= 36, 5000);
    QVERIFY(pausedOnly);
    QVERIFY(clock.elapsed() >= 500);
    // The registration on port 0, then the questions for the engine's ports and whether it keeps
    // count of each link's frames.
    QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() >= 108, 5000);
    QCOMPARE(peer->readAll(), linkUpFrames("N0CALL-1"));
    QCOMPARE(g.monitor.shown().status, QStringLiteral("WinsockAGW.State = 7"));
    QVERIFY(!g.monitor.shown().retryOffered);
    QCOMPARE(g.host.title(), QStringLiteral("AGW - Tarn Cluster 1.023C N0CALL-1"));
}

void tst_agwlink::registersAgainAfterReconnect() {
    Timing timing = StandInGateway::quickTiming();
    timing.reconnectIntervalMs = 100;
    QTcpServer engine;
    QVERIFY(engine.listen(QHostAddress::LocalHost, 0));
    LiveGateway g(timing);
    g.start(cfgFor(engine.serverPort()));
    for (int round = 0; round < 2; ++round) {
        QTRY_VERIFY_WITH_TIMEOUT(engine.hasPendingConnections(), 5000);
        QTcpSocket* peer = engine.nextPendingConnection();
        QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() >= 36, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() >= 108, 5000);
        QCOMPARE(peer->readAll(), linkUpFrames("N0CALL-1"));
        // The engine drops the link: nothing visible, the next tick reconnects.
        peer->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(g.gw->link().state(), int(Socket::Closing), 5000);
        QVERIFY(!g.monitor.shown().retryOffered);
        QCOMPARE(g.monitor.shown().linkFailed, false);
    }
}

void tst_agwlink::errorDisplayAndRecovery() {
    Timing timing = StandInGateway::quickTiming();
    timing.reconnectIntervalMs = 300;
    const quint16 port = unusedPort();
    LiveGateway g(timing);
    RecordedFeed& monitor = g.monitor;
    g.start(cfgFor(port));
    QTRY_COMPARE_WITH_TIMEOUT(monitor.shown().linkFailed, true, 5000);
    QVERIFY(monitor.shown().retryOffered);
    const QString message =
        QStringLiteral("Winsock Error: Connection refused at 127.0.0.1  port %1").arg(port);
    QCOMPARE(monitor.shown().status, message);
    QVERIFY(g.log().contains(QStringLiteral("WinsockAGW_Error ") + message));

    // A listener started later is reached at a timer tick; the window stays yellow until then.
    QTcpServer engine;
    QVERIFY(engine.listen(QHostAddress::LocalHost, port));
    QCOMPARE(monitor.shown().linkFailed, true);
    QTRY_VERIFY_WITH_TIMEOUT(engine.hasPendingConnections(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(monitor.shown().linkFailed, false, 5000);
    QVERIFY(!monitor.shown().retryOffered);

    // "Kick" after the engine went away reconnects at once and clears the status line.
    QTcpSocket* peer = engine.nextPendingConnection();
    peer->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(g.gw->link().state(), int(Socket::Closing), 5000);
    g.gw->link().reconnectTimer().setInterval(60000);
    g.gw->kick();
    QCOMPARE(monitor.shown().status, QString());
    QTRY_VERIFY_WITH_TIMEOUT(engine.hasPendingConnections(), 5000);
}

void tst_agwlink::kickWhileConnectedChangesNothing() {
    QTcpServer engine;
    QVERIFY(engine.listen(QHostAddress::LocalHost, 0));
    LiveGateway g;
    g.start(cfgFor(engine.serverPort()));
    QTRY_COMPARE_WITH_TIMEOUT(g.monitor.shown().status, QStringLiteral("WinsockAGW.State = 7"),
                              5000);
    g.monitor.shown().status = QStringLiteral("status");
    g.gw->kick();
    QCOMPARE(g.monitor.shown().status, QStringLiteral("status"));
    QCOMPARE(g.gw->link().state(), int(Socket::Connected));
    QTest::qWait(50);
    QVERIFY(engine.hasPendingConnections());
    engine.nextPendingConnection();
    QVERIFY(!engine.hasPendingConnections());
}

// Against an engine that counts each link's frames: at most 8 of a user's frames in it, the node's
// own queue fills a few KiB after the gateway stops reading, every byte arrives in order as the
// engine airs, and the user's "d" closes the node connection and ends the flow.
void tst_agwlink::pacedNodeFeelsTheRadio() {
    FakeEngine engine;
    engine.countsFrames = true;
    FakeNode node;
    LiveGateway g;
    g.start(settingsFor(engine.port(), node.port()));
    QVERIFY(engine.registered());
    QTRY_VERIFY_WITH_TIMEOUT(g.gw->link().paced(), 5000);
    engine.send(connectFrame("N0USR"));
    FakeNode::Conn* c = node.waitFor("N0USR");
    QVERIFY(c);
    setSocketBuffer(c->sock->socketDescriptor(), SO_SNDBUF, 16384);
    QByteArray flood;
    for (int i = 0; flood.size() < 1024 * 1024; ++i)
        flood += QByteArray::number(i).rightJustified(78, '.') + "\r\n";
    c->sock->write(flood);
    QTRY_COMPARE_WITH_TIMEOUT(engine.held("N0USR"), 8, 5000);
    QTest::qWait(600); // a question or two later: no more without room
    QCOMPARE(engine.held("N0USR"), 8);
    QVERIFY(c->sock->bytesToWrite() > flood.size() - 64 * 1024);
    // The engine airs what it holds, three times over: the text follows in order.
    for (int round = 0; round < 3; ++round) {
        engine.aired("N0USR");
        QTRY_COMPARE_WITH_TIMEOUT(engine.held("N0USR"), 8, 5000);
    }
    const QByteArray aired = engine.text.value("N0USR");
    QCOMPARE(aired.size(), 32 * 79);
    QByteArray expected = flood.left(32 * 80);
    expected.replace("\r\n", "\r");
    QCOMPARE(aired, expected);
    engine.send(disconnectFrame("N0USR"));
    QTRY_VERIFY_WITH_TIMEOUT(c->ended, 5000);
    engine.aired("N0USR");
    QTest::qWait(600);
    QCOMPARE(engine.text.value("N0USR").size(), 32 * 79);
}

QTEST_GUILESS_MAIN(tst_agwlink)
#include "tst_agwlink.moc"

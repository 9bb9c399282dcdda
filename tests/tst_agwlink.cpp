// The life of the AGW link over real sockets on 127.0.0.1: registration on every connect, the
// error display, the reconnect timer and "Kick".
#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "config/Module1.h"
#include "net/Platform.h"
#include "support/Fakes.h"
#include "support/TestUtil.h"
#include "ui/Gateway.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

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
    void init() {
        Module1::settings() = Module1::Settings{};
        platform::timing().connectSleepMs = 0;
        platform::timing().reconnectIntervalMs = 60000;
    }
    void registersAfterTheConnectPause();
    void registersAgainAfterReconnect();
    void errorDisplayAndRecovery();
    void kickWhileConnectedChangesNothing();
};

void tst_agwlink::registersAfterTheConnectPause() {
    platform::timing().connectSleepMs = 500;
    QTcpServer engine;
    QVERIFY(engine.listen(QHostAddress::LocalHost, 0));
    TempAppDir dir;
    dir.write(QStringLiteral("pktgate.cfg"), cfgFor(engine.serverPort()));
    FakeMonitor monitor;
    FakeHost host;
    Gateway gw(monitor, host);
    QElapsedTimer clock;
    clock.start();
    gw.Form_Load();
    QTRY_VERIFY_WITH_TIMEOUT(engine.hasPendingConnections(), 5000);
    QTcpSocket* peer = engine.nextPendingConnection();
    QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() >= 36, 5000);
    QVERIFY(clock.elapsed() >= 500);
    QCOMPARE(peer->readAll(), buildRegisterFrame("N0CALL-1"));
    QCOMPARE(monitor.text1, QStringLiteral("WinsockAGW.State = 7"));
    QVERIFY(!monitor.kickVisible);
    QCOMPARE(host.title(), QStringLiteral("AGW - Tarn Cluster 1.023C N0CALL-1"));
}

void tst_agwlink::registersAgainAfterReconnect() {
    platform::timing().reconnectIntervalMs = 100;
    QTcpServer engine;
    QVERIFY(engine.listen(QHostAddress::LocalHost, 0));
    TempAppDir dir;
    dir.write(QStringLiteral("pktgate.cfg"), cfgFor(engine.serverPort()));
    FakeMonitor monitor;
    FakeHost host;
    Gateway gw(monitor, host);
    gw.Form_Load();
    for (int round = 0; round < 2; ++round) {
        QTRY_VERIFY_WITH_TIMEOUT(engine.hasPendingConnections(), 5000);
        QTcpSocket* peer = engine.nextPendingConnection();
        QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() >= 36, 5000);
        QCOMPARE(peer->readAll(), buildRegisterFrame("N0CALL-1"));
        // The engine drops the link: nothing visible, the next tick reconnects.
        peer->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(gw.link().WinsockAGW().state(), int(Socket::Closing), 5000);
        QVERIFY(!monitor.kickVisible);
        QCOMPARE(monitor.colour, LinkColour::Normal);
    }
}

void tst_agwlink::errorDisplayAndRecovery() {
    platform::timing().reconnectIntervalMs = 300;
    const quint16 port = unusedPort();
    TempAppDir dir;
    dir.write(QStringLiteral("pktgate.cfg"), cfgFor(port));
    FakeMonitor monitor;
    FakeHost host;
    Gateway gw(monitor, host);
    gw.Form_Load();
    QTRY_COMPARE_WITH_TIMEOUT(monitor.colour, LinkColour::Yellow, 5000);
    QVERIFY(monitor.kickVisible);
    const QString message =
        QStringLiteral("Winsock Error: Connection refused at 127.0.0.1  port %1").arg(port);
    QCOMPARE(monitor.text1, message);
    QVERIFY(dir.logEntries().contains(QStringLiteral("WinsockAGW_Error ") + message));

    // A listener started later is reached at a timer tick; the window stays yellow until then.
    QTcpServer engine;
    QVERIFY(engine.listen(QHostAddress::LocalHost, port));
    QCOMPARE(monitor.colour, LinkColour::Yellow);
    QTRY_VERIFY_WITH_TIMEOUT(engine.hasPendingConnections(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(monitor.colour, LinkColour::Normal, 5000);
    QVERIFY(!monitor.kickVisible);

    // "Kick" after the engine went away reconnects at once and clears the status line.
    platform::timing().reconnectIntervalMs = 60000;
    QTcpSocket* peer = engine.nextPendingConnection();
    peer->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(gw.link().WinsockAGW().state(), int(Socket::Closing), 5000);
    gw.link().Timer1().setInterval(60000);
    gw.kick_Click();
    QCOMPARE(monitor.text1, QString());
    QTRY_VERIFY_WITH_TIMEOUT(engine.hasPendingConnections(), 5000);
}

void tst_agwlink::kickWhileConnectedChangesNothing() {
    QTcpServer engine;
    QVERIFY(engine.listen(QHostAddress::LocalHost, 0));
    TempAppDir dir;
    dir.write(QStringLiteral("pktgate.cfg"), cfgFor(engine.serverPort()));
    FakeMonitor monitor;
    FakeHost host;
    Gateway gw(monitor, host);
    gw.Form_Load();
    QTRY_COMPARE_WITH_TIMEOUT(monitor.text1, QStringLiteral("WinsockAGW.State = 7"), 5000);
    monitor.text1 = QStringLiteral("status");
    gw.kick_Click();
    QCOMPARE(monitor.text1, QStringLiteral("status"));
    QCOMPARE(gw.link().WinsockAGW().state(), int(Socket::Connected));
    QTest::qWait(50);
    QVERIFY(engine.hasPendingConnections());
    engine.nextPendingConnection();
    QVERIFY(!engine.hasPendingConnections());
}

QTEST_GUILESS_MAIN(tst_agwlink)
#include "tst_agwlink.moc"

// The TCP socket: what is sent during one turn of the event loop is written at the end of the
// turn, straight to the system where it takes it and through Qt's queue where it does not, and
// nothing may be lost, reordered or left behind on the way; a peer's reset is an error, not an
// orderly close; one connect makes one connection attempt.
#include "net/TcpSocket.h"
#include "net/WriteBudget.h"
#include "support/Peers.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connected pair: the TcpSocket under test and the server side that reads what it sends.
struct Pair {
    QTcpServer server;
    std::unique_ptr<TcpSocket> socket = std::make_unique<TcpSocket>();
    QTcpSocket* peer = nullptr;
    QByteArray received;
    bool peerClosed = false;

    bool open() {
        if (!server.listen(QHostAddress::LocalHost, 0)) return false;
        socket->setRemote(QStringLiteral("127.0.0.1"), server.serverPort());
        socket->connectToHost();
        if (!QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000)) return false;
        peer = server.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::readyRead, [this] { received += peer->readAll(); });
        QObject::connect(peer, &QTcpSocket::disconnected, [this] { peerClosed = true; });
        return QTest::qWaitFor([&] { return socket->state() == Socket::Connected; }, 5000);
    }
};

// Bytes that show their own position, so a reordering or a gap is seen.
QByteArray pattern(int index, int size) {
    QByteArray b = QByteArray::number(index).rightJustified(8, '0') + ':';
    while (b.size() < size)
        b += char('a' + (index + b.size()) % 26);
    b.truncate(size);
    return b;
}

} // namespace

class tst_tcpsocket : public QObject {
    Q_OBJECT
private slots:
    void arrivesWholeAndInOrder_data();
    void arrivesWholeAndInOrder();
    void sentThenClosedInOneTurn_data();
    void sentThenClosedInOneTurn();
    void receivedWholeAndInOrder_data();
    void receivedWholeAndInOrder();
    void sentThenDestroyedInOneTurn();
    void notConnected();
    void peerEnds_data();
    void peerEnds();
    void resetMetByAWrite();
    void resetDuringConnect();
    void unsentCountedTogether();
};

void tst_tcpsocket::arrivesWholeAndInOrder_data() {
    QTest::addColumn<int>("turns");
    QTest::addColumn<int>("sendsPerTurn");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("peerPaused");
    QTest::newRow("one frame") << 1 << 1 << 117 << false;
    QTest::newRow("many frames in one turn") << 1 << 500 << 117 << false;
    QTest::newRow("frames over many turns") << 50 << 20 << 117 << false;
    // More than the system takes at once: the rest waits in Qt's queue, and later sends must
    // queue behind it, not overtake it.
    QTest::newRow("4 MiB in one turn") << 1 << 64 << 65536 << false;
    QTest::newRow("16 MiB over turns while the peer does not read") << 64 << 4 << 65536 << true;
}

void tst_tcpsocket::arrivesWholeAndInOrder() {
    QFETCH(int, turns);
    QFETCH(int, sendsPerTurn);
    QFETCH(int, size);
    QFETCH(bool, peerPaused);
    Pair p;
    QVERIFY(p.open());
    if (peerPaused) {
        // The system's buffers fill up (a few MiB) and the sender's queue has to take the rest.
        p.peer->setReadBufferSize(1);
    }
    qint64 lastProgress = 0;
    connect(p.socket.get(), &Socket::sendProgress, this,
            [&](qint64 sent, qint64) { lastProgress = sent; });

    QByteArray expected;
    int index = 0;
    for (int t = 0; t < turns; ++t) {
        for (int s = 0; s < sendsPerTurn; ++s) {
            const QByteArray b = pattern(index++, size);
            p.socket->send(b);
            expected += b;
        }
        QVERIFY(p.socket->bytesToWrite() > 0); // nothing went before the end of the turn
        QTest::qWait(1);
    }
    if (peerPaused) {
        QTest::qWait(50);
        p.peer->setReadBufferSize(0);
        p.received += p.peer->readAll();
    }
    QTRY_COMPARE_WITH_TIMEOUT(p.received.size(), expected.size(), 10000);
    QCOMPARE(p.received, expected);
    QTRY_COMPARE_WITH_TIMEOUT(p.socket->bytesToWrite(), qint64(0), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(lastProgress, qint64(expected.size()), 5000);
}

// A user's last line and the disconnect right after it, in the same handler; or more than the
// system takes at once, closed while the peer does not read: all of it still goes, then the close.
void tst_tcpsocket::sentThenClosedInOneTurn_data() {
    QTest::addColumn<int>("blocks");
    QTest::newRow("a line") << 0;
    QTest::newRow("8 MiB the peer has not read") << 128;
}

void tst_tcpsocket::sentThenClosedInOneTurn() {
    QFETCH(int, blocks);
    Pair p;
    QVERIFY(p.open());
    QByteArray expected;
    if (blocks > 0) {
        p.peer->setReadBufferSize(1);
        for (int i = 0; i < blocks; ++i) {
            expected += pattern(i, 65536);
            p.socket->send(expected.right(65536));
            if (i == 0) QTest::qWait(1);
        }
        QTRY_VERIFY_WITH_TIMEOUT(p.socket->bytesToWrite() < expected.size() - 65536, 5000);
    }
    p.socket->send("last words\r\n");
    expected += "last words\r\n";
    p.socket->close();
    QCOMPARE(p.socket->state(), int(Socket::Closed));
    QCOMPARE(p.socket->bytesToWrite(), qint64(0));
    if (blocks > 0) {
        QTest::qWait(50);
        p.peer->setReadBufferSize(0);
        p.received += p.peer->readAll();
    }
    QTRY_VERIFY_WITH_TIMEOUT(p.peerClosed, 10000);
    p.received += p.peer->readAll();
    QCOMPARE(p.received.size(), expected.size());
    QCOMPARE(p.received, expected);
}

// What the peer sends arrives whole and in order, also when reading is paused while the peer
// sends more than is taken from the network at once; its close comes after its last bytes.
void tst_tcpsocket::receivedWholeAndInOrder_data() {
    QTest::addColumn<bool>("paused");
    QTest::addColumn<int>("receiveBuffer");
    QTest::newRow("reading") << false << 0;
    QTest::newRow("paused while 1 MiB comes") << true << 0;
    // A small receive buffer: the peer's own queue fills a few KiB after the reading stopped.
    QTest::newRow("paused, 4 KiB receive buffer") << true << 4096;
}

void tst_tcpsocket::receivedWholeAndInOrder() {
    QFETCH(bool, paused);
    QFETCH(int, receiveBuffer);
    Pair p;
    p.socket->setReceiveBuffer(receiveBuffer);
    QVERIFY(p.open());
    QByteArray received;
    bool closedAfter = false;
    connect(p.socket.get(), &Socket::dataArrived, this, [&](qint64 n) {
        QCOMPARE(n, p.socket->bytesAvailable());
        received += p.socket->readAll();
    });
    connect(p.socket.get(), &Socket::peerClosed, this, [&] {
        received += p.socket->readAll();
        closedAfter = true;
    });
    if (paused) p.socket->setReading(false);
    if (receiveBuffer > 0) setSocketBuffer(p.peer->socketDescriptor(), SO_SNDBUF, 16384);
    QByteArray expected;
    for (int i = 0; i < 16; ++i)
        expected += pattern(i, 65536);
    p.peer->write(expected);
    p.peer->disconnectFromHost();
    if (paused) {
        QTest::qWait(100);
        QVERIFY(received.isEmpty());
        QVERIFY(!closedAfter);
        // The system holds a few KiB for us: the peer keeps the rest.
        if (receiveBuffer > 0) QVERIFY(p.peer->bytesToWrite() > expected.size() - 64 * 1024);
        p.socket->setReading(true);
    }
    QTRY_VERIFY_WITH_TIMEOUT(closedAfter, 10000);
    QCOMPARE(received.size(), expected.size());
    QCOMPARE(received, expected);
    QCOMPARE(p.socket->state(), int(Socket::Closing));
}

// A socket that goes away with data queued must leave nothing behind for the end of the turn.
void tst_tcpsocket::sentThenDestroyedInOneTurn() {
    Pair p;
    QVERIFY(p.open());
    Pair q;
    QVERIFY(q.open());
    p.socket->send("from p\r\n");
    q.socket->send("from q\r\n");
    p.socket.reset();
    QTRY_COMPARE_WITH_TIMEOUT(q.received, QByteArray("from q\r\n"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(p.peerClosed, 5000);
    p.received += p.peer->readAll();
    QCOMPARE(p.received, QByteArray("from p\r\n"));
}

void tst_tcpsocket::notConnected() {
    TcpSocket s;
    QVERIFY_THROWS_EXCEPTION(std::exception, s.send("x"));
    QCOMPARE(s.bytesToWrite(), qint64(0));
}

// The peer ends the connection in order (FIN) or resets it (RST).
void tst_tcpsocket::peerEnds_data() {
    QTest::addColumn<bool>("reset");
    QTest::newRow("orderly close") << false;
    QTest::newRow("reset") << true;
}

void tst_tcpsocket::peerEnds() {
    QFETCH(bool, reset);
    QCOMPARE(socketSeesPeerEnd(reset),
             reset ? QStringList{"error: Connection reset by peer 9"} : QStringList{"closed 8"});
}

// The node resets the connection just before the gateway writes to it (its login line): the
// write meets the reset and takes its error, and the read after it sees only the end. That is
// still the reset it was, reported once as an error, never as the node's orderly close.
void tst_tcpsocket::resetMetByAWrite() {
    Pair p;
    QVERIFY(p.open());
    QStringList seen;
    QObject::connect(p.socket.get(), &Socket::peerClosed,
                     [&] { seen << QStringLiteral("closed"); });
    QObject::connect(p.socket.get(), &Socket::errorOccurred,
                     [&](const QString& d) { seen << QStringLiteral("error: ") + d; });
    // On the loopback the reset has reached the gateway's end when abort() returns.
    resetConnection(p.peer);
    p.socket->send("GB7TC\r\n");
    QVERIFY(QTest::qWaitFor([&] { return !seen.isEmpty(); }, 5000));
    QTest::qWait(50);
    QCOMPARE(seen, QStringList{"error: Connection reset by peer"});
    QCOMPARE(p.socket->state(), int(Socket::Error));
}

// The node accepts and resets at once, before the gateway has looked at its connect: that is one
// failed attempt, reported once, and no second connection reaches the node.
void tst_tcpsocket::resetDuringConnect() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    QCOMPARE(::listen(listener, 16), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);

    TcpSocket s;
    QSignalSpy connected(&s, &Socket::connected);
    QSignalSpy failed(&s, &Socket::errorOccurred);
    s.setRemote(QStringLiteral("127.0.0.1"), ntohs(addr.sin_port));
    s.connectToHost();
    // The kernel completes the handshake on its own; the node takes the connection and resets
    // it while the gateway has not yet handled anything.
    const int conn = ::accept(listener, nullptr, nullptr);
    QVERIFY(conn >= 0);
    const linger hard{1, 0};
    ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(conn);
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 5000);
    QTest::qWait(300);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(connected.size(), 0);
    QCOMPARE(s.state(), int(Socket::Error));
    // Nothing more came to the node.
    ::fcntl(listener, F_SETFL, O_NONBLOCK);
    QCOMPARE(::accept(listener, nullptr, nullptr), -1);
    ::close(listener);
}

// Sockets that share a budget count what they hold unsent together, a closed connection that
// still flushes included, until the system has taken it.
void tst_tcpsocket::unsentCountedTogether() {
    auto budget = std::make_shared<WriteBudget>(1024 * 1024);
    Pair a, b;
    a.socket = std::make_unique<TcpSocket>(nullptr, budget);
    b.socket = std::make_unique<TcpSocket>(nullptr, budget);
    QVERIFY(a.open() && b.open());
    for (Pair* p : {&a, &b}) {
        QObject::disconnect(p->peer, &QTcpSocket::readyRead, nullptr, nullptr);
        p->peer->setReadBufferSize(1);
    }
    const QByteArray chunk = pattern(1, 16 * 1024 * 1024);
    a.socket->send(chunk);
    b.socket->send(chunk);
    QTest::qWait(100);
    QCOMPARE(budget->used(), a.socket->bytesToWrite() + b.socket->bytesToWrite());
    QVERIFY(budget->over());
    // Closed with data unsent: still counted while it flushes.
    const qint64 held = budget->used();
    a.socket->close();
    QCOMPARE(budget->used(), held);
    for (Pair* p : {&a, &b}) {
        p->peer->setReadBufferSize(0);
        QObject::connect(p->peer, &QTcpSocket::readyRead, p->peer,
                         [p] { p->received += p->peer->readAll(); });
        p->received += p->peer->readAll();
    }
    QTRY_COMPARE_WITH_TIMEOUT(budget->used(), 0, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(a.received.size() + b.received.size(), 2 * chunk.size(), 10000);
}

QTEST_GUILESS_MAIN(tst_tcpsocket)
#include "tst_tcpsocket.moc"

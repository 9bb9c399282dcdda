#pragma once
// The gateway's two peers on real sockets on 127.0.0.1, for tests that run the gateway (or the
// whole window) against them: a packet engine that accepts the gateway's AGW link and a cluster
// node that accepts one connection per radio user.
#include "tools/SimLinks.h"
#include "tools/SimServer.h"

#include <QHash>
#include <QList>
#include <memory>
#include <vector>

// Frames the engine sends for a radio user.
QByteArray connectFrame(const QByteArray& call, quint8 port = 1);
QByteArray dataFrame(const QByteArray& call, const QByteArray& data, quint8 port = 1);
QByteArray disconnectFrame(const QByteArray& call, quint8 port = 1);

using sim::setSocketBuffer;
// Ends a connection with RST instead of an orderly close, unread data and all.
void resetConnection(QTcpSocket* s);

// The engine: accepts the gateway's link (a new one replaces the old), reads its frames and keeps
// per user the text and the disconnects it received. It answers nothing on its own ("X", "R",
// "G" go unanswered) and airs a user's frames only when told.
class FakeEngine : public QObject {
public:
    // receiveBuffer: the accepted link's receive buffer in bytes (0: the system's default).
    explicit FakeEngine(int receiveBuffer = 0);
    ~FakeEngine() override;

    quint16 port() const { return server.serverPort(); }
    void send(const QByteArray& bytes);
    // Sends and waits until the system has taken it all (at most 10 s).
    bool sendAll(const QByteArray& bytes);
    // Stops reading: what the gateway sends waits in the system's buffers.
    void pause(bool on);
    // Waits (at most 5 s) until the gateway has registered `times` times in all.
    bool registered(int times = 1);
    // Frames of a kind sent to a user, in order; kept when keepFrames is set.
    QList<QByteArray> to(const QByteArray& call, char kind = 'D') const;

    // Answers "Y" as the simulator's engine does (sim::LinkBook): for a link it reported with a
    // "C", the "D" frames it holds (those it has not aired()), 0 for anything else.
    bool countsFrames = false;
    int held(const QByteArray& call) const { return links.outstanding(call); }
    void aired(const QByteArray& call) { links.airAll(call); }

    sim::PeerServer server;
    sim::FrameLink link;
    bool keepFrames = false;
    int connections = 0, registrations = 0, broken = 0, outstandingAsked = 0;
    QByteArray registeredCall; // the callsign of the last registration
    qint64 frames = 0;
    quint32 maxDataLen = 0;
    QList<QByteArray> kept;
    QHash<QByteArray, QByteArray> text; // the data of the "D" frames, per user
    QHash<QByteArray, int> disconnects; // "d" frames, per user

private:
    void read();
    void take(QByteArrayView f);
    sim::LinkBook<> links;
    FrameAssembler reported; // what the engine sent, for the links it reported
};

// The node: one connection per user, known by its first line (or the line after a PROXY line);
// silent but for its greeting.
class FakeNode : public QObject {
public:
    struct Conn {
        QTcpSocket* sock = nullptr;
        QByteArray bytes;
        bool ended = false;
        bool reading = true;
    };
    explicit FakeNode(int receiveBuffer = 0, int sendBuffer = 0);
    ~FakeNode() override;

    quint16 port() const { return server.serverPort(); }
    // The connection whose first line is call (null when there is none).
    Conn* of(const QByteArray& call);
    // Waits (at most 5 s) for the connection of call.
    Conn* waitFor(const QByteArray& call);
    // The node stops reading this connection: the system's buffers fill, then the gateway's.
    static void stopReading(Conn* c);

    sim::PeerServer server;
    std::vector<std::unique_ptr<Conn>> conns;
    QByteArray greeting; // sent on every new connection (a login prompt, say)
};

// The engine and the node, for a gateway between them.
struct PeerPair {
    explicit PeerPair(int engineReceive = 0, int nodeReceive = 0, int nodeSend = 0)
        : engine(engineReceive), node(nodeReceive, nodeSend) {}
    // A user connects and is logged in at the node (null when not within 5 s).
    FakeNode::Conn* login(const QByteArray& call, quint8 port = 1) {
        engine.send(connectFrame(call, port));
        return node.waitFor(call);
    }
    FakeEngine engine;
    FakeNode node;
};

// One HTTP answer: its status code (0: the connection ended without one), head and body.
struct HttpReply {
    int code = 0;
    QByteArray head, body;
};
// Sends raw bytes to 127.0.0.1:port and reads one answer (at most 5 s).
HttpReply httpRequest(quint16 port, const QByteArray& bytes);
// A request without a body for a path.
HttpReply httpGet(quint16 port, const QByteArray& path, const QByteArray& method = "GET");

// A TcpSocket connects to a listener on 127.0.0.1 whose side then ends the connection in order
// (FIN) or with a reset (RST), right after some last words. What the socket reported, waited for
// at most 5 s and then 50 ms more: "closed" or "error: <description>", each with the socket's
// state code after it.
QStringList socketSeesPeerEnd(bool reset);

// A settings file that points the gateway at an engine and a node on 127.0.0.1.
QByteArray settingsFor(quint16 agwPort, quint16 nodePort, int packetLength = 130);

#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/Platform.h"
#include "relay/Gateway.h"
#include "support/Fakes.h"
#include "support/TestUtil.h"

// A gateway on real TCP sockets with a recorded feed, its files in a temporary directory.
struct LiveGateway {
    explicit LiveGateway(Timing timing = StandInGateway::quickTiming(),
                         RecordedFeed* monitor = nullptr);
    ~LiveGateway();
    // Runs the start-up sequence with this settings file.
    void start(const QByteArray& cfg);
    QStringList log() const { return dir.logEntries(); }

    TempDir dir;
    ErrorLog errorLog;
    Settings settings;
    RecordedFeed ownMonitor;
    RecordedFeed& monitor;
    FakeHost host;
    std::unique_ptr<Gateway> gw;
};

#pragma once
// The simulated AGW packet engine: listens for the gateway, answers its registrations, its version
// request and its question for the radio ports, and carries the simulated radio users' connects,
// lines and disconnects.
//
// An engine of one radio port (the default) takes users on any port number. An engine of several
// takes a user on a port only once the gateway has registered the cluster callsign there, and
// drops what the gateway sends a user on another port than the user's.
//
// With a radio (a baud rate above 0) every user has a simulated AX.25 link: the "D" frames for
// the user wait and air at that rate, the user reads a frame once it has aired, and the engine
// answers "Y" with the frames it still holds for a user, as Direwolf does. Without one the frames
// reach the users at once and "Y" goes unanswered, as with a plain AGW server.
#include "tools/SimLinks.h"
#include "tools/SimServer.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <memory>
#include <vector>

namespace sim {

class SimEngine : public QObject {
    Q_OBJECT
public:
    struct Counters {
        quint64 framesIn = 0;       // whole frames from the gateway
        quint64 framesOut = 0;      // frames to the gateway
        quint64 linesSent = 0;      // lines the users typed
        quint64 linesReceived = 0;  // whole lines the users received
        quint64 usersConnected = 0; // "C" frames sent
        quint64 usersGreeted = 0;   // users that received anything at all
        quint64 framesDropped = 0;  // "D" or "d" for a station that is not connected here
    };

    explicit SimEngine(QObject* parent = nullptr);
    ~SimEngine() override;

    // Listens on 127.0.0.1 (port 0: any free port).
    bool listen(quint16 port, QString& error);
    quint16 port() const;

    // Every frame towards the gateway is then written in several pieces, one per event-loop turn.
    void setSplitFrames(bool on) { m_split = on; }
    // The engine's radio ports, 1 to 256, as its answer to "G" tells them.
    void setPorts(int count) { m_ports = qBound(1, count, 256); }
    int ports() const { return m_ports; }
    // Each user's radio link; a baud rate of 0 (the default here) means none.
    void setRadio(const RadioTiming& timing) {
        m_radio = timing;
        m_users.setTiming(timing);
    }
    const RadioTiming& radio() const { return m_radio; }
    bool hasRadio() const { return m_radio.baud > 0; }
    // The frames held for a user (queued and on air); 0 for a user not connected.
    int outstanding(const QByteArray& call) const { return m_users.outstanding(call); }
    // The same over all users.
    int outstandingTotal() const { return m_users.outstandingTotal(); }
    // True when the gateway's registration holds on this radio port.
    bool registeredOn(quint8 port) const;
    // The callsign users connect to; empty (the default): the first one the gateway registers.
    void setClusterCall(const QByteArray& call) { m_fixedCall = call; }
    QByteArray clusterCall() const { return m_fixedCall.isEmpty() ? m_firstCall : m_fixedCall; }
    // True while a gateway connection holds the registration of the cluster callsign.
    bool gatewayReady() const { return m_gateway != nullptr; }

    // The radio users. Each call returns false (and sends nothing) when there is no registered
    // gateway, or the user is not connected (already connected, for connectUser).
    bool connectUser(const QByteArray& call, quint8 radioPort = 0);
    // Sends one typed line as a "D" frame; a CR is added.
    bool sendLine(const QByteArray& call, const QByteArray& line);
    // The user ends the connection: a "d" frame.
    bool disconnectUser(const QByteArray& call);
    bool hasUser(const QByteArray& call) const { return m_users.links().contains(call); }
    int userCount() const { return int(m_users.links().size()); }

    // Bytes queued towards the gateway and not yet handed to the system.
    qint64 bytesQueued() const;
    const Counters& counters() const { return m_counters; }

signals:
    void gatewayRegistered(const QByteArray& call);
    // The gateway registered the cluster callsign on a radio port beyond 0.
    void portRegistered(quint8 port);
    void gatewayLost();
    // A user connected ("C" sent).
    void userConnected(const QByteArray& call);
    // A "D" frame from the gateway reached a connected user's link; `outstanding` counts it.
    void frameArrived(const QByteArray& call, const QByteArray& data, int outstanding);
    // A frame for a user has aired (at once without a radio): the user has read it.
    void frameAired(const QByteArray& call, const QByteArray& data);
    // The gateway asked for a connected user's frames outstanding ("Y").
    void outstandingAsked(const QByteArray& call, int outstanding);
    // A whole line (without its CR) the gateway sent to a user.
    void userLine(const QByteArray& call, const QByteArray& line);
    // A user left: on its own (byGateway false) or because the gateway asked for it.
    void userGone(const QByteArray& call, bool byGateway);
    // The gateway's write queue has room again (for senders that go flat out).
    void drained();
    void notice(const QString& text);

private:
    struct Connection : FrameLink {
        QByteArray registered;
        QList<quint8> ports;      // the radio ports the cluster callsign is registered on
        QList<QByteArray> pieces; // split mode: still to write, in order
        qint64 piecesBytes = 0;
    };
    struct User : EngineLink {
        QByteArray partial; // the start of a line not yet ended by CR
        bool greeted = false;
        QTimer* airTimer = nullptr; // keying up, then the burst until its acknowledgement
        bool keying = false;
    };

    void onNewConnection(QTcpSocket* s);
    void onReadyRead(Connection* c);
    void onClosed(Connection* c);
    void handleFrame(Connection* c, QByteArrayView frame);
    void deliver(const QByteArray& call, const QByteArray& data);
    void queueForAir(const QByteArray& call, const QByteArray& data);
    void onAirTimer(const QByteArray& call);
    // Drops the user with what its link still holds.
    void removeUser(const QByteArray& call);
    void answerOutstanding(Connection* c, const AgwHeader& h);
    void send(Connection* c, const QByteArray& frame);
    void writePieces();

    PeerServer* m_server = nullptr;
    std::vector<std::unique_ptr<Connection>> m_connections;
    Connection* m_gateway = nullptr;
    RadioTiming m_radio; // no radio until setRadio()
    LinkBook<User> m_users{m_radio};
    QByteArray m_fixedCall;
    QByteArray m_firstCall;
    bool m_split = false;
    int m_ports = 1;
    QTimer m_pieceTimer;
    Counters m_counters;
};

} // namespace sim

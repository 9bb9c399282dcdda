#pragma once
// One radio user's session: the user's callsign, radio port and slot number, the connection to
// the cluster node that logs the user in and relays text both ways, the keep-alive timing, and
// the text the user typed while that connection was being made. A session knows its state and
// ends in one way, end(), whatever the reason.
#include "net/Socket.h"
#include "relay/NodeLogin.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

class DescriptorBudget;
class ErrorLog;
class RadioSender;
struct Settings;

// Where the cluster node listens.
struct NodeAddress {
    QString host;
    quint16 port = 0;
};

// What every session needs of the gateway around it.
struct SessionContext {
    const Settings& settings;
    ErrorLog& log;
    RadioSender& radio;
    SocketFactory nodeSockets;
    int keepAliveIntervalMs = 60000;
    DescriptorBudget* descriptors = nullptr; // none: new users are never refused for descriptors
    const NodePolicy* policy = nullptr;      // none: only the cluster callsign is refused
};

class Session : public QObject {
    Q_OBJECT
public:
    enum class State {
        Connecting, // the node connection is being made; the user's text is held
        LoggedIn,   // the callsign went to the node; text flows both ways
        Closing,    // the node closed; the user was asked to disconnect, the engine's "d" awaited
        Ended,      // gone from the table; nothing more is sent for it
    };
    enum class End {
        UserLeft,       // the engine reported the user's disconnect
        NodeFailed,     // the node connection failed or was reset
        NodeNotReading, // the node left too much of the user's text unread
        HeldOverflow,   // the user typed more than can be held while the node connection is made
        LinkLost,       // the AGW link went, and the user's radio link with it
        Shutdown,       // the program ends
    };

    // Text a user types before the node connection is up is held, up to this much.
    static constexpr qsizetype kMaxHeldBytes = 64 * 1024;
    // A node that leaves this much of a user's text unread has stopped reading.
    static constexpr qint64 kMaxNodeQueue = 1024 * 1024;

    Session(int slot, const QByteArray& callsign, quint8 port, SessionContext& context,
            QObject* parent = nullptr);
    ~Session() override;

    int slot() const { return m_slot; }
    const QByteArray& callsign() const { return m_callsign; }
    quint8 port() const { return m_port; }
    State state() const { return m_state; }
    qint32 idle() const { return m_idle; }
    qsizetype heldBytes() const { return m_held.size(); }
    // When the user connected, and what went each way since.
    const QDateTime& since() const { return m_since; }
    qint64 toNodeBytes() const { return m_toNodeBytes; }
    qint64 toNodeLines() const { return m_toNodeLines; }
    qint64 toRadioBytes() const { return m_toRadioBytes; }
    qint64 toRadioLines() const { return m_toRadioLines; }
    Socket& node() { return *m_node; }
    const Socket& node() const { return *m_node; }
    const QTimer& keepAliveTimer() const { return m_keepAlive; }

    // Connects to the node; the login follows when the connection is up.
    void start(const NodeAddress& address);
    // The user connected again while the session lives: the port is taken anew and the quiet
    // interval starts again. A session whose node has gone connects again, with a new login.
    void userConnectedAgain(quint8 port);
    // Text the user typed, ready for the node (zero bytes dropped, CR followed by LF). False
    // when the session cannot take text (its node has gone): the station is then answered with
    // a disconnect. A session that ends over it has said so itself and returns true.
    bool userText(const QByteArray& text);
    // Ends the session: what the reason asks for (a log line, a disconnect to the user), then
    // the node connection is closed after what the user sent, and ended() is emitted.
    void end(End reason, const QString& detail = QString());
    // Stops (false) or resumes (true) reading the node: back-pressure from the engine's queue.
    void setReading(bool on);
    // One tick of the keep-alive timer.
    void keepAliveTick();

signals:
    void ended(Session* session);

private:
    void connectNode();
    void onNodeConnected();
    void onNodeData();
    void onNodeClosed();
    void onNodeError(const QString& description);
    void restartQuietInterval();

    const int m_slot;
    const QByteArray m_callsign;
    quint8 m_port;
    SessionContext& m_context;
    State m_state = State::Connecting;
    NodeAddress m_address;
    std::unique_ptr<Socket> m_node;
    QTimer m_keepAlive;
    qint32 m_idle = 0;
    qint64 m_lastNodeData = 0; // when the node last spoke (monotonic ms); 0: not since the start
    QByteArray m_held;
    LoginPromptFilter m_prompt; // the node's first bytes on the connection
    QDateTime m_since;
    qint64 m_toNodeBytes = 0, m_toNodeLines = 0;
    qint64 m_toRadioBytes = 0, m_toRadioLines = 0;
};

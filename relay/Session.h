#pragma once
// One radio user's session: the user's callsign, radio port and slot number, the connection to
// the cluster node that logs the user in and relays text both ways, the keep-alive timing, the
// text the user typed while that connection was being made, and the node's text that the engine
// has not been given yet. A session knows its state and ends in one way, end(), whatever the
// reason.
//
// On a paced link the session hands the engine the node's text only while fewer than the link's
// limit of the user's frames wait in the engine, and it stops reading the node while it holds more
// than two packets' worth: the node's own connection fills, and the node feels the radio's pace.
#include "agwlink/RadioQueue.h"
#include "net/Socket.h"
#include "relay/NodeLogin.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

class DescriptorBudget;
class WriteBudget;
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
    // What all node connections together hold unsent (none: not bounded together).
    const WriteBudget* nodeQueue = nullptr;
};

// Text that went one way: its bytes and its lines (line feeds).
struct TextCount {
    qint64 bytes = 0, lines = 0;
    void count(const QByteArray& text) {
        bytes += text.size();
        lines += text.count('\n');
    }
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
    // On a paced link, the receive buffer of the node connection: small, so that what waits for
    // a slow radio stays in the node.
    static constexpr int kPacedReceiveBuffer = 4096;

    Session(int slot, const QByteArray& callsign, quint8 port, SessionContext& context,
            QObject* parent = nullptr);
    ~Session() override;

    int slot() const { return m_slot; }
    const QByteArray& callsign() const { return m_callsign; }
    quint8 port() const { return m_port; }
    State state() const { return m_state; }
    qint32 idle() const { return m_idle; }
    // The user's text held while the node connection is made.
    qsizetype heldBytes() const { return m_held.size(); }
    // What waits for the radio.
    const RadioQueue& toRadio() const { return m_toRadio; }
    // When the user connected, and what went each way since.
    const QDateTime& since() const { return m_since; }
    qint64 toNodeBytes() const { return m_sentToNode.bytes; }
    qint64 toNodeLines() const { return m_sentToNode.lines; }
    qint64 toRadioBytes() const { return m_sentToRadio.bytes; }
    qint64 toRadioLines() const { return m_sentToRadio.lines; }
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
    // The link turned out to be paced after the session started.
    void linkPaced();
    // The engine's answer: it holds `frames` of the user's frames (on that radio port).
    void framesOutstanding(quint8 port, quint32 frames);
    // Asks the engine for the user's frames outstanding, unless a question is unanswered.
    void askEngine();
    // Text for the user waits for room in the engine (on a paced link): the engine is asked.
    bool pacingBusy() const { return m_pacingBusy; }
    // One tick of the keep-alive timer.
    void keepAliveTick();

signals:
    void ended(Session* session);
    // The session started or stopped waiting for the engine (pacingBusy()).
    void pacingBusyChanged(Session* session, bool busy);

private:
    void connectNode();
    void onNodeConnected();
    void onNodeData();
    void onNodeClosed();
    void onNodeError(const QString& description);
    void restartQuietInterval();
    // Hands the engine what may go now, and sends the disconnect the node's close asked for once
    // nothing is held.
    void pump();
    void updateReading();

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
    RadioQueue m_toRadio;
    bool m_linkReading = true;    // the engine's queue has room
    bool m_reading = true;        // the node connection is read
    bool m_pacingBusy = false;    // waits for the engine
    bool m_disconnectDue = false; // the node closed: the user is disconnected once all is handed
    LoginPromptFilter m_prompt;   // the node's first bytes on the connection
    QDateTime m_since;
    TextCount m_sentToNode, m_sentToRadio;
};

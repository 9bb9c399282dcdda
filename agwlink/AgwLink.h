#pragma once
// The one connection to the packet engine and the whole of its protocol, both ways: the link is
// opened at start-up, the cluster callsign registered on every connect, errors shown, and the link
// reconnected every minute (or by "Kick") while it is down. What the engine sends is read,
// reassembled into frames and decoded here, and reported as typed events (AgwLinkEvents); what
// the relay wants sent is asked for as typed requests (text for a user, a disconnect, the count of
// a user's frames the engine still holds).
//
// The registration is on radio port 0. With every port asked for (setAllPorts), the engine is
// then asked for its radio ports ("G") and its answer registers the callsign on the others.
//
// Pacing: right after the registration the link asks the engine once how many frames it holds for
// a station it has no link with ("Y"). An engine that answers reports, from then on, each user's
// frames outstanding, and the link is paced: the relay keeps at most frameLimit() frames per user
// in the engine. Until an answer has come (an engine that never answers: a plain AGW server), the
// link runs unpaced and sends nothing but what the relay asks for.
#include "agwlink/AgwFrame.h"
#include "agwlink/FrameAssembler.h"
#include "agwlink/Steps.h"
#include "net/Platform.h"
#include "net/Socket.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <memory>

class ErrorLog;
class LinkObserver;
struct Settings;

// What the link reports. Calls come from inside the link's own notifications, one at a time; a
// handler that fails reports its own failure (the link goes on with the next frame).
class AgwLinkEvents {
public:
    virtual ~AgwLinkEvents() = default;

    // The link came up (before the registration), or went: the engine closed it, it failed, or
    // the gateway reset it. Every radio user's link goes with it.
    virtual void linkUp() = 0;
    virtual void linkLost() = 0;

    // `count` bytes were read from the engine in one go; their frames follow.
    virtual void arrival(qint64 count) = 0;
    // Every whole frame the engine sends, in order, but the answers to the link's own questions
    // for frames outstanding: to be shown. What it means follows in one of the calls below.
    virtual void frameSeen(const AgwHeader& header, QByteArrayView data, bool firstOfArrival) = 0;

    // A radio user connected ("C"), typed (connected data "D", the data as it came), or left
    // ("d"). The callsign is CallFrom as read; it may be empty or unusable.
    virtual void userConnected(quint8 port, const QByteArray& call) = 0;
    virtual void userData(quint8 port, const QByteArray& call, QByteArrayView data) = 0;
    virtual void userLeft(quint8 port, const QByteArray& call) = 0;
    // The engine's answer to a question for a user's frames outstanding.
    virtual void framesOutstanding(quint8 port, const QByteArray& call, quint32 frames) = 0;
    // Any other frame. `answered`: it answered the link's own question (its radio ports) and was
    // taken care of; it is only to be shown.
    virtual void otherFrame(const AgwHeader& header, QByteArrayView data, bool answered) = 0;

    // The receive side failed at a step (reading the socket, merging an arrival, a frame that
    // cannot be one); `description` says why. After a frame that cannot be one the link starts
    // afresh.
    virtual void receiveFailed(Step step, const QString& description, bool linkReset) = 0;
};

class AgwLink : public QObject {
    Q_OBJECT
public:
    // The frames per user the relay keeps in a paced engine by default: twice an AX.25 v2.0
    // window of 4.
    static constexpr int kDefaultFrameLimit = 8;
    // The first question for frames outstanding goes unanswered this long: the link runs unpaced.
    static constexpr int kPacingAnswerMs = 5000;

    AgwLink(const Settings& settings, ErrorLog& log, LinkObserver& observer, SocketFactory sockets,
            const Timing& timing, QObject* parent = nullptr);
    ~AgwLink() override;

    // Where the events go (none: nothing is reported). Set before the link is opened.
    void setEvents(AgwLinkEvents* events) { m_events = events; }

    // Where the engine listens; kept between connection attempts.
    void setEngineHost(const QString& host);
    void setEnginePort(quint16 port);
    QString engineHost() const;
    quint16 enginePort() const;
    // The link's socket state code (7: connected).
    int state() const;
    // Bytes handed to the link that the system has not taken yet.
    qint64 bytesQueued() const;

    // Requests the connection to the engine.
    void open();
    // Closes the link; nothing is sent before it. Not a loss: the sessions are not told.
    void close();
    // Drops the connection and asks for a new one at once (the link has lost its framing).
    void reset();
    // The "Kick" menu entry: a manual reconnect while the link is down.
    void kick();
    // The reconnect timer's tick: reconnects while the link is down.
    void reconnectTick();
    QTimer& reconnectTimer() { return m_reconnectTimer; }

    // Requests. Each sends one frame from the registered cluster callsign; each throws Failure
    // when the link is not connected.
    // Connected data for a user: one "D" frame with `data` (at most a packet length of text).
    void sendData(quint8 port, const QByteArray& call, const QByteArray& data);
    // Asks the engine to disconnect a user: one "d" frame without data.
    void sendDisconnect(quint8 port, const QByteArray& call);
    // Asks the engine how many of a user's frames it still holds ("Y"); the answer comes as
    // framesOutstanding(). Nothing is asked of an engine that is not known to answer.
    void askOutstanding(quint8 port, const QByteArray& call);

    // The receive side: reads what waits on the socket and handles every whole frame; an arrival
    // can also be handed in directly (tests, fuzzing).
    void readEngine();
    void handleArrival(QByteArrayView arrival, qint64 count);
    const FrameAssembler& assembler() const { return m_assembler; }

    // The callsign registered at the last connect: the sender of every frame to a radio user.
    const QByteArray& registeredCall() const { return m_registeredCall; }

    // Registers on every radio port of the engine from the next connect on (the default; off:
    // port 0 only, and the engine is not asked for its ports).
    void setAllPorts(bool on) { m_allPorts = on; }
    // Radio ports the callsign was registered on in this connection (0 before the first).
    int registeredPorts() const { return m_ports; }

    // At most this many frames per user in a paced engine (0: never paced: the engine is not
    // asked, and the link runs as a plain AGW client).
    void setFrameLimit(int frames) { m_frameLimit = qMax(0, frames); }
    // The limit while the link is paced, 0 while it is not.
    int frameLimit() const { return m_paced ? m_frameLimit : 0; }
    bool paced() const { return m_paced; }

    // Frames queued for the engine beyond this stop the reading of the node connections and of
    // the engine itself until the queue is down to kLowWater again, so an engine that stops
    // reading cannot make the gateway buffer without bound.
    static constexpr qint64 kHighWater = 1024 * 1024;
    static constexpr qint64 kLowWater = 256 * 1024;
    bool congested() const { return m_congested; }

    // Frames and bytes handed to the engine and taken from it, "Y" questions asked, times the link
    // came up, and when it last came up or went down.
    quint64 framesSent() const { return m_framesSent; }
    quint64 bytesSent() const { return m_bytesSent; }
    quint64 framesReceived() const { return m_framesReceived; }
    quint64 bytesReceived() const { return m_bytesReceived; }
    quint64 outstandingAsked() const { return m_outstandingAsked; }
    quint64 connects() const { return m_connects; }
    const QDateTime& changedAt() const { return m_changedAt; }

signals:
    // The link went (as AgwLinkEvents::linkLost), for whoever else watches it.
    void lost();
    // The engine's queue crossed the high (true) or the low (false) water mark.
    void congestion(bool on);
    // The link learnt whether the engine reports frames outstanding (once per connection).
    void pacingLearnt(bool paced);

private:
    void onConnected();
    void registerCall();
    void onError(const QString& description);
    void onPeerClosed();
    void onSendProgress(qint64 bytesSent, qint64 bytesRemaining);
    void setCongested(bool on);
    void checkStall();
    void reconnect();
    void lose();
    void send(const QByteArray& frame);
    void handleFrame(QByteArrayView frame, bool firstOfArrival);
    bool portsAnswered(int count);
    bool outstandingAnswered(const AgwHeader& h, QByteArrayView data);
    void pacingUnanswered();

    const Settings& m_settings;
    ErrorLog& m_log;
    LinkObserver& m_observer;
    AgwLinkEvents* m_events = nullptr;
    const int m_connectSleepMs;
    const int m_stallResetMs;
    std::unique_ptr<Socket> m_socket;
    QTimer m_reconnectTimer;
    QTimer m_registerTimer; // the pause between the connect and the registration
    QTimer m_stallTimer;    // looks, while the link is congested, whether the engine still takes
    QTimer m_pacingTimer;   // the first question for frames outstanding left unanswered
    FrameAssembler m_assembler;
    QByteArray m_registeredCall;
    bool m_allPorts = true;
    bool m_portsAsked = false; // the "G" went out on this connection and has not been answered
    int m_ports = 0;
    int m_frameLimit = kDefaultFrameLimit;
    bool m_pacingAsked = false; // the first "Y" went out on this connection, unanswered
    bool m_paced = false;
    // Questions for frames outstanding not yet answered, per user (port and callsign).
    QHash<QByteArray, int> m_asked;
    bool m_congested = false;
    QElapsedTimer m_clock;
    qint64 m_lastProgressMs = 0; // when the system last took bytes of the link (m_clock)
    quint64 m_framesSent = 0, m_bytesSent = 0, m_framesReceived = 0, m_bytesReceived = 0;
    quint64 m_outstandingAsked = 0, m_connects = 0;
    QDateTime m_changedAt;
};

#pragma once
// The one connection to the packet engine: opened at start-up, the cluster callsign registered
// on every connect, errors shown, reconnected every minute (or by "Kick") while it is down.
//
// The registration is on radio port 0. With every port asked for (setAllPorts), the engine is
// then asked for its radio ports ("G") and its answer registers the callsign on the others.
#include "net/Platform.h"
#include "net/Socket.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <memory>

class ErrorLog;
class LinkMonitor;
struct Settings;

class AgwLink : public QObject {
    Q_OBJECT
public:
    AgwLink(const Settings& settings, ErrorLog& log, LinkMonitor& monitor, SocketFactory sockets,
            const Timing& timing, QObject* parent = nullptr);
    ~AgwLink() override;

    Socket& socket() { return *m_socket; }
    QTimer& reconnectTimer() { return m_reconnectTimer; }

    // Requests the connection to the remote host and port the socket holds.
    void open();
    // Closes the socket; nothing is sent before it. Not a loss: the sessions are not told.
    void close();
    // Hands one whole frame to the socket. Throws Failure when the link is not connected.
    void send(const QByteArray& frame);
    // Drops the connection and asks for a new one at once (the link has lost its framing).
    void reset();

    // The "Kick" menu entry: a manual reconnect while the link is down.
    void kick();
    // The reconnect timer's tick: reconnects while the link is down.
    void reconnectTick();

    // The callsign registered at the last connect: the sender of every frame to a radio user.
    const QByteArray& registeredCall() const { return m_registeredCall; }

    // Registers on every radio port of the engine from the next connect on (the default; off:
    // port 0 only, and the engine is not asked for its ports).
    void setAllPorts(bool on) { m_allPorts = on; }
    // The engine's answer to the question for its ports, `count` of them: the callsign is
    // registered on ports 1 to count - 1, once per connection. False when the link has not asked
    // on this connection or has had its answer: nothing is sent then. Throws Failure when the
    // link is not connected.
    bool portsAnswered(int count);
    // Radio ports the callsign was registered on in this connection (0 before the first).
    int registeredPorts() const { return m_ports; }

    // Frames queued for the engine beyond this stop the reading of the node connections and of
    // the engine itself until the queue is down to kLowWater again, so an engine that stops
    // reading cannot make the gateway buffer without bound.
    static constexpr qint64 kHighWater = 1024 * 1024;
    static constexpr qint64 kLowWater = 256 * 1024;
    bool congested() const { return m_congested; }

    // Frames and bytes handed to the engine, times the link came up, and when it last came up
    // or went down.
    quint64 framesSent() const { return m_framesSent; }
    quint64 bytesSent() const { return m_bytesSent; }
    quint64 connects() const { return m_connects; }
    const QDateTime& changedAt() const { return m_changedAt; }

signals:
    // Bytes from the engine are waiting on the socket.
    void dataArrived();
    // The link came up (before the registration is sent).
    void connected();
    // The engine closed the link, it failed, or the gateway reset it: every radio user's link
    // went with it.
    void lost();
    // The engine's queue crossed the high (true) or the low (false) water mark.
    void congestion(bool on);

private:
    void onConnected();
    void onError(const QString& description);
    void onPeerClosed();
    void onSendProgress(qint64 bytesSent, qint64 bytesRemaining);
    void setCongested(bool on);
    void reconnect();

    const Settings& m_settings;
    ErrorLog& m_log;
    LinkMonitor& m_monitor;
    const int m_connectSleepMs;
    std::unique_ptr<Socket> m_socket;
    QTimer m_reconnectTimer;
    QByteArray m_registeredCall;
    bool m_allPorts = true;
    bool m_portsAsked = false; // the "G" went out on this connection and has not been answered
    int m_ports = 0;
    bool m_congested = false;
    quint64 m_framesSent = 0, m_bytesSent = 0, m_connects = 0;
    QDateTime m_changedAt;
};

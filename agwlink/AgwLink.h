#pragma once
// The one connection to the packet engine, WinsockAGW: opened at start-up, the cluster callsign
// registered on every connect, errors shown, reconnected by Timer1 every minute or by "Kick"
// while it is down.
#include "net/Socket.h"

#include <QObject>
#include <QTimer>
#include <memory>

class Monitor;

class AgwLink : public QObject {
    Q_OBJECT
public:
    AgwLink(Monitor& monitor, SocketFactory sockets, QObject* parent = nullptr);
    ~AgwLink() override;

    Socket& WinsockAGW() { return *m_socket; }
    QTimer& Timer1() { return m_timer1; }

    // Requests the connection to the remote host and port the socket holds.
    void open();
    // Closes the socket; nothing is sent before it.
    void close();
    // Hands one whole frame to the socket. Throws Failure when the link is not connected.
    void send(const QByteArray& frame);
    // Drops the connection and asks for a new one at once (the link has lost its framing).
    void reconnectNow();

    void kick_Click();
    void Timer1_Timer();

    // Frames queued for the engine beyond this stop the reading of the cluster connections
    // until the queue is down to kLowWater again, so an engine that stops reading cannot make
    // the gateway buffer without bound.
    static constexpr qint64 kHighWater = 1024 * 1024;
    static constexpr qint64 kLowWater = 256 * 1024;
    bool congested() const { return m_congested; }

signals:
    // Bytes from the engine are waiting on WinsockAGW.
    void dataArrived();
    // The engine's queue crossed the high (true) or the low (false) water mark.
    void congestion(bool on);

private:
    void WinsockAGW_Connect();
    void WinsockAGW_Error(const QString& description);
    void WinsockAGW_Close();
    void WinsockAGW_SendProgress(qint64 bytesSent, qint64 bytesRemaining);

    void setCongested(bool on);

    Monitor& m_monitor;
    std::unique_ptr<Socket> m_socket;
    QTimer m_timer1;
    bool m_congested = false;
};

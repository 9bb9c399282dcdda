#pragma once
// The TCP client socket the gateway works with: a remote host and port that stay set between
// attempts, an asynchronous connect, a close that is valid in every state and raises no
// notification, whole-array sends, and the numeric state codes that log texts print.
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class Socket : public QObject {
    Q_OBJECT
public:
    enum State {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8, // the peer has closed and we have not
        Error = 9,
    };

    explicit Socket(QObject* parent = nullptr) : QObject(parent) {}
    ~Socket() override = default;

    // Where the next connection goes (127.0.0.1 port 8000 until set).
    void setRemote(const QString& host, quint16 port) {
        m_remoteHost = host;
        m_remotePort = port;
    }
    const QString& remoteHost() const { return m_remoteHost; }
    quint16 remotePort() const { return m_remotePort; }

    // Starts a connection to the remote host and port; ends in connected() or errorOccurred().
    virtual void connectToHost() = 0;
    // Valid in every state; raises no notification.
    virtual void close() = 0;
    // Queues the whole array. Throws Failure (with a description to log) when not connected.
    virtual void send(const QByteArray& data) = 0;
    virtual qint64 bytesAvailable() const = 0;
    virtual QByteArray readAll() = 0;
    // Bytes handed to send() that the system has not yet taken.
    virtual qint64 bytesToWrite() const = 0;
    virtual int state() const = 0;
    // Stops (false) or resumes (true) taking data from the network; used for back-pressure.
    virtual void setReading(bool on) { (void)on; }
    // The system's receive buffer for the next connection, in bytes (0: the system's default):
    // small, the peer's sending stops a few KiB after the reading did.
    virtual void setReceiveBuffer(int bytes) { (void)bytes; }

    // The two ends of the connection, once it is made; null addresses when not known.
    struct Endpoints {
        QHostAddress local, peer;
        quint16 localPort = 0, peerPort = 0;
    };
    virtual Endpoints endpoints() const { return {}; }

signals:
    void connected();
    void dataArrived(qint64 bytes);
    void peerClosed();
    void errorOccurred(const QString& description);
    void sendProgress(qint64 bytesSent, qint64 bytesRemaining);
    void sendComplete();

private:
    QString m_remoteHost = QStringLiteral("127.0.0.1");
    quint16 m_remotePort = 8000;
};

using SocketFactory = std::function<std::unique_ptr<Socket>()>;

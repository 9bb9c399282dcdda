#pragma once
#include "net/Socket.h"

class QTcpSocket;

// Socket over QTcpSocket.
class TcpSocket final : public Socket {
    Q_OBJECT
public:
    explicit TcpSocket(QObject* parent = nullptr);
    ~TcpSocket() override;

    void connectToHost() override;
    void close() override;
    void send(const QByteArray& data) override;
    qint64 bytesAvailable() const override;
    QByteArray readAll() override;
    qint64 bytesToWrite() const override;
    int state() const override;
    void setReading(bool on) override;

    static SocketFactory factory();

    // Hands what every socket of the calling thread has queued in this turn of the event loop to
    // the system. Runs by itself whenever the thread's event loop is about to wait or has woken
    // up.
    static void flushAll();

protected:
    // Watches Qt's own notifiers of the connection (see watchNotifiers()).
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void flushQueued();
    void watchNotifiers();
    // The connection ended under us (a reset, or a connect that failed): reported once as an
    // error, and Qt is not left to try again or to report an orderly close.
    void failConnection(int error);
    void onStateChanged();
    void onBytesWritten(qint64 n);
    void onReadyRead();
    void onDisconnected();
    void onError();

    QTcpSocket* m_sock;
    qint64 m_sent = 0;     // bytes the system has taken since this object was made
    bool m_failed = false; // error reported, not yet closed or reconnected
    bool m_peerClosed = false;
    bool m_resetSeen = false; // Qt's "closed" came with epoll's report of a reset
    bool m_reading = true;
    bool m_pendingRead = false; // data arrived while reading was paused
    QByteArray m_queued;        // sent in this turn of the event loop, not yet written
    bool m_inBatch = false;     // listed for flushAll()
};

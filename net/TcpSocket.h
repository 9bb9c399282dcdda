#pragma once
#include "net/Socket.h"

#include <memory>

class QSocketNotifier;
class QTcpSocket;
class WriteBudget;

// Socket over TCP. Qt's QTcpSocket makes the connection (the name lookup, the addresses tried in
// turn, the connect's time limit and its errors); once it is made, the socket reads and writes the
// connection's descriptor itself, through its own notifiers. On a connection that carries one short
// line per arrival, Qt's reading (a size query, a buffer reserved, a chain of notifications per
// arrival) cost about a fifth of the relay's time.
class TcpSocket final : public Socket {
    Q_OBJECT
public:
    // budget: where what this socket holds unsent is counted (none: not counted).
    explicit TcpSocket(QObject* parent = nullptr, std::shared_ptr<WriteBudget> budget = {});
    ~TcpSocket() override;

    void connectToHost() override;
    void close() override;
    void send(const QByteArray& data) override;
    qint64 bytesAvailable() const override;
    QByteArray readAll() override;
    qint64 bytesToWrite() const override;
    int state() const override;
    void setReading(bool on) override;
    void setReceiveBuffer(int bytes) override;
    Endpoints endpoints() const override { return m_ends; }

    static SocketFactory factory(std::shared_ptr<WriteBudget> budget = {});

    // Hands what every socket of the calling thread has queued in this turn of the event loop to
    // the system. Runs by itself whenever the thread's event loop is about to wait or has woken
    // up.
    static void flushAll();

protected:
    // Watches Qt's own notifiers of the connection (see watchNotifiers()).
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Notifier;
    void flushQueued();
    void writeQueued();
    void writeOut();
    void watchNotifiers();
    // Takes the connection Qt has just made over, and leaves Qt nothing of it.
    void takeOver();
    void onReadable();
    void onWritable();
    // The system took n more bytes: progress, and completion when nothing waits.
    void reportSent(qint64 n);
    // The connection ended under us once connected: reported once as an error.
    void failConnected(int error);
    // Closes the descriptor and its notifiers; what waited to be written goes with them.
    void closeDescriptor();
    void updateReadNotifier();
    // Tells the budget what this socket holds unsent now.
    void account();
    // The connection ended under us (a reset, or a connect that failed): reported once as an
    // error, and Qt is not left to try again or to report an orderly close.
    void failConnection(int error);
    void onError();

    QTcpSocket* m_sock; // while the connection is being made
    int m_fd = -1;      // once it is made
    Notifier* m_readNotifier = nullptr;
    Notifier* m_writeNotifier = nullptr;
    qint64 m_sent = 0;     // bytes the system has taken since this object was made
    bool m_failed = false; // error reported, not yet closed or reconnected
    bool m_peerClosed = false;
    bool m_reading = true;
    int m_receiveBuffer = 0;
    bool m_readArmed = false; // the read notifier is enabled
    int m_writeError = 0;     // a write failed; reported from the write notifier
    QByteArray m_in;          // read from the system, not yet taken by readAll()
    QByteArray m_out;         // not yet taken by the system, from m_outPos on
    qsizetype m_outPos = 0;
    QByteArray m_queued;                   // sent in this turn of the event loop, not yet written
    bool m_inBatch = false;                // listed for flushAll()
    std::shared_ptr<WriteBudget> m_budget; // shared with the connections that still flush
    qint64 m_accounted = 0;                // what the budget has of this socket
    Endpoints m_ends;                      // of the connection made last
};

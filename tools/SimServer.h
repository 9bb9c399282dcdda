#pragma once
// The socket side of the simulated peers, the simulator's and the tests' alike: a listener on
// 127.0.0.1 that hands on the connections it accepts, the peer end of an AGW link that takes whole
// frames off its stream and can stop reading, and the socket options they set.
#include "tools/SimProtocol.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <functional>

namespace sim {

// Sets a socket buffer size (SO_RCVBUF, SO_SNDBUF) on a descriptor.
void setSocketBuffer(qintptr fd, int option, int bytes);
// Stops reading a connection (on) or reads again: once `held` bytes wait in the socket's own
// buffer, the rest waits in the system's, and then at the sender. The caller takes what waits.
void holdReads(QTcpSocket* s, bool on, qint64 held);

// Listens on 127.0.0.1 and hands each connection it accepts on, in order.
class PeerServer : public QTcpServer {
public:
    using Accepted = std::function<void(QTcpSocket*)>;
    explicit PeerServer(QObject* parent = nullptr);
    // Port 0: one the system chooses. Buffer sizes in bytes (0: the system's) go on the listener:
    // accepted connections inherit them, and a fixed size turns off the kernel's tuning.
    bool listenLocal(quint16 port, Accepted accepted, int receiveBuffer = 0, int sendBuffer = 0);
    // "<who> cannot listen on 127.0.0.1:<port>: <why>", after a failed listenLocal.
    QString listenError(const QString& who, quint16 port) const;

private:
    Accepted m_accepted;
};

// The peer end of an AGW link; reads as its socket.
struct FrameLink {
    QTcpSocket* socket = nullptr;
    FrameAssembler frames;
    bool paused = false;

    QTcpSocket* operator->() const { return socket; }
    operator QTcpSocket*() const { return socket; }
    // Takes what has arrived (nothing while paused) and hands on each whole frame; Oversize: a
    // header announces more data than a frame may hold (`announced` gets the number).
    template <class Take> FrameAssembler::Next read(Take&& take, quint32* announced = nullptr) {
        if (paused || !socket) return FrameAssembler::Next::NeedMore;
        return takeFrames(frames, socket->readAll(), take, announced);
    }
    // Takes a new connection in place of the old, which stays open but no longer reaches `owner`;
    // the start of a frame from the old one is dropped.
    void replace(QTcpSocket* s, QObject* owner) {
        if (socket) socket->disconnect(owner);
        socket = s;
        frames.clear();
    }
    // Stops reading, holding `held` bytes in the socket, or reads again (call read() then).
    void pause(bool on, qint64 held = 4096) {
        paused = on;
        holdReads(socket, on, held);
    }
};

} // namespace sim

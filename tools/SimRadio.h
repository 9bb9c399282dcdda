#pragma once
// One radio user's AX.25 v2.0 link as a 1200-baud channel behaves, in plain code: the "D" frames
// the gateway hands the engine for the user wait in a queue; the engine keys up (TXDELAY), sends
// up to a window of frames in one burst, and the other side acknowledges the burst with an RR
// frame after its own TXDELAY. A frame has aired, and leaves the engine, when its burst is
// acknowledged. The times come out as numbers; the engine runs the clock.
#include <QByteArray>
#include <QList>

namespace sim {

struct RadioTiming {
    int baud = 1200;
    int txDelayMs = 300;
    int window = 4;              // frames per burst (MAXFRAME)
    int frameOverheadBytes = 19; // per I frame: flags, two addresses, control, PID, FCS
    int ackBytes = 17;           // the RR frame with its flags
    double bitStuffing = 1.03;   // the share of bits stuffing adds to plain text
};

// Milliseconds the bytes take on air at the timing's baud rate, bit stuffing included.
double airMs(const RadioTiming& t, qint64 bytes);

class RadioLink {
public:
    explicit RadioLink(const RadioTiming& t = {}) : m_timing(t) {}

    const RadioTiming& timing() const { return m_timing; }
    void enqueue(const QByteArray& data) { m_queue.append(data); }
    // Takes up to a window of queued frames on air once the transmitter is keyed up, and returns
    // the milliseconds from then until the acknowledgement has come: the frames, the other
    // side's TXDELAY and its RR frame. Returns -1 when nothing is queued or a burst is on air.
    double startBurst();
    // The frames of the burst on air, now acknowledged; the link is free for the next burst.
    QList<QByteArray> finishBurst();
    bool onAir() const { return !m_onAir.isEmpty(); }
    qsizetype queued() const { return m_queue.size(); }
    // Queued and on air: what the engine holds for the user.
    qsizetype outstanding() const { return m_queue.size() + m_onAir.size(); }
    void clear();

private:
    RadioTiming m_timing;
    QList<QByteArray> m_queue;
    QList<QByteArray> m_onAir;
};

// Milliseconds a link takes to air frames of these sizes, all handed over at once: every burst
// costs TXDELAY, its frames, the other side's TXDELAY and the acknowledgement.
double airTimeMs(const RadioTiming& t, const QList<qsizetype>& frameSizes);

} // namespace sim

#pragma once
// Plain pieces of the simulator that need no sockets: cutting lines out of a byte stream, the
// engine's texts and frames, spot lines, pacing and the cut of a frame into pieces. (Frames are
// cut out of a stream by the gateway's own FrameAssembler.)
#include "agwlink/AgwFrame.h"
#include "agwlink/FrameAssembler.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QRandomGenerator>

namespace sim {

// The AX.25 protocol identifier of plain text, carried by the radio users' "D" frames.
inline constexpr quint8 kPidText = 0xF0;
// Cuts text lines off a byte stream. A line ends at CR LF, LF or a lone CR; a CR LF split
// across two arrivals still ends one line only. Lines come without their ending.
class LineSplitter {
public:
    // Appends bytes and returns the lines they completed.
    QList<QByteArray> append(const QByteArray& bytes);
    qsizetype pending() const { return m_partial.size(); }

private:
    QByteArray m_partial;
    bool m_afterCr = false;
};

// Appends bytes to a stream and hands each whole frame it completes to take(QByteArrayView), in
// order; returns how the stream stands then (Oversize: a header announces more data than a frame
// may hold, and `announced` gets the number).
template <class Take>
FrameAssembler::Next takeFrames(FrameAssembler& stream, QByteArrayView bytes, Take&& take,
                                quint32* announced = nullptr) {
    stream.append(bytes);
    QByteArrayView f;
    FrameAssembler::Next next;
    while ((next = stream.next(f, announced)) == FrameAssembler::Next::Frame)
        take(f);
    return next;
}

// The data of the engine's connect report: "*** CONNECTED To Station " + call + CR + zero.
QByteArray connectedText(const QByteArray& call);
// The data of the engine's disconnect report: "*** DISCONNECTED From Station " + call + CR + zero.
QByteArray disconnectedText(const QByteArray& call);

// A frame from the engine with a protocol identifier (buildFrame leaves it zero).
QByteArray buildFrameWithPid(quint8 port, char kind, quint8 pid, const QByteArray& callFrom,
                             const QByteArray& callTo, const QByteArray& data = {});
// The engine's answer to "R": two 32-bit little-endian numbers, major and minor version.
QByteArray buildVersionFrame(quint32 major = 2000, quint32 minor = 1);
// The engine's answer to "G": the number of radio ports, then a description of each, each ended
// by ';' ("2;Port1 Simulated radio port 1;Port2 Simulated radio port 2;").
QByteArray buildPortInfoFrame(int ports);
// The engine's answer to an "X" registration: one data byte, 1 for success.
QByteArray buildRegisteredFrame(const QByteArray& call);

// The engine's answer to a "Y" request: the request's header with DataLen 4 and the frames the
// engine holds for that link as a 32-bit little-endian number.
QByteArray buildOutstandingFrame(quint8 port, const QByteArray& callFrom, const QByteArray& callTo,
                                 quint32 frames);
// The node's text as the gateway hands it to a radio user: every line end (CR LF, a lone CR or a
// lone LF) one CR. (The node writes whole lines, so no CR LF is parted between two calls.)
QByteArray toRadioText(const QByteArray& nodeText);

// The PROXY protocol line a gateway may send a node before the user's callsign.
inline bool isProxyLine(QByteArrayView line) {
    return line.startsWith("PROXY ");
}
// The callsign a node connection logs in with: its first line, or the line after a PROXY line,
// without its line end; empty until that line has ended in CR LF.
QByteArrayView loginCall(QByteArrayView received);

// Cuts a frame into pieces for separate writes: one byte, the rest of the first 20, the rest
// of the header, then the data in two halves (empty pieces left out).
QList<QByteArray> splitForWrites(const QByteArray& frame);

// One DX spot as the node keeps it.
struct Spot {
    QByteArray spotter;
    double freqKHz = 0;
    QByteArray dxCall;
    QByteArray comment;
    QDateTime utc;
};

// A spot as the node broadcasts it (76 characters, no line end), e.g.
// "DX de K1ABC:     14025.0  DL1XYZ       CW 599                          1234Z".
QByteArray formatSpotLine(const Spot& spot);
// A spot as "sh/dx" lists it (no line end), e.g.
// "  14025.0  DL1XYZ      12-Jan-2024 1234Z CW 599                          <K1ABC>".
QByteArray formatShowDxLine(const Spot& spot);

// Makes plausible spots from a fixed seed, so runs can be repeated.
class SpotGenerator {
public:
    explicit SpotGenerator(quint32 seed = 1) : m_random(seed) {}
    Spot next(const QDateTime& utc);

private:
    QByteArray randomCall();
    QRandomGenerator m_random;
};

// How many events are due at `rate` per second after `elapsedMs`, given `done` so far.
// A rate of 0 or below makes nothing due.
qint64 dueCount(double rate, qint64 elapsedMs, qint64 done);

} // namespace sim

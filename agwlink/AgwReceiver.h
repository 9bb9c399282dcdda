#pragma once
// WinsockAGW_DataArrival: the bytes from the engine are reassembled into frames; each frame is
// shown on the monitor and dispatched by kind: "C" opens a stream, "D" goes to the stream's
// cluster connection, "d" releases the stream, anything else is shown and logged.
#include "agwlink/FrameAssembler.h"

#include <QByteArray>
#include <QSet>
#include <QString>

class AgwLink;
class AxSender;
class Monitor;
class StreamTable;
struct AgwHeader;

class AgwReceiver {
public:
    // Distinct kind lines listed in List2; past this many, new combinations are not listed.
    static constexpr int kMaxKindLines = 10000;

    AgwReceiver(AgwLink& link, StreamTable& streams, AxSender& sender, Monitor& monitor);

    // The AGW socket's data-arrival event: reads what is waiting and handles every whole frame.
    void WinsockAGW_DataArrival();

    // Handles one arrival as if read from the socket (the receive side without a socket).
    void handleArrival(QByteArrayView arrival, qint64 count);

    const FrameAssembler& assembler() const { return m_assembler; }
    // A new connection to the engine starts at a frame boundary: the start of a frame that the
    // old connection left in the buffer is dropped with it.
    void linkRestarted() { m_assembler.clear(); }

private:
    void handleFrame(QByteArrayView frame, bool firstOfEvent, int& where);
    void dispatch(const AgwHeader& h, const QByteArray& converted, int& where);
    void fail(int where, const QString& description);

    AgwLink& m_link;
    StreamTable& m_streams;
    AxSender& m_sender;
    Monitor& m_monitor;
    FrameAssembler m_assembler;
    QSet<QString> m_kindLines;
};

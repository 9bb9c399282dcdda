#pragma once
// The engine's side of the relay: the bytes from the engine are reassembled into frames; each
// frame is shown on the monitor and dispatched by kind: "C" opens a session, "D" goes to the
// session's node connection, "d" ends the session, the answer to the link's question for the
// engine's radio ports ("G") registers on them, anything else is shown and logged.
#include "agwlink/FrameAssembler.h"
#include "relay/Steps.h"

#include <QByteArray>
#include <QSet>
#include <QString>

class AgwLink;
class ErrorLog;
class Monitor;
class RadioSender;
class SessionTable;
struct AgwHeader;

class Receiver {
public:
    // Distinct route lines listed; past this many, new combinations are not listed.
    static constexpr int kMaxRoutes = 10000;

    Receiver(AgwLink& link, SessionTable& sessions, RadioSender& radio, Monitor& monitor,
             ErrorLog& log);

    // The link has data: reads what is waiting and handles every whole frame.
    void readLink();

    // Handles one arrival as if read from the link (the receive side without a socket).
    void handleArrival(QByteArrayView arrival, qint64 count);

    const FrameAssembler& assembler() const { return m_assembler; }
    // Whole frames and their bytes taken from the engine.
    quint64 framesReceived() const { return m_framesReceived; }
    quint64 bytesReceived() const { return m_bytesReceived; }
    // A new connection to the engine starts at a frame boundary: the start of a frame that the
    // old connection left in the buffer is dropped with it.
    void linkRestarted() { m_assembler.clear(); }

private:
    void handleFrame(QByteArrayView frame, bool firstOfArrival, Step& step);
    void dispatch(const AgwHeader& h, QByteArrayView data, const QByteArray& converted);
    void fail(Step step, const QString& description);

    AgwLink& m_link;
    SessionTable& m_sessions;
    RadioSender& m_radio;
    Monitor& m_monitor;
    ErrorLog& m_log;
    FrameAssembler m_assembler;
    QSet<QByteArray> m_routes;
    quint64 m_framesReceived = 0, m_bytesReceived = 0;
    qint64 m_refusedForDescriptors = 0; // new users turned away since descriptors ran low
};

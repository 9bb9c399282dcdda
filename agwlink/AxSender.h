#pragma once
// SendToAx25: the only way text reaches a radio user. Text for one AX.25 connection is cut into
// pieces of at most PacketLength bytes with CR line ends, each sent as a "D" frame from the
// cluster callsign to the user on the user's port; kind "d" sends a disconnect frame instead.
#include <QByteArray>
#include <QString>

class AgwLink;
class Monitor;
class StreamTable;

class AxSender {
public:
    AxSender(AgwLink& link, StreamTable& streams, Monitor& monitor);

    // The sender callsign of every frame to a radio user, as taken at start-up.
    void setClusterCall(const QByteArray& call) { m_clusterCall = call; }
    const QByteArray& clusterCall() const { return m_clusterCall; }

    // stream is a stream index, or in the explicit-call form (call not empty) the radio port.
    // Failures are logged ("SendToAx25") and shown in Text1; the caller learns nothing of them.
    void SendToAx25(int stream, const QByteArray& text, const QString& kind,
                    const QByteArray& call = QByteArray());

private:
    AgwLink& m_link;
    StreamTable& m_streams;
    Monitor& m_monitor;
    QByteArray m_clusterCall;
};

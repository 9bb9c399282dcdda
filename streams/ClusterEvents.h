#pragma once
// The events of every stream's cluster socket and keep-alive timer: the login line on connect,
// the node's text relayed to the radio user, a disconnect frame when the node closes or fails,
// and a blank line to the node after KeepAliveMinutes quiet minutes.
#include <QObject>
#include <QString>
#include <QtGlobal>
#include <vector>

class AxSender;
class StreamTable;

class ClusterEvents : public QObject {
    Q_OBJECT
public:
    ClusterEvents(StreamTable& streams, AxSender& sender, QObject* parent = nullptr);

    void winsckOut_Connect(int Index);
    void winsckOut_DataArrival(int Index);
    void winsckOut_Close(int Index);
    void winsckOut_Error(int Index, const QString& description);
    void tmrKeepAlive_Timer(int Index);

private:
    // When the node last sent text on stream Index (milliseconds on a monotonic clock; 0: never).
    qint64& lastData(int Index);

    StreamTable& m_streams;
    AxSender& m_sender;
    std::vector<qint64> m_lastData;
};

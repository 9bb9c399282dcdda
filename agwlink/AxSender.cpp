#include "agwlink/AxSender.h"

#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "agwlink/Monitor.h"
#include "agwlink/TextCutter.h"
#include "config/Module1.h"
#include "net/Failure.h"
#include "streams/StreamTable.h"

AxSender::AxSender(AgwLink& link, StreamTable& streams, Monitor& monitor)
    : m_link(link), m_streams(streams), m_monitor(monitor) {}

void AxSender::SendToAx25(int stream, const QByteArray& text, const QString& kind,
                          const QByteArray& call) {
    qint32 where = 0;
    try {
        QByteArray to;
        int port = 0;
        if (!call.isEmpty()) {
            to = call;
            port = stream;
            Module1::ErrorLog(QStringLiteral("SendToAx25"),
                              QStringLiteral(" where = 0 stream = %1 %2 not connected")
                                  .arg(stream)
                                  .arg(fromSingleByte(call)));
        } else {
            to = m_streams.callsign(stream);
            port = m_streams.port(stream);
        }
        where = 1;
        m_monitor.addSent(QString::number(stream) + QStringLiteral(" -> ") + fromSingleByte(text));
        m_monitor.trimTraffic();
        where = 2;
        const QByteArray k = toSingleByte(kind);
        const char letter = k.isEmpty() ? '\0' : k.at(0);
        const bool disconnect = kind == QLatin1String("d");
        where = 3;
        const QList<QByteArray> pieces = cutForAx25(text, Module1::settings().PacketLength);
        for (const QByteArray& piece : pieces) {
            where = 7;
            const QByteArray frame = buildFrame(static_cast<quint8>(port), letter, m_clusterCall,
                                                to, disconnect ? QByteArray() : piece);
            where = 15;
            m_link.send(frame);
            where = 16;
        }
        where = 185;
    } catch (const std::exception& e) {
        const QString d = describe(e);
        Module1::ErrorLog(
            QStringLiteral("SendToAx25"),
            QStringLiteral(" where = %1 stream = %2 %3").arg(where).arg(stream).arg(d));
        m_monitor.setText1(QStringLiteral("SendToAx25: Error: where = %1 %2").arg(where).arg(d));
    }
}

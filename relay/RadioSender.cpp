#include "relay/RadioSender.h"

#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "agwlink/TextCutter.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/Failure.h"
#include "net/SingleByte.h"
#include "relay/Monitor.h"
#include "relay/Session.h"
#include "relay/Steps.h"

namespace {
// What a disconnect carries as text: the frame itself has no data.
const QByteArray kDisconnectText = QByteArrayLiteral(" \r\n");
} // namespace

RadioSender::RadioSender(AgwLink& link, const Settings& settings, Monitor& monitor, ErrorLog& log)
    : m_link(link), m_settings(settings), m_monitor(monitor), m_log(log) {}

void RadioSender::sendText(const Session& session, const QByteArray& text) {
    send(session.slot(), session.port(), session.callsign(), text, 'D');
}

void RadioSender::sendDisconnect(const Session& session) {
    send(session.slot(), session.port(), session.callsign(), kDisconnectText, 'd');
}

void RadioSender::sendDisconnectTo(quint8 port, const QByteArray& callsign, Note note) {
    if (note == Note::Logged)
        m_log.write(QStringLiteral("SendToAx25"),
                    QStringLiteral(" where = ") +
                        QString::number(stepNumber(Step::SendDestination)) +
                        QStringLiteral(" stream = ") + QString::number(port) + QLatin1Char(' ') +
                        outsideText(callsign) + QStringLiteral(" not connected"));
    send(port, port, callsign, kDisconnectText, 'd');
}

void RadioSender::send(int stream, quint8 port, const QByteArray& callsign, const QByteArray& text,
                       char kind) {
    Step step = Step::SendMonitor;
    try {
        m_monitor.addSentToRadio(stream, text);
        step = Step::SendCut;
        // A disconnect is one frame without data, whatever its text would be cut into.
        const QList<QByteArray> pieces = kind == 'd' ? QList<QByteArray>{QByteArray()}
                                                     : cutForAx25(text, m_settings.packetLength);
        const QByteArray& from = m_link.registeredCall();
        for (const QByteArray& piece : pieces) {
            step = Step::SendBuildFrame;
            const QByteArray frame = buildFrame(port, kind, from, callsign, piece);
            step = Step::SendHandOver;
            m_link.send(frame);
            step = Step::SendSent;
        }
        step = Step::SendDone;
    } catch (const std::exception& e) {
        const QString d = describe(e);
        const QString where = QString::number(stepNumber(step));
        m_log.write(QStringLiteral("SendToAx25"),
                    QStringLiteral(" where = ") + where + QStringLiteral(" stream = ") +
                        QString::number(stream) + QLatin1Char(' ') + d);
        m_monitor.setStatusText(QStringLiteral("SendToAx25: Error: where = ") + where +
                                QLatin1Char(' ') + d);
    }
}

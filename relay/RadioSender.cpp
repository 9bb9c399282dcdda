#include "relay/RadioSender.h"

#include "agwlink/AgwLink.h"
#include "agwlink/Steps.h"
#include "agwlink/TextCutter.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/Failure.h"
#include "net/SingleByte.h"
#include "relay/Monitor.h"

namespace {
// What a disconnect carries as text: the frame itself has no data.
const QByteArray kDisconnectText = QByteArrayLiteral(" \r\n");
} // namespace

RadioSender::RadioSender(AgwLink& link, const Settings& settings, Monitor& monitor, ErrorLog& log)
    : m_link(link), m_settings(settings), m_monitor(monitor), m_log(log) {}

int RadioSender::frameLimit() const {
    return m_link.frameLimit();
}

int RadioSender::packetLength() const {
    return m_settings.packetLength < 1 ? kDefaultPacketLength : m_settings.packetLength;
}

void RadioSender::textCame(int stream, const QByteArray& text) {
    try {
        m_monitor.textToUser(stream, text);
    } catch (const std::exception& e) {
        fail(stream, stepNumber(Step::SendMonitor), describe(e));
    }
}

qsizetype RadioSender::sendPieces(int stream, quint8 port, const QByteArray& call,
                                  const QList<QByteArray>& pieces) {
    qsizetype sent = 0;
    Step step = Step::SendHandOver;
    try {
        for (const QByteArray& piece : pieces) {
            step = Step::SendHandOver;
            m_link.sendData(port, call, piece);
            step = Step::SendSent;
            ++sent;
        }
    } catch (const std::exception& e) {
        fail(stream, stepNumber(step), describe(e));
    }
    return sent;
}

void RadioSender::sendDisconnect(int stream, quint8 port, const QByteArray& call) {
    Step step = Step::SendMonitor;
    try {
        m_monitor.textToUser(stream, kDisconnectText);
        step = Step::SendHandOver;
        m_link.sendDisconnect(port, call);
    } catch (const std::exception& e) {
        fail(stream, stepNumber(step), describe(e));
    }
}

void RadioSender::sendDisconnectTo(quint8 port, const QByteArray& callsign, Note note) {
    if (note == Note::Logged)
        m_log.write(QStringLiteral("SendToAx25"),
                    QStringLiteral(" where = ") +
                        QString::number(stepNumber(Step::SendDestination)) +
                        QStringLiteral(" stream = ") + QString::number(port) + QLatin1Char(' ') +
                        outsideText(callsign) + QStringLiteral(" not connected"));
    sendDisconnect(port, port, callsign);
}

void RadioSender::askOutstanding(quint8 port, const QByteArray& call) {
    try {
        m_link.askOutstanding(port, call);
    } catch (const std::exception&) {
        // The link is down: its loss ends the session, and nothing waits for the answer.
    }
}

void RadioSender::fail(int stream, int step, const QString& d) {
    const QString where = QString::number(step);
    m_log.write(QStringLiteral("SendToAx25"), QStringLiteral(" where = ") + where +
                                                  QStringLiteral(" stream = ") +
                                                  QString::number(stream) + QLatin1Char(' ') + d);
    m_monitor.statusChanged(QStringLiteral("SendToAx25: Error: where = ") + where +
                            QLatin1Char(' ') + d);
}

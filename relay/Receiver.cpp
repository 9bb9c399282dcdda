#include "relay/Receiver.h"

#include "agwlink/AgwFrame.h"
#include "agwlink/TextCutter.h"
#include "config/Callsign.h"
#include "config/ErrorLog.h"
#include "config/OutsideText.h"
#include "net/Failure.h"
#include "net/SingleByte.h"
#include "relay/Monitor.h"
#include "relay/RadioSender.h"
#include "relay/SessionTable.h"

namespace {
const QString kTag = QStringLiteral("DataArrival");

QString where(Step step) {
    return QStringLiteral(" where = ") + QString::number(stepNumber(step));
}
} // namespace

Receiver::Receiver(SessionTable& sessions, RadioSender& radio, Monitor& monitor, ErrorLog& log)
    : m_sessions(sessions), m_radio(radio), m_monitor(monitor), m_log(log) {}

void Receiver::linkLost() {
    // The engine forgets a client's radio links when the client goes: every user's session goes
    // too, and nothing addressed to them may reach the next link.
    const int n = m_sessions.endAll(Session::End::LinkLost);
    if (n > 0)
        m_log.write(QStringLiteral("AGW link lost"),
                    QString::number(n) + (n == 1 ? QStringLiteral(" session ended")
                                                 : QStringLiteral(" sessions ended")));
}

void Receiver::arrival(qint64 count) {
    // Sessions that ended in earlier events are gone for good before new frames come in.
    m_sessions.reap();
    m_arrivalData.clear();
    m_statusReplaced = false;
    try {
        m_monitor.statusAppended(QStringLiteral(" Len=") + QString::number(count) +
                                 QStringLiteral("\r\n"));
    } catch (const std::exception& e) {
        fail(Step::ShowArrivalCount, describe(e));
    }
}

void Receiver::frameSeen(const AgwHeader& h, QByteArrayView data, bool firstOfArrival) {
    Step step = Step::ShowRawText; // the raw text is the data itself
    m_converted.clear();
    try {
        // The status text shows the data of every frame of this arrival, one after the other.
        m_arrivalData.push_back(data);
        if (firstOfArrival || !m_statusReplaced) {
            m_monitor.frameData(data, !firstOfArrival);
        } else {
            QByteArray all;
            for (const QByteArrayView d : m_arrivalData)
                all += d;
            m_monitor.frameData(all, false);
            m_statusReplaced = false;
        }
        step = Step::ShowHeader;
        m_monitor.frameSeen(h);
        step = Step::RouteLine;
        QByteArray route;
        route.reserve(h.CallFrom.size() + h.CallTo.size() + 6);
        route += h.DataKind;
        route += ':';
        route += h.CallFrom;
        route += " -> ";
        route += h.CallTo;
        step = Step::FindRoute;
        if (m_routes.size() < kMaxRoutes && !m_routes.contains(route)) {
            step = Step::AddRoute;
            m_routes.insert(route);
            m_monitor.routeSeen(route);
        }
        step = Step::ShowTraffic; // the DataLen box went with the header
        m_converted = toNodeText(data);
        m_monitor.textToNode(h.CallFrom, h.DataKind, m_converted);
    } catch (const std::exception& e) {
        fail(step, describe(e));
    }
}

void Receiver::userData(quint8 port, const QByteArray& call, QByteArrayView) {
    try {
        if (call.isEmpty()) {
            // No station to answer. (A disconnect without a callsign would end nobody's link.)
            m_log.write(kTag, where(Step::Dispatch) + QStringLiteral(" no call"));
            return;
        }
        Session* s = m_sessions.find(call);
        // Text from a radio port the session has moved away from is not the session's.
        if (s && s->port() == port && s->userText(m_converted)) return;
        // No usable session for this station: ask the engine to disconnect it.
        m_radio.sendDisconnectTo(port, call);
    } catch (const std::exception& e) {
        fail(Step::Dispatch, describe(e));
    }
}

void Receiver::userLeft(quint8 port, const QByteArray& call) {
    try {
        // The end of a radio link the session has moved away from leaves the session alone.
        if (Session* s = m_sessions.find(call); s && s->port() == port)
            s->end(Session::End::UserLeft);
    } catch (const std::exception& e) {
        fail(Step::Dispatch, describe(e));
    }
}

void Receiver::framesOutstanding(quint8 port, const QByteArray& call, quint32 frames) {
    if (Session* s = m_sessions.find(call)) s->framesOutstanding(port, frames);
}

void Receiver::userConnected(quint8 port, const QByteArray& call) {
    try {
        connectUser(port, call);
    } catch (const std::exception& e) {
        fail(Step::Dispatch, describe(e));
    }
}

void Receiver::connectUser(quint8 port, const QByteArray& call) {
    if (call.isEmpty()) {
        m_log.write(kTag, where(Step::Dispatch) + QStringLiteral(" no call"));
        return;
    }
    if (!isUsableCall(call)) {
        // The blank is written as <20> too: it is what makes such a callsign unusable.
        m_log.write(kTag,
                    where(Step::Dispatch) + QStringLiteral(" bad call ") + escapedBytes(call, " "));
        return;
    }
    if (const auto why = m_sessions.refuses(call); why != RefusedCalls::Refusal::None) {
        m_log.write(kTag, where(Step::Dispatch) + QLatin1Char(' ') + outsideText(call) +
                              (why == RefusedCalls::Refusal::ClusterCall
                                   ? QStringLiteral(" refused: the cluster callsign")
                                   : QStringLiteral(" refused: on the refused-calls list")));
        m_radio.sendDisconnectTo(port, call, RadioSender::Note::None);
        return;
    }
    const bool isNew = !m_sessions.find(call);
    if (isNew && !m_sessions.nodeAddress()) {
        // Start-up did not get as far as the cluster address: nobody is connected anywhere.
        m_log.write(kTag, where(Step::Dispatch) + QLatin1Char(' ') + outsideText(call) +
                              QStringLiteral(" refused: no cluster address"));
        m_radio.sendDisconnectTo(port, call);
        return;
    }
    if (isNew && m_sessions.descriptorsLow()) {
        // The program itself needs the last descriptors: new users are turned away (one line for
        // them all) and the users already here go on.
        if (m_refusedForDescriptors++ == 0)
            m_log.write(kTag, where(Step::Dispatch) +
                                  QStringLiteral(" new users refused: too few file descriptors "
                                                 "left"));
        m_radio.sendDisconnectTo(port, call, RadioSender::Note::None);
        return;
    }
    if (isNew && m_refusedForDescriptors > 0) {
        m_log.write(kTag, where(Step::Dispatch) + QStringLiteral(" new users served again, ") +
                              QString::number(m_refusedForDescriptors) +
                              QStringLiteral(" refused meanwhile"));
        m_refusedForDescriptors = 0;
    }
    m_sessions.open(call, port);
}

void Receiver::otherFrame(const AgwHeader& h, QByteArrayView, bool answered) {
    try {
        const QString text = QStringLiteral("****** DataKind = ") + QChar::fromLatin1(h.DataKind) +
                             QLatin1Char(' ') + fromSingleByte(m_converted);
        m_monitor.statusChanged(text);
        m_statusReplaced = true;
        // The answer to the link's own question for the engine's radio ports is expected, not
        // logged. A "G" nobody asked for is logged as before.
        if (answered) return;
        m_log.write(kTag, QStringLiteral("****** DataKind = ") +
                              outsideText(QByteArray(1, h.DataKind)) + QLatin1Char(' ') +
                              outsideText(m_converted));
    } catch (const std::exception& e) {
        fail(Step::Dispatch, describe(e));
    }
}

void Receiver::receiveFailed(Step step, const QString& description, bool linkReset) {
    if (!linkReset) {
        fail(step, description);
        return;
    }
    m_monitor.statusChanged(QStringLiteral("Error: Where = ") + QString::number(stepNumber(step)) +
                            QLatin1Char(' ') + description);
    m_log.write(kTag,
                where(step) + QLatin1Char(' ') + description + QStringLiteral(", link reset"));
}

void Receiver::fail(Step step, const QString& description) {
    m_statusReplaced = true;
    m_monitor.statusChanged(QStringLiteral("Error: Where = ") + QString::number(stepNumber(step)) +
                            QLatin1Char(' ') + description);
    m_log.write(kTag, where(step) + QLatin1Char(' ') + description);
}

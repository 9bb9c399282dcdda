#include "relay/Receiver.h"

#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "agwlink/TextCutter.h"
#include "config/ErrorLog.h"
#include "net/Failure.h"
#include "net/SingleByte.h"
#include "relay/Monitor.h"
#include "relay/RadioSender.h"
#include "relay/SessionTable.h"

namespace {
const QString kTag = QStringLiteral("DataArrival");

// A callsign is printable ASCII without blanks; anything else (a CR or LF above all) would end
// up inside the cluster login line.
bool isUsableCall(const QByteArray& call) {
    if (call.isEmpty()) return false;
    for (const char c : call)
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e)
            return false;
    return true;
}

// A callsign the gateway refuses, as the log shows it: every byte outside the printable range
// (the blank included: it is what makes such a callsign unusable) written as <hh>.
QString refusedCall(const QByteArray& call) {
    QString out;
    for (const char c : call) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x21 && u <= 0x7e && u != '"')
            out += QLatin1Char(c);
        else
            out += QLatin1Char('<') + QString::number(u, 16).rightJustified(2, QLatin1Char('0')) +
                   QLatin1Char('>');
    }
    return out;
}

QString where(Step step) {
    return QStringLiteral(" where = ") + QString::number(stepNumber(step));
}
} // namespace

Receiver::Receiver(AgwLink& link, SessionTable& sessions, RadioSender& radio, Monitor& monitor,
                   ErrorLog& log)
    : m_link(link), m_sessions(sessions), m_radio(radio), m_monitor(monitor), m_log(log) {}

void Receiver::readLink() {
    QByteArray arrival;
    qint64 count = 0;
    try {
        Socket& s = m_link.socket();
        count = s.bytesAvailable();
        arrival = s.readAll();
    } catch (const std::exception& e) {
        fail(Step::ReadSocket, describe(e));
        return;
    }
    handleArrival(arrival, count);
}

void Receiver::handleArrival(QByteArrayView arrival, qint64 count) {
    // Sessions that ended in earlier events are gone for good before new frames come in.
    m_sessions.reap();
    Step step = Step::ShowArrivalCount;
    try {
        m_monitor.appendStatusText(QStringLiteral(" Len=") + QString::number(count) +
                                   QStringLiteral("\r\n"));
        step = Step::MergeArrival;
        m_assembler.append(arrival);
    } catch (const std::exception& e) {
        m_assembler.clear();
        fail(step, describe(e));
        return;
    }
    // Every whole frame is handled in order, whatever happened to the one before it; a partial
    // frame at the end stays for the next arrival.
    bool first = true;
    for (;;) {
        step = Step::NextFrame;
        QByteArrayView frame;
        quint32 announced = 0;
        const FrameAssembler::Next next = m_assembler.next(frame, &announced);
        if (next == FrameAssembler::Next::NeedMore) return;
        if (next == FrameAssembler::Next::Oversize) {
            // No engine sends such a frame: the link has lost its frame alignment and nothing
            // after this point can be read reliably. Start the link afresh.
            step = Step::FrameTooLarge;
            const QString sizes = QStringLiteral(" DataLen ") + QString::number(announced) +
                                  QStringLiteral(" exceeds ") +
                                  QString::number(FrameAssembler::kMaxDataLen);
            m_monitor.setStatusText(QStringLiteral("Error: Where = ") +
                                    QString::number(stepNumber(step)) + sizes);
            m_log.write(kTag, where(step) + sizes + QStringLiteral(", link reset"));
            m_assembler.clear();
            m_link.reset();
            return;
        }
        ++m_framesReceived;
        m_bytesReceived += static_cast<quint64>(frame.size());
        try {
            handleFrame(frame, first, step);
        } catch (const std::exception& e) {
            fail(step, describe(e));
        }
        first = false;
    }
}

void Receiver::handleFrame(QByteArrayView frame, bool firstOfArrival, Step& step) {
    step = Step::ReadHeader;
    const AgwHeader h = readHeader(frame.data());
    step = Step::CutFrame;
    const QByteArrayView data = frame.sliced(kAgwHeaderSize);
    step = Step::ShowRawText; // the raw text is the data itself
    // The status text shows the data of every frame of this arrival, one after the other.
    m_monitor.showFrameData(data, !firstOfArrival);
    step = Step::ShowHeader;
    m_monitor.showHeader(h);
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
        m_monitor.addRoute(fromSingleByte(route));
    }
    step = Step::ShowTraffic; // the DataLen box went with the header
    const QByteArray converted = toNodeText(data);
    m_monitor.addTraffic(h.CallFrom, h.DataKind, converted);
    step = Step::Dispatch;
    dispatch(h, data, converted);
}

void Receiver::dispatch(const AgwHeader& h, QByteArrayView data, const QByteArray& converted) {
    const QByteArray& call = h.CallFrom;
    switch (h.DataKind) {
    case 'D': {
        if (call.isEmpty()) {
            // No station to answer. (A disconnect without a callsign would end nobody's link.)
            m_log.write(kTag, where(Step::Dispatch) + QStringLiteral(" no call"));
            return;
        }
        Session* s = m_sessions.find(call);
        // Text from a radio port the session has moved away from is not the session's.
        if (s && s->port() == h.Port && s->userText(converted)) return;
        // No usable session for this station: ask the engine to disconnect it.
        m_radio.sendDisconnectTo(h.Port, call);
        return;
    }
    case 'd': {
        // The end of a radio link the session has moved away from leaves the session alone.
        if (Session* s = m_sessions.find(call); s && s->port() == h.Port)
            s->end(Session::End::UserLeft);
        return;
    }
    case 'C': {
        if (call.isEmpty()) {
            m_log.write(kTag, where(Step::Dispatch) + QStringLiteral(" no call"));
            return;
        }
        if (!isUsableCall(call)) {
            m_log.write(kTag,
                        where(Step::Dispatch) + QStringLiteral(" bad call ") + refusedCall(call));
            return;
        }
        if (const auto why = m_sessions.refuses(call); why != RefusedCalls::Refusal::None) {
            m_log.write(kTag, where(Step::Dispatch) + QLatin1Char(' ') + outsideText(call) +
                                  (why == RefusedCalls::Refusal::ClusterCall
                                       ? QStringLiteral(" refused: the cluster callsign")
                                       : QStringLiteral(" refused: on the refused-calls list")));
            m_radio.sendDisconnectTo(h.Port, call, RadioSender::Note::None);
            return;
        }
        const bool isNew = !m_sessions.find(call);
        if (isNew && !m_sessions.nodeAddress()) {
            // Start-up did not get as far as the cluster address: nobody is connected anywhere.
            m_log.write(kTag, where(Step::Dispatch) + QLatin1Char(' ') + outsideText(call) +
                                  QStringLiteral(" refused: no cluster address"));
            m_radio.sendDisconnectTo(h.Port, call);
            return;
        }
        if (isNew && m_sessions.descriptorsLow()) {
            // The program itself needs the last descriptors: new users are turned away (one
            // line for them all) and the users already here go on.
            if (m_refusedForDescriptors++ == 0)
                m_log.write(kTag, where(Step::Dispatch) +
                                      QStringLiteral(" new users refused: too few file "
                                                     "descriptors left"));
            m_radio.sendDisconnectTo(h.Port, call, RadioSender::Note::None);
            return;
        }
        if (isNew && m_refusedForDescriptors > 0) {
            m_log.write(kTag, where(Step::Dispatch) + QStringLiteral(" new users served again, ") +
                                  QString::number(m_refusedForDescriptors) +
                                  QStringLiteral(" refused meanwhile"));
            m_refusedForDescriptors = 0;
        }
        m_sessions.open(call, h.Port);
        return;
    }
    default: {
        const QString text = QStringLiteral("****** DataKind = ") + QChar::fromLatin1(h.DataKind) +
                             QLatin1Char(' ') + fromSingleByte(converted);
        m_monitor.setStatusText(text);
        // The answer to the link's own question for the engine's radio ports is expected, not
        // logged: it registers the callsign on the further ports, whose answers are logged as
        // any "X". A "G" nobody asked for is logged as before.
        if (h.DataKind == 'G' && m_link.portsAnswered(readPortInfo(data).count)) return;
        m_log.write(kTag, QStringLiteral("****** DataKind = ") +
                              outsideText(QByteArray(1, h.DataKind)) + QLatin1Char(' ') +
                              outsideText(converted));
        return;
    }
    }
}

void Receiver::fail(Step step, const QString& description) {
    m_monitor.setStatusText(QStringLiteral("Error: Where = ") + QString::number(stepNumber(step)) +
                            QLatin1Char(' ') + description);
    m_log.write(kTag, where(step) + QLatin1Char(' ') + description);
}

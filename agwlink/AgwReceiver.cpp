#include "agwlink/AgwReceiver.h"

#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "agwlink/AxSender.h"
#include "agwlink/Monitor.h"
#include "agwlink/TextCutter.h"
#include "config/Module1.h"
#include "net/Failure.h"
#include "streams/StreamTable.h"

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

QString escaped(const QByteArray& call) {
    QString out;
    for (const char c : call) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x21 && u <= 0x7e)
            out += QLatin1Char(c);
        else
            out += QStringLiteral("<%1>").arg(u, 2, 16, QLatin1Char('0'));
    }
    return out;
}

bool isConnecting(int state) {
    return state >= Socket::ConnectionPending && state <= Socket::Connecting;
}
} // namespace

AgwReceiver::AgwReceiver(AgwLink& link, StreamTable& streams, AxSender& sender, Monitor& monitor)
    : m_link(link), m_streams(streams), m_sender(sender), m_monitor(monitor) {}

void AgwReceiver::WinsockAGW_DataArrival() {
    QByteArray arrival;
    qint64 count = 0;
    try {
        Socket& s = m_link.WinsockAGW();
        count = s.bytesAvailable();
        arrival = s.readAll();
    } catch (const std::exception& e) {
        fail(0, describe(e));
        return;
    }
    handleArrival(arrival, count);
}

void AgwReceiver::handleArrival(QByteArrayView arrival, qint64 count) {
    int where = 1;
    try {
        m_monitor.appendText1(QStringLiteral(" Len=%1\r\n").arg(count));
        where = 101;
        m_assembler.append(arrival);
    } catch (const std::exception& e) {
        m_assembler.clear();
        fail(where, describe(e));
        return;
    }
    // Every whole frame is handled in order, whatever happened to the one before it; a partial
    // frame at the end stays for the next arrival.
    bool first = true;
    for (;;) {
        where = 103;
        QByteArrayView frame;
        quint32 announced = 0;
        const FrameAssembler::Next next = m_assembler.next(frame, &announced);
        if (next == FrameAssembler::Next::NeedMore) return;
        if (next == FrameAssembler::Next::Oversize) {
            // No engine sends such a frame: the link has lost its frame alignment and nothing
            // after this point can be read reliably. Start the link afresh.
            where = 104;
            const QString d = QStringLiteral(" where = %1 DataLen %2 exceeds %3, link reset")
                                  .arg(where)
                                  .arg(announced)
                                  .arg(FrameAssembler::kMaxDataLen);
            m_monitor.setText1(QStringLiteral("Error: Where = %1 DataLen %2 exceeds %3")
                                   .arg(where)
                                   .arg(announced)
                                   .arg(FrameAssembler::kMaxDataLen));
            Module1::ErrorLog(kTag, d);
            m_assembler.clear();
            m_link.reconnectNow();
            return;
        }
        try {
            handleFrame(frame, first, where);
        } catch (const std::exception& e) {
            fail(where, describe(e));
        }
        first = false;
    }
}

void AgwReceiver::handleFrame(QByteArrayView frame, bool firstOfEvent, int& where) {
    where = 105;
    const AgwHeader h = readHeader(frame.data());
    where = 106;
    const QByteArrayView data = frame.sliced(kAgwHeaderSize);
    where = 107;
    const QString raw = QString::fromLatin1(data.data(), data.size());
    where = 108;
    // Text1 shows the data of every frame of this arrival, one after the other.
    if (firstOfEvent)
        m_monitor.setText1(raw);
    else
        m_monitor.appendText1(raw);
    where = 2;
    m_monitor.showHeader(h);
    where = 7;
    const QString kind = QString(QChar::fromLatin1(h.DataKind));
    const QString from = fromSingleByte(h.CallFrom);
    const QString kindLine =
        kind + QLatin1Char(':') + from + QStringLiteral(" -> ") + fromSingleByte(h.CallTo);
    where = 8;
    if (m_kindLines.size() < kMaxKindLines && !m_kindLines.contains(kindLine)) {
        where = 9;
        m_kindLines.insert(kindLine);
        m_monitor.addKindLine(kindLine);
    }
    where = 11; // the DataLen box went with the header (10)
    const QByteArray converted = toNodeText(data);
    m_monitor.addTraffic(from + QStringLiteral(" :") + kind + QStringLiteral(" -> ") +
                         fromSingleByte(converted));
    dispatch(h, converted, where);
}

void AgwReceiver::dispatch(const AgwHeader& h, const QByteArray& converted, int& where) {
    where = 14;
    const QByteArray& call = h.CallFrom;
    switch (h.DataKind) {
    case 'D': {
        if (call.isEmpty()) {
            // No station to answer. (A disconnect without a callsign would be addressed by stream
            // index, the frame's port, and end some other user's stream.)
            Module1::ErrorLog(kTag, QStringLiteral(" where = %1 no call").arg(where));
            return;
        }
        const int i = m_streams.find(call);
        if (i > 0) {
            Socket& out = m_streams.winsckOut(i);
            const int st = out.state();
            if (st == Socket::Connected) {
                out.send(converted);
                if (out.bytesToWrite() > StreamTable::kMaxNodeQueue)
                    emit m_streams.clusterError(
                        i, QStringLiteral("The cluster node is not reading (%1 bytes waiting)")
                               .arg(out.bytesToWrite()));
                return;
            }
            // Typed before the cluster connection is up: held and sent after the login line.
            QByteArray& held = m_streams.held(i);
            if (isConnecting(st) && held.size() + converted.size() <= StreamTable::kMaxHeldBytes) {
                held += converted;
                return;
            }
        }
        // No usable stream for this station: ask the engine to disconnect it.
        m_sender.SendToAx25(h.Port, QByteArrayLiteral(" \r\n"), QStringLiteral("d"), call);
        return;
    }
    case 'd': {
        if (const int i = m_streams.find(call)) {
            m_streams.release(i);
            m_streams.winsckOut(i).close();
        }
        m_streams.refreshList3();
        return;
    }
    case 'C': {
        if (call.isEmpty()) {
            Module1::ErrorLog(kTag, QStringLiteral(" where = %1 no call").arg(where));
            return;
        }
        if (!isUsableCall(call)) {
            Module1::ErrorLog(
                kTag, QStringLiteral(" where = %1 bad call %2").arg(where).arg(escaped(call)));
            return;
        }
        m_streams.open(call, h.Port);
        return;
    }
    default: {
        const QString text = QStringLiteral("****** DataKind = ") + QChar::fromLatin1(h.DataKind) +
                             QLatin1Char(' ') + fromSingleByte(converted);
        m_monitor.setText1(text);
        Module1::ErrorLog(kTag, text);
        return;
    }
    }
}

void AgwReceiver::fail(int where, const QString& description) {
    m_monitor.setText1(QStringLiteral("Error: Where = %1 %2").arg(where).arg(description));
    Module1::ErrorLog(kTag, QStringLiteral(" where = %1 %2").arg(where).arg(description));
}

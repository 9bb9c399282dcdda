#include "streams/ClusterEvents.h"

#include "agwlink/AgwFrame.h"
#include "agwlink/AxSender.h"
#include "config/Module1.h"
#include "net/Failure.h"
#include "streams/StreamTable.h"

#include <QElapsedTimer>

namespace {
const QByteArray kCrLf = QByteArrayLiteral("\r\n");
const QByteArray kBlankLine = QByteArrayLiteral(" \r\n");

// Milliseconds on a monotonic clock, never 0.
qint64 monotonicMs() {
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    return clock.elapsed() + 1;
}
} // namespace

ClusterEvents::ClusterEvents(StreamTable& streams, AxSender& sender, QObject* parent)
    : QObject(parent), m_streams(streams), m_sender(sender) {
    connect(&streams, &StreamTable::clusterConnected, this, &ClusterEvents::winsckOut_Connect);
    connect(&streams, &StreamTable::clusterData, this, &ClusterEvents::winsckOut_DataArrival);
    connect(&streams, &StreamTable::clusterClosed, this, &ClusterEvents::winsckOut_Close);
    connect(&streams, &StreamTable::clusterError, this, &ClusterEvents::winsckOut_Error);
    connect(&streams, &StreamTable::keepAliveTick, this, &ClusterEvents::tmrKeepAlive_Timer);
}

qint64& ClusterEvents::lastData(int Index) {
    const auto i = static_cast<size_t>(Index);
    if (i >= m_lastData.size()) m_lastData.resize(i + 1, 0);
    return m_lastData[i];
}

void ClusterEvents::winsckOut_Connect(int Index) {
    try {
        // The node takes the first line as the user's callsign; nothing else is awaited.
        Socket& out = m_streams.winsckOut(Index);
        out.send(m_streams.callsign(Index) + kCrLf);
        // Then whatever the user typed while the connection was being made.
        QByteArray& held = m_streams.held(Index);
        if (!held.isEmpty()) {
            out.send(held);
            held.clear();
            held.squeeze();
        }
    } catch (const std::exception& e) {
        Module1::ErrorLog(QStringLiteral("winsckOut_Connect"),
                          QStringLiteral("%1 %2").arg(Index).arg(describe(e)));
    }
}

void ClusterEvents::winsckOut_DataArrival(int Index) {
    QByteArray text;
    try {
        m_streams.setIdle(Index, 0);
        // The quiet minutes count again from now. The timer is not restarted here: Qt finds a
        // timer to stop by walking all of them, and with thousands of streams that walk would
        // cost more than relaying the text. The time is noted instead, and a tick that comes
        // sooner than a full interval after it re-arms the timer for the rest of the interval
        // without counting (tmrKeepAlive_Timer): the same ticks as a restart, at one timer
        // operation per interval instead of one per arrival.
        QTimer& timer = m_streams.tmrKeepAlive(Index);
        lastData(Index) = monotonicMs();
        if (!timer.isActive()) timer.start();
        Socket& out = m_streams.winsckOut(Index);
        const int st = out.state();
        // A node that closes right after its last words still has them relayed.
        if (st != Socket::Connected && st != Socket::Closing) {
            Module1::ErrorLog(QStringLiteral("winsockOut_DataArrival"),
                              QStringLiteral("WinsckOut in wrong state %1 %2")
                                  .arg(st)
                                  .arg(fromSingleByte(m_streams.callsign(Index))));
            return;
        }
        text = out.readAll();
        if (m_streams.callsign(Index).isEmpty()) {
            out.close();
            return;
        }
        m_sender.SendToAx25(Index, text, QStringLiteral("D"));
    } catch (const std::exception&) {
        Module1::ErrorLog(QStringLiteral("winsockOut_DataArrival"), fromSingleByte(text));
    }
}

void ClusterEvents::winsckOut_Close(int Index) {
    try {
        // Text the node sent just before it closed goes to the user before the disconnect.
        Socket& out = m_streams.winsckOut(Index);
        if (out.bytesAvailable() > 0 && !m_streams.callsign(Index).isEmpty())
            m_sender.SendToAx25(Index, out.readAll(), QStringLiteral("D"));
        m_sender.SendToAx25(Index, kBlankLine, QStringLiteral("d"));
    } catch (const std::exception& e) {
        Module1::ErrorLog(QStringLiteral("winsckOut_Close"),
                          QStringLiteral("%1 %2").arg(Index).arg(describe(e)));
    }
}

void ClusterEvents::winsckOut_Error(int Index, const QString& description) {
    try {
        Module1::ErrorLog(QStringLiteral("winsckOut_Error"),
                          QStringLiteral("%1 %2 %3")
                              .arg(fromSingleByte(m_streams.callsign(Index)))
                              .arg(Index)
                              .arg(description));
        m_sender.SendToAx25(Index, kBlankLine, QStringLiteral("d"));
        m_streams.release(Index);
        m_streams.refreshList3();
        m_streams.winsckOut(Index).close();
    } catch (const std::exception& e) {
        Module1::ErrorLog(QStringLiteral("winsckOut_Error"),
                          QStringLiteral("%1 %2").arg(Index).arg(describe(e)));
    }
}

void ClusterEvents::tmrKeepAlive_Timer(int Index) {
    try {
        QTimer& timer = m_streams.tmrKeepAlive(Index);
        const int interval = m_streams.templateTimer().interval();
        const qint64 last = lastData(Index);
        const qint64 since = last ? monotonicMs() - last : interval;
        if (since < interval) {
            // The node spoke less than an interval ago: as if the timer had been restarted then.
            timer.start(static_cast<int>(interval - since));
            return;
        }
        if (timer.interval() != interval) timer.setInterval(interval);
        const qint32 minutes = Module1::settings().KeepAliveMinutes;
        if (minutes == 0) return;
        const qint32 idle = m_streams.idle(Index) + 1;
        m_streams.setIdle(Index, idle);
        if (idle < minutes) return;
        Socket& out = m_streams.winsckOut(Index);
        if (out.state() != Socket::Closed) {
            m_streams.setIdle(Index, 0);
            if (out.state() == Socket::Connected) out.send(kBlankLine);
        } else {
            m_streams.setIdle(Index, 0);
            m_streams.tmrKeepAlive(Index).stop();
        }
    } catch (const std::exception&) {
        Module1::ErrorLog(
            QStringLiteral("tmrKeepAlive_timer"),
            QStringLiteral("%1 %2").arg(Index).arg(fromSingleByte(m_streams.callsign(Index))));
    }
}

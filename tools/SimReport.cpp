#include "tools/SimReport.h"

#include "tools/SimProtocol.h"

#include <QJsonArray>
#include <algorithm>
#include <cmath>

namespace sim {
namespace {
// A poll this long after the last frame aired, with nothing held, is one too many.
constexpr double kIdleAfterMs = 1000;

QByteArray key(const QByteArray& call, int ordinal) {
    return call + '#' + QByteArray::number(ordinal);
}
QString fixed(double v, int decimals) {
    return QString::number(v, 'f', decimals);
}
} // namespace

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double pos = qBound(0.0, q, 1.0) * double(values.size() - 1);
    const size_t i = size_t(std::floor(pos));
    const size_t j = qMin(i + 1, values.size() - 1);
    return values[i] + (values[j] - values[i]) * (pos - double(i));
}

double TrafficRecord::Session::connectedSeconds(double nowMs) const {
    if (connectMs < 0) return 0;
    return qMax(0.0, ((engineEndMs >= 0 ? engineEndMs : nowMs) - connectMs) / 1000.0);
}

TrafficRecord::Session& TrafficRecord::at(QHash<QByteArray, int>& ordinals, const QByteArray& call,
                                          bool next) {
    int& ordinal = ordinals[call];
    if (next || ordinal == 0) ++ordinal;
    const QByteArray k = key(call, ordinal);
    const auto it = m_index.constFind(k);
    if (it != m_index.constEnd()) return m_sessions[size_t(*it)];
    m_index.insert(k, int(m_sessions.size()));
    Session s;
    s.call = call;
    s.ordinal = ordinal;
    m_sessions.push_back(std::move(s));
    return m_sessions.back();
}

TrafficRecord::Session* TrafficRecord::current(const QHash<QByteArray, int>& ordinals,
                                               const QByteArray& call) {
    const int ordinal = ordinals.value(call);
    if (ordinal == 0) return nullptr;
    const auto it = m_index.constFind(key(call, ordinal));
    return it == m_index.constEnd() ? nullptr : &m_sessions[size_t(*it)];
}

const TrafficRecord::Session* TrafficRecord::session(const QByteArray& call, int ordinal) const {
    const auto it = m_index.constFind(key(call, ordinal));
    return it == m_index.constEnd() ? nullptr : &m_sessions[size_t(*it)];
}

void TrafficRecord::nodeLogin(const QByteArray& call, double ms) {
    at(m_nodeOrdinal, call, true).loginMs = ms;
}

void TrafficRecord::nodeWrote(const QByteArray& call, const QByteArray& bytes, bool spot,
                              double ms) {
    Session* s = current(m_nodeOrdinal, call);
    if (!s) return;
    if (s->firstWriteMs < 0) s->firstWriteMs = ms;
    const QByteArray radio = toRadioText(bytes);
    if (!radio.isEmpty()) s->writes.push_back({s->expected.size(), ms});
    s->expected += radio;
    s->rawWritten += bytes.size();
    if (spot) ++s->spotWrites;
}

void TrafficRecord::nodeBlocked(const QByteArray& call, qint64 toSystem, double ms) {
    Session* s = current(m_nodeOrdinal, call);
    if (!s || s->blockedMs >= 0 || s->rawWritten <= 0) return;
    // What the system took, in the radio's bytes (the lines' CR LF became one CR).
    const qint64 radio =
        qint64(double(toSystem) * double(s->expected.size()) / double(s->rawWritten));
    s->blockedMs = ms;
    s->blockedToSystem = toSystem;
    s->blockedHeld = qMax<qint64>(0, radio - s->arrived);
}

void TrafficRecord::nodeClosed(const QByteArray& call, double ms) {
    if (Session* s = current(m_nodeOrdinal, call)) s->nodeClosedMs = ms;
}

void TrafficRecord::engineConnect(const QByteArray& call, double ms) {
    at(m_engineOrdinal, call, true).connectMs = ms;
}

void TrafficRecord::engineGone(const QByteArray& call, bool byUser, double ms) {
    Session* s = current(m_engineOrdinal, call);
    if (!s || s->engineEndMs >= 0) return;
    s->engineEndMs = ms;
    if (byUser) s->userLeftMs = ms;
}

void TrafficRecord::engineArrived(const QByteArray& call, const QByteArray& data, int outstanding,
                                  double ms) {
    Session* s = current(m_engineOrdinal, call);
    if (!s) return;
    s->arrived += data.size();
    if (outstanding > s->maxOutstanding) {
        s->maxOutstanding = outstanding;
        s->maxOutstandingMs = ms;
    }
    for (; s->nextArrival < s->writes.size() && s->writes[s->nextArrival].radioStart < s->arrived;
         ++s->nextArrival)
        m_latencies.push_back(ms - s->writes[s->nextArrival].ms);
}

void TrafficRecord::engineAired(const QByteArray& call, const QByteArray& data, double ms) {
    Session* s = current(m_engineOrdinal, call);
    if (!s) return;
    if (s->mismatchAt < 0) {
        for (qsizetype i = 0; i < data.size(); ++i) {
            const qint64 pos = s->aired + i;
            if (pos >= s->expected.size() || s->expected[pos] != data[i]) {
                s->mismatchAt = pos;
                break;
            }
        }
    }
    s->aired += data.size();
    ++s->framesAired;
    s->lastAiredMs = ms;
}

void TrafficRecord::enginePolled(const QByteArray& call, int outstanding, double ms) {
    Session* s = current(m_engineOrdinal, call);
    if (!s) return;
    ++s->polls;
    const bool nothingHeld = outstanding == 0 && s->arrived == s->expected.size();
    if (nothingHeld && (s->lastAiredMs < 0 || ms - s->lastAiredMs > kIdleAfterMs)) ++s->idlePolls;
}

bool TrafficRecord::allAired() const {
    bool any = false;
    for (const Session& s : m_sessions) {
        if (s.connectMs < 0 || s.engineEndMs >= 0) continue;
        if (s.expected.isEmpty() || !s.complete()) return false;
        any = true;
    }
    return any;
}

QString TrafficRecord::summary(double nowMs) const {
    int held = 0;
    QByteArray heldBy;
    double pollMax = 0, pollSpots = 0, pollQuiet = 0, drain = 0, closeMax = -1;
    int withSpots = 0, quiet = 0, blocked = 0, complete = 0, shortOf = 0, wrong = 0;
    quint64 idle = 0;
    qint64 heldAtBlock = -1;
    for (const Session& s : m_sessions) {
        if (s.maxOutstanding > held) {
            held = s.maxOutstanding;
            heldBy = s.call;
        }
        const double secs = s.connectedSeconds(nowMs);
        const double rate = secs > 0 ? double(s.polls) / secs : 0;
        pollMax = qMax(pollMax, rate);
        if (s.connectMs >= 0) {
            (s.spotWrites > 0 ? pollSpots : pollQuiet) += rate;
            ++(s.spotWrites > 0 ? withSpots : quiet);
        }
        idle += s.idlePolls;
        if (s.firstWriteMs >= 0 && s.lastAiredMs >= 0)
            drain = qMax(drain, (s.lastAiredMs - s.firstWriteMs) / 1000.0);
        if (s.userLeftMs >= 0 && s.nodeClosedMs >= 0)
            closeMax = qMax(closeMax, s.nodeClosedMs - s.userLeftMs);
        if (s.blockedMs >= 0) {
            ++blocked;
            heldAtBlock = qMax(heldAtBlock, s.blockedHeld);
        }
        if (s.mismatchAt >= 0)
            ++wrong;
        else if (s.complete())
            ++complete;
        else
            ++shortOf;
    }
    QString line =
        QStringLiteral("held max %1 frames%2; Y %3/s per user max, %4 with spots, %5 without, "
                       "%6 idle polls; aired in %7 s max; node->engine p50 %8 ms p99 %9 ms (%10 "
                       "writes); ")
            .arg(held)
            .arg(heldBy.isEmpty() ? QString()
                                  : QStringLiteral(" (%1)").arg(QString::fromLatin1(heldBy)))
            .arg(fixed(pollMax, 2), fixed(withSpots ? pollSpots / withSpots : 0, 2),
                 fixed(quiet ? pollQuiet / quiet : 0, 2))
            .arg(idle)
            .arg(fixed(drain, 1), fixed(quantile(m_latencies, 0.5), 2),
                 fixed(quantile(m_latencies, 0.99), 2))
            .arg(m_latencies.size());
    if (blocked > 0)
        line +=
            QStringLiteral("node blocked for %1 of %2 users, %3 bytes not at the engine (max); ")
                .arg(blocked)
                .arg(m_sessions.size())
                .arg(heldAtBlock);
    else
        line += QStringLiteral("node never blocked; ");
    line += QStringLiteral("text %1 complete, %2 short, %3 wrong")
                .arg(complete)
                .arg(shortOf)
                .arg(wrong);
    if (closeMax >= 0) line += QStringLiteral("; d->node closed %1 ms max").arg(fixed(closeMax, 1));
    return line;
}

QJsonObject TrafficRecord::report(double nowMs) const {
    QJsonArray sessions;
    for (const Session& s : m_sessions) {
        QJsonObject o;
        o[QStringLiteral("call")] = QString::fromLatin1(s.call);
        o[QStringLiteral("session")] = s.ordinal;
        o[QStringLiteral("max_outstanding")] = s.maxOutstanding;
        if (s.maxOutstandingMs >= 0 && s.connectMs >= 0)
            o[QStringLiteral("max_outstanding_after_s")] =
                (s.maxOutstandingMs - s.connectMs) / 1000.0;
        o[QStringLiteral("polls")] = double(s.polls);
        const double secs = s.connectedSeconds(nowMs);
        o[QStringLiteral("polls_per_s")] = secs > 0 ? double(s.polls) / secs : 0.0;
        o[QStringLiteral("idle_polls")] = double(s.idlePolls);
        o[QStringLiteral("connected_s")] = secs;
        o[QStringLiteral("spot_writes")] = double(s.spotWrites);
        o[QStringLiteral("bytes_written")] = double(s.expected.size());
        o[QStringLiteral("bytes_arrived")] = double(s.arrived);
        o[QStringLiteral("bytes_aired")] = double(s.aired);
        o[QStringLiteral("frames_aired")] = double(s.framesAired);
        o[QStringLiteral("text")] =
            s.mismatchAt >= 0
                ? QStringLiteral("wrong at byte %1").arg(s.mismatchAt)
                : (s.complete() ? QStringLiteral("complete") : QStringLiteral("short"));
        if (s.firstWriteMs >= 0 && s.lastAiredMs >= 0)
            o[QStringLiteral("aired_in_s")] = (s.lastAiredMs - s.firstWriteMs) / 1000.0;
        if (s.blockedMs >= 0) {
            o[QStringLiteral("blocked_after_s")] = (s.blockedMs - s.firstWriteMs) / 1000.0;
            o[QStringLiteral("held_at_block")] = double(s.blockedHeld);
            o[QStringLiteral("to_system_at_block")] = double(s.blockedToSystem);
        }
        if (s.userLeftMs >= 0 && s.nodeClosedMs >= 0)
            o[QStringLiteral("left_to_node_closed_ms")] = s.nodeClosedMs - s.userLeftMs;
        sessions.append(o);
    }
    QJsonObject r;
    r[QStringLiteral("latency_ms_p50")] = quantile(m_latencies, 0.5);
    r[QStringLiteral("latency_ms_p99")] = quantile(m_latencies, 0.99);
    r[QStringLiteral("latency_count")] = double(m_latencies.size());
    r[QStringLiteral("sessions")] = sessions;
    return r;
}

} // namespace sim

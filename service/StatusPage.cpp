#include "service/StatusPage.h"

#include "config/OutsideText.h"
#include "config/Settings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace {

QJsonValue isoTime(const QDateTime& when) {
    if (!when.isValid()) return QJsonValue::Null;
    return when.toUTC().toString(Qt::ISODate);
}

QString shownTime(const QDateTime& when) {
    return when.isValid() ? when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                          : QStringLiteral("-");
}

// A label value of the Prometheus text format: backslash, double quote and line feed escaped.
QString labelValue(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('"'))
            out += QStringLiteral("\\\"");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else
            out += c;
    }
    return out;
}

class Metrics {
public:
    void family(const char* name, const char* type, const char* help) {
        m_text += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                      .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
    }
    void sample(const char* name, qint64 value, const QString& labels = QString()) {
        m_text += QLatin1String(name) + labels + QLatin1Char(' ') + QString::number(value) +
                  QLatin1Char('\n');
    }
    void gaugeSample(const char* name, double value, const QString& labels) {
        m_text += QLatin1String(name) + labels + QLatin1Char(' ') + QString::number(value, 'f', 1) +
                  QLatin1Char('\n');
    }
    static QString label(const char* key, const QString& value) {
        return QStringLiteral("{%1=\"%2\"}").arg(QLatin1String(key), labelValue(value));
    }
    static QString user(const SessionStatus& u) {
        return QStringLiteral("{callsign=\"%1\",port=\"%2\"}")
            .arg(labelValue(u.callsign))
            .arg(u.port);
    }
    QByteArray bytes() const { return m_text.toUtf8(); }

private:
    QString m_text;
};

} // namespace

QString htmlText(const QString& text) {
    // The control pictures: U+2400 + c, and U+2421 for DEL.
    return withControlsShown(text.toHtmlEscaped(), [](char16_t c) {
        return c == 0x7F ? char16_t(0x2421) : char16_t(0x2400 + c);
    });
}

QByteArray statusJson(const GatewayStatus& st) {
    QJsonObject link{{QStringLiteral("state"), st.link.state},
                     {QStringLiteral("callsign"), st.link.callsign},
                     {QStringLiteral("engine"), st.link.engine},
                     {QStringLiteral("since"), isoTime(st.link.since)},
                     {QStringLiteral("ports"), st.link.ports},
                     {QStringLiteral("paced"), st.link.paced},
                     {QStringLiteral("frame_limit"), st.link.frameLimit}};
    QJsonArray users;
    for (const SessionStatus& u : st.users)
        users.append(
            QJsonObject{{QStringLiteral("slot"), u.slot},
                        {QStringLiteral("callsign"), u.callsign},
                        {QStringLiteral("port"), u.port},
                        {QStringLiteral("since"), isoTime(u.since)},
                        {QStringLiteral("to_node_bytes"), u.toNodeBytes},
                        {QStringLiteral("to_node_lines"), u.toNodeLines},
                        {QStringLiteral("to_radio_bytes"), u.toRadioBytes},
                        {QStringLiteral("to_radio_lines"), u.toRadioLines},
                        {QStringLiteral("node_state"), u.nodeState},
                        {QStringLiteral("held_bytes"), u.heldBytes},
                        {QStringLiteral("frames_outstanding"), u.framesOutstanding},
                        {QStringLiteral("air_seconds"), qRound(u.airSeconds * 10) / 10.0}});
    const GatewayCounters& c = st.counters;
    const auto n = [](quint64 v) { return QJsonValue(static_cast<qint64>(v)); };
    QJsonObject counters{{QStringLiteral("users_connected"), st.users.size()},
                         {QStringLiteral("users_served"), n(c.usersServed)},
                         {QStringLiteral("frames_from_engine"), n(c.framesFromEngine)},
                         {QStringLiteral("bytes_from_engine"), n(c.bytesFromEngine)},
                         {QStringLiteral("frames_to_engine"), n(c.framesToEngine)},
                         {QStringLiteral("bytes_to_engine"), n(c.bytesToEngine)},
                         {QStringLiteral("link_connects"), n(c.linkConnects)},
                         {QStringLiteral("outstanding_requests"), n(c.outstandingAsked)},
                         {QStringLiteral("bytes_to_nodes"), n(c.bytesToNodes)},
                         {QStringLiteral("bytes_from_nodes"), n(c.bytesFromNodes)}};
    return QJsonDocument(QJsonObject{{QStringLiteral("link"), link},
                                     {QStringLiteral("users"), users},
                                     {QStringLiteral("counters"), counters}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

int userPages(int users) {
    return std::max(1, (users + kUsersPerPage - 1) / kUsersPerPage);
}

QByteArray statusHtml(const GatewayStatus& st, const QStringList& logLines, int page,
                      int refreshSeconds) {
    QString h;
    h += QStringLiteral(
             "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
             "<meta http-equiv=\"refresh\" content=\"%1\">\n"
             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
             "<title>pktgate %2</title>\n<style>\n"
             "body{font-family:sans-serif;margin:1em 2em;color:#1a1a1a;background:#fafaf5}\n"
             "h1{font-size:1.4em}h2{font-size:1.1em;margin-top:1.5em}\n"
             "table{border-collapse:collapse}th,td{padding:.25em .8em;text-align:left;"
             "white-space:nowrap;border-bottom:1px solid "
             "#ddd}th{background:#e8eef4}td.n{text-align:right}\n"
             ".connected{color:#176117;font-weight:bold}.connecting,.down{color:#a01010;"
             "font-weight:bold}\n"
             "pre{background:#f0f0e8;padding:.6em;font-size:.85em;overflow-x:auto}\n"
             "</style></head><body>\n")
             .arg(refreshSeconds)
             .arg(htmlText(st.link.callsign));
    h += QStringLiteral("<h1>pktgate %1 &mdash; %2</h1>\n")
             .arg(QLatin1String(kProgramVersion), htmlText(st.link.callsign));

    h += QStringLiteral("<h2>AGW link</h2>\n<table>\n"
                        "<tr><th>State</th><td class=\"%1\">%1</td></tr>\n"
                        "<tr><th>Callsign</th><td>%2</td></tr>\n"
                        "<tr><th>Engine</th><td>%3</td></tr>\n"
                        "<tr><th>Radio ports</th><td>%4</td></tr>\n"
                        "<tr><th>Pacing</th><td>%5</td></tr>\n"
                        "<tr><th>Since</th><td>%6</td></tr>\n</table>\n")
             .arg(htmlText(st.link.state), htmlText(st.link.callsign), htmlText(st.link.engine),
                  QString::number(st.link.ports),
                  st.link.paced ? QStringLiteral("paced: at most %1 frames per user in the engine")
                                      .arg(st.link.frameLimit)
                                : QStringLiteral("unpaced"),
                  shownTime(st.link.since));

    h += QStringLiteral("<p>Refused callsigns: %1, and the cluster callsign</p>\n")
             .arg(st.refusedCalls);
    const GatewayCounters& c = st.counters;
    h += QStringLiteral("<h2>Users: %1 connected, %2 served since the start</h2>\n")
             .arg(st.users.size())
             .arg(c.usersServed);
    const int pages = userPages(int(st.users.size()));
    page = std::clamp(page, 1, pages);
    if (pages > 1) {
        h += QStringLiteral("<p class=\"pages\">Page");
        for (int n = 1; n <= pages; ++n)
            h += n == page ? QStringLiteral(" <b>%1</b>").arg(n)
                           : QStringLiteral(" <a href=\"/?page=%1\">%1</a>").arg(n);
        h += QStringLiteral("</p>\n");
    }
    if (!st.users.isEmpty()) {
        h += QStringLiteral("<table>\n<tr><th>Slot</th><th>Callsign</th><th>Port</th>"
                            "<th>Connected since</th><th>To node bytes</th><th>lines</th>"
                            "<th>To radio bytes</th><th>lines</th><th>Node</th>"
                            "<th>Held bytes</th><th>Frames in engine</th><th>Air time s</th>"
                            "</tr>\n");
        const qsizetype first = qsizetype(page - 1) * kUsersPerPage;
        for (const SessionStatus& u : st.users.mid(first, kUsersPerPage))
            h += QStringLiteral("<tr><td class=\"n\">%1</td><td>%2</td><td class=\"n\">%3</td>"
                                "<td>%4</td><td class=\"n\">%5</td><td class=\"n\">%6</td>"
                                "<td class=\"n\">%7</td><td class=\"n\">%8</td><td>%9</td>")
                     .arg(QString::number(u.slot), htmlText(u.callsign), QString::number(u.port),
                          shownTime(u.since), QString::number(u.toNodeBytes),
                          QString::number(u.toNodeLines), QString::number(u.toRadioBytes),
                          QString::number(u.toRadioLines), htmlText(u.nodeState)) +
                 QStringLiteral("<td class=\"n\">%1</td><td class=\"n\">%2</td>"
                                "<td class=\"n\">%3</td></tr>\n")
                     .arg(u.heldBytes)
                     .arg(u.framesOutstanding)
                     .arg(u.airSeconds, 0, 'f', 1);
        h += QStringLiteral("</table>\n");
    }

    h += QStringLiteral("<h2>AGW frames</h2>\n<table>\n"
                        "<tr><th></th><th>Frames</th><th>Bytes</th></tr>\n"
                        "<tr><th>From the engine</th><td class=\"n\">%1</td>"
                        "<td class=\"n\">%2</td></tr>\n"
                        "<tr><th>To the engine</th><td class=\"n\">%3</td>"
                        "<td class=\"n\">%4</td></tr>\n</table>\n")
             .arg(c.framesFromEngine)
             .arg(c.bytesFromEngine)
             .arg(c.framesToEngine)
             .arg(c.bytesToEngine);

    h += QStringLiteral("<h2>error.log, the last %1 lines</h2>\n<pre>").arg(logLines.size());
    for (const QString& line : logLines)
        h += htmlText(line) + QLatin1Char('\n');
    h += QStringLiteral("</pre>\n</body></html>\n");
    return h.toUtf8();
}

QByteArray metricsText(const GatewayStatus& st, const QMap<QString, quint64>& linesByTag,
                       const DescriptorFigures& d) {
    const GatewayCounters& c = st.counters;
    const auto n = [](quint64 v) { return static_cast<qint64>(v); };
    Metrics m;
    m.family("pktgate_info", "gauge", "The gateway's version.");
    m.sample("pktgate_info", 1, Metrics::label("version", QLatin1String(kProgramVersion)));
    m.family("pktgate_link_up", "gauge", "1 while the AGW link to the packet engine is up.");
    m.sample("pktgate_link_up", st.link.state == QLatin1String("connected") ? 1 : 0);
    m.family("pktgate_link_reconnects_total", "counter",
             "Times the AGW link came up again after its first connect.");
    m.sample("pktgate_link_reconnects_total", c.linkConnects > 0 ? n(c.linkConnects - 1) : 0);
    m.family("pktgate_radio_ports_registered", "gauge",
             "Radio ports the cluster callsign is registered on.");
    m.sample("pktgate_radio_ports_registered", st.link.ports);
    m.family("pktgate_users_connected", "gauge", "Radio users connected now.");
    m.sample("pktgate_users_connected", st.users.size());
    m.family("pktgate_users_served_total", "counter", "Radio users served since the start.");
    m.sample("pktgate_users_served_total", n(c.usersServed));
    m.family("pktgate_agw_frames_total", "counter", "AGW frames, by direction.");
    m.sample("pktgate_agw_frames_total", n(c.framesFromEngine),
             Metrics::label("direction", QStringLiteral("from_engine")));
    m.sample("pktgate_agw_frames_total", n(c.framesToEngine),
             Metrics::label("direction", QStringLiteral("to_engine")));
    m.family("pktgate_agw_bytes_total", "counter", "AGW frame bytes, by direction.");
    m.sample("pktgate_agw_bytes_total", n(c.bytesFromEngine),
             Metrics::label("direction", QStringLiteral("from_engine")));
    m.sample("pktgate_agw_bytes_total", n(c.bytesToEngine),
             Metrics::label("direction", QStringLiteral("to_engine")));
    m.family("pktgate_link_paced", "gauge",
             "1 while the engine reports each user's frames and the relay keeps to a limit.");
    m.sample("pktgate_link_paced", st.link.paced ? 1 : 0);
    m.family("pktgate_engine_frame_limit", "gauge",
             "Frames per user the relay keeps in a paced engine (0: unpaced).");
    m.sample("pktgate_engine_frame_limit", st.link.frameLimit);
    m.family("pktgate_engine_outstanding_requests_total", "counter",
             "Questions to the engine for a user's frames outstanding (\"Y\").");
    m.sample("pktgate_engine_outstanding_requests_total", n(c.outstandingAsked));
    m.family("pktgate_user_held_bytes", "gauge",
             "Bytes of the node's text held for a radio user, not yet handed to the engine.");
    for (const SessionStatus& u : st.users)
        m.sample("pktgate_user_held_bytes", u.heldBytes, Metrics::user(u));
    m.family("pktgate_engine_frames_outstanding", "gauge",
             "A radio user's frames the engine holds, not yet aired (paced links).");
    for (const SessionStatus& u : st.users)
        m.sample("pktgate_engine_frames_outstanding", qint64(u.framesOutstanding),
                 Metrics::user(u));
    m.family("pktgate_user_air_seconds", "gauge",
             "Estimated seconds on the air for what waits for a radio user.");
    for (const SessionStatus& u : st.users)
        m.gaugeSample("pktgate_user_air_seconds", u.airSeconds, Metrics::user(u));
    m.family("pktgate_node_bytes_total", "counter",
             "Text bytes to and from the cluster node, all sessions since the start, by "
             "direction.");
    m.sample("pktgate_node_bytes_total", n(c.bytesToNodes),
             Metrics::label("direction", QStringLiteral("to_node")));
    m.sample("pktgate_node_bytes_total", n(c.bytesFromNodes),
             Metrics::label("direction", QStringLiteral("from_node")));
    m.family("pktgate_log_lines_total", "counter",
             "error.log entries since the start, by tag (summed-up bursts included).");
    for (auto it = linesByTag.cbegin(); it != linesByTag.cend(); ++it)
        m.sample("pktgate_log_lines_total", n(it.value()), Metrics::label("tag", it.key()));
    if (d.openFileLimit >= 0) {
        m.family("pktgate_open_files_limit", "gauge", "The soft limit on open files.");
        m.sample("pktgate_open_files_limit", d.openFileLimit);
    }
    if (d.openDescriptors >= 0) {
        m.family("pktgate_open_descriptors", "gauge", "Descriptors the process has open.");
        m.sample("pktgate_open_descriptors", d.openDescriptors);
    }
    if (d.openFileLimit >= 0 && d.openDescriptors >= 0) {
        m.family("pktgate_descriptor_headroom", "gauge",
                 "Radio users that may still come before new ones are refused for want of "
                 "descriptors: one each, those kept for the program left out.");
        m.sample("pktgate_descriptor_headroom",
                 std::max<long long>(0, d.openFileLimit - d.openDescriptors - d.keptForProgram));
    }
    return m.bytes();
}

#pragma once
// What the status server shows, made from the gateway's status by plain functions: the HTML page,
// its JSON form and the Prometheus metrics. Text from outside (callsigns, log lines) is escaped
// for each form.
#include "relay/Status.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// The process's descriptors, measured when the metrics are asked for.
struct DescriptorFigures {
    long long openFileLimit = -1; // -1: none, or unknown
    int openDescriptors = -1;     // -1: unknown
    int keptForProgram = 0;       // never given to radio users
};

// /status.json: {"link": {...}, "users": [{...}, ...], "counters": {...}}, times in ISO 8601 UTC.
QByteArray statusJson(const GatewayStatus& status);

// The users' table of the HTML page shows this many users a page.
constexpr int kUsersPerPage = 200;
// The pages the users' table takes (at least one).
int userPages(int users);

// /: the link, one page of the users' table (1 the first) with links to the others, and the
// log's last lines, as a small page that reloads itself every `refreshSeconds`.
QByteArray statusHtml(const GatewayStatus& status, const QStringList& logLines, int page = 1,
                      int refreshSeconds = 5);

// /metrics, in Prometheus's text format (version 0.0.4).
QByteArray metricsText(const GatewayStatus& status, const QMap<QString, quint64>& linesByTag,
                       const DescriptorFigures& descriptors);

// Text made fit for HTML: the markup characters escaped, control characters shown as their
// visible symbols (withControlsShown() in config/OutsideText.h).
QString htmlText(const QString& text);

#include "ui/MonitorRows.h"

#include "net/SingleByte.h"

namespace {
QString shortRow(const QString& row) {
    if (row.size() <= MonitorFeed::kRowChars) return row;
    return row.left(MonitorFeed::kRowChars) + QStringLiteral(" \u2026");
}
} // namespace

QString trafficRowText(const TrafficRow& row) {
    return shortRow(fromSingleByte(row.from) + QStringLiteral(" :") + QLatin1Char(row.kind) +
                    QStringLiteral(" -> ") + fromSingleByte(row.text));
}

QString sentRowText(const SentRow& row) {
    return shortRow(QString::number(row.stream) + QStringLiteral(" -> ") +
                    fromSingleByte(row.text));
}

QString slotRowText(const SlotRow& row) {
    switch (row.state) {
    case SlotState::InUse:
        return fromSingleByte(row.callsign);
    case SlotState::Freed:
        return QStringLiteral(" *gone*");
    case SlotState::Unused:
        break;
    }
    return QString();
}

QString routeText(const QByteArray& route) {
    return fromSingleByte(route);
}

#pragma once
// How the window's lists show what the relay reported: the words of each row, as plain functions
// (the window's views and the tests' recorded feed both use them).
//   traffic list      "FROM :K -> text"
//   sent-to-radio     "N -> text"
//   connected calls   the callsign while the slot is in use, " *gone*" once freed, empty before
//   routes seen       the route as it came
// A row of bulk text is cut after MonitorFeed::kRowChars characters, the cut marked " …", so that a
// thousand rows cannot hold megabytes.
#include "relay/MonitorFeed.h"

#include <QString>

QString trafficRowText(const TrafficRow& row);
QString sentRowText(const SentRow& row);
QString slotRowText(const SlotRow& row);
QString routeText(const QByteArray& route);

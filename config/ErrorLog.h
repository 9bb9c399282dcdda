#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QString>

// The error.log line for one entry: a double-quoted "DD-MMM-YYYY HHnn Tag Detail" and CR LF,
// in 8-bit text. Nothing is escaped; an empty Detail leaves the blank after Tag.
QByteArray formatLogLine(const QDateTime& when, const QString& tag, const QString& detail);

// The current date and time as the "Program Started" and "Program terminated" lines show them:
// the short date format and the long time format of the system's locale, a blank between.
QString dateTimeText(const QDateTime& when);

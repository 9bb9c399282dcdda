#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QLocale>
#include <QString>

// The error.log line for one entry: a double-quoted "DD-MMM-YYYY HHnn Tag Detail" and CR LF,
// in 8-bit text. Nothing is escaped (outside text goes through outsideText() first); an empty
// Detail leaves the blank after Tag. MMM is the locale's short month name when that is three
// letters of Latin-1, otherwise the English one (Jan..Dec), so the columns hold in every locale.
QByteArray formatLogLine(const QDateTime& when, const QString& tag, const QString& detail);
QByteArray formatLogLine(const QDateTime& when, const QString& tag, const QString& detail,
                         const QLocale& locale);

// The current date and time as the "Program Started" and "Program terminated" lines show them:
// the short date format and the long time format of the system's locale, a blank between.
QString dateTimeText(const QDateTime& when);

// Text that comes from outside (frame data, callsigns, node text) made fit for one log detail:
// the first 256 bytes, then "... (N bytes)" with the full length when there were more; control
// bytes, double quotes and bytes above 0x7E are written as <hh> (two lower-case hex digits), so
// the text can neither end the entry nor start a new one.
QString outsideText(QByteArrayView bytes);

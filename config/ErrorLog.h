#pragma once
#include "net/Platform.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QLocale>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>

class QTimer;

// The error.log line for one entry: a double-quoted "DD-MMM-YYYY HHnn Tag Detail" and CR LF,
// in 8-bit text. Nothing is escaped (outside text goes through outsideText() first); an empty
// Detail leaves the blank after Tag. MMM is the locale's short month name when that is three
// letters of Latin-1, otherwise the English one (Jan..Dec), so the columns hold in every locale.
QByteArray formatLogLine(const QDateTime& when, const QString& tag, const QString& detail);
QByteArray formatLogLine(const QDateTime& when, const QString& tag, const QString& detail,
                         const QLocale& locale);

// The current date and time as the "Program Started" and "Program terminated" lines show them:
// the short date of the system's locale, a blank and the time as HH:mm:ss, with no time zone
// ("08/12/2026 09:05:00" in en_GB).
QString dateTimeText(const QDateTime& when);
QString dateTimeText(const QDateTime& when, const QLocale& locale);

// Text that comes from outside (frame data, callsigns, node text) made fit for one log detail:
// the first 256 bytes, then "... (N bytes)" with the full length when there were more; control
// bytes, double quotes and bytes above 0x7E are written as <hh> (escapedBytes() in
// config/OutsideText.h), so the text can neither end the entry nor start a new one.
QString outsideText(QByteArrayView bytes);

// A detail as error.log keeps it: the first 2,048 characters, then "... (N characters left out)"
// when there were more (N grouped in thousands), so that no value, however long, makes a line
// of its own size.
QString cappedDetail(const QString& detail);

// error.log in one directory, shared by every thread that logs.
//
// Each line is appended with the file opened and closed around it, so a log deleted while the
// gateway runs is made afresh and every line is complete when write() returns. Anything that is
// not a regular file in the log's place (a FIFO, a device, a directory) is refused without
// waiting: the line is lost and standard error says so once.
//
// A tag that floods the log is summed up: of the lines of one tag within a window (one second),
// the first ten are written and the rest only counted; when the window is over, one line of that
// tag with the detail "repeated N times" stands for them (N grouped in thousands: "5,690").
// Lines of other tags, and of a tag below its limit, are written at once. Every detail is capped
// (cappedDetail()).
class ErrorLog : public QObject {
    Q_OBJECT
public:
    explicit ErrorLog(const QString& directory, QObject* parent = nullptr);
    // The same with the wall clock its lines are stamped with (tests fix it).
    ErrorLog(const QString& directory, WallClock clock, QObject* parent = nullptr);
    ~ErrorLog() override; // writes the pending summaries unless close() came first

    // Logs one entry. Any thread; lines appear in the order of the calls. Never throws, never
    // waits for anything but the other writers.
    void write(const QString& tag, const QString& detail) noexcept;
    // Writes the pending summaries now.
    void flush() noexcept;
    // The run has ended: later writes and pending summaries are dropped quietly.
    void close() noexcept;
    // The run's last line: the pending summaries, this line, then close(), with no other writer's
    // line in between, so that it is the last line of the run whatever else is still going on.
    void writeLast(const QString& tag, const QString& detail) noexcept;

    // Each line also goes to standard error, without its quotes, ended by LF (for the journal).
    void setEcho(bool on);
    // At most `lines` lines of one tag per window of `windowMs` written in full; `lines` <= 0
    // writes every line.
    void setBurstLimit(int lines, int windowMs = 1000);
    // The monotonic clock (milliseconds) the windows are measured with; tests step their own.
    void setMonotonicClock(std::function<qint64()> ms);
    // The wall clock the lines are stamped with: the run's one clock, which the start and end
    // lines, the link's and the sessions' times are read from too.
    const WallClock& clock() const { return m_wallClock; }

    // The last 50 lines written, without their quotes and CR LF, oldest first.
    QStringList recentLines() const;
    // How often write() was called for each tag until close(), whether the line was written or
    // summed up.
    QMap<QString, quint64> linesByTag() const;
    QString filePath() const;

private:
    struct Window {
        qint64 end = 0;         // monotonic ms at which the window is over
        int written = 0;        // lines of the tag written in full in this window
        quint64 suppressed = 0; // lines only counted
    };

    void emitLine(const QString& tag, const QString& detail);
    void closeLocked();
    void append(const QByteArray& line);
    void echo(QByteArrayView text) const;
    void writeSummaries(qint64 now, bool all);
    void armTimer();
    void onTimer();

    const QString m_path;
    const WallClock m_wallClock;
    mutable QMutex m_mutex;
    QTimer* m_timer;                 // lives in this object's thread, touched only there
    std::function<qint64()> m_clock; // monotonic ms
    std::map<QString, Window> m_windows;
    QMap<QString, quint64> m_byTag;
    QStringList m_recent;
    int m_burstLines = 10;
    int m_windowMs = 1000;
    bool m_echo = false;
    bool m_closed = false;
    bool m_armed = false;       // a timer start or a queued onTimer() is on its way
    bool m_refusedSaid = false; // the refusal of a non-regular file has been reported
    // One descriptor held in reserve from the first line on (Unix). When the process has run out
    // of descriptors (hundreds of users connecting at once), it is given up for the moment it
    // takes to append a line, so that the failures of that moment still reach the log.
    int m_reserve = -1;
};

#include "config/ErrorLog.h"

#include "config/Module1.h"
#include "net/Platform.h"

#include <QDir>
#include <QFile>
#include <QLocale>

#ifdef Q_OS_UNIX // the reserve descriptor below is a Unix matter
#include <fcntl.h>
#include <unistd.h>
#endif

QByteArray formatLogLine(const QDateTime& when, const QString& tag, const QString& detail) {
    const QDate d = when.date();
    const QTime t = when.time();
    const QString month = QLocale::system().monthName(d.month(), QLocale::ShortFormat);
    const QString text = QStringLiteral("%1-%2-%3 %4%5 %6 %7")
                             .arg(d.day(), 2, 10, QLatin1Char('0'))
                             .arg(month)
                             .arg(d.year(), 4, 10, QLatin1Char('0'))
                             .arg(t.hour(), 2, 10, QLatin1Char('0'))
                             .arg(t.minute(), 2, 10, QLatin1Char('0'))
                             .arg(tag, detail);
    QByteArray line;
    line.reserve(text.size() + 4);
    line += '"';
    line += text.toLatin1();
    line += "\"\r\n";
    return line;
}

QString dateTimeText(const QDateTime& when) {
    const QLocale loc = QLocale::system();
    return loc.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           loc.toString(when.time(), QLocale::LongFormat);
}

namespace {
// One descriptor held in reserve from the first log line on. When the process has run out of
// descriptors (hundreds of users connecting at once), it is given up for the moment it takes to
// append a line, so that the failures of that moment still reach the log.
int g_reserve = -1;

void holdReserve() {
#ifdef Q_OS_UNIX
    if (g_reserve < 0) g_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
#endif
}

void giveUpReserve() {
#ifdef Q_OS_UNIX
    ::close(g_reserve);
#endif
    g_reserve = -1;
}
} // namespace

namespace Module1 {

void ErrorLog(const QString& Tag, const QString& Detail) {
    try {
        const QByteArray line = formatLogLine(platform::now(), Tag, Detail);
        holdReserve();
        QFile f(QDir(platform::appDir()).filePath(QStringLiteral("error.log")));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Append)) {
            if (f.error() != QFileDevice::ResourceError || g_reserve < 0) return;
            giveUpReserve();
            const bool opened = f.open(QIODevice::WriteOnly | QIODevice::Append);
            if (opened) {
                f.write(line);
                f.close();
            }
            holdReserve();
            return;
        }
        f.write(line);
        f.close();
    } catch (...) {
        // The log is the last resort: a line that cannot be written is lost quietly.
    }
}

} // namespace Module1

#include "config/ErrorLog.h"

#include "config/Module1.h"
#include "net/Platform.h"

#include <QDir>
#include <QFile>
#include <QLocale>

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

namespace Module1 {

void ErrorLog(const QString& Tag, const QString& Detail) {
    try {
        const QByteArray line = formatLogLine(platform::now(), Tag, Detail);
        QFile f(QDir(platform::appDir()).filePath(QStringLiteral("error.log")));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Append)) return;
        f.write(line);
        f.close();
    } catch (...) {
        // The log is the last resort: a line that cannot be written is lost quietly.
    }
}

} // namespace Module1

#include "config/ErrorLog.h"

#include "config/Module1.h"
#include "net/Platform.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <algorithm>

#ifdef Q_OS_UNIX // the reserve descriptor below is a Unix matter
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

QString zeroPadded(int value, int width) {
    return QString::number(value).rightJustified(width, QLatin1Char('0'));
}

// The locale's short month name when it is three Latin-1 letters ("Dec", "Mai", "dic"); the
// English one otherwise ("Dez.", "дек.", "мая" and "10月" would break the columns or turn into
// question marks in 8-bit text).
QString monthText(int month, const QLocale& locale) {
    static const char* const kEnglish[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (month < 1 || month > 12) return QString();
    const QString name = locale.monthName(month, QLocale::ShortFormat);
    const bool fits = name.size() == 3 && std::all_of(name.begin(), name.end(), [](QChar c) {
                          return c.unicode() <= 0xFF && c.isLetter();
                      });
    return fits ? name : QString::fromLatin1(kEnglish[month - 1]);
}

} // namespace

QByteArray formatLogLine(const QDateTime& when, const QString& tag, const QString& detail,
                         const QLocale& locale) {
    const QDate d = when.date();
    const QTime t = when.time();
    // Put together piece by piece: tag and detail may hold "%1" and must come out as they are.
    const QString text = zeroPadded(d.day(), 2) + QLatin1Char('-') + monthText(d.month(), locale) +
                         QLatin1Char('-') + zeroPadded(d.year(), 4) + QLatin1Char(' ') +
                         zeroPadded(t.hour(), 2) + zeroPadded(t.minute(), 2) + QLatin1Char(' ') +
                         tag + QLatin1Char(' ') + detail;
    QByteArray line;
    line.reserve(text.size() + 4);
    line += '"';
    line += text.toLatin1();
    line += "\"\r\n";
    return line;
}

QByteArray formatLogLine(const QDateTime& when, const QString& tag, const QString& detail) {
    return formatLogLine(when, tag, detail, QLocale::system());
}

QString dateTimeText(const QDateTime& when) {
    const QLocale loc = QLocale::system();
    return loc.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           loc.toString(when.time(), QLocale::LongFormat);
}

QString outsideText(QByteArrayView bytes) {
    constexpr qsizetype kKept = 256;
    static const char kHex[] = "0123456789abcdef";
    const qsizetype kept = std::min(bytes.size(), kKept);
    QString out;
    out.reserve(kept + 20);
    for (qsizetype i = 0; i < kept; ++i) {
        const auto c = static_cast<uchar>(bytes[i]);
        if (c < 0x20 || c == '"' || c > 0x7E) {
            out += QLatin1Char('<');
            out += QLatin1Char(kHex[c >> 4]);
            out += QLatin1Char(kHex[c & 0xF]);
            out += QLatin1Char('>');
        } else {
            out += QLatin1Char(static_cast<char>(c));
        }
    }
    if (bytes.size() > kKept)
        out += QStringLiteral("... (") + QString::number(bytes.size()) + QStringLiteral(" bytes)");
    return out;
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

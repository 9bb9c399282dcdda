#include "config/ErrorLog.h"

#include "config/OutsideText.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <vector>

#ifdef Q_OS_UNIX // opening without waiting, the file type check and the reserve descriptor
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

// 5690 -> "5,690", whatever the locale.
QString grouped(quint64 n) {
    QString s = QString::number(n);
    for (qsizetype i = s.size() - 3; i > 0; i -= 3)
        s.insert(i, QLatin1Char(','));
    return s;
}

qint64 steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

constexpr int kRecentLines = 50;

#ifdef Q_OS_UNIX
void holdReserve(int& reserve) {
    if (reserve < 0) reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void giveUpReserve(int& reserve) {
    ::close(reserve);
    reserve = -1;
}

// O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) instead of waiting for one.
int openForAppend(const QByteArray& path) {
    return ::open(path.constData(),
                  O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
}

// The open failures that mean "something other than a regular file is in the log's place".
bool notAFile(int error) {
    return error == ENXIO || error == ENODEV || error == EISDIR || error == EAGAIN ||
           error == EWOULDBLOCK;
}

void writeAll(int fd, const char* p, size_t left) {
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // a full disk: the rest of the line is lost
        p += n;
        left -= static_cast<size_t>(n);
    }
}
#endif

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

QString dateTimeText(const QDateTime& when, const QLocale& locale) {
    return locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           when.time().toString(QStringLiteral("HH:mm:ss"));
}

QString dateTimeText(const QDateTime& when) {
    return dateTimeText(when, QLocale::system());
}

QString outsideText(QByteArrayView bytes) {
    constexpr qsizetype kKept = 256;
    QString out = escapedBytes(bytes.first(std::min(bytes.size(), kKept)));
    if (bytes.size() > kKept)
        out += QStringLiteral("... (") + QString::number(bytes.size()) + QStringLiteral(" bytes)");
    return out;
}

QString cappedDetail(const QString& detail) {
    constexpr qsizetype kKept = 2048;
    if (detail.size() <= kKept) return detail;
    return detail.left(kKept) + QStringLiteral("... (") + grouped(quint64(detail.size() - kKept)) +
           QStringLiteral(" characters left out)");
}

ErrorLog::ErrorLog(const QString& directory, QObject* parent)
    : ErrorLog(directory, WallClock(), parent) {}

ErrorLog::ErrorLog(const QString& directory, WallClock clock, QObject* parent)
    : QObject(parent), m_path(QDir(directory).filePath(QStringLiteral("error.log"))),
      m_wallClock(std::move(clock)), m_timer(new QTimer(this)), m_clock(steadyMs) {
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &ErrorLog::onTimer);
}

ErrorLog::~ErrorLog() {
    flush();
#ifdef Q_OS_UNIX
    if (m_reserve >= 0) ::close(m_reserve);
#endif
}

void ErrorLog::write(const QString& tag, const QString& detail) noexcept {
    try {
        QMutexLocker lock(&m_mutex);
        if (m_closed) return;
        ++m_byTag[tag];
        if (m_burstLines <= 0) {
            emitLine(tag, detail);
            return;
        }
        const qint64 now = m_clock();
        writeSummaries(now, false); // the bursts that are over come before this line
        const auto [it, isNew] = m_windows.try_emplace(tag);
        Window& w = it->second;
        if (isNew) w.end = now + m_windowMs;
        if (w.written < m_burstLines) {
            ++w.written;
            emitLine(tag, detail);
        } else if (w.suppressed++ == 0) {
            armTimer();
        }
    } catch (...) {
        // The log is the last resort: a line that cannot be written is lost quietly.
    }
}

void ErrorLog::flush() noexcept {
    try {
        QMutexLocker lock(&m_mutex);
        if (!m_closed) writeSummaries(m_clock(), true);
    } catch (...) {
    }
}

void ErrorLog::close() noexcept {
    QMutexLocker lock(&m_mutex);
    closeLocked();
}

void ErrorLog::writeLast(const QString& tag, const QString& detail) noexcept {
    QMutexLocker lock(&m_mutex);
    if (m_closed) return;
    try {
        writeSummaries(m_clock(), true);
        ++m_byTag[tag];
        emitLine(tag, detail);
    } catch (...) {
    }
    closeLocked();
}

void ErrorLog::closeLocked() {
    m_closed = true;
    m_windows.clear();
    if (QThread::currentThread() == thread()) m_timer->stop();
}

void ErrorLog::setEcho(bool on) {
    QMutexLocker lock(&m_mutex);
    m_echo = on;
}

void ErrorLog::setBurstLimit(int lines, int windowMs) {
    QMutexLocker lock(&m_mutex);
    m_burstLines = lines;
    m_windowMs = std::max(windowMs, 1);
}

void ErrorLog::setMonotonicClock(std::function<qint64()> ms) {
    QMutexLocker lock(&m_mutex);
    m_clock = ms ? std::move(ms) : std::function<qint64()>(steadyMs);
}

QStringList ErrorLog::recentLines() const {
    QMutexLocker lock(&m_mutex);
    return m_recent;
}

QMap<QString, quint64> ErrorLog::linesByTag() const {
    QMutexLocker lock(&m_mutex);
    return m_byTag;
}

QString ErrorLog::filePath() const {
    return m_path;
}

// Below, m_mutex is held.

void ErrorLog::emitLine(const QString& tag, const QString& detail) {
    const QByteArray line = formatLogLine(m_wallClock.now(), tag, cappedDetail(detail));
    append(line);
    const QByteArray entry = line.sliced(1, line.size() - 4); // without the quotes and CR LF
    if (m_echo) echo(entry + '\n');
    m_recent.append(QString::fromLatin1(entry));
    if (m_recent.size() > kRecentLines) m_recent.removeFirst();
}

void ErrorLog::append(const QByteArray& line) {
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(m_path);
    holdReserve(m_reserve);
    int fd = openForAppend(path);
    bool gaveUp = false;
    if (fd < 0 && (errno == EMFILE || errno == ENFILE) && m_reserve >= 0) {
        giveUpReserve(m_reserve);
        gaveUp = true;
        fd = openForAppend(path);
    }
    bool refused = fd < 0 && notAFile(errno);
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            writeAll(fd, line.constData(), static_cast<size_t>(line.size()));
            m_refusedSaid = false;
        } else {
            refused = true;
        }
        ::close(fd);
    }
    if (gaveUp) holdReserve(m_reserve);
    if (refused && !m_refusedSaid) {
        m_refusedSaid = true;
        echo(QByteArray("pktgate: ") + path + " is not a regular file; log lines are lost\n");
    }
#else
    QFile f(m_path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Append)) f.write(line);
#endif
}

void ErrorLog::echo(QByteArrayView text) const {
#ifdef Q_OS_UNIX
    // Under systemd standard error is a socket to the journal: a journal that does not read
    // loses lines instead of stopping the gateway.
    const char* p = text.data();
    auto left = static_cast<size_t>(text.size());
    while (left > 0) {
        ssize_t n = ::send(STDERR_FILENO, p, left, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
#else
    std::fwrite(text.data(), 1, static_cast<size_t>(text.size()), stderr);
    std::fflush(stderr);
#endif
}

// Writes "repeated N times" for the tags whose window is over (all: for every tag that has lines
// counted) in the order their windows end, and forgets the windows that are over.
void ErrorLog::writeSummaries(qint64 now, bool all) {
    struct Due {
        qint64 end;
        QString tag;
        quint64 count;
    };
    std::vector<Due> due;
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        Window& w = it->second;
        const bool over = now >= w.end;
        if ((over || all) && w.suppressed > 0) {
            due.push_back({w.end, it->first, w.suppressed});
            w.suppressed = 0;
        }
        it = over ? m_windows.erase(it) : std::next(it);
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const Due& a, const Due& b) { return a.end < b.end; });
    for (const Due& d : due)
        emitLine(d.tag, QStringLiteral("repeated ") + grouped(d.count) + QStringLiteral(" times"));
}

// Makes sure the summaries come when their windows end, even if no further line arrives. The
// timer belongs to this object's thread; a writer in another thread has that thread start it.
void ErrorLog::armTimer() {
    if (m_armed || m_closed) return;
    qint64 next = LLONG_MAX;
    for (const auto& [tag, w] : m_windows)
        if (w.suppressed > 0) next = std::min(next, w.end);
    if (next == LLONG_MAX) return;
    m_armed = true;
    if (QThread::currentThread() == thread())
        m_timer->start(static_cast<int>(std::clamp<qint64>(next - m_clock(), 0, INT_MAX)));
    else
        QMetaObject::invokeMethod(this, &ErrorLog::onTimer, Qt::QueuedConnection);
}

void ErrorLog::onTimer() {
    QMutexLocker lock(&m_mutex);
    m_armed = false;
    if (m_closed) return;
    try {
        writeSummaries(m_clock(), false);
        armTimer();
    } catch (...) {
    }
}

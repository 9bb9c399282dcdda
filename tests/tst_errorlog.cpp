// error.log: the line and its month, outside text, a log place that is not a file, bursts summed
// up, the end of a run and writers in two threads.
#include "config/ErrorLog.h"
#include "support/TestUtil.h"

#include <QRegularExpression>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QDateTime kWhen(QDate(2026, 12, 7), QTime(9, 5));

// A log in a fresh directory at a fixed time, its windows measured by a clock the test steps.
struct Rig {
    TempDir dir;
    std::atomic<qint64> ms{0};
    ErrorLog log{dir.path(), WallClock([] { return kWhen; })};
    Rig() {
        log.setMonotonicClock([this] { return ms.load(); });
    }
    QStringList entries() const { return dir.logEntries(); }
};

QStringList burstLines(int n) {
    QStringList out;
    for (int i = 0; i < n; ++i)
        out << QStringLiteral("Burst line %1").arg(i);
    return out;
}
} // namespace

class tst_errorlog : public QObject {
    Q_OBJECT
private slots:
    void logLine_data();
    void logLine();
    void startAndEndTime_data();
    void startAndEndTime();
    void month_data();
    void month();
    void outside_data();
    void outside();
    void longDetail();
    void notAFile_data();
    void notAFile();
    void burst_data();
    void burst();
    void spreadBurst_data();
    void spreadBurst();
    void endOfRun();
    void twoThreads();
};

void tst_errorlog::logLine_data() {
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("five past nine") << QDateTime(QDate(2026, 12, 7), QTime(9, 5)) << "Readcfg"
                                    << "Top" << QByteArray("\"07-Dec-2026 0905 Readcfg Top\"\r\n");
    QTest::newRow("midnight") << QDateTime(QDate(2026, 1, 1), QTime(0, 0, 59)) << "T"
                              << "x" << QByteArray("\"01-Jan-2026 0000 T x\"\r\n");
    QTest::newRow("empty detail keeps the blank")
        << QDateTime(QDate(2026, 3, 9), QTime(23, 59)) << "Form_Load"
        << "" << QByteArray("\"09-Mar-2026 2359 Form_Load \"\r\n");
    QTest::newRow("quotes and line breaks unchanged")
        << QDateTime(QDate(2026, 3, 9), QTime(10, 0)) << "DataArrival"
        << "a\"b\r\nc" << QByteArray("\"09-Mar-2026 1000 DataArrival a\"b\r\nc\"\r\n");
    QTest::newRow("%1 in tag and detail stays")
        << QDateTime(QDate(2026, 3, 9), QTime(10, 0)) << "T%1"
        << "AB%1 %2" << QByteArray("\"09-Mar-2026 1000 T%1 AB%1 %2\"\r\n");
}

void tst_errorlog::logLine() {
    QFETCH(QDateTime, when);
    QFETCH(QString, tag);
    QFETCH(QString, detail);
    QFETCH(QByteArray, line);
    QCOMPARE(formatLogLine(when, tag, detail, QLocale(QLocale::English)), line);
    // Appended in call order.
    TempDir dir;
    ErrorLog log(dir.path(), WallClock([when] { return when; }));
    log.write(tag, detail);
    log.write(tag, detail);
    QCOMPARE(dir.read(QStringLiteral("error.log")), line + line);
}

// "Program Started" and "Program terminated": the locale's short date and the time, no zone.
void tst_errorlog::startAndEndTime_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::newRow("en_GB") << "en_GB"
                           << "07/12/2026 09:05:00";
    QTest::newRow("en_US") << "en_US"
                           << "12/7/26 09:05:00";
    QTest::newRow("de_DE") << "de_DE"
                           << "07.12.26 09:05:00";
}

void tst_errorlog::startAndEndTime() {
    QFETCH(QString, locale);
    QFETCH(QString, text);
    QCOMPARE(dateTimeText(kWhen, QLocale(locale)), text);
}

void tst_errorlog::month_data() {
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<int>("month");
    QTest::addColumn<QString>("text");
    const QLocale de(QLocale::German, QLocale::Germany);
    const QLocale ru(QLocale::Russian, QLocale::Russia);
    QTest::newRow("English") << QLocale(QLocale::English, QLocale::UnitedStates) << 12 << "Dec";
    QTest::newRow("German Dez. has four characters") << de << 12 << "Dec";
    QTest::newRow("German Mai is kept") << de << 5 << "Mai";
    QTest::newRow("Russian") << ru << 12 << "Dec";
    QTest::newRow("Russian May: three letters beyond Latin-1") << ru << 5 << "May";
    QTest::newRow("Japanese: three characters, no letters")
        << QLocale(QLocale::Japanese, QLocale::Japan) << 10 << "Oct";
}

void tst_errorlog::month() {
    QFETCH(QLocale, locale);
    QFETCH(int, month);
    QFETCH(QString, text);
    const QDateTime when(QDate(2026, month, 7), QTime(9, 5));
    QCOMPARE(formatLogLine(when, QStringLiteral("T"), QStringLiteral("x"), locale),
             "\"07-" + text.toLatin1() + "-2026 0905 T x\"\r\n");
}

void tst_errorlog::outside_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("printable text unchanged")
        << QByteArray("N0CALL-1 de GB7TC %1 <x>") << "N0CALL-1 de GB7TC %1 <x>";
    QTest::newRow("line breaks, quote, tab, DEL")
        << QByteArray("a\r\nb\"c\td\x7f") << "a<0d><0a>b<22>c<09>d<7f>";
    QTest::newRow("NUL and 8-bit bytes") << QByteArray("\0\xb0\xff", 3) << "<00><b0><ff>";
    QTest::newRow("256 bytes kept whole") << QByteArray(256, 'x') << QString(256, u'x');
    QTest::newRow("257 bytes cut")
        << QByteArray(257, 'x') << QString(256, u'x') + QStringLiteral("... (257 bytes)");
    QTest::newRow("64 KiB of CRs: 256 escapes")
        << QByteArray(65536, '\r') << QStringLiteral("<0d>").repeated(256) + "... (65536 bytes)";
}

void tst_errorlog::outside() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(outsideText(bytes), text);
}

// Whatever is in the log's place, write() returns at once; standard error tells once that the
// place is not a regular file, and echoes the lines. Each line opens the log afresh, so a place
// that becomes usable is written again.
// A detail of any length (a megabyte of a value in the settings file) makes a line of bounded
// length that says how much was left out.
void tst_errorlog::longDetail() {
    Rig r;
    const QString detail = QStringLiteral("Cluster Call ") + QString(1000000, u'x');
    r.log.write(QStringLiteral("Readcfg"), detail);
    r.log.write(QStringLiteral("Readcfg"), detail.left(2048));
    const QStringList entries = r.entries();
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[0], QStringLiteral("Readcfg ") + detail.left(2048) +
                             QStringLiteral("... (997,965 characters left out)"));
    QCOMPARE(entries[1], QStringLiteral("Readcfg ") + detail.left(2048));
    QVERIFY(r.log.recentLines().last().size() < 2100);
}

void tst_errorlog::notAFile_data() {
    QTest::addColumn<QString>("place");
    QTest::addColumn<int>("notices");
    QTest::newRow("FIFO without a reader") << "fifo" << 1;
    QTest::newRow("FIFO with a reader") << "fifo+reader" << 1;
    QTest::newRow("missing directory") << "missing" << 0;
}

void tst_errorlog::notAFile() {
    QFETCH(QString, place);
    QFETCH(int, notices);
    TempDir dir;
    const QString logDir = place == "missing" ? dir.file(QStringLiteral("missing")) : dir.path();
    ErrorLog log(logDir, WallClock([] { return kWhen; }));
    log.setEcho(true);
    const QByteArray fifo = QFile::encodeName(log.filePath());
    int reader = -1;
    if (place.startsWith(QLatin1String("fifo"))) QCOMPARE(::mkfifo(fifo.constData(), 0644), 0);
    if (place == "fifo+reader")
        QVERIFY((reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK)) >= 0);

    int err[2];
    QCOMPARE(::pipe(err), 0);
    ::fcntl(err[0], F_SETFL, O_NONBLOCK);
    const int savedErr = ::dup(STDERR_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    std::unique_ptr<QThread> writer(QThread::create([&log] {
        log.write(QStringLiteral("Tag"), QStringLiteral("one"));
        log.write(QStringLiteral("Tag"), QStringLiteral("two"));
    }));
    writer->start();
    const bool returned = writer->wait(QDeadlineTimer(5000));
    if (!returned) { // a writer waiting for a reader: give it one so that the test can end
        const int release = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
        writer->wait();
        ::close(release);
    }
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedErr);
    ::close(err[1]);
    QByteArray said(4096, '\0');
    said.resize(std::max<ssize_t>(0, ::read(err[0], said.data(), said.size())));
    ::close(err[0]);
    char c;
    const bool fifoGotData = reader >= 0 && ::read(reader, &c, 1) > 0;
    if (reader >= 0) ::close(reader);
    QVERIFY(returned);
    QVERIFY(!fifoGotData);
    QCOMPARE(int(said.count("not a regular file")), notices);
    QVERIFY2(said.endsWith("07-Dec-2026 0905 Tag one\n07-Dec-2026 0905 Tag two\n"),
             said.constData());

    log.setEcho(false);
    QVERIFY(QFile::remove(log.filePath()) || QDir().mkpath(logDir));
    log.write(QStringLiteral("Tag"), QStringLiteral("three"));
    QFile file(log.filePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("\"07-Dec-2026 0905 Tag three\"\r\n"));
}

// 5,700 lines of one tag at one moment: ten are written, the rest summed up in one line when the
// window is over, even though no further line comes. Another tag's line in the middle is written
// at once. After the window, the tag is written in full again.
void tst_errorlog::burst_data() {
    QTest::addColumn<bool>("otherThread");
    QTest::newRow("from the log's thread") << false;
    QTest::newRow("from another thread") << true;
}

void tst_errorlog::burst() {
    QFETCH(bool, otherThread);
    Rig r;
    r.log.setBurstLimit(10, 100); // a short window: the summary's timer runs in real time
    const auto flood = [&r] {
        for (int i = 0; i < 5700; ++i) {
            r.log.write(QStringLiteral("Burst"), QStringLiteral("line %1").arg(i));
            if (i == 3000) r.log.write(QStringLiteral("Other"), QStringLiteral("x"));
        }
    };
    if (otherThread) {
        std::unique_ptr<QThread> t(QThread::create(flood));
        t->start();
        t->wait();
    } else {
        flood();
    }
    QStringList expected = burstLines(10) << QStringLiteral("Other x");
    QCOMPARE(r.entries(), expected);
    QCOMPARE(r.log.linesByTag(), (QMap<QString, quint64>{{QStringLiteral("Burst"), 5700},
                                                         {QStringLiteral("Other"), 1}}));

    r.ms = 100;
    expected << QStringLiteral("Burst repeated 5,690 times");
    QTRY_COMPARE(r.entries(), expected);
    r.log.write(QStringLiteral("Burst"), QStringLiteral("again"));
    QCOMPARE(r.entries(), expected << QStringLiteral("Burst again"));
}

// Lines of one tag over several windows, on the steady clock: every line is counted in the log,
// written in full or summed up, with no further line to bring the last summary out.
void tst_errorlog::spreadBurst_data() {
    QTest::addColumn<bool>("otherThread");
    QTest::newRow("from the log's thread") << false;
    QTest::newRow("from another thread") << true;
}

void tst_errorlog::spreadBurst() {
    QFETCH(bool, otherThread);
    TempDir dir;
    ErrorLog log(dir.path());
    log.setBurstLimit(10, 100);
    constexpr int kLines = 100;
    const auto flood = [&log] {
        for (int i = 0; i < kLines; ++i) {
            log.write(QStringLiteral("Burst"), QStringLiteral("line %1").arg(i));
            QThread::msleep(3);
        }
    };
    std::unique_ptr<QThread> t(QThread::create(flood));
    if (otherThread) {
        t->start();
        QVERIFY(waitUntil([&] { return t->isFinished(); }, 10000));
    } else {
        for (int i = 0; i < kLines; ++i) {
            log.write(QStringLiteral("Burst"), QStringLiteral("line %1").arg(i));
            QTest::qWait(3);
        }
    }
    const QRegularExpression summary(QStringLiteral("^Burst repeated ([0-9,]+) times$"));
    const auto counted = [&] {
        int n = 0;
        for (const QString& e : dir.logEntries()) {
            const QRegularExpressionMatch m = summary.match(e);
            n += m.hasMatch() ? m.captured(1).remove(QLatin1Char(',')).toInt() : 1;
        }
        return n;
    };
    waitUntil([&] { return counted() >= kLines; }, 2000);
    QCOMPARE(counted(), kLines);
}

// flush() writes the pending summary; the run's last line comes after the summaries still
// pending, and nothing follows it.
void tst_errorlog::endOfRun() {
    Rig r;
    for (int i = 0; i < 20; ++i)
        r.log.write(QStringLiteral("Burst"), QStringLiteral("line %1").arg(i));
    r.log.flush();
    for (int i = 0; i < 15; ++i)
        r.log.write(QStringLiteral("Burst"), QStringLiteral("late"));
    r.log.writeLast(QStringLiteral("Program terminated"), QStringLiteral("x"));
    r.log.write(QStringLiteral("Later"), QStringLiteral("x"));
    r.ms = 5000;
    r.log.flush();
    const QStringList entries = r.entries();
    QCOMPARE(entries.mid(0, 11), burstLines(10) << QStringLiteral("Burst repeated 10 times"));
    QCOMPARE(entries.last(), QStringLiteral("Program terminated x"));
    QCOMPARE(entries.value(11), QStringLiteral("Burst repeated 15 times"));
}

// Two threads writing long lines at once: every entry whole, each thread's in its order; the
// status page keeps the last 50 as written.
void tst_errorlog::twoThreads() {
    Rig r;
    r.log.setBurstLimit(0);
    constexpr int kLines = 1000;
    const QString pad(300, u'p');
    const auto writer = [&r, &pad](const QString& tag) {
        return QThread::create([&r, &pad, tag] {
            for (int i = 0; i < kLines; ++i)
                r.log.write(tag, QString::number(i) + pad);
        });
    };
    std::unique_ptr<QThread> a(writer(QStringLiteral("A"))), b(writer(QStringLiteral("B")));
    a->start();
    b->start();
    a->wait();
    b->wait();
    const QStringList entries = r.entries();
    QCOMPARE(entries.size(), 2 * kLines);
    int next[2] = {0, 0};
    for (const QString& e : entries) {
        const int k = e.startsWith(QLatin1String("A ")) ? 0 : 1;
        QCOMPARE(e, QLatin1String(k ? "B " : "A ") + QString::number(next[k]++) + pad);
    }
    QCOMPARE(r.log.linesByTag(), (QMap<QString, quint64>{{QStringLiteral("A"), kLines},
                                                         {QStringLiteral("B"), kLines}}));
    const QStringList recent = r.log.recentLines();
    QCOMPARE(recent.size(), 50);
    QCOMPARE(recent.last(), QStringLiteral("07-Dec-2026 0905 ") + entries.last());
}

QTEST_GUILESS_MAIN(tst_errorlog)
#include "tst_errorlog.moc"

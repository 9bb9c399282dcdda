// error.log: the line and its month, outside text.
#include "config/ErrorLog.h"
#include "config/Module1.h"
#include "support/TestUtil.h"

#include <QtTest>

class tst_errorlog : public QObject {
    Q_OBJECT
private slots:
    void logLine_data();
    void logLine();
    void month_data();
    void month();
    void outside_data();
    void outside();
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
    // Appended, two calls in call order.
    TempAppDir dir;
    FixedClock clock(when);
    Module1::ErrorLog(tag, detail);
    Module1::ErrorLog(tag, detail);
    QCOMPARE(dir.read(QStringLiteral("error.log")), line + line);
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

QTEST_GUILESS_MAIN(tst_errorlog)
#include "tst_errorlog.moc"

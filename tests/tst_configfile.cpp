// pktgate.cfg: the number rule, the field rule, reading into the settings and the frame,
// writing the 13 lines, and a failed save that must leave the previous file whole.
#include "config/ConfigFile.h"
#include "config/ErrorLog.h"
#include "net/Failure.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif
#endif

namespace {

// The main window as these tests see it: it refuses a negative height or width.
bool takesFrame(WindowFrame::Field f, double twips) {
    return !((f == WindowFrame::Height || f == WindowFrame::Width) && twips < 0);
}
const WindowFrame kFrame{{1000, 2000, 3000, 4000}};

// "Field=value" for each frame value read.
QStringList sets(const FrameFromFile& frame) {
    static const char* const names[] = {"Top", "Left", "Height", "Width"};
    QStringList out;
    for (size_t f = 0; f < 4; ++f)
        if (frame.twips[f])
            out << QStringLiteral("%1=%2").arg(QLatin1String(names[f])).arg(*frame.twips[f]);
    return out;
}

const QByteArray kOldFile = "\"Cluster Call\",\"OLD\"\r\n\"Packet Length\",90\r\n";

} // namespace

class TestConfigFile : public QObject {
    Q_OBJECT

private slots:
    void lockedDirectorySavesInPlace();
    void numericValue_data();
    void numericValue();
    void toInt32_data();
    void toInt32();
    void fields_data();
    void fields();
    void read_data();
    void read();
    void windowRule_data();
    void windowRule();
    void missingFileTouchesNothing();
    void roundTrip_data();
    void roundTrip();
    void exactBytes();
    void minimisedSavesNothing();
    void failedSaveKeepsOldFile_data();
    void failedSaveKeepsOldFile();
};

void TestConfigFile::numericValue_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");
    QTest::newRow("leading blanks") << "   42" << 42.0;
    QTest::newRow("minus") << "-15" << -15.0;
    QTest::newRow("fraction") << "1234.5" << 1234.5;
    QTest::newRow("fraction without digits before") << ".25" << 0.25;
    QTest::newRow("trailing letters") << "12abc" << 12.0;
    QTest::newRow("no exponent") << "1e3" << 1.0;
    QTest::newRow("letters") << "abc" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("lone minus") << "-" << 0.0;
    QTest::newRow("blank after minus") << "- 5" << 0.0;
    QTest::newRow("non-ASCII digits") << QString::fromUtf8("\u0663") << 0.0;
}

void TestConfigFile::numericValue() {
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(::numericValue(text), expected);
}

void TestConfigFile::toInt32_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("overflow");
    QTest::addColumn<qint32>("expected");
    QTest::newRow("2.5 to even") << "2.5" << false << 2;
    QTest::newRow("3.5 to even") << "3.5" << false << 4;
    QTest::newRow("-2.5 to even") << "-2.5" << false << -2;
    QTest::newRow("letters") << "Fred" << false << 0;
    QTest::newRow("largest") << "2147483647" << false << 2147483647;
    QTest::newRow("smallest") << "-2147483648" << false << qint32(-2147483647 - 1);
    QTest::newRow("smallest minus half to even")
        << "-2147483648.5" << false << qint32(-2147483647 - 1);
    QTest::newRow("one past largest") << "2147483648" << true << 0;
    QTest::newRow("largest plus half rounds out") << "2147483647.5" << true << 0;
    QTest::newRow("one below smallest") << "-2147483649" << true << 0;
    QTest::newRow("too many digits for a double") << QString(400, QLatin1Char('9')) << true << 0;
}

void TestConfigFile::toInt32() {
    QFETCH(QString, text);
    QFETCH(bool, overflow);
    QFETCH(qint32, expected);
    if (overflow) {
        try {
            ::toInt32(text);
            QFAIL("no failure");
        } catch (const Failure& f) {
            QVERIFY2(f.description().startsWith(QLatin1String("Overflow")),
                     qPrintable(f.description()));
        }
    } else {
        QCOMPARE(::toInt32(text), expected);
    }
}

void TestConfigFile::fields_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("pairs on lines")
        << QByteArray("\"A\",\"x\"\r\n\"B\",12\r\n") << QStringList{"A", "x", "B", "12"};
    QTest::newRow("fields across lines")
        << QByteArray("\"A\"\r\n\"x\",\"B\"\r\n12") << QStringList{"A", "x", "B", "12"};
    QTest::newRow("quoted keeps blanks, bare trimmed")
        << QByteArray("\"A\",\" x \",  \"B\" ,  1 2  \r\n") << QStringList{"A", " x ", "B", "1 2"};
    QTest::newRow("quote inside value cuts it") << QByteArray("\"A\",\"ab\"cd,e\"\r\n\"B\",1\r\n")
                                                << QStringList{"A", "ab", "e\"", "B", "1"};
    QTest::newRow("blank lines and bare LF or CR")
        << QByteArray("\r\n\"A\",1\n\n\"B\",2\r\r\n") << QStringList{"A", "1", "B", "2"};
    QTest::newRow("comma before line end is an empty field")
        << QByteArray("\"A\",\r\n\"B\",") << QStringList{"A", "", "B", ""};
    QTest::newRow("lone quote runs to the end")
        << QByteArray("\"A\",\"x\r\n\"B\",1") << QStringList{"A", "x\r\n", "1"};
    QTest::newRow("Latin-1 bytes")
        << QByteArray("\"A\",\"\xe9t\xe9\"") << QStringList{"A", QString::fromLatin1("\xe9t\xe9")};
}

void TestConfigFile::fields() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);
    QCOMPARE(settingsFields(content), expected);
}

void TestConfigFile::read_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("agwIp");
    QTest::addColumn<qint32>("packetLength");
    QTest::addColumn<qint32>("keepAlive");
    QTest::addColumn<QStringList>("windowSets");
    QTest::addColumn<QStringList>("log");

    QTest::newRow("only Top") << QByteArray("\"Top\",1200\r\n") << ""
                              << "" << 130 << 0 << QStringList{"Top=1200"} << QStringList{};
    QTest::newRow("callsign trimmed and upper-cased")
        << QByteArray("\"Cluster Call\",\" n0call-1 \"\r\n\"AGW IP\",\" 10.0.0.2 \"\r\n")
        << "N0CALL-1"
        << "10.0.0.2" << 130 << 0 << QStringList{} << QStringList{};
    QTest::newRow("last key without value")
        << QByteArray("\"Cluster Call\",\"g4abc\"\r\n\"Packet Length\",200\r\n\"Keep Alive\"\r\n")
        << "G4ABC"
        << "" << 200 << 0 << QStringList{} << QStringList{"Readcfg Keep Alive"};
    QTest::newRow("unknown key skipped")
        << QByteArray("\"Colour\",\"red\"\r\n\"Packet Length\",99\r\n") << ""
        << "" << 99 << 0 << QStringList{} << QStringList{};
    QTest::newRow("key in other letter case is unknown")
        << QByteArray("\"packet length\",99\r\n\"TOP\",5\r\n") << ""
        << "" << 130 << 0 << QStringList{} << QStringList{};
    QTest::newRow("double quote in value cuts it")
        << QByteArray("\"Cluster Call\",\"ab\"cd\"\r\n\"Packet Length\",77\r\n") << "AB"
        << "" << 77 << 0 << QStringList{} << QStringList{};
    QTest::newRow("fields split across lines")
        << QByteArray("\"Cluster Call\"\r\n\"g4abc\",\"Packet Length\"\r\n64\r\n") << "G4ABC"
        << "" << 64 << 0 << QStringList{} << QStringList{};
    QTest::newRow("later duplicate wins")
        << QByteArray("\"Packet Length\",10\r\n\"Packet Length\",200\r\n") << ""
        << "" << 200 << 0 << QStringList{} << QStringList{};
    QTest::newRow("packet length above the range")
        << QByteArray("\"Packet Length\",5000\r\n") << ""
        << "" << 234 << 0 << QStringList{}
        << QStringList{"Readcfg Packet Length 5000 out of range, 234 used"};
    QTest::newRow("packet length below the range")
        << QByteArray("\"Packet Length\",1\r\n") << ""
        << "" << 30 << 0 << QStringList{}
        << QStringList{"Readcfg Packet Length 1 out of range, 30 used"};
    QTest::newRow("packet length below 1 is left to mean 130")
        << QByteArray("\"Packet Length\",0\r\n\"Packet Length\",-5\r\n") << ""
        << "" << -5 << 0 << QStringList{} << QStringList{};
    QTest::newRow("packet length corrected, then reading stops")
        << QByteArray("\"Packet Length\",999\r\n\"Keep Alive\",99999999999\r\n") << ""
        << "" << 234 << 0 << QStringList{}
        << QStringList{"Readcfg Packet Length 999 out of range, 234 used", "Readcfg Keep Alive"};
    QTest::newRow("keep alive 2.5") << QByteArray("\"Keep Alive\",2.5\r\n") << ""
                                    << "" << 130 << 2 << QStringList{} << QStringList{};
    QTest::newRow("keep alive 3.5") << QByteArray("\"Keep Alive\",3.5\r\n") << ""
                                    << "" << 130 << 4 << QStringList{} << QStringList{};
    QTest::newRow("out-of-range number stops reading")
        << QByteArray("\"Packet Length\",80\r\n\"Keep Alive\",99999999999\r\n"
                      "\"Cluster Call\",\"late\"\r\n")
        << ""
        << "" << 80 << 0 << QStringList{} << QStringList{"Readcfg Keep Alive"};
    QTest::newRow("window moved then resized in file order")
        << QByteArray("\"Top\",10\r\n\"Left\",20.5\r\n\"Height\",300\r\n\"Width\",400\r\n") << ""
        << "" << 130 << 0 << QStringList{"Top=10", "Left=20.5", "Height=300", "Width=400"}
        << QStringList{};
    QTest::newRow("window refuses a value")
        << QByteArray("\"Top\",10\r\n\"Height\",-5\r\n\"Width\",100\r\n") << ""
        << "" << 130 << 0 << QStringList{"Top=10"} << QStringList{"Readcfg Height"};
    QTest::newRow("geometry beyond single precision")
        << QByteArray("\"Left\",1" + QByteArray(40, '0') + "\r\n\"Top\",1\r\n") << ""
        << "" << 130 << 0 << QStringList{} << QStringList{"Readcfg Left"};
}

void TestConfigFile::read() {
    QFETCH(QByteArray, content);
    QFETCH(QString, call);
    QFETCH(QString, agwIp);
    QFETCH(qint32, packetLength);
    QFETCH(qint32, keepAlive);
    QFETCH(QStringList, windowSets);
    QFETCH(QStringList, log);

    TempDir dir;
    ErrorLog errors(dir.path());
    Settings settings;
    dir.write(QStringLiteral("pktgate.cfg"), content);
    settings.keepAliveMinutes = 7; // reset to 0 by any existing file
    const FrameFromFile frame =
        readSettingsFile(settingsFilePath(dir.path()), settings, errors, takesFrame);

    const Settings& s = settings;
    QCOMPARE(s.clusterCall.text(), call);
    QCOMPARE(s.agwIp, agwIp);
    QCOMPARE(s.packetLength, packetLength);
    QCOMPARE(s.keepAliveMinutes, keepAlive);
    QCOMPARE(sets(frame), windowSets);
    QCOMPARE(dir.logEntries(), log);
}

// By the window's own rule, reading stops at a value the window could not take.
void TestConfigFile::windowRule_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("taken");
    QTest::addColumn<QString>("logged");
    QTest::newRow("a negative size") << QByteArray("\"Height\",-5\r\n\"Width\",-15\r\n")
                                     << QStringList{"Height=-5"} << "Readcfg Width";
    QTest::newRow("more pixels than the toolkit takes")
        << QByteArray("\"Top\",-15\r\n\"Left\",251658240\r\n") << QStringList{"Top=-15"}
        << "Readcfg Left";
}

void TestConfigFile::windowRule() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, taken);
    QFETCH(QString, logged);
    TempDir dir;
    ErrorLog errors(dir.path());
    Settings settings;
    dir.write(QStringLiteral("pktgate.cfg"), content);
    QCOMPARE(sets(readSettingsFile(settingsFilePath(dir.path()), settings, errors)), taken);
    QCOMPARE(dir.logEntries(), QStringList{logged});
}

void TestConfigFile::missingFileTouchesNothing() {
    TempDir dir;
    ErrorLog errors(dir.path());
    Settings settings;
    settings.clusterCall = QStringLiteral("KEEP");
    settings.packetLength = 5;
    const FrameFromFile frame = readSettingsFile(settingsFilePath(dir.path()), settings, errors);
    QCOMPARE(settings.clusterCall.text(), QStringLiteral("KEEP"));
    QCOMPARE(settings.packetLength, 5);
    QVERIFY(sets(frame).isEmpty());
    QVERIFY(!QFile::exists(dir.file(QStringLiteral("error.log"))));

    // A name that exists but cannot be read as a file is a failure before the first key.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("pktgate.cfg")));
    readSettingsFile(settingsFilePath(dir.path()), settings, errors);
    QCOMPARE(settings.packetLength, 130);
    QCOMPARE(dir.logEntries(), QStringList{QStringLiteral("Readcfg pktgate.cfg")});
}

void TestConfigFile::roundTrip_data() {
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("agwIp");
    QTest::addColumn<QString>("expectedCall");
    QTest::addColumn<QString>("expectedAgwIp");
    QTest::newRow("blanks and lower case") << " g4abc "
                                           << "  localhost "
                                           << "G4ABC"
                                           << "localhost";
    // A quote followed by a comma must not shift the pairs that follow.
    QTest::newRow("double quote and comma in a value") << "N0\"X,\"Packet Length\",1"
                                                       << "h\"o,st"
                                                       << "N0"
                                                       << "h";
    QTest::newRow("Latin-1 text") << QString::fromLatin1("\xe9t\xe9") << "x"
                                  << QString::fromLatin1("\xc9T\xc9") << "x";
}

void TestConfigFile::roundTrip() {
    QFETCH(QString, call);
    QFETCH(QString, agwIp);
    QFETCH(QString, expectedCall);
    QFETCH(QString, expectedAgwIp);

    TempDir dir;
    ErrorLog errors(dir.path());
    Settings settings;
    Settings& s = settings;
    s.clusterCall = call;
    s.agwIp = agwIp;
    s.agwPort = PortSetting(QStringLiteral("8000"));
    s.clusterIp = QStringLiteral("10.1.1.1");
    s.clusterPort = PortSetting(QStringLiteral("7300"));
    s.packetLength = 234;
    s.keepAliveMinutes = 5;
    s.configTop = -300;
    s.configLeft = 4500;
    const WindowFrame saved{{1200, 2400.5, 6000, 9015}};
    saveSettingsFile(settingsFilePath(dir.path()), settings, saved, errors);
    QCOMPARE(dir.logEntries(), QStringList{});

    const Settings before = s;
    s = Settings{};
    const FrameFromFile loaded = readSettingsFile(settingsFilePath(dir.path()), settings, errors);
    QCOMPARE(s.clusterCall.text(), expectedCall);
    QCOMPARE(s.agwIp, expectedAgwIp);
    QCOMPARE(s.agwPort.text(), before.agwPort.text());
    QCOMPARE(s.clusterIp, before.clusterIp);
    QCOMPARE(s.clusterPort.text(), before.clusterPort.text());
    QCOMPARE(s.packetLength, before.packetLength);
    QCOMPARE(s.keepAliveMinutes, before.keepAliveMinutes);
    QCOMPARE(s.configTop, before.configTop);
    QCOMPARE(s.configLeft, before.configLeft);
    QCOMPARE(sets(loaded), (QStringList{"Top=1200", "Left=2400.5", "Height=6000", "Width=9015"}));
    QCOMPARE(dir.logEntries(), QStringList{});
}

void TestConfigFile::exactBytes() {
    TempDir dir;
    ErrorLog errors(dir.path());
    Settings settings;
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); // comma decimals, dot groups
    Settings& s = settings;
    s.clusterCall = QStringLiteral("N0CALL-1");
    s.agwIp = QStringLiteral("127.0.0.1");
    s.agwPort = PortSetting(QStringLiteral("8000"));
    s.clusterIp = QStringLiteral("127.0.0.1");
    s.clusterPort = PortSetting(QStringLiteral("7300"));
    s.packetLength = 130;
    s.keepAliveMinutes = 1500;
    s.configTop = -45;
    s.configLeft = 0;
    const WindowFrame frame{{1234.5, -15, 123456, 0.1}};
    saveSettingsFile(settingsFilePath(dir.path()), settings, frame, errors);
    QLocale::setDefault(previous);

    QCOMPARE(dir.read(QStringLiteral("pktgate.cfg")), QByteArray("\"Cluster Call\",\"N0CALL-1\"\r\n"
                                                                 "\"AGW IP\",\"127.0.0.1\"\r\n"
                                                                 "\"AGW Port\",\"8000\"\r\n"
                                                                 "\"Winsock IP\",\"127.0.0.1\"\r\n"
                                                                 "\"Winsock Port\",\"7300\"\r\n"
                                                                 "\"Packet Length\",130\r\n"
                                                                 "\"Keep Alive\",1500\r\n"
                                                                 "\"Config Top\",-45\r\n"
                                                                 "\"Config Left\",0\r\n"
                                                                 "\"Top\",1234.5\r\n"
                                                                 "\"Left\",-15\r\n"
                                                                 "\"Height\",123456\r\n"
                                                                 "\"Width\",0.1\r\n"));
}

void TestConfigFile::minimisedSavesNothing() {
    TempDir dir;
    ErrorLog errors(dir.path());
    Settings settings;
    dir.write(QStringLiteral("pktgate.cfg"), kOldFile);
    settings.clusterCall = QStringLiteral("NEW");
    saveSettingsFile(settingsFilePath(dir.path()), settings, std::nullopt, errors);
    QCOMPARE(dir.read(QStringLiteral("pktgate.cfg")), kOldFile);
    QCOMPARE(dir.logEntries(), QStringList{});
}

namespace {
// Makes a file or directory refuse writes and new entries (on), or take them again (off), for
// root as well where the file system has the immutable flag; false when it cannot.
bool lockPath(const QString& path, bool on) {
#ifdef Q_OS_LINUX
    if (geteuid() == 0) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0) ::close(fd);
        return done;
    }
#endif
    const auto readable = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
    return QFile::setPermissions(path, on ? readable : readable | QFileDevice::WriteOwner);
}

// Whether a new file can still be made in a directory.
bool takesNewFiles(const QString& directory) {
    QFile probe(QDir(directory).filePath(QStringLiteral("probe")));
    if (!probe.open(QIODevice::WriteOnly)) return false;
    probe.remove();
    return true;
}
} // namespace

// A directory where no new file can be made, with pktgate.cfg writable in it: Save writes the
// file in place.
void TestConfigFile::lockedDirectorySavesInPlace() {
    TempDir dir;
    ErrorLog errors(dir.path());
    dir.write(QStringLiteral("error.log"), QByteArray());
    dir.write(QStringLiteral("pktgate.cfg"), kOldFile);
    Settings settings;
    settings.clusterCall = QStringLiteral("NEW");
    if (!lockPath(dir.path(), true) || takesNewFiles(dir.path())) {
        lockPath(dir.path(), false);
        QSKIP("no way to stop new files in a directory here");
    }
    saveSettingsFile(settingsFilePath(dir.path()), settings, kFrame, errors);
    QVERIFY(lockPath(dir.path(), false));
    QVERIFY(dir.read(QStringLiteral("pktgate.cfg")).startsWith("\"Cluster Call\",\"NEW\"\r\n"));
    QCOMPARE(dir.logEntries(), QStringList{});
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList{"error.log", "pktgate.cfg"}));
}

void TestConfigFile::failedSaveKeepsOldFile_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("read-only directory and file") << "readonly";
    QTest::newRow("disk full") << "full";
    QTest::newRow("target is a directory") << "directory";
}

void TestConfigFile::failedSaveKeepsOldFile() {
    QFETCH(QString, how);
    TempDir dir;
    ErrorLog errors(dir.path());
    Settings settings;
    const QString cfg = dir.file(QStringLiteral("pktgate.cfg"));
    settings.clusterCall = QString(400, QLatin1Char('N')); // a file of 500+ bytes

    // The log file exists and stays writable, so that its line can be appended even where new
    // files cannot be made.
    dir.write(QStringLiteral("error.log"), QByteArray());

    if (how == QLatin1String("directory")) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("pktgate.cfg")));
        saveSettingsFile(settingsFilePath(dir.path()), settings, kFrame, errors);
        QVERIFY(QFileInfo(cfg).isDir());
    } else if (how == QLatin1String("readonly")) {
        dir.write(QStringLiteral("pktgate.cfg"), kOldFile);
        const bool locked = lockPath(cfg, true) && lockPath(dir.path(), true);
        QFile probe(cfg);
        if (!locked || takesNewFiles(dir.path()) || probe.open(QIODevice::Append)) {
            probe.close();
            lockPath(dir.path(), false);
            lockPath(cfg, false);
            QSKIP("no way to stop writes here");
        }
        saveSettingsFile(settingsFilePath(dir.path()), settings, kFrame, errors);
        lockPath(dir.path(), false);
        lockPath(cfg, false);
        QCOMPARE(dir.read(QStringLiteral("pktgate.cfg")), kOldFile);
    } else {
#ifdef Q_OS_UNIX
        dir.write(QStringLiteral("pktgate.cfg"), kOldFile);
        // Files may grow to 200 bytes: the log line fits, the new settings file does not.
        struct rlimit old {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        struct rlimit small = old;
        small.rlim_cur = 200;
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        saveSettingsFile(settingsFilePath(dir.path()), settings, kFrame, errors);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, previousHandler);
        QCOMPARE(dir.read(QStringLiteral("pktgate.cfg")), kOldFile);
#else
        QSKIP("no file size limit on this platform");
#endif
    }

    const QStringList log = dir.logEntries();
    QCOMPARE(log.size(), 1);
    QVERIFY2(log.first().startsWith(QLatin1String("SaveCfg ")) &&
                 log.first().size() > QStringLiteral("SaveCfg ").size(),
             qPrintable(log.first()));
    // No half-written new file is left behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList{"error.log", "pktgate.cfg"}));
}

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"

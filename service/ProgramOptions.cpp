#include "service/ProgramOptions.h"

#include "config/Settings.h"
#include "relay/NodeLogin.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

namespace {

const QString kDir = QStringLiteral("dir");
const QString kHeadless = QStringLiteral("headless");
const QString kStatus = QStringLiteral("status");
const QString kProbe = QStringLiteral("probe");
const QString kPort0Only = QStringLiteral("port-0-only");
const QString kMaxOutstanding = QStringLiteral("max-outstanding");
const QString kRefuseCalls = QStringLiteral("refuse-calls");
const QString kProxyHeader = QStringLiteral("node-proxy-header");
const QString kDefaultProxySource = QStringLiteral("0.0.0.0");
const QString kHelp = QStringLiteral("help");
const QString kVersion = QStringLiteral("version");
const QString kPlatform = QStringLiteral("platform");

// Qt's options for the window system, which QApplication takes from the same command line. Those
// with a value come first.
const char* const kQtValueOptions[] = {
    "platform",        "platformpluginpath", "platformtheme", "plugin",
    "qwindowgeometry", "qwindowicon",        "qwindowtitle",  "session",
    "display",         "geometry",           "style",         "stylesheet"};
const char* const kQtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

void describe(QCommandLineParser& p) {
    p.setApplicationDescription(QStringLiteral(
        "Gateway between a packet engine's AGW interface and a DX-cluster node: radio users who "
        "connect to the cluster callsign are logged in at the node and relayed both ways.\n"
        "Without options it shows its window and keeps pktgate.cfg and error.log beside its "
        "executable."));
    // "-platform offscreen" is one option with a value, as Qt reads it.
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    p.addOption({{QStringLiteral("h"), kHelp}, QStringLiteral("Show this text and exit.")});
    p.addOption({{QStringLiteral("v"), kVersion}, QStringLiteral("Show the version and exit.")});
    p.addOption({kDir,
                 QStringLiteral("Keep pktgate.cfg and error.log in DIR (default: the "
                                "executable's directory). DIR must exist and be writable."),
                 QStringLiteral("DIR")});
    p.addOption({kHeadless, QStringLiteral("Run without a window and without a window system; "
                                           "every error.log line also goes to standard error. "
                                           "Chosen by itself when there is no display.")});
    p.addOption({kStatus,
                 QStringLiteral("Serve a read-only status page (/), /status.json and /metrics "
                                "(Prometheus) over HTTP on ADDRESS:PORT, e.g. 127.0.0.1:8080 "
                                "(an IPv6 address in brackets). Off by default."),
                 QStringLiteral("ADDRESS:PORT")});
    p.addOption({kPort0Only,
                 QStringLiteral("Register the cluster callsign on radio port 0 only, and do not "
                                "ask the engine for its ports (by default it is registered on "
                                "every port the engine has).")});
    p.addOption({kMaxOutstanding,
                 QStringLiteral("With an engine that reports the frames it holds for each user "
                                "(\"Y\"), keep at most N of a user's frames in it and hold the "
                                "rest of the node's text, so the node feels the radio's pace "
                                "(default 8; 0: never paced, every frame handed over at once)."),
                 QStringLiteral("N")});
    p.addOption(
        {kProbe, QStringLiteral("Check the settings, the engine and the node, then exit: one line "
                                "per check on standard output, exit code 0 when both the engine "
                                "and the node answered, 1 otherwise. Registers nothing, logs no "
                                "user in, writes no file. Of the other options only --dir "
                                "applies.")});
    p.addOption({kRefuseCalls,
                 QStringLiteral("Never log these callsigns in at the node (comma-separated; a "
                                "callsign without SSID stands for all its SSIDs): the radio user "
                                "gets a disconnect. Added to those in refused-calls.txt beside "
                                "pktgate.cfg; the cluster callsign is always refused."),
                 QStringLiteral("CALL,CALL...")});
    // Its value is optional, which the parser does not know: parseProgramOptions() takes the
    // "=ADDRESS" off first.
    p.addOption({kProxyHeader,
                 QStringLiteral("--node-proxy-header[=ADDRESS]: send a PROXY protocol line "
                                "before each callsign, with ADDRESS (default 0.0.0.0, never a "
                                "loopback address) as the radio user's source, so that a node "
                                "which trusts local connections (DXSpider) does not trust radio "
                                "users. Off by default.")});
    for (const char* name : kQtValueOptions) {
        QCommandLineOption o(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        p.addOption(o);
    }
    for (const char* name : kQtFlagOptions) {
        QCommandLineOption o(QString::fromLatin1(name), QString());
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        p.addOption(o);
    }
}

} // namespace

QString programUsage() {
    QCommandLineParser p;
    describe(p);
    // Without an application object the parser does not know the program's name.
    return p.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("pktgate"));
}

QString programVersionLine() {
    return QStringLiteral("pktgate ") + QLatin1String(kProgramVersion);
}

std::optional<StatusAddress> readStatusAddress(const QString& text) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) return std::nullopt;
    QString host = text.left(colon);
    const QString portText = text.mid(colon + 1);
    const bool bracketed = host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'));
    if (bracketed) host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    StatusAddress where;
    // A bare IPv6 address would leave its last group as the port.
    if (!ok || port > 65535 || !where.address.setAddress(host) ||
        (where.address.protocol() == QAbstractSocket::IPv6Protocol && !bracketed))
        return std::nullopt;
    where.port = static_cast<quint16>(port);
    return where;
}

QString addressText(const QHostAddress& address, quint16 port) {
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}

OptionsResult parseProgramOptions(const QStringList& given, ProgramOptions& o, QString& message) {
    QCommandLineParser p;
    describe(p);
    // --node-proxy-header=ADDRESS becomes the bare option, its address kept aside.
    QStringList arguments = given;
    std::optional<QString> proxyAddress;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString& a = arguments[i];
        if (a == QLatin1String("--")) break;
        for (const QString& dashes : {QStringLiteral("--"), QStringLiteral("-")}) {
            const QString prefix = dashes + kProxyHeader + QLatin1Char('=');
            if (!a.startsWith(prefix)) continue;
            proxyAddress = a.mid(prefix.size());
            a = QStringLiteral("--") + kProxyHeader;
            break;
        }
    }
    if (!p.parse(arguments)) {
        message = p.errorText();
        return OptionsResult::Error;
    }
    if (p.isSet(kHelp)) {
        message = programUsage();
        return OptionsResult::Help;
    }
    if (p.isSet(kVersion)) {
        message = programVersionLine();
        return OptionsResult::Version;
    }
    if (!p.positionalArguments().isEmpty()) {
        message = QStringLiteral("unexpected argument \"%1\"").arg(p.positionalArguments().first());
        return OptionsResult::Error;
    }
    if (p.isSet(kDir)) {
        const QString dir = p.value(kDir);
        if (dir.isEmpty()) {
            message = QStringLiteral("--dir: the directory is empty");
            return OptionsResult::Error;
        }
        o.directory = QDir::cleanPath(QDir(dir).absolutePath());
    }
    if (p.isSet(kStatus)) {
        o.status = readStatusAddress(p.value(kStatus));
        if (!o.status) {
            message = QStringLiteral("--status: \"%1\" is not ADDRESS:PORT with a numeric address "
                                     "and a port from 0 to 65535, e.g. 127.0.0.1:8080")
                          .arg(p.value(kStatus));
            return OptionsResult::Error;
        }
    }
    if (p.isSet(kMaxOutstanding)) {
        bool ok = false;
        const int n = p.value(kMaxOutstanding).toInt(&ok);
        if (!ok || n < 0 || n > 1000) {
            message = QStringLiteral("--max-outstanding: \"%1\" is not a number of frames from 0 "
                                     "to 1000")
                          .arg(p.value(kMaxOutstanding));
            return OptionsResult::Error;
        }
        o.maxOutstanding = n;
    }
    for (const QString& list : p.values(kRefuseCalls)) {
        QString bad;
        if (!parseRefusedCalls(list, o.refusedCalls, bad)) {
            message = QStringLiteral("--refuse-calls: \"%1\" is not a callsign (letters and "
                                     "digits, optionally -SSID from 0 to 15, at most 9 "
                                     "characters)")
                          .arg(bad);
            return OptionsResult::Error;
        }
    }
    if (p.isSet(kProxyHeader)) {
        const QString text = proxyAddress.value_or(kDefaultProxySource);
        QHostAddress source;
        if (!source.setAddress(text) || !usableProxySource(source)) {
            message = QStringLiteral("--node-proxy-header: \"%1\" is not an IP address other "
                                     "than a loopback one (the node would take radio users for "
                                     "local ones)")
                          .arg(text);
            return OptionsResult::Error;
        }
        o.proxySource = source;
    }
    o.headless = p.isSet(kHeadless);
    o.probe = p.isSet(kProbe);
    o.allPorts = !p.isSet(kPort0Only);
    o.platform = p.value(kPlatform);
    return OptionsResult::Run;
}

QString unusableDirectory(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) return QStringLiteral("%1 does not exist").arg(path);
    if (!info.isDir()) return QStringLiteral("%1 is not a directory").arg(path);
    if (!info.isWritable() || !info.isExecutable())
        return QStringLiteral("%1 cannot be written to").arg(path);
    return QString();
}

bool displayAvailable(const QString& platformOption, const QProcessEnvironment& environment) {
    // The first platform of a list, without its parameters ("offscreen:fontengine=...").
    const QString platform =
        (platformOption.isEmpty() ? environment.value(QStringLiteral("QT_QPA_PLATFORM"))
                                  : platformOption)
            .section(QLatin1Char(';'), 0, 0)
            .section(QLatin1Char(':'), 0, 0)
            .trimmed();
    static const QStringList withoutDisplay = {
        QStringLiteral("offscreen"),   QStringLiteral("minimal"), QStringLiteral("minimalegl"),
        QStringLiteral("vnc"),         QStringLiteral("linuxfb"), QStringLiteral("eglfs"),
        QStringLiteral("vkkhrdisplay")};
    if (withoutDisplay.contains(platform)) return true;
    return !environment.value(QStringLiteral("DISPLAY")).isEmpty() ||
           !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
}

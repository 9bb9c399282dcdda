#include "service/Probe.h"

#include "config/ConfigFile.h"
#include "config/OutsideText.h"
#include "net/Failure.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <cstdio>
#include <functional>

namespace {

// Where a start looks when a setting is empty (the sockets' own defaults).
const QString kDefaultHost = QStringLiteral("127.0.0.1");
constexpr quint16 kDefaultPort = 8000;

constexpr quint32 kMaxAnswerLength = 64 * 1024;
constexpr qsizetype kShownPorts = 8;

// A port setting as a start takes it; `problem` says why it is none.
quint16 portSetting(const QString& key, const QString& text, QString& problem) {
    if (text.isEmpty()) return kDefaultPort;
    try {
        return portNumber(text);
    } catch (const std::exception&) {
        problem = QStringLiteral("\"%1\" \"%2\" in pktgate.cfg is no port number (0 to 65535)")
                      .arg(key, text);
        return 0;
    }
}

ProbeFailure failureOf(QAbstractSocket::SocketError e) {
    switch (e) {
    case QAbstractSocket::HostNotFoundError:
        return ProbeFailure::HostNotFound;
    case QAbstractSocket::ConnectionRefusedError:
        return ProbeFailure::Refused;
    case QAbstractSocket::RemoteHostClosedError:
        return ProbeFailure::Closed;
    default:
        return ProbeFailure::SocketError;
    }
}

// Runs the loop for at most `ms`, unless done() holds already; whoever makes done() true quits
// the loop.
void runFor(int ms, const std::function<bool()>& done, QEventLoop& loop) {
    if (done()) return;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(ms);
    loop.exec();
}

// Connects within the time; None when connected.
ProbeFailure connectWithin(QTcpSocket& s, const ProbeTarget& target, int ms, QString& error) {
    QEventLoop loop;
    ProbeFailure result = ProbeFailure::NoConnection;
    bool over = false;
    QObject::connect(&s, &QTcpSocket::connected, &loop, [&] {
        result = ProbeFailure::None;
        over = true;
        loop.quit();
    });
    QObject::connect(&s, &QTcpSocket::errorOccurred, &loop, [&](QAbstractSocket::SocketError e) {
        if (over) return;
        result = failureOf(e);
        error = s.errorString();
        over = true;
        loop.quit();
    });
    s.connectToHost(target.host, target.port);
    runFor(
        ms, [&] { return over; }, loop);
    if (!over) s.abort();
    return result;
}

QString keysOf(const char* host, const char* port) {
    return QStringLiteral("(\"%1\", \"%2\" in pktgate.cfg)")
        .arg(QLatin1String(host), QLatin1String(port));
}

// The words of a failed connection, the same for both peers.
QString connectionFailure(ProbeFailure failure, const QString& error, const char* hostKey,
                          const char* portKey, const QString& server, const ProbeTiming& t) {
    switch (failure) {
    case ProbeFailure::HostNotFound:
        return QStringLiteral("host not found — check \"%1\" in pktgate.cfg")
            .arg(QLatin1String(hostKey));
    case ProbeFailure::Refused:
        return QStringLiteral("connection refused — is %1 on? (\"%2\" in pktgate.cfg)")
            .arg(server, QLatin1String(portKey));
    case ProbeFailure::NoConnection:
        return QStringLiteral("no connection within %1 s — is the host up and the port open? %2")
            .arg(t.connectMs / 1000)
            .arg(keysOf(hostKey, portKey));
    case ProbeFailure::SocketError:
        return QStringLiteral("%1 — check %2").arg(error, keysOf(hostKey, portKey));
    default:
        return QString();
    }
}

void print(const QString& line) {
    const QByteArray bytes = (line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace

ProbeSettings readProbeSettings(const QString& directory) {
    ProbeSettings r;
    r.path = settingsFilePath(directory);
    Settings& s = r.settings;
    if (QFileInfo::exists(r.path)) {
        // As readSettingsFile reads it, with the log's lines kept as notes.
        r.found = true;
        s.packetLength = 130;
        s.keepAliveMinutes = 0;
        std::optional<QString> lastKey;
        QStringList corrections;
        FrameFromFile frame;
        bool stopped = false;
        try {
            QFile file(r.path);
            if (!file.open(QIODevice::ReadOnly)) throw Failure(file.errorString());
            const QByteArray content = file.readAll();
            if (file.error() != QFileDevice::NoError) throw Failure(file.errorString());
            applySettingsText(content, s, frame, lastKey, corrections, everyFrameValue);
        } catch (const std::exception&) {
            stopped = true;
        }
        r.notes = corrections;
        if (stopped)
            r.notes << (lastKey ? QStringLiteral("reading stopped after \"%1\"").arg(*lastKey)
                                : QStringLiteral("it cannot be read"));
    }
    r.engine.host = s.agwIp.isEmpty() ? kDefaultHost : s.agwIp;
    r.engine.port = portSetting(QStringLiteral("AGW Port"), s.agwPort.text(), r.engine.problem);
    r.node.host = s.clusterIp.isEmpty() ? kDefaultHost : s.clusterIp;
    r.node.port = portSetting(QStringLiteral("Winsock Port"), s.clusterPort.text(), r.node.problem);
    return r;
}

bool couldBeAgwHeader(QByteArrayView b) {
    for (qsizetype i = 1; i < 4 && i < b.size(); ++i)
        if (b[i] != '\0') return false;
    if (b.size() > 4) {
        const char kind = b[4];
        if (!((kind >= 'A' && kind <= 'Z') || (kind >= 'a' && kind <= 'z'))) return false;
    }
    if (b.size() >= kAgwHeaderSize && readDataLen(b.data()) > kMaxAnswerLength) return false;
    return true;
}

NodeGreeting classifyGreeting(QByteArrayView words) {
    if (words.trimmed().isEmpty()) return NodeGreeting::Silent;
    const QByteArray lower = words.toByteArray().toLower();
    if (lower.contains("passw")) return NodeGreeting::Password;
    if (lower.contains("login") || lower.contains("call")) return NodeGreeting::Login;
    return NodeGreeting::Other;
}

QString quotedBytes(QByteArrayView bytes, qsizetype limit) {
    QString out = QStringLiteral("\"");
    for (qsizetype i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case '\r':
            out += QStringLiteral("\\r");
            break;
        case '\n':
            out += QStringLiteral("\\n");
            break;
        case '\t':
            out += QStringLiteral("\\t");
            break;
        case '"':
        case '\\':
            out += QLatin1Char('\\');
            out += QLatin1Char(char(c));
            break;
        default:
            if (isControlChar(c) || c > 0x7E)
                out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
            else
                out += QLatin1Char(char(c));
        }
    }
    out += QLatin1Char('"');
    if (bytes.size() > limit) out += QStringLiteral("...");
    return out;
}

QString targetText(const ProbeTarget& target) {
    const QHostAddress address(target.host);
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    return (v6 ? QLatin1Char('[') + target.host + QLatin1Char(']') : target.host) +
           QLatin1Char(':') + QString::number(target.port);
}

QString settingsLine(const ProbeSettings& s) {
    const auto where = [](const ProbeTarget& t) {
        return t.problem.isEmpty() ? targetText(t) : QStringLiteral("not probed");
    };
    const QString peers = QStringLiteral("engine %1, node %2").arg(where(s.engine), where(s.node));
    if (!s.found)
        return QStringLiteral("settings %1: not found — a start uses the defaults: %2")
            .arg(s.path, peers);
    QString line = QStringLiteral("settings %1: Cluster Call \"%2\", %3")
                       .arg(s.path, s.settings.clusterCall.text(), peers);
    if (s.settings.clusterCall.isEmpty())
        line += QStringLiteral("; no \"Cluster Call\": the engine would be asked to register an "
                               "empty callsign");
    for (const QString& note : s.notes)
        line += QStringLiteral("; ") + note;
    return line;
}

QString engineLine(const ProbeTarget& target, const EngineFindings& f, const ProbeTiming& t) {
    if (!target.problem.isEmpty()) return QStringLiteral("engine: not probed — ") + target.problem;
    const QString head = QStringLiteral("engine %1: ").arg(targetText(target));
    const QString port = QStringLiteral("(\"AGW Port\" in pktgate.cfg)");
    switch (f.failure) {
    case ProbeFailure::None:
        break;
    case ProbeFailure::Closed:
        return head +
               QStringLiteral("closed the connection without an answer — is this the AGW "
                              "server's port? ") +
               port;
    case ProbeFailure::NoAnswer:
        return head +
               QStringLiteral("connected, but no answer to \"R\" or \"G\" within %1 s — is this "
                              "the AGW server's port? ")
                   .arg(t.answerMs / 1000) +
               port;
    case ProbeFailure::NotAgw: {
        const NodeGreeting g = classifyGreeting(f.garbage);
        const QString hint = g == NodeGreeting::Login || g == NodeGreeting::Password
                                 ? QStringLiteral("is this the node's port? ")
                                 : QStringLiteral("is this the AGW server's port? ");
        return head +
               QStringLiteral("answered %1, which is no AGW frame — ").arg(quotedBytes(f.garbage)) +
               hint + port;
    }
    default:
        return head + connectionFailure(f.failure, f.error, "AGW IP", "AGW Port",
                                        QStringLiteral("the AGW server"), t);
    }
    const QString version =
        f.version
            ? QStringLiteral("AGW version %1.%2").arg(f.version->major).arg(f.version->minor)
            : QStringLiteral("no answer to \"R\" (version) within %1 s").arg(t.answerMs / 1000);
    QString ports;
    if (!f.ports) {
        ports =
            QStringLiteral("no answer to \"G\" (radio ports) within %1 s").arg(t.answerMs / 1000);
    } else if (f.ports->count == 0) {
        ports = QStringLiteral("its answer to \"G\" names no radio port");
    } else {
        ports = f.ports->count == 1 ? QStringLiteral("1 radio port")
                                    : QStringLiteral("%1 radio ports").arg(f.ports->count);
        QStringList names;
        for (qsizetype i = 0; i < f.ports->descriptions.size() && i < kShownPorts; ++i)
            names << quotedBytes(f.ports->descriptions[i]);
        if (f.ports->descriptions.size() > kShownPorts) names << QStringLiteral("...");
        if (!names.isEmpty()) ports += QStringLiteral(": ") + names.join(QStringLiteral(", "));
    }
    return head + version + QStringLiteral("; ") + ports;
}

QString nodeLine(const ProbeTarget& target, const NodeFindings& f, const ProbeTiming& t) {
    if (!target.problem.isEmpty()) return QStringLiteral("node: not probed — ") + target.problem;
    const QString head = QStringLiteral("node %1: ").arg(targetText(target));
    const QString port = QStringLiteral("(\"Winsock Port\" in pktgate.cfg)");
    switch (f.failure) {
    case ProbeFailure::None:
        break;
    case ProbeFailure::Closed:
        return head +
               QStringLiteral("closed the connection without a word — does the node let this "
                              "host in? ") +
               keysOf("Winsock IP", "Winsock Port");
    default:
        return head + connectionFailure(f.failure, f.error, "Winsock IP", "Winsock Port",
                                        QStringLiteral("the cluster node"), t);
    }
    const NodeGreeting g = classifyGreeting(f.words);
    if (g == NodeGreeting::Silent)
        return head + QStringLiteral("connected, said nothing within %1 s — it waits for the "
                                     "callsign, which the gateway sends first")
                          .arg(t.greetingMs / 1000);
    QString line = head + QStringLiteral("answered ") + quotedBytes(f.words);
    if (f.closed)
        return line +
               QStringLiteral(" and closed the connection — is this the node's user port? ") + port;
    switch (g) {
    case NodeGreeting::Login:
        return line + QStringLiteral(" — a user port");
    case NodeGreeting::Password:
        return line +
               QStringLiteral(" — it asks for a password, as a sysop port does; the gateway "
                              "sends only the callsign: give the node's user port ") +
               port;
    default:
        return line +
               QStringLiteral(" — no login prompt: if this is not the node's user port, "
                              "change ") +
               port;
    }
}

bool engineAnswered(const EngineFindings& f) {
    return f.failure == ProbeFailure::None && (f.version || f.ports);
}

bool nodeAnswered(const NodeFindings& f) {
    return f.failure == ProbeFailure::None && !f.closed &&
           classifyGreeting(f.words) != NodeGreeting::Password;
}

EngineFindings probeEngine(const ProbeTarget& target, const ProbeTiming& t) {
    EngineFindings f;
    QTcpSocket s;
    f.failure = connectWithin(s, target, t.connectMs, f.error);
    if (f.failure != ProbeFailure::None) return f;

    QEventLoop loop;
    QByteArray pending; // from the first frame not yet taken
    bool over = false;
    const auto take = [&] {
        pending += s.readAll();
        while (!over) {
            if (!couldBeAgwHeader(pending)) {
                f.failure = ProbeFailure::NotAgw;
                over = true;
            }
            if (over || pending.size() < kAgwHeaderSize) break;
            const AgwHeader h = readHeader(pending.constData());
            if (pending.size() - kAgwHeaderSize < qsizetype(h.DataLen)) break;
            const QByteArrayView data(pending.constData() + kAgwHeaderSize, h.DataLen);
            if (h.DataKind == 'R') {
                f.version = readVersion(data);
                if (!f.version) {
                    f.failure = ProbeFailure::NotAgw;
                    over = true;
                    break;
                }
            } else if (h.DataKind == 'G') {
                f.ports = readPortInfo(data);
            }
            pending.remove(0, kAgwHeaderSize + qsizetype(h.DataLen));
            over = f.version && f.ports;
        }
        if (over) loop.quit();
    };
    bool closed = false;
    QObject::connect(&s, &QTcpSocket::readyRead, &loop, take);
    QObject::connect(&s, &QTcpSocket::disconnected, &loop, [&] {
        closed = true;
        over = true;
        loop.quit();
    });
    s.write(buildVersionRequest() + buildPortInfoRequest());
    runFor(
        t.answerMs, [&] { return over; }, loop);
    if (f.failure != ProbeFailure::NotAgw && !(f.version && f.ports)) {
        over = false;
        take(); // what came with the end
    }
    if (f.failure == ProbeFailure::NotAgw || (!f.version && !f.ports && !pending.isEmpty())) {
        f.failure = ProbeFailure::NotAgw;
        f.garbage = pending.left(kNodeWordsLimit);
    } else if (!f.version && !f.ports) {
        f.failure = closed ? ProbeFailure::Closed : ProbeFailure::NoAnswer;
    }
    // Closing is no finding.
    QObject::disconnect(&s, nullptr, &loop, nullptr);
    s.abort();
    return f;
}

NodeFindings probeNode(const ProbeTarget& target, const ProbeTiming& t) {
    NodeFindings f;
    QTcpSocket s;
    f.failure = connectWithin(s, target, t.connectMs, f.error);
    if (f.failure != ProbeFailure::None) return f;

    QEventLoop loop;
    QTimer quiet;
    quiet.setSingleShot(true);
    bool over = false;
    const auto take = [&] {
        const QByteArray in = s.read(kNodeWordsLimit - f.words.size());
        if (in.isEmpty()) return;
        f.words += in;
        if (f.words.size() >= kNodeWordsLimit) {
            over = true;
            loop.quit();
        } else {
            quiet.start(t.quietMs);
        }
    };
    QObject::connect(&quiet, &QTimer::timeout, &loop, [&] {
        over = true;
        loop.quit();
    });
    QObject::connect(&s, &QTcpSocket::readyRead, &loop, take);
    QObject::connect(&s, &QTcpSocket::disconnected, &loop, [&] {
        f.closed = true;
        over = true;
        loop.quit();
    });
    take();
    runFor(
        t.greetingMs, [&] { return over; }, loop);
    if (f.words.size() < kNodeWordsLimit) take();
    if (f.closed && f.words.isEmpty()) f.failure = ProbeFailure::Closed;
    // Closing is no finding.
    QObject::disconnect(&s, nullptr, &loop, nullptr);
    s.abort();
    return f;
}

int runProbe(int& argc, char** argv, const ProgramOptions& options) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pktgate"));
    const QString directory =
        options.directory.isEmpty() ? QCoreApplication::applicationDirPath() : options.directory;
    const ProbeSettings settings = readProbeSettings(directory);
    const ProbeTiming timing;
    print(settingsLine(settings));

    EngineFindings engine;
    if (settings.engine.problem.isEmpty()) engine = probeEngine(settings.engine, timing);
    print(engineLine(settings.engine, engine, timing));
    NodeFindings node;
    if (settings.node.problem.isEmpty()) node = probeNode(settings.node, timing);
    print(nodeLine(settings.node, node, timing));

    const bool engineOk = settings.engine.problem.isEmpty() && engineAnswered(engine);
    const bool nodeOk = settings.node.problem.isEmpty() && nodeAnswered(node);
    return engineOk && nodeOk ? 0 : 1;
}

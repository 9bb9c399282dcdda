#include "tools/SimOptions.h"

#include "agwlink/AgwFrame.h"

#include <QCommandLineParser>
#include <cmath>

namespace sim {
namespace {

bool readInt(const QCommandLineParser& p, const QString& name, qint64 min, qint64 max, qint64& out,
             QString& message) {
    if (!p.isSet(name)) return true;
    const QString text = p.value(name).trimmed();
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (!ok) {
        message = QStringLiteral("--%1: \"%2\" is not a whole number").arg(name, p.value(name));
        return false;
    }
    if (v < min || v > max) {
        message = QStringLiteral("--%1: %2 is out of range (%3 to %4)")
                      .arg(name)
                      .arg(v)
                      .arg(min)
                      .arg(max);
        return false;
    }
    out = v;
    return true;
}

bool readRate(const QCommandLineParser& p, const QString& name, double max, double& out,
              QString& message) {
    if (!p.isSet(name)) return true;
    bool ok = false;
    const double v = p.value(name).trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v)) {
        message = QStringLiteral("--%1: \"%2\" is not a number").arg(name, p.value(name));
        return false;
    }
    if (v < 0 || v > max) {
        message = QStringLiteral("--%1: %2 is out of range (0 to %3)").arg(name).arg(v).arg(max);
        return false;
    }
    out = v;
    return true;
}

} // namespace

ParseResult parseSimOptions(const QStringList& arguments, SimOptions& o, QString& message) {
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Plays both outside peers of the pktgate gateway on 127.0.0.1: an AGW packet engine with "
        "simulated radio users, and a DX-cluster node.\n"
        "Without --users, three demo users connect, type a few commands and leave, over and "
        "over. With --users N, N load users each send --lines-per-user lines at --rate."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this text."));
    p.addOption(help);
    const QList<QCommandLineOption> opts = {
        {QStringLiteral("agw-port"),
         QStringLiteral("TCP port of the AGW engine (default 8000, 0: any free port)."),
         QStringLiteral("port")},
        {QStringLiteral("node-port"),
         QStringLiteral("TCP port of the cluster node (default 7300, 0: any free port)."),
         QStringLiteral("port")},
        {QStringLiteral("cluster-call"),
         QStringLiteral("Callsign the users connect to (default: the one the gateway registers)."),
         QStringLiteral("call")},
        {QStringLiteral("radio-port"),
         QStringLiteral("Engine radio port the users come in on, 0 to 255 (default 0)."),
         QStringLiteral("n")},
        {QStringLiteral("ports"),
         QStringLiteral("Radio ports of the engine, 1 to 256 (default 1). With more, the users "
                        "take the ports in turn, each once the gateway has registered there."),
         QStringLiteral("n")},
        {QStringLiteral("users"),
         QStringLiteral("Load mode: number of simulated radio users (0 to 100000)."),
         QStringLiteral("n")},
        {QStringLiteral("lines-per-user"),
         QStringLiteral("Load mode: lines each user sends before leaving (default 10; 0: send "
                        "nothing and stay connected)."),
         QStringLiteral("n")},
        {QStringLiteral("rate"),
         QStringLiteral("Load mode: lines per second of all users together (default 50; 0: as "
                        "fast as the gateway takes them)."),
         QStringLiteral("lines/s")},
        {QStringLiteral("spot-rate"),
         QStringLiteral("DX spots per second sent to every logged-in node user (default 0.2; "
                        "0: none)."),
         QStringLiteral("spots/s")},
        {QStringLiteral("duration"),
         QStringLiteral("Seconds to run (default 0: until Ctrl-C or SIGTERM)."),
         QStringLiteral("seconds")},
        {QStringLiteral("baud"),
         QStringLiteral("Bits per second of each user's simulated radio link (default 1200; 0: "
                        "no radio, frames reach the users at once and \"Y\" goes unanswered)."),
         QStringLiteral("bits/s")},
        {QStringLiteral("flood-bytes"),
         QStringLiteral("Node: bytes of sh/dx lines written to each user at once after the login "
                        "(default 0)."),
         QStringLiteral("bytes")},
        {QStringLiteral("stream-bytes"),
         QStringLiteral("Node: bytes of sh/dx lines written to each user after the flood, evenly "
                        "over --stream-seconds (default 0)."),
         QStringLiteral("bytes")},
        {QStringLiteral("stream-seconds"),
         QStringLiteral("Node: seconds the --stream-bytes are spread over (default 0: at once)."),
         QStringLiteral("seconds")},
        {QStringLiteral("spot-users"),
         QStringLiteral("Node: spots only to the first N users that log in (default 0: all)."),
         QStringLiteral("n")},
        {QStringLiteral("node-send-buffer"),
         QStringLiteral("Node: the system's send buffer of each user's connection, in bytes "
                        "(default 0: the system's own, which grows to megabytes on 127.0.0.1)."),
         QStringLiteral("bytes")},
        {QStringLiteral("leave-after"),
         QStringLiteral("Load users leave this many seconds after connecting (default 0: stay "
                        "until their lines are sent)."),
         QStringLiteral("seconds")},
        {QStringLiteral("rejoin-after"),
         QStringLiteral("Users that left by --leave-after connect again this many seconds later, "
                        "once (default 0: they do not)."),
         QStringLiteral("seconds")},
        {QStringLiteral("report"),
         QStringLiteral("Write the figures per user as JSON to this file at the end."),
         QStringLiteral("file")},
        {QStringLiteral("stop-when-aired"),
         QStringLiteral("End the run once the node's flood and stream are written and everything "
                        "it wrote has aired to every user still connected.")},
        {QStringLiteral("quiet"), QStringLiteral("Print only the start and the summary lines.")},
        {QStringLiteral("split-frames"),
         QStringLiteral("Send every engine frame in several pieces (for tests).")},
        {QStringLiteral("engine-only"), QStringLiteral("Run the AGW engine and users only.")},
        {QStringLiteral("node-only"), QStringLiteral("Run the cluster node only.")},
    };
    p.addOptions(opts);

    if (!p.parse(arguments)) {
        message = p.errorText();
        return ParseResult::Error;
    }
    if (p.isSet(help)) {
        message = p.helpText();
        return ParseResult::Help;
    }
    if (!p.positionalArguments().isEmpty()) {
        message = QStringLiteral("unexpected argument \"%1\"").arg(p.positionalArguments().first());
        return ParseResult::Error;
    }

    qint64 agwPort = o.agwPort, nodePort = o.nodePort, radioPort = o.radioPort, users = o.users,
           lines = o.linesPerUser, ports = o.ports, baud = o.baud, spotUsers = o.spotUsers,
           sendBuffer = o.nodeSendBuffer;
    if (!readInt(p, QStringLiteral("agw-port"), 0, 65535, agwPort, message) ||
        !readInt(p, QStringLiteral("node-port"), 0, 65535, nodePort, message) ||
        !readInt(p, QStringLiteral("radio-port"), 0, 255, radioPort, message) ||
        !readInt(p, QStringLiteral("ports"), 1, 256, ports, message) ||
        !readInt(p, QStringLiteral("users"), 0, 100000, users, message) ||
        !readInt(p, QStringLiteral("lines-per-user"), 0, 1000000000, lines, message) ||
        !readRate(p, QStringLiteral("rate"), 1e7, o.rate, message) ||
        !readRate(p, QStringLiteral("spot-rate"), 1e6, o.spotRate, message) ||
        !readRate(p, QStringLiteral("duration"), 1e7, o.duration, message) ||
        !readInt(p, QStringLiteral("baud"), 0, 10000000, baud, message) ||
        !readInt(p, QStringLiteral("flood-bytes"), 0, qint64(1) << 32, o.floodBytes, message) ||
        !readInt(p, QStringLiteral("stream-bytes"), 0, qint64(1) << 32, o.streamBytes, message) ||
        !readRate(p, QStringLiteral("stream-seconds"), 1e7, o.streamSeconds, message) ||
        !readInt(p, QStringLiteral("spot-users"), 0, 100000, spotUsers, message) ||
        !readInt(p, QStringLiteral("node-send-buffer"), 0, 1 << 30, sendBuffer, message) ||
        !readRate(p, QStringLiteral("leave-after"), 1e7, o.leaveAfter, message) ||
        !readRate(p, QStringLiteral("rejoin-after"), 1e7, o.rejoinAfter, message))
        return ParseResult::Error;
    o.agwPort = quint16(agwPort);
    o.nodePort = quint16(nodePort);
    o.radioPort = quint8(radioPort);
    o.users = int(users);
    o.linesPerUser = int(lines);
    o.ports = int(ports);
    o.baud = int(baud);
    o.spotUsers = int(spotUsers);
    o.nodeSendBuffer = int(sendBuffer);
    o.reportFile = p.value(QStringLiteral("report"));
    o.stopWhenAired = p.isSet(QStringLiteral("stop-when-aired"));

    if (p.isSet(QStringLiteral("cluster-call"))) {
        const QString call = p.value(QStringLiteral("cluster-call")).trimmed();
        bool plain = !call.isEmpty() && call.size() <= kCallFieldSize;
        for (const QChar c : call)
            plain = plain && c.unicode() > ' ' && c.unicode() <= '~';
        if (!plain) {
            message = QStringLiteral("--cluster-call: \"%1\" is not a callsign (1 to 10 "
                                     "printable ASCII characters)")
                          .arg(p.value(QStringLiteral("cluster-call")));
            return ParseResult::Error;
        }
        o.clusterCall = call.toLatin1();
    }
    o.quiet = p.isSet(QStringLiteral("quiet"));
    o.splitFrames = p.isSet(QStringLiteral("split-frames"));
    const bool engineOnly = p.isSet(QStringLiteral("engine-only"));
    const bool nodeOnly = p.isSet(QStringLiteral("node-only"));
    if (engineOnly && nodeOnly) {
        message = QStringLiteral("--engine-only and --node-only exclude each other");
        return ParseResult::Error;
    }
    o.runEngine = !nodeOnly;
    o.runNode = !engineOnly;
    if (o.runEngine && o.runNode && o.agwPort != 0 && o.agwPort == o.nodePort) {
        message = QStringLiteral("--agw-port and --node-port must differ");
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

} // namespace sim

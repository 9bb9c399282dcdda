#pragma once
// The simulator's command line.
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace sim {

struct SimOptions {
    quint16 agwPort = 8000;  // 0: any free port
    quint16 nodePort = 7300; // 0: any free port
    QByteArray clusterCall;  // empty: the call the gateway registers
    quint8 radioPort = 0;    // the engine port the users come in on (an engine of one port)
    int ports = 1;           // the engine's radio ports; with more than one, users take turns
    int users = -1;          // -1: the demo users; otherwise the number of load users
    int linesPerUser = 10;   // load users: lines each one sends (0: none, stay connected)
    double rate = 50;        // load users: lines per second, all users together (0: flat out)
    double spotRate = 0.2;   // spot lines per second to every logged-in node user (0: none)
    double duration = 0;     // seconds; 0: until interrupted
    int baud = 1200;         // each user's radio link; 0: none (frames at once, "Y" unanswered)
    qint64 floodBytes = 0;   // node: bytes of "sh/dx" lines to each user at once after the login
    qint64 streamBytes = 0;  // node: then this many more, evenly over streamSeconds
    double streamSeconds = 0;
    int spotUsers = 0;      // node: spots only to the first N logins (0: to all)
    int nodeSendBuffer = 0; // node: SO_SNDBUF of each user's connection (0: the system's)
    double leaveAfter = 0;  // load users leave ("d") this many seconds after connecting (0: no)
    double rejoinAfter = 0; // and connect again this many seconds later, once (0: no)
    QString reportFile;     // figures per user as JSON at the end (empty: none)
    bool stopWhenAired = false;
    bool quiet = false;
    bool splitFrames = false;
    bool runEngine = true;
    bool runNode = true;
};

enum class ParseResult { Run, Help, Error };

// Reads the arguments (the program name first). On Help, `message` holds the usage text;
// on Error, a one-line description of what is wrong.
ParseResult parseSimOptions(const QStringList& arguments, SimOptions& options, QString& message);

} // namespace sim

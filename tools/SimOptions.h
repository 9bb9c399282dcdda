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

#pragma once
// pktgate --probe: a look at the engine and the node the settings name, before the first start.
// It reads pktgate.cfg as a start reads it, connects to the engine and asks its version ("R") and
// its radio ports ("G"), connects to the node and listens to what it says first, and prints one
// line per check: what it found, or what failed and what to change. It registers no callsign,
// sends the node nothing (so no user is logged in) and writes no file, error.log included.
//
// The checks are plain functions on findings (the lines, the verdicts) and two small socket
// routines that gather the findings within a bounded time.
#include "agwlink/AgwFrame.h"
#include "config/Settings.h"
#include "service/ProgramOptions.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <optional>

// How long each check may take, in milliseconds.
struct ProbeTiming {
    int connectMs = 5000;  // the host lookup and the connection
    int answerMs = 5000;   // the engine's answers to "R" and "G", once connected
    int greetingMs = 2000; // the node's first words, once connected
    int quietMs = 300;     // the first words are over when the node is quiet this long
};

// One peer as the settings name it.
struct ProbeTarget {
    QString host;
    quint16 port = 0;
    QString problem; // why it cannot be probed (a port setting that is no port); empty: it can
};

// The settings as a start takes them, and where the two peers are.
struct ProbeSettings {
    QString path;       // pktgate.cfg
    bool found = false; // the file is there (without it the defaults are used)
    Settings settings;
    QStringList notes; // values the reader replaced, and where reading stopped
    ProbeTarget engine, node;
};

// Reads DIRECTORY/pktgate.cfg as a start would, without logging anything.
ProbeSettings readProbeSettings(const QString& directory);

// How a connection went.
enum class ProbeFailure {
    None,
    HostNotFound,
    Refused,
    NoConnection, // no connection within the time
    SocketError,  // another failure, described in `error`
    Closed,       // the peer closed the connection without a word
    NoAnswer,     // connected, and nothing came within the time
    NotAgw,       // the engine's bytes are no AGW frame
};

struct EngineFindings {
    ProbeFailure failure = ProbeFailure::None;
    QString error;                        // the system's description of a SocketError
    std::optional<EngineVersion> version; // the answer to "R"
    std::optional<PortInfo> ports;        // the answer to "G"
    QByteArray garbage;                   // NotAgw: the first bytes that came
};

struct NodeFindings {
    ProbeFailure failure = ProbeFailure::None;
    QString error;
    QByteArray words;    // what the node said first (at most kNodeWordsLimit bytes)
    bool closed = false; // the node closed the connection after its words
};
inline constexpr qsizetype kNodeWordsLimit = 256;

// Whether bytes can be the beginning of an AGW frame header: a kind letter at byte 4, zero in
// bytes 1 to 3 (the port is below 256) and a DataLen of at most 64 KiB, as far as they are there.
bool couldBeAgwHeader(QByteArrayView bytes);

// What the first words of a node tell: nothing, a login prompt (a user port), a password prompt
// (a sysop port) or anything else.
enum class NodeGreeting { Silent, Login, Password, Other };
NodeGreeting classifyGreeting(QByteArrayView words);

// Bytes from a peer as one quoted text (the outside-text rule of config/OutsideText.h, in C's
// notation for standard output): CR, LF and tab as \r, \n, \t, other control bytes, bytes
// above 0x7E, double quotes and backslashes escaped, cut after `limit` bytes ("...").
QString quotedBytes(QByteArrayView bytes, qsizetype limit = 80);

// HOST:PORT as the lines show it (an IPv6 address in brackets).
QString targetText(const ProbeTarget& target);

// The lines, each without its line end.
QString settingsLine(const ProbeSettings& s);
QString engineLine(const ProbeTarget& target, const EngineFindings& f, const ProbeTiming& t);
QString nodeLine(const ProbeTarget& target, const NodeFindings& f, const ProbeTiming& t);

// Whether the peer answered as the gateway needs it: the engine with an AGW answer to "R" or "G",
// the node by taking the connection and not asking for a password or closing it.
bool engineAnswered(const EngineFindings& f);
bool nodeAnswered(const NodeFindings& f);

// The two checks on real sockets; each returns within about its timing's bounds. They need an
// application object and run its event loop meanwhile.
EngineFindings probeEngine(const ProbeTarget& target, const ProbeTiming& t);
NodeFindings probeNode(const ProbeTarget& target, const ProbeTiming& t);

// The whole probe: makes the application object, prints the settings line, the engine's line
// and the node's line on standard output. Exit code 0 when both peers answered, 1 otherwise.
int runProbe(int& argc, char** argv, const ProgramOptions& options);

#pragma once
// The program's command line, read by a plain function that starts nothing, and the facts about
// the environment that choose between the window and a headless run.
#include "relay/CallPolicy.h"

#include <QHostAddress>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <optional>

// Where the status server listens.
struct StatusAddress {
    QHostAddress address;
    quint16 port = 0; // 0: a port the system chooses
};

struct ProgramOptions {
    QString directory;                       // --dir, absolute; empty: the executable's directory
    bool headless = false;                   // --headless
    bool probe = false;                      // --probe: look at the engine and the node, then exit
    bool allPorts = true;                    // every radio port; --port-0-only: port 0 alone
    std::optional<StatusAddress> status;     // --status
    int maxOutstanding = 8;                  // --max-outstanding: frames per user in a paced engine
    RefusedCalls refusedCalls;               // --refuse-calls
    std::optional<QHostAddress> proxySource; // --node-proxy-header: the radio users' address
    QString platform;                        // Qt's -platform, left for the window system
};

enum class OptionsResult { Run, Help, Version, Error };

// Reads the arguments, the program name first. Run: `options` holds them. Help: `message` is the
// usage text; Version: the version line; Error: what is wrong, in one line. Qt's own window
// options (-platform, -style, ...) are taken and left for the window system.
OptionsResult parseProgramOptions(const QStringList& arguments, ProgramOptions& options,
                                  QString& message);

// The usage text of --help.
QString programUsage();
// "pktgate" and the version text the window's title shows.
QString programVersionLine();

// ADDRESS:PORT (an IPv6 address in brackets) as a status address; none when it is not one.
std::optional<StatusAddress> readStatusAddress(const QString& text);

// An address and port as a URL writes them: 127.0.0.1:8080, [::1]:8080.
QString addressText(const QHostAddress& address, quint16 port);

// Why a directory cannot hold pktgate.cfg and error.log; empty when it can.
QString unusableDirectory(const QString& path);

// Whether a window can be shown: without DISPLAY and WAYLAND_DISPLAY only on a platform that needs
// neither (offscreen, say), named by the -platform option or else by QT_QPA_PLATFORM.
bool displayAvailable(const QString& platformOption, const QProcessEnvironment& environment);

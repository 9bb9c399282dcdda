#pragma once
// One run of the gateway, with the window and headless alike: the relay on a thread of its own
// (RelayThread), the command line's options applied to it, the status server when asked for, the
// start-up sequence and the termination signals. Runs differ only in what they show: the window
// its form, monitor views and close handshake, headless nothing but the log on standard error.
#include "config/ConfigFile.h"
#include "net/Platform.h"
#include "net/Socket.h"
#include "relay/Startup.h"
#include "service/ProgramOptions.h"

#include <QString>
#include <functional>
#include <memory>

class ErrorLog;
class Gateway;
class Monitor;
class RelayThread;
struct Settings;

// The directory of the run's files: --dir's, or the executable's.
QString runDirectory(const ProgramOptions& options);

class GatewayRun {
public:
    // settings: the run's, read from and saved to pktgate.cfg in directory; log: the run's error
    // log; monitor: where the relay shows what it does. All three outlive the run. The factories
    // make the gateway's sockets on the relay thread (real TCP sockets by default).
    GatewayRun(Settings& settings, ErrorLog& log, Monitor& monitor, const QString& directory,
               const Timing& timing = {}, SocketFactory agwSockets = {},
               SocketFactory nodeSockets = {});
    // The gateway goes with its thread.
    ~GatewayRun();
    GatewayRun(const GatewayRun&) = delete;
    GatewayRun& operator=(const GatewayRun&) = delete;

    // Its controls may be used from any thread, its parts only through Gateway::onOwnThread.
    Gateway& gateway();
    const QString& settingsPath() const { return m_settingsPath; }

    // The command line's settings of the relay, and the status server when asked for (its
    // address told on standard error). False, with the reason said there, when the server cannot
    // listen.
    bool applyOptions(const ProgramOptions& options);
    // The start-up sequence; takes is the rule by which the window takes a frame value. What the
    // window shows of it comes back.
    StartedUp start(FrameRule takes);

    // The event loop until it ends: the first termination signal calls end, later ones are
    // ignored, as they are once the loop has ended. Returns the loop's exit code.
    static int exec(const std::function<void()>& end);

private:
    Settings& m_settings;
    ErrorLog& m_log;
    const QString m_settingsPath;
    std::unique_ptr<RelayThread> m_relay;
};

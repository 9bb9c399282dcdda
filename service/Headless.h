#pragma once
// The gateway without a window and without a window system: the same run as the window's
// (GatewayRun: the relay on its own thread with the epoll event dispatcher, the settings, log,
// keep-alive, reconnects and signal handling); the main thread waits for the signals. Every
// error.log line also goes to standard error (the journal's, under systemd). A termination signal
// ends it: the AGW link is closed first, with no frame sent before it, then the sessions; "Program
// terminated" is the last line logged, and pktgate.cfg is not written.
#include "relay/Monitor.h"
#include "relay/Startup.h"
#include "service/ProgramOptions.h"

// Runs the headless gateway until a termination signal; returns the exit code. Makes the
// application object itself: call it where none exists yet.
int runHeadless(int& argc, char** argv, const ProgramOptions& options);

#pragma once
// Seams over the platform: the intervals of the gateway's timers, the blocking sleep and the
// clock. The program uses the built-in values; tests shorten the intervals and fix the clock.
#include <QDateTime>
#include <functional>

struct Timing {
    int reconnectIntervalMs = 60000; // the AGW link's reconnect timer
    int keepAliveIntervalMs = 60000; // every session's keep-alive timer: one tick, one minute
    int connectSleepMs = 500;        // the pause before the engine registration
    int stallResetMs = 120000; // an engine that takes nothing this long while congested: reset
};

namespace platform {

// A plain blocking sleep of the calling thread.
void sleepMs(int ms);

// The current local date and time; tests may replace the source (nullptr restores the system's).
QDateTime now();
// The same instant in UTC. Cheaper than now(): the system clock's local time looks at the time
// zone file on every call, which a stamp taken for each new user does not need.
QDateTime nowUtc();
void setClock(std::function<QDateTime()> clock);

} // namespace platform

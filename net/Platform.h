#pragma once
// Seams over the platform: the intervals of the gateway's timers, the blocking sleep and the
// wall clock. The program uses the built-in values; tests shorten the intervals and hand in a
// clock of their own.
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

} // namespace platform

// The wall clock the gateway stamps its log lines and states with. The ErrorLog holds the run's
// one clock and every object that stamps something asks it there; it never changes after it is
// made, so any thread may read it.
class WallClock {
public:
    WallClock() = default; // the system's
    // The local date and time source() gives.
    explicit WallClock(std::function<QDateTime()> source) : m_source(std::move(source)) {}

    // The current local date and time.
    QDateTime now() const;
    // The same instant in UTC. Cheaper than now() on the system's clock: its local time looks at
    // the time zone file on every call, which a stamp taken for each new user does not need.
    QDateTime nowUtc() const;

private:
    std::function<QDateTime()> m_source; // none: the system's
};

#pragma once
// Seams over the platform: intervals, the blocking sleep, the clock and the executable's
// directory. The program uses the built-in values; tests shorten the intervals, fix the clock
// and point the files at a temporary directory.
#include <QDateTime>
#include <QString>
#include <functional>

namespace platform {

struct Timing {
    int reconnectIntervalMs = 60000; // Timer1
    int keepAliveIntervalMs = 60000; // every tmrKeepAlive(i)
    int connectSleepMs = 500;        // the pause before the engine registration
};

// The intervals in force; read when a timer is created or a connect is handled.
Timing& timing();

// A plain blocking sleep of the calling thread.
void sleepMs(int ms);

// The current local date and time; tests may replace the source (nullptr restores the system's).
QDateTime now();
void setClock(std::function<QDateTime()> clock);

// The directory that holds the executable, where pktgate.cfg and error.log live.
// Tests may point it elsewhere (an empty string restores the executable's directory).
QString appDir();
void setAppDir(const QString& dir);

} // namespace platform

#pragma once
// Unix only: what the gateway needs of the operating system beyond Qt. On other systems these do
// nothing.
//
// - Many radio users mean many cluster sockets, so the limit on open files is raised as far as
//   the system allows.
// - A service manager or a terminal stops the program with SIGTERM, SIGINT or SIGHUP. The signal
//   handler only writes one byte to a socket pair; the event loop reads it and reports the signal
//   as a Qt signal, where the window can close in an orderly way. The handling is installed first
//   thing, so that a signal in the first moments of a run is not fatal, and once shutdown has
//   begun further signals are ignored, so that the program always ends in order.
#include <QObject>

class QSocketNotifier;

namespace unixsystem {

// Raises the soft limit on open files to the hard limit. Returns the soft limit in force
// afterwards, or -1 when it cannot be read (or on systems without such limits).
long long raiseOpenFileLimit();

// Makes room in the process's descriptor table for descriptors up to count (at most the soft
// limit), so that it need not grow later. Growing it while several threads share it makes the
// kernel wait for a scheduling grace period in the thread that opens the descriptor: 8-14 ms a
// time, measured, in the middle of a burst of connecting users. Call it before threads start.
void reserveDescriptors(long long count);

// The soft limit on open files now (-1: none, or unknown).
long long openFileLimit();
// Descriptors the process has open now (-1: unknown). Costs a walk over them: for occasional
// use, not per frame. With none left to read them by, every one the limit allows is open.
int openDescriptors();

// From now on SIGTERM, SIGINT and SIGHUP are only noted; TerminationSignals reports them once
// the event loop runs. One that waited, blocked by whoever started the process, is taken too.
// Call it first thing in main. False when the handling could not be set up.
bool catchTerminationSignals();
// Shutdown has begun: later termination signals are ignored for the rest of the process.
void ignoreTerminationSignals();

// Reports the termination signals caught (see catchTerminationSignals(), which it calls when that
// has not been done) as terminationRequested on the event loop, one instance at a time. The
// handling stays in place when the object goes.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // False when the handlers could not be installed.
    bool active() const { return m_active; }

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    bool m_active = false;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace unixsystem

#pragma once
// Unix only: what the gateway needs of the operating system beyond Qt. On other systems these do
// nothing.
//
// - Many radio users mean many cluster sockets, so the limit on open files is raised as far as
//   the system allows.
// - A service manager or a terminal stops the program with SIGTERM, SIGINT or SIGHUP. The signal
//   handler only writes one byte to a socket pair; the event loop reads it and reports the signal
//   as a Qt signal, where the window can close in an orderly way.
#include <QObject>

class QSocketNotifier;

namespace unixsystem {

// Raises the soft limit on open files to the hard limit. Returns the soft limit in force
// afterwards, or -1 when it cannot be read (or on systems without such limits).
long long raiseOpenFileLimit();

// Catches SIGTERM, SIGINT and SIGHUP for its lifetime (one instance at a time) and reports each
// as terminationRequested on the event loop. The previous handlers are restored on destruction.
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

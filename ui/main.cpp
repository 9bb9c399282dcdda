// Program entry: creates and shows the main window, whose start-up sequence starts the gateway,
// and runs the event loop until the last window is gone.
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/UnixSystem.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QSessionManager>

int main(int argc, char** argv) {
    // A termination signal from the first moment on ends the program in order, never by the
    // signal itself.
    unixsystem::catchTerminationSignals();
    // One socket per radio user: allow as many open files as the system lets us.
    unixsystem::raiseOpenFileLimit();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pktgate"));

    // The gateway's files lie beside its executable.
    const QString directory = QCoreApplication::applicationDirPath();
    ErrorLog log(directory);
    Settings settings;
    MainWindow window(settings, log, directory, Timing(), {}, {}, MainWindow::Relay::OwnThread);

    // A service manager or a terminal ending the program, and the desktop session ending, close
    // the window with a reason other than the user's: no question, no save, the end logged.
    unixsystem::TerminationSignals termination;
    QObject::connect(&termination, &unixsystem::TerminationSignals::terminationRequested, &window,
                     [&window](int) {
                         // Shutdown begins: whatever comes later is ignored.
                         unixsystem::ignoreTerminationSignals();
                         window.closeWithReason(MainWindow::ByTaskManager);
                     });
#ifndef QT_NO_SESSIONMANAGER
    QObject::connect(
        &app, &QGuiApplication::commitDataRequest, &window,
        [&window](QSessionManager&) { window.closeWithReason(MainWindow::BySession); });
#endif

    window.start();
    window.show();
    const int rc = QApplication::exec();
    unixsystem::ignoreTerminationSignals();
    return rc;
}

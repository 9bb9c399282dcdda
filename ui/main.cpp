// Program entry: creates and shows the main window, whose load step starts the gateway, and runs
// the event loop until the last window is gone.
#include "ui/UnixSystem.h"
#include "ui/frmAGW.h"

#include <QApplication>
#include <QSessionManager>

int main(int argc, char** argv) {
    // One socket per radio user: allow as many open files as the system lets us.
    unixsystem::raiseOpenFileLimit();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pktgate"));

    frmAGW window;

    // A service manager or a terminal ending the program, and the desktop session ending, close
    // the window with a reason other than the user's: no question, no save, the end logged.
    unixsystem::TerminationSignals termination;
    QObject::connect(&termination, &unixsystem::TerminationSignals::terminationRequested, &window,
                     [&window](int) { window.closeWithReason(frmAGW::ByTaskManager); });
#ifndef QT_NO_SESSIONMANAGER
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager&) { window.closeWithReason(frmAGW::BySession); });
#endif

    window.Form_Load();
    window.show();
    return QApplication::exec();
}

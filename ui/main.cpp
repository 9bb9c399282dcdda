// Program entry: reads the command line, then runs the gateway with its window, or without one
// (service/Headless.h) when asked to or when there is no display to show it on, or only probes
// the engine and the node (service/Probe.h).
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/UnixSystem.h"
#include "service/GatewayRun.h"
#include "service/Headless.h"
#include "service/Probe.h"
#include "service/ProgramOptions.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QSessionManager>
#include <cstdio>

namespace {

// Room in the descriptor table made at the start, before any thread: enough for 8,000 users
// and the program's own; a larger gateway grows it as it goes.
constexpr long long kReservedDescriptors = 8192;

void print(FILE* to, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
    std::fflush(to);
}

// The window's run: the main window, whose start-up sequence starts the gateway, until the last
// window is gone.
int runWindow(int& argc, char** argv, const ProgramOptions& options) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pktgate"));

    const QString directory = runDirectory(options);
    ErrorLog log(directory);
    Settings settings;
    MainWindow window(settings, log, directory);
    if (!window.run().applyOptions(options)) return 1;
#ifndef QT_NO_SESSIONMANAGER
    // The desktop session ending, like a termination signal from a service manager or a
    // terminal, closes the window with a reason other than the user's: no question, no save, the
    // end logged.
    QObject::connect(
        &app, &QGuiApplication::commitDataRequest, &window,
        [&window](QSessionManager&) { window.closeWithReason(MainWindow::BySession); });
#endif
    window.start();
    window.show();
    return GatewayRun::exec([&window] { window.closeWithReason(MainWindow::ByTaskManager); });
}

} // namespace

int main(int argc, char** argv) {
    // A termination signal from the first moment on ends the program in order, never by the
    // signal itself.
    unixsystem::catchTerminationSignals();
    // One socket per radio user: allow as many open files as the system lets us.
    unixsystem::raiseOpenFileLimit();
    unixsystem::reserveDescriptors(kReservedDescriptors);

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    ProgramOptions options;
    QString message;
    switch (parseProgramOptions(arguments, options, message)) {
    case OptionsResult::Help:
        print(stdout, message);
        return 0;
    case OptionsResult::Version:
        print(stdout, message + QLatin1Char('\n'));
        return 0;
    case OptionsResult::Error:
        print(stderr, QStringLiteral("pktgate: %1\n\n%2").arg(message, programUsage()));
        return 2;
    case OptionsResult::Run:
        break;
    }
    if (!options.directory.isEmpty()) {
        const QString why = unusableDirectory(options.directory);
        if (!why.isEmpty()) {
            print(stderr, QStringLiteral("pktgate: --dir: %1\n").arg(why));
            return 2;
        }
    }
    // The probe, like the headless run, needs no window system.
    if (options.probe) return runProbe(argc, argv, options);
    if (!options.headless &&
        !displayAvailable(options.platform, QProcessEnvironment::systemEnvironment())) {
        print(stderr, QStringLiteral("pktgate: no display (neither DISPLAY nor WAYLAND_DISPLAY is "
                                     "set): running headless, as with --headless\n"));
        options.headless = true;
    }
    if (options.headless) return runHeadless(argc, argv, options);
    return runWindow(argc, argv, options);
}

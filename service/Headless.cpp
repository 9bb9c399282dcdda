#include "service/Headless.h"

#include "config/ConfigFile.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/EpollDispatcher.h"
#include "net/Platform.h"
#include "net/UnixSystem.h"
#include "relay/Gateway.h"
#include "service/StatusServer.h"

#include <QCoreApplication>
#include <cstdio>

int runHeadless(int& argc, char** argv, const ProgramOptions& options) {
    // Before the application object: the main thread carries the relay's sockets and timers.
    if (QAbstractEventDispatcher* epoll = makeEpollDispatcher())
        QCoreApplication::setEventDispatcher(epoll);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pktgate"));

    const QString directory =
        options.directory.isEmpty() ? QCoreApplication::applicationDirPath() : options.directory;
    ErrorLog log(directory);
    log.setEcho(true);
    Settings settings;
    NullMonitor monitor;
    Gateway gateway(settings, log, monitor);
    gateway.setAllPorts(options.allPorts);
    gateway.setFrameLimit(options.maxOutstanding);
    gateway.addRefusedCalls(options.refusedCalls);
    gateway.setProxySource(options.proxySource);
    if (options.status) {
        QString error;
        const StatusServer* status = openStatusServer(gateway, log, *options.status, error);
        if (!status) {
            std::fprintf(stderr, "pktgate: %s\n", qPrintable(error));
            return 1;
        }
        std::fprintf(stderr, "pktgate: status page on http://%s/\n",
                     qPrintable(addressText(options.status->address, status->port())));
    }

    unixsystem::TerminationSignals termination;
    QObject::connect(
        &termination, &unixsystem::TerminationSignals::terminationRequested, &app, [&](int) {
            // Shutdown begins: whatever comes later is ignored.
            unixsystem::ignoreTerminationSignals();
            gateway.shutdown();
            log.writeLast(QStringLiteral("Program terminated"), dateTimeText(log.clock().now()));
            QCoreApplication::quit();
        });

    // No window to take a frame or show a title.
    startUp(gateway, settings, settingsFilePath(directory), log, everyFrameValue);
    const int rc = QCoreApplication::exec();
    unixsystem::ignoreTerminationSignals();
    return rc;
}

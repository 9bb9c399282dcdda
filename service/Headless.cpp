#include "service/Headless.h"

#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/Platform.h"
#include "relay/Gateway.h"
#include "service/GatewayRun.h"

#include <QCoreApplication>

int runHeadless(int& argc, char** argv, const ProgramOptions& options) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pktgate"));

    const QString directory = runDirectory(options);
    ErrorLog log(directory);
    log.setEcho(true);
    Settings settings;
    NullMonitor monitor;
    GatewayRun run(settings, log, monitor, directory);
    if (!run.applyOptions(options)) return 1;
    // No window to take a frame or show a title.
    run.start(everyFrameValue);
    return GatewayRun::exec([&] {
        run.gateway().shutdown();
        log.writeLast(QStringLiteral("Program terminated"), dateTimeText(log.clock().now()));
        QCoreApplication::quit();
    });
}

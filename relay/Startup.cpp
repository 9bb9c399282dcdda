#include "relay/Startup.h"

#include "config/ConfigFile.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/DescriptorBudget.h"
#include "net/Failure.h"
#include "net/Platform.h"
#include "net/SingleByte.h"
#include "net/UnixSystem.h"
#include "relay/CallPolicy.h"
#include "relay/Gateway.h"

#include <QDir>
#include <QFileInfo>

StartedUp startUp(Gateway& gateway, Settings& settings, const QString& settingsPath, ErrorLog& log,
                  FrameRule takes) {
    StartedUp shown;
    try {
        log.write(QStringLiteral("Program Started"), dateTimeText(log.clock().now()));
        // One descriptor per radio user: what the system allows is worth knowing.
        if (const long long limit = unixsystem::openFileLimit(); limit >= 0)
            log.write(QStringLiteral("Open files"),
                      QStringLiteral("limit ") + QString::number(limit) + QStringLiteral(", ") +
                          QString::number(DescriptorBudget::kHeadroom) +
                          QStringLiteral(" of them kept for the program"));
        // The callsigns never to log in, from the file beside the settings, before any user can
        // connect.
        gateway.addRefusedCalls(readRefusedCallsFile(
            QFileInfo(settingsPath).dir().filePath(QLatin1String(RefusedCalls::kFileName)), log));
        if (const int n = gateway.status().refusedCalls; n > 0)
            log.write(
                QStringLiteral("Refused calls"),
                QString::number(n) +
                    (n == 1 ? QStringLiteral(" callsign is") : QStringLiteral(" callsigns are")) +
                    QStringLiteral(" never logged in, besides the cluster callsign"));
        shown.frame = readSettingsFile(settingsPath, settings, log, takes);
        // The cluster node's address is fixed for the run from here on. It is taken before the
        // link opens: on a relay thread of its own the link may be up, and users connecting,
        // before this thread goes on. A bad port leaves its address as it was; a bad node port
        // still leaves the link open, users refused.
        gateway.reconfigure(settings);
        // The file's callsign is single-byte: its bytes give back its text.
        shown.titleSuffix = QLatin1Char(' ') + QLatin1String(kProgramVersion) + QLatin1Char(' ') +
                            fromSingleByte(settings.clusterCall.bytes());
        if (!settings.agwPort.isEmpty() && !settings.agwPort.number())
            throw Failure(settings.agwPort.problem());
        gateway.openLink();
        shown.linkOpened = true;
        if (!settings.clusterPort.isEmpty() && !settings.clusterPort.number())
            throw Failure(settings.clusterPort.problem());
    } catch (const std::exception&) {
        log.write(QStringLiteral("Form_Load"), QString());
    }
    return shown;
}

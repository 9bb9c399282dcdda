#include "relay/Startup.h"

#include "config/ConfigFile.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/DescriptorBudget.h"
#include "net/Failure.h"
#include "net/Platform.h"
#include "net/UnixSystem.h"
#include "relay/CallPolicy.h"
#include "relay/Gateway.h"

#include <QDir>
#include <QFileInfo>
#include <exception>

quint16 portNumber(const QString& text) {
    // "abc" would otherwise be port 0.
    if (!beginsWithNumber(text))
        throw Failure(QStringLiteral("Invalid property value (port \"%1\")").arg(text));
    const qint32 n = toInt32(text);
    if (n < 0 || n > 65535)
        throw Failure(QStringLiteral("Invalid property value (port ") + QString::number(n) +
                      QLatin1Char(')'));
    return static_cast<quint16>(n);
}

void startUp(Gateway& gateway, Settings& settings, const QString& settingsPath, ErrorLog& log,
             WindowHost& window) {
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
        readSettingsFile(settingsPath, settings, window, log);
        gateway.applySettings(settings);
        window.setTitle(window.title() + QLatin1Char(' ') + QLatin1String(kProgramVersion) +
                        QLatin1Char(' ') + settings.clusterCall);
        if (!settings.agwIp.isEmpty()) gateway.setEngineHost(settings.agwIp);
        if (!settings.agwPort.isEmpty()) gateway.setEnginePort(portNumber(settings.agwPort));
        // The cluster node's address is fixed for the run from here on. It is taken before the
        // link opens: on a relay thread of its own the link may be up, and users connecting,
        // before this thread goes on. A bad one still leaves the link open, users refused.
        std::exception_ptr nodeFailure;
        try {
            NodeAddress node{QStringLiteral("127.0.0.1"), 8000};
            if (!settings.clusterIp.isEmpty()) node.host = settings.clusterIp;
            if (!settings.clusterPort.isEmpty()) node.port = portNumber(settings.clusterPort);
            gateway.setNodeAddress(node);
        } catch (const std::exception&) {
            nodeFailure = std::current_exception();
        }
        gateway.openLink();
        window.setBytesCount(QStringLiteral("0"));
        if (nodeFailure) std::rethrow_exception(nodeFailure);
    } catch (const std::exception&) {
        log.write(QStringLiteral("Form_Load"), QString());
    }
}

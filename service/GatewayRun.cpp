#include "service/GatewayRun.h"

#include "config/ConfigFile.h"
#include "net/UnixSystem.h"
#include "relay/Gateway.h"
#include "relay/RelayThread.h"
#include "relay/Startup.h"
#include "service/StatusServer.h"

#include <QCoreApplication>
#include <cstdio>

namespace {

void sayOnStderr(const QString& text) {
    const QByteArray bytes = QStringLiteral("pktgate: %1\n").arg(text).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

QString runDirectory(const ProgramOptions& options) {
    return options.directory.isEmpty() ? QCoreApplication::applicationDirPath() : options.directory;
}

GatewayRun::GatewayRun(Settings& settings, ErrorLog& log, Monitor& monitor,
                       const QString& directory, const Timing& timing, SocketFactory agwSockets,
                       SocketFactory nodeSockets)
    : m_settings(settings), m_log(log), m_settingsPath(settingsFilePath(directory)),
      m_relay(std::make_unique<RelayThread>(settings, log, monitor, timing, std::move(agwSockets),
                                            std::move(nodeSockets))) {}

GatewayRun::~GatewayRun() = default;

Gateway& GatewayRun::gateway() {
    return m_relay->gateway();
}

bool GatewayRun::applyOptions(const ProgramOptions& options) {
    Gateway& gateway = m_relay->gateway();
    gateway.setAllPorts(options.allPorts);
    gateway.setFrameLimit(options.maxOutstanding);
    gateway.addRefusedCalls(options.refusedCalls);
    gateway.setProxySource(options.proxySource);
    if (!options.status) return true;
    QString error;
    const StatusServer* status = openStatusServer(gateway, m_log, *options.status, error);
    if (!status) {
        sayOnStderr(error);
        return false;
    }
    sayOnStderr(QStringLiteral("status page on http://%1/")
                    .arg(addressText(options.status->address, status->port())));
    return true;
}

StartedUp GatewayRun::start(FrameRule takes) {
    return startUp(m_relay->gateway(), m_settings, m_settingsPath, m_log, takes);
}

int GatewayRun::exec(const std::function<void()>& end) {
    unixsystem::TerminationSignals termination;
    QObject::connect(&termination, &unixsystem::TerminationSignals::terminationRequested,
                     QCoreApplication::instance(), [&end](int) {
                         // Shutdown begins: whatever comes later is ignored.
                         unixsystem::ignoreTerminationSignals();
                         end();
                     });
    const int rc = QCoreApplication::exec();
    unixsystem::ignoreTerminationSignals();
    return rc;
}

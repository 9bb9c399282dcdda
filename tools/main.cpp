// pktgate-sim: plays the AGW packet engine (with simulated radio users) and the cluster node
// for the gateway, on 127.0.0.1.
#include "tools/Simulator.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_signalFds[2] = {-1, -1};

void onSignal(int) {
    const char b = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalFds[0], &b, 1);
}

void printLine(const QString& line, FILE* to = stdout) {
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fflush(to);
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pktgate-sim"));

    sim::SimOptions options;
    QString message;
    switch (sim::parseSimOptions(QCoreApplication::arguments(), options, message)) {
    case sim::ParseResult::Help:
        printLine(message.trimmed());
        return 0;
    case sim::ParseResult::Error:
        printLine(QStringLiteral("pktgate-sim: %1").arg(message), stderr);
        printLine(QStringLiteral("Try 'pktgate-sim --help' for the options."), stderr);
        return 2;
    case sim::ParseResult::Run:
        break;
    }

    // Ctrl-C and SIGTERM end the run through the event loop, so the summary gets printed.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFds) != 0) {
        printLine(QStringLiteral("pktgate-sim: cannot set up signal handling"), stderr);
        return 1;
    }
    QSocketNotifier signalNotifier(g_signalFds[1], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char b;
        [[maybe_unused]] const ssize_t n = ::read(g_signalFds[1], &b, 1);
        QCoreApplication::quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    sim::Simulator simulator(options);
    QObject::connect(&simulator, &sim::Simulator::output, &app,
                     [](const QString& line) { printLine(line); });
    QObject::connect(&simulator, &sim::Simulator::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QString error;
    if (!simulator.start(error)) {
        printLine(QStringLiteral("pktgate-sim: %1").arg(error), stderr);
        return 1;
    }
    if (options.duration > 0)
        QTimer::singleShot(qint64(options.duration * 1000), &app, &QCoreApplication::quit);

    app.exec();
    printLine(simulator.summary());
    if (!simulator.writeReport(error)) {
        printLine(QStringLiteral("pktgate-sim: %1").arg(error), stderr);
        return 1;
    }
    return 0;
}

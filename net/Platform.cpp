#include "net/Platform.h"

#include <QCoreApplication>
#include <QThread>

namespace platform {
namespace {
std::function<QDateTime()>& clockSource() {
    static std::function<QDateTime()> source;
    return source;
}
QString& appDirOverride() {
    static QString dir;
    return dir;
}
} // namespace

Timing& timing() {
    static Timing t;
    return t;
}

void sleepMs(int ms) {
    if (ms > 0) QThread::msleep(static_cast<unsigned long>(ms));
}

QDateTime now() {
    const auto& source = clockSource();
    return source ? source() : QDateTime::currentDateTime();
}

void setClock(std::function<QDateTime()> clock) {
    clockSource() = std::move(clock);
}

QString appDir() {
    const QString& dir = appDirOverride();
    if (!dir.isEmpty()) return dir;
    if (QCoreApplication::instance()) return QCoreApplication::applicationDirPath();
    return QStringLiteral(".");
}

void setAppDir(const QString& dir) {
    appDirOverride() = dir;
}

} // namespace platform

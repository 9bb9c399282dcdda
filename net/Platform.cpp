#include "net/Platform.h"

#include <QThread>

namespace platform {
namespace {
std::function<QDateTime()>& clockSource() {
    static std::function<QDateTime()> source;
    return source;
}
} // namespace

void sleepMs(int ms) {
    if (ms > 0) QThread::msleep(static_cast<unsigned long>(ms));
}

QDateTime now() {
    const auto& source = clockSource();
    return source ? source() : QDateTime::currentDateTime();
}

QDateTime nowUtc() {
    const auto& source = clockSource();
    return source ? source().toUTC() : QDateTime::currentDateTimeUtc();
}

void setClock(std::function<QDateTime()> clock) {
    clockSource() = std::move(clock);
}

} // namespace platform

#include "net/Platform.h"

#include <QThread>

namespace platform {

void sleepMs(int ms) {
    if (ms > 0) QThread::msleep(static_cast<unsigned long>(ms));
}

} // namespace platform

QDateTime WallClock::now() const {
    return m_source ? m_source() : QDateTime::currentDateTime();
}

QDateTime WallClock::nowUtc() const {
    return m_source ? m_source().toUTC() : QDateTime::currentDateTimeUtc();
}

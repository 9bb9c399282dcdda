#include "relay/StatusBoard.h"

#include <QDeadlineTimer>
#include <chrono>

namespace {

qint64 steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

StatusBoard::Snapshot StatusBoard::latest(qint64* ageMs) const {
    QMutexLocker lock(&m_mutex);
    if (ageMs) *ageMs = ageLocked();
    return m_latest;
}

StatusBoard::Snapshot StatusBoard::recent(int maxAgeMs, int waitMs) {
    QMutexLocker lock(&m_mutex);
    if (m_latest && ageLocked() <= maxAgeMs) return m_latest;
    const quint64 before = m_serial;
    if (!m_asked && m_ask) {
        m_asked = true;
        m_ask();
    }
    QDeadlineTimer deadline(waitMs);
    while (m_serial == before && m_ask && !deadline.hasExpired())
        m_published.wait(&m_mutex, deadline);
    return m_latest;
}

void StatusBoard::publish(GatewayStatus status) {
    auto snapshot = std::make_shared<const GatewayStatus>(std::move(status));
    QMutexLocker lock(&m_mutex);
    m_latest = std::move(snapshot);
    m_takenMs = steadyMs();
    ++m_serial;
    m_asked = false;
    m_published.wakeAll();
}

void StatusBoard::setRequester(std::function<void()> ask) {
    QMutexLocker lock(&m_mutex);
    m_ask = std::move(ask);
    m_asked = false;
    m_published.wakeAll();
}

qint64 StatusBoard::ageLocked() const {
    return m_latest ? steadyMs() - m_takenMs : -1;
}

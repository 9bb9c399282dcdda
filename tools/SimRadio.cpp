#include "tools/SimRadio.h"

namespace sim {

double airMs(const RadioTiming& t, qint64 bytes) {
    if (t.baud <= 0) return 0;
    return double(bytes) * 8.0 * t.bitStuffing * 1000.0 / double(t.baud);
}

double RadioLink::startBurst() {
    if (!m_onAir.isEmpty() || m_queue.isEmpty()) return -1;
    const qsizetype n = qMin<qsizetype>(qMax(1, m_timing.window), m_queue.size());
    qint64 bytes = 0;
    for (qsizetype i = 0; i < n; ++i) {
        bytes += m_queue[i].size() + m_timing.frameOverheadBytes;
        m_onAir.append(m_queue[i]);
    }
    m_queue.remove(0, n);
    return airMs(m_timing, bytes) + m_timing.txDelayMs + airMs(m_timing, m_timing.ackBytes);
}

QList<QByteArray> RadioLink::finishBurst() {
    QList<QByteArray> aired;
    aired.swap(m_onAir);
    return aired;
}

void RadioLink::clear() {
    m_queue.clear();
    m_onAir.clear();
}

double airTimeMs(const RadioTiming& t, const QList<qsizetype>& frameSizes) {
    RadioLink link(t);
    for (const qsizetype n : frameSizes)
        link.enqueue(QByteArray(n, 'x'));
    double total = 0;
    for (double burst; (burst = link.startBurst()) >= 0; link.finishBurst())
        total += t.txDelayMs + burst;
    return total;
}

} // namespace sim

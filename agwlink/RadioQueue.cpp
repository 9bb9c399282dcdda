#include "agwlink/RadioQueue.h"

#include "agwlink/TextCutter.h"

#include <algorithm>

void RadioQueue::hold(QByteArrayView nodeText) {
    if (m_pos > 0 && m_pos >= m_held.size() / 2) {
        // What went is dropped once it is at least what is left: the cost of what is left.
        m_held.remove(0, m_pos);
        m_pos = 0;
    }
    m_held += toRadioText(nodeText, &m_afterCr);
}

QList<QByteArray> RadioQueue::take(int packetLength, int limit) {
    if (heldBytes() == 0 || (limit > 0 && m_unknown)) return {};
    const qsizetype room = limit <= 0 ? -1 : std::max(0, limit - m_outstanding);
    if (room == 0) return {};
    QList<QByteArray> pieces =
        cutRadioText(QByteArrayView(m_held).sliced(m_pos), packetLength, room);
    for (const QByteArray& p : pieces)
        m_pos += p.size();
    if (m_pos == m_held.size()) {
        m_held.clear();
        m_pos = 0;
    }
    return pieces;
}

void RadioQueue::sent(const QList<QByteArray>& pieces, qsizetype count) {
    for (qsizetype i = 0; i < count && i < pieces.size(); ++i) {
        const int size = int(pieces[i].size());
        m_sizes.push_back(size);
        m_sizesBytes += size;
        m_sentBytes += quint64(size);
    }
    m_sentFrames += quint64(count);
    m_outstanding += int(count);
    if (count > 0) m_everSent = true;
}

void RadioQueue::asked() {
    m_askedAt = m_sentFrames;
    m_askedFirst = !m_everSent;
}

void RadioQueue::answered(quint32 frames, qint64 nowMs) {
    // Only a count taken before anything went to the user holds nothing but frames of a link
    // before; later the count is the user's own (the link became paced after the user came).
    if (!m_offset)
        m_offset = m_askedFirst && m_askedAt ? frames : 0;
    else if (frames < *m_offset)
        m_offset = frames;
    // The answer counts what was handed over before the question; what went since comes on top.
    const quint64 since = m_askedAt ? m_sentFrames - *m_askedAt : 0;
    m_askedAt.reset();
    m_unknown = false;
    const bool wasBusy = m_outstanding > 0;
    m_outstanding = int(std::min<quint64>(quint64(frames - *m_offset) + since, 1u << 20));
    // The frames that left the engine left oldest first.
    while (qsizetype(m_sizes.size()) > m_outstanding) {
        m_sizesBytes -= m_sizes.front();
        m_airedBytes += quint64(m_sizes.front());
        m_sizes.pop_front();
    }
    const qint64 dt = m_lastAnswerMs < 0 ? 0 : nowMs - m_lastAnswerMs;
    if (wasBusy && dt >= 400 && m_airedBytes > m_airedAtAnswer) {
        const double rate = double(m_airedBytes - m_airedAtAnswer) * 1000.0 / double(dt);
        m_bytesPerSecond = m_bytesPerSecond > 0 ? 0.7 * m_bytesPerSecond + 0.3 * rate : rate;
    }
    if (!wasBusy || dt >= 400) {
        m_lastAnswerMs = nowMs;
        m_airedAtAnswer = m_airedBytes;
    }
}

qsizetype RadioQueue::waitingBytes() const {
    return heldBytes() + m_sizesBytes;
}

double RadioQueue::airSeconds() const {
    const double rate = m_bytesPerSecond > 0 ? m_bytesPerSecond : kDefaultBytesPerSecond;
    return double(waitingBytes()) / rate;
}

void RadioQueue::clear() {
    *this = RadioQueue();
}

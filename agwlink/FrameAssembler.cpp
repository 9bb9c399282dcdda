#include "agwlink/FrameAssembler.h"

#include "agwlink/AgwFrame.h"

void FrameAssembler::append(QByteArrayView arrival) {
    if (m_pos > 0) {
        // What is left is at most the start of one frame: dropping the consumed front costs no
        // more than that.
        m_buf.remove(0, m_pos);
        m_pos = 0;
    }
    m_buf.append(arrival.data(), arrival.size());
}

FrameAssembler::Next FrameAssembler::next(QByteArrayView& frame, quint32* announced) {
    const qsizetype avail = buffered();
    if (avail < kAgwHeaderSize) return Next::NeedMore;
    const char* p = m_buf.constData() + m_pos;
    const quint32 len = readDataLen(p);
    if (announced) *announced = len;
    if (len > kMaxDataLen) return Next::Oversize;
    const qsizetype total = kAgwHeaderSize + static_cast<qsizetype>(len);
    if (avail < total) return Next::NeedMore;
    frame = QByteArrayView(p, total);
    m_pos += total;
    return Next::Frame;
}

void FrameAssembler::clear() {
    m_buf.clear();
    m_pos = 0;
}

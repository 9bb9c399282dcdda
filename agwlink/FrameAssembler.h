#pragma once
// Receive reassembly: the bytes the engine sends are fed in as they arrive, and whole frames are
// taken off the front. Taking a frame costs O(frame): the buffer is not copied per frame; the
// consumed front is dropped only when the next arrival is merged.
#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

class FrameAssembler {
public:
    // No engine sends frames anywhere near this size; a header that announces more means the
    // link has lost its frame alignment.
    static constexpr quint32 kMaxDataLen = 65536;

    enum class Next {
        Frame,    // `frame` holds the next whole frame (header and data)
        NeedMore, // the buffer holds nothing or only the start of a frame
        Oversize, // the next header announces more than kMaxDataLen data bytes
    };

    // Merges one arrival into the buffer.
    void append(QByteArrayView arrival);
    // Takes the next whole frame off the front. The view stays valid until the next append()
    // or clear(). On Oversize nothing is taken; `announced` (if given) receives the DataLen.
    Next next(QByteArrayView& frame, quint32* announced = nullptr);
    // True while the buffer holds the start of a frame whose rest has not arrived.
    bool partial() const { return buffered() > 0; }
    qsizetype buffered() const { return m_buf.size() - m_pos; }
    void clear();

private:
    QByteArray m_buf;
    qsizetype m_pos = 0; // start of the unconsumed bytes
};

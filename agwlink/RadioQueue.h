#pragma once
// What waits for one radio user on the way from the node: the text the engine has not been given
// yet, and what is known of the frames the engine still holds for the user.
//
// The engine tells how many of a user's frames it holds when asked ("Y"). Between its answers the
// frames handed over since the question count too. An engine may report a few frames too many
// for a user who has just connected again (those of the link before); the count at the user's
// connect is taken as an offset, lowered by every answer below it.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <deque>
#include <optional>

class RadioQueue {
public:
    // What a frame of text airs at until a rate has been seen: about 95 bytes of text a second,
    // a 1200-baud radio link.
    static constexpr double kDefaultBytesPerSecond = 95.0;

    // Node text for the user, held in radio form until it is handed over.
    void hold(QByteArrayView nodeText);
    qsizetype heldBytes() const { return m_held.size() - m_pos; }

    // The pieces to hand over now, cut from what is held and taken from it: all of it when
    // `limit` is 0 (unpaced); otherwise no more pieces than leave the engine `limit` frames.
    QList<QByteArray> take(int packetLength, int limit);
    // These pieces went to the engine (on a paced link; on an unpaced one only that something
    // went is noted).
    void sent(const QList<QByteArray>& pieces, qsizetype count);
    void sentUnpaced() { m_everSent = true; }

    // The engine was asked for the user's frames outstanding; its answer, at nowMs (any
    // monotonic clock in milliseconds).
    void asked();
    bool asking() const { return m_askedAt.has_value(); }
    void answered(quint32 frames, qint64 nowMs);
    // The engine's count is to be taken anew as the offset (the user connected again).
    void forgetOffset() { m_offset.reset(); }
    // Frames went to the engine before the link was paced: nothing more goes until the engine
    // has said how many it holds.
    void countUnknown() { m_unknown = m_everSent; }

    // Frames the engine holds for the user, as far as is known.
    int outstanding() const { return m_outstanding; }
    // Bytes that wait: held, and in the frames the engine holds.
    qsizetype waitingBytes() const;
    // Seconds the radio needs for what waits, at the rate seen so far.
    double airSeconds() const;
    // Text waits for room in the engine, or what the engine holds is not known.
    bool waiting() const { return heldBytes() > 0 || m_unknown; }

    // Everything dropped: the user has gone.
    void clear();

private:
    QByteArray m_held; // from m_pos on
    qsizetype m_pos = 0;
    bool m_afterCr = false; // the node's text so far ended in a CR
    int m_outstanding = 0;
    quint64 m_sentFrames = 0, m_sentBytes = 0;
    std::optional<quint64> m_askedAt; // frames sent when the unanswered question went out
    bool m_everSent = false;          // frames went to the engine, paced or not
    bool m_unknown = false;           // what the engine holds is not known yet
    bool m_askedFirst = false;        // the unanswered question went out before any frame
    std::optional<quint32> m_offset;
    std::deque<int> m_sizes; // the sizes of the frames the engine may still hold, oldest first
    qsizetype m_sizesBytes = 0;
    // The rate the engine's frames leave at: bytes aired since the last answer, and when.
    qint64 m_lastAnswerMs = -1;
    quint64 m_airedBytes = 0, m_airedAtAnswer = 0;
    double m_bytesPerSecond = 0;
};

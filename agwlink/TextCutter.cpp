#include "agwlink/TextCutter.h"

#include <algorithm>
#include <cstring>

QList<QByteArray> cutForAx25(const QByteArray& text, int packetLength) {
    QList<QByteArray> pieces;
    const qsizetype len = packetLength < 1 ? kDefaultPacketLength : packetLength;
    // Most of what a node sends is one line with its CR LF, a spot say: one piece, that line with
    // a CR, whenever it fits.
    const qsizetype n = text.size();
    if (n >= 2 && n - 1 <= len && text.endsWith("\r\n") &&
        !std::memchr(text.constData(), '\r', size_t(n - 2)) &&
        !std::memchr(text.constData(), '\n', size_t(n - 2))) {
        QByteArray piece(text.constData(), n - 1);
        piece[n - 2] = '\r';
        pieces.append(std::move(piece));
        return pieces;
    }
    return cutRadioText(toRadioText(text), packetLength);
}

QByteArray toRadioText(QByteArrayView text, bool* afterCr) {
    QByteArray out(text.size(), Qt::Uninitialized);
    char* p = out.data();
    bool cr = afterCr && *afterCr;
    for (const char c : text) {
        if (c == '\n') {
            // The LF of a CR LF: the CR has ended the line already.
            if (!cr) *p++ = '\r';
            cr = false;
            continue;
        }
        *p++ = c;
        cr = c == '\r';
    }
    out.truncate(p - out.constData());
    if (afterCr) *afterCr = cr;
    return out;
}

QList<QByteArray> cutRadioText(QByteArrayView text, int packetLength, qsizetype maxPieces) {
    QList<QByteArray> pieces;
    const qsizetype len = packetLength < 1 ? kDefaultPacketLength : packetLength;
    const char* const t = text.data();
    const qsizetype n = text.size();
    auto full = [&] { return maxPieces >= 0 && pieces.size() >= maxPieces; };
    // The text is a run of lines, each ended by its CR, and perhaps a last line without one.
    // Lines are gathered from `start` to `end`.
    qsizetype start = 0;
    while (start < n && !full()) {
        qsizetype end = start;
        for (;;) {
            const void* cr = std::memchr(t + end, '\r', size_t(n - end));
            if (!cr) {
                // The last line, without a CR: it always goes out on its own.
                if (end == start) end = n;
                break;
            }
            end = static_cast<const char*>(cr) - t + 1;
            // Gather the next line too while it ends in a CR (it is not the last one) and
            // everything stays under packetLength - 2 characters.
            const void* next = std::memchr(t + end, '\r', size_t(n - end));
            if (!next || static_cast<const char*>(next) - (t + end) + (end - start) >= len - 2)
                break;
        }
        for (; start < end && !full(); start = qMin(start + len, end))
            pieces.append(QByteArray(t + start, qMin(len, end - start)));
    }
    return pieces;
}

QByteArray toNodeText(QByteArrayView data) {
    // Sized once, and written byte by byte without a call per byte.
    QByteArray out(data.size() + std::count(data.begin(), data.end(), '\r'), Qt::Uninitialized);
    char* p = out.data();
    bool cr = false; // the last byte kept was a CR, whose LF went with it
    for (const char c : data) {
        if (c == '\0') continue;
        if (c == '\n' && cr) {
            cr = false;
            continue;
        }
        *p++ = c;
        cr = c == '\r';
        if (cr) *p++ = '\n';
    }
    out.truncate(p - out.constData());
    return out;
}

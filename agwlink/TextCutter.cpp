#include "agwlink/TextCutter.h"

#include <algorithm>
#include <cstring>

namespace {
void flush(QList<QByteArray>& pieces, const QByteArray& buffer, qsizetype len) {
    for (qsizetype at = 0; at < buffer.size(); at += len)
        pieces.append(buffer.mid(at, len));
}
} // namespace

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
    QByteArray noCr = text;
    noCr.replace('\r', QByteArray());
    if (noCr.isEmpty()) return pieces;
    const QList<QByteArray> elements = noCr.split('\n');
    const qsizetype last = elements.size() - 1;
    QByteArray buffer;
    for (qsizetype i = 0; i <= last; ++i) {
        const QByteArray& e = elements[i];
        if (i == last) {
            if (e.isEmpty()) continue;
            buffer += e;
        } else {
            buffer += e;
            buffer += '\r';
        }
        // Gather the next line too while it is not the last one and everything stays under
        // packetLength - 2 characters.
        if (i < last - 1 && elements[i + 1].size() + buffer.size() < len - 2) continue;
        flush(pieces, buffer, len);
        buffer.clear();
    }
    return pieces;
}

QByteArray toNodeText(QByteArrayView data) {
    // Sized once, and written byte by byte without a call per byte.
    QByteArray out(data.size() + std::count(data.begin(), data.end(), '\r'), Qt::Uninitialized);
    char* p = out.data();
    for (const char c : data) {
        if (c == '\0') continue;
        *p++ = c;
        if (c == '\r') *p++ = '\n';
    }
    out.truncate(p - out.constData());
    return out;
}

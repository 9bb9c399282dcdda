#include "agwlink/TextCutter.h"

namespace {
void flush(QList<QByteArray>& pieces, const QByteArray& buffer, qsizetype len) {
    for (qsizetype at = 0; at < buffer.size(); at += len)
        pieces.append(buffer.mid(at, len));
}
} // namespace

QList<QByteArray> cutForAx25(const QByteArray& text, int packetLength) {
    QList<QByteArray> pieces;
    const qsizetype len = packetLength < 1 ? kDefaultPacketLength : packetLength;
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
    QByteArray out;
    out.reserve(data.size() + data.size() / 8 + 2);
    for (const char c : data) {
        if (c == '\0') continue;
        out += c;
        if (c == '\r') out += '\n';
    }
    return out;
}

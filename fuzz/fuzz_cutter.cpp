// The text cutter and the user-to-node conversion under arbitrary text and packet lengths.
//
// Input: the first byte chooses the packet length (bit 7 clear: the byte's low bits minus 4,
// so -4 to 123; bit 7 set: the next four bytes as a little-endian signed 32-bit number); the rest
// is the text.
//
// Checked for cutForAx25, with len the packet length in force (130 when the setting is below 1):
// - every piece holds 1 to len bytes;
// - the pieces joined are the text with every line end (CR LF, CR alone, LF alone) one CR;
// - a line is cut only at full length: a piece that is not the last and does not end in CR holds
//   exactly len bytes;
// - lines share a piece only while they stay within len - 2 bytes;
// - the line after the last line end goes out in pieces of its own.
// Checked for toNodeText: the input without its zero bytes, with an LF after every CR that had
// none.
#include "agwlink/TextCutter.h"

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void fail(const char* what, int packetLength, const QByteArray& text) {
    std::fprintf(stderr, "fuzz_cutter: %s (packet length %d, text of %lld bytes)\n", what,
                 packetLength, static_cast<long long>(text.size()));
    std::abort();
}

void checkCutter(const QByteArray& text, int packetLength) {
    const qsizetype len = packetLength < 1 ? kDefaultPacketLength : packetLength;
    const QList<QByteArray> pieces = cutForAx25(text, packetLength);

    QByteArray expected = text;
    expected.replace("\r\n", "\n");
    expected.replace('\r', '\n');
    const qsizetype lastLf = expected.lastIndexOf('\n');
    const bool lastLineAlone = lastLf >= 0 && lastLf + 1 < expected.size();
    expected.replace('\n', '\r');

    QByteArray joined;
    bool lastLineStartsPiece = !lastLineAlone;
    for (qsizetype k = 0; k < pieces.size(); ++k) {
        const QByteArray& p = pieces[k];
        if (p.isEmpty()) fail("empty piece", packetLength, text);
        if (p.size() > len) fail("piece longer than the packet length", packetLength, text);
        if (k + 1 < pieces.size() && !p.endsWith('\r') && p.size() != len)
            fail("line cut short of the packet length", packetLength, text);
        const qsizetype crs = p.count('\r');
        if (crs > 1 || (crs == 1 && !p.endsWith('\r')))
            if (p.size() > len - 2)
                fail("lines gathered beyond packet length - 2", packetLength, text);
        if (joined.size() == lastLf + 1) lastLineStartsPiece = true;
        joined += p;
    }
    if (joined != expected) fail("pieces do not join to the converted text", packetLength, text);
    if (!lastLineStartsPiece) fail("last line merged with the lines before it", packetLength, text);
}

void checkNodeText(const QByteArray& data) {
    const QByteArray out = toNodeText(data);
    QByteArray expected = data;
    expected.replace(QByteArray(1, '\0'), QByteArray());
    expected.replace("\r\n", "\r");
    expected.replace("\r", "\r\n");
    if (out != expected) fail("node text differs from the data", 0, data);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    int packetLength = 0;
    size_t at = 1;
    if (data[0] & 0x80) {
        if (size < 5) return 0;
        uint32_t raw = 0;
        for (int b = 0; b < 4; ++b)
            raw |= static_cast<uint32_t>(data[1 + b]) << (8 * b);
        std::memcpy(&packetLength, &raw, sizeof packetLength);
        at = 5;
    } else {
        packetLength = static_cast<int>(data[0] & 0x7f) - 4;
    }
    const QByteArray text(reinterpret_cast<const char*>(data + at),
                          static_cast<qsizetype>(size - at));
    checkCutter(text, packetLength);
    checkNodeText(text);
    return 0;
}

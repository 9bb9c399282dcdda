#include "config/OutsideText.h"

QString withControlsShown(const QString& text, char16_t (*standIn)(char16_t)) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (!isControlChar(c)) continue;
        if (out.isNull()) out = text;
        out[i] = QChar(standIn(c));
    }
    return out.isNull() ? text : out;
}

QString escapedBytes(QByteArrayView bytes, QByteArrayView alsoEscaped) {
    static const char kHex[] = "0123456789abcdef";
    QString out;
    out.reserve(bytes.size() + 20);
    for (const char b : bytes) {
        const auto c = static_cast<uchar>(b);
        if (isControlChar(c) || c == '"' || c > 0x7E ||
            (!alsoEscaped.isEmpty() && alsoEscaped.contains(b))) {
            out += QLatin1Char('<');
            out += QLatin1Char(kHex[c >> 4]);
            out += QLatin1Char(kHex[c & 0xF]);
            out += QLatin1Char('>');
        } else {
            out += QLatin1Char(b);
        }
    }
    return out;
}

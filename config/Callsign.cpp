#include "config/Callsign.h"

#include <algorithm>

namespace {
constexpr bool isCallChar(char32_t c) {
    return c >= 0x21 && c <= 0x7E;
}
} // namespace

bool isUsableCall(QByteArrayView call) {
    return std::all_of(call.begin(), call.end(),
                       [](char c) { return isCallChar(static_cast<unsigned char>(c)); });
}

bool isUsableCall(QStringView call) {
    return std::all_of(call.begin(), call.end(), [](QChar c) { return isCallChar(c.unicode()); });
}

QByteArray normalCall(QByteArrayView call) {
    return call.toByteArray().toUpper();
}

QByteArrayView callBase(QByteArrayView call) {
    const qsizetype dash = call.indexOf('-');
    return dash < 0 ? call : call.first(dash);
}

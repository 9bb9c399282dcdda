#pragma once
// Text from outside the gateway (frame data, callsigns, what a radio user typed, the node's text,
// the engine's answers) is shown only with the characters that could break the place it is shown
// in replaced, one for one, by a visible stand-in. The rule is the same everywhere: no control
// character (below 0x20, and DEL) reaches a log line, the status page or a monitor row as it is.
// Each place chooses its stand-in and adds what else would break it there:
// - error.log, 8-bit with every entry in double quotes: <hh> for every control byte, the double
//   quote and every byte above 0x7E (escapedBytes(); outsideText() also cuts long text, and a
//   refused callsign has its blanks written so too, as they are what makes it unusable);
// - the status page: the HTML entities first, then the control pictures, U+2400 + c and U+2421 for
//   DEL (htmlText() in service/StatusPage.cpp);
// - the monitor's rows: a return arrow for CR, a downwards arrow for LF, a rightwards arrow for
//   tab, the replacement character for the rest, in the first 300 characters of a row (ui/);
// - the lines of --probe on standard output: C's notation (\r, \n, \t, \xhh) for control bytes
//   and bytes above 0x7E, the double quote and the backslash escaped (quotedBytes() in
//   service/Probe.cpp).
#include <QByteArrayView>
#include <QString>

constexpr bool isControlChar(char32_t c) {
    return c < 0x20 || c == 0x7F;
}

// text with every control character c replaced by standIn(c), the rest as it is; text itself (not
// copied) when it has none.
QString withControlsShown(const QString& text, char16_t (*standIn)(char16_t));

// bytes as error.log shows them: printable ASCII as it is; every control byte, double quote and
// byte above 0x7E, and each byte in alsoEscaped, written as <hh> (two lower-case hex digits).
QString escapedBytes(QByteArrayView bytes, QByteArrayView alsoEscaped = {});

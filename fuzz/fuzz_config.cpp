// The settings reader under arbitrary file contents, with the window's rule for its frame.
//
// The input is the whole content of pktgate.cfg. Reading may fail (the reader then stops, as
// "Readcfg" would log); it must never do anything worse. Whatever it read is then saved and read
// back, and that must give the same settings, except where the file format cannot hold a value:
// a text value is cut at its first double quote, single-byte converted, and comes back without
// surrounding blanks (the callsign also in upper case). Numbers and window geometry come back
// exactly, and from the second save on the file reads back as it was written.
#include "config/ConfigFile.h"
#include "net/Failure.h"

#include <QByteArray>
#include <QCoreApplication>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

// The window's frame: keeps what the file gives of it.
struct FakeWindow {
    WindowFrame frame{{1200, 1200, 9315, 13185}};
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_config: %s\n", what);
    std::abort();
}

bool isBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

// What a text value is after one save and read: cut at the first double quote, in single-byte
// form, without surrounding blanks.
QString afterRoundTrip(const QString& value) {
    const qsizetype quote = value.indexOf(QLatin1Char('"'));
    QString v = QString::fromLatin1(
        (quote < 0 ? value : value.first(quote)).toLatin1()); // unmappable characters become '?'
    qsizetype b = 0, e = v.size();
    while (b < e && isBlank(v.at(b)))
        ++b;
    while (e > b && isBlank(v.at(e - 1)))
        --e;
    return v.sliced(b, e - b);
}

bool sameFloat(double a, double b) {
    return static_cast<float>(a) == static_cast<float>(b);
}

void readInto(QByteArrayView content, Settings& s, FakeWindow& w, bool mustSucceed) {
    std::optional<QString> lastKey;
    QStringList corrections;
    FrameFromFile given;
    try {
        applySettingsText(content, s, given, lastKey, corrections);
    } catch (const std::exception&) {
        if (mustSucceed) fail("a file the gateway wrote does not read back");
    }
    for (size_t f = 0; f < 4; ++f)
        w.frame.twips[f] = given.twips[f].value_or(w.frame.twips[f]);
    if (mustSucceed && !corrections.isEmpty()) fail("a file the gateway wrote needs correcting");
    if (s.packetLength > kMaxPacketLength ||
        (s.packetLength >= 1 && s.packetLength < kMinPacketLength))
        fail("Packet Length read outside its range");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static int argc = 1;
    static char name[] = "fuzz_config";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView content(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // The field splitter alone, then the whole reader.
    const QStringList fields = settingsFields(content);
    if (fields.size() > static_cast<qsizetype>(size) + 1) fail("more fields than bytes");

    Settings first;
    first.packetLength = 130;
    FakeWindow w1;
    readInto(content, first, w1, false);

    // Whatever was read saves and reads back.
    const QByteArray saved = formatSettings(first, w1.frame);
    Settings second;
    FakeWindow w2;
    readInto(saved, second, w2, true);
    if (second.clusterCall.text() != afterRoundTrip(first.clusterCall.text()).toUpper())
        fail("Cluster Call changed on the way through the file");
    if (second.agwIp != afterRoundTrip(first.agwIp) ||
        second.agwPort.text() != afterRoundTrip(first.agwPort.text()) ||
        second.clusterIp != afterRoundTrip(first.clusterIp) ||
        second.clusterPort.text() != afterRoundTrip(first.clusterPort.text()))
        fail("a text setting changed on the way through the file");
    if (second.packetLength != first.packetLength ||
        second.keepAliveMinutes != first.keepAliveMinutes || second.configTop != first.configTop ||
        second.configLeft != first.configLeft)
        fail("a number changed on the way through the file");
    for (size_t f = 0; f < 4; ++f)
        if (!sameFloat(w1.frame.twips[f], w2.frame.twips[f]))
            fail("window geometry changed on the way");
    // From then on, saving and reading changes nothing.
    const QByteArray savedAgain = formatSettings(second, w2.frame);
    Settings third;
    FakeWindow w3;
    readInto(savedAgain, third, w3, true);
    if (formatSettings(third, w3.frame) != savedAgain)
        fail("a saved file does not read back as saved");
    return 0;
}

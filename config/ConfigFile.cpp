#include "config/ConfigFile.h"

#include "config/ErrorLog.h"
#include "config/Twips.h"
#include "net/Failure.h"
#include "net/SingleByte.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

bool isBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}
bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
bool isLineEnd(char c) {
    return c == '\r' || c == '\n';
}
bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Leading and trailing blanks removed.
QString trimBlanks(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.sliced(begin, end - begin);
}

QByteArrayView trimBlanks(QByteArrayView bytes) {
    qsizetype begin = 0;
    qsizetype end = bytes.size();
    while (begin < end && isBlank(bytes.at(begin)))
        ++begin;
    while (end > begin && isBlank(bytes.at(end - 1)))
        --end;
    return bytes.sliced(begin, end - begin);
}

QString overflowText(const QString& text) {
    return QStringLiteral("Overflow: \"%1\" is out of range").arg(trimBlanks(text));
}

// A text value as written: up to its first double quote, so that the line stays one pair.
QByteArray quotedText(const QString& value) {
    const qsizetype quote = value.indexOf(QLatin1Char('"'));
    return '"' + toSingleByte(quote < 0 ? value : value.first(quote)) + '"';
}

const char* const kFrameKeys[] = {"Top", "Left", "Height", "Width"};

// Applies one pair. Returns the log detail of a value the reader replaced (beginning with the
// key), nothing when the value was taken as it stands.
std::optional<QString> applyPair(const QString& key, const QString& value, Settings& s,
                                 FrameFromFile& frame, FrameRule takes) {
    if (key == QLatin1String("Cluster Call")) {
        s.clusterCall = CallsignSetting(callsignText(value));
    } else if (key == QLatin1String("AGW IP")) {
        s.agwIp = trimBlanks(value);
    } else if (key == QLatin1String("AGW Port")) {
        s.agwPort = PortSetting(trimBlanks(value));
    } else if (key == QLatin1String("Winsock IP")) {
        s.clusterIp = trimBlanks(value);
    } else if (key == QLatin1String("Winsock Port")) {
        s.clusterPort = PortSetting(trimBlanks(value));
    } else if (key == QLatin1String("Packet Length")) {
        const qint32 read = toInt32(value);
        // Below 1 it stays: the text cutter takes 130 for it.
        s.packetLength = read < 1 ? read : std::clamp(read, kMinPacketLength, kMaxPacketLength);
        if (s.packetLength != read)
            return QStringLiteral("Packet Length %1 out of range, %2 used")
                .arg(read)
                .arg(s.packetLength);
    } else if (key == QLatin1String("Keep Alive")) {
        s.keepAliveMinutes = toInt32(value);
    } else if (key == QLatin1String("Config Top")) {
        s.configTop = toInt32(value);
    } else if (key == QLatin1String("Config Left")) {
        s.configLeft = toInt32(value);
    } else {
        for (int i = 0; i < 4; ++i) {
            if (key == QLatin1String(kFrameKeys[i])) {
                const auto field = static_cast<WindowFrame::Field>(i);
                const double twips = toSingle(value);
                if (!takes(field, twips)) throw Failure(QStringLiteral("Invalid property value"));
                frame.twips[size_t(i)] = twips;
                return std::nullopt;
            }
        }
        // Any other key: the pair is skipped.
    }
    return std::nullopt;
}

} // namespace

namespace {

// Where the number a text begins with lies: [start, end) holds its digits and fraction, after the
// blanks and the minus sign. start == end when the text does not begin with a number.
struct NumberSpan {
    qsizetype start = 0;
    qsizetype end = 0;
    bool negative = false;
};

NumberSpan leadingNumber(const QString& text) {
    const qsizetype n = text.size();
    NumberSpan span;
    qsizetype i = 0;
    while (i < n && isBlank(text.at(i)))
        ++i;
    if (i < n && text.at(i) == QLatin1Char('-')) {
        span.negative = true;
        ++i;
    }
    span.start = i;
    while (i < n && isAsciiDigit(text.at(i)))
        ++i;
    if (i < n && text.at(i) == QLatin1Char('.')) {
        qsizetype j = i + 1;
        while (j < n && isAsciiDigit(text.at(j)))
            ++j;
        if (j > i + 1) i = j;
    }
    span.end = i;
    return span;
}

} // namespace

bool beginsWithNumber(const QString& text) {
    const NumberSpan span = leadingNumber(text);
    return span.end > span.start;
}

double numericValue(const QString& text) {
    const NumberSpan span = leadingNumber(text);
    if (span.end == span.start) return 0.0;
    bool significantInt = false;
    for (qsizetype k = span.start; k < span.end && isAsciiDigit(text.at(k)); ++k)
        significantInt = significantInt || text.at(k) != QLatin1Char('0');

    const std::string number = text.sliced(span.start, span.end - span.start).toStdString();
    double value = 0.0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value,
                                        std::chars_format::fixed);
    if (result.ec == std::errc::result_out_of_range)
        value = significantInt ? std::numeric_limits<double>::infinity() : 0.0;
    else if (result.ec != std::errc())
        value = 0.0;
    return span.negative ? -value : value;
}

qint32 toInt32(const QString& text) {
    const double value = numericValue(text);
    double whole = std::floor(value);
    const double rest = value - whole;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
    if (!(whole >= -2147483648.0 && whole <= 2147483647.0)) throw Failure(overflowText(text));
    return static_cast<qint32>(whole);
}

float toSingle(const QString& text) {
    const double value = numericValue(text);
    if (!(std::fabs(value) <= static_cast<double>(std::numeric_limits<float>::max())))
        throw Failure(overflowText(text));
    return static_cast<float>(value);
}

quint16 portNumber(const QString& text) {
    // "abc" would otherwise be port 0.
    if (!beginsWithNumber(text))
        throw Failure(QStringLiteral("Invalid property value (port \"%1\")").arg(text));
    const qint32 n = toInt32(text);
    if (n < 0 || n > 65535)
        throw Failure(QStringLiteral("Invalid property value (port ") + QString::number(n) +
                      QLatin1Char(')'));
    return static_cast<quint16>(n);
}

PortSetting::PortSetting(const QString& text) : m_text(text) {
    if (text.isEmpty()) return;
    try {
        m_number = portNumber(text);
    } catch (const std::exception& e) {
        m_problem = describe(e);
    }
}

std::optional<int> framePixels(WindowFrame::Field field, double twips) {
    constexpr double kMaxPixels = 16777215.0;
    const double pixels = std::nearbyint(twips / twips::kTwipsPerPixel);
    if (!std::isfinite(pixels) || pixels > kMaxPixels || pixels < -kMaxPixels ||
        ((field == WindowFrame::Height || field == WindowFrame::Width) && pixels < 0))
        return std::nullopt;
    return static_cast<int>(pixels);
}

bool windowTakes(WindowFrame::Field field, double twips) {
    return framePixels(field, twips).has_value();
}

bool everyFrameValue(WindowFrame::Field, double) {
    return true;
}

QString callsignText(const QString& text) {
    return trimBlanks(text).toUpper();
}

bool isUsableCallsign(const QString& call) {
    return call.size() <= kMaxCallsignLength && isUsableCall(QStringView(call));
}

QStringList settingsFields(QByteArrayView content) {
    QStringList fields;
    const qsizetype n = content.size();
    qsizetype pos = 0;
    bool afterComma = false;
    for (;;) {
        // Blanks before a field, and blank lines, hold nothing.
        while (pos < n && (isBlank(content.at(pos)) || (!afterComma && isLineEnd(content.at(pos)))))
            ++pos;
        if (pos >= n) {
            if (afterComma) fields << QString();
            break;
        }
        QByteArrayView field;
        if (content.at(pos) == '"') {
            const qsizetype begin = pos + 1;
            qsizetype end = begin;
            while (end < n && content.at(end) != '"')
                ++end;
            field = content.sliced(begin, end - begin);
            pos = end < n ? end + 1 : n;
            // Anything between the closing quote and the delimiter is dropped.
            while (pos < n && content.at(pos) != ',' && !isLineEnd(content.at(pos)))
                ++pos;
        } else {
            const qsizetype begin = pos;
            while (pos < n && content.at(pos) != ',' && !isLineEnd(content.at(pos)))
                ++pos;
            field = trimBlanks(content.sliced(begin, pos - begin));
        }
        fields << fromSingleByte(field.toByteArray());

        afterComma = false;
        if (pos < n && content.at(pos) == ',') {
            ++pos;
            afterComma = true;
        } else if (pos < n) {
            // One line end: CR LF, CR or LF.
            if (content.at(pos) == '\r' && pos + 1 < n && content.at(pos + 1) == '\n') ++pos;
            ++pos;
        }
    }
    return fields;
}

void applySettingsText(QByteArrayView content, Settings& settings, FrameFromFile& frame,
                       std::optional<QString>& lastKey, QStringList& corrections, FrameRule takes) {
    const QStringList fields = settingsFields(content);
    QStringList correctedKeys; // the key of each correction
    for (qsizetype i = 0; i < fields.size(); i += 2) {
        const QString& key = fields.at(i);
        lastKey = key;
        if (i + 1 >= fields.size())
            throw Failure(QStringLiteral("Input past end of file after \"%1\"").arg(key));
        const std::optional<QString> correction =
            applyPair(key, fields.at(i + 1), settings, frame, takes);
        // A later pair for the same key replaces the value, and what was said about it.
        if (const qsizetype k = correctedKeys.indexOf(key); k >= 0) {
            correctedKeys.removeAt(k);
            corrections.removeAt(k);
        }
        if (correction) {
            correctedKeys << key;
            corrections << *correction;
        }
    }
}

QByteArray formatSettingsNumber(float value) {
    if (!std::isfinite(value) || value == 0.0f) return QByteArrayLiteral("0");
    // The shortest digits that read back as the same float, never with an exponent.
    char buffer[128];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (result.ec != std::errc()) return QByteArrayLiteral("0");
    return QByteArray(buffer, result.ptr - buffer);
}

QByteArray formatSettings(const Settings& s, const WindowFrame& frame) {
    const QByteArray crlf = QByteArrayLiteral("\r\n");
    QByteArray out;
    out.reserve(256 + s.clusterCall.text().size() + s.agwIp.size() + s.agwPort.text().size() +
                s.clusterIp.size() + s.clusterPort.text().size());
    const auto text = [&](const char* key, const QString& value) {
        out += '"' + QByteArray(key) + "\"," + quotedText(value) + crlf;
    };
    const auto integer = [&](const char* key, qint32 value) {
        out += '"' + QByteArray(key) + "\"," + QByteArray::number(value) + crlf;
    };
    text("Cluster Call", s.clusterCall.text());
    text("AGW IP", s.agwIp);
    text("AGW Port", s.agwPort.text());
    text("Winsock IP", s.clusterIp);
    text("Winsock Port", s.clusterPort.text());
    integer("Packet Length", s.packetLength);
    integer("Keep Alive", s.keepAliveMinutes);
    integer("Config Top", s.configTop);
    integer("Config Left", s.configLeft);
    for (int i = 0; i < 4; ++i) {
        const double value = frame.twips[size_t(i)];
        const bool fits =
            std::fabs(value) <= static_cast<double>(std::numeric_limits<float>::max());
        out += '"' + QByteArray(kFrameKeys[i]) + "\"," +
               formatSettingsNumber(fits ? static_cast<float>(value) : 0.0f) + crlf;
    }
    return out;
}

QString settingsFilePath(const QString& directory) {
    return QDir(directory).filePath(QLatin1String(kSettingsFileName));
}

FrameFromFile readSettingsFile(const QString& path, Settings& s, ErrorLog& log, FrameRule takes) {
    FrameFromFile frame;
    if (!QFileInfo::exists(path)) return frame;

    s.packetLength = 130;
    s.keepAliveMinutes = 0;
    std::optional<QString> lastKey;
    QStringList corrections;
    std::optional<QString> failedAt;
    try {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) throw Failure(file.errorString());
        const QByteArray content = file.readAll();
        if (file.error() != QFileDevice::NoError) throw Failure(file.errorString());
        file.close();
        applySettingsText(content, s, frame, lastKey, corrections, takes);
    } catch (const std::exception&) {
        failedAt = lastKey ? *lastKey : QFileInfo(path).fileName();
    }
    // In file order: the values replaced on the way, then where reading stopped.
    for (const QString& correction : std::as_const(corrections))
        log.write(QStringLiteral("Readcfg"), correction);
    if (failedAt) log.write(QStringLiteral("Readcfg"), *failedAt);
    return frame;
}

void saveSettingsFile(const QString& path, const Settings& settings,
                      const std::optional<WindowFrame>& frame, ErrorLog& log) {
    try {
        if (!frame) return;
        const QByteArray content = formatSettings(settings, *frame);
        // A new file replaces the old one only when it is complete; on any failure the
        // destructor throws the new file away and the old one stays as it was.
        // Unbuffered, so that a short write (disk full) shows here and not in a flush inside
        // commit(), whose outcome Qt 6.4 does not check before it replaces the old file.
        // After a short write the next attempt fails with the system's reason.
        const auto writeAll = [&content](QFileDevice& f) {
            for (qsizetype done = 0; done < content.size();) {
                const qint64 n = f.write(content.constData() + done, content.size() - done);
                if (n <= 0) throw Failure(f.errorString());
                done += n;
            }
            if (!f.flush()) throw Failure(f.errorString());
        };
        QSaveFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            writeAll(file);
            if (!file.commit()) throw Failure(file.errorString());
            return;
        }
        // No new file can be made beside it (a directory the gateway may not write, or one
        // locked even for root), but the file itself may be writable: it is written in place.
        // (QSaveFile's own fallback covers only the first, and not for root.)
        QFile inPlace(path);
        if (!QFileInfo(path).isFile() ||
            !inPlace.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            throw Failure(file.errorString());
        writeAll(inPlace);
    } catch (const std::exception& e) {
        log.write(QStringLiteral("SaveCfg"), describe(e));
    }
}

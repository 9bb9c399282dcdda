#include "relay/CallPolicy.h"

#include "config/Callsign.h"
#include "config/ErrorLog.h"

#include <QFile>
#include <QFileInfo>

namespace {
const QString kTag = QStringLiteral("Refused calls");
// Bad lines of the file logged one by one; the rest are counted.
constexpr int kBadLinesLogged = 10;

bool isAlnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// The callsign without its SSID, and the SSID (-1: none given). False when it is not a callsign.
bool splitCall(QByteArrayView call, QByteArrayView& base, int& ssid) {
    if (call.isEmpty() || call.size() > kMaxCallsignLength) return false;
    base = callBase(call);
    if (base.isEmpty()) return false;
    for (const char c : base)
        if (!isAlnum(c)) return false;
    ssid = -1;
    if (base.size() == call.size()) return true;
    const QByteArrayView digits = call.sliced(base.size() + 1);
    if (digits.isEmpty() || digits.size() > 2) return false;
    ssid = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return false;
        ssid = ssid * 10 + (c - '0');
    }
    return ssid <= 15 && !(digits.size() == 2 && digits[0] == '0');
}

// A single-byte callsign without the white space around it, each byte taken as its Latin-1
// character: a no-break space or a next-line that a file may leave goes too.
QByteArrayView withoutSpaceAround(QByteArrayView call) {
    const auto space = [](char c) { return QChar::isSpace(char32_t(uchar(c))); };
    while (!call.isEmpty() && space(call.front()))
        call = call.sliced(1);
    while (!call.isEmpty() && space(call.back()))
        call.chop(1);
    return call;
}
} // namespace

bool isCallsignEntry(const QString& entry) {
    QByteArrayView base;
    int ssid = 0;
    const QByteArray bytes = entry.toLatin1();
    return entry.size() == bytes.size() && splitCall(bytes, base, ssid);
}

bool RefusedCalls::add(const QString& entry) {
    if (!isCallsignEntry(entry)) return false;
    const QByteArray call = normalCall(entry.toLatin1());
    QByteArrayView base;
    int ssid = 0;
    splitCall(call, base, ssid);
    if (ssid < 0)
        m_bare.insert(base.toByteArray());
    else if (ssid == 0) // "G4ABC-0" is how some engines write G4ABC
        m_exact.insert(base.toByteArray());
    else
        m_exact.insert(call);
    return true;
}

void RefusedCalls::add(const RefusedCalls& other) {
    m_bare.unite(other.m_bare);
    m_exact.unite(other.m_exact);
}

RefusedCalls::Refusal RefusedCalls::refuses(const QByteArray& call,
                                            QByteArrayView clusterCall) const {
    const QByteArray upper = normalCall(call);
    const QByteArray base = callBase(upper).toByteArray();
    // The cluster callsign, with any SSID: often the node's own call or its sysop's.
    const QByteArray own = normalCall(withoutSpaceAround(clusterCall));
    const QByteArrayView ownBase = callBase(own);
    if (!ownBase.isEmpty() && base == ownBase) return Refusal::ClusterCall;
    if (m_bare.contains(base) || m_exact.contains(upper)) return Refusal::Listed;
    if (base.size() < upper.size() && upper.sliced(base.size() + 1) == "0" &&
        m_exact.contains(base))
        return Refusal::Listed;
    return Refusal::None;
}

bool parseRefusedCalls(const QString& text, RefusedCalls& into, QString& bad) {
    for (const QString& part : text.split(QLatin1Char(','))) {
        const QString entry = part.trimmed();
        if (!into.add(entry)) {
            bad = entry;
            return false;
        }
    }
    return true;
}

RefusedCalls readRefusedCallsFile(const QString& path, ErrorLog& log) {
    RefusedCalls calls;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) return calls;
    const QString name = info.fileName();
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        log.write(kTag, name + QStringLiteral(" cannot be read (") +
                            (info.isFile() ? file.errorString() : QStringLiteral("not a file")) +
                            QStringLiteral("): no callsigns taken from it"));
        return calls;
    }
    const QByteArray bytes = file.read(RefusedCalls::kMaxFileBytes);
    if (!file.atEnd())
        log.write(kTag, name + QStringLiteral(" is longer than ") +
                            QString::number(RefusedCalls::kMaxFileBytes) +
                            QStringLiteral(" bytes: the rest is not read"));
    int lineNumber = 0, badLines = 0;
    for (const QByteArray& line : bytes.split('\n')) {
        ++lineNumber;
        const QByteArray entry = line.trimmed();
        if (entry.isEmpty() || entry.startsWith('#')) continue;
        if (calls.add(QString::fromLatin1(entry))) continue;
        if (++badLines <= kBadLinesLogged)
            log.write(kTag, name + QStringLiteral(" line ") + QString::number(lineNumber) +
                                QStringLiteral(": \"") + outsideText(entry) +
                                QStringLiteral("\" is not a callsign, skipped"));
    }
    if (badLines > kBadLinesLogged)
        log.write(kTag, name + QStringLiteral(": ") + QString::number(badLines - kBadLinesLogged) +
                            QStringLiteral(" more lines that are not callsigns skipped"));
    return calls;
}

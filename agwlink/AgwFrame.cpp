#include "agwlink/AgwFrame.h"

#include <cstring>

namespace {
void putCall(char* field, const QByteArray& call) {
    const qsizetype n = qMin<qsizetype>(call.size(), kCallFieldSize);
    std::memcpy(field, call.constData(), static_cast<size_t>(n));
}

quint32 le32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return quint32(u[0]) | (quint32(u[1]) << 8) | (quint32(u[2]) << 16) | (quint32(u[3]) << 24);
}
} // namespace

QByteArray buildFrame(quint8 port, char kind, const QByteArray& callFrom, const QByteArray& callTo,
                      const QByteArray& data) {
    QByteArray f(kAgwHeaderSize + data.size(), '\0');
    char* p = f.data();
    p[0] = static_cast<char>(port);
    p[4] = kind;
    putCall(p + 8, callFrom);
    putCall(p + 18, callTo);
    const auto n = static_cast<quint32>(data.size());
    p[28] = static_cast<char>(n & 0xff);
    p[29] = static_cast<char>((n >> 8) & 0xff);
    p[30] = static_cast<char>((n >> 16) & 0xff);
    p[31] = static_cast<char>((n >> 24) & 0xff);
    if (!data.isEmpty()) std::memcpy(p + kAgwHeaderSize, data.constData(), data.size());
    return f;
}

QByteArray buildRegisterFrame(const QByteArray& clusterCall, quint8 port) {
    return buildFrame(port, 'X', clusterCall, QByteArray());
}

QByteArray buildPortInfoRequest() {
    return buildFrame(0, 'G', QByteArray(), QByteArray());
}

QByteArray buildOutstandingRequest(quint8 port, const QByteArray& own, const QByteArray& peer) {
    return buildFrame(port, 'Y', own, peer);
}

PortInfo readPortInfo(QByteArrayView data) {
    PortInfo info;
    // The text may end in a zero byte, as the engines' texts do.
    const qsizetype zero = data.indexOf('\0');
    if (zero >= 0) data = data.first(zero);
    QList<QByteArrayView> fields;
    while (!data.isEmpty()) {
        const qsizetype end = data.indexOf(';');
        fields << (end < 0 ? data : data.first(end));
        data = end < 0 ? QByteArrayView() : data.sliced(end + 1);
    }
    if (fields.isEmpty()) return info;
    bool ok = false;
    const int n = fields.first().trimmed().toInt(&ok);
    if (!ok || n < 1) return info;
    info.count = qMin(n, 256);
    for (qsizetype i = 1; i < fields.size() && i <= info.count; ++i)
        info.descriptions << fields[i].toByteArray();
    return info;
}

QByteArray buildVersionRequest() {
    return buildFrame(0, 'R', QByteArray(), QByteArray());
}

std::optional<EngineVersion> readVersion(QByteArrayView data) {
    if (data.size() < 8) return std::nullopt;
    return EngineVersion{le32(data.data()), le32(data.data() + 4)};
}

QByteArray readCallField(const char* field) {
    const void* z = std::memchr(field, 0, kCallFieldSize);
    const qsizetype n = z ? static_cast<const char*>(z) - field : kCallFieldSize;
    return QByteArray(field, n);
}

quint32 readDataLen(const char* p) {
    return le32(p + 28);
}

AgwHeader readHeader(const char* p) {
    AgwHeader h;
    h.Port = static_cast<quint8>(p[0]);
    h.DataKind = p[4];
    h.Pid = static_cast<quint8>(p[6]);
    h.CallFrom = readCallField(p + 8);
    h.CallTo = readCallField(p + 18);
    h.DataLen = le32(p + 28);
    return h;
}

std::optional<QString> kindDescription(const QString& kind) {
    struct Entry {
        const char* letter;
        const char* description;
    };
    static const Entry table[] = {
        {"P", "Application Login (User/Password)"},
        {"R", "AGWPE Version"},
        {"G", "Port Information"},
        {"g", "Port Capabilities"},
        {"X", "Register CallSign"},
        {"x", "Unregister CallSign"},
        {"y", "Outstanding frames on a Port"},
        {"Y", "Outstanding frames on a connection"},
        {"H", "Heard Stations on a Port"},
        {"m", "Start Monitoring Data"},
        {"M", "Send Unproto Info"},
        {"V", "Send Unproto Info VIA"},
        {"C", "Start an AX.25 Connection"},
        {"v", "Start an AX.25 Connection using digipeaters"},
        {"c", "Start a non-standard AX.25 connection (data frames would have PID not 0xF0)"},
        {"D", "Connected Data"},
        {"d", "Disconnect an AX.25 connection"},
        {"U", "Unnumbered Information (UI) frame received for a registered application."},
        {"I", "Information Frame between any two connected station (not necessarily the ones "
              "registered by the application)"},
        {"S", "Supervisory Frame (SABM/UA/DISC/DM/RR/REJ)"},
        {"T", "Monitored frame sent by this application"},
        {"K", "Raw Frame"},
        {"k", "Start monitoring using raw frames"},
    };
    for (const Entry& e : table)
        if (kind == QLatin1String(e.letter)) return QString::fromLatin1(e.description);
    return std::nullopt;
}

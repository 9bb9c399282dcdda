#pragma once
// The engine's frames: a fixed 36-byte header, little-endian numbers, then DataLen data bytes.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <optional>

inline constexpr int kAgwHeaderSize = 36;
inline constexpr int kCallFieldSize = 10;

struct AgwHeader {
    quint8 Port = 0;
    char DataKind = 0;
    quint8 Pid = 0;
    QByteArray CallFrom; // bytes up to the first zero, at most 10
    QByteArray CallTo;
    quint32 DataLen = 0;
};

// Builds one frame: a zero-filled buffer of 36 + data.size() bytes, filled field by field.
// Callsigns longer than 10 bytes are cut to 10; a 10-byte callsign has no terminating zero.
QByteArray buildFrame(quint8 port, char kind, const QByteArray& callFrom, const QByteArray& callTo,
                      const QByteArray& data = {});

// The engine registration on a radio port: an "X" frame carrying the callsign in CallFrom, every
// other byte zero but the port's.
QByteArray buildRegisterFrame(const QByteArray& clusterCall, quint8 port = 0);

// The question for the engine's radio ports: a "G" frame without data.
QByteArray buildPortInfoRequest();

// The question for the frames the engine holds on the link from `own` (the gateway's callsign) to
// `peer` on a radio port: a "Y" frame without data. The engine answers with the same header and
// four data bytes, the count, little-endian.
QByteArray buildOutstandingRequest(quint8 port, const QByteArray& own, const QByteArray& peer);

// The engine's answer to "G": its data text begins with the number of radio ports, then one
// description per port, each ended by ';' ("2;Port1 VHF 1200 baud;Port2 UHF 9600;").
struct PortInfo {
    int count = 0; // 0 when the text does not begin with a number; at most 256 (a port byte)
    QList<QByteArray> descriptions;
};
PortInfo readPortInfo(QByteArrayView data);

// The question for the engine's version: an "R" frame without data.
QByteArray buildVersionRequest();

// The engine's answer to "R": two 32-bit little-endian numbers, the major and the minor version
// (2000 and 78: "2000.78"). None when the data is shorter than 8 bytes.
struct EngineVersion {
    quint32 major = 0;
    quint32 minor = 0;
};
std::optional<EngineVersion> readVersion(QByteArrayView data);

// Reads the header from the first 36 bytes at p (the caller makes sure they are there).
AgwHeader readHeader(const char* p);
// DataLen alone, from the first 36 bytes at p.
quint32 readDataLen(const char* p);

// The text of a callsign field: its bytes up to the first zero, at most 10.
QByteArray readCallField(const char* field);

// The description of a kind letter ("D" is "Connected Data"); none for an unknown letter or
// any other text.
std::optional<QString> kindDescription(const QString& kind);

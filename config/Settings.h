#pragma once
// The gateway's settings, as pktgate.cfg holds them: one value, with the ports as numbers and the
// callsign as its bytes. The window keeps one for the run; the relay takes a copy when it is made
// and again whenever the settings dialog saves (Gateway::reconfigure).
#include "net/SingleByte.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <array>
#include <optional>

// A port setting: the text the file or the dialog holds, which Save writes back as it stands
// ("8000x" stays "8000x"), beside the port that text names, worked out once when it is made.
class PortSetting {
public:
    PortSetting() = default;
    explicit PortSetting(const QString& text);

    const QString& text() const { return m_text; }
    bool isEmpty() const { return m_text.isEmpty(); }
    // The port: the number the text begins with, rounded half to even, from 0 to 65535. Unset
    // when the text is empty or names no port.
    std::optional<quint16> number() const { return m_number; }
    // Why a text that is not empty names no port ("Invalid property value (port ...)").
    const QString& problem() const { return m_problem; }

    bool operator==(const PortSetting& other) const { return m_text == other.m_text; }

private:
    QString m_text;
    std::optional<quint16> m_number;
    QString m_problem;
};

// The "Cluster Call": the text the file or the dialog holds (as callsignText gives it), which Save
// writes back as it stands, beside the bytes the gateway registers with the engine and sends frames
// from, worked out once when it is made: one byte a character, '?' for one outside Latin-1.
class CallsignSetting {
public:
    CallsignSetting() = default;
    CallsignSetting(const QString& text) : m_text(text), m_bytes(toSingleByte(text)) {}

    const QString& text() const { return m_text; }
    const QByteArray& bytes() const { return m_bytes; }
    bool isEmpty() const { return m_text.isEmpty(); }

    bool operator==(const CallsignSetting& other) const { return m_text == other.m_text; }

private:
    QString m_text;
    QByteArray m_bytes;
};

struct Settings {
    CallsignSetting clusterCall; // "Cluster Call": registered with the engine, sender of frames
    QString agwIp;               // "AGW IP"
    PortSetting agwPort;         // "AGW Port"
    QString clusterIp;           // "Winsock IP": the cluster node
    PortSetting clusterPort;     // "Winsock Port"
    qint32 packetLength = 0;     // "Packet Length": most data bytes in one frame to a radio user
    qint32 keepAliveMinutes = 0; // "Keep Alive": quiet minutes before a blank line; 0 = off
    qint32 configTop = 0;        // "Config Top": the settings dialog's top edge, twips
    qint32 configLeft = 0;       // "Config Left": its left edge, twips
};

// The main window's outer frame in twips (15 twips are one pixel at 96 dpi), in the order the
// file holds it: "Top", "Left", "Height", "Width".
struct WindowFrame {
    enum Field { Top, Left, Height, Width };
    std::array<double, 4> twips{};
};

// The frame values a file gave, for the window to take: unset where the file has none.
struct FrameFromFile {
    std::array<std::optional<double>, 4> twips;
};

// "Packet Length" is kept within this range, whether it comes from the file or the dialog: engines
// drop the AGW connection over frames longer than they take. Below 1 it means 130.
inline constexpr qint32 kMinPacketLength = 30;
inline constexpr qint32 kMaxPacketLength = 234;

// The version text shown in the title.
inline constexpr const char* kProgramVersion = "1.023C";

#pragma once
// The gateway's settings, as pktgate.cfg holds them. One object lives for the whole run and is
// handed to whoever reads a setting, so a value saved in the settings dialog takes effect where
// it is next read.
#include <QString>
#include <QtGlobal>

struct Settings {
    QString clusterCall;         // "Cluster Call": registered with the engine, sender of frames
    QString agwIp;               // "AGW IP"
    QString agwPort;             // "AGW Port", decimal text
    QString clusterIp;           // "Winsock IP": the cluster node
    QString clusterPort;         // "Winsock Port", decimal text
    qint32 packetLength = 0;     // "Packet Length": most data bytes in one frame to a radio user
    qint32 keepAliveMinutes = 0; // "Keep Alive": quiet minutes before a blank line; 0 = off
    qint32 configTop = 0;        // "Config Top": the settings dialog's top edge, twips
    qint32 configLeft = 0;       // "Config Left": its left edge, twips
};

// "Packet Length" is kept within this range, whether it comes from the file or the dialog: engines
// drop the AGW connection over frames longer than they take. Below 1 it means 130.
inline constexpr qint32 kMinPacketLength = 30;
inline constexpr qint32 kMaxPacketLength = 234;

// The version text shown in the title.
inline constexpr const char* kProgramVersion = "1.023C";

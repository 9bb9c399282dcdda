#pragma once
// Process-wide settings and the error log.
#include <QString>
#include <QtGlobal>

namespace Module1 {

struct Settings {
    QString ClusterCall; // "Cluster Call": registered with the engine, sender of frames to users
    QString AgwIp;       // "AGW IP"
    QString AgwPort;     // "AGW Port", decimal text
    QString ClusterIp;   // "Winsock IP": the cluster node
    QString ClusterPort; // "Winsock Port", decimal text
    qint32 PacketLength = 0;     // "Packet Length": most data bytes in one frame to a radio user
    qint32 KeepAliveMinutes = 0; // "Keep Alive": quiet minutes before a blank line; 0 = off
    qint32 ConfigTop = 0;        // "Config Top", twips
    qint32 ConfigLeft = 0;       // "Config Left", twips
    QString ProgramVersion;      // set by start-up, never stored
};

// The one instance.
Settings& settings();

// Appends one line to error.log beside the executable. Never fails towards its caller.
void ErrorLog(const QString& Tag, const QString& Detail);

} // namespace Module1

// The version text shown in the title.
inline constexpr const char* kProgramVersion = "1.023C";

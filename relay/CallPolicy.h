#pragma once
// The callsigns the gateway never logs in at the node: the sysop's and any other call that the
// node trusts with more than a radio user should have. AX.25 has no authentication, so anyone on
// the air can connect with any callsign; a callsign on this list gets a disconnect instead of a
// node login. A bare callsign stands for every SSID of it, one with an SSID for itself alone;
// letter case does not matter (nodes take callsigns in either case). The cluster callsign itself
// is always refused, with every SSID.
#include <QByteArray>
#include <QByteArrayView>
#include <QSet>
#include <QString>
#include <QStringList>

class ErrorLog;

class RefusedCalls {
public:
    // The file beside the settings, one callsign a line.
    static constexpr const char* kFileName = "refused-calls.txt";
    // More of the file than this is not read.
    static constexpr qint64 kMaxFileBytes = 1024 * 1024;

    // Adds one callsign ("G4ABC" or "G4ABC-7"); false, and nothing added, when it is not one.
    bool add(const QString& entry);
    // Adds every callsign of another list.
    void add(const RefusedCalls& other);
    enum class Refusal { None, Listed, ClusterCall };
    // Whether a radio user with this callsign must not be logged in, and why. clusterCall is the
    // gateway's own callsign as it registers it now (CallsignSetting::bytes()).
    Refusal refuses(const QByteArray& call, QByteArrayView clusterCall) const;
    // Entries on the list (the cluster callsign not counted).
    int size() const { return static_cast<int>(m_bare.size() + m_exact.size()); }

private:
    QSet<QByteArray> m_bare;  // base calls: every SSID refused
    QSet<QByteArray> m_exact; // calls with an SSID other than 0
};

// A callsign as an entry of the list takes it: letters and digits, then optionally "-" and an
// SSID from 0 to 15, nine characters at most (what the engine's callsign field can carry).
bool isCallsignEntry(const QString& entry);

// Reads a comma-separated list ("G4ABC,G4DEF-1"). On a bad entry, returns false and names it in
// `bad`; the list then holds the entries before it.
bool parseRefusedCalls(const QString& text, RefusedCalls& into, QString& bad);

// Reads the refused-calls file: one callsign a line; blank lines and lines starting with "#" are
// skipped, blanks around a callsign ignored. A missing file is an empty list. An unreadable file
// or a line that is not a callsign is logged (tag "Refused calls") and the rest is taken.
RefusedCalls readRefusedCallsFile(const QString& path, ErrorLog& log);

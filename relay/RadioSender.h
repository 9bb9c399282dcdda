#pragma once
// The only way text reaches a radio user. Text for one user is cut into pieces of at most the
// packet length with CR line ends, each sent as a "D" frame from the registered cluster callsign
// to the user on the user's radio port; a disconnect is one "d" frame without data. Every call
// is listed in the sent-to-radio list; failures are logged ("SendToAx25") and shown in the
// status text, and the caller learns nothing of them.
#include <QByteArray>
#include <QString>

class AgwLink;
class ErrorLog;
class Monitor;
class Session;
struct Settings;

class RadioSender {
public:
    RadioSender(AgwLink& link, const Settings& settings, Monitor& monitor, ErrorLog& log);

    // Text for a session's user ("D" frames).
    void sendText(const Session& session, const QByteArray& text);
    // Asks the engine to disconnect a session's user (one "d" frame).
    void sendDisconnect(const Session& session);
    // Asks the engine to disconnect a station that has no session, on the radio port its frame
    // came in on; the log notes it, unless the caller has already said why.
    enum class Note { Logged, None };
    void sendDisconnectTo(quint8 port, const QByteArray& callsign, Note note = Note::Logged);

private:
    // stream is the session's slot, or the radio port for a station without a session.
    void send(int stream, quint8 port, const QByteArray& callsign, const QByteArray& text,
              char kind);

    AgwLink& m_link;
    const Settings& m_settings;
    Monitor& m_monitor;
    ErrorLog& m_log;
};

#pragma once
// The only way text reaches a radio user. Text for one user is cut into pieces of at most the
// packet length with CR line ends, each sent as a "D" frame from the registered cluster callsign
// to the user on the user's radio port; a disconnect is one "d" frame without data. Every text
// that comes for a user is listed in the sent-to-radio list; failures are logged ("SendToAx25")
// and shown in the status text, and the caller learns nothing of them but how many pieces went.
//
// `stream` is the user's slot, or the radio port for a station without a session.
#include <QByteArray>
#include <QList>
#include <QString>

class AgwLink;
class ErrorLog;
class Monitor;
struct Settings;

class RadioSender {
public:
    RadioSender(AgwLink& link, const Settings& settings, Monitor& monitor, ErrorLog& log);

    // Text came for a user: listed, then held or handed over by the user's session.
    void textCame(int stream, const QByteArray& text);
    // Hands pieces of a user's text to the engine, one "D" frame each, in order; returns how
    // many went (a failure ends the hand-over: the rest is dropped).
    qsizetype sendPieces(int stream, quint8 port, const QByteArray& call,
                         const QList<QByteArray>& pieces);
    // Asks the engine to disconnect a user of a session (one "d" frame).
    void sendDisconnect(int stream, quint8 port, const QByteArray& call);
    // Asks the engine to disconnect a station that has no session, on the radio port its frame
    // came in on; the log notes it, unless the caller has already said why.
    enum class Note { Logged, None };
    void sendDisconnectTo(quint8 port, const QByteArray& callsign, Note note = Note::Logged);
    // Asks the engine how many of a user's frames it holds.
    void askOutstanding(quint8 port, const QByteArray& call);

    // The frames per user the engine may hold (0: the link is not paced), and the packet length.
    int frameLimit() const;
    int packetLength() const;

private:
    void fail(int stream, int step, const QString& description);

    AgwLink& m_link;
    const Settings& m_settings;
    Monitor& m_monitor;
    ErrorLog& m_log;
};

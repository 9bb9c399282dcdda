#pragma once
// The engine's side of the relay: what the link reports is shown on the monitor and acted on:
// "C" opens a session, "D" goes to the session's node connection, "d" ends the session, the
// engine's count of a user's frames goes to the user's session, anything else is shown and
// logged.
#include "agwlink/AgwLink.h"
#include "agwlink/Steps.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <vector>

class ErrorLog;
class Monitor;
class RadioSender;
class SessionTable;
struct AgwHeader;

class Receiver final : public AgwLinkEvents {
public:
    // Distinct route lines listed; past this many, new combinations are not listed.
    static constexpr int kMaxRoutes = 10000;

    Receiver(SessionTable& sessions, RadioSender& radio, Monitor& monitor, ErrorLog& log);

    // AgwLinkEvents
    void linkUp() override {}
    // Every radio user's link went with the AGW link: the sessions end.
    void linkLost() override;
    void arrival(qint64 count) override;
    void frameSeen(const AgwHeader& h, QByteArrayView data, bool firstOfArrival) override;
    void userConnected(quint8 port, const QByteArray& call) override;
    void userData(quint8 port, const QByteArray& call, QByteArrayView data) override;
    void userLeft(quint8 port, const QByteArray& call) override;
    void framesOutstanding(quint8 port, const QByteArray& call, quint32 frames) override;
    void otherFrame(const AgwHeader& h, QByteArrayView data, bool answered) override;
    void receiveFailed(Step step, const QString& description, bool linkReset) override;

private:
    void connectUser(quint8 port, const QByteArray& call);
    void fail(Step step, const QString& description);

    SessionTable& m_sessions;
    RadioSender& m_radio;
    Monitor& m_monitor;
    ErrorLog& m_log;
    QSet<QByteArray> m_routes;
    // The text of the frame being handled as it goes to the node: zero bytes dropped, every CR
    // followed by an LF.
    QByteArray m_converted;
    // The data of the frames of this arrival so far (views into the link's buffer, which holds
    // them until the next arrival), and whether a notice has replaced them in the status text.
    std::vector<QByteArrayView> m_arrivalData;
    bool m_statusReplaced = false;
    qint64 m_refusedForDescriptors = 0; // new users turned away since descriptors ran low
};

#pragma once
// The simulated DX-cluster node: one plain-text connection per user, the callsign as the
// first line, a greeting, a few commands and a stream of generated spots.
#include "tools/SimProtocol.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

class QTcpServer;
class QTcpSocket;

namespace sim {

class SimNode : public QObject {
    Q_OBJECT
public:
    struct Counters {
        quint64 logins = 0;       // callsign lines taken
        quint64 linesIn = 0;      // non-blank lines from logged-in users
        quint64 linesOut = 0;     // lines written to users
        quint64 spotsDropped = 0; // spots not queued to a user that does not read
    };

    explicit SimNode(QObject* parent = nullptr);
    ~SimNode() override;

    bool listen(quint16 port, QString& error);
    quint16 port() const;

    // Spots per second to every logged-in user; 0 stops them.
    void setSpotRate(double perSecond);
    // Sends one line (CR LF added) to every logged-in user.
    void broadcast(const QByteArray& line);
    int loggedIn() const;
    const Counters& counters() const { return m_counters; }

signals:
    void userLoggedIn(const QByteArray& call);
    // A non-blank line from a logged-in user, without its line end.
    void userLine(const QByteArray& call, const QByteArray& line);
    void userLeft(const QByteArray& call);

private:
    struct Client {
        LineSplitter splitter;
        QByteArray call; // empty until the first line
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket* s);
    void onClosed(QTcpSocket* s);
    void handleLine(QTcpSocket* s, Client& c, const QByteArray& line);
    void writeLines(QTcpSocket* s, const QList<QByteArray>& lines);
    QByteArray prompt(const QByteArray& call) const;
    void spotTick();
    void addSpot(const Spot& spot);

    QTcpServer* m_server = nullptr;
    QHash<QTcpSocket*, Client> m_clients;
    SpotGenerator m_spots;
    QList<Spot> m_recent; // newest last, at most kRecentSpots
    double m_spotRate = 0;
    QTimer m_spotTimer;
    QElapsedTimer m_spotClock;
    qint64 m_spotsDone = 0;
    Counters m_counters;
};

} // namespace sim

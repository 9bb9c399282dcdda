#pragma once
// The read-only status service over HTTP (Qt HTTP Server): "/" a small HTML page that reloads
// itself, its users' table in pages ("/?page=N"), "/status.json" the same as JSON, "/metrics" in
// Prometheus's text format. It answers GET and HEAD only and shows nothing of the settings but
// the engine's address.
//
// It cannot hold up the relay: it runs on a thread of its own and builds its pages there from
// the snapshots the Gateway publishes (StatusBoard), one at most every second however many
// clients ask. Its sockets never block; it takes a bounded number of connections at once, closes
// a connection that stays idle, and cuts one that sends too much, leaves too much of its answers
// unread or lasts too long (StatusLimits).
#include "service/ProgramOptions.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QThread>
#include <memory>

class ErrorLog;
class Gateway;
class StatusBoard;

// How much one status server takes.
struct StatusLimits {
    int connections = 16;                 // open at once; more are closed at once
    qint64 requestBytes = 8 * 1024;       // received on one connection
    qint64 unreadBytes = 4 * 1024 * 1024; // of the answers, not yet taken by the client
    int lifeMs = 10000;                   // of one connection
    int idleMs = 2000;                    // with nothing asked and nothing left to send
};

class StatusServer : public QObject {
    Q_OBJECT
public:
    // Reads the gateway's snapshots and the log, which must outlive it; the gateway need not.
    StatusServer(Gateway& gateway, ErrorLog& log, QObject* parent = nullptr);
    ~StatusServer() override; // closes every connection and ends the server's thread

    // Listens there, with these limits for its connections; false with the system's reason.
    bool listen(const StatusAddress& where, QString& error, const StatusLimits& limits = {});
    // The port it listens on (the system's choice for port 0).
    quint16 port() const;
    // The thread that answers.
    const QThread* serverThread() const { return &m_thread; }

private:
    class Service;
    QThread m_thread;
    Service* m_service; // lives on m_thread
    quint16 m_port = 0;
};

// Makes a status server as the Gateway's child (it goes with the Gateway), listening where told.
// Null, with the reason, when it cannot listen.
StatusServer* openStatusServer(Gateway& gateway, ErrorLog& log, const StatusAddress& where,
                               QString& error);

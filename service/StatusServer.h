#pragma once
// The read-only status service over HTTP (Qt HTTP Server): "/" a small HTML page that reloads
// itself, "/status.json" the same as JSON, "/metrics" in Prometheus's text format. It answers GET
// only and shows nothing of the settings but the engine's address.
//
// It cannot hold up the relay: its sockets never block, it takes a bounded number of connections
// at once and cuts a connection that sends too much, leaves too much of its answers unread or
// lasts too long (StatusLimits).
//
// It asks the Gateway for its status on the thread it lives on, which must be the Gateway's:
// openStatusServer() makes it there.
#include "service/ProgramOptions.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <memory>

class ErrorLog;
class Gateway;
class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponse;

// How much one status server takes.
struct StatusLimits {
    int connections = 16;                 // open at once; more are closed at once
    qint64 requestBytes = 8 * 1024;       // received on one connection
    qint64 unreadBytes = 4 * 1024 * 1024; // of the answers, not yet taken by the client
    int lifeMs = 10000;                   // of one connection
};

class StatusServer : public QObject {
    Q_OBJECT
public:
    StatusServer(Gateway& gateway, ErrorLog& log, QObject* parent = nullptr);
    ~StatusServer() override;

    // Listens there, with these limits for its connections; false with the system's reason.
    bool listen(const StatusAddress& where, QString& error, const StatusLimits& limits = {});
    // The port it listens on (the system's choice for port 0).
    quint16 port() const;

private:
    enum class Page { Html, Json, Metrics };
    QHttpServerResponse answer(const QHttpServerRequest& request, Page page) const;

    Gateway& m_gateway;
    ErrorLog& m_log;
    std::unique_ptr<QHttpServer> m_http;
    quint16 m_port = 0;
};

// Makes a status server on the Gateway's thread, as the Gateway's child (it goes with the
// Gateway), listening where told. From another thread it waits until the Gateway's thread, whose
// event loop must run, has done it. Null, with the reason, when it cannot listen.
StatusServer* openStatusServer(Gateway& gateway, ErrorLog& log, const StatusAddress& where,
                               QString& error);

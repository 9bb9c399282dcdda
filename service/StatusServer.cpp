#include "service/StatusServer.h"

#include "config/ErrorLog.h"
#include "net/UnixSystem.h"
#include "relay/Gateway.h"
#include "service/StatusPage.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// Watches one connection and cuts it when it sends too much, leaves too much unread or lasts too
// long. Connected to the socket before the HTTP server is, it sees each arrival first.
class ConnectionGuard : public QObject {
public:
    ConnectionGuard(QTcpSocket* socket, const StatusLimits& limits)
        : QObject(socket), m_socket(socket), m_limits(limits) {
        connect(socket, &QTcpSocket::readyRead, this, &ConnectionGuard::check);
        QTimer::singleShot(limits.lifeMs, this, &ConnectionGuard::cut);
    }

private:
    void check() {
        // The HTTP server takes what has arrived each time, so the arrivals add up.
        m_received += m_socket->bytesAvailable();
        if (m_received > m_limits.requestBytes || m_socket->bytesToWrite() > m_limits.unreadBytes)
            cut();
    }
    void cut() {
        // Nothing more of it reaches the HTTP server, which deletes the socket once it is closed.
        disconnect(m_socket, &QTcpSocket::readyRead, nullptr, nullptr);
        m_socket->abort();
    }

    QTcpSocket* m_socket;
    const StatusLimits m_limits;
    qint64 m_received = 0;
};

// A listener that hands the HTTP server guarded connections, a bounded number at once.
class GuardedListener : public QTcpServer {
public:
    GuardedListener(const StatusLimits& limits, QObject* parent)
        : QTcpServer(parent), m_limits(limits) {}

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        if (m_open >= m_limits.connections) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        ++m_open;
        connect(socket, &QObject::destroyed, this, [this] { --m_open; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        new ConnectionGuard(socket, m_limits);
        addPendingConnection(socket);
    }

private:
    const StatusLimits m_limits;
    int m_open = 0;
};

} // namespace

StatusServer::StatusServer(Gateway& gateway, ErrorLog& log, QObject* parent)
    : QObject(parent), m_gateway(gateway), m_log(log), m_http(std::make_unique<QHttpServer>()) {
    const auto route = [this](const char* path, Page page) {
        m_http->route(QString::fromLatin1(path),
                      [this, page](const QHttpServerRequest& r) { return answer(r, page); });
    };
    route("/", Page::Html);
    route("/status.json", Page::Json);
    route("/metrics", Page::Metrics);
}

StatusServer::~StatusServer() = default;

bool StatusServer::listen(const StatusAddress& where, QString& error, const StatusLimits& limits) {
    auto* listener = new GuardedListener(limits, m_http.get());
    if (!listener->listen(where.address, where.port)) {
        error = QStringLiteral("the status server cannot listen on %1 port %2: %3")
                    .arg(where.address.toString())
                    .arg(where.port)
                    .arg(listener->errorString());
        delete listener;
        return false;
    }
    m_http->bind(listener);
    m_port = listener->serverPort();
    return true;
}

quint16 StatusServer::port() const {
    return m_port;
}

QHttpServerResponse StatusServer::answer(const QHttpServerRequest& request, Page page) const {
    if (request.method() != QHttpServerRequest::Method::Get) {
        QHttpServerResponse refused(QByteArrayLiteral("text/plain"),
                                    QByteArrayLiteral("Only GET is served here.\n"),
                                    QHttpServerResponse::StatusCode::MethodNotAllowed);
        refused.addHeader(QByteArrayLiteral("Allow"), QByteArrayLiteral("GET"));
        return refused;
    }
    const GatewayStatus status = m_gateway.status();
    QByteArray type, body;
    switch (page) {
    case Page::Html:
        type = QByteArrayLiteral("text/html; charset=utf-8");
        body = statusHtml(status, m_log.recentLines());
        break;
    case Page::Json:
        type = QByteArrayLiteral("application/json");
        body = statusJson(status);
        break;
    case Page::Metrics:
        type = QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8");
        // The walk over the descriptors costs: once per scrape, never per frame.
        body = metricsText(status, m_log.linesByTag(),
                           {unixsystem::openFileLimit(), unixsystem::openDescriptors()});
        break;
    }
    QHttpServerResponse response(std::move(type), std::move(body));
    response.addHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store"));
    response.addHeader(QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff"));
    return response;
}

StatusServer* openStatusServer(Gateway& gateway, ErrorLog& log, const StatusAddress& where,
                               QString& error) {
    StatusServer* server = nullptr;
    const auto make = [&] {
        auto* s = new StatusServer(gateway, log, &gateway);
        if (s->listen(where, error))
            server = s;
        else
            delete s;
    };
    gateway.onOwnThread(make);
    return server;
}

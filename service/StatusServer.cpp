#include "service/StatusServer.h"

#include "config/ErrorLog.h"
#include "net/DescriptorBudget.h"
#include "net/UnixSystem.h"
#include "relay/Gateway.h"
#include "relay/StatusBoard.h"
#include "service/StatusPage.h"

#include <QHash>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>
#include <algorithm>

namespace {

// Watches one connection and cuts it when it sends too much, leaves too much unread or lasts too
// long. Connected to the socket before the HTTP server is, it sees each arrival first.
class ConnectionGuard : public QObject {
public:
    ConnectionGuard(QTcpSocket* socket, const StatusLimits& limits)
        : QObject(socket), m_socket(socket), m_limits(limits) {
        connect(socket, &QTcpSocket::readyRead, this, &ConnectionGuard::check);
        connect(socket, &QTcpSocket::bytesWritten, this, [this] { m_idle.start(); });
        QTimer::singleShot(limits.lifeMs, this, &ConnectionGuard::cut);
        m_idle.setSingleShot(true);
        m_idle.setInterval(limits.idleMs);
        connect(&m_idle, &QTimer::timeout, this, &ConnectionGuard::idle);
        m_idle.start();
    }

private:
    // Nothing asked and nothing left to send for a while: the client is done with it, and the
    // place goes to the next.
    void idle() {
        if (m_socket->bytesToWrite() > 0)
            m_idle.start();
        else
            cut();
    }
    void check() {
        m_idle.start();
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
    QTimer m_idle;
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

// A snapshot newer than this is served as it is; an older one is renewed first.
constexpr int kSnapshotMaxAgeMs = 1000;
// How long an answer waits for the relay to take a fresh snapshot before the last one serves.
constexpr int kSnapshotWaitMs = 1000;

// Whether a request asks for the connection to be closed after its answer.
bool wantsClose(const QHttpServerRequest& request) {
    const QList<QByteArray> tokens = request.value(QByteArrayLiteral("Connection")).split(',');
    return std::any_of(tokens.begin(), tokens.end(), [](const QByteArray& t) {
        return t.trimmed().compare("close", Qt::CaseInsensitive) == 0;
    });
}

} // namespace

// The server's side on its own thread: the HTTP server, its listener and the pages of the
// latest snapshot, each built once.
class StatusServer::Service : public QObject {
public:
    Service(std::shared_ptr<StatusBoard> board, ErrorLog& log)
        : m_board(std::move(board)), m_log(log) {}

    quint16 listen(const StatusAddress& where, const StatusLimits& limits, QString& error) {
        m_http = new QHttpServer(this);
        const auto route = [this](const char* path, Page page) {
            m_http->route(QString::fromLatin1(path),
                          [this, page](const QHttpServerRequest& r, QHttpServerResponder&& out) {
                              answer(r, std::move(out), page);
                          });
        };
        route("/", Page::Html);
        route("/status.json", Page::Json);
        route("/metrics", Page::Metrics);
        auto* listener = new GuardedListener(limits, m_http);
        if (!listener->listen(where.address, where.port)) {
            error = QStringLiteral("the status server cannot listen on %1 port %2: %3")
                        .arg(where.address.toString())
                        .arg(where.port)
                        .arg(listener->errorString());
            delete listener;
            return 0;
        }
        m_http->bind(listener);
        return listener->serverPort();
    }

private:
    enum class Page { Html, Json, Metrics };
    using StatusCode = QHttpServerResponder::StatusCode;

    void answer(const QHttpServerRequest& request, QHttpServerResponder&& out, Page page) {
        const auto method = request.method();
        const bool head = method == QHttpServerRequest::Method::Head;
        QByteArray type = QByteArrayLiteral("text/plain; charset=utf-8"), body, extra;
        StatusCode code = StatusCode::Ok;
        StatusBoard::Snapshot status;
        if (!head && method != QHttpServerRequest::Method::Get) {
            code = StatusCode::MethodNotAllowed;
            body = QByteArrayLiteral("Only GET and HEAD are served here.\n");
            extra = QByteArrayLiteral("GET, HEAD");
        } else if (!(status = m_board->recent(kSnapshotMaxAgeMs, kSnapshotWaitMs))) {
            code = StatusCode::ServiceUnavailable;
            body = QByteArrayLiteral("The relay has not told its status yet; try again.\n");
        } else {
            body = page == Page::Metrics ? metrics(*status) : cached(status, page, request);
            type = page == Page::Html   ? QByteArrayLiteral("text/html; charset=utf-8")
                   : page == Page::Json ? QByteArrayLiteral("application/json")
                                        : QByteArrayLiteral("text/plain; version=0.0.4; "
                                                            "charset=utf-8");
        }
        const bool close = wantsClose(request);
        out.writeStatusLine(code);
        out.writeHeader(QByteArrayLiteral("Content-Type"), type);
        out.writeHeader(QByteArrayLiteral("Content-Length"), QByteArray::number(body.size()));
        out.writeHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store"));
        out.writeHeader(QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff"));
        if (!extra.isEmpty()) out.writeHeader(QByteArrayLiteral("Allow"), extra);
        if (code == StatusCode::ServiceUnavailable)
            out.writeHeader(QByteArrayLiteral("Retry-After"), QByteArrayLiteral("1"));
        if (close) out.writeHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("close"));
        out.writeBody(head ? QByteArray() : body);
        if (close) out.socket()->disconnectFromHost();
    }

    // The HTML pages and the JSON of one snapshot are built once, however often they are asked.
    QByteArray cached(const StatusBoard::Snapshot& status, Page page,
                      const QHttpServerRequest& request) {
        if (status != m_cachedFor) {
            m_cachedFor = status;
            m_json.clear();
            m_html.clear();
        }
        if (page == Page::Json) {
            if (m_json.isEmpty()) m_json = statusJson(*status);
            return m_json;
        }
        bool ok = false;
        int number = QUrlQuery(request.query()).queryItemValue(QStringLiteral("page")).toInt(&ok);
        number = std::clamp(ok ? number : 1, 1, userPages(int(status->users.size())));
        QByteArray& html = m_html[number];
        if (html.isEmpty()) html = statusHtml(*status, m_log.recentLines(), number);
        return html;
    }

    QByteArray metrics(const GatewayStatus& status) const {
        // The walk over the descriptors costs: once per scrape, never per frame.
        return metricsText(status, m_log.linesByTag(),
                           {unixsystem::openFileLimit(), unixsystem::openDescriptors(),
                            DescriptorBudget::kHeadroom});
    }

    const std::shared_ptr<StatusBoard> m_board;
    ErrorLog& m_log;
    QHttpServer* m_http = nullptr;
    StatusBoard::Snapshot m_cachedFor;
    QByteArray m_json;
    QHash<int, QByteArray> m_html; // by page number
};

StatusServer::StatusServer(Gateway& gateway, ErrorLog& log, QObject* parent)
    : QObject(parent), m_service(new Service(gateway.statusBoard(), log)) {
    m_thread.setObjectName(QStringLiteral("status server"));
    m_service->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_service, &QObject::deleteLater);
    m_thread.start();
}

StatusServer::~StatusServer() {
    m_thread.quit();
    m_thread.wait();
}

bool StatusServer::listen(const StatusAddress& where, QString& error, const StatusLimits& limits) {
    QMetaObject::invokeMethod(
        m_service, [&] { m_port = m_service->listen(where, limits, error); },
        Qt::BlockingQueuedConnection);
    return m_port != 0;
}

quint16 StatusServer::port() const {
    return m_port;
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

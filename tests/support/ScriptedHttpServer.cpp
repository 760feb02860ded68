#include "support/ScriptedHttpServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

std::optional<QByteArray> RecordedRequest::header(const QByteArray& name) const {
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return std::nullopt;
}

ScriptedResponse ScriptedResponse::json(int status, const QByteArray& body) {
    ScriptedResponse r;
    r.status = status;
    r.headers = {{"Content-Type", "application/json"}};
    r.body = body;
    return r;
}

ScriptedResponse ScriptedResponse::text(int status, const QByteArray& body) {
    ScriptedResponse r;
    r.status = status;
    r.headers = {{"Content-Type", "text/plain; charset=utf-8"}};
    r.body = body;
    return r;
}

ScriptedResponse ScriptedResponse::noContent() {
    ScriptedResponse r;
    r.status = 204;
    return r;
}

ScriptedResponse ScriptedResponse::stream(int status, QList<QPair<int, QByteArray>> chunks,
                                          const QByteArray& contentType) {
    ScriptedResponse r;
    r.status = status;
    r.headers = {{"Content-Type", contentType}};
    r.chunks = std::move(chunks);
    return r;
}

namespace {
// Runs `go` once `allowed` holds, asking every 2 ms while `context` lives.
void whenAllowed(QObject* context, const std::function<bool()>& allowed, const std::function<void()>& go) {
    if (allowed()) {
        go();
        return;
    }
    QTimer::singleShot(2, context, [context, allowed, go] { whenAllowed(context, allowed, go); });
}
} // namespace

ScriptedResponse ScriptedResponse::heldUntil(ScriptedResponse answer, std::shared_ptr<const bool> released) {
    auto atMost = std::make_shared<std::optional<QDeadlineTimer>>();
    answer.sendWhen = [released, atMost](qsizetype) {
        if (!*atMost)
            atMost->emplace(ScriptedResponse::kHeldAtMostMs);
        return *released || (*atMost)->hasExpired();
    };
    return answer;
}

struct ScriptedHttpServer::Connection {
    QPointer<QTcpSocket> socket;
    QByteArray buffer;
    bool answered = false;
};

QString ScriptedHttpServer::certPath(const QString& name) {
    return QStringLiteral(OMBRIX_TEST_CERT_DIR) + QLatin1Char('/') + name;
}

ScriptedHttpServer::ScriptedHttpServer(bool tls, QObject* parent)
    : QObject(parent)
    , tls_(tls) {
    if (tls) {
        auto sslServer = std::make_unique<QSslServer>();
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        QFile certFile(certPath(QStringLiteral("server.pem")));
        QFile keyFile(certPath(QStringLiteral("server.key")));
        certFile.open(QIODevice::ReadOnly);
        keyFile.open(QIODevice::ReadOnly);
        config.setLocalCertificate(QSslCertificate(certFile.readAll(), QSsl::Pem));
        config.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Rsa, QSsl::Pem));
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        sslServer->setSslConfiguration(config);
        server_ = std::move(sslServer);
    } else {
        server_ = std::make_unique<QTcpServer>();
    }
    server_->listen(QHostAddress::LocalHost, 0);
    connect(server_.get(), &QTcpServer::pendingConnectionAvailable, this,
            &ScriptedHttpServer::onNewConnection);
    fallback_ = [](const RecordedRequest&) { return ScriptedResponse::text(404, "not found"); };
}

ScriptedHttpServer::~ScriptedHttpServer() {
    for (auto& c : connections_)
        if (c->socket)
            c->socket->abort();
}

quint16 ScriptedHttpServer::port() const {
    return server_->serverPort();
}

QString ScriptedHttpServer::baseUrl() const {
    return (tls_ ? QStringLiteral("https://localhost:") : QStringLiteral("http://127.0.0.1:")) +
           QString::number(port());
}

void ScriptedHttpServer::route(const QByteArray& method, const QString& path, Handler handler) {
    routes_.prepend(Route{method, path, false, std::move(handler)});
}

void ScriptedHttpServer::route(const QByteArray& method, const QString& path, ScriptedResponse response) {
    route(method, path, [response](const RecordedRequest&) { return response; });
}

void ScriptedHttpServer::routePrefix(const QByteArray& method, const QString& prefix, Handler handler) {
    routes_.prepend(Route{method, prefix, true, std::move(handler)});
}

void ScriptedHttpServer::setFallback(Handler handler) {
    fallback_ = std::move(handler);
}

bool ScriptedHttpServer::waitForRequests(int n, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (requestCount() < n && timer.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return requestCount() >= n;
}

void ScriptedHttpServer::onNewConnection() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        auto connection = std::make_shared<Connection>();
        connection->socket = socket;
        connections_.append(connection);
        Connection* raw = connection.get();
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { onReadyRead(raw); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->bytesAvailable() > 0)
            onReadyRead(raw);
    }
}

void ScriptedHttpServer::onReadyRead(Connection* connection) {
    if (!connection->socket || connection->answered)
        return;
    connection->buffer += connection->socket->readAll();
    const qsizetype headerEnd = connection->buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    const QList<QByteArray> lines = connection->buffer.left(headerEnd).split('\n');
    RecordedRequest request;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    const qsizetype q = request.target.indexOf('?');
    request.path = QString::fromUtf8(q < 0 ? request.target : request.target.left(q));
    request.query = q < 0 ? QString() : QString::fromUtf8(request.target.mid(q + 1));
    qsizetype contentLength = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
            contentLength = value.toLongLong();
    }
    const qsizetype bodyStart = headerEnd + 4;
    if (connection->buffer.size() - bodyStart < contentLength)
        return;
    request.body = connection->buffer.mid(bodyStart, contentLength);
    connection->buffer.remove(0, bodyStart + contentLength);
    connection->answered = true;
    requests_.append(request);
    emit requestReceived(request);
    answer(connection, request);
}

namespace {
QByteArray reasonFor(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 422:
        return "Unprocessable Entity";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}
} // namespace

void ScriptedHttpServer::answer(Connection* connection, const RecordedRequest& request) {
    Handler handler = fallback_;
    for (const Route& r : routes_) {
        if (r.method != request.method)
            continue;
        if (r.prefix ? request.path.startsWith(r.path) : request.path == r.path) {
            handler = r.handler;
            break;
        }
    }
    const ScriptedResponse response = handler(request);
    QPointer<QTcpSocket> socket = connection->socket;
    if (response.closeWithoutAnswer) {
        socket->abort();
        return;
    }
    if (response.neverAnswer)
        return;

    // Only an answer of known length can leave the connection open.
    const bool keepAlive = keepAlive_ && response.chunks.isEmpty();
    std::weak_ptr<Connection> kept;
    for (const auto& held : connections_)
        if (held.get() == connection)
            kept = held;
    auto send = [this, socket, response, keepAlive, kept]() {
        if (!socket)
            return;
        QByteArray head =
            "HTTP/1.1 " + QByteArray::number(response.status) + " " + reasonFor(response.status) + "\r\n";
        for (const auto& [name, value] : response.headers)
            head += name + ": " + value + "\r\n";
        head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
        if (response.chunks.isEmpty()) {
            if (response.status != 204 && response.status != 304)
                head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
            head += "\r\n";
            socket->write(head + response.body);
            socket->flush();
            if (!keepAlive) {
                socket->disconnectFromHost();
                return;
            }
            // Ready for the next request on this connection (it may already be here).
            if (const std::shared_ptr<Connection> connection = kept.lock()) {
                connection->answered = false;
                if (!connection->buffer.isEmpty() || socket->bytesAvailable() > 0)
                    onReadyRead(connection.get());
            }
            return;
        }
        const bool chunked = response.chunkedEncoding;
        if (chunked)
            head += "Transfer-Encoding: chunked\r\n";
        head += "\r\n";
        socket->write(head);
        socket->flush();
        const QByteArray ending =
            chunked && !response.cutBeforeLastChunk ? QByteArray("0\r\n\r\n") : QByteArray();
        const auto framed = [response, chunked, ending](qsizetype i) {
            QByteArray piece = response.chunks.at(i).second;
            if (chunked && !piece.isEmpty())
                piece = QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
            return i == response.chunks.size() - 1 ? piece + ending : piece;
        };
        const auto write = [socket, last = response.chunks.size() - 1](qsizetype i, const QByteArray& piece) {
            if (!socket)
                return;
            socket->write(piece);
            socket->flush();
            if (i == last)
                socket->disconnectFromHost();
        };
        if (response.sendWhen) {
            // One piece after the other: each once the test lets it go, then after its delay.
            // (The pending step holds the sender; it refers to itself weakly.)
            auto sendFrom = std::make_shared<std::function<void(qsizetype)>>();
            *sendFrom = [socket, response, framed, write, weak = std::weak_ptr(sendFrom)](qsizetype i) {
                const auto self = weak.lock();
                if (!socket || i >= response.chunks.size())
                    return;
                // (The first piece's turn was the head's.)
                const auto allowed = [response, i] { return i == 0 || response.sendWhen(i); };
                whenAllowed(socket, allowed, [socket, response, framed, write, self, i] {
                    QTimer::singleShot(response.chunks.at(i).first, socket, [framed, write, self, i] {
                        write(i, framed(i));
                        (*self)(i + 1);
                    });
                });
            };
            (*sendFrom)(0);
            return;
        }
        int at = 0;
        for (qsizetype i = 0; i < response.chunks.size(); ++i) {
            at += response.chunks.at(i).first;
            QTimer::singleShot(at, socket, [write, i, piece = framed(i)] { write(i, piece); });
        }
    };
    const auto allowed = [response] { return !response.sendWhen || response.sendWhen(0); };
    whenAllowed(socket, allowed, [socket, hold = response.holdMs, send] {
        if (hold > 0)
            QTimer::singleShot(hold, socket, send);
        else
            send();
    });
}

#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTcpServer>

#include <functional>
#include <memory>
#include <optional>

class QSslServer;
class QTcpSocket;

// One request as the server received it.
struct RecordedRequest {
    QByteArray method;
    QByteArray target; // raw request target: path and query, as sent
    QString path;      // target before "?", still percent-encoded
    QString query;     // target after "?", empty when none
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    std::optional<QByteArray> header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const { return header(name).has_value(); }
};

// What the server does with a request.
struct ScriptedResponse {
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // When set, the body is sent in these pieces, each after its delay (ms), and the
    // connection is closed after the last one (no Content-Length).
    QList<QPair<int, QByteArray>> chunks;
    // With chunks: frame them with chunked transfer coding (each piece one chunk),
    // ended by the last chunk and then the close.
    bool chunkedEncoding = false;
    // With chunkedEncoding: after the last piece the connection is closed without
    // the last chunk, as a server that dies mid-answer leaves it.
    bool cutBeforeLastChunk = false;
    int holdMs = 0; // wait this long before answering
    // When set, the answer, and then each of its pieces, waits until this holds for it
    // (asked every few milliseconds; its argument is the piece's index, 0 for the
    // answer's head and first piece), then for its hold or delay, so that a test paces
    // the server by what the client did, not by time, which a loaded machine stretches.
    // (Copied with the answer: state it keeps lives outside it.)
    std::function<bool(qsizetype)> sendWhen;
    bool neverAnswer = false;        // keep the connection open and silent
    bool closeWithoutAnswer = false; // drop the connection at once

    static ScriptedResponse json(int status, const QByteArray& body);
    static ScriptedResponse text(int status, const QByteArray& body);
    static ScriptedResponse noContent();
    static ScriptedResponse stream(int status, QList<QPair<int, QByteArray>> chunks,
                                   const QByteArray& contentType = "text/event-stream");
    // This answer, held until *released holds (the test sets it when its steps are
    // done), or for kHeldAtMostMs, so that a client that waits for it when it should
    // not fails the test's next checks instead of hanging it.
    static constexpr int kHeldAtMostMs = 20000;
    static ScriptedResponse heldUntil(ScriptedResponse answer, std::shared_ptr<const bool> released);
};

// A scripted HTTP/1.1 server on 127.0.0.1, over TLS (the test CA's localhost
// certificate) or plain TCP. Answers by route, records every request.
class ScriptedHttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<ScriptedResponse(const RecordedRequest&)>;

    explicit ScriptedHttpServer(bool tls = true, QObject* parent = nullptr);
    ~ScriptedHttpServer() override;

    quint16 port() const;
    // "https://localhost:<port>" (or http:// without TLS).
    QString baseUrl() const;

    // Exact path match (the path without its query). Later routes win.
    void route(const QByteArray& method, const QString& path, Handler handler);
    void route(const QByteArray& method, const QString& path, ScriptedResponse response);
    // Path prefix match.
    void routePrefix(const QByteArray& method, const QString& prefix, Handler handler);
    // The answer when no route matches (404 by default).
    void setFallback(Handler handler);
    // Keeps a connection open after an answer of known length, for the client's
    // next request (off by default: every answer closes its connection).
    void setKeepAlive(bool keepAlive) { keepAlive_ = keepAlive; }

    QList<RecordedRequest> requests() const { return requests_; }
    int requestCount() const { return static_cast<int>(requests_.size()); }
    RecordedRequest lastRequest() const { return requests_.isEmpty() ? RecordedRequest{} : requests_.last(); }
    void clearRequests() { requests_.clear(); }
    // Runs the event loop until n requests have arrived or the time is up.
    bool waitForRequests(int n, int timeoutMs = 60000);

    // Paths of the test certificates.
    static QString certPath(const QString& name);

signals:
    void requestReceived(const RecordedRequest& request);

private:
    struct Route {
        QByteArray method;
        QString path;
        bool prefix = false;
        Handler handler;
    };
    struct Connection;

    void onNewConnection();
    void onReadyRead(Connection* connection);
    void answer(Connection* connection, const RecordedRequest& request);

    std::unique_ptr<QTcpServer> server_;
    bool tls_;
    bool keepAlive_ = false;
    QList<Route> routes_;
    Handler fallback_;
    QList<RecordedRequest> requests_;
    QList<std::shared_ptr<Connection>> connections_;
};

#pragma once

#include "platform/Errors.h"

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <memory>
#include <optional>

class QNetworkAccessManager;

// One HTTP request, as the backend client builds it. timeoutMs is an inactivity
// time-out: the request fails when no data arrives for that long. deadlineMs, when
// above zero, bounds the whole exchange however slowly the bytes come (a time-out
// too). maxBodyBytes, when above zero, replaces the cap on a whole body read into
// memory (OmbrixHTTP::maxWholeBodyBytes) by a smaller one.
struct HttpRequest {
    QUrl url;
    QByteArray method = "GET";
    QList<QPair<QByteArray, QByteArray>> headers;
    std::optional<QByteArray> body;
    int timeoutMs = 60000;
    int deadlineMs = 0;
    qint64 maxBodyBytes = 0;

    void setHeader(const QByteArray& name, const QByteArray& value);
    std::optional<QByteArray> header(const QByteArray& name) const;
};

struct HttpResponse {
    int status = 0;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;

    std::optional<QByteArray> header(const QByteArray& name) const;
};

// A transport failure: no connection, time-out, refused certificate, cancelled.
class NetworkError : public OmbrixError {
public:
    // Interrupted: the answer had begun (its status arrived) when the transfer failed.
    enum class Kind { TimedOut, Cancelled, TlsFailed, ConnectionFailed, TooLarge, Interrupted, Other };
    NetworkError(Kind kind, QString detail = QString())
        : kind_(kind)
        , detail_(std::move(detail)) {}
    QString description() const override;
    Kind kind() const { return kind_; }
    QString detail() const { return detail_; }

    static NetworkError fromReply(QNetworkReply::NetworkError code, const QString& detail);
    // Whether the reply's error is a failure of the transfer itself (connection,
    // TLS, time-out, proxy, protocol), as opposed to an HTTP status Qt also reports.
    static bool isTransportFailure(QNetworkReply::NetworkError code);

private:
    Kind kind_;
    QString detail_;
};

// An HTTP client with one trust policy. Qt's connection cache ignores the TLS
// configuration, so each policy keeps network access managers of its own: a
// connection opened under one policy is never reused under another.
class HttpSession {
public:
    enum class Policy {
        PinnedApiHost, // the API host trusts only the pinned roots; other hosts the system's
        System,        // the system's roots everywhere
    };
    explicit HttpSession(Policy policy);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    Policy policy() const { return policy_; }

    // Starts the request. The caller owns the reply. Throws NetworkError(Cancelled)
    // without sending when the request is for the API host and no pinned root is usable.
    QNetworkReply* start(const HttpRequest& request);

    // Sends and reads the whole answer. Transport failures are thrown; any HTTP
    // status is returned.
    QCoro::Task<HttpResponse> data(HttpRequest request);

    // data(), and on status 401 one auth-failure notice carrying the request's token.
    QCoro::Task<HttpResponse> ombrixData(HttpRequest request);

    // The process-wide sessions: pinned() is the backend's, shared() the unpinned one.
    static HttpSession& pinned();
    static HttpSession& shared();
    // Drops both sessions and the loaded anchors (tests change the configuration).
    static void resetForTesting();
    // At the program's end (Lifetime), before the statics: every session goes, those
    // replaced by a test reset too. A network manager runs its transfers on a
    // thread of its own; left to the statics, that thread would outlive the
    // application object and handle its connections' events in a program already
    // half gone. Each manager stops and waits for its thread. Nothing runs the event
    // loop by then, so no request is awaited.
    static void endAll();
    // Tests only: roots the System policy trusts besides the system's own (the test
    // CA, for the unpinned chat stream). Cleared by resetForTesting(); the pinned
    // API host never uses them.
    static void trustExtraRootsForTesting(const QString& pemPath);

private:
    QNetworkAccessManager* managerFor(bool pinnedHost);

    Policy policy_;
    std::unique_ptr<QNetworkAccessManager> pinnedManager_;
    std::unique_ptr<QNetworkAccessManager> systemManager_;
};

// Requests started (on this thread) while one of the group's scopes is alive join
// the group; abortAll() abandons those still running, which then fail as
// cancelled. Lets the owner of a long request (the bridge's poll) end it at once.
class HttpAbortGroup {
public:
    class Scope {
    public:
        explicit Scope(HttpAbortGroup& group);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        HttpAbortGroup* previous_;
    };

    void abortAll();
    // Called by HttpSession::start for every request it starts.
    static void adopt(QNetworkReply* reply);

private:
    QList<QPointer<QNetworkReply>> replies_;
};

namespace OmbrixHTTP {
// The most a whole response body read into memory may hold (streams have their own limits).
inline constexpr qint64 maxWholeBodyBytes = 64LL * 1024 * 1024;
HttpSession& session();
// PEM text to the DER bytes of its certificate blocks, in file order.
QList<QByteArray> certificateDERs(const QString& pem);
// The pinned roots, read once from the configured file or the bundled resource.
QList<QByteArray> pinnedAnchorDERs();
// The status and headers of a response; a NetworkError when no status arrived.
// Used by the sessions and by streaming callers.
HttpResponse responseHead(QNetworkReply* reply);
} // namespace OmbrixHTTP

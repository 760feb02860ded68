#pragma once

#include "bridge/BridgeTask.h"
#include "platform/Json.h"
#include "session/APIError.h"
#include "session/OmbrixHTTP.h"

#include <QMap>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <optional>

// The client of the backend's REST API: a small value holding the user token and,
// for the bridge, extra device headers. Every operation shares one envelope
// (token check, headers, time-out, pinned session, status handling); see send().
class APIService {
public:
    explicit APIService(std::optional<QString> token = std::nullopt, QMap<QString, QString> bridgeHeaders = {});

    std::optional<QString> token;
    QMap<QString, QString> bridgeHeaders;

    // ---- The request envelope ------------------------------------------------
    struct Call {
        QByteArray method = "GET";
        QString path;                     // relative to the API base ("/me.json")
        std::optional<QUrl> absoluteUrl;  // used instead of path when set
        std::optional<QByteArray> body;   // serialised body
        QByteArray contentType;           // "application/json" for JSON bodies
        QByteArray accept;                // Accept header, when the operation names one
        int timeoutMs = 60000;            // the operation's own time-out
        bool bridge = false;              // add bridgeHeaders after the token header
        bool authNotice = true;           // false: send on the pinned session without the 401 notice
    };

    // A token is usable when present, not empty and free of control characters
    // (a CR, LF or NUL would otherwise end up inside a header).
    static bool isUsableToken(const std::optional<QString>& token);
    // Throws notAuthenticated unless the token is usable; nothing else happens first.
    void requireToken() const;
    // Builds the HTTP request of a call (token header included when requireToken is true).
    HttpRequest buildRequest(const Call& call, bool withToken = true) const;
    // The whole envelope: token check, request, pinned session, status check.
    // Returns the 2xx response; throws APIError::http for any other status.
    QCoro::Task<HttpResponse> send(Call call) const;
    // send() for a call that needs no token (pairing claim).
    static QCoro::Task<HttpResponse> sendWithoutToken(Call call);

    // Serialises a JSON body the way every JSON call does: compact.
    static QByteArray jsonBody(const Json& body);
    // A value put into a URL path as exactly one segment: percent-encoded, so that
    // "/", "?" or "#" cannot change which resource is addressed. An empty value,
    // "." or ".." would address a parent: APIError::decoding, nothing is sent.
    static QString pathSegment(const QString& value);

    // ---- Bridge tasks ----------------------------------------------------------
    // The long poll: GET /bridge/tasks/next?wait=<1…30>, time-out wait + 10 s.
    // Nothing on status 204; the decoded task on another 2xx.
    QCoro::Task<std::optional<BridgeTask>> pollBridgeTask(int wait) const;
    // The task's updates: PATCH /bridge/tasks/<id> with a "done" body carrying the
    // result (a result record's toJson()), an "error" body, or a "streaming" delta.
    QCoro::Task<> reportBridgeTaskSuccess(const QString& id, const Json& result) const;
    QCoro::Task<> reportBridgeTaskError(const QString& id, const QString& message) const;
    QCoro::Task<> reportBridgeTaskDelta(const QString& id, const QString& delta) const;

private:
    static HttpRequest requestFor(const Call& call);
    QCoro::Task<> sendBridgeTaskUpdate(QString id, QByteArray bodyData) const;
};

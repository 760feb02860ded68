#pragma once

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

private:
    static HttpRequest requestFor(const Call& call);
};

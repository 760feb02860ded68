#include "session/APIService.h"

#include "session/APIConfig.h"

APIService::APIService(std::optional<QString> token, QMap<QString, QString> bridgeHeaders)
    : token(std::move(token))
    , bridgeHeaders(std::move(bridgeHeaders)) {}

bool APIService::isUsableToken(const std::optional<QString>& token) {
    if (!token || token->isEmpty())
        return false;
    for (QChar c : *token)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    return true;
}

void APIService::requireToken() const {
    if (!isUsableToken(token))
        throw APIError::notAuthenticated();
}

HttpRequest APIService::requestFor(const Call& call) {
    HttpRequest request;
    request.url = call.absoluteUrl ? *call.absoluteUrl : APIConfig::endpoint(call.path);
    if (!request.url.isValid())
        throw APIError::decoding();
    request.method = call.method;
    if (!call.contentType.isEmpty())
        request.setHeader("Content-Type", call.contentType);
    if (!call.accept.isEmpty())
        request.setHeader("Accept", call.accept);
    request.body = call.body;
    request.timeoutMs = call.timeoutMs;
    return request;
}

namespace {
// Header values come from free text (the device nickname among them): a control
// character would end the header line and let the rest pose as another header.
QByteArray headerSafe(const QString& value) {
    QString cleaned;
    cleaned.reserve(value.size());
    for (QChar c : value)
        cleaned.append(c.unicode() < 0x20 || c.unicode() == 0x7F ? QChar(u' ') : c);
    return cleaned.toUtf8();
}
} // namespace

HttpRequest APIService::buildRequest(const Call& call, bool withToken) const {
    if (withToken)
        requireToken();
    HttpRequest request = requestFor(call);
    if (withToken)
        request.setHeader("X-User-Token", token->toUtf8());
    if (call.bridge) {
        for (auto it = bridgeHeaders.constBegin(); it != bridgeHeaders.constEnd(); ++it)
            request.setHeader(it.key().toUtf8(), headerSafe(it.value()));
    }
    return request;
}

QCoro::Task<HttpResponse> APIService::send(Call call) const {
    HttpRequest request = buildRequest(call);
    HttpSession& session = HttpSession::pinned();
    // (No co_await inside a conditional expression: g++ 12 miscompiles it.)
    HttpResponse response;
    if (call.authNotice)
        response = co_await session.ombrixData(std::move(request));
    else
        response = co_await session.data(std::move(request));
    if (response.status < 200 || response.status > 299)
        throw APIError::httpWithBytes(response.status, response.body);
    co_return response;
}

QCoro::Task<HttpResponse> APIService::sendWithoutToken(Call call) {
    HttpRequest request = requestFor(call);
    HttpResponse response = co_await HttpSession::pinned().data(std::move(request));
    if (response.status < 200 || response.status > 299)
        throw APIError::httpWithBytes(response.status, response.body);
    co_return response;
}

QByteArray APIService::jsonBody(const Json& body) {
    return json::dump(body);
}

APIService::Call APIService::jsonPost(const QString& path, const Json& body) {
    Call call;
    call.method = "POST";
    call.path = path;
    call.body = jsonBody(body);
    call.contentType = "application/json";
    return call;
}

bool APIService::isUnderApiBase(const QUrl& url) {
    const QUrl base(APIConfig::apiBase(), QUrl::StrictMode);
    if (!url.isValid() || !base.isValid() || url.isRelative())
        return false;
    const int defaultPort =
        base.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80;
    if (url.scheme().compare(base.scheme(), Qt::CaseInsensitive) != 0 ||
        url.host().compare(base.host(), Qt::CaseInsensitive) != 0 ||
        url.port(defaultPort) != base.port(defaultPort) || !url.userInfo().isEmpty())
        return false;
    const QString path = url.path(QUrl::FullyDecoded);
    if (!path.startsWith(base.path(QUrl::FullyDecoded) + QLatin1Char('/')))
        return false;
    const QStringList segments = path.split(QLatin1Char('/'));
    return !segments.contains(QStringLiteral(".")) && !segments.contains(QStringLiteral(".."));
}

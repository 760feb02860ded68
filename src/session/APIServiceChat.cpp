#include "session/APIService.h"
#include "session/ServerSentEvents.h"

#include "platform/Localization.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <QCoro/QCoroNetworkReply>
#include <QCoro/QCoroTimer>

#include <chrono>
#include <memory>

namespace {

using ReplyPtr = std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)>;

// The next bytes of a reply as they arrive, 64 KiB at most; empty once it has
// finished and been read.
QCoro::Task<QByteArray> nextChunk(QNetworkReply* reply) {
    for (;;) {
        if (reply->bytesAvailable() > 0)
            co_return reply->read(64 * 1024);
        if (reply->isFinished())
            co_return QByteArray();
        co_await qCoro(reply).waitForReadyRead(std::chrono::milliseconds(-1));
    }
}

// A failure of the connection itself (as opposed to an HTTP status Qt also
// reports as an error).
bool isTransportError(QNetworkReply::NetworkError code) {
    return code != QNetworkReply::NoError && code < QNetworkReply::ProxyConnectionRefusedError;
}

void putModel(Json& body, Provider provider, const std::optional<QString>& localModel,
              const std::optional<QString>& cloudModel) {
    if (provider == Provider::Local) {
        body["model"] = localModel && !localModel->isEmpty() ? json::str(*localModel) : std::string("local");
    } else if (cloudModel && !cloudModel->isEmpty()) {
        body["model"] = json::str(*cloudModel);
    }
}

} // namespace

QString APIService::ChatStreamLost::description() const {
    return loc("La connexion au serveur a été perdue pendant la réponse.");
}

const std::vector<std::pair<QString, QString>>& APIService::ombrixDesktopProductContext() {
    static const std::vector<std::pair<QString, QString>> context{
        {QStringLiteral("product_context"), QStringLiteral("ombrix")},
        {QStringLiteral("surface"), QStringLiteral("ombrix_desktop")},
        {QStringLiteral("agent_slug"), QStringLiteral("assistant")},
        {QStringLiteral("proactive_mode"), QStringLiteral("suggestions")},
    };
    return context;
}

QCoro::Task<APIService::ChatReply> APIService::complete(QString prompt, Provider provider,
                                                        std::optional<qint64> discussionId,
                                                        std::optional<QString> localModel,
                                                        std::optional<QString> cloudModel,
                                                        std::function<void(const QString&)> onDelta) const {
    requireToken();
    Json body = Json::object();
    body["text"] = json::str(prompt);
    body["provider"] = json::str(rawValue(provider));
    body["channel"] = "desktop";
    body["format_shape"] = "simple";
    body["stream"] = true;
    for (const auto& [key, value] : ombrixDesktopProductContext())
        body[json::str(key)] = json::str(value);
    if (discussionId)
        body["discussion_id"] = *discussionId;
    putModel(body, provider, localModel, cloudModel);

    Call call = jsonPost(QStringLiteral("/queries.json"), body);
    call.accept = "text/event-stream";
    call.timeoutMs = 240000;
    const HttpRequest request = buildRequest(call);

    // Unpinned, streamed, and without the 401 notice.
    ReplyPtr reply(HttpSession::shared().start(request), [](QNetworkReply* r) { r->deleteLater(); });
    QByteArray chunk = co_await nextChunk(reply.get());
    const HttpResponse head = OmbrixHTTP::responseHead(reply.get());

    if (head.status < 200 || head.status > 299) {
        ErrorBodyCollector collector;
        while (!chunk.isEmpty()) {
            collector.feed(chunk);
            if (collector.done())
                break;
            chunk = co_await nextChunk(reply.get());
        }
        if (!collector.done() && isTransportError(reply->error()))
            throw NetworkError::fromReply(reply->error(), reply->errorString());
        collector.finish();
        throw APIError::http(head.status, collector.text());
    }

    ChatEventStream stream(std::move(onDelta));
    qint64 received = 0;
    QElapsedTimer slice; // a reply that came in faster than it is read gives the event loop its turns
    slice.start();
    while (!chunk.isEmpty()) {
        received += chunk.size();
        stream.feed(chunk);
        if (slice.elapsed() >= 5) {
            const std::chrono::milliseconds now(0);
            co_await QCoro::sleepFor(now);
            slice.restart();
        }
        chunk = co_await nextChunk(reply.get());
    }
    // The answer had begun: a transfer that breaks now lost the connection mid-answer.
    if (reply->error() != QNetworkReply::NoError)
        throw ChatStreamLost(stream.text());
    // The end of the body ends the stream, but only a body that arrived whole. Qt
    // 6.4 may finish a reply without error when the connection closed inside a
    // chunked body (the last chunk never came) and it says nothing of that last
    // chunk; what can be seen is a body shorter than its Content-Length, or, when
    // the length is unknown, one that stops inside an event (a well-formed stream
    // ends with an empty line). A body of its full length is whole: an event not
    // closed by its empty line at its end is dropped, as the event-stream format
    // has it, and the rest is the answer.
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    const QByteArray coding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    const bool lengthIsOfBody = coding.isEmpty() || coding == "identity"; // else it counts compressed bytes
    const bool lengthKnown = lengthIsOfBody && length.isValid();
    if (lengthKnown ? received != length.toLongLong() : stream.isMidEvent())
        throw ChatStreamLost(stream.text());
    ChatReply result;
    result.text = stream.text();
    result.discussionId = stream.discussionId() ? stream.discussionId() : discussionId;
    co_return result;
}

QCoro::Task<std::optional<qint64>> APIService::importLocalTurn(QString prompt, QString responseText,
                                                               QString model,
                                                               std::optional<qint64> discussionId,
                                                               std::optional<QString> ref) const {
    requireToken();
    Json body = Json::object();
    body["text"] = json::str(prompt);
    body["response_text"] = json::str(responseText);
    body["model"] = json::str(model);
    body["channel"] = "desktop";
    body["language"] = "fr-FR";
    if (discussionId)
        body["discussion_id"] = *discussionId;
    if (ref)
        body["ref"] = json::str(*ref);

    Call call = jsonPost(QStringLiteral("/queries/import.json"), body);
    call.timeoutMs = 15000;
    const HttpResponse response = co_await send(std::move(call));

    const std::optional<Json> parsed = json::tryParse(response.body);
    if (!parsed || !parsed->is_object())
        co_return std::nullopt;
    const Json& value = *parsed;
    auto it = value.find("discussion_id");
    if (it == value.end() || !it->is_number_integer())
        co_return std::nullopt;
    if (it->is_number_unsigned() && it->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
        co_return std::nullopt;
    co_return it->get<qint64>();
}

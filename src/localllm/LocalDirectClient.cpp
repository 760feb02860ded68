#include "localllm/LocalDirectClient.h"

#include "localllm/LocalHttp.h"
#include "localllm/LocalStream.h"
#include "session/Models.h"

#include <memory>

namespace LocalDirectClient {

namespace {
// A finish reason is a short word; a longer one is kept by its start.
constexpr qsizetype kMaxFinishReason = 64;

QList<Json> finishToolCalls(const LocalStream::ToolCallTable& table) {
    QList<Json> calls;
    for (const auto& [index, record] : table.records()) {
        if (record.name.isEmpty())
            continue;
        const QString id = record.id.isEmpty() ? QStringLiteral("call_") + newUuidText() : record.id;
        calls.append(
            Json{{"id", id.toStdString()},
                 {"type", record.type.toStdString()},
                 {"function",
                  {{"name", record.name.toStdString()},
                   {"arguments", record.args.isEmpty() ? std::string("{}") : record.args.toStdString()}}}});
    }
    return calls;
}
} // namespace

QString DirectError::description() const {
    switch (kind_) {
    case Kind::ServerUnreachable:
        return QStringLiteral("Local server offline: ") + text_;
    case Kind::HttpError:
        return QStringLiteral("Local server HTTP ") + QString::number(status_) + QStringLiteral(": ") + text_;
    case Kind::ServerError:
        return QStringLiteral("Local server error: ") + text_;
    case Kind::Decoding:
        break;
    }
    return QStringLiteral("Local server returned an unparseable stream.");
}

QCoro::Task<bool> isReachable(QString endpoint, double timeoutSeconds) {
    const auto url = LocalHttp::joinedUrl(endpoint, QStringLiteral("/models"));
    if (!url)
        co_return false;
    const int deadlineMs = std::max(1, static_cast<int>(timeoutSeconds * 1000.0));
    try {
        const HttpResponse response = co_await LocalHttp::get(*url, deadlineMs, LocalHttp::kMaxProbeBody);
        co_return response.status >= 200 && response.status <= 299;
    } catch (...) {
        co_return false;
    }
}

QCoro::Task<Completion> streamChatRaw(QString endpoint, QByteArray bodyData,
                                      std::function<void(const QString&)> onDelta) {
    const auto url = LocalHttp::joinedUrl(endpoint, QStringLiteral("/chat/completions"));
    if (!url)
        throw DirectError::serverUnreachable(QStringLiteral("invalid endpoint"));
    const std::unique_ptr<LocalHttp::ReplyReader> opened =
        LocalStream::openChat(LocalStream::chatRequest(*url, std::move(bodyData)));
    LocalHttp::ReplyReader& reader = *opened;

    const std::optional<int> status = co_await reader.waitForStatus();
    if (!status)
        throw DirectError::decoding();
    if (*status < 200 || *status > 299) {
        const QString body = co_await LocalStream::readErrorText(reader);
        throw DirectError::httpError(*status, body);
    }

    Completion completion;
    LocalStream::ToolCallTable toolCalls;
    LocalStream::EventReader events(reader);
    while (true) {
        std::optional<Json> event;
        try {
            event = co_await events.next();
        } catch (const LocalStream::ServerError& error) {
            throw DirectError::serverError(error.message());
        }
        if (!event)
            break;
        const Json* choice = LocalStream::firstChoice(*event);
        if (!choice)
            continue;
        if (auto reason = LocalStream::nonEmptyString(*choice, "finish_reason"))
            completion.finishReason = LocalStream::leftCharacters(*reason, kMaxFinishReason);
        const auto delta = choice->find("delta");
        if (delta == choice->end() || !delta->is_object())
            continue;
        if (auto content = LocalStream::nonEmptyString(*delta, "content")) {
            completion.text += *content;
            if (onDelta)
                onDelta(*content);
        }
        const auto calls = delta->find("tool_calls");
        if (calls != delta->end() && LocalStream::isArrayOfObjects(*calls))
            toolCalls.mergeAll(*calls);
        LocalStream::checkReplySize(completion.text.size() + toolCalls.textSize());
    }
    // A cut answer is a failure: its text is a fragment and its tool calls may be
    // missing arguments.
    events.requireComplete();
    completion.toolCalls = finishToolCalls(toolCalls);
    co_return completion;
}

} // namespace LocalDirectClient

#include "localllm/LocalLLMHandler.h"

#include "localllm/LocalHttp.h"
#include "localllm/LocalLLMTelemetry.h"
#include "localllm/LocalStream.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/AppSession.h"
#include "session/Models.h"
#include "wire/BridgeResults.h"

#include <QElapsedTimer>
#include <QStringEncoder>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <memory>

namespace LocalLLMHandler {

namespace {
constexpr qsizetype kCoalesceCharacters = 20;
constexpr qint64 kCoalesceMs = 50;
constexpr qsizetype kDebugBodyCharacters = 1500;

// Errors of the body rewrite.
class BodyError : public OmbrixError {
public:
    explicit BodyError(QString text)
        : text_(std::move(text)) {}
    QString description() const override { return text_; }

private:
    QString text_;
};

QCoro::Task<> sendError(const APIService& api, const QString& id, const QString& message) {
    try {
        co_await api.reportBridgeTaskError(id, message);
    } catch (...) {
        // The backend did not take the error: nothing more can be done for this task.
    }
}

QCoro::Task<> sendDelta(const APIService& api, const QString& id, const QString& delta) {
    try {
        co_await api.reportBridgeTaskDelta(id, delta);
    } catch (...) {
        // A lost partial update is not sent again; the final result carries everything.
    }
}

void logRequest(const QUrl& url, const QString& model, const QByteArray& body) {
    const QString head = QStringLiteral("[LocalLLM] → POST %1 model=%2 bytes=%3")
                             .arg(url.toString(QUrl::FullyEncoded), model, QString::number(body.size()));
    if (qgetenv("OMBRIX_LOCAL_LLM_DEBUG_BODY") == "1") {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(body);
        if (!decoder.hasError()) {
            const qsizetype characters = LocalStream::characterCount(text);
            QString shown = text;
            if (characters > kDebugBodyCharacters)
                shown = LocalStream::leftCharacters(text, kDebugBodyCharacters) + QStringLiteral("…[+") +
                        QString::number(characters - kDebugBodyCharacters) + QStringLiteral("B]");
            qCInfo(lcLocalLLM).noquote() << head + QStringLiteral(" body=") + shown;
            return;
        }
    }
    qCInfo(lcLocalLLM).noquote() << head;
}

// The state of one run, from the request to the report.
struct Run {
    QString taskId;
    APIService api;
    QString model;
    QElapsedTimer start;
    QElapsedTimer sinceLastSend;
    QString fullText;
    QString pendingText;
    bool firstTokenSeen = false;
    LocalStream::ToolCallTable toolCalls;
    std::optional<QString> finishReason;
    qint64 promptTokens = 0;
    qint64 completionTokens = 0;

    QCoro::Task<> content(const QString& fragment) {
        if (!firstTokenSeen) {
            qCInfo(lcLocalLLM).noquote()
                << QStringLiteral("[LocalLLM] ← first-token model=%1 ttft=%2s")
                       .arg(model, QString::number(start.elapsed() / 1000.0, 'f', 2));
            fullText += fragment;
            co_await sendDelta(api, taskId, fragment);
            sinceLastSend.restart();
            firstTokenSeen = true;
            co_return;
        }
        fullText += fragment;
        pendingText += fragment;
        if (pendingText.isEmpty())
            co_return;
        if (LocalStream::characterCount(pendingText) >= kCoalesceCharacters ||
            sinceLastSend.elapsed() >= kCoalesceMs) {
            const QString taken = pendingText;
            pendingText.clear();
            sinceLastSend.restart();
            co_await sendDelta(api, taskId, taken);
        }
    }

    void event(const Json& event) {
        if (const Json* choice = LocalStream::firstChoice(event)) {
            const auto delta = choice->find("delta");
            if (delta != choice->end() && delta->is_object()) {
                const auto calls = delta->find("tool_calls");
                if (calls != delta->end() && LocalStream::isArrayOfObjects(*calls))
                    toolCalls.mergeAll(*calls);
            }
            if (auto reason = LocalStream::nonEmptyString(*choice, "finish_reason"))
                finishReason = reason;
        }
        const auto usage = event.find("usage");
        if (usage != event.end() && usage->is_object()) {
            if (const auto it = usage->find("prompt_tokens"); it != usage->end())
                promptTokens = LocalStream::integer(*it).value_or(promptTokens);
            if (const auto it = usage->find("completion_tokens"); it != usage->end())
                completionTokens = LocalStream::integer(*it).value_or(completionTokens);
        }
    }

    QString completionJson() const {
        Json message = Json{{"role", "assistant"}, {"content", fullText.toStdString()}};
        if (!toolCalls.isEmpty()) {
            Json calls = Json::array();
            for (const auto& [index, record] : toolCalls.records()) {
                const QString id =
                    record.id.isEmpty() ? QStringLiteral("call_") + newUuidText().left(8) : record.id;
                const QString type = record.type.isEmpty() ? QStringLiteral("function") : record.type;
                calls.push_back(
                    Json{{"id", id.toStdString()},
                         {"type", type.toStdString()},
                         {"function",
                          {{"name", record.name.toStdString()}, {"arguments", record.args.toStdString()}}}});
            }
            message["tool_calls"] = std::move(calls);
        }
        const QString reason =
            finishReason ? *finishReason
                         : (toolCalls.isEmpty() ? QStringLiteral("stop") : QStringLiteral("tool_calls"));
        const Json completion = {
            {"id", (QStringLiteral("chatcmpl-") + newUuidText()).toStdString()},
            {"object", "chat.completion"},
            {"model", model.toStdString()},
            {"choices", Json::array({Json{
                            {"index", 0}, {"finish_reason", reason.toStdString()}, {"message", message}}})},
            {"usage",
             {{"prompt_tokens", promptTokens},
              {"completion_tokens", completionTokens},
              {"total_tokens", promptTokens + completionTokens}}},
        };
        try {
            return QString::fromStdString(completion.dump(-1, ' ', false, Json::error_handler_t::strict));
        } catch (const std::exception&) {
            return QStringLiteral("{}");
        }
    }
};

// Everything after the request is ready; throws for the catch-all error.
QCoro::Task<> stream(Run& run, HttpRequest request) {
    auto reader = LocalStream::openChat(request);
    const std::optional<int> status = co_await reader->waitForStatus();
    if (!status) {
        co_await sendError(run.api, run.taskId, loc("Réponse invalide du serveur local."));
        co_return;
    }
    if (*status < 200 || *status > 299) {
        const QString text = co_await LocalStream::readErrorText(*reader);
        co_await sendError(run.api, run.taskId,
                           loc("Serveur local HTTP ") + QString::number(*status) + QStringLiteral(" : ") +
                               text);
        co_return;
    }

    run.sinceLastSend.start();
    LocalStream::EventReader events(*reader);
    while (true) {
        const std::optional<Json> event = co_await events.next();
        if (!event)
            break;
        if (const Json* choice = LocalStream::firstChoice(*event)) {
            const auto delta = choice->find("delta");
            if (delta != choice->end() && delta->is_object()) {
                if (auto content = LocalStream::nonEmptyString(*delta, "content"))
                    co_await run.content(*content);
            }
        }
        run.event(*event);
        LocalStream::checkReplySize(run.fullText.size() + run.toolCalls.textSize());
    }
    events.requireComplete(); // a cut answer is reported as an error, not as a result
    reader.reset();           // the server's part is over

    if (!run.pendingText.isEmpty()) {
        const QString taken = run.pendingText;
        run.pendingText.clear();
        co_await sendDelta(run.api, run.taskId, taken);
    }
    const qint64 latencyMs = run.start.elapsed();
    if (run.completionTokens >= 1)
        LocalLLMTelemetry::shared().recordInference(run.completionTokens, latencyMs);

    BridgeLLMInferResult result;
    result.response_json = run.completionJson();
    result.model_used = run.model;
    result.latency_ms = latencyMs;
    co_await run.api.reportBridgeTaskSuccess(run.taskId, result.toJson());
}

struct PreparedBody {
    QString model;
    QByteArray bytes;
    std::optional<QString> error;
};

PreparedBody prepareBody(const QString& body, const QString& settingsModel) {
    PreparedBody prepared;
    prepared.model = settingsModel;
    if (const auto bodyModel = extractModel(body); bodyModel && bodyModel->contains(QLatin1Char('/')))
        prepared.model = *bodyModel;
    try {
        prepared.bytes = rewriteBodyForStreaming(body, prepared.model);
    } catch (...) {
        prepared.error = describeException(std::current_exception());
    }
    return prepared;
}

QCoro::Task<> runTask(QString taskId, QString body, APIService api, Settings settings) {
    if (!settings.enabled) {
        co_await sendError(api, taskId, loc("Le LLM local est désactivé dans les Réglages du Mac."));
        co_return;
    }
    const auto url = LocalHttp::joinedUrl(settings.endpoint, QStringLiteral("/chat/completions"));
    if (!url) {
        co_await sendError(api, taskId, loc("URL du LLM local invalide : ") + settings.endpoint);
        co_return;
    }
    // The body is the backend's text, up to the poll's cap: read off the GUI thread.
    const QFuture<PreparedBody> preparing = QtConcurrent::run(prepareBody, body, settings.model);
    PreparedBody prepared = co_await preparing;
    if (prepared.error) {
        co_await sendError(api, taskId, loc("Corps OpenAI invalide : ") + *prepared.error);
        co_return;
    }
    const QString model = prepared.model;
    const QByteArray bytes = std::move(prepared.bytes);

    HttpRequest request = LocalStream::chatRequest(*url, bytes);
    logRequest(*url, model, bytes);

    Run run{taskId, api, model, {}, {}, {}, {}, false, {}, {}, 0, 0};
    run.start.start();
    std::optional<QString> failure;
    try {
        co_await stream(run, std::move(request));
    } catch (const LocalStream::StreamError& error) {
        // The server's own failure, or a reply past the bound: said as it is.
        failure = error.description();
    } catch (const LocalHttp::ConnectionLostError& error) {
        // The server was reached: it went away half-way.
        failure = error.description();
    } catch (...) {
        failure = loc("Serveur local injoignable : ") + describeException(std::current_exception());
    }
    if (failure)
        co_await sendError(api, taskId, *failure);
}
} // namespace

Settings currentSettings() {
    const AppSession& session = AppSession::shared();
    return Settings{session.localLLMEnabled(), session.localLLMEndpoint(), session.localLLMModel()};
}

std::optional<QString> extractModel(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    const std::optional<Json> parsed = json::tryParse(bytes);
    if (!parsed || !parsed->is_object())
        return std::nullopt;
    const Json& body = *parsed;
    const auto model = body.find("model");
    if (model == body.end() || !model->is_string())
        return std::nullopt;
    return json::qstr(*model);
}

QByteArray rewriteBodyForStreaming(const QString& text, const QString& model) {
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    const QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        throw BodyError(QStringLiteral("payload non UTF-8"));
    Json body = json::parse(bytes); // JsonDecodingError for text that is not JSON
    if (!body.is_object())
        return bytes;
    body["model"] = model.toStdString();
    body["stream"] = true;
    body["stream_options"] = Json{{"include_usage", true}};
    return QByteArray::fromStdString(body.dump(-1, ' ', false, Json::error_handler_t::strict));
}

QCoro::Task<> handle(const BridgeTask& task, const BridgeTask::LLMInferArgs& args, const APIService& api) {
    return handle(task, args, api, currentSettings());
}

QCoro::Task<> handle(const BridgeTask& task, const BridgeTask::LLMInferArgs& args, const APIService& api,
                     Settings settings) {
    // Copies first: the caller's values need not outlive the first suspension.
    QString taskId = task.id;
    QString body = args.openaiBodyJson;
    APIService service = api;
    try {
        co_await runTask(std::move(taskId), std::move(body), std::move(service), std::move(settings));
    } catch (...) {
        qCWarning(lcLocalLLM) << "[LocalLLM] run ended on an unexpected failure:"
                              << describeException(std::current_exception());
    }
}

} // namespace LocalLLMHandler

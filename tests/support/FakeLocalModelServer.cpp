#include "support/FakeLocalModelServer.h"

#include <QTcpServer>

SseScript& SseScript::content(const QString& text, int delayMs) {
    return event(chunkWithDelta(Json{{"content", text.toStdString()}}), delayMs);
}

SseScript& SseScript::toolCalls(const QList<ToolFragment>& fragments, int delayMs) {
    Json calls = Json::array();
    for (const ToolFragment& f : fragments) {
        Json call = Json::object();
        if (f.index)
            call["index"] = *f.index;
        if (f.id)
            call["id"] = f.id->toStdString();
        if (f.type)
            call["type"] = f.type->toStdString();
        if (f.name || f.arguments) {
            Json function = Json::object();
            if (f.name)
                function["name"] = f.name->toStdString();
            if (f.arguments)
                function["arguments"] = f.arguments->toStdString();
            call["function"] = function;
        }
        calls.push_back(call);
    }
    return event(chunkWithDelta(Json{{"tool_calls", calls}}), delayMs);
}

SseScript& SseScript::finish(const QString& reason, int delayMs) {
    return event(chunkWithDelta(Json::object(), reason.toStdString()), delayMs);
}

SseScript& SseScript::usage(qint64 promptTokens, qint64 completionTokens, int delayMs) {
    Json payload = {{"id", "chatcmpl-fake"},
                    {"object", "chat.completion.chunk"},
                    {"choices", Json::array()},
                    {"usage",
                     {{"prompt_tokens", promptTokens},
                      {"completion_tokens", completionTokens},
                      {"total_tokens", promptTokens + completionTokens}}}};
    return event(payload, delayMs);
}

SseScript& SseScript::event(const Json& payload, int delayMs) {
    return raw("data: " + QByteArray::fromStdString(payload.dump()), delayMs);
}

SseScript& SseScript::raw(const QByteArray& line, int delayMs) {
    chunks_.append({delayMs, line + eol_ + eol_});
    return *this;
}

SseScript& SseScript::done(int delayMs) {
    return raw("data: [DONE]", delayMs);
}

SseScript& SseScript::terminator(const QByteArray& eol) {
    eol_ = eol;
    return *this;
}

Json SseScript::chunkWithDelta(const Json& delta, const Json& finishReason) {
    return Json{
        {"id", "chatcmpl-fake"},
        {"object", "chat.completion.chunk"},
        {"model", "fake"},
        {"choices", Json::array({Json{{"index", 0}, {"delta", delta}, {"finish_reason", finishReason}}})}};
}

FakeLocalModelServer::FakeLocalModelServer()
    : ScriptedHttpServer(false) {
    setModels({});
    setChatStream(SseScript().done());
}

QString FakeLocalModelServer::endpoint() const {
    return baseUrl() + QStringLiteral("/v1");
}

void FakeLocalModelServer::setModels(const QStringList& ids) {
    Json data = Json::array();
    for (const QString& id : ids)
        data.push_back(Json{{"id", id.toStdString()}, {"object", "model"}, {"owned_by", "local"}});
    setModelsResponse(ScriptedResponse::json(
        200, QByteArray::fromStdString(Json{{"object", "list"}, {"data", data}}.dump())));
}

void FakeLocalModelServer::setModelsResponse(const ScriptedResponse& response) {
    route("GET", QStringLiteral("/v1/models"), response);
}

void FakeLocalModelServer::setChatStream(const SseScript& script) {
    setChatResponse(ScriptedResponse::stream(200, script.chunks()));
}

void FakeLocalModelServer::setCutChatStream(const SseScript& script) {
    ScriptedResponse response = ScriptedResponse::stream(200, script.chunks());
    response.chunkedEncoding = true;
    response.cutBeforeLastChunk = true;
    setChatResponse(response);
}

void FakeLocalModelServer::setChatError(int status, const QByteArray& body) {
    setChatResponse(ScriptedResponse::text(status, body));
}

void FakeLocalModelServer::setChatResponse(const ScriptedResponse& response) {
    route("POST", QStringLiteral("/v1/chat/completions"), response);
}

QList<RecordedRequest> FakeLocalModelServer::requestsTo(const QString& path) const {
    QList<RecordedRequest> result;
    for (const RecordedRequest& r : requests())
        if (r.path == path)
            result.append(r);
    return result;
}

Json FakeLocalModelServer::lastChatBody() const {
    const auto chats = chatRequests();
    if (chats.isEmpty())
        return Json();
    return Json::parse(chats.last().body.constBegin(), chats.last().body.constEnd(), nullptr, false);
}

QString FakeLocalModelServer::closedEndpoint() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:") + QString::number(port) + QStringLiteral("/v1");
}

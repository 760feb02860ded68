#pragma once

#include "platform/Json.h"
#include "support/ScriptedHttpServer.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>

// A streamed chat completion as the local model server sends it: server-sent
// event lines, each after its delay in milliseconds.
class SseScript {
public:
    // A content fragment.
    SseScript& content(const QString& text, int delayMs = 0);
    // One tool-call fragment (members left out when not given).
    struct ToolFragment {
        std::optional<qint64> index;
        std::optional<QString> id;
        std::optional<QString> type;
        std::optional<QString> name;
        std::optional<QString> arguments;
    };
    SseScript& toolCalls(const QList<ToolFragment>& fragments, int delayMs = 0);
    // A choice with an empty delta and this finish reason.
    SseScript& finish(const QString& reason, int delayMs = 0);
    // An event with no choices and this usage.
    SseScript& usage(qint64 promptTokens, qint64 completionTokens, int delayMs = 0);
    // Any event payload, written "data: <json>".
    SseScript& event(const Json& payload, int delayMs = 0);
    // A line written as given (terminator added).
    SseScript& raw(const QByteArray& line, int delayMs = 0);
    // "data: [DONE]".
    SseScript& done(int delayMs = 0);
    // Line terminator of the lines that follow ("\n" by default, "\r\n" allowed).
    SseScript& terminator(const QByteArray& eol);

    // The chunks, one per line, each followed by a blank line as SSE has it.
    QList<QPair<int, QByteArray>> chunks() const { return chunks_; }
    // A stream event with one choice carrying this delta.
    static Json chunkWithDelta(const Json& delta, const Json& finishReason = nullptr);

private:
    QList<QPair<int, QByteArray>> chunks_;
    QByteArray eol_ = "\n";
};

// A scripted local model server on loopback, speaking plain HTTP like the real
// one: "GET /v1/models" and a streamed "POST /v1/chat/completions".
class FakeLocalModelServer : public ScriptedHttpServer {
public:
    FakeLocalModelServer();

    // "http://127.0.0.1:<port>/v1", what the settings hold.
    QString endpoint() const;

    // The models listing: {"object":"list","data":[{"id":…,"object":"model"}…]}.
    void setModels(const QStringList& ids);
    // Any answer to the models listing.
    void setModelsResponse(const ScriptedResponse& response);
    // The chat completion answer: a 200 event stream of the script.
    void setChatStream(const SseScript& script);
    // The chat completion answer: the script's events in chunked transfer coding,
    // then the connection closed without the last chunk (a server gone mid-answer).
    void setCutChatStream(const SseScript& script);
    // The chat completion answer: an HTTP error with this body.
    void setChatError(int status, const QByteArray& body);
    // Any answer to the chat completion.
    void setChatResponse(const ScriptedResponse& response);

    QList<RecordedRequest> requestsTo(const QString& path) const;
    int modelsRequestCount() const {
        return static_cast<int>(requestsTo(QStringLiteral("/v1/models")).size());
    }
    QList<RecordedRequest> chatRequests() const { return requestsTo(QStringLiteral("/v1/chat/completions")); }
    // The body of the last chat completion request, parsed.
    Json lastChatBody() const;

    // An endpoint on a loopback port nothing listens on.
    static QString closedEndpoint();
};

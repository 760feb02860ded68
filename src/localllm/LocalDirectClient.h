#pragma once

#include "platform/Errors.h"
#include "platform/Json.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

// The chat's client of the local model server (an OpenAI-style server on
// loopback): a reachability probe and one streamed chat completion. Stateless;
// every call builds its own request on the unpinned session, without any token.
namespace LocalDirectClient {

// One streamed completion.
struct Completion {
    QString text;          // every content fragment, in arrival order
    QList<Json> toolCalls; // finished tool calls in OpenAI form, by ascending index
    // The first choice's last non-empty "finish_reason" ("stop", "length", …), if any.
    std::optional<QString> finishReason;
};

// The client's failures; described in English, as the server's own messages are.
class DirectError : public OmbrixError {
public:
    enum class Kind { ServerUnreachable, HttpError, Decoding, ServerError };

    static DirectError serverUnreachable(QString message) {
        return DirectError(Kind::ServerUnreachable, 0, std::move(message));
    }
    static DirectError httpError(int status, QString body) {
        return DirectError(Kind::HttpError, status, std::move(body));
    }
    static DirectError decoding() { return DirectError(Kind::Decoding, 0, QString()); }
    // The stream reported a failure of its own (an event with an "error" object).
    static DirectError serverError(QString message) {
        return DirectError(Kind::ServerError, 0, std::move(message));
    }

    Kind kind() const { return kind_; }
    int status() const { return status_; }
    QString text() const { return text_; } // the message, or the start of the error body
    QString description() const override;

private:
    DirectError(Kind kind, int status, QString text)
        : kind_(kind)
        , status_(status)
        , text_(std::move(text)) {}

    Kind kind_;
    int status_;
    QString text_;
};

// Whether GET <endpoint>/models answers 2xx within the time-out. Never fails.
QCoro::Task<bool> isReachable(QString endpoint, double timeoutSeconds);

// POSTs the body (sent exactly as given) to <endpoint>/chat/completions and reads
// the event stream while it arrives. onDelta gets each non-empty content fragment
// at once, in order. Throws DirectError, or the transport's NetworkError
// (LocalHttp::ConnectionLostError when the connection breaks mid-reply), or
// LocalHttp::LineTooLongError for a line over 1 MiB, or
// LocalStream::ReplyTooLongError past LocalStream::kMaxReplyText, or
// LocalStream::StreamCutError when the body ends before "[DONE]" or a finish reason.
QCoro::Task<Completion> streamChatRaw(QString endpoint, QByteArray bodyData,
                                      std::function<void(const QString&)> onDelta);

} // namespace LocalDirectClient

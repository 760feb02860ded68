#pragma once

#include "localllm/LocalHttp.h"
#include "platform/Json.h"

#include <QByteArray>
#include <QString>

#include <QCoro/QCoroTask>

#include <map>
#include <memory>
#include <optional>

// Reading the event stream of the local model server's chat completions: shared by
// the chat's direct client and the bridge's local-inference handler, which differ
// only in what they do with each event.
namespace LocalStream {

// The streamed chat-completion request to the url (the endpoint followed by
// "/chat/completions"): a POST of the body as given, answered as an event stream,
// with the 240-second time-out of the local server's requests.
HttpRequest chatRequest(const QUrl& url, QByteArray body);
// Starts it on the unpinned session; the reader owns the reply. Qt's read buffer
// is capped, so that a fast server is slowed rather than buffered whole.
std::unique_ptr<LocalHttp::ReplyReader> openChat(const HttpRequest& request);

// The most text one reply may bring (content and tool-call arguments together, in
// UTF-16 code units): 4 Mi, about a million tokens, far past any model's output.
inline constexpr qsizetype kMaxReplyText = 4 * 1024 * 1024;

// A failure the stream itself reports or causes; its description is complete.
class StreamError : public OmbrixError {
public:
    explicit StreamError(QString text)
        : text_(std::move(text)) {}
    QString description() const override { return text_; }

private:
    QString text_;
};
// An event with an "error" object and no choices: the server gave up mid-stream.
class ServerError : public StreamError {
public:
    explicit ServerError(QString message);
    QString message() const { return message_; }

private:
    QString message_;
};
// The reply passed kMaxReplyText.
class ReplyTooLongError : public StreamError {
public:
    ReplyTooLongError();
};
// The stream stopped before its end marker: neither "[DONE]" nor a choice with a
// "finish_reason" came, so what arrived may be any part of the answer.
class StreamCutError : public StreamError {
public:
    StreamCutError();
};
// Throws ReplyTooLongError when the reply's text has passed the bound.
void checkReplySize(qsizetype textSize);

// One line of the stream: only "data: <payload>" lines count. "[DONE]" ends the
// stream; any other payload must be a JSON object, else the line is skipped.
struct Line {
    enum class Kind { Skip, Done, Event };
    Kind kind = Kind::Skip;
    Json event;
};
Line classify(const QByteArray& line);

// Reads the events of one stream.
class EventReader {
public:
    explicit EventReader(LocalHttp::ReplyReader& reader)
        : reader_(reader) {}
    // The next event, skipping the lines that are none; nothing once "[DONE]"
    // arrives or the stream ends. Throws ServerError for an error event.
    QCoro::Task<std::optional<Json>> next();
    // Whether the stream said it was over: "[DONE]" came, or a choice carried a
    // "finish_reason". A body that just stops is cut, whatever the transport said:
    // Qt may finish a chunked reply whose connection closed mid-body without error.
    bool complete() const { return complete_; }
    // Throws StreamCutError unless the stream is complete.
    void requireComplete() const;

    // A token may end in the first half of a surrogate pair, escaped, and its
    // event would not parse: that half is taken off and put before the first lone
    // second half of the next event. Other lone halves become U+FFFD.
    QByteArray joinSurrogates(const QByteArray& line);

private:
    LocalHttp::ReplyReader& reader_;
    std::optional<uint> carriedHigh_;
    bool complete_ = false;
};

// The value as a signed 64-bit integer when it is a JSON integer that fits.
std::optional<qint64> integer(const Json& value);
// A non-empty JSON string's text.
std::optional<QString> nonEmptyString(const Json& object, const char* key);
// An array whose elements are all objects.
bool isArrayOfObjects(const Json& value);
// The first element of event["choices"] when that is a non-empty array of objects.
const Json* firstChoice(const Json& event);

// Tool-call fragments merged by their index.
struct ToolCallRecord {
    QString id;
    QString type = QStringLiteral("function");
    QString name;
    QString args;
};
class ToolCallTable {
public:
    // What the table holds, counted toward the reply's bound: the ids, types, names
    // and argument texts of all calls together, and kRecordCost for each call, so
    // that a flood of calls with little text in them is bounded too.
    qsizetype textSize() const { return textSize_; }
    static constexpr qsizetype kRecordCost = 64;
    // Merges one fragment of a delta's "tool_calls": "index" (integer, else 0)
    // picks the record; a non-empty "id", "type" or "function.name" replaces the
    // record's; a string "function.arguments" is appended.
    void merge(const Json& fragment);
    void mergeAll(const Json& fragments); // an array of fragment objects
    bool isEmpty() const { return records_.empty(); }
    // Ascending index order.
    const std::map<qint64, ToolCallRecord>& records() const { return records_; }

private:
    std::map<qint64, ToolCallRecord> records_;
    qsizetype textSize_ = 0;
};

// User-perceived characters of the text (Characters::count).
qsizetype characterCount(const QString& text);
// The first n user-perceived characters of the text (Characters::left).
QString leftCharacters(const QString& text, qsizetype n);

// The start of an error body: its lines run together, without separators, read
// until the text holds 501 characters or more, or the body ends.
QCoro::Task<QString> readErrorText(LocalHttp::ReplyReader& reader);

} // namespace LocalStream

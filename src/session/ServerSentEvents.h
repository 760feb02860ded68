#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>

// Cuts bytes into lines as they arrive. A line ends at LF, CR or CRLF (a CRLF
// split between two pieces counts once); the break is not part of the line.
// Empty lines are delivered. When a line grows beyond the limit before its end
// arrives, feed() stops and returns false (the splitter is then spent).
class LineSplitter {
public:
    explicit LineSplitter(qsizetype maxLineBytes)
        : maxLineBytes_(maxLineBytes) {}

    bool feed(QByteArrayView bytes, const std::function<void(const QByteArray& line)>& onLine);
    // The unfinished last line so far (what the end of the stream would deliver).
    const QByteArray& pending() const { return pending_; }

private:
    qsizetype maxLineBytes_;
    QByteArray pending_;
    bool afterCR_ = false;
};

// Reads a server-sent event stream fed in pieces as they arrive:
// - "event: NAME" sets the event name (the rest of the line, untrimmed);
// - "data: PIECE" adds a data piece: an empty buffer takes it as it is, otherwise
//   a line feed and the piece are appended (so an empty first piece leaves no mark);
// - an empty line dispatches the event, even without data, then the name goes
//   back to "message" and the data is emptied;
// - every other line (comments, "id:", "retry:", "data:" without its blank) is
//   ignored. An event not followed by an empty line is never dispatched.
// Memory stays bounded: a line longer than kMaxLineBytes, or an event whose data
// grows beyond kMaxEventBytes, makes feed() throw APIError::decoding.
class ServerSentEventReader {
public:
    struct Event {
        QString name;
        QByteArray data;
    };
    static constexpr qsizetype kMaxLineBytes = 1 << 20;
    static constexpr qsizetype kMaxEventBytes = 4 << 20;

    explicit ServerSentEventReader(std::function<void(const Event&)> onEvent);
    // Each event completed by these bytes is handed to onEvent before feed returns.
    void feed(QByteArrayView bytes);
    // The bytes so far stop inside an event: a line without its break, or event
    // lines not yet closed by their empty line. A body that ends so was cut.
    bool isMidEvent() const {
        return !splitter_.pending().isEmpty() || !data_.isEmpty() || name_ != QLatin1String("message");
    }

private:
    void line(const QByteArray& line);

    std::function<void(const Event&)> onEvent_;
    LineSplitter splitter_{kMaxLineBytes};
    QString name_ = QStringLiteral("message");
    QByteArray data_;
};

// The state of one streamed chat answer: "initial" and "final" announce the
// discussion id, "message" events carry the pieces of the reply (each handed to
// onDelta at once), "final" may carry the whole text. Malformed payloads are skipped.
class ChatEventStream {
public:
    explicit ChatEventStream(std::function<void(const QString&)> onDelta = {});

    // Throws APIError::decoding past kMaxReplyCharacters of text.
    void feed(QByteArrayView bytes);
    // See ServerSentEventReader::isMidEvent().
    bool isMidEvent() const { return reader_.isMidEvent(); }

    // The most text a reply may bring (streamed pieces, or the final text), in
    // UTF-16 code units: far past any answer, and what a bubble can still show.
    static constexpr qsizetype kMaxReplyCharacters = 4 * 1024 * 1024;

    // The reply: the final text when one came, else the pieces run together.
    QString text() const { return finalText_ ? *finalText_ : streamed_; }
    std::optional<qint64> discussionId() const { return discussionId_; }

private:
    void dispatch(const ServerSentEventReader::Event& event);

    std::function<void(const QString&)> onDelta_;
    ServerSentEventReader reader_;
    QString streamed_;
    std::optional<QString> finalText_;
    std::optional<qint64> discussionId_;
};

// Collects an error body as lines run together, the way the chat query reports a
// refused request: reading stops after the line that brings the text to 501
// characters or more. Whatever the lines, the read also ends once 64 KiB of the
// body (line breaks included) have come in: the unfinished line's start is kept,
// cut at a character boundary, and nothing more is read.
class ErrorBodyCollector {
public:
    static constexpr qsizetype kStopAtCharacters = 501;
    static constexpr qsizetype kMaxBytes = 64 * 1024;

    void feed(QByteArrayView bytes);
    // The end of the body: a last line without line break still counts.
    void finish();
    bool done() const { return done_; }
    QString text() const { return text_; }

private:
    void addLine(const QByteArray& line);

    LineSplitter splitter_{kMaxBytes};
    QString text_;
    qsizetype characters_ = 0;
    qsizetype received_ = 0;
    bool done_ = false;
};

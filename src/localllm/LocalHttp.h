#pragma once

#include "platform/Errors.h"
#include "session/OmbrixHTTP.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <memory>
#include <optional>

// Plumbing shared by the clients of the local model server: URL checks, requests
// with a whole-request deadline on the unpinned session, and a reader that
// consumes a response line by line while it arrives.
namespace LocalHttp {

// The endpoint text followed by the suffix, by plain concatenation (nothing is
// added or removed), when that is an absolute http or https URL with a host.
std::optional<QUrl> joinedUrl(const QString& endpoint, const QString& suffix);

// Starts a request on HttpSession::shared(); the reply is aborted when the whole
// exchange has not ended within deadlineMs (0: no deadline besides the session's
// inactivity time-out). The caller owns the reply (a ReplyReader takes it).
QNetworkReply* start(const HttpRequest& request, int deadlineMs);

// A failure of the transfer itself, as opposed to an error code that only mirrors
// the HTTP status of a complete answer.
bool isTransportError(QNetworkReply* reply);

// A GET answered whole within deadlineMs, its body at most maxBody bytes. Transport
// failures (refused, time-out) are thrown as NetworkError, a longer body as
// NetworkError(TooLarge) as soon as it passes the bound; any HTTP status is returned.
QCoro::Task<HttpResponse> get(QUrl url, int deadlineMs, qint64 maxBody);
// What the probes of the models listing read at most: a listing of a thousand
// models takes about a tenth of it.
inline constexpr qint64 kMaxProbeBody = 256 * 1024;

// The connection ended in the middle of an answer whose head had arrived.
class ConnectionLostError : public NetworkError {
public:
    ConnectionLostError()
        : NetworkError(NetworkError::Kind::Other) {}
    QString description() const override;
};

// A line of a response longer than the reader allows.
class LineTooLongError : public OmbrixError {
public:
    explicit LineTooLongError(qsizetype limit)
        : limit_(limit) {}
    QString description() const override;

private:
    qsizetype limit_;
};

// The server sent far more than the reader could take in the meantime.
class BacklogError : public OmbrixError {
public:
    QString description() const override;
};

// Owns one reply (aborted and released when the reader goes) and reads it as it
// arrives. Lines end with LF, CR LF or CR; the terminator is removed; the last
// line may end with the body. Holds at most one line plus one read's worth. Qt
// is asked to hold at most readBuffer bytes of the reply (0: no bound), which it
// does not always honour: what it holds unread is bounded by kMaxBacklog.
// The coroutine waiting in it is resumed from the event loop, never from inside
// one of the reply's signals, so it may release the reply at any point; and it
// goes back to the event loop after kSliceMs of work, so that a server faster
// than the reader does not hold the thread.
class ReplyReader {
public:
    static constexpr qsizetype kDefaultMaxLine = 1024 * 1024;
    static constexpr qint64 kSliceMs = 10;
    // Received and not yet read: past this, nextLine() gives up (BacklogError).
    static constexpr qint64 kMaxBacklog = 16 * 1024 * 1024;

    explicit ReplyReader(QNetworkReply* reply, qsizetype maxLine = kDefaultMaxLine, qint64 readBuffer = 0);
    ~ReplyReader();
    ReplyReader(const ReplyReader&) = delete;
    ReplyReader& operator=(const ReplyReader&) = delete;

    QNetworkReply* reply() const;

    // Waits for the head. Returns the HTTP status; nothing when the reply ended
    // without an HTTP head; throws NetworkError when the transfer failed first.
    QCoro::Task<std::optional<int>> waitForStatus();
    // Waits until the reply has ended.
    QCoro::Task<> waitForFinished();
    // The whole body, once the reply has ended. Throws NetworkError when the
    // transfer fails, NetworkError(TooLarge) (and stops reading) past maxBytes.
    QCoro::Task<QByteArray> readBody(qint64 maxBytes);

    // The next line, or nothing at the end of the body. Throws NetworkError when
    // the transfer fails and LineTooLongError for a line longer than maxLine
    // (unless truncate is set: then the line's first maxLine bytes are returned,
    // less a character that crosses the bound, and the rest of the body is not
    // read); the terminator does not count, so a
    // line's fate does not depend on where the network cut the stream.
    // A connection that breaks after the head is a ConnectionLostError; more than
    // kMaxBacklog bytes waiting to be read, a BacklogError.
    QCoro::Task<std::optional<QByteArray>> nextLine(bool truncate = false);

private:
    class Waker;
    // What the waiting coroutines wait for; each also holds once the reply is gone.
    bool headOrEnd() const;
    bool ended() const;
    bool readable() const;
    std::optional<QByteArray> takeLine(bool atEnd);
    // Throws the reply's transfer failure, if any.
    void throwIfFailed(QNetworkReply* reply) const;

    std::unique_ptr<Waker> waker_;
    qsizetype maxLine_;
    QByteArray buffer_;
    qsizetype start_ = 0;   // where the next line begins in buffer_
    qsizetype scanned_ = 0; // end of the part of buffer_ already searched for a terminator
    bool stopped_ = false;
    QElapsedTimer slice_; // since the coroutine last came from the event loop
};

} // namespace LocalHttp

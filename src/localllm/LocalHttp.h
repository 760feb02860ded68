#pragma once

#include "platform/Errors.h"
#include "session/OmbrixHTTP.h"

#include <QByteArray>
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

// A GET answered whole within deadlineMs. Transport failures (refused, time-out)
// are thrown as NetworkError; any HTTP status is returned.
QCoro::Task<HttpResponse> get(QUrl url, int deadlineMs);

// A line of a response longer than the reader allows.
class LineTooLongError : public OmbrixError {
public:
    explicit LineTooLongError(qsizetype limit)
        : limit_(limit) {}
    QString description() const override;

private:
    qsizetype limit_;
};

// Owns one reply (aborted and released when the reader goes) and reads it as it
// arrives. Lines end with LF, CR LF or CR; the terminator is removed; the last
// line may end with the body. Holds at most one line plus one read's worth.
// The coroutine waiting in it is resumed from the event loop, never from inside
// one of the reply's signals, so it may release the reply at any point.
class ReplyReader {
public:
    static constexpr qsizetype kDefaultMaxLine = 1024 * 1024;

    explicit ReplyReader(QNetworkReply* reply, qsizetype maxLine = kDefaultMaxLine);
    ~ReplyReader();
    ReplyReader(const ReplyReader&) = delete;
    ReplyReader& operator=(const ReplyReader&) = delete;

    QNetworkReply* reply() const;

    // Waits for the head. Returns the HTTP status; nothing when the reply ended
    // without an HTTP head; throws NetworkError when the transfer failed first.
    QCoro::Task<std::optional<int>> waitForStatus();
    // Waits until the reply has ended.
    QCoro::Task<> waitForFinished();

    // The next line, or nothing at the end of the body. Throws NetworkError when
    // the transfer fails and LineTooLongError for a line longer than maxLine
    // (unless truncate is set: then the line's first maxLine bytes are returned
    // and the rest of the body is not read).
    QCoro::Task<std::optional<QByteArray>> nextLine(bool truncate = false);

private:
    class Waker;
    // What the waiting coroutines wait for; each also holds once the reply is gone.
    bool headOrEnd() const;
    bool ended() const;
    bool readable() const;
    std::optional<QByteArray> takeLine(bool atEnd);

    std::unique_ptr<Waker> waker_;
    qsizetype maxLine_;
    QByteArray buffer_;
    qsizetype scanned_ = 0; // bytes of buffer_ already searched for a terminator
    bool stopped_ = false;
};

} // namespace LocalHttp

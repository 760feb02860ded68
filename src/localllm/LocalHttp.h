#pragma once

#include "platform/Errors.h"
#include "session/OmbrixHTTP.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <optional>

// Plumbing shared by the clients of the local model server: URL checks, requests
// with a whole-request deadline on the unpinned session, and a line reader that
// consumes a response while it arrives.
namespace LocalHttp {

// The endpoint text followed by the suffix, by plain concatenation (nothing is
// added or removed), when that is an absolute http or https URL with a host.
std::optional<QUrl> joinedUrl(const QString& endpoint, const QString& suffix);

// Starts a request on HttpSession::shared(); the reply is aborted when the whole
// exchange has not ended within deadlineMs (0: no deadline besides the session's
// inactivity time-out). The caller owns the reply.
QNetworkReply* start(const HttpRequest& request, int deadlineMs);

// A failure of the transfer itself, as opposed to an error code that only mirrors
// the HTTP status of a complete answer.
bool isTransportError(QNetworkReply::NetworkError code);

// Waits until the reply's head has arrived or the reply has ended. Returns the
// HTTP status; nothing when the reply ended without an HTTP head; throws
// NetworkError when the transfer failed before the head.
QCoro::Task<std::optional<int>> waitForStatus(QNetworkReply* reply);

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

// Reads a reply line by line as its bytes arrive. Lines end with LF, CR LF or CR;
// the terminator is removed. The last line may end with the body. Holds at most
// one line plus what the transport delivered at once.
class LineReader {
public:
    static constexpr qsizetype kDefaultMaxLine = 1024 * 1024;

    explicit LineReader(QNetworkReply* reply, qsizetype maxLine = kDefaultMaxLine);

    // The next line, or nothing at the end of the body. Throws NetworkError when
    // the transfer fails and LineTooLongError for a line longer than maxLine
    // (unless truncate is set: then the line's first maxLine bytes are returned
    // and the rest of the body is not read).
    QCoro::Task<std::optional<QByteArray>> nextLine(bool truncate = false);

private:
    std::optional<QByteArray> takeLine(bool atEnd);
    QCoro::Task<> waitForData();

    QPointer<QNetworkReply> reply_;
    qsizetype maxLine_;
    QByteArray buffer_;
    qsizetype scanned_ = 0; // bytes of buffer_ already searched for a terminator
    bool stopped_ = false;
};

} // namespace LocalHttp

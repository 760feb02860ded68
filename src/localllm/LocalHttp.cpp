#include "localllm/LocalHttp.h"

#include "platform/Characters.h"
#include "platform/Localization.h"

#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>
#include <coroutine>
#include <utility>

namespace LocalHttp {

std::optional<QUrl> joinedUrl(const QString& endpoint, const QString& suffix) {
    const QUrl url(endpoint + suffix, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return std::nullopt;
    return url;
}

QNetworkReply* start(const HttpRequest& request, int deadlineMs) {
    QNetworkReply* reply = HttpSession::shared().start(request);
    if (deadlineMs > 0 && !reply->isFinished()) {
        auto* timer = new QTimer(reply);
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, reply, &QNetworkReply::abort);
        QObject::connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
        timer->start(deadlineMs);
    }
    return reply;
}

bool isTransportError(QNetworkReply* reply) {
    const QNetworkReply::NetworkError code = reply->error();
    if (code == QNetworkReply::NoError)
        return false;
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return true;
    // With a status in hand only the connection-level codes (below 100) are failures
    // of the transfer; Qt reports every other HTTP status as some error code of its
    // own (400 as an invalid operation, 407 as a proxy error…), and the status is
    // the answer.
    return static_cast<int>(code) < 100;
}

QCoro::Task<HttpResponse> get(QUrl url, int deadlineMs, qint64 maxBody) {
    HttpRequest request;
    request.url = std::move(url);
    if (deadlineMs > 0)
        request.timeoutMs = deadlineMs;
    ReplyReader reader(start(request, deadlineMs), ReplyReader::kDefaultMaxLine,
                       std::min<qint64>(maxBody, 64 * 1024));
    QByteArray body = co_await reader.readBody(maxBody);
    HttpResponse response = OmbrixHTTP::responseHead(reader.reply());
    response.body = std::move(body);
    co_return response;
}

QString ConnectionLostError::description() const {
    return loc("La connexion au serveur local a été perdue pendant la réponse.");
}

QString BacklogError::description() const {
    return loc("Le serveur local envoie plus vite que sa réponse ne peut être lue.");
}

QString LineTooLongError::description() const {
    return loc("Une ligne de la réponse du serveur local dépasse %1 octets.").arg(limit_);
}

// Wakes the waiting coroutine when the reply moves (head, data, end, gone). The
// connections live as long as the waker; nothing is disconnected inside a slot.
class ReplyReader::Waker : public QObject {
public:
    Waker(QNetworkReply* reply, qint64 readBuffer)
        : reply_(reply) {
        if (readBuffer > 0)
            reply->setReadBufferSize(readBuffer);
        connect(reply, &QNetworkReply::metaDataChanged, this, &Waker::wake);
        connect(reply, &QNetworkReply::readyRead, this, &Waker::wake);
        connect(reply, &QNetworkReply::finished, this, &Waker::wake);
        connect(reply, &QObject::destroyed, this, &Waker::wake);
    }
    ~Waker() override {
        if (reply_) {
            reply_->abort();
            reply_->deleteLater();
        }
    }

    void wake() {
        if (!waiting_)
            return;
        // Resume from the event loop, outside the reply's signal.
        const std::coroutine_handle<> handle = std::exchange(waiting_, {});
        QMetaObject::invokeMethod(
            this, [handle] { handle.resume(); }, Qt::QueuedConnection);
    }

    // Resumes the waiting coroutine from the event loop after what is queued there
    // (timers included) has had its turn.
    void resumeSoon() {
        QTimer::singleShot(0, this, [this] {
            if (const std::coroutine_handle<> handle = std::exchange(waiting_, {}))
                handle.resume();
        });
    }

    QPointer<QNetworkReply> reply_;
    std::coroutine_handle<> waiting_;
};

namespace {
// Leaves the waiting coroutine's handle with the waker; the coroutine checks again
// what it waits for when it is resumed. Awaited as a named local that holds nothing
// to destroy: g++ 12 destroys a temporary of a co_await expression twice (a lambda
// passed to the awaited call included).
struct Park {
    std::coroutine_handle<>* slot;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) noexcept { *slot = handle; }
    void await_resume() const noexcept {}
};

bool hasHead(const QNetworkReply* reply) {
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}
} // namespace

ReplyReader::ReplyReader(QNetworkReply* reply, qsizetype maxLine, qint64 readBuffer)
    : waker_(std::make_unique<Waker>(reply, readBuffer))
    , maxLine_(maxLine) {
    slice_.start();
}

ReplyReader::~ReplyReader() = default;

QNetworkReply* ReplyReader::reply() const {
    return waker_->reply_.data();
}

bool ReplyReader::headOrEnd() const {
    const QNetworkReply* r = reply();
    return !r || r->isFinished() || hasHead(r);
}

bool ReplyReader::ended() const {
    const QNetworkReply* r = reply();
    return !r || r->isFinished();
}

bool ReplyReader::readable() const {
    const QNetworkReply* r = reply();
    return !r || r->bytesAvailable() > 0 || r->isFinished();
}

QCoro::Task<std::optional<int>> ReplyReader::waitForStatus() {
    // Each wake checks again: a move that does not bring the head waits once more.
    Park park{&waker_->waiting_};
    while (!headOrEnd())
        co_await park;
    QNetworkReply* r = reply();
    if (!r)
        throw NetworkError(NetworkError::Kind::Cancelled);
    const QVariant status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Qt hands the bound to its network thread only once the request runs there,
    // and not always then: say it again now. It still leaks at times, hence the
    // backlog bound of nextLine().
    if (r->readBufferSize() > 0)
        r->setReadBufferSize(r->readBufferSize());
    if (status.isValid())
        co_return status.toInt();
    throwIfFailed(r);
    co_return std::nullopt;
}

QCoro::Task<> ReplyReader::waitForFinished() {
    Park park{&waker_->waiting_};
    while (!ended())
        co_await park;
}

void ReplyReader::throwIfFailed(QNetworkReply* r) const {
    if (!isTransportError(r))
        return;
    const NetworkError error = NetworkError::fromReply(r->error(), r->errorString());
    // Once the head is in, a broken connection is a reply cut short, not a
    // server that could not be reached.
    if (hasHead(r) && error.kind() == NetworkError::Kind::ConnectionFailed)
        throw ConnectionLostError();
    throw error;
}

QCoro::Task<QByteArray> ReplyReader::readBody(qint64 maxBytes) {
    QByteArray body;
    Park park{&waker_->waiting_};
    while (true) {
        QNetworkReply* r = reply();
        if (!r)
            throw NetworkError(NetworkError::Kind::Cancelled);
        if (r->bytesAvailable() > 0) {
            body += r->read(std::min<qint64>(r->bytesAvailable(), maxBytes - body.size() + 1));
            if (body.size() > maxBytes)
                throw NetworkError(NetworkError::Kind::TooLarge);
            continue;
        }
        if (r->isFinished()) {
            throwIfFailed(r);
            co_return body;
        }
        co_await park;
    }
}

std::optional<QByteArray> ReplyReader::takeLine(bool atEnd) {
    for (qsizetype i = scanned_; i < buffer_.size(); ++i) {
        const char c = buffer_.at(i);
        if (c != '\n' && c != '\r')
            continue;
        qsizetype next = i + 1;
        if (c == '\r') {
            // A CR at the very end may be the first half of CR LF: wait for more.
            if (next == buffer_.size() && !atEnd) {
                scanned_ = i;
                return std::nullopt;
            }
            if (next < buffer_.size() && buffer_.at(next) == '\n')
                ++next;
        }
        QByteArray line = buffer_.mid(start_, i - start_);
        start_ = next;
        scanned_ = next;
        // Lines are taken from the front by moving start_; the bytes before it go
        // once they are the larger part (not per line: that costs a copy of the
        // rest of the buffer for every line).
        if (start_ > 64 * 1024 && start_ * 2 > buffer_.size()) {
            buffer_.remove(0, start_);
            scanned_ -= start_;
            start_ = 0;
        }
        return line;
    }
    scanned_ = buffer_.size();
    return std::nullopt;
}

QCoro::Task<std::optional<QByteArray>> ReplyReader::nextLine(bool truncate) {
    Park park{&waker_->waiting_};
    while (!stopped_) {
        if (slice_.elapsed() >= kSliceMs) {
            waker_->resumeSoon();
            co_await park;
            slice_.restart();
            continue;
        }
        QNetworkReply* r = reply();
        if (!r)
            throw NetworkError(NetworkError::Kind::Cancelled);
        const bool ended = r->isFinished() && r->bytesAvailable() == 0;
        if (auto line = takeLine(ended)) {
            if (line->size() > maxLine_) {
                if (!truncate)
                    throw LineTooLongError(maxLine_);
                stopped_ = true;
                co_return line->left(Characters::utf8PrefixLength(*line, maxLine_));
            }
            co_return line;
        }
        // The line so far: a CR still waiting for its LF is not part of it.
        if (scanned_ - start_ > maxLine_) {
            if (!truncate)
                throw LineTooLongError(maxLine_);
            stopped_ = true;
            const QByteArrayView unfinished = QByteArrayView(buffer_).sliced(start_, scanned_ - start_);
            co_return buffer_.mid(start_, Characters::utf8PrefixLength(unfinished, maxLine_));
        }
        if (r->bytesAvailable() > kMaxBacklog)
            throw BacklogError();
        if (r->bytesAvailable() > 0) {
            buffer_ += r->read(64 * 1024);
            continue;
        }
        if (r->isFinished()) {
            throwIfFailed(r);
            stopped_ = true;
            if (start_ >= buffer_.size())
                co_return std::nullopt;
            QByteArray last = buffer_.mid(start_);
            buffer_.clear();
            start_ = scanned_ = 0;
            co_return last;
        }
        while (!readable()) {
            co_await park;
            slice_.restart();
        }
    }
    co_return std::nullopt;
}

} // namespace LocalHttp

#include "localllm/LocalHttp.h"

#include "platform/Localization.h"

#include <QNetworkRequest>
#include <QTimer>

#include <QCoro/QCoroNetworkReply>

#include <coroutine>
#include <memory>

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

bool isTransportError(QNetworkReply::NetworkError code) {
    const int c = static_cast<int>(code);
    // 201-299 and 401-499 only mirror HTTP statuses; the status itself is the answer.
    return code != QNetworkReply::NoError && !(c > 200 && c < 300) && !(c > 400 && c < 500);
}

namespace {
struct ReplyDeleter {
    void operator()(QNetworkReply* reply) const {
        if (reply) {
            reply->abort();
            reply->deleteLater();
        }
    }
};

// Suspends until the reply has bytes to read or has finished.
struct DataOrFinished {
    QNetworkReply* reply;
    std::shared_ptr<QMetaObject::Connection> ready = std::make_shared<QMetaObject::Connection>();
    std::shared_ptr<QMetaObject::Connection> finished = std::make_shared<QMetaObject::Connection>();

    bool await_ready() const { return reply->bytesAvailable() > 0 || reply->isFinished(); }
    void await_suspend(std::coroutine_handle<> handle) {
        auto resume = [ready = ready, finished = finished, handle]() {
            // Disconnect both before resuming: the coroutine may wait again at once.
            if (!*ready && !*finished)
                return;
            QObject::disconnect(*ready);
            QObject::disconnect(*finished);
            *ready = {};
            *finished = {};
            handle.resume();
        };
        *ready = QObject::connect(reply, &QNetworkReply::readyRead, reply, resume);
        *finished = QObject::connect(reply, &QNetworkReply::finished, reply, resume);
    }
    void await_resume() const {}
};

// Suspends until the reply's head has arrived or the reply has ended.
struct HeadOrFinished {
    QNetworkReply* reply;
    std::shared_ptr<QList<QMetaObject::Connection>> connections =
        std::make_shared<QList<QMetaObject::Connection>>();

    static bool hasHead(QNetworkReply* r) {
        return r->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    }
    bool await_ready() const { return reply->isFinished() || hasHead(reply); }
    void await_suspend(std::coroutine_handle<> handle) {
        auto resume = [connections = connections, handle]() {
            if (connections->isEmpty())
                return;
            for (const auto& c : *connections)
                QObject::disconnect(c);
            connections->clear();
            handle.resume();
        };
        connections->append(QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, resume));
        connections->append(QObject::connect(reply, &QNetworkReply::readyRead, reply, resume));
        connections->append(QObject::connect(reply, &QNetworkReply::finished, reply, resume));
    }
    void await_resume() const {}
};
} // namespace

QCoro::Task<std::optional<int>> waitForStatus(QNetworkReply* reply) {
    while (!HeadOrFinished::hasHead(reply) && !reply->isFinished())
        co_await HeadOrFinished{reply};
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        co_return status.toInt();
    if (isTransportError(reply->error()))
        throw NetworkError::fromReply(reply->error(), reply->errorString());
    co_return std::nullopt;
}

QCoro::Task<HttpResponse> get(QUrl url, int deadlineMs) {
    HttpRequest request;
    request.url = std::move(url);
    request.timeoutMs = deadlineMs > 0 ? deadlineMs : request.timeoutMs;
    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(start(request, deadlineMs));
    if (!reply->isFinished())
        co_await qCoro(reply.get()).waitForFinished();
    HttpResponse response = OmbrixHTTP::responseHead(reply.get());
    if (isTransportError(reply->error()))
        throw NetworkError::fromReply(reply->error(), reply->errorString());
    response.body = reply->readAll();
    co_return response;
}

QString LineTooLongError::description() const {
    return loc("Une ligne de la réponse du serveur local dépasse %1 octets.").arg(limit_);
}

LineReader::LineReader(QNetworkReply* reply, qsizetype maxLine)
    : reply_(reply)
    , maxLine_(maxLine) {}

std::optional<QByteArray> LineReader::takeLine(bool atEnd) {
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
        QByteArray line = buffer_.left(i);
        buffer_.remove(0, next);
        scanned_ = 0;
        return line;
    }
    scanned_ = buffer_.size();
    return std::nullopt;
}

QCoro::Task<> LineReader::waitForData() {
    co_await DataOrFinished{reply_.data()};
}

QCoro::Task<std::optional<QByteArray>> LineReader::nextLine(bool truncate) {
    while (!stopped_) {
        if (!reply_)
            throw NetworkError(NetworkError::Kind::Cancelled);
        const bool finished = reply_->isFinished() && reply_->bytesAvailable() == 0;
        if (auto line = takeLine(finished)) {
            if (line->size() > maxLine_) {
                if (!truncate)
                    throw LineTooLongError(maxLine_);
                stopped_ = true;
                co_return line->left(maxLine_);
            }
            co_return line;
        }
        if (buffer_.size() > maxLine_) {
            if (!truncate)
                throw LineTooLongError(maxLine_);
            stopped_ = true;
            co_return buffer_.left(maxLine_);
        }
        if (reply_->bytesAvailable() > 0) {
            buffer_ += reply_->read(64 * 1024);
            continue;
        }
        if (reply_->isFinished()) {
            if (isTransportError(reply_->error()))
                throw NetworkError::fromReply(reply_->error(), reply_->errorString());
            stopped_ = true;
            if (buffer_.isEmpty())
                co_return std::nullopt;
            QByteArray last = buffer_;
            buffer_.clear();
            co_return last;
        }
        co_await waitForData();
    }
    co_return std::nullopt;
}

} // namespace LocalHttp

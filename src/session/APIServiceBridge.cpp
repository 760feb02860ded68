#include "platform/ShareWork.h"
#include "session/APIConfig.h"
#include "session/APIService.h"
#include "wire/BridgeResults.h"

#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <algorithm>
#include <climits>
#include <exception>

QString APIService::pathSegment(const QString& value) {
    // "", "." and ".." cannot name a resource of their own (the URL would address
    // the parent), and percent-encoded dots are decoded again by QUrl: refused.
    if (value.isEmpty() || value == QLatin1String(".") || value == QLatin1String(".."))
        throw APIError::decoding();
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

namespace {
struct DecodedTask {
    std::optional<BridgeTask> task;
    std::exception_ptr failure;
};

DecodedTask decodeTask(const QByteArray& body) {
    DecodedTask decoded;
    try {
        decoded.task = BridgeTask::fromJsonBytes(body);
    } catch (...) {
        decoded.failure = std::current_exception();
    }
    return decoded;
}
} // namespace

QCoro::Task<std::optional<BridgeTask>> APIService::pollBridgeTask(int wait) const {
    requireToken();
    Call call;
    call.absoluteUrl = APIConfig::bridgeNextTaskURL(wait);
    // The time-out follows the wait as passed, not the clamped one.
    call.timeoutMs = static_cast<int>(std::clamp<qint64>(qint64(wait) + 10, 1, INT_MAX / 1000) * 1000);
    call.bridge = true;
    HttpRequest request = buildRequest(call);
    // The time-out above is one of inactivity: a server trickling bytes is held to
    // the same figure for the whole exchange.
    request.deadlineMs = call.timeoutMs;
    request.maxBodyBytes = maxPollBodyBytes;
    // 204 is answered before the status test of the envelope, so the session is
    // used directly here.
    HttpResponse response = co_await HttpSession::pinned().ombrixData(std::move(request));
    if (response.status == 204)
        co_return std::nullopt;
    if (response.status < 200 || response.status > 299)
        throw APIError::httpWithBytes(response.status, response.body);
    // Decoding (and freeing) a task of several megabytes takes a while: off the
    // GUI thread, on the loop's own threads (never behind file work or decoding).
    const QFuture<DecodedTask> decoding =
        QtConcurrent::run(&ShareWork::loopPool(), decodeTask, std::move(response.body));
    DecodedTask decoded = co_await decoding;
    if (decoded.failure)
        std::rethrow_exception(decoded.failure);
    co_return std::move(decoded.task);
}

bool TaskAnswer::claim() {
    int open = kOpen;
    return state_.compare_exchange_strong(open, kSending);
}

void TaskAnswer::settle(bool delivered) {
    int sending = kSending;
    state_.compare_exchange_strong(sending, delivered ? kAnswered : expired_ ? kClosed : kOpen);
    if (onSettled)
        onSettled();
}

bool TaskAnswer::expire() {
    expired_ = true;
    int open = kOpen;
    if (state_.compare_exchange_strong(open, kClosed))
        return true;
    return false; // answered, or an answer on its way (the caller waits for it to settle)
}

QCoro::Task<> APIService::sendBridgeTaskUpdate(QString id, QByteArray bodyData, bool final) const {
    // The task is closed before its final update goes out: whichever final update
    // claims it first is the only one.
    const QString path = QStringLiteral("/bridge/tasks/") + pathSegment(id);
    const std::shared_ptr<TaskAnswer> answer = taskAnswer;
    if (answer) {
        if (final ? !answer->claim() : !answer->isOpen())
            co_return; // already answered (or its answer on the way)
    }
    Call call;
    call.method = "PATCH";
    call.path = path;
    call.body = std::move(bodyData);
    call.contentType = "application/json";
    call.timeoutMs = kTaskUpdateTimeoutMs;
    call.bridge = true;
    HttpRequest request = buildRequest(call);
    // Bounded as a whole: the bridge waits that long at most for an answer on its way.
    request.deadlineMs = call.timeoutMs;
    try {
        const HttpResponse response = co_await HttpSession::pinned().ombrixData(std::move(request));
        if (response.status < 200 || response.status > 299)
            throw APIError::httpWithBytes(response.status, response.body);
    } catch (...) {
        if (answer && final)
            answer->settle(false); // not taken: a later final update may still answer
        throw;
    }
    if (answer && final)
        answer->settle(true);
}

QCoro::Task<> APIService::reportBridgeTaskSuccess(const QString& id, const Json& result) const {
    requireToken();
    QByteArray body = BridgeSuccessBody{result}.encode();
    co_await sendBridgeTaskUpdate(id, std::move(body), true);
}

QCoro::Task<> APIService::reportBridgeTaskError(const QString& id, const QString& message) const {
    requireToken();
    QByteArray body = BridgeErrorBody{message}.encode();
    co_await sendBridgeTaskUpdate(id, std::move(body), true);
}

QCoro::Task<> APIService::reportBridgeTaskDelta(const QString& id, const QString& delta) const {
    requireToken();
    QByteArray body = BridgeStreamBody{delta}.encode();
    co_await sendBridgeTaskUpdate(id, std::move(body), false);
}

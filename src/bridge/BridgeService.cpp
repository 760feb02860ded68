#include "bridge/BridgeService.h"

#include "bridge/ScreenControlBridgeHandler.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTimer>

#include <algorithm>

namespace {
std::unique_ptr<BridgeService>& sharedBridge() {
    static std::unique_ptr<BridgeService> bridge;
    return bridge;
}

std::function<void(BridgeService&)>& compositionHook() {
    static std::function<void(BridgeService&)> hook;
    return hook;
}

// How long past the final update's own deadline the loop waits for it to settle.
constexpr std::chrono::milliseconds kSettleMargin = std::chrono::seconds(2);

// Sends an error update; a failure to deliver it is only logged.
QCoro::Task<> reportErrorQuietly(const APIService& api, const QString& id, const QString& message) {
    try {
        co_await api.reportBridgeTaskError(id, message);
    } catch (...) {
        qCWarning(lcBridge) << "Mise à jour d'erreur non livrée pour la tâche" << id;
    }
}
} // namespace

bool BridgeService::Status::operator==(const Status& other) const {
    if (kind != other.kind)
        return false;
    if (kind == Kind::Busy)
        return task == other.task;
    if (kind == Kind::Error)
        return message == other.message;
    return true;
}

BridgeService::BridgeService() {
    registerBridgeHandlers(*this);
    if (const auto& hook = compositionHook())
        hook(*this);
}

void BridgeService::setCompositionHook(std::function<void(BridgeService&)> hook) {
    compositionHook() = std::move(hook);
}

BridgeService::~BridgeService() {
    stop();
}

BridgeService& BridgeService::shared() {
    auto& bridge = sharedBridge();
    if (!bridge)
        bridge = std::make_unique<BridgeService>();
    return *bridge;
}

void BridgeService::resetSharedForTesting() {
    sharedBridge().reset();
}

void BridgeService::setStatus(const Status& status) {
    if (status_ == status)
        return;
    status_ = status;
    emit statusChanged();
}

void BridgeService::setLastErrorMessage(const std::optional<QString>& message) {
    if (lastErrorMessage_ == message)
        return;
    lastErrorMessage_ = message;
    emit lastErrorMessageChanged();
}

void BridgeService::setHandler(BridgeTaskKind kind, BridgeHandler handler) {
    if (handler)
        handlers_.insert(static_cast<int>(kind), std::move(handler));
    else
        handlers_.remove(static_cast<int>(kind));
}

bool BridgeService::hasHandler(BridgeTaskKind kind) const {
    return handlers_.contains(static_cast<int>(kind));
}

std::chrono::seconds BridgeService::backoffDelay(int consecutiveFailures) {
    const int exponent = std::clamp(consecutiveFailures - 1, 0, 5);
    return std::chrono::seconds(std::min(1 << exponent, 30));
}

void BridgeService::start(const QString& token) {
    if (token.isEmpty())
        return;
    if (running_) {
        if (token_ == token)
            return;
        stop();
    }
    token_ = token;
    setLastErrorMessage(std::nullopt);
    consecutiveFailures_ = 0;
    setStatus(Status::idle());
    running_ = true;
    const quint64 generation = ++generation_;
    // The loop starts from the event loop, never inside the caller.
    QTimer::singleShot(0, this, [this, generation] {
        if (generation == generation_)
            pollLoop(generation);
    });
}

void BridgeService::stop() {
    ++generation_;
    // Shortcut runs end with the bridge (sign-out, a refused token): one that never
    // ends would otherwise hold a worker thread and its processes for good.
    ScreenControlBridgeHandler::stopShortcutRuns();
    running_ = false;
    token_.reset();
    setStatus(Status::off());
    // The superseded loop, resumed by these, sees its generation gone and ends.
    pollRequests_.abortAll();
    emit wake();
}

QCoro::Task<> BridgeService::pause(std::chrono::milliseconds delay) {
    if (sleeper_) {
        const Sleeper sleeper = sleeper_; // kept alive for the whole pause
        co_await sleeper(delay);
        co_return;
    }
    QTimer timer;
    timer.setSingleShot(true);
    const auto connection = connect(this, &BridgeService::wake, &timer, [&timer] { timer.start(0); });
    timer.start(delay);
    co_await timer;
    QObject::disconnect(connection);
}

bool BridgeService::isExpectedPollTimeout(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const NetworkError& networkError) {
        return networkError.kind() == NetworkError::Kind::TimedOut;
    } catch (...) {
        return false;
    }
}

QCoro::Task<std::optional<QString>> BridgeService::encodeHeartbeat() {
    std::optional<QString> header;
    try {
        QByteArray text;
        if (heartbeatSource_)
            text = co_await heartbeatSource_();
        if (!text.isEmpty())
            header = QString::fromLatin1(text);
    } catch (...) {
        qCWarning(lcBridge) << "Heartbeat indisponible pour ce passage";
    }
    co_return header;
}

QCoro::Task<> BridgeService::pollLoop(quint64 generation) {
    QPointer<BridgeService> self(this);
    const auto current = [&] { return self && self->generation_ == generation; };

    while (true) {
        if (!current())
            co_return; // stopped: stop() has already set the status
        if (!token_ || token_->isEmpty()) {
            running_ = false;
            setStatus(Status::off());
            co_return;
        }
        setStatus(Status::polling());

        std::optional<BridgeTask> task;
        std::optional<APIService> api;
        std::exception_ptr failure;
        try {
            QMap<QString, QString> headers;
            const QString deviceId = co_await KeychainStore::cachedBridgeDeviceIdAsync();
            if (!current())
                co_return;
            headers.insert(QStringLiteral("X-Bridge-Device-Id"), deviceId);
            headers.insert(QStringLiteral("X-Bridge-Device-Nickname"),
                           AppSession::shared().localLLMDeviceNickname());
            const std::optional<QString> heartbeat = co_await encodeHeartbeat();
            if (!current())
                co_return;
            if (heartbeat)
                headers.insert(QStringLiteral("X-Bridge-Heartbeat"), *heartbeat);
            api.emplace(token_, headers);
            // The request starts inside the scope, so that stop() can abandon it.
            auto poll = [&] {
                HttpAbortGroup::Scope scope(pollRequests_);
                return api->pollBridgeTask(kPollWaitSeconds);
            }();
            task = co_await std::move(poll);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!current())
            co_return; // abandoned by stop(): not a failure

        if (failure) {
            if (isExpectedPollTimeout(failure)) {
                consecutiveFailures_ = 0;
                setLastErrorMessage(std::nullopt);
                setStatus(Status::idle());
                continue;
            }
            ++consecutiveFailures_;
            const QString description = describeException(failure);
            qCInfo(lcBridge) << "Échec du relevé des tâches" << consecutiveFailures_ << ":" << description;
            setLastErrorMessage(description);
            setStatus(Status::error(description));
            co_await pause(backoffDelay(consecutiveFailures_));
            continue;
        }

        consecutiveFailures_ = 0;
        setLastErrorMessage(std::nullopt);
        if (!task)
            continue; // 204: nothing to do, poll again at once

        setStatus(Status::busy(task->kind));
        lastTaskAt_ = QDateTime::currentDateTimeUtc();
        emit lastTaskAtChanged();
        co_await handle(*task, *api);
        if (!current())
            co_return;
        ++tasksServed_;
        emit tasksServedChanged();
        setStatus(Status::idle());
    }
}

QCoro::Task<bool> BridgeService::canHandle(const BridgeTask& task, const APIService& api) {
    if (task.kind == BridgeTaskKind::LLMInfer)
        co_return true;
    if (AppSession::shared().bridgeEnabled())
        co_return true;
    co_await reportErrorQuietly(api, task.id, loc("Le pont local est désactivé dans les Réglages du Mac."));
    co_return false;
}

QCoro::Task<> BridgeService::handle(const BridgeTask& task, const APIService& api) {
    const bool allowed = co_await canHandle(task, api);
    if (!allowed)
        co_return;
    const BridgeHandler handler = handlers_.value(static_cast<int>(task.kind));
    if (!handler) {
        co_await reportErrorQuietly(api, task.id,
                                    loc("Ce type de tâche n'est pas pris en charge par cet ordinateur : ") +
                                        wireName(task.kind));
        co_return;
    }
    // The handler runs on its own; the loop waits for it up to the task's limit.
    APIService guarded = api;
    const auto answer = std::make_shared<TaskAnswer>();
    guarded.taskAnswer = answer;
    const auto run = std::make_shared<BridgeHandlerRun>();
    answer->onSettled = [weak = QPointer<BridgeHandlerRun>(run.get())] {
        if (weak)
            emit weak->answerSettled();
    };
    const std::chrono::milliseconds limit = timeLimit(task.kind);
    guarded.taskDeadline = QDeadlineTimer(limit);
    QCoro::Task<> running = runHandler(handler, task, guarded, run);
    if (!run->finished) {
        auto signalled = qCoro(run.get(), &BridgeHandlerRun::done, limit);
        co_await signalled;
    }
    if (run->finished)
        co_return;
    // Out of time: the task is closed now, so the handler, left to finish on its own
    // (its frame ends with it), can send nothing more. An answer already on its way
    // is waited for (its PATCH is bounded as a whole): delivered, it is the task's
    // only one; not delivered, the time-out error goes instead.
    if (!answer->expire()) {
        if (answer->isSending()) {
            auto settled = qCoro(run.get(), &BridgeHandlerRun::answerSettled,
                                 std::chrono::milliseconds(APIService::kTaskUpdateTimeoutMs) + kSettleMargin);
            co_await settled;
        }
        if (answer->isSending()) // its outcome unknown: a second answer could follow a first one
            qCWarning(lcBridge) << "Réponse de la tâche" << wireName(task.kind) << "toujours en cours";
        if (answer->isDelivered() || answer->isSending()) {
            qCInfo(lcBridge) << "Tâche" << wireName(task.kind) << "répondue à la limite de" << limit.count()
                             << "ms";
            co_return;
        }
    }
    qCWarning(lcBridge) << "Tâche" << wireName(task.kind) << "arrêtée après" << limit.count() << "ms";
    co_await reportErrorQuietly(api, task.id,
                                loc("La tâche a dépassé le temps imparti (%1 s).")
                                    .arg(std::chrono::ceil<std::chrono::seconds>(limit).count()));
}

QCoro::Task<> BridgeService::runHandler(BridgeHandler handler, BridgeTask task, APIService api,
                                        std::shared_ptr<BridgeHandlerRun> run) {
    std::optional<QString> escaped;
    try {
        co_await handler(task, api);
    } catch (...) {
        // Handlers answer their own failures; one that throws still gets an answer.
        escaped = describeException(std::current_exception());
        qCWarning(lcBridge) << "Le gestionnaire de" << wireName(task.kind) << "a échoué";
    }
    if (escaped)
        co_await reportErrorQuietly(api, task.id, *escaped);
    run->finished = true;
    emit run->done();
}

std::chrono::milliseconds BridgeService::taskTimeLimit(BridgeTaskKind kind) {
    using namespace std::chrono_literals;
    return kind == BridgeTaskKind::LLMInfer ? std::chrono::milliseconds(10min)
                                            : std::chrono::milliseconds(2min);
}

std::optional<QByteArray> BridgeService::pngData(const QImage& image) {
    if (image.isNull())
        return std::nullopt;
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG") || bytes.isEmpty())
        return std::nullopt;
    return bytes;
}

#pragma once

#include "bridge/BridgeIDCache.h"
#include "session/APIService.h"
#include "session/OmbrixHTTP.h"
#include "wire/BridgeTask.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

// Runs one bridge task and sends its final update itself, through the given
// APIService (the poll's token and bridge headers). Must not throw.
using BridgeHandler = std::function<QCoro::Task<>(const BridgeTask&, const APIService&)>;

class BridgeService;

// One handler run the loop waits for: shared by the loop and the run, so that either
// may end first (the loop at the task's time limit).
class BridgeHandlerRun : public QObject {
    Q_OBJECT
public:
    bool finished = false;
signals:
    void done();
    // The task's final update, claimed and sent, was delivered or not.
    void answerSettled();
};
// The bridge's own handlers (BridgeHandlers.cpp), every kind but "llm_infer",
// which the composition root adds. Called by every BridgeService when it is made.
void registerBridgeHandlers(BridgeService& service);

// Adapts a handler that takes its kind's argument record:
//   service.setHandler(BridgeTaskKind::Read, bridgeHandlerWithArgs(&handleRead));
template <typename Args>
BridgeHandler bridgeHandlerWithArgs(QCoro::Task<> (*handler)(const BridgeTask&, const Args&,
                                                             const APIService&));

// Serves the backend as a bridge while the user is signed in: long-polls for the
// next task with the device headers and the heartbeat, hands it to its kind's
// handler, waits for the handler, polls again. Backs off after failed polls (1, 2,
// 4, 8, 16, then 30 s). Lives on the GUI thread.
//
// Each loop carries a generation number: once stop() (or a start with another
// token) has superseded it, a loop writes nothing more to the published state, and
// the poll it abandons is not counted as a failure.
class BridgeService : public QObject {
    Q_OBJECT
public:
    struct Status {
        enum class Kind { Busy, Error, Off, Idle, Polling };
        Kind kind = Kind::Off;
        BridgeTaskKind task = BridgeTaskKind::Search; // meaningful for Busy
        QString message;                              // meaningful for Error

        static Status busy(BridgeTaskKind task) { return {Kind::Busy, task, {}}; }
        static Status error(QString message) {
            return {Kind::Error, BridgeTaskKind::Search, std::move(message)};
        }
        static Status off() { return {Kind::Off, BridgeTaskKind::Search, {}}; }
        static Status idle() { return {Kind::Idle, BridgeTaskKind::Search, {}}; }
        static Status polling() { return {Kind::Polling, BridgeTaskKind::Search, {}}; }
        // Same case with equal payloads.
        bool operator==(const Status& other) const;
    };

    using Sleeper = std::function<QCoro::Task<>(std::chrono::milliseconds)>;

    static constexpr int kPollWaitSeconds = 25;

    BridgeService();
    ~BridgeService() override;

    // The process-wide bridge, made on first use.
    static BridgeService& shared();
    // Stops and drops the process-wide bridge; the next shared() makes a new one.
    static void resetSharedForTesting();
    // What the program adds to every bridge made from now on, run at the end of its
    // construction: the composition root (src/app/Composition.h) registers the
    // handlers of the layers above the bridge (local inference) and the heartbeat.
    static void setCompositionHook(std::function<void(BridgeService&)> hook);
    // The heartbeat header's value, asked before each poll; nothing is sent when
    // there is no source or it gives nothing.
    using HeartbeatSource = std::function<QCoro::Task<QByteArray>()>;
    void setHeartbeatSource(HeartbeatSource source) { heartbeatSource_ = std::move(source); }

    // Starts polling with the token. Nothing happens for an empty token or when a
    // loop already runs with this token; a loop with another token is stopped first.
    void start(const QString& token);
    // Stops the loop: its poll is abandoned, its back-off ends, status becomes off.
    // The counters, the last error and the id cache are kept.
    void stop();

    Status status() const { return status_; }
    std::optional<QDateTime> lastTaskAt() const { return lastTaskAt_; }
    qint64 tasksServed() const { return tasksServed_; }
    std::optional<QString> lastErrorMessage() const { return lastErrorMessage_; }
    // Handlers record here the description of a result they could not deliver.
    void setLastErrorMessage(const std::optional<QString>& message);
    int consecutiveFailures() const { return consecutiveFailures_; }
    bool isRunning() const { return running_; }
    std::optional<QString> token() const { return token_; }
    BridgeIDCache& idCache() { return idCache_; }

    // The handler of a kind; an empty function removes it. A task of a kind
    // without a handler is answered with an error update.
    void setHandler(BridgeTaskKind kind, BridgeHandler handler);
    bool hasHandler(BridgeTaskKind kind) const;

    // The longest a task's handler may take: then the task is answered with an
    // error, the handler's later updates are dropped and the loop polls again.
    // Local inference streams a whole generation (10 min); every other task, 2 min.
    static std::chrono::milliseconds taskTimeLimit(BridgeTaskKind kind);
    // Replaces the limit for every kind (nothing: the defaults).
    void setTaskTimeLimitForTesting(std::optional<std::chrono::milliseconds> limit) {
        timeLimitForTesting_ = limit;
    }
    // The limit in force for `kind` (the replaced one in tests). The local model's
    // tools that decode files run under the same.
    std::chrono::milliseconds timeLimit(BridgeTaskKind kind) const {
        return timeLimitForTesting_.value_or(taskTimeLimit(kind));
    }

    // The back-off pause after the given number of failures in a row.
    static std::chrono::seconds backoffDelay(int consecutiveFailures);
    // Replaces the back-off pause (tests record the delays instead of waiting).
    void setSleeperForTesting(Sleeper sleeper) { sleeper_ = std::move(sleeper); }

    // PNG bytes of an image; nothing for an image without pixels.
    static std::optional<QByteArray> pngData(const QImage& image);

signals:
    void statusChanged();
    void lastTaskAtChanged();
    void tasksServedChanged();
    void lastErrorMessageChanged();
    // Ends a back-off pause early (stop()).
    void wake();

private:
    QCoro::Task<> pollLoop(quint64 generation);
    QCoro::Task<std::optional<QString>> encodeHeartbeat();
    HeartbeatSource heartbeatSource_;
    QCoro::Task<> handle(const BridgeTask& task, const APIService& api);
    static QCoro::Task<> runHandler(BridgeHandler handler, BridgeTask task, APIService api,
                                    std::shared_ptr<BridgeHandlerRun> run);
    QCoro::Task<bool> canHandle(const BridgeTask& task, const APIService& api);
    QCoro::Task<> pause(std::chrono::milliseconds delay);
    static bool isExpectedPollTimeout(const std::exception_ptr& error);
    void setStatus(const Status& status);

    Status status_;
    std::optional<QDateTime> lastTaskAt_;
    qint64 tasksServed_ = 0;
    std::optional<QString> lastErrorMessage_;
    bool running_ = false;
    std::optional<QString> token_;
    BridgeIDCache idCache_;
    int consecutiveFailures_ = 0;

    quint64 generation_ = 0;
    HttpAbortGroup pollRequests_;
    QHash<int, BridgeHandler> handlers_;
    Sleeper sleeper_;
    std::optional<std::chrono::milliseconds> timeLimitForTesting_;
};

namespace BridgeHandlerDetail {
template <typename Args>
QCoro::Task<> invoke(QCoro::Task<> (*handler)(const BridgeTask&, const Args&, const APIService&),
                     BridgeTask task, APIService api) {
    const Args args = std::get<Args>(task.args);
    co_await handler(task, args, api);
}
} // namespace BridgeHandlerDetail

template <typename Args>
BridgeHandler bridgeHandlerWithArgs(QCoro::Task<> (*handler)(const BridgeTask&, const Args&,
                                                             const APIService&)) {
    return [handler](const BridgeTask& task, const APIService& api) {
        return BridgeHandlerDetail::invoke(handler, task, api);
    };
}

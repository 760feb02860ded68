#pragma once

#include "platform/Errors.h"

#include <QFuture>
#include <QPromise>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// File work on the shared folders (opening, listing, reading, decoding what was
// read) runs here, on threads of its own: never on the GUI thread, never on Qt's
// global pool. A shared folder may sit on a network mount that stops answering;
// a thread that touches it then blocks in the kernel for as long as the mount
// hangs, and nothing can take it back.
//
// Each piece of work names the shared folders it touches (their paths: the keys).
// A piece still running past its limit is written off: whoever waits for it gets
// ShareWork::NotAnswering at once, and a fresh thread takes its place, so stuck
// threads never starve the pool. Past kMaxStuckPerShare stuck threads on a share,
// new work on that share is refused at once (with the same error), without a
// thread; the share is taken back as its stuck threads come home.
namespace ShareWork {

// "Le dossier partagé ne répond pas"
class NotAnswering : public OmbrixError {
public:
    QString description() const override;
};

// Threads that run work at once (stuck threads not counted).
inline constexpr int kThreads = 4;
// Stuck threads a share may hold before its work is refused at once.
inline constexpr int kMaxStuckPerShare = 4;
// How long a piece of work may run before it is taken for stuck: the bridge's
// task limit.
inline constexpr std::chrono::milliseconds kDefaultLimit = std::chrono::minutes(2);

// Replaces the limit (nothing: the default). Tests shorten it.
void setLimitForTesting(std::optional<std::chrono::milliseconds> limit);

// How many threads are stuck on the share now.
int stuckThreads(const QString& share);
// How many threads the pool holds now (running, waiting and stuck).
int threadCount();

// The pool's own currency: runs `job` on a pool thread; `abandon` is called
// instead (from another thread) when the work is refused or written off. Exactly
// one of them completes the caller's future.
void submit(const QStringList& shares, std::function<void()> job, std::function<void()> abandon);

// Runs `work` on the pool and waits for it without blocking the calling thread.
// Throws NotAnswering when a share does not answer; what `work` throws is
// rethrown.
template <typename Work> auto run(QStringList shares, Work work) -> QCoro::Task<decltype(work())>;

// Threads for the bridge loop's own steps (decoding a polled task, reading the
// heartbeat's figures): never shared with file work or decoding, so a poll never
// waits behind them. Waited for at the program's end (WorkPools).
QThreadPool& loopPool();

namespace Detail {
template <typename T> struct Slot {
    std::mutex mutex;
    bool done = false;
    QPromise<std::optional<T>> promise;
    std::exception_ptr failure;

    void complete(std::optional<T> value, std::exception_ptr error) {
        const std::lock_guard lock(mutex);
        if (done)
            return;
        done = true;
        failure = std::move(error);
        promise.addResult(std::move(value));
        promise.finish();
    }
};
} // namespace Detail

namespace Detail {
// Waits for the slot's answer (a coroutine of its own, so that `run` is not one:
// g++ 12 destroys a lambda handed to a coroutine as a parameter twice).
template <typename T> QCoro::Task<T> await(std::shared_ptr<Slot<T>> slot) {
    const QFuture<std::optional<T>> future = slot->promise.future();
    std::optional<T> result = co_await future;
    std::exception_ptr failure;
    {
        const std::lock_guard lock(slot->mutex);
        failure = slot->failure;
    }
    if (failure)
        std::rethrow_exception(failure);
    if (!result)
        throw NotAnswering();
    co_return std::move(*result);
}
} // namespace Detail

template <typename Work> auto run(QStringList shares, Work work) -> QCoro::Task<decltype(work())> {
    using T = decltype(work());
    auto slot = std::make_shared<Detail::Slot<T>>();
    slot->promise.start();
    submit(
        shares,
        [slot, work = std::move(work)]() mutable {
            try {
                slot->complete(work(), nullptr);
            } catch (...) {
                slot->complete(std::nullopt, std::current_exception());
            }
        },
        [slot] { slot->complete(std::nullopt, nullptr); });
    return Detail::await<T>(slot);
}

} // namespace ShareWork

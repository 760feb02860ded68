#pragma once

#include "platform/Errors.h"

#include <QDeadlineTimer>
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
// read, walking the Pictures folder) runs here, on threads of its own: never on the
// GUI thread, never on Qt's global pool. A shared folder may sit on a network mount
// that stops answering; a thread that touches it then blocks in the kernel for as
// long as the mount hangs, and nothing can take it back.
//
// Each share (the key: the path it was shared at) has a lane of its own: at most
// kLaneThreads threads that only its work uses, those blocked in the kernel
// included, so a hung share holds up nothing but its own work. A piece of work runs
// on the lane of the first share it names.
//
// A share that gives no sign of life for kSilence counts as not answering: no file
// call on it returned (no work on it ended, and a probe of it, a statfs of its path
// made while work runs there, did not come back). Its running work is written off,
// whoever waits for it gets ShareWork::NotAnswering at once, its waiting work is
// dropped and new work on it is refused at once, without a thread, until a call on
// it returns. Only the share that gave no sign of life goes silent, not the others
// the same work names. A share that keeps answering keeps each piece's own limit: a
// long walk of a big share is not cut short. But once every thread of its lane holds
// work written off (at its limit: the share answers its probe, not the work's
// calls), its waiting work is dropped and new work refused at once in the same way,
// until one of those threads comes back.
//
// Work waiting in a lane is dropped before it starts once it is no longer wanted
// (its bridge task already answered) or its limit has passed.
namespace ShareWork {

// "Le dossier partagé ne répond pas"
class NotAnswering : public OmbrixError {
public:
    QString description() const override;
};

// Threads of one share's lane, those blocked on the share included.
inline constexpr int kLaneThreads = 3;
// No file call on a share returning for this long: the share does not answer.
inline constexpr std::chrono::milliseconds kSilence = std::chrono::seconds(3);
// The limit of work done for no bridge task (the local tools, the Settings window,
// the chat's links, the photo opener).
inline constexpr std::chrono::milliseconds kDefaultLimit = std::chrono::minutes(2);
// How long work may run past its limit before it is written off: the bridge
// answers a task at its limit itself, and its answer comes first.
inline constexpr std::chrono::milliseconds kPastLimit = std::chrono::milliseconds(500);

// For whom a piece of work runs.
struct Purpose {
    // Its limit: waiting work is dropped then, and running work written off soon
    // after (kPastLimit).
    QDeadlineTimer deadline = QDeadlineTimer(kDefaultLimit);
    // False once the work is no longer wanted (its task answered); called from any
    // thread. Empty: always wanted.
    std::function<bool()> wanted;
};

// Replaces kSilence (nothing: the default). Tests lengthen or shorten it.
void setSilenceForTesting(std::optional<std::chrono::milliseconds> silence);

// How many threads of the share's lane hold work written off now.
int stuckThreads(const QString& share);
// How many threads of the share's lane run work now (written off or not).
int busyThreads(const QString& share);
// Whether the share counts as not answering now.
bool isSilent(const QString& share);
// How many threads the lanes and their probes hold now.
int threadCount();

// The pool's own currency: runs `job` on a thread of the first share's lane;
// `abandon` is called instead (from another thread, or from this one when the work
// is refused at once) when the work is refused, dropped or written off. Exactly one
// of them completes the caller's future.
void submit(const QStringList& shares, std::function<void()> job, std::function<void()> abandon,
            Purpose purpose = {});

// Runs `work` on the share's lane and waits for it without blocking the calling
// thread. Throws NotAnswering when a share does not answer or the work is dropped;
// what `work` throws is rethrown.
template <typename Work>
auto run(QStringList shares, Work work, Purpose purpose = {}) -> QCoro::Task<decltype(work())>;

// At the program's end (Lifetime): the lanes are told to stop. Waiting work is
// dropped (abandoned), new work refused at once, and each thread ends once its
// work returns; none is waited for (one blocked on a hung mount may never return).
// Nothing the lanes use is ever destroyed, so a thread that comes back late finds
// it whole.
void endAll();

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

template <typename Work>
auto run(QStringList shares, Work work, Purpose purpose) -> QCoro::Task<decltype(work())> {
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
        [slot] { slot->complete(std::nullopt, nullptr); }, std::move(purpose));
    return Detail::await<T>(slot);
}

} // namespace ShareWork

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
// A sign of life is any file call on the share that returns: the code doing file
// calls on a lane says so (callReturned(): the shared tree, the listing, the search
// walk), a piece of work that ends says so, and so does a health check made while
// the share is quiet: an fstatfs of its root as already opened by its work (or,
// before that, a statfs of the mount point that holds it), on a thread of its own,
// never behind the share's work and never walking the share's path again. A share
// on which no call has returned for kSilence counts as not answering; one that has
// answered calls already is given kSlowSilence, so that one slow call on a slow
// server (one call at a time, seconds each) is not taken for a hang. Its running
// work is written off, whoever waits for it gets ShareWork::NotAnswering at once,
// its waiting work is dropped and new work on it is refused at once, without a
// thread, until a call on it returns. Only the share that gave no sign of life goes
// silent, not the others the same work names. A share that keeps answering keeps
// each piece's own limit: a long walk of a big share is not cut short. But once
// every thread of its lane holds work written off (at its limit: the share answers
// its health check, not the work's calls), its waiting work is dropped and new work
// refused at once in the same way, until one of those threads comes back.
//
// Silence belongs to the mount, not the path: a lane remembers the mount that held
// its share when it was made. Work for a silent share whose path now lies on another
// mount (the hung one was detached, another mounted there) gets a new lane at once,
// and the old lane's threads are written off where they hang.
//
// Work no longer wanted stops: work waiting in a lane is dropped before it starts
// once it is no longer wanted (its bridge task already answered), its limit has
// passed or its share was unshared; running work stops at its next file call
// (checkWanted()), so that its lane's threads are free within one call's time.
namespace ShareWork {

// "Le dossier partagé ne répond pas"
class NotAnswering : public OmbrixError {
public:
    QString description() const override;
};

// Thrown by checkWanted() inside work that is no longer wanted; whoever waits for
// that work gets it as NotAnswering (when its answer was not given already).
class Stopped : public NotAnswering {};

// "Ce dossier n'est plus partagé sur le Mac.": the work's share was unshared.
class Unshared : public OmbrixError {
public:
    QString description() const override;
};

// Threads of one share's lane, those blocked on the share included.
inline constexpr int kLaneThreads = 3;
// No file call on a share returning for this long: the share does not answer.
inline constexpr std::chrono::milliseconds kSilence = std::chrono::seconds(3);
// The same for a share that has answered calls already (since its lane was made, or
// in the last kTrustKept): a slow server may take seconds for one call.
inline constexpr int kSlowSilenceFactor = 4;
inline constexpr std::chrono::milliseconds kSlowSilence = kSilence * kSlowSilenceFactor;
inline constexpr std::chrono::milliseconds kTrustKept = std::chrono::minutes(10);
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

// Replaces kSilence (nothing: the default; kSlowSilence follows it). Tests
// lengthen or shorten it.
void setSilenceForTesting(std::optional<std::chrono::milliseconds> silence);

// For the code doing file calls inside work run here (cheap; nothing outside a
// lane's thread):
// - a file call on the share returned: a sign of life of the lane's share;
void callReturned();
// - whether the work is still wanted (not written off, its share still shared, its
//   task not answered, its limit not passed); true outside a lane's thread;
bool stillWanted();
// - throws Stopped (or Unshared) when it is not: called before each file call.
void checkWanted();
// - both, after each call.
inline void callDone() {
    callReturned();
    checkWanted();
}
// - a descriptor of the share's root as opened by the work (the share being the
//   path it was shared at): the lane keeps a copy for its health check.
void rootOpened(const QString& share, int fd);

// The folder shared at `share` is no longer shared: its waiting work is dropped,
// whoever waits for its running work gets Unshared at once, and that work stops at
// its next file call.
void unshared(const QString& share);

// How many threads of the share's lane hold work written off now.
int stuckThreads(const QString& share);
// How many threads of the share's lane run work now (written off or not).
int busyThreads(const QString& share);
// Whether the share counts as not answering now.
bool isSilent(const QString& share);
// How many threads the lanes and their probes hold now.
int threadCount();

// Why work was given up.
enum class Abandoned { NotAnswering, Unshared };

// The pool's own currency: runs `job` on a thread of the first share's lane;
// `abandon` is called instead (from another thread, or from this one when the work
// is refused at once) when the work is refused, dropped, written off or unshared.
// Exactly one of them completes the caller's future.
void submit(const QStringList& shares, std::function<void()> job, std::function<void(Abandoned)> abandon,
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
        [slot](Abandoned why) {
            slot->complete(std::nullopt,
                           why == Abandoned::Unshared ? std::make_exception_ptr(Unshared()) : nullptr);
        },
        std::move(purpose));
    return Detail::await<T>(slot);
}

} // namespace ShareWork

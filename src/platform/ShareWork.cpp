#include "platform/ShareWork.h"

#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/WorkPools.h"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <list>
#include <thread>

#include <pthread.h>
#include <sys/statfs.h>

namespace ShareWork {

QString NotAnswering::description() const {
    return loc("Le dossier partagé ne répond pas");
}

namespace {

using Clock = std::chrono::steady_clock;

// A thread waiting this long for work goes away: no thread is kept at idle.
constexpr auto kIdleExit = std::chrono::seconds(30);
// How often the watcher looks at the lanes while work runs or waits.
constexpr auto kWatchTick = std::chrono::milliseconds(50);

struct Job {
    QStringList shares;
    std::function<void()> run;
    std::function<void()> abandon;
    Purpose purpose;

    bool wanted() const { return !purpose.deadline.hasExpired() && (!purpose.wanted || purpose.wanted()); }
};

struct Running {
    std::shared_ptr<Job> job;
    Clock::time_point started;
    bool writtenOff = false;
};

struct Lane {
    std::deque<std::shared_ptr<Job>> queue;
    std::list<Running> running;
    std::condition_variable work;
    int threads = 0;            // its threads, those blocked on the share included
    int waiting = 0;            // of them, those waiting for work
    Clock::time_point lastSign; // when a file call on the share last returned
    bool silent = false;
    bool probing = false;
};

// Made once and never destroyed: a thread blocked in the kernel may come back while
// the program ends, and must still find its pool.
class Pool {
public:
    void submit(std::shared_ptr<Job> job) {
        {
            std::unique_lock lock(mutex_);
            if (ending_) {
                lock.unlock();
                job->abandon();
                return;
            }
            if (!refusedLocked(*job)) {
                const std::shared_ptr<Lane> lane = laneLocked(job->shares.value(0));
                lane->queue.push_back(std::move(job));
                // More work than waiting threads: a new one, within the lane's bound.
                if (lane->queue.size() > static_cast<std::size_t>(lane->waiting) &&
                    lane->threads < kLaneThreads)
                    spawnLocked(lane);
                lane->work.notify_one();
                watch_.notify_one();
                return;
            }
        }
        qCWarning(lcContent) << "Travail refusé: le dossier partagé ne répond pas" << job->shares;
        job->abandon();
    }

    // The program's end: waiting work is dropped, new work refused, and each lane's
    // threads end once their work returns (never waited for: a thread blocked on a
    // hung mount may never come back). The pool itself is never destroyed.
    void end() {
        QList<std::shared_ptr<Job>> dropped;
        {
            const std::lock_guard lock(mutex_);
            ending_ = true;
            for (const std::shared_ptr<Lane>& lane : std::as_const(lanes_)) {
                for (std::shared_ptr<Job>& job : lane->queue)
                    dropped.append(std::move(job));
                lane->queue.clear();
                lane->work.notify_all();
            }
            watch_.notify_all();
        }
        for (const std::shared_ptr<Job>& job : std::as_const(dropped))
            job->abandon();
    }

    void setSilence(std::optional<std::chrono::milliseconds> silence) {
        const std::lock_guard lock(mutex_);
        silence_ = silence.value_or(kSilence);
    }

    int stuckOn(const QString& share) {
        const std::lock_guard lock(mutex_);
        const std::shared_ptr<Lane> lane = lanes_.value(share);
        return lane ? stuckLocked(*lane) : 0;
    }

    int busyOn(const QString& share) {
        const std::lock_guard lock(mutex_);
        const std::shared_ptr<Lane> lane = lanes_.value(share);
        return lane ? static_cast<int>(lane->running.size()) : 0;
    }

    bool silentNow(const QString& share) {
        const std::lock_guard lock(mutex_);
        const std::shared_ptr<Lane> lane = lanes_.value(share);
        return lane && lane->silent;
    }

    int threads() {
        const std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    std::shared_ptr<Lane> laneLocked(const QString& share) {
        std::shared_ptr<Lane>& lane = lanes_[share];
        if (!lane) {
            lane = std::make_shared<Lane>();
            lane->lastSign = Clock::now();
        }
        return lane;
    }

    static int stuckLocked(const Lane& lane) {
        return static_cast<int>(std::count_if(lane.running.cbegin(), lane.running.cend(),
                                              [](const Running& running) { return running.writtenOff; }));
    }

    // Refused when a share it names is silent, or when every thread of a named
    // share's lane holds work written off: a share that answers its probe but not
    // the work's calls, on which new work would only wait for its limit.
    bool refusedLocked(const Job& job) const {
        for (const QString& share : job.shares) {
            const std::shared_ptr<Lane> lane = lanes_.value(share);
            if (lane && (lane->silent || stuckLocked(*lane) >= kLaneThreads))
                return true;
        }
        return false;
    }

    void spawnLocked(const std::shared_ptr<Lane>& lane) {
        ++lane->threads;
        ++threads_;
        std::thread([this, lane] { work(lane); }).detach();
        if (!watching_) {
            watching_ = true;
            std::thread([this] { watch(); }).detach();
        }
    }

    // A file call on the share returned: it answers.
    void signOfLifeLocked(const QString& share) {
        if (const std::shared_ptr<Lane> lane = lanes_.value(share)) {
            lane->lastSign = Clock::now();
            lane->silent = false;
        }
    }

    void work(std::shared_ptr<Lane> lane) {
        pthread_setname_np(pthread_self(), "ombrix-share");
        std::unique_lock lock(mutex_);
        while (true) {
            if (lane->queue.empty()) {
                ++lane->waiting;
                const bool woken =
                    lane->work.wait_for(lock, kIdleExit, [&] { return !lane->queue.empty() || ending_; });
                --lane->waiting;
                if (!woken || ending_) {
                    --lane->threads;
                    --threads_;
                    return;
                }
            }
            std::shared_ptr<Job> job = std::move(lane->queue.front());
            lane->queue.pop_front();
            // Dropped before it starts: no longer wanted, or its share went silent.
            if (refusedLocked(*job) || !job->wanted()) {
                lock.unlock();
                job->abandon();
                job.reset();
                lock.lock();
                continue;
            }
            const auto mine = lane->running.insert(lane->running.end(), Running{job, Clock::now(), false});
            watch_.notify_one();
            lock.unlock();
            job->run();
            lock.lock();
            for (const QString& share : std::as_const(mine->job->shares))
                signOfLifeLocked(share);
            lane->running.erase(mine);
            job.reset();
        }
    }

    // Asks the share for a sign of life on a thread of its own (one at a time per
    // share): a statfs of its path, which goes to the file system itself.
    void probeLocked(const QString& share, const std::shared_ptr<Lane>& lane) {
        lane->probing = true;
        ++threads_;
        std::thread([this, share, lane] {
            pthread_setname_np(pthread_self(), "ombrix-shareprobe");
            struct statfs info {};
            ::statfs(QFile::encodeName(share).constData(), &info);
            const std::lock_guard lock(mutex_);
            lane->probing = false;
            lane->lastSign = Clock::now();
            lane->silent = false;
            --threads_;
        }).detach();
    }

    // Marks silent each share of a running piece of work that has given no sign of
    // life for `quiet`, and only that one: the other shares the work names answer
    // their probes. Probes the shares that have been quiet for a third of it.
    void markQuietLocked(const Running& running, Clock::time_point now, std::chrono::milliseconds quiet) {
        for (const QString& share : std::as_const(running.job->shares)) {
            const std::shared_ptr<Lane> lane = laneLocked(share);
            const Clock::duration since = now - std::max(running.started, lane->lastSign);
            if (since >= quiet / 3 && !lane->probing)
                probeLocked(share, lane);
            if (since >= quiet)
                lane->silent = true;
        }
    }

    // Writes off work whose share went silent or whose limit passed, drops waiting
    // work that is no longer wanted or refused now, and forgets idle lanes.
    void watch() {
        pthread_setname_np(pthread_self(), "ombrix-sharewatch");
        std::unique_lock lock(mutex_);
        while (true) {
            const bool busy =
                std::any_of(lanes_.cbegin(), lanes_.cend(), [](const std::shared_ptr<Lane>& lane) {
                    return !lane->running.empty() || !lane->queue.empty();
                });
            if (busy)
                watch_.wait_for(lock, kWatchTick);
            else
                watch_.wait(lock);
            const Clock::time_point now = Clock::now();
            QList<std::shared_ptr<Job>> dropped;
            QList<std::shared_ptr<Job>> writtenOff;
            // Shares found silent now.
            const QList<std::shared_ptr<Lane>> lanes = lanes_.values();
            for (const std::shared_ptr<Lane>& lane : lanes) {
                for (Running& running : lane->running) {
                    if (running.writtenOff)
                        continue;
                    markQuietLocked(running, now, silence_);
                }
            }
            for (const std::shared_ptr<Lane>& lane : lanes) {
                for (Running& running : lane->running) {
                    if (running.writtenOff)
                        continue;
                    const QDeadlineTimer& limit = running.job->purpose.deadline;
                    const bool overdue = !limit.isForever() && QDeadlineTimer::current().deadline() >=
                                                                   limit.deadline() + kPastLimit.count();
                    if (overdue || refusedLocked(*running.job)) {
                        running.writtenOff = true;
                        writtenOff.append(running.job);
                    }
                }
                for (auto it = lane->queue.begin(); it != lane->queue.end();) {
                    if (refusedLocked(**it) || !(*it)->wanted()) {
                        dropped.append(std::move(*it));
                        it = lane->queue.erase(it);
                    } else {
                        ++it;
                    }
                }
            }
            for (auto it = lanes_.begin(); it != lanes_.end();) {
                const Lane& lane = **it;
                // (Kept a while after its last sign: work running elsewhere may name it.)
                if (lane.threads == 0 && lane.queue.empty() && lane.running.empty() && !lane.probing &&
                    !lane.silent && now - lane.lastSign > kIdleExit)
                    it = lanes_.erase(it);
                else
                    ++it;
            }
            if (dropped.isEmpty() && writtenOff.isEmpty())
                continue;
            lock.unlock();
            for (const std::shared_ptr<Job>& job : std::as_const(writtenOff)) {
                qCWarning(lcContent) << "Travail sur un dossier partagé sans réponse, abandonné"
                                     << job->shares;
                job->abandon();
            }
            for (const std::shared_ptr<Job>& job : std::as_const(dropped))
                job->abandon();
            writtenOff.clear();
            dropped.clear();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable watch_;
    QHash<QString, std::shared_ptr<Lane>> lanes_;
    int threads_ = 0; // every thread: the lanes' and the probes'
    bool watching_ = false;
    bool ending_ = false;
    std::chrono::milliseconds silence_ = kSilence;
};

Pool& pool() {
    static Pool* const instance = new Pool;
    return *instance;
}

} // namespace

void setSilenceForTesting(std::optional<std::chrono::milliseconds> silence) {
    pool().setSilence(silence);
}

int stuckThreads(const QString& share) {
    return pool().stuckOn(share);
}

int busyThreads(const QString& share) {
    return pool().busyOn(share);
}

bool isSilent(const QString& share) {
    return pool().silentNow(share);
}

int threadCount() {
    return pool().threads();
}

void submit(const QStringList& shares, std::function<void()> job, std::function<void()> abandon,
            Purpose purpose) {
    auto queued = std::make_shared<Job>();
    queued->shares = shares;
    queued->run = std::move(job);
    queued->abandon = std::move(abandon);
    queued->purpose = std::move(purpose);
    pool().submit(std::move(queued));
}

void endAll() {
    pool().end();
}

QThreadPool& loopPool() {
    static QThreadPool* const pool = [] {
        QThreadPool* made = WorkPools::make(QStringLiteral("ombrix-bridgeloop"), 2);
        made->setExpiryTimeout(30000);
        return made;
    }();
    return *pool;
}

} // namespace ShareWork

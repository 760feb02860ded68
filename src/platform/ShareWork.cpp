#include "platform/ShareWork.h"

#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/WorkPools.h"

#include <QHash>

#include <condition_variable>
#include <deque>
#include <list>
#include <thread>

#include <pthread.h>

namespace ShareWork {

QString NotAnswering::description() const {
    return loc("Le dossier partagé ne répond pas");
}

namespace {

using Clock = std::chrono::steady_clock;

// A thread waiting this long for work goes away: no thread is kept at idle.
constexpr auto kIdleExit = std::chrono::seconds(30);

struct Job {
    QStringList shares;
    std::function<void()> run;
    std::function<void()> abandon;
};

struct Running {
    std::shared_ptr<Job> job;
    Clock::time_point deadline;
    bool stuck = false;
};

// Made once and never destroyed: a thread stuck in the kernel may come back while
// the program ends, and must still find its pool.
class Pool {
public:
    void submit(std::shared_ptr<Job> job) {
        {
            std::unique_lock lock(mutex_);
            if (!refused(*job)) {
                queue_.push_back(std::move(job));
                work_.notify_one();
                // More work than waiting threads: a new one, so that nothing queues
                // behind work that may hang.
                if (queue_.size() > static_cast<std::size_t>(waiting_) && active_ < kThreads)
                    spawnLocked();
                return;
            }
        }
        qCWarning(lcContent) << "Travail refusé: le dossier partagé ne répond pas" << job->shares;
        job->abandon();
    }

    void setLimit(std::optional<std::chrono::milliseconds> limit) {
        const std::lock_guard lock(mutex_);
        limit_ = limit.value_or(kDefaultLimit);
    }

    int stuckOn(const QString& share) {
        const std::lock_guard lock(mutex_);
        return stuck_.value(share);
    }

    int threads() {
        const std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    bool refused(const Job& job) const {
        for (const QString& share : job.shares)
            if (stuck_.value(share) >= kMaxStuckPerShare)
                return true;
        return false;
    }

    void spawnLocked() {
        ++active_;
        ++threads_;
        std::thread([this] { work(); }).detach();
        if (!watching_) {
            watching_ = true;
            std::thread([this] { watch(); }).detach();
        }
    }

    void work() {
        pthread_setname_np(pthread_self(), "ombrix-share");
        std::unique_lock lock(mutex_);
        while (true) {
            if (queue_.empty()) {
                ++waiting_;
                const bool woken = work_.wait_for(lock, kIdleExit, [this] { return !queue_.empty(); });
                --waiting_;
                if (!woken) {
                    --active_;
                    --threads_;
                    return;
                }
            }
            std::shared_ptr<Job> job = std::move(queue_.front());
            queue_.pop_front();
            if (refused(*job)) {
                lock.unlock();
                job->abandon();
                lock.lock();
                continue;
            }
            const auto mine = running_.insert(running_.end(), Running{job, Clock::now() + limit_, false});
            watch_.notify_one();
            lock.unlock();
            job->run();
            job.reset();
            lock.lock();
            const bool wasStuck = mine->stuck;
            if (wasStuck) {
                for (const QString& share : std::as_const(mine->job->shares))
                    if (--stuck_[share] <= 0)
                        stuck_.remove(share);
            }
            running_.erase(mine);
            if (wasStuck) {
                // Written off while it hung: it comes back only when the pool is short.
                if (active_ >= kThreads) {
                    --threads_;
                    return;
                }
                ++active_;
            }
        }
    }

    // Writes off the work that overruns its limit: its waiter is answered and, when
    // work is waiting, a fresh thread takes the stuck one's place.
    void watch() {
        pthread_setname_np(pthread_self(), "ombrix-sharewatch");
        std::unique_lock lock(mutex_);
        while (true) {
            std::optional<Clock::time_point> next;
            for (const Running& running : running_)
                if (!running.stuck && (!next || running.deadline < *next))
                    next = running.deadline;
            if (next)
                watch_.wait_until(lock, *next);
            else
                watch_.wait(lock);
            const Clock::time_point now = Clock::now();
            QList<std::shared_ptr<Job>> overdue;
            for (Running& running : running_) {
                if (running.stuck || running.deadline > now)
                    continue;
                running.stuck = true;
                --active_;
                for (const QString& share : std::as_const(running.job->shares))
                    ++stuck_[share];
                overdue.append(running.job);
            }
            while (queue_.size() > static_cast<std::size_t>(waiting_) && active_ < kThreads)
                spawnLocked();
            if (overdue.isEmpty())
                continue;
            lock.unlock();
            for (const std::shared_ptr<Job>& job : std::as_const(overdue)) {
                qCWarning(lcContent) << "Travail sur un dossier partagé sans réponse, fil remplacé"
                                     << job->shares;
                job->abandon();
            }
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable watch_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::list<Running> running_;
    QHash<QString, int> stuck_;
    int active_ = 0;  // threads not written off
    int threads_ = 0; // every thread
    int waiting_ = 0; // threads waiting for work
    bool watching_ = false;
    std::chrono::milliseconds limit_ = kDefaultLimit;
};

Pool& pool() {
    static Pool* const instance = new Pool;
    return *instance;
}

} // namespace

void setLimitForTesting(std::optional<std::chrono::milliseconds> limit) {
    pool().setLimit(limit);
}

int stuckThreads(const QString& share) {
    return pool().stuckOn(share);
}

int threadCount() {
    return pool().threads();
}

void submit(const QStringList& shares, std::function<void()> job, std::function<void()> abandon) {
    auto queued = std::make_shared<Job>();
    queued->shares = shares;
    queued->run = std::move(job);
    queued->abandon = std::move(abandon);
    pool().submit(std::move(queued));
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

#include "platform/ShareWork.h"

#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/WorkPools.h"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <list>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace ShareWork {

QString NotAnswering::description() const {
    return loc("Le dossier partagé ne répond pas");
}

QString Unshared::description() const {
    return loc("Ce dossier n'est plus partagé sur le Mac.");
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
    std::function<void(Abandoned)> abandon;
    Purpose purpose;
    std::atomic<bool> unshared{false};   // its share is no longer shared
    std::atomic<bool> writtenOff{false}; // its caller was answered that the share does not answer

    bool wanted() const {
        return !unshared && !purpose.deadline.hasExpired() && (!purpose.wanted || purpose.wanted());
    }
    // Whether running work goes on: as wanted(), but its limit counts from kPastLimit
    // later, so that a bridge task at its limit is answered by the bridge first.
    bool goesOn() const {
        if (unshared || writtenOff || (purpose.wanted && !purpose.wanted()))
            return false;
        const QDeadlineTimer& limit = purpose.deadline;
        return limit.isForever() ||
               QDeadlineTimer::current().deadline() < limit.deadline() + kPastLimit.count();
    }
    void giveUp() { abandon(unshared ? Abandoned::Unshared : Abandoned::NotAnswering); }
};

struct Running {
    std::shared_ptr<Job> job;
    Clock::time_point started;
    bool writtenOff = false; // holds its thread for nothing (counts as stuck)
    bool released = false;   // its caller was answered otherwise (unshared)
};

// The mount that holds a path, as the mount table says (never asking the mount).
struct Mount {
    long long id = -1;
    std::string point;
};

// "\040" and the like of the mount table back to bytes.
std::string unescapeMountField(const char* field) {
    std::string out;
    for (const char* c = field; *c; ++c) {
        if (c[0] == '\\' && c[1] >= '0' && c[1] <= '7' && c[2] >= '0' && c[2] <= '7' && c[3] >= '0' &&
            c[3] <= '7') {
            out.push_back(static_cast<char>((c[1] - '0') * 64 + (c[2] - '0') * 8 + (c[3] - '0')));
            c += 3;
        } else {
            out.push_back(*c);
        }
    }
    return out;
}

// The mount whose point is the longest one holding `path` (the last one mounted
// there when several are).
Mount mountOf(const QString& share) {
    Mount found;
    const QByteArray native = QFile::encodeName(share);
    const std::string path(native.constData(), static_cast<std::size_t>(native.size()));
    FILE* table = std::fopen("/proc/self/mountinfo", "re");
    if (!table)
        return found;
    char* line = nullptr;
    std::size_t size = 0;
    while (::getline(&line, &size, table) > 0) {
        long long id = 0;
        char point[4096];
        if (std::sscanf(line, "%lld %*d %*s %*s %4095s", &id, point) != 2)
            continue;
        const std::string mounted = unescapeMountField(point);
        const bool holds = mounted == "/" || path == mounted ||
                           (path.size() > mounted.size() && path.compare(0, mounted.size(), mounted) == 0 &&
                            path[mounted.size()] == '/');
        if (holds && mounted.size() >= found.point.size()) {
            found.id = id;
            found.point = mounted;
        }
    }
    std::free(line);
    std::fclose(table);
    return found;
}

struct Lane {
    ~Lane() {
        if (rootFd >= 0)
            ::close(rootFd);
    }

    std::deque<std::shared_ptr<Job>> queue;
    std::list<Running> running;
    std::condition_variable work;
    int threads = 0;            // its threads, those blocked on the share included
    int waiting = 0;            // of them, those waiting for work
    Clock::time_point lastSign; // when a file call on the share last returned
    // When a call made by its work last returned (steady clock, in its own units;
    // 0: none), written by the work without the pool's lock.
    std::atomic<Clock::rep> lastReturn{0};
    bool answered = false; // a call on the share has returned: it may be slow, not hung
    bool silent = false;
    bool probing = false;
    Mount mount;     // the mount that held the share when the lane was made
    int rootFd = -1; // the share's root as its work opened it (for the health check)
};

// The work a lane's thread runs now, for the calls that work makes.
struct Current {
    Job* job = nullptr;
    Lane* lane = nullptr;
};
thread_local Current current;

// Made once and never destroyed: a thread blocked in the kernel may come back while
// the program ends, and must still find its pool.
class Pool {
public:
    void submit(std::shared_ptr<Job> job) {
        {
            std::unique_lock lock(mutex_);
            if (ending_) {
                lock.unlock();
                job->abandon(Abandoned::NotAnswering);
                return;
            }
            for (const QString& share : std::as_const(job->shares))
                freshenLocked(share);
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
        job->giveUp();
    }

    void rootOpened(const QString& share, int fd) {
        const std::lock_guard lock(mutex_);
        const std::shared_ptr<Lane> lane = lanes_.value(share);
        if (lane && lane->rootFd < 0)
            lane->rootFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    }

    void unshared(const QString& share) {
        QList<std::shared_ptr<Job>> released;
        {
            const std::lock_guard lock(mutex_);
            const std::shared_ptr<Lane> lane = lanes_.value(share);
            if (!lane)
                return;
            for (Running& running : lane->running) {
                running.job->unshared = true;
                if (!running.writtenOff && !running.released) {
                    running.released = true;
                    released.append(running.job);
                }
            }
            for (const std::shared_ptr<Job>& waiting : lane->queue)
                waiting->unshared = true;
            lane->work.notify_all();
            watch_.notify_one();
        }
        // (The waiting work is dropped by its thread or the watcher, unshared.)
        for (const std::shared_ptr<Job>& job : std::as_const(released))
            job->giveUp();
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
            job->abandon(Abandoned::NotAnswering);
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
            lane->mount = mountOf(share);
            // It answered a while ago on the same mount: slow, maybe, not hung.
            const auto trust = trusted_.constFind(share);
            lane->answered = trust != trusted_.cend() && trust->mountId == lane->mount.id &&
                             lane->lastSign - trust->at < kTrustKept;
        }
        return lane;
    }

    // A share found silent (or whose lane is stuck) whose path now lies on another
    // mount than its lane's: the hung mount was detached, the path is served again
    // on a lane of its own. The old lane's threads stay written off where they hang.
    void freshenLocked(const QString& share) {
        const std::shared_ptr<Lane> lane = lanes_.value(share);
        if (!lane || !(lane->silent || stuckLocked(*lane) >= kLaneThreads))
            return;
        const Mount now = mountOf(share);
        if (now.id < 0 || now.id == lane->mount.id)
            return;
        qCInfo(lcContent) << "Dossier partagé sur un autre montage qu'avant, servi à nouveau" << share;
        lanes_.remove(share);
        const std::shared_ptr<Lane> fresh = laneLocked(share);
        fresh->queue.swap(lane->queue);
        while (fresh->threads < std::min<int>(kLaneThreads, static_cast<int>(fresh->queue.size())))
            spawnLocked(fresh);
    }

    std::chrono::milliseconds quietLimitLocked(const Lane& lane) const {
        return lane.answered ? silence_ * kSlowSilenceFactor : silence_;
    }

    // The calls returned since the watcher last looked count as signs of life.
    static void takeReturnsLocked(Lane& lane) {
        const Clock::rep returned = lane.lastReturn.load(std::memory_order_relaxed);
        if (returned == 0)
            return;
        const Clock::time_point at{Clock::duration(returned)};
        if (at > lane.lastSign) {
            lane.lastSign = at;
            lane.answered = true;
            lane.silent = false;
        }
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
            lane->answered = true;
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
                job->giveUp();
                job.reset();
                lock.lock();
                continue;
            }
            const auto mine = lane->running.insert(lane->running.end(), Running{job, Clock::now(), false});
            watch_.notify_one();
            lock.unlock();
            current = Current{job.get(), lane.get()};
            job->run();
            current = Current{};
            lock.lock();
            for (const QString& share : std::as_const(mine->job->shares))
                signOfLifeLocked(share);
            lane->running.erase(mine);
            job.reset();
        }
    }

    // Asks the share for a sign of life on a thread of its own (one at a time per
    // share), never behind its work and without walking its path: an fstatfs of its
    // root as its work opened it, or before that a statfs of the mount point that
    // holds it. Either goes to the file system itself, not to a cache.
    void probeLocked(const QString& share, const std::shared_ptr<Lane>& lane) {
        lane->probing = true;
        ++threads_;
        const int root = lane->rootFd >= 0 ? ::fcntl(lane->rootFd, F_DUPFD_CLOEXEC, 0) : -1;
        const QByteArray point = lane->mount.point.empty() ? QFile::encodeName(share)
                                                           : QByteArray::fromStdString(lane->mount.point);
        std::thread([this, root, point, lane] {
            pthread_setname_np(pthread_self(), "ombrix-shareprobe");
            struct statfs info {};
            if (root >= 0) {
                ::fstatfs(root, &info);
                ::close(root);
            } else {
                ::statfs(point.constData(), &info);
            }
            const std::lock_guard lock(mutex_);
            lane->probing = false;
            lane->lastSign = Clock::now();
            lane->answered = true;
            lane->silent = false;
            --threads_;
        }).detach();
    }

    // Marks silent each share of a running piece of work that has given no sign of
    // life for `quiet`, and only that one: the other shares the work names answer
    // their probes. Probes the shares that have been quiet for a third of it.
    void markQuietLocked(const Running& running, Clock::time_point now) {
        for (const QString& share : std::as_const(running.job->shares)) {
            const std::shared_ptr<Lane> lane = laneLocked(share);
            takeReturnsLocked(*lane);
            const std::chrono::milliseconds quiet = quietLimitLocked(*lane);
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
                takeReturnsLocked(*lane);
                for (Running& running : lane->running) {
                    if (running.writtenOff || running.released)
                        continue;
                    markQuietLocked(running, now);
                }
            }
            for (const std::shared_ptr<Lane>& lane : lanes) {
                for (Running& running : lane->running) {
                    if (running.writtenOff || running.released)
                        continue;
                    const QDeadlineTimer& limit = running.job->purpose.deadline;
                    const bool overdue = !limit.isForever() && QDeadlineTimer::current().deadline() >=
                                                                   limit.deadline() + kPastLimit.count();
                    if (overdue || refusedLocked(*running.job)) {
                        running.writtenOff = true;
                        running.job->writtenOff = true;
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
                    !lane.silent && now - lane.lastSign > kIdleExit) {
                    if (lane.answered)
                        trusted_.insert(it.key(), Trust{lane.lastSign, lane.mount.id});
                    it = lanes_.erase(it);
                } else {
                    ++it;
                }
            }
            for (auto it = trusted_.begin(); it != trusted_.end();)
                it = now - it->at > kTrustKept ? trusted_.erase(it) : std::next(it);
            if (dropped.isEmpty() && writtenOff.isEmpty())
                continue;
            lock.unlock();
            for (const std::shared_ptr<Job>& job : std::as_const(writtenOff)) {
                qCWarning(lcContent) << "Travail sur un dossier partagé sans réponse, abandonné"
                                     << job->shares;
                job->giveUp();
            }
            for (const std::shared_ptr<Job>& job : std::as_const(dropped))
                job->giveUp();
            writtenOff.clear();
            dropped.clear();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable watch_;
    QHash<QString, std::shared_ptr<Lane>> lanes_;
    // Shares that answered on their mount before their lane went idle.
    struct Trust {
        Clock::time_point at;
        long long mountId = -1;
    };
    QHash<QString, Trust> trusted_;
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

void callReturned() {
    if (Lane* lane = current.lane)
        lane->lastReturn.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

bool stillWanted() {
    const Job* job = current.job;
    return !job || job->goesOn();
}

void checkWanted() {
    const Job* job = current.job;
    if (!job)
        return;
    if (job->unshared)
        throw Unshared();
    if (!job->goesOn())
        throw Stopped();
}

void rootOpened(const QString& share, int fd) {
    if (fd >= 0)
        pool().rootOpened(share, fd);
}

void unshared(const QString& share) {
    pool().unshared(share);
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

void submit(const QStringList& shares, std::function<void()> job, std::function<void(Abandoned)> abandon,
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

#include "content/Decoding.h"

#include "BuildConfigValues.h"
#include "content/ContentFiles.h"
#include "content/DecoderProtocol.h"
#include "platform/Characters.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Modules.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

QString DecodeError::description() const {
    QString why;
    switch (reason_) {
    case Reason::TooLarge:
        why = loc("trop volumineux");
        break;
    case Reason::TooLong:
        why = loc("trop long");
        break;
    case Reason::Crashed:
        why = loc("il a fait échouer le décodeur");
        break;
    }
    return loc("Le fichier « %1 » n'a pas pu être décodé : %2.").arg(fileName_, why);
}

namespace Decoding {

namespace {

using Clock = std::chrono::steady_clock;

// How often a busy worker's memory is looked at.
constexpr int kWatchIntervalMs = 5;
// A worker that has not said it is ready by then did not start.
constexpr int kStartTimeoutMs = 20000;
// What is logged of a worker's error output (the decoders' warnings, a sanitizer's
// report); the rest is read and dropped, so that the worker never waits on it.
constexpr qsizetype kErrorLogBytes = 16 * 1024;

thread_local QDeadlineTimer taskDeadline(QDeadlineTimer::Forever);

const char* profileName(Profile profile) {
    switch (profile) {
    case Profile::Images:
        return "images";
    case Profile::Pdf:
        return "pdf";
    case Profile::Ocr:
        return "ocr";
    case Profile::Photos:
        return "photos";
    }
    return "images";
}

// What a worker was started with: a worker serves only requests made with the same
// (tests change the module folders and the recogniser's data folder).
struct Setup {
    QString modules;
    QByteArray languageData;
    bool operator==(const Setup&) const = default;
    static Setup now() {
        return Setup{Modules::searchPath().join(QLatin1Char(':')), qgetenv("TESSDATA_PREFIX")};
    }
};

struct Worker {
    pid_t pid = -1;
    Setup setup;
    int socket = -1;
    int errors = -1; // the read end of its error output
    qsizetype errorBytes = 0;
    QByteArray errorLine;
    Profile profile = Profile::Images;
    bool busy = false;
    bool served = false;  // has answered a request before
    quint32 requests = 0; // the number of the last request sent to it
    Clock::time_point idleSince;
};
using WorkerPtr = std::shared_ptr<Worker>;

// What a worker holds: its resident memory in bytes and its threads (-1 and 0 once
// it is gone), from /proc/<pid>/stat (fields 20 and 24).
struct Usage {
    qint64 resident = -1;
    int threads = 0;
};

Usage usageOf(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/stat", int(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char line[1024];
    ssize_t got;
    while ((got = ::read(fd, line, sizeof(line) - 1)) < 0 && errno == EINTR) {
    }
    ::close(fd);
    if (got <= 0)
        return {};
    line[got] = '\0';
    // The name (field 2) may hold anything but ends at the last ')'.
    const char* field = std::strrchr(line, ')');
    if (!field)
        return {};
    long long values[25] = {};
    int number = 2;
    while (number < 24 && *field) {
        while (*field && *field != ' ')
            ++field;
        while (*field == ' ')
            ++field;
        if (!*field)
            break;
        ++number;
        values[number] = std::strtoll(field, nullptr, 10);
    }
    if (number < 24)
        return {};
    static const long pageSize = sysconf(_SC_PAGESIZE);
    return Usage{qint64(values[24]) * pageSize, int(values[20])};
}

// Why a worker must end now for what it holds (nothing while within its bounds).
std::optional<const char*> pastBounds(const Usage& usage) {
    if (usage.resident > kMemoryKillBytes)
        return "over its memory bound";
    if (usage.threads > threadBound())
        return "over its thread bound";
    return std::nullopt;
}

// The variables a worker is started with: the locale, the time zone, what the font
// configuration and the recogniser read (the home and XDG folders locate the user's
// fonts and font caches) and the sanitizer builds' options. Nothing else of the
// program's environment (no agent socket, display or session bus).
QList<QByteArray> workerEnvironment() {
    static const char* const names[] = {"LANG",
                                        "LANGUAGE",
                                        "LC_ALL",
                                        "LC_CTYPE",
                                        "LC_NUMERIC",
                                        "LC_TIME",
                                        "LC_COLLATE",
                                        "LC_MONETARY",
                                        "LC_MESSAGES",
                                        "LC_PAPER",
                                        "LC_NAME",
                                        "LC_ADDRESS",
                                        "LC_TELEPHONE",
                                        "LC_MEASUREMENT",
                                        "LC_IDENTIFICATION",
                                        "TZ",
                                        "HOME",
                                        "XDG_DATA_HOME",
                                        "XDG_CACHE_HOME",
                                        "XDG_CONFIG_HOME",
                                        "FONTCONFIG_FILE",
                                        "FONTCONFIG_PATH",
                                        "FONTCONFIG_SYSROOT",
                                        "TESSDATA_PREFIX",
                                        "OMP_THREAD_LIMIT",
                                        "OMP_NUM_THREADS",
                                        "ASAN_OPTIONS",
                                        "UBSAN_OPTIONS",
                                        "LSAN_OPTIONS"};
    QList<QByteArray> variables;
    for (const char* name : names) {
        if (qEnvironmentVariableIsSet(name))
            variables << QByteArray(name) + '=' + qgetenv(name);
    }
    return variables;
}

// A line of a worker's error output as it may be logged: control characters (C0,
// DEL, C1) are shown as '?', so that no escape sequence reaches the terminal the
// program runs in.
QString printable(QByteArrayView line) {
    QString text = QString::fromUtf8(line);
    for (QChar& c : text) {
        const char16_t unit = c.unicode();
        if (unit < 0x20 || (unit >= 0x7f && unit <= 0x9f))
            c = QLatin1Char('?');
    }
    return text;
}

// Logs what a worker wrote to its error output since the last call, up to
// kErrorLogBytes a worker; `last` once it has ended (the pipe then has an end).
// While it lives, at most what waited on entry is read (bounded): a worker that
// writes without end does not keep the caller here.
void drainErrors(Worker& worker, bool last) {
    if (worker.errors < 0)
        return;
    constexpr qsizetype kMaxReadBytes = 256 * 1024;
    qsizetype budget = kMaxReadBytes;
    if (!last) {
        int waiting = 0;
        if (::ioctl(worker.errors, FIONREAD, &waiting) != 0)
            waiting = 0;
        budget = std::min<qsizetype>(waiting, kMaxReadBytes);
    }
    char buffer[4096];
    while (last || budget > 0) {
        const size_t want = last ? sizeof(buffer) : size_t(std::min<qsizetype>(budget, sizeof(buffer)));
        const ssize_t got = ::read(worker.errors, buffer, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        budget -= got;
        const qsizetype room = kErrorLogBytes - worker.errorBytes;
        worker.errorBytes += got;
        if (room <= 0)
            continue;
        const QByteArrayView chunk(buffer, got);
        worker.errorLine += chunk.first(got > room ? Characters::utf8PrefixLength(chunk, room) : got);
        qsizetype end;
        while ((end = worker.errorLine.indexOf('\n')) >= 0) {
            qCInfo(lcContent).noquote()
                << "decoder worker" << worker.pid << ":" << printable(worker.errorLine.first(end));
            worker.errorLine.remove(0, end + 1);
        }
    }
    if (last) {
        if (!worker.errorLine.isEmpty())
            qCInfo(lcContent).noquote()
                << "decoder worker" << worker.pid << ":" << printable(worker.errorLine);
        if (worker.errorBytes > kErrorLogBytes)
            qCWarning(lcContent) << "decoder worker" << worker.pid << "wrote"
                                 << worker.errorBytes - kErrorLogBytes << "more bytes of errors, not logged";
        worker.errorLine.clear();
        ::close(worker.errors);
        worker.errors = -1;
    }
}

// The worker's first frame, "ready", within `deadline`; nothing for anything else.
std::optional<DecoderProtocol::Answer> readReady(int socket, const QDeadlineTimer& deadline, bool* timedOut) {
    using DecoderProtocol::Answer;
    DecoderProtocol::FrameReader reader;
    for (;;) {
        const qint64 left = deadline.remainingTime();
        if (left == 0) {
            *timedOut = true;
            return std::nullopt;
        }
        pollfd entry{socket, POLLIN, 0};
        const int ready = ::poll(&entry, 1, left < 0 ? -1 : int(std::min<qint64>(left, 1 << 30)));
        if (ready < 0 && errno != EINTR)
            return std::nullopt;
        if (ready <= 0)
            continue;
        const auto status = reader.pump(socket, 64);
        if (status == DecoderProtocol::FrameReader::Status::Waiting)
            continue;
        if (status != DecoderProtocol::FrameReader::Status::Complete)
            return std::nullopt;
        std::optional<Answer> answer =
            DecoderProtocol::decodeAnswer(reader.body(), DecoderProtocol::Op::Thumbnail);
        if (!answer || answer->kind != Answer::Kind::Ready || answer->number != 0)
            return std::nullopt;
        return answer;
    }
}

// True when nothing waits on `socket`: no bytes and no end.
bool quiet(int socket) {
    pollfd entry{socket, POLLIN, 0};
    while (::poll(&entry, 1, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return (entry.revents & (POLLIN | POLLHUP | POLLERR)) == 0;
}

// Bytes already waiting on `socket`.
int pendingBytes(int socket) {
    int count = 0;
    if (::ioctl(socket, FIONREAD, &count) != 0)
        return 0;
    return count;
}

std::atomic<qint64> progressCapOverrideMs{-1};

class Pool {
public:
    WorkerPtr acquire(Profile profile, const Setup& setup, const QDeadlineTimer& deadline,
                      const QString& fileName);
    void release(const WorkerPtr& worker);
    // Ends the worker (killed, reaped on a thread of its own).
    void discard(const WorkerPtr& worker);
    int live() {
        std::lock_guard lock(mutex_);
        return int(workers_.size());
    }
    qint64 peakMemory() {
        std::lock_guard lock(mutex_);
        return peakMemory_;
    }
    int started() {
        std::lock_guard lock(mutex_);
        return started_;
    }
    void stopIdle();
    void end();
    void setIdleTimeout(std::chrono::milliseconds timeout) {
        std::lock_guard lock(mutex_);
        idleTimeout_ = timeout;
        changed_.notify_all();
    }

private:
    WorkerPtr spawn(Profile profile, const Setup& setup, const QDeadlineTimer& deadline);
    // The keeper: the thread that starts every worker (a worker dies with the
    // thread that started it) and ends idle ones; it runs while workers live.
    void keep();
    void ensureKeeper();
    struct StartRequest;
    static void startWorker(StartRequest& request);
    void reap(const WorkerPtr& worker);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<WorkerPtr> workers_;
    int starting_ = 0;
    int reaping_ = 0;
    bool keeperRunning_ = false;
    // Start requests for the keeper: a profile, answered with a pid and socket.
    struct StartRequest final {
        Profile profile = Profile::Images;
        QByteArray modules;
        bool done = false;
        pid_t pid = -1;
        int socket = -1;
        int errors = -1;
        QString failure;
    };
    std::list<StartRequest*> startRequests_;
    std::chrono::milliseconds idleTimeout_{60000};
    bool ending_ = false; // the program's end: no worker starts any more
    qint64 peakMemory_ = 0;
    int started_ = 0;
};

Pool& pool() {
    // Never destroyed: its threads may outlive static destruction.
    static Pool* instance = new Pool;
    return *instance;
}

int maxWorkers() {
    return std::clamp(QThread::idealThreadCount(), 1, 4);
}

WorkerPtr Pool::acquire(Profile profile, const Setup& setup, const QDeadlineTimer& deadline,
                        const QString& fileName) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (ending_)
            throw DecodeError(DecodeError::Reason::TooLong, fileName, false);
        for (const WorkerPtr& worker : workers_) {
            if (!worker->busy && worker->profile == profile && worker->setup == setup) {
                worker->busy = true;
                return worker;
            }
        }
        if (int(workers_.size()) + starting_ < maxWorkers()) {
            ++starting_;
            lock.unlock();
            WorkerPtr worker;
            std::exception_ptr failure;
            try {
                worker = spawn(profile, setup, deadline);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            --starting_;
            if (failure) {
                changed_.notify_all();
                std::rethrow_exception(failure);
            }
            worker->busy = true;
            workers_.push_back(worker);
            return worker;
        }
        // All slots taken: an idle worker of another kind makes room.
        const auto idle = std::find_if(workers_.begin(), workers_.end(),
                                       [](const WorkerPtr& worker) { return !worker->busy; });
        if (idle != workers_.end()) {
            const WorkerPtr victim = *idle;
            workers_.erase(idle);
            ++reaping_;
            lock.unlock();
            reap(victim);
            lock.lock();
            continue;
        }
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            throw DecodeError(DecodeError::Reason::TooLong, fileName);
        if (left < 0)
            changed_.wait(lock);
        else
            changed_.wait_for(lock, std::chrono::milliseconds(left));
    }
}

void Pool::release(const WorkerPtr& worker) {
    drainErrors(*worker, false);
    std::lock_guard lock(mutex_);
    worker->busy = false;
    worker->served = true;
    worker->idleSince = Clock::now();
    changed_.notify_all();
}

void Pool::discard(const WorkerPtr& worker) {
    {
        std::lock_guard lock(mutex_);
        workers_.remove(worker);
        ++reaping_;
        changed_.notify_all();
    }
    reap(worker);
}

void Pool::reap(const WorkerPtr& worker) {
    ::kill(worker->pid, SIGKILL);
    ::close(worker->socket);
    // A worker stuck in the kernel (a file system that stopped answering) may take
    // its time to die: nobody waits for it but this thread.
    std::thread([this, worker] {
        int status = 0;
        rusage usage{};
        while (::wait4(worker->pid, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        drainErrors(*worker, true);
        std::lock_guard lock(mutex_);
        peakMemory_ = std::max<qint64>(peakMemory_, qint64(usage.ru_maxrss) * 1024);
        --reaping_;
        changed_.notify_all();
    }).detach();
}

void Pool::stopIdle() {
    std::unique_lock lock(mutex_);
    std::list<WorkerPtr> idle;
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (!(*it)->busy) {
            idle.push_back(*it);
            it = workers_.erase(it);
            ++reaping_;
        } else {
            ++it;
        }
    }
    lock.unlock();
    for (const WorkerPtr& worker : idle)
        reap(worker);
    lock.lock();
    changed_.wait(lock, [this] { return reaping_ == 0; });
}

void Pool::end() {
    std::list<WorkerPtr> idle;
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
        for (auto it = workers_.begin(); it != workers_.end();) {
            if ((*it)->busy) {
                // Its thread reads the socket: the worker's end is what it sees.
                ::kill((*it)->pid, SIGKILL);
                ++it;
            } else {
                idle.push_back(*it);
                it = workers_.erase(it);
                ++reaping_;
            }
        }
        changed_.notify_all();
    }
    for (const WorkerPtr& worker : idle)
        reap(worker);
}

void Pool::ensureKeeper() {
    // Called with the mutex held.
    if (keeperRunning_)
        return;
    keeperRunning_ = true;
    std::thread([this] { keep(); }).detach();
}

// Starts a worker bare: a session of its own (no controlling terminal), stdin and
// stdout on /dev/null, stderr to a pipe the program reads without ever making the
// worker wait, the environment of workerEnvironment(), and no descriptor but its
// socket (descriptor 3).
void Pool::startWorker(StartRequest& request) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        request.failure = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    int errors[2];
    if (::pipe2(errors, O_CLOEXEC) != 0) {
        request.failure = QString::fromLocal8Bit(std::strerror(errno));
        ::close(pair[0]);
        ::close(pair[1]);
        return;
    }
    ::fcntl(errors[0], F_SETFL, O_NONBLOCK);
    ::fcntl(errors[1], F_SETFL, O_NONBLOCK);
    const QByteArray program = QFile::encodeName(workerPath());
    const QByteArray parent = QByteArray::number(qint64(::getpid()));
    const char* arguments[] = {program.constData(), "--profile", profileName(request.profile), "--parent",
                               parent.constData(),  "--modules", request.modules.constData(),  nullptr};
    const QList<QByteArray> variables = workerEnvironment();
    std::vector<char*> environment;
    for (const QByteArray& variable : variables)
        environment.push_back(const_cast<char*>(variable.constData()));
    environment.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pair[1], DecoderProtocol::kWorkerSocketFd);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, DecoderProtocol::kWorkerSocketFd + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, program.constData(), &actions, &attributes,
                                    const_cast<char* const*>(arguments), environment.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    ::close(errors[1]);
    if (error != 0) {
        ::close(pair[0]);
        ::close(errors[0]);
        request.failure = QString::fromLocal8Bit(std::strerror(error));
        return;
    }
    request.pid = pid;
    request.socket = pair[0];
    request.errors = errors[0];
}

void Pool::keep() {
    std::unique_lock lock(mutex_);
    for (;;) {
        while (!startRequests_.empty()) {
            StartRequest* request = startRequests_.front();
            startRequests_.pop_front();
            startWorker(*request);
            if (request->pid > 0)
                ++started_;
            request->done = true;
        }
        changed_.notify_all();
        if (workers_.empty() && starting_ == 0) {
            keeperRunning_ = false;
            return;
        }
        // End the workers idle for too long, or past their memory or thread bound
        // (a worker taken over may go on while it waits); sleep until the next one
        // would be, and look at idle workers' bounds again every kIdleWatchInterval.
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> next;
        std::list<std::pair<WorkerPtr, const char*>> expired;
        for (auto it = workers_.begin(); it != workers_.end();) {
            const WorkerPtr& worker = *it;
            if (!worker->busy) {
                const Clock::time_point end = worker->idleSince + idleTimeout_;
                std::optional<const char*> why;
                if (end <= now)
                    why = "ends after its idle time";
                else if (const std::optional<const char*> past = pastBounds(usageOf(worker->pid)))
                    why = *past;
                if (why) {
                    expired.emplace_back(worker, *why);
                    it = workers_.erase(it);
                    ++reaping_;
                    continue;
                }
                next = std::min({next.value_or(end), end, now + kIdleWatchInterval});
            }
            ++it;
        }
        if (!expired.empty()) {
            lock.unlock();
            for (const auto& [worker, why] : expired) {
                qCInfo(lcContent) << "decoder worker" << worker->pid << "idle:" << why;
                reap(worker);
            }
            lock.lock();
            changed_.notify_all();
            continue;
        }
        if (next)
            changed_.wait_until(lock, *next);
        else
            changed_.wait(lock);
    }
}

WorkerPtr Pool::spawn(Profile profile, const Setup& setup, const QDeadlineTimer& deadline) {
    QElapsedTimer clock;
    clock.start();
    StartRequest request;
    request.profile = profile;
    request.modules = QFile::encodeName(setup.modules);
    {
        std::unique_lock lock(mutex_);
        startRequests_.push_back(&request);
        ensureKeeper();
        changed_.notify_all();
        changed_.wait(lock, [&] { return request.done; });
    }
    if (request.pid < 0)
        throw MessageError(
            loc("Le décodeur de fichiers ne démarre pas (%1) : réinstalle Ombrix.").arg(request.failure));
    auto worker = std::make_shared<Worker>();
    worker->pid = request.pid;
    worker->socket = request.socket;
    worker->errors = request.errors;
    worker->profile = profile;
    worker->setup = setup;
    // Ready once its modules are loaded and it is sealed.
    const qint64 left = deadline.remainingTime();
    const QDeadlineTimer startDeadline(left < 0 ? kStartTimeoutMs : std::min<qint64>(left, kStartTimeoutMs));
    bool timedOut = false;
    const std::optional<DecoderProtocol::Answer> ready = readReady(worker->socket, startDeadline, &timedOut);
    if (!ready) {
        {
            std::lock_guard lock(mutex_);
            ++reaping_;
        }
        reap(worker);
        if (timedOut && deadline.hasExpired())
            throw DecodeError(DecodeError::Reason::TooLong, QString());
        throw MessageError(loc("Le décodeur de fichiers ne démarre pas : réinstalle Ombrix."));
    }
    qCInfo(lcContent) << "decoder worker" << worker->pid << profileName(profile) << "ready in"
                      << clock.elapsed() << "ms";
    return worker;
}

QDeadlineTimer earlier(const QDeadlineTimer& a, const QDeadlineTimer& b) {
    if (a.isForever())
        return b;
    if (b.isForever())
        return a;
    return a.deadlineNSecs() <= b.deadlineNSecs() ? a : b;
}

} // namespace

int threadBound() {
    static const int bound = 64 + std::max(1, QThread::idealThreadCount());
    return bound;
}

TaskDeadline::TaskDeadline(QDeadlineTimer deadline)
    : previous_(taskDeadline) {
    taskDeadline = earlier(previous_, deadline);
}

TaskDeadline::~TaskDeadline() {
    taskDeadline = previous_;
}

QDeadlineTimer TaskDeadline::current() {
    return taskDeadline;
}

DecoderProtocol::Answer run(Profile profile, DecoderProtocol::Request request, int fd,
                            const QString& fileName) {
    using DecoderProtocol::Answer;
    using DecoderProtocol::FrameReader;
    const DecoderProtocol::Operation* operation = DecoderProtocol::operation(request.op);
    if (!operation)
        throw DecodeError(DecodeError::Reason::Crashed, fileName, false);
    Pool& workers = pool();
    const qint64 capOverride = progressCapOverrideMs.load();
    const std::chrono::milliseconds cap =
        capOverride >= 0 ? std::chrono::milliseconds(capOverride) : operation->cap;
    // Nothing the worker says takes the request past its cap or the task's deadline.
    const QDeadlineTimer capped = earlier(QDeadlineTimer(cap), taskDeadline);
    QDeadlineTimer deadline = earlier(QDeadlineTimer(operation->budget), capped);
    // The frame's bound (an error's frame may be larger than a short answer's).
    const qint64 maxDoneBytes = DecoderProtocol::maxAnswerBytes(request);
    const qint64 maxAnswerBytes = std::max(maxDoneBytes, DecoderProtocol::kMaxErrorFrameBytes);
    // A worker that ended between two requests (it crashed on its own, or was
    // killed) is replaced once.
    for (int attempt = 0;; ++attempt) {
        // Until the file is sent, a failure says nothing of the file.
        if (deadline.hasExpired())
            throw DecodeError(DecodeError::Reason::TooLong, fileName, false);
        WorkerPtr worker;
        try {
            worker = workers.acquire(profile, Setup::now(), deadline, fileName);
        } catch (DecodeError& error) {
            throw DecodeError(error.reason(), fileName, false);
        }
        // Between two requests a worker has nothing to say: a frame (or its end)
        // waiting there ends it, before it is given anything.
        if (worker->served && !quiet(worker->socket)) {
            qCWarning(lcContent) << "decoder worker" << worker->pid << "spoke out of turn";
            workers.discard(worker);
            --attempt;
            continue;
        }
        request.number = ++worker->requests;
        if (!DecoderProtocol::sendFrame(worker->socket, DecoderProtocol::encodeRequest(request), fd)) {
            const bool reused = worker->served;
            workers.discard(worker);
            if (reused && attempt == 0)
                continue;
            throw DecodeError(DecodeError::Reason::Crashed, fileName, false);
        }
        const auto fail = [&](DecodeError::Reason reason, const char* why) -> DecodeError {
            qCWarning(lcContent) << "decoder worker" << worker->pid << why;
            workers.discard(worker);
            return DecodeError(reason, fileName);
        };
        FrameReader reader;
        for (;;) {
            // Watched until the answer's last byte: time, then memory.
            const qint64 left = deadline.remainingTime();
            if (left == 0)
                throw fail(DecodeError::Reason::TooLong, "out of time");
            if (const std::optional<const char*> past = pastBounds(usageOf(worker->pid)))
                throw fail(DecodeError::Reason::TooLarge, *past);
            pollfd entry{worker->socket, POLLIN, 0};
            const int ready = ::poll(
                &entry, 1, left < 0 ? kWatchIntervalMs : int(std::min<qint64>(left, kWatchIntervalMs)));
            if (ready < 0 && errno != EINTR)
                throw fail(DecodeError::Reason::Crashed, "unreachable");
            if (ready <= 0)
                continue;
            switch (reader.pump(worker->socket, maxAnswerBytes)) {
            case FrameReader::Status::Waiting:
                continue;
            case FrameReader::Status::Closed: {
                // Gone without answering: it crashed (or its memory ran out).
                throw fail(pastBounds(usageOf(worker->pid)) ? DecodeError::Reason::TooLarge
                                                            : DecodeError::Reason::Crashed,
                           "failed");
            }
            case FrameReader::Status::TooLarge:
                throw fail(DecodeError::Reason::TooLarge, "announced an answer over its bound");
            case FrameReader::Status::Descriptor:
                throw fail(DecodeError::Reason::Crashed, "sent a descriptor");
            case FrameReader::Status::Complete:
                break;
            }
            std::optional<Answer> answer = DecoderProtocol::decodeAnswer(reader.body(), request.op);
            const qint64 answerBytes = reader.body().size();
            reader.reset();
            if (!answer || answer->number != request.number)
                throw fail(DecodeError::Reason::Crashed, "sent a frame that answers nothing asked");
            if (answer->kind == Answer::Kind::Progress) {
                if (!operation->progress)
                    throw fail(DecodeError::Reason::Crashed, "sent progress for an operation without any");
                deadline = earlier(QDeadlineTimer(operation->budget), capped);
                continue;
            }
            if (answer->kind != Answer::Kind::Done && answer->kind != Answer::Kind::Error)
                throw fail(DecodeError::Reason::Crashed, "sent a frame that answers nothing asked");
            if (answer->kind == Answer::Kind::Done && answerBytes > maxDoneBytes)
                throw fail(DecodeError::Reason::TooLarge, "sent an answer over its bound");
            if (answer->kind == Answer::Kind::Done && !DecoderProtocol::withinRequest(*answer, request))
                throw fail(DecodeError::Reason::Crashed, "answered past what was asked");
            // The answer is the last thing said: anything behind it ends the worker.
            if (pendingBytes(worker->socket) > 0)
                throw fail(DecodeError::Reason::Crashed, "said more than its answer");
            workers.release(worker);
            if (answer->kind == Answer::Kind::Error)
                DecoderProtocol::raise(answer->failure);
            return std::move(*answer);
        }
    }
}

OpenedFile::OpenedFile(const QString& path) {
    ContentFiles::ReadableFile file(path);
    if (file.fd() < 0) {
        error_ = file.error();
        return;
    }
    struct stat info {};
    const bool described = ContentFiles::statusOfOpened(file.fd(), info) == 0;
    if (!described || !S_ISREG(info.st_mode)) {
        error_ = described ? 0 : errno;
        return;
    }
    size_ = qint64(info.st_size);
    owned_ = file.owned();
    fd_ = file.release();
}

OpenedFile::~OpenedFile() {
    if (fd_ >= 0 && owned_)
        ::close(fd_);
}

QString displayName(const QString& path, const QString& typeName) {
    if (!typeName.isEmpty())
        return QFileInfo(typeName).fileName();
    const QFileInfo info(path);
    if (path.startsWith(QLatin1String("/proc/self/fd/")) && info.isSymLink())
        return QFileInfo(info.symLinkTarget()).fileName();
    return info.fileName();
}

QString workerPath() {
    static const QString found = [] {
        const QString name = QStringLiteral("ombrix-decoder");
        QStringList folders;
        if (QCoreApplication::instance()) {
            const QString programFolder = QCoreApplication::applicationDirPath();
            folders << programFolder
                    << QDir::cleanPath(programFolder + QLatin1Char('/') +
                                       QStringLiteral(OMBRIX_CFG_HELPER_DIR_FROM_BIN));
        }
        folders << QStringLiteral(OMBRIX_CFG_HELPER_DIR);
        for (const QString& folder : folders) {
            const QString path = folder + QLatin1Char('/') + name;
            if (QFileInfo(path).isExecutable())
                return path;
        }
        return folders.last() + QLatin1Char('/') + name;
    }();
    return found;
}

int liveWorkers() {
    return pool().live();
}

qint64 peakWorkerMemoryForTesting() {
    return pool().peakMemory();
}

void endWorkers() {
    pool().end();
}

void stopIdleWorkersForTesting() {
    pool().stopIdle();
}

void setIdleTimeoutForTesting(std::chrono::milliseconds timeout) {
    pool().setIdleTimeout(timeout);
}

void setProgressCapForTesting(std::optional<std::chrono::milliseconds> cap) {
    progressCapOverrideMs = cap ? qint64(cap->count()) : -1;
}

int startedWorkersForTesting() {
    return pool().started();
}

} // namespace Decoding

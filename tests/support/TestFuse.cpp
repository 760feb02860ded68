#include "support/TestFuse.h"
#include "support/TestFuseControl.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <new>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

using Op = TestFuse::Op;

// The tree as the server program reads it (support/TestFuseControl.h).
QByteArray treeBytes(const TestFuse::Options& options) {
    QByteArray bytes;
    const auto number = [&bytes](auto value) {
        bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    };
    const auto entry = [&](char kind, const QString& path) {
        const QByteArray name = path.toUtf8();
        bytes.append(kind);
        number(std::uint32_t(name.size()));
        bytes.append(name);
    };
    for (auto it = options.files.cbegin(); it != options.files.cend(); ++it) {
        entry('f', it.key());
        number(std::uint64_t(it.value().size()));
        bytes.append(it.value());
    }
    for (const QString& folder : std::as_const(options.folders))
        entry('d', folder);
    return bytes;
}

// The descriptor moved to 10 or above (closed on exec), where the server's fixed
// descriptors (0 to 5) are never one of those handed over: handing one to 4 would
// otherwise close another that sits at 4 before it is handed to 5.
int aboveFixed(int fd) {
    if (fd < 0 || fd >= 10)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    const int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

// A memory file holding these bytes (closed on exec: the spawn hands a copy over).
int memoryFile(const char* name, const QByteArray& bytes, QString* why) {
    const int fd = aboveFixed(::memfd_create(name, MFD_CLOEXEC));
    if (fd < 0) {
        *why = QStringLiteral("memfd_create: ") + qt_error_string(errno);
        return -1;
    }
    for (qsizetype written = 0; written < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *why = QStringLiteral("cannot write a memory file: ") + qt_error_string(errno);
            ::close(fd);
            return -1;
        }
        written += n;
    }
    return fd;
}

// What a descriptor holds from its start, at most 4 KiB (the server's error output).
QString readBack(int fd) {
    char text[4096];
    const ssize_t n = ::pread(fd, text, sizeof text, 0);
    return n > 0 ? QString::fromUtf8(text, n).trimmed() : QString();
}

} // namespace

TestFuse::TestFuse(const QString& mountPoint, Options options)
    : mountPoint_(mountPoint) {
    QDir().mkpath(mountPoint);
    QString why;
    const int controlFd = memoryFile("ombrix-testfuse-control", QByteArray(sizeof(Control), '\0'), &why);
    void* shared = controlFd < 0
                       ? MAP_FAILED
                       : ::mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED, controlFd, 0);
    if (shared == MAP_FAILED) {
        failure_ =
            why.isEmpty() ? QStringLiteral("cannot map the shared counts: ") + qt_error_string(errno) : why;
        if (controlFd >= 0)
            ::close(controlFd);
        return;
    }
    control_ = new (shared) Control;
    control_->delayMs = options.delay.count();
    control_->maxDelayMs = options.maxDelay.count();
    control_->hung = options.answersNothing;
    control_->held = options.holdListings;
    control_->slowKind = static_cast<int>(Op::Count);
    if (!fuseAvailable()) {
        failure_ = QStringLiteral("/dev/fuse is missing");
        ::close(controlFd);
        return;
    }
    const int treeFd = memoryFile("ombrix-testfuse-tree", treeBytes(options), &why);
    if (treeFd < 0) {
        failure_ = why;
        ::close(controlFd);
        return;
    }
    // A server that does not come up, or does not answer its first call, is put
    // down and started again; what each attempt ran into is kept for the failure.
    QStringList attempts;
    for (int attempt = 1; attempt <= 3 && !mounted_; ++attempt) {
        const QString outcome = startServer(options, controlFd, treeFd);
        if (outcome.isEmpty())
            break;
        attempts << QStringLiteral("attempt %1: %2").arg(attempt).arg(outcome);
    }
    ::close(treeFd);
    ::close(controlFd);
    if (!mounted_)
        failure_ = QStringLiteral("the test file system at %1 could not be mounted (%2)")
                       .arg(mountPoint_, attempts.join(QStringLiteral("; ")));
    resetCalls();
}

QString TestFuse::startServer(const Options& options, int controlFd, int treeFd) {
    // The calls counted by a server put down before are forgotten.
    control_->pending = 0;
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return QStringLiteral("pipe: ") + qt_error_string(errno);
    ready[1] = aboveFixed(ready[1]);
    if (ready[1] < 0) {
        ::close(ready[0]);
        return QStringLiteral("pipe: ") + qt_error_string(errno);
    }
    QString why;
    const int errors = memoryFile("ombrix-testfuse-errors", {}, &why);
    if (errors < 0) {
        ::close(ready[0]);
        ::close(ready[1]);
        return why;
    }
    const QByteArray program = OMBRIX_TEST_FUSE_SERVER;
    const QByteArray point = QFile::encodeName(mountPoint_);
    const QByteArray name = options.name.toUtf8();
    const QByteArray serialised = options.serialised ? "1" : "0";
    const QByteArray parent = QByteArray::number(::getpid());
    char* const arguments[] = {
        const_cast<char*>(program.constData()), const_cast<char*>(point.constData()),
        const_cast<char*>(name.constData()),    const_cast<char*>(serialised.constData()),
        const_cast<char*>(parent.constData()),  nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errors, STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, controlFd, TestFuseServer::kControlFd);
    posix_spawn_file_actions_adddup2(&actions, ready[1], TestFuseServer::kReadyFd);
    posix_spawn_file_actions_adddup2(&actions, treeFd, TestFuseServer::kTreeFd);
    posix_spawn_file_actions_addclosefrom_np(&actions, TestFuseServer::kTreeFd + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.constData(), &actions, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    if (spawned != 0) {
        ::close(ready[0]);
        ::close(errors);
        return QStringLiteral("cannot start %1: %2")
            .arg(QString::fromUtf8(program), qt_error_string(spawned));
    }
    // Mounted once the server says so; bounded, and a server that ends says why.
    pollfd waiting{ready[0], POLLIN, 0};
    char byte = 0;
    int polled;
    do
        polled = ::poll(&waiting, 1, kStartMs);
    while (polled < 0 && errno == EINTR);
    const bool said = polled == 1 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    QString outcome;
    if (!said) {
        outcome =
            polled == 0
                ? QStringLiteral("the server did not say it was mounted within %1 s").arg(kStartMs / 1000)
                : QStringLiteral("the server ended before it mounted");
    } else if (!options.answersNothing && !answersItsFirstCall(options)) {
        outcome = QStringLiteral("the mount did not answer its first call");
    } else {
        server_ = pid;
        mounted_ = true;
        ::close(errors);
        return {};
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const QString explained = readBack(errors);
    ::close(errors);
    if (!explained.isEmpty())
        outcome += QStringLiteral(": ") + explained;
    else if (WIFEXITED(status))
        outcome += QStringLiteral(" (status %1)").arg(WEXITSTATUS(status));
    // Mounted maybe, even unsaid (late, on a loaded machine): detached either way,
    // so that the next attempt finds the mount point free.
    QProcess::execute(QStringLiteral("fusermount3"),
                      {QStringLiteral("-u"), QStringLiteral("-z"), mountPoint_});
    return outcome;
}

// A statfs of the mount point, answered within its delay and far more.
bool TestFuse::answersItsFirstCall(const Options& options) {
    const auto answered = std::make_shared<std::atomic<bool>>(false);
    const QByteArray point = QFile::encodeName(mountPoint_);
    std::thread([answered, point] {
        struct statfs info {};
        ::statfs(point.constData(), &info);
        *answered = true;
    }).detach(); // (ends when the server goes, answered or not)
    const auto until = Clock::now() + std::max(options.delay, options.maxDelay) + 10s;
    while (!*answered && Clock::now() < until)
        std::this_thread::sleep_for(5ms);
    return *answered;
}

TestFuse::~TestFuse() {
    if (server_ > 0) {
        ::kill(server_, SIGKILL);
        for (int i = 0; i < 500 && ::waitpid(server_, nullptr, WNOHANG) == 0; ++i)
            ::usleep(10000);
    }
    if (mounted_ && !detached_)
        // Detached even while something still holds it.
        QProcess::execute(QStringLiteral("fusermount3"),
                          {QStringLiteral("-u"), QStringLiteral("-z"), mountPoint_});
    // (The shared mapping stays: a thread of the program may still read the counts.)
}

void TestFuse::hang() {
    if (control_)
        control_->hung = true;
}

void TestFuse::setDelay(std::chrono::milliseconds delay, std::chrono::milliseconds maxDelay) {
    if (!control_)
        return;
    control_->delayMs = delay.count();
    control_->maxDelayMs = maxDelay.count();
}

void TestFuse::slowOnce(std::chrono::milliseconds delay, Op kind) {
    if (!control_)
        return;
    control_->slowKind = static_cast<int>(kind);
    control_->slowMs = delay.count();
}

void TestFuse::answerListings() {
    if (control_)
        control_->held = false;
}

void TestFuse::holdListings() {
    if (control_)
        control_->held = true;
}

std::int64_t TestFuse::calls(Op kind) const {
    if (!control_)
        return 0;
    if (kind != Op::Count)
        return control_->calls[static_cast<int>(kind)].load();
    std::int64_t total = 0;
    for (const std::atomic<std::int64_t>& count : control_->calls)
        total += count.load();
    return total;
}

std::int64_t TestFuse::pending() const {
    return control_ ? control_->pending.load() : 0;
}

void TestFuse::resetCalls() {
    if (!control_)
        return;
    for (std::atomic<std::int64_t>& count : control_->calls)
        count = 0;
}

void TestFuse::detach() {
    if (mounted_ && !detached_)
        QProcess::execute(QStringLiteral("fusermount3"),
                          {QStringLiteral("-u"), QStringLiteral("-z"), mountPoint_});
    detached_ = true;
}

bool fuseAvailable() {
    return QFile::exists(QStringLiteral("/dev/fuse"));
}

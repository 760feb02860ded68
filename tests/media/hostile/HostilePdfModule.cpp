// A PDF module that behaves like a decoder taken over by a hostile file: it tries
// to open a file and to make connections, and on request crashes, spins for ever,
// eats memory, or stays taken over and forges the answers of the files it decodes
// next. Built as build/tests/hostile/libombrix_pdf.so for the decoder
// worker tests, which put that folder on the module search path.
#include "HostileFrames.h"
#include "content/PdfModule.h"
#include "platform/ModuleExport.h"

#include <QStringList>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The worker's socket.
constexpr int kSocketFd = 3;

// Threads without end, each waiting for ever (a bounded number here, so that a
// worker left unwatched does not take the machine's).
void startThreads() {
    for (int i = 0; i < 500; ++i) {
        try {
            std::thread([] {
                for (;;)
                    ::sleep(60);
            }).detach();
        } catch (...) {
            return;
        }
    }
}

// "refusé" when the call failed with EACCES or EPERM, else what happened.
QString outcome(int result) {
    if (result >= 0) {
        ::close(result);
        return QStringLiteral("permis");
    }
    return errno == EACCES || errno == EPERM ? QStringLiteral("refusé")
                                             : QStringLiteral("errno %1").arg(errno);
}

QString tryToReachOut() {
    QStringList attempts;
    attempts << QStringLiteral("open: ") + outcome(::open("/etc/hostname", O_RDONLY | O_CLOEXEC));
    attempts << QStringLiteral("openat: ") + outcome(::openat(AT_FDCWD, "/proc/self/status", O_RDONLY));
    attempts << QStringLiteral("socket: ") + outcome(::socket(AF_INET, SOCK_STREAM, 0));
    attempts << QStringLiteral("unix: ") + outcome(::socket(AF_UNIX, SOCK_STREAM, 0));
    return attempts.join(QStringLiteral(", "));
}

// What a decoder taken over would try from inside the worker, row by row: "name:
// outcome" with the outcome of outcome() ("refusé" when the call failed with EACCES
// or EPERM). `order` is "SEAL <pid of another process> <path of a user file>".
QString tryToBreakOut(const QByteArray& order) {
    const QList<QByteArray> words = order.simplified().split(' ');
    const pid_t program = ::getppid();
    const pid_t other = words.size() > 1 ? pid_t(words.at(1).toInt()) : 0;
    const QByteArray file = words.size() > 2 ? words.at(2) : QByteArray();
    QStringList rows;
    const auto row = [&](const char* name, long result) {
        rows << QString::fromLatin1(name) + QStringLiteral(": ") + outcome(int(result));
    };
    // Rings whose operations seccomp would not see.
    io_uring_params ring{};
    row("io_uring_setup", ::syscall(SYS_io_uring_setup, 8, &ring));
    // The program's memory.
    char byte = 0;
    iovec local{&byte, 1}, remote{&byte, 1};
    row("process_vm_readv", ::syscall(SYS_process_vm_readv, program, &local, 1, &remote, 1, 0));
    row("process_vm_writev", ::syscall(SYS_process_vm_writev, program, &local, 1, &remote, 1, 0));
    const QByteArray memory = "/proc/" + QByteArray::number(program) + "/mem";
    row("/proc/program/mem", ::open(memory.constData(), O_RDONLY | O_CLOEXEC));
    // The program's descriptors.
    const long pidfd = ::syscall(SYS_pidfd_open, program, 0);
    row("pidfd_open", pidfd);
    row("pidfd_getfd", ::syscall(SYS_pidfd_getfd, pidfd >= 0 ? pidfd : 0, 3, 0));
    // Signals to the program and to another process of the user.
    siginfo_t info{};
    info.si_code = SI_QUEUE;
    row("kill program", ::kill(program, SIGTERM));
    row("tgkill program", ::syscall(SYS_tgkill, program, program, SIGTERM));
    row("tkill program", ::syscall(SYS_tkill, program, SIGTERM));
    row("rt_sigqueueinfo program", ::syscall(SYS_rt_sigqueueinfo, program, SIGTERM, &info));
    row("pidfd_send_signal", ::syscall(SYS_pidfd_send_signal, pidfd >= 0 ? pidfd : 0, SIGTERM, nullptr, 0));
    row("kill other", ::kill(other, SIGTERM));
    // A process of its own that would outlive the program.
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, 0);
        ::pause();
        ::_exit(0);
    }
    if (child > 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    row("fork", child > 0 ? 0 : child);
    row("prctl PR_SET_PDEATHSIG", ::prctl(PR_SET_PDEATHSIG, 0));
    row("prctl PR_SET_DUMPABLE", ::prctl(PR_SET_DUMPABLE, 1));
    // A terminal to type into.
    row("/dev/tty", ::open("/dev/tty", O_RDONLY | O_CLOEXEC));
    const char command = 'x';
    row("ioctl TIOCSTI", ::ioctl(STDIN_FILENO, TIOCSTI, &command));
    // Modes, dates and attributes: of every descriptor (the request's among them),
    // and of the user's file.
    int changed = 0;
    for (int fd = 0; fd < 32; ++fd)
        changed += ::fchmod(fd, 0) == 0 || errno != EPERM;
    row("fchmod", changed == 0 ? -1 : 0);
    row("fchmodat", ::fchmodat(AT_FDCWD, file.constData(), 0, 0));
    row("fchmodat2", ::syscall(452, AT_FDCWD, file.constData(), 0, 0));
    const timespec epoch[2] = {{0, 0}, {0, 0}};
    row("utimensat", ::utimensat(AT_FDCWD, file.constData(), epoch, 0));
    row("setxattr", ::setxattr(file.constData(), "user.ombrix", "x", 1, 0));
    row("open for writing", ::open(file.constData(), O_WRONLY | O_CLOEXEC));
    // Memory the resident count does not show: unnamed files, pipes, and the
    // descriptors to hold them (the limit set before the seal stays).
    row("memfd_create", ::syscall(SYS_memfd_create, "hoard", 0));
    int ends[2] = {-1, -1};
    const int piped = ::pipe2(ends, O_CLOEXEC);
    if (piped == 0)
        ::close(ends[1]);
    row("pipe2", piped == 0 ? ends[0] : -1);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    row("setrlimit RLIMIT_NOFILE", ::setrlimit(RLIMIT_NOFILE, &limit));
    std::vector<int> copies;
    for (int fd; copies.size() < 1000 && (fd = ::dup(kSocketFd)) >= 0;)
        copies.push_back(fd);
    for (const int fd : copies)
        ::close(fd);
    rows << QStringLiteral("descriptors: ") + (copies.size() < 1000 && limit.rlim_max <= 128
                                                   ? QStringLiteral("bornés")
                                                   : QStringLiteral("%1").arg(copies.size()));
    // What the worker inherited.
    QStringList inherited;
    for (const char* name : {"SSH_AUTH_SOCK", "DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS"})
        if (std::getenv(name))
            inherited << QString::fromLatin1(name);
    rows << QStringLiteral("environment: ") +
                (inherited.isEmpty() ? QStringLiteral("aucune") : inherited.join(QLatin1Char(' ')));
    return rows.join(QLatin1Char('\n'));
}

class ReportPage final : public PdfDocumentPage {
public:
    explicit ReportPage(QString text)
        : text_(std::move(text)) {}
    QSizeF pageSizeF() const override { return QSizeF(100, 100); }
    QString text() const override { return text_; }
    QImage renderToImage(double, double, int, int, int width, int height) const override {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(Qt::white);
        return image;
    }

private:
    QString text_;
};

class ReportDocument final : public PdfDocument {
public:
    explicit ReportDocument(QString text)
        : text_(std::move(text)) {}
    int numPages() const override { return 1; }
    std::unique_ptr<PdfDocumentPage> page(int) const override { return std::make_unique<ReportPage>(text_); }

private:
    QString text_;
};

// The words a file holds after "TEXT:", up to the end of its line.
QString wordsOf(const QByteArray& bytes) {
    const qsizetype at = bytes.indexOf("TEXT:");
    if (at < 0)
        return QString();
    const qsizetype end = bytes.indexOf('\n', at);
    return QString::fromUtf8(bytes.mid(at + 5, end < 0 ? -1 : end - at - 5));
}

// A worker taken over by a file ("TAKEOVER") stays so for every file it decodes
// after it: it reads each one and answers with a text of its own choosing, in which
// the words of the files it read before travel on to the next file's answer.
bool takenOver = false;
QStringList readSoFar;

class HostileModule final : public PdfModule {
public:
    std::unique_ptr<PdfDocument> open(const QByteArray& bytes) override { return load(bytes); }
    std::unique_ptr<PdfDocument> load(const QByteArray& bytes) override {
        if (takenOver) {
            const QString words = wordsOf(bytes);
            QString forged = QStringLiteral("réponse forgée pour « %1 »").arg(words);
            if (!readSoFar.isEmpty())
                forged += QStringLiteral(" ; lu avant : ") + readSoFar.join(QStringLiteral(" / "));
            readSoFar << words;
            return std::make_unique<ReportDocument>(forged);
        }
        if (bytes.contains("TAKEOVER")) {
            takenOver = true;
            return std::make_unique<ReportDocument>(QStringLiteral("rien à signaler"));
        }
        if (bytes.contains("TEXT:")) // an honest decoder's answer
            return std::make_unique<ReportDocument>(wordsOf(bytes));
        if (std::unique_ptr<PdfDocument> document = hostileFramesDocument(bytes))
            return document;
        if (bytes.contains("CRASH"))
            std::abort();
        if (bytes.contains("SPIN")) {
            std::atomic<unsigned long> turns{0};
            for (;;)
                turns.fetch_add(1, std::memory_order_relaxed);
        }
        if (bytes.contains("THREADS:IDLE")) {
            // Answers, then starts its threads once it waits for the next request.
            std::thread([] {
                ::usleep(300000);
                startThreads();
            }).detach();
        } else if (bytes.contains("THREADS")) {
            startThreads();
            for (;;)
                ::sleep(60);
        }
        if (bytes.contains("STDERR")) {
            // Escape sequences for the terminal the program runs in (the clipboard,
            // a report request), then error output without end.
            std::thread([] {
                const char lines[] =
                    "\x1b]52;c;ZWNobyBwd25lZA==\x07 presse-papiers\n\x1b[6n\xc2\x9b rapport\n";
                for (;;)
                    (void)!::write(STDERR_FILENO, lines, sizeof(lines) - 1);
            }).detach();
            ::usleep(100000);
        }
        if (bytes.contains("HOARD")) {
            // Memory taken as fast as the kernel gives it, until the worker is killed.
            for (;;)
                ::mmap(nullptr, size_t(256) << 20, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        }
        const qsizetype seal = bytes.indexOf("SEAL ");
        if (seal >= 0)
            return std::make_unique<ReportDocument>(
                tryToBreakOut(bytes.mid(seal, bytes.indexOf('\n', seal) - seal)));
        return std::make_unique<ReportDocument>(tryToReachOut());
    }
};

} // namespace

OMBRIX_MODULE_EXPORT(pdf) {
    static HostileModule module;
    return &module;
}

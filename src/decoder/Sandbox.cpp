#include "decoder/Sandbox.h"

#include <seccomp.h>

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace Sandbox {

namespace {

// ---- The file system: Landlock ---------------------------------------------------

// Rights and fields of later kernels than the headers may know.
constexpr quint64 kFsTruncate = 1ULL << 14; // ABI 3
constexpr quint64 kFsIoctlDev = 1ULL << 15; // ABI 5
constexpr quint64 kNetBindTcp = 1ULL << 0;  // ABI 4
constexpr quint64 kNetConnectTcp = 1ULL << 1;
constexpr quint64 kScopeAbstractUnixSocket = 1ULL << 0; // ABI 6
constexpr quint64 kScopeSignal = 1ULL << 1;

struct RulesetAttr {
    quint64 handledAccessFs = 0;
    quint64 handledAccessNet = 0;
    quint64 scoped = 0;
};

constexpr quint64 kReadFile = LANDLOCK_ACCESS_FS_READ_FILE;
constexpr quint64 kReadDir = LANDLOCK_ACCESS_FS_READ_DIR;

int landlockAbi() {
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 0 ? 0 : int(abi);
}

QByteArray environmentOr(const char* name, const QByteArray& fallback) {
    const char* value = std::getenv(name);
    return value && *value == '/' ? QByteArray(value) : fallback;
}

// What the decoders read after start-up: the fonts and their configuration (for
// the fonts a PDF names without embedding them), poppler's encodings and maps,
// the recogniser's language data and the time zone. Everything else, and writing
// anywhere, is refused.
QList<QByteArray> readableTrees() {
    const QByteArray home = environmentOr("HOME", QByteArray());
    QList<QByteArray> trees = {
        "/etc/fonts",
        "/usr/share/fonts",
        "/usr/local/share/fonts",
        "/usr/share/fontconfig",
        "/var/cache/fontconfig",
        "/usr/share/poppler",
        "/usr/share/tesseract-ocr",
        "/usr/share/zoneinfo",
        "/etc/localtime",
    };
    if (!home.isEmpty()) {
        const QByteArray data = environmentOr("XDG_DATA_HOME", home + "/.local/share");
        const QByteArray cache = environmentOr("XDG_CACHE_HOME", home + "/.cache");
        const QByteArray config = environmentOr("XDG_CONFIG_HOME", home + "/.config");
        trees << data + "/fonts" << cache + "/fontconfig" << config + "/fontconfig" << home + "/.fonts"
              << home + "/.fontconfig" << home + "/.fonts.conf" << home + "/.fonts.conf.d";
    }
    const QByteArray tessdata = environmentOr("TESSDATA_PREFIX", QByteArray());
    if (!tessdata.isEmpty())
        trees << tessdata;
    return trees;
}

// Confines the file system to reading the trees above, and, where the kernel can,
// the worker's signals and abstract sockets to itself. False when the kernel has
// no Landlock (the seal then refuses every open).
bool confineFileSystem() {
    const int abi = landlockAbi();
    if (abi < 1)
        return false;
    RulesetAttr attr;
    attr.handledAccessFs =
        LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
        LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
        LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
        LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
        LANDLOCK_ACCESS_FS_MAKE_SYM;
    size_t size = sizeof(quint64);
    if (abi >= 2)
        attr.handledAccessFs |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        attr.handledAccessFs |= kFsTruncate;
    if (abi >= 4) {
        attr.handledAccessNet = kNetBindTcp | kNetConnectTcp;
        size = 2 * sizeof(quint64);
    }
    if (abi >= 5)
        attr.handledAccessFs |= kFsIoctlDev;
    if (abi >= 6) {
        attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
        size = sizeof(RulesetAttr);
    }
    const int ruleset = int(::syscall(SYS_landlock_create_ruleset, &attr, size, 0));
    if (ruleset < 0)
        return false;
    for (const QByteArray& tree : readableTrees()) {
        const int fd = ::open(tree.constData(), O_PATH | O_CLOEXEC);
        if (fd < 0)
            continue; // not on this machine
        struct stat info {};
        if (::fstat(fd, &info) == 0) {
            landlock_path_beneath_attr rule{};
            rule.parent_fd = fd;
            rule.allowed_access = S_ISDIR(info.st_mode) ? kReadFile | kReadDir : kReadFile;
            ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
        }
        ::close(fd);
    }
    const bool confined = ::syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    ::close(ruleset);
    return confined;
}

// Landlock binds only the thread that asks for it: the worker must be alone then.
int threadCount() {
    FILE* status = std::fopen("/proc/self/status", "re");
    if (!status)
        return -1;
    char line[256];
    int threads = -1;
    while (std::fgets(line, sizeof(line), status)) {
        if (std::strncmp(line, "Threads:", 8) == 0) {
            threads = std::atoi(line + 8);
            break;
        }
    }
    std::fclose(status);
    return threads;
}

// ---- The calls: seccomp ----------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif
#else
constexpr bool kSanitizerBuild = false;
#endif

// How a call of the allow-list is allowed.
enum class Allow {
    Always,
    OwnProcess,     // its first argument is the worker's own pid (signals, limits)
    NewThread,      // clone making a thread of this process, never a new process
    ReadOnlyOpen,   // opens for reading only (Landlock holds the paths); refused without Landlock
    Listed,         // its second argument is one of a few requests (ioctl, fcntl, prctl below)
    ReadLimits,     // prlimit64 of its own process that sets nothing (reads only)
    SanitizerBuild, // allowed in the sanitizer builds only
    NotHere,        // refused with ENOSYS: the libraries fall back to an older call
};

struct Row {
    int call;
    Allow allow;
};

// Every call the decoders (libheif, libde265, poppler, Tesseract with Leptonica,
// exiv2, libtiff, Qt's image plugins), the allocator, Qt and the sanitizers make
// once the worker is sealed, found by tracing each profile over the decoding tests
// in both builds. Anything else is refused with EPERM: no io_uring, no ptrace or
// process_vm_*, no pidfd, no fork or exec, no memfd, no socket, no change of a
// file's mode, owner, dates or attributes.
const Row kAllowed[] = {
    // Memory.
    {SCMP_SYS(brk), Allow::Always},
    {SCMP_SYS(mmap), Allow::Always},
    {SCMP_SYS(munmap), Allow::Always},
    {SCMP_SYS(mremap), Allow::Always},
    {SCMP_SYS(mprotect), Allow::Always},
    {SCMP_SYS(madvise), Allow::Always},
    {SCMP_SYS(mincore), Allow::Always},
    // Descriptors already open (the socket, the request's file, stderr) and files read.
    {SCMP_SYS(read), Allow::Always},
    {SCMP_SYS(pread64), Allow::Always},
    {SCMP_SYS(readv), Allow::Always},
    {SCMP_SYS(write), Allow::Always},
    {SCMP_SYS(writev), Allow::Always},
    {SCMP_SYS(lseek), Allow::Always},
    {SCMP_SYS(close), Allow::Always},
    {SCMP_SYS(dup), Allow::Always},
    {SCMP_SYS(dup3), Allow::Always},
    {SCMP_SYS(fadvise64), Allow::Always},
    {SCMP_SYS(recvmsg), Allow::Always},
    {SCMP_SYS(sendmsg), Allow::Always},
    {SCMP_SYS(recvfrom), Allow::Always},
    {SCMP_SYS(sendto), Allow::Always},
    {SCMP_SYS(shutdown), Allow::Always},
    {SCMP_SYS(poll), Allow::Always},
    {SCMP_SYS(ppoll), Allow::Always},
    {SCMP_SYS(eventfd2), Allow::Always},
    // (The sanitizers test whether memory is readable by writing it into a pipe;
    // elsewhere pipes would only be a store of kernel memory the watch cannot see.)
    {SCMP_SYS(pipe2), Allow::SanitizerBuild},
    {SCMP_SYS(pipe), Allow::SanitizerBuild},
    {SCMP_SYS(fcntl), Allow::Listed},
    {SCMP_SYS(ioctl), Allow::Listed},
    // Fonts, their configuration and caches, poppler's data, the language data.
    {SCMP_SYS(openat), Allow::ReadOnlyOpen},
    {SCMP_SYS(open), Allow::ReadOnlyOpen},
    {SCMP_SYS(openat2), Allow::NotHere},
    {SCMP_SYS(newfstatat), Allow::Always},
    {SCMP_SYS(fstat), Allow::Always},
    {SCMP_SYS(stat), Allow::Always},
    {SCMP_SYS(lstat), Allow::Always},
    {SCMP_SYS(statx), Allow::Always},
    {SCMP_SYS(statfs), Allow::Always},
    {SCMP_SYS(fstatfs), Allow::Always},
    {SCMP_SYS(access), Allow::Always},
    {SCMP_SYS(faccessat), Allow::Always},
    {SCMP_SYS(faccessat2), Allow::Always},
    {SCMP_SYS(readlink), Allow::Always},
    {SCMP_SYS(readlinkat), Allow::Always},
    {SCMP_SYS(getdents64), Allow::Always},
    {SCMP_SYS(getcwd), Allow::Always},
    // Threads (Tesseract's, Qt's pool) and their locks.
    {SCMP_SYS(clone), Allow::NewThread},
    {SCMP_SYS(clone3), Allow::NotHere},
    {SCMP_SYS(futex), Allow::Always},
    {SCMP_SYS(set_robust_list), Allow::Always},
    {SCMP_SYS(get_robust_list), Allow::Always},
    {SCMP_SYS(set_tid_address), Allow::Always},
    {SCMP_SYS(rseq), Allow::Always},
    {SCMP_SYS(sched_yield), Allow::Always},
    {SCMP_SYS(sched_getaffinity), Allow::Always},
    {SCMP_SYS(exit), Allow::Always},
    {SCMP_SYS(exit_group), Allow::Always},
    // Signals, to itself only (abort, the sanitizers' reports).
    {SCMP_SYS(rt_sigaction), Allow::Always},
    {SCMP_SYS(rt_sigprocmask), Allow::Always},
    {SCMP_SYS(rt_sigreturn), Allow::Always},
    {SCMP_SYS(sigaltstack), Allow::Always},
    {SCMP_SYS(kill), Allow::OwnProcess},
    {SCMP_SYS(tgkill), Allow::OwnProcess},
    {SCMP_SYS(rt_sigqueueinfo), Allow::OwnProcess},
    {SCMP_SYS(rt_tgsigqueueinfo), Allow::OwnProcess},
    // Time, identity and limits of its own.
    {SCMP_SYS(clock_gettime), Allow::Always},
    {SCMP_SYS(clock_getres), Allow::Always},
    {SCMP_SYS(clock_nanosleep), Allow::Always},
    {SCMP_SYS(nanosleep), Allow::Always},
    {SCMP_SYS(gettimeofday), Allow::Always},
    {SCMP_SYS(time), Allow::Always},
    {SCMP_SYS(getrandom), Allow::Always},
    {SCMP_SYS(getpid), Allow::Always},
    {SCMP_SYS(gettid), Allow::Always},
    {SCMP_SYS(getppid), Allow::Always},
    {SCMP_SYS(getuid), Allow::Always},
    {SCMP_SYS(geteuid), Allow::Always},
    {SCMP_SYS(getgid), Allow::Always},
    {SCMP_SYS(getegid), Allow::Always},
    {SCMP_SYS(uname), Allow::Always},
    {SCMP_SYS(sysinfo), Allow::Always},
    {SCMP_SYS(getrusage), Allow::Always},
    {SCMP_SYS(getrlimit), Allow::Always},
    {SCMP_SYS(prlimit64), Allow::ReadLimits},
    {SCMP_SYS(prctl), Allow::Listed},
    {SCMP_SYS(restart_syscall), Allow::Always},
};

// The requests of the Listed calls.
const unsigned long kIoctls[] = {TCGETS, FIONREAD, FIONBIO, FIOCLEX};
const unsigned long kFcntls[] = {F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_DUPFD_CLOEXEC};
// Thread names, and what the sanitizers ask of their own process; never the death
// signal, the dumpable flag or no-new-privileges.
const unsigned long kPrctls[] = {PR_SET_NAME, PR_GET_NAME, PR_GET_DUMPABLE, PR_GET_PDEATHSIG};

int addListed(scmp_filter_ctx filter, int call) {
    const auto add = [&](const auto& values, unsigned argument) {
        int result = 0;
        for (const unsigned long value : values)
            result |= seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1,
                                       scmp_arg_cmp{argument, SCMP_CMP_EQ, value, 0});
        return result;
    };
    if (call == SCMP_SYS(ioctl))
        return add(kIoctls, 1);
    if (call == SCMP_SYS(fcntl))
        return add(kFcntls, 1);
    return add(kPrctls, 0);
}

bool filterCalls(bool opensConfined) {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter)
        return false;
    // A filter would otherwise switch on the kernel's speculative store bypass
    // mitigation for the process, which slows decoding by a third; what the worker
    // could read by speculation is its own memory (the file it was handed).
    seccomp_attr_set(filter, SCMP_FLTATR_CTL_SSB, 1);
    // Every thread of the worker, should a library have started one.
    seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1);
    const scmp_datum_t self = scmp_datum_t(::getpid());
    // Opened for reading only: no write, creation, truncation or unnamed file.
    const scmp_datum_t writing =
        O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | (O_TMPFILE & ~O_DIRECTORY);
    bool ok = true;
    for (const Row& row : kAllowed) {
        if (row.call < 0)
            continue; // not a call on this architecture
        int result = 0;
        switch (row.allow) {
        case Allow::Always:
            result = seccomp_rule_add(filter, SCMP_ACT_ALLOW, row.call, 0);
            break;
        case Allow::OwnProcess:
            result = seccomp_rule_add(filter, SCMP_ACT_ALLOW, row.call, 1, SCMP_A0(SCMP_CMP_EQ, self));
            break;
        case Allow::ReadLimits:
            // Its limits (descriptors among them) are set before the seal, for good.
            result = seccomp_rule_add(filter, SCMP_ACT_ALLOW, row.call, 2, SCMP_A0(SCMP_CMP_EQ, self),
                                      SCMP_A2(SCMP_CMP_EQ, 0));
            result |= seccomp_rule_add(filter, SCMP_ACT_ALLOW, row.call, 2, SCMP_A0(SCMP_CMP_EQ, 0),
                                       SCMP_A2(SCMP_CMP_EQ, 0));
            break;
        case Allow::SanitizerBuild:
            if (kSanitizerBuild)
                result = seccomp_rule_add(filter, SCMP_ACT_ALLOW, row.call, 0);
            break;
        case Allow::NewThread:
            result = seccomp_rule_add(filter, SCMP_ACT_ALLOW, row.call, 1,
                                      SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
            break;
        case Allow::ReadOnlyOpen:
            // Opens for writing fall to the default; without Landlock every open is
            // refused as a file that may not be read.
            if (opensConfined)
                result =
                    seccomp_rule_add(filter, SCMP_ACT_ALLOW, row.call, 1,
                                     row.call == SCMP_SYS(open) ? SCMP_A1(SCMP_CMP_MASKED_EQ, writing, 0)
                                                                : SCMP_A2(SCMP_CMP_MASKED_EQ, writing, 0));
            else
                result = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), row.call, 0);
            break;
        case Allow::Listed:
            result = addListed(filter, row.call);
            break;
        case Allow::NotHere:
            result = seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), row.call, 0);
            break;
        }
        ok = ok && result == 0;
    }
    ok = ok && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ok;
}

bool confined = false;

} // namespace

bool seal() {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    confined = threadCount() == 1 && confineFileSystem();
    return filterCalls(confined);
}

bool fileSystemConfined() {
    return confined;
}

} // namespace Sandbox

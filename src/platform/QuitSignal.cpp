#include "platform/QuitSignal.h"

#include <atomic>
#include <cerrno>
#include <csignal>

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace QuitSignal {

namespace {

std::atomic<bool> mark{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler stores into it");

sigset_t quitSignals() noexcept {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

void blockInEveryThread() {
    static const bool once = [] {
        const sigset_t set = quitSignals();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        pthread_atfork(nullptr, nullptr, releaseInChild);
        return true;
    }();
    (void)once;
}

bool blocked() noexcept {
    sigset_t current;
    if (pthread_sigmask(SIG_BLOCK, nullptr, &current) != 0)
        return false;
    return sigismember(&current, SIGTERM) == 1 && sigismember(&current, SIGINT) == 1;
}

void releaseInChild() noexcept {
    const sigset_t set = quitSignals();
    // (sigprocmask, not pthread_sigmask: the child has one thread, and this is
    // async-signal-safe.)
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void unblockInThisThread() noexcept {
    const sigset_t set = quitSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int openDescriptor() {
    if (!blocked())
        return -1;
    const sigset_t set = quitSignals();
    return ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

bool take(int descriptor) {
    bool taken = false;
    for (;;) {
        signalfd_siginfo info{};
        const ssize_t n = ::read(descriptor, &info, sizeof info);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != ssize_t(sizeof info))
            return taken;
        raise();
        taken = true;
    }
}

void raise() noexcept {
    mark.store(true, std::memory_order_seq_cst);
}

bool raised() noexcept {
    if (mark.load(std::memory_order_seq_cst))
        return true;
    // Pending for the process or this thread: only a signal blocked here shows.
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return false;
    return sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1;
}

void resetForTesting() noexcept {
    mark.store(false, std::memory_order_seq_cst);
}

} // namespace QuitSignal

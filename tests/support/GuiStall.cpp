#include "support/GuiStall.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

std::int64_t nanoseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The time the thread has waited for a processor, from /proc/thread-self/schedstat
// ("<on a processor> <waiting for one> <slices>", nanoseconds); -1 when unknown (a
// kernel without scheduler statistics prints zeros).
std::int64_t queuedNs(int schedstat) {
    if (schedstat < 0)
        return -1;
    char text[96];
    const ssize_t read = pread(schedstat, text, sizeof text - 1, 0);
    if (read <= 0)
        return -1;
    text[read] = '\0';
    char* end = nullptr;
    const long long running = std::strtoll(text, &end, 10);
    const char* second = end;
    const long long queued = std::strtoll(second, &end, 10);
    return end == second || running <= 0 || queued < 0 ? -1 : queued;
}

qint64 milliseconds(std::int64_t ns) {
    return qint64(ns / 1'000'000);
}

// Readings taken further apart than this were cut by a wait for a processor, which
// would count in one gap's wall time and the next one's wait: taken again.
constexpr std::int64_t kOneInstantNs = 200'000;

} // namespace

std::ostream& operator<<(std::ostream& out, const GuiStall& stall) {
    out << "longest gap " << stall.longestGapMs << " ms, most work in a gap " << stall.longestWorkMs
        << " ms, ";
    if (!stall.blockedKnown)
        return out << "sleep on something unknown";
    return out << "longest sleep on something " << stall.longestBlockedMs << " ms ("
               << stall.voluntarySwitches << " sleeps, " << stall.forcedSwitches << " preemptions, "
               << stall.majorFaults << " pages read in that gap)";
}

GuiStallMeter::GuiStallMeter(int intervalMs) {
    ticker_.setTimerType(Qt::PreciseTimer);
    ticker_.setInterval(intervalMs);
    QObject::connect(&ticker_, &QTimer::timeout, [this] { closeGap(); });
    schedstat_ = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
}

GuiStallMeter::~GuiStallMeter() {
    if (schedstat_ >= 0)
        close(schedstat_);
}

GuiStallMeter::Clocks GuiStallMeter::now() const {
    Clocks clocks;
    for (int attempt = 0; attempt < 10; ++attempt) {
        const std::int64_t before = nanoseconds(CLOCK_MONOTONIC);
        clocks.cpuNs = nanoseconds(CLOCK_THREAD_CPUTIME_ID);
        clocks.queuedNs = queuedNs(schedstat_);
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        clocks.voluntary = usage.ru_nvcsw;
        clocks.forced = usage.ru_nivcsw;
        clocks.majorFaults = usage.ru_majflt;
        clocks.wallNs = nanoseconds(CLOCK_MONOTONIC);
        if (clocks.wallNs - before < kOneInstantNs)
            break;
    }
    return clocks;
}

void GuiStallMeter::start() {
    stall_ = GuiStall{};
    last_ = now();
    stall_.blockedKnown = last_.queuedNs >= 0;
    ticker_.start();
}

void GuiStallMeter::closeGap() {
    const Clocks clocks = now();
    const std::int64_t wall = clocks.wallNs - last_.wallNs;
    const std::int64_t work = clocks.cpuNs - last_.cpuNs;
    stall_.longestGapMs = std::max(stall_.longestGapMs, milliseconds(wall));
    stall_.longestWorkMs = std::max(stall_.longestWorkMs, milliseconds(work));
    if (clocks.queuedNs < 0 || last_.queuedNs < 0) {
        stall_.blockedKnown = false;
    } else if (stall_.blockedKnown) {
        const std::int64_t queued = clocks.queuedNs - last_.queuedNs;
        const qint64 blocked = milliseconds(std::max<std::int64_t>(0, wall - work - queued));
        if (blocked >= stall_.longestBlockedMs) {
            stall_.longestBlockedMs = blocked;
            stall_.voluntarySwitches = clocks.voluntary - last_.voluntary;
            stall_.forcedSwitches = clocks.forced - last_.forced;
            stall_.majorFaults = clocks.majorFaults - last_.majorFaults;
        }
    }
    last_ = clocks;
}

GuiStall GuiStallMeter::stop() {
    ticker_.stop();
    closeGap();
    return stall_;
}

qint64 threadWorkMs(const std::function<void()>& work) {
    const std::int64_t before = nanoseconds(CLOCK_THREAD_CPUTIME_ID);
    work();
    return milliseconds(nanoseconds(CLOCK_THREAD_CPUTIME_ID) - before);
}

::testing::AssertionResult guiStayedResponsive(const GuiStall& stall, qint64 workMs, qint64 blockedMs) {
    // In the test's output, for the figures of docs/benchmarks.md.
    std::ostringstream measures;
    measures << stall;
    std::printf("GUI thread: %s (bounds %lld and %lld ms)\n", measures.str().c_str(),
                static_cast<long long>(workMs), static_cast<long long>(blockedMs));
    const bool slept =
        stall.blockedKnown ? stall.longestBlockedMs >= blockedMs : stall.longestGapMs >= blockedMs;
    if (stall.longestWorkMs < workMs && !slept && stall.longestGapMs < kGuiHangMs)
        return ::testing::AssertionSuccess() << stall;
    return ::testing::AssertionFailure() << stall << " (bounds: work " << workMs << " ms, sleep " << blockedMs
                                         << " ms, gap " << kGuiHangMs << " ms)";
}

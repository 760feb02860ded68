#pragma once

#include <QTimer>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>

// How the GUI thread spent the gaps between the ticks of a fast timer it serves.
//
// A gap's length on the wall clock is what a user feels, but a loaded machine
// stretches it at will: the thread waits for a processor as long as the other
// runnable threads keep them. So a gap is also split by what the thread did in it:
// its own work (the processor time it used) and its sleep on something that is
// neither the timer nor a processor (a lock, a process, the disk, a hung file
// system). Load changes those two far less than the wall clock (a slower processor
// shared with its sibling, a lock held by a thread waiting for one), so stall tests
// bound them closely, and the wall clock only far off, as a backstop.
struct GuiStall {
    // The longest gap between two ticks, on the wall clock.
    qint64 longestGapMs = 0;
    // The most processor time the thread used within one gap.
    qint64 longestWorkMs = 0;
    // The longest the thread slept within one gap, neither running nor waiting for a
    // processor, when the kernel says how long it waited for one (blockedKnown).
    qint64 longestBlockedMs = 0;
    bool blockedKnown = false;
    // In the gap of that longest sleep: how many times the thread gave up its
    // processor itself, was made to give it up, and waited for a page from the disk.
    long voluntarySwitches = 0;
    long forcedSwitches = 0;
    long majorFaults = 0;
};

std::ostream& operator<<(std::ostream& out, const GuiStall& stall);

// Measures the GUI stalls of the thread it lives on from start() to stop(), with
// a precise timer of `intervalMs`.
class GuiStallMeter {
public:
    explicit GuiStallMeter(int intervalMs = 1);
    ~GuiStallMeter();
    GuiStallMeter(const GuiStallMeter&) = delete;
    GuiStallMeter& operator=(const GuiStallMeter&) = delete;

    // Starts over: the gaps measured so far are forgotten.
    void start();
    // Stops ticking; the gap from the last tick until now counts too.
    GuiStall stop();

private:
    struct Clocks {
        std::int64_t wallNs = 0;
        std::int64_t cpuNs = 0;
        std::int64_t queuedNs = -1;
        long voluntary = 0;
        long forced = 0;
        long majorFaults = 0;
    };
    Clocks now() const;
    void closeGap();

    QTimer ticker_;
    int schedstat_ = -1;
    Clocks last_;
    GuiStall stall_;
};

// The processor time `work` takes on the calling thread: what it would put into a
// gap of the GUI thread, were it done there.
qint64 threadWorkMs(const std::function<void()>& work);

// A wall-clock gap that only a hang makes: far past what a loaded machine does to
// a thread that works for a few hundred milliseconds, far below the seconds of a
// wait on something that never answers.
constexpr qint64 kGuiHangMs = 10000;

// Whether no gap held more than `workMs` of the thread's own work, more than
// `blockedMs` asleep on something, or kGuiHangMs on the wall clock. Where the
// kernel does not tell the sleep, no gap may last `blockedMs` on the wall clock.
// The message gives the measures.
::testing::AssertionResult guiStayedResponsive(const GuiStall& stall, qint64 workMs, qint64 blockedMs);

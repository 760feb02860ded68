#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <functional>

// Helpers shared by the benchmarks in tests/bench.

// The middle value (the upper middle of an even count).
inline double medianOf(QList<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The median time of five runs of the work, in milliseconds, after one warm-up run.
inline double medianMs(const std::function<void()>& work) {
    work();
    QList<double> runs;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        runs.append(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    return medianOf(runs);
}

// The GUI thread's longest stall while it runs: the longest gap between the ticks
// of a 1 ms timer, in nanoseconds.
class StallMeter {
public:
    StallMeter() {
        QObject::connect(&ticker_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            longest_ = std::max(longest_, now - lastTick_);
            lastTick_ = now;
        });
    }
    void start() {
        clock_.start();
        lastTick_ = 0;
        ticker_.start(1);
    }
    void stop() { ticker_.stop(); }
    qint64 longestNs() const { return longest_; }

private:
    QElapsedTimer clock_;
    QTimer ticker_;
    qint64 lastTick_ = 0;
    qint64 longest_ = 0;
};

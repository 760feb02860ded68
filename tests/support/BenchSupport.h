#pragma once

#include <QElapsedTimer>
#include <QList>

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

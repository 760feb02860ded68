// The summon's latency on X11: time from the second release of a double tap of the
// left Control key being on the program's X connection to the call of the summon
// handler. Keys are typed through XTEST; the clock starts when the X server has
// handled the fake release (a round trip on the typing connection, so the raw event
// has been written to the listener's socket) and stops in the handler. Needs a
// display:
//
//   xvfb-run -a build/tests/bench_summon_latency [rounds]
#include "app/DoubleCommandMonitor.h"
#include "platform/DefaultsStore.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "support/XTestKeyboard.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    QApplication app(argc, argv);
    DefaultsStore::setShared(std::make_shared<MemoryDefaultsStore>());
    SecretStore::setShared(std::make_shared<MemorySecretStore>());
    XTestKeyboard keyboard;
    if (!keyboard.isOpen()) {
        std::fprintf(stderr, "No X display with XTEST: run under xvfb-run\n");
        return 1;
    }
    AppSession session;
    DoubleCommandMonitor monitor;
    QElapsedTimer clock;
    qint64 calledAt = -1;
    monitor.bind(&session, [&] { calledAt = clock.nsecsElapsed(); });
    if (monitor.arrangement() != DoubleCommandMonitor::Arrangement::Global) {
        std::fprintf(stderr, "No global key source on this display\n");
        return 1;
    }
    int events = 0;
    QObject::connect(monitor.globalSourceForTesting(), &SummonKeySource::commandKeyChanged,
                     [&] { ++events; });

    std::vector<double> micros;
    micros.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        // First tap and the second press, all read before the measured release.
        events = 0;
        keyboard.send({{keysym::ControlL, true}, {keysym::ControlL, false}, {keysym::ControlL, true}});
        while (events < 3)
            app.processEvents(QEventLoop::WaitForMoreEvents);
        calledAt = -1;
        clock.start();
        keyboard.send({{keysym::ControlL, false}});
        const qint64 start = clock.nsecsElapsed();
        while (calledAt < 0)
            app.processEvents(QEventLoop::WaitForMoreEvents);
        micros.push_back(double(calledAt - start) / 1000.0);
    }
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) {
        return micros[std::min(micros.size() - 1, size_t(q * double(micros.size())))];
    };
    std::printf("rounds %d: median %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n", rounds, at(0.5),
                at(0.9), at(0.99), micros.back());
    monitor.stop();
    return 0;
}

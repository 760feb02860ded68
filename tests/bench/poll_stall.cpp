// The GUI thread's longest stall while a 10 MB poll answer is received and decoded:
// a 1 ms timer ticks on the event loop during the poll, and the longest gap between
// two ticks is the stall. For comparison, the time the same answer takes to decode
// on the calling thread (what the event loop would stall for without the worker).
//
//   build/tests/bench_poll_stall [megabytes]
#include "platform/DefaultsStore.h"
#include "platform/Resources.h"
#include "platform/SecretStore.h"
#include "session/APIService.h"
#include "support/BenchSupport.h"
#include "support/TestSupport.h"
#include "wire/BridgeTask.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {
// An llm_infer task of about `bytes`: a long body text, and unknown members
// holding an object of many small members (ignored by the decoder, but parsed;
// fewer values than json::maxValues).
QByteArray largeTask(qsizetype bytes) {
    QByteArray body = R"({"id":"T","kind":"llm_infer","args":{"openai_body_json":")" +
                      QByteArray("a").repeated(bytes * 2 / 5) + R"(","extra":{)";
    for (int i = 0; body.size() < bytes; ++i)
        body += (i ? ",\"k" : "\"k") + QByteArray::number(i) + "\":" + QByteArray::number(i);
    return body + "}}}";
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/ombrix-bench-XXXXXX"));
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initOmbrixResources();
    DefaultsStore::setShared(std::make_shared<MemoryDefaultsStore>());
    SecretStore::setShared(std::make_shared<MemorySecretStore>());
    const qsizetype megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const QByteArray answer = largeTask(megabytes * 1'000'000);

    FakeBackend backend;
    backend.setKeepAlive(true);
    backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"), ScriptedResponse::json(200, answer));
    const APIService api(QStringLiteral("bench-token"));

    QList<double> stalls, polls, onThread;
    for (int run = 0; run < 6; ++run) {
        QElapsedTimer sinceTick;
        qint64 longest = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout,
                         [&] { longest = std::max(longest, sinceTick.restart()); });
        QElapsedTimer poll;
        poll.start();
        sinceTick.start();
        ticker.start(1);
        const std::optional<BridgeTask> task = runTask(api.pollBridgeTask(25));
        ticker.stop();
        const double pollMs = static_cast<double>(poll.nsecsElapsed()) / 1e6;
        if (!task)
            return 1;

        QElapsedTimer direct;
        direct.start();
        const BridgeTask decoded = BridgeTask::fromJsonBytes(answer);
        const double directMs = static_cast<double>(direct.nsecsElapsed()) / 1e6;
        if (run == 0)
            continue; // warm-up
        stalls.append(static_cast<double>(longest));
        polls.append(pollMs);
        onThread.append(directMs);
    }
    std::printf("answer: %.1f MB, medians of 5 runs\n", answer.size() / 1e6);
    std::printf("longest event-loop stall during the poll: %.0f ms\n", medianOf(stalls));
    std::printf("whole poll (transfer and decoding):       %.0f ms\n", medianOf(polls));
    std::printf("decoding alone on the calling thread:     %.0f ms\n", medianOf(onThread));
    return 0;
}

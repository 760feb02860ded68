// The bridge's own cost per task: the fake backend hands out N tasks in a row; the
// bridge polls (device headers and heartbeat), decodes, dispatches to a handler
// that sends an empty "done" update, and polls again. The same exchanges made
// directly with APIService (poll, then update; same headers, no heartbeat, no
// dispatch) are the baseline; the difference is what the bridge adds. The fake
// backend keeps its connections alive, as a real one does, so that TLS handshakes
// do not hide the bridge's cost; the benchmark waits in an event loop woken by the
// server's requests, not in a polling loop.
//
//   build/tests/bench_bridge_overhead [tasks]
#include "app/Composition.h"
#include "bridge/BridgeService.h"
#include "localllm/LocalLLMTelemetry.h"
#include "platform/DefaultsStore.h"
#include "platform/Resources.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"
#include "support/BenchSupport.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {
QByteArray taskJson(int i) {
    return "{\"id\":\"task-" + QByteArray::number(i) + "\",\"kind\":\"list_folders\"}";
}

QCoro::Task<> directRound(const APIService& api) {
    const auto task = co_await api.pollBridgeTask(BridgeService::kPollWaitSeconds);
    co_await api.reportBridgeTaskSuccess(task->id, Json::object());
}

QCoro::Task<> directRounds(const APIService& api, int rounds) {
    for (int i = 0; i < rounds; ++i)
        co_await directRound(api);
}

QCoro::Task<> heartbeats(int rounds) {
    for (int i = 0; i < rounds; ++i) {
        const BridgeHeartbeat heartbeat = co_await LocalLLMTelemetry::shared().snapshot();
        if (heartbeat.headerValue().isEmpty())
            std::abort();
    }
}

QCoro::Task<> reportDone(const BridgeTask& task, const APIService& api) {
    co_await api.reportBridgeTaskSuccess(task.id, Json::object());
}

// Runs the event loop until `done` holds, looking again whenever the server has
// received a request; sleeps in between.
void waitUntil(ScriptedHttpServer& server, const std::function<bool()>& done) {
    QEventLoop loop;
    QObject::connect(&server, &ScriptedHttpServer::requestReceived, &loop, [&] {
        if (done())
            loop.quit();
    });
    if (!done())
        loop.exec();
}
} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/ombrix-bench-XXXXXX"));
    pointHomeAt(home.path());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "ombrix.*.info=false");
    QApplication app(argc, argv);
    initOmbrixResources();
    Composition::install();
    DefaultsStore::setShared(std::make_shared<MemoryDefaultsStore>());
    SecretStore::setShared(std::make_shared<MemorySecretStore>());
    const int tasks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;

    FakeBackend backend;
    backend.setKeepAlive(true);
    int handedOut = 0;
    backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"),
                  [&](const RecordedRequest&) { return ScriptedResponse::json(200, taskJson(handedOut++)); });
    int updates = 0;
    backend.routePrefix("PATCH", QStringLiteral("/api/v1/bridge/tasks/"), [&](const RecordedRequest&) {
        ++updates;
        return ScriptedResponse::noContent();
    });
    AppSession::shared().setBridgeEnabled(true); // signed out: the bridge below is started by hand

    const QMap<QString, QString> headers{
        {QStringLiteral("X-Bridge-Device-Id"), KeychainStore::bridgeDeviceId()},
        {QStringLiteral("X-Bridge-Device-Nickname"), AppSession::shared().localLLMDeviceNickname()}};
    const APIService api(QStringLiteral("bench-token"), headers);
    for (int i = 0; i < 20; ++i) // warm-up: TLS session, first allocations
        runTask(directRound(api));

    BridgeService bridge;
    bridge.setHandler(BridgeTaskKind::ListFolders, reportDone);
    QList<double> directRuns, bridgeRuns;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer direct;
        direct.start();
        // Driven by an event loop, as the bridge run below; it ends with the last
        // update's answer.
        QEventLoop loop;
        bool finished = false;
        const auto body = [&]() -> QCoro::Task<> { // named: the coroutine refers to it
            co_await directRounds(api, tasks);
            finished = true;
            loop.quit();
        };
        auto rounds = body();
        if (!finished)
            loop.exec();
        directRuns.append(static_cast<double>(direct.nsecsElapsed()) / 1e6 / tasks);

        updates = 0;
        QElapsedTimer viaBridge;
        viaBridge.start();
        bridge.start(QStringLiteral("bench-token"));
        waitUntil(backend, [&] { return updates >= tasks; });
        bridgeRuns.append(static_cast<double>(viaBridge.nsecsElapsed()) / 1e6 / tasks);
        bridge.stop();
        spinFor(50); // let the abandoned poll go
    }
    QElapsedTimer heartbeatTimer;
    heartbeatTimer.start();
    runTask(heartbeats(tasks));
    const double heartbeatMs = static_cast<double>(heartbeatTimer.nsecsElapsed()) / 1e6 / tasks;
    const double directMs = medianOf(directRuns);
    const double bridgeMs = medianOf(bridgeRuns);

    std::printf("tasks: %d\n", tasks);
    std::printf("medians of 5 runs, ms per task\n");
    std::printf("direct poll + update: %.3f\n", directMs);
    std::printf("through the bridge:   %.3f\n", bridgeMs);
    std::printf("bridge overhead:      %.3f\n", bridgeMs - directMs);
    std::printf("of which heartbeat:   %.3f\n", heartbeatMs);
    return updates >= tasks ? 0 : 1;
}

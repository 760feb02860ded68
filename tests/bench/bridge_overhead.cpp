// The bridge's own cost per task: the fake backend hands out N tasks in a row; the
// bridge polls (device headers and heartbeat), decodes, dispatches to a handler
// that sends an empty "done" update, and polls again. The same exchanges made
// directly with APIService (poll, then update; same headers, no heartbeat, no
// dispatch) are the baseline; the difference is what the bridge adds.
//
//   build/tests/bench_bridge_overhead [tasks]
#include "bridge/BridgeService.h"
#include "platform/DefaultsStore.h"
#include "platform/Resources.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {
QByteArray taskJson(int i) { return "{\"id\":\"task-" + QByteArray::number(i) + "\",\"kind\":\"list_folders\"}"; }

QCoro::Task<> directRound(const APIService& api) {
    const auto task = co_await api.pollBridgeTask(BridgeService::kPollWaitSeconds);
    co_await api.reportBridgeTaskSuccess(task->id, Json::object());
}

QCoro::Task<> reportDone(const BridgeTask& task, const APIService& api) {
    co_await api.reportBridgeTaskSuccess(task.id, Json::object());
}
} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/ombrix-bench-XXXXXX"));
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_CACHE_HOME", (home.path() + QStringLiteral("/.cache")).toUtf8());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "ombrix.*.info=false");
    QApplication app(argc, argv);
    initOmbrixResources();
    DefaultsStore::setShared(std::make_shared<MemoryDefaultsStore>());
    SecretStore::setShared(std::make_shared<MemorySecretStore>());
    const int tasks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;

    FakeBackend backend;
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

    QElapsedTimer direct;
    direct.start();
    for (int i = 0; i < tasks; ++i)
        runTask(directRound(api));
    const double directMs = static_cast<double>(direct.nsecsElapsed()) / 1e6;

    BridgeService bridge;
    bridge.setHandler(BridgeTaskKind::ListFolders, reportDone);
    updates = 0;
    QElapsedTimer viaBridge;
    viaBridge.start();
    bridge.start(QStringLiteral("bench-token"));
    spinUntil([&] { return updates >= tasks; }, 600000);
    const double bridgeMs = static_cast<double>(viaBridge.nsecsElapsed()) / 1e6;
    bridge.stop();

    std::printf("tasks: %d\n", tasks);
    std::printf("direct poll + update: %.3f ms per task\n", directMs / tasks);
    std::printf("through the bridge:   %.3f ms per task\n", bridgeMs / tasks);
    std::printf("bridge overhead:      %.3f ms per task\n", (bridgeMs - directMs) / tasks);
    return updates >= tasks ? 0 : 1;
}

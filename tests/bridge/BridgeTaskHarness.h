#pragma once
// What the bridge task tests share: the bridge's singletons made fresh around a
// test, and one task served through the scripted poll with its update read back.
#include "bridge/BookmarkStore.h"
#include "bridge/BridgeService.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "support/FakeMetadataIndex.h"
#include "support/TestSupport.h"

#include <QQueue>

#include <memory>
#include <optional>

namespace bridgetest {

inline const QString kPollPath = QStringLiteral("/api/v1/bridge/tasks/next");
inline const QString kUpdatePrefix = QStringLiteral("/api/v1/bridge/tasks/");

// Memory defaults and secrets, a fresh session, bridge and share list, and the
// bridge setting on (the bridge itself is started by the test).
inline void freshBridge() {
    installMemoryDefaults();
    SecretStore::setShared(std::make_shared<MemorySecretStore>());
    AppSession::resetSharedForTesting();
    BridgeService::resetSharedForTesting();
    BookmarkStore::resetSharedForTesting();
    AppSession::shared().setBridgeEnabled(true);
}

// Stops the bridge and lets its last answers go before the session and shares go.
inline void endBridge() {
    BridgeService::resetSharedForTesting();
    spinFor(50);
    AppSession::resetSharedForTesting();
    BookmarkStore::resetSharedForTesting();
}

// Hands out the task `id` on the next poll and returns the body of the update the
// bridge sent for it ({"status": "no update"} when none came within the event wait).
inline Json serveTask(const ScriptedHttpServer& backend, QQueue<ScriptedResponse>& polls, const QString& id,
                      const char* kind, const Json& args) {
    const Json task = {{"id", json::str(id)}, {"kind", kind}, {"args", args}};
    polls.enqueue(ScriptedResponse::json(200, json::dump(task)));
    const QString path = kUpdatePrefix + id;
    auto update = [&]() -> std::optional<RecordedRequest> {
        for (const RecordedRequest& request : backend.requests())
            if (request.method == "PATCH" && request.path == path)
                return request;
        return std::nullopt;
    };
    if (!spinUntil([&] { return update().has_value(); }))
        return Json{{"status", "no update"}};
    return json::parse(update()->body);
}

// The fake backend with its scripted polls, tasks numbered as they are served, and
// no metadata index (searches walk the shares). A test fixture derives from it.
struct TaskRoad {
    // Serves one task and returns the body of the update the bridge sent for it.
    Json run(const char* kind, const Json& args = Json::object()) {
        return serveTask(backend, polls, QStringLiteral("task-%1").arg(++taskCount), kind, args);
    }

    FakeBackend backend;
    QQueue<ScriptedResponse> polls;
    int taskCount = 0;
    std::shared_ptr<FakeMetadataIndex> index = [] {
        auto fake = std::make_shared<FakeMetadataIndex>();
        fake->setAvailable(false);
        return fake;
    }();
    ScopedMetadataIndex installed{index};
};

} // namespace bridgetest

#pragma once

#include "platform/Json.h"
#include "session/APIService.h"
#include "support/TestSupport.h"
#include "wire/BridgeTask.h"

#include <QList>

#include <gtest/gtest.h>

// A media task run against the fake backend: the handler sends its updates over
// TLS to the fake, which records them.
class MediaTaskHarness {
public:
    MediaTaskHarness() {
        backend.routePrefix("PATCH", QStringLiteral("/api/v1/bridge/tasks/"),
                            [this](const RecordedRequest&) { return updateAnswer; });
    }

    static BridgeTask task(const char* json) { return BridgeTask::fromJsonBytes(QByteArray(json)); }
    template <typename Args> static Args args(const BridgeTask& task) { return std::get<Args>(task.args); }

    // The bodies of the updates sent so far, parsed.
    QList<Json> updates() const {
        QList<Json> bodies;
        for (const RecordedRequest& request : backend.requests())
            if (request.method == "PATCH")
                bodies << Json::parse(request.body.toStdString());
        return bodies;
    }
    // The only update sent (a test failure when there is not exactly one).
    Json onlyUpdate() const {
        const QList<Json> all = updates();
        EXPECT_EQ(all.size(), 1);
        return all.isEmpty() ? Json() : all.first();
    }
    QString lastTarget() const { return QString::fromUtf8(backend.lastRequest().target); }

    static Json done(const Json& result) { return Json{{"status", "done"}, {"result", result}}; }
    static Json error(const QString& message) {
        return Json{{"status", "error"}, {"error_message", message.toStdString()}};
    }

    FakeBackend backend;
    ScriptedResponse updateAnswer = ScriptedResponse::json(200, "{}");
    APIService api{QStringLiteral("tok")};
};

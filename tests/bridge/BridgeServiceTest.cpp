// The bridge loop end to end against the fake backend: headers and heartbeat,
// empty polls, back-off, the task gate, dispatch, and stopping.
#include "bridge/BridgeService.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"
#include "support/FakeLocalModelServer.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QQueue>
#include <QTimer>

#include <QCoro/QCoroTimer>

#include <gtest/gtest.h>

namespace {

const QString kPollPath = QStringLiteral("/api/v1/bridge/tasks/next");
const QString kGateMessage = QStringLiteral("Le pont local est désactivé dans les Réglages du Mac.");

QByteArray taskJson(const QString& id, const QString& kind, const QByteArray& args = "{}") {
    return "{\"id\":\"" + id.toUtf8() + "\",\"kind\":\"" + kind.toUtf8() + "\",\"args\":" + args + "}";
}

QCoro::Task<> noPause(std::chrono::milliseconds) {
    co_return;
}

class BridgeServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        installMemoryDefaults();
        secrets = std::make_shared<MemorySecretStore>();
        SecretStore::setShared(secrets);
        KeychainStore::forgetCachedBridgeDeviceIdForTesting();
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
        // Signed out: the shared bridge stays off.
        spinUntil([] { return !AppSession::shared().isLoadingStoredToken(); });
        routeQueuedPolls(backend, kPollPath, polls);
        backend.routePrefix("PATCH", QStringLiteral("/api/v1/bridge/tasks/"),
                            [](const RecordedRequest&) { return ScriptedResponse::noContent(); });
    }
    void TearDown() override {
        bridge.reset();
        spinFor(50); // the stopped loop unwinds
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
    }

    QList<RecordedRequest> requestsOf(const QByteArray& method) const {
        QList<RecordedRequest> out;
        for (const RecordedRequest& request : backend.requests())
            if (request.method == method)
                out.append(request);
        return out;
    }
    // Every status the bridge takes from now on (the list outlives the bridge).
    void recordStatuses() {
        QObject::connect(bridge.get(), &BridgeService::statusChanged, bridge.get(),
                         [this, b = bridge.get()] { statuses.append(b->status()); });
    }
    int pollCount() const { return static_cast<int>(requestsOf("GET").size()); }
    bool waitForPatches(int n) {
        return spinUntil([&] { return requestsOf("PATCH").size() >= n; });
    }

    FakeBackend backend;
    std::shared_ptr<MemorySecretStore> secrets;
    QQueue<ScriptedResponse> polls;
    QList<BridgeService::Status> statuses;
    std::unique_ptr<BridgeService> bridge = std::make_unique<BridgeService>();
};

TEST_F(BridgeServiceTest, PollsWithDeviceHeadersAndHeartbeatAndKeepsPollingOnNoContent) {
    // A downloaded model whose name is not ASCII: the header must still be plain ASCII.
    const QString snapshot =
        QDir::homePath() + QStringLiteral("/.cache/huggingface/hub/models--org--modèle/snapshots/a");
    ASSERT_TRUE(QDir().mkpath(snapshot));
    for (const char* name : {"/config.json", "/model.safetensors"}) {
        QFile file(snapshot + QString::fromLatin1(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    AppSession::shared().setLocalLLMDeviceNickname(QStringLiteral("Poste-de-test"));

    bridge->start(QStringLiteral("tok-1"));
    EXPECT_EQ(bridge->status(), BridgeService::Status::idle());
    ASSERT_TRUE(spinUntil([&] { return pollCount() >= 3; }));
    EXPECT_EQ(bridge->status(), BridgeService::Status::polling());
    EXPECT_EQ(bridge->consecutiveFailures(), 0);
    EXPECT_FALSE(bridge->lastErrorMessage().has_value());
    EXPECT_EQ(bridge->tasksServed(), 0);

    const RecordedRequest poll = requestsOf("GET").first();
    EXPECT_EQ(poll.query, QStringLiteral("wait=25"));
    EXPECT_EQ(poll.header("X-User-Token"), "tok-1");
    EXPECT_EQ(poll.header("X-Bridge-Device-Id"), KeychainStore::bridgeDeviceId().toUtf8());
    EXPECT_FALSE(KeychainStore::bridgeDeviceId().isEmpty());
    EXPECT_EQ(poll.header("X-Bridge-Device-Nickname"), "Poste-de-test");

    const QByteArray heartbeat = poll.header("X-Bridge-Heartbeat").value_or(QByteArray());
    ASSERT_FALSE(heartbeat.isEmpty());
    for (char c : heartbeat)
        EXPECT_TRUE(static_cast<unsigned char>(c) < 0x80) << heartbeat.toStdString();
    const Json parsed = json::parse(heartbeat);
    EXPECT_FALSE(parsed.contains("loaded_model")); // the probe is off
    ASSERT_TRUE(parsed.contains("ram_total_gb"));
    EXPECT_GT(parsed["ram_total_gb"].get<double>(), 0.0);
    ASSERT_TRUE(parsed.contains("downloaded_models"));
    EXPECT_EQ(parsed["downloaded_models"], Json::array({"org/modèle"}));
    removeTestFolder(QDir::homePath() + QStringLiteral("/.cache"));
}

TEST_F(BridgeServiceTest, TheDeviceIdIsReadFromTheStoreOnceAndKept) {
    // Reading the store blocks the GUI thread while the desktop asks to unlock it:
    // once per run, not before every poll.
    const int findsBefore = secrets->calls(MemorySecretStore::Operation::Find);
    bridge->start(QStringLiteral("tok-1"));
    ASSERT_TRUE(spinUntil([&] { return pollCount() >= 3; }));
    EXPECT_EQ(secrets->calls(MemorySecretStore::Operation::Find) - findsBefore, 1);
    const QByteArray id = requestsOf("GET").first().header("X-Bridge-Device-Id").value_or(QByteArray());
    EXPECT_FALSE(id.isEmpty());
    for (const RecordedRequest& poll : requestsOf("GET"))
        EXPECT_EQ(poll.header("X-Bridge-Device-Id"), id);
    // Kept for the run, also across a restart with another token.
    bridge->start(QStringLiteral("tok-2"));
    ASSERT_TRUE(spinUntil([&] { return pollCount() >= 5; }));
    EXPECT_EQ(requestsOf("GET").last().header("X-Bridge-Device-Id"), id);
    EXPECT_EQ(secrets->calls(MemorySecretStore::Operation::Find) - findsBefore, 1);
}

TEST_F(BridgeServiceTest, FailedPollsBackOffAndAnyAnswerResetsTheSequence) {
    // The pauses return at once, so the loop is already polling again when the test
    // looks: what the bridge shows during each pause is recorded by the pause itself.
    struct Pause {
        qint64 delayMs;
        int failures;
        std::optional<QString> error;
        BridgeService::Status status;
    };
    QList<Pause> pauses;
    bridge->setSleeperForTesting([&, b = bridge.get()](std::chrono::milliseconds delay) {
        pauses.append({delay.count(), b->consecutiveFailures(), b->lastErrorMessage(), b->status()});
        return noPause(delay);
    });
    for (int i = 0; i < 7; ++i)
        polls.enqueue(ScriptedResponse::text(500, "boom"));
    polls.enqueue(ScriptedResponse::noContent());
    polls.enqueue(ScriptedResponse::text(503, ""));
    polls.enqueue(ScriptedResponse::text(500, "again"));

    bridge->start(QStringLiteral("tok"));
    ASSERT_TRUE(spinUntil([&] { return pauses.size() >= 9; }));
    QList<qint64> delays;
    for (const Pause& pause : pauses)
        delays.append(pause.delayMs);
    // The empty poll after the seventh failure brings the next pause back to one second.
    EXPECT_EQ(delays, (QList<qint64>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 1000, 2000}));
    const QString boom = QStringLiteral("Erreur HTTP 500 : boom");
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(pauses[i].failures, i + 1) << i;
        EXPECT_EQ(pauses[i].error, boom) << i;
        EXPECT_EQ(pauses[i].status, BridgeService::Status::error(boom)) << i;
    }
    EXPECT_EQ(pauses[7].failures, 1);
    EXPECT_EQ(pauses[7].error, QStringLiteral("Erreur HTTP 503"));
    EXPECT_EQ(pauses[8].failures, 2);
    EXPECT_EQ(pauses[8].error, QStringLiteral("Erreur HTTP 500 : again"));
    EXPECT_EQ(pauses[8].status, BridgeService::Status::error(QStringLiteral("Erreur HTTP 500 : again")));

    // The next poll is empty: count and error are cleared, the loop polls on.
    ASSERT_TRUE(spinUntil([&] { return bridge->consecutiveFailures() == 0; }));
    EXPECT_EQ(bridge->status(), BridgeService::Status::polling());
    EXPECT_FALSE(bridge->lastErrorMessage().has_value());

    // An undecodable task is a counted failure too, and nothing is sent for it.
    polls.enqueue(ScriptedResponse::json(200, R"({"id":"t","kind":"SEARCH","args":{}})"));
    ASSERT_TRUE(spinUntil([&] { return pauses.size() >= 10; }));
    EXPECT_EQ(pauses[9].delayMs, 1000);
    EXPECT_EQ(pauses[9].failures, 1);
    EXPECT_TRUE(pauses[9].error.has_value());
    ASSERT_TRUE(spinUntil([&] { return bridge->consecutiveFailures() == 0; }));
    EXPECT_EQ(pauses.size(), 10);
    EXPECT_TRUE(requestsOf("PATCH").isEmpty());
    EXPECT_EQ(bridge->tasksServed(), 0);
}

TEST_F(BridgeServiceTest, GatesDispatchesAndAnswersEveryTask) {
    QList<QPair<QString, APIService>> seen;
    bridge->setHandler(BridgeTaskKind::LLMInfer,
                       [&](const BridgeTask& task, const APIService& api) -> QCoro::Task<> {
                           seen.append({task.id, api});
                           Json result = Json::object();
                           result["ok"] = true;
                           co_await api.reportBridgeTaskSuccess(task.id, result);
                       });
    bridge->setHandler(BridgeTaskKind::AppOpen, [](const BridgeTask&, const APIService&) -> QCoro::Task<> {
        throw MessageError(QStringLiteral("panne du gestionnaire"));
        co_return;
    });
    bridge->setHandler(BridgeTaskKind::Thumbnail, nullptr); // a kind without a handler
    bridge->setHandler(BridgeTaskKind::ListFolders,
                       bridgeHandlerWithArgs<BridgeTask::ListFoldersArgs>(
                           [](const BridgeTask& task, const BridgeTask::ListFoldersArgs&,
                              const APIService& api) -> QCoro::Task<> {
                               co_await api.reportBridgeTaskSuccess(task.id, Json::object());
                           }));

    // With the bridge setting off: file tasks are refused, local inference runs.
    AppSession::shared().setBridgeEnabled(false);
    polls.enqueue(ScriptedResponse::json(200, taskJson("t1", "search", R"({"query":"impôts"})")));
    polls.enqueue(ScriptedResponse::json(200, taskJson("t2", "llm_infer", R"({"openai_body_json":"{}"})")));
    bridge->start(QStringLiteral("tok"));
    ASSERT_TRUE(waitForPatches(2));
    ASSERT_TRUE(spinUntil([&] { return bridge->tasksServed() == 2; }));

    auto patches = requestsOf("PATCH");
    EXPECT_EQ(patches[0].path, QStringLiteral("/api/v1/bridge/tasks/t1"));
    EXPECT_EQ(json::parse(patches[0].body),
              Json::object({{"status", "error"}, {"error_message", json::str(kGateMessage)}}));
    EXPECT_EQ(patches[0].header("X-Bridge-Device-Id"),
              requestsOf("GET").first().header("X-Bridge-Device-Id"));
    EXPECT_EQ(patches[1].path, QStringLiteral("/api/v1/bridge/tasks/t2"));
    EXPECT_EQ(json::parse(patches[1].body)["status"], "done");
    ASSERT_EQ(seen.size(), 1);
    EXPECT_EQ(seen[0].second.token, QStringLiteral("tok"));
    EXPECT_TRUE(seen[0].second.bridgeHeaders.contains(QStringLiteral("X-Bridge-Heartbeat")));
    EXPECT_TRUE(bridge->lastTaskAt().has_value());

    // With the setting on: a kind without a handler is answered with an error (never
    // "done"), a handler that throws still produces an error update, and a handler
    // registered with its argument record runs.
    AppSession::shared().setBridgeEnabled(true);
    EXPECT_TRUE(bridge->isRunning()); // the setting never stops the loop
    polls.enqueue(ScriptedResponse::json(200, taskJson("t3", "thumbnail", R"({"document_id":"d"})")));
    polls.enqueue(ScriptedResponse::json(200, taskJson("t4", "app_open", R"({"name":"Calculatrice"})")));
    polls.enqueue(ScriptedResponse::json(200, taskJson("t5", "list_folders")));
    ASSERT_TRUE(waitForPatches(5));
    ASSERT_TRUE(spinUntil([&] { return bridge->tasksServed() == 5; }));
    patches = requestsOf("PATCH");
    const Json unsupported = json::parse(patches[2].body);
    EXPECT_EQ(unsupported["status"], "error");
    EXPECT_EQ(unsupported["error_message"],
              "Ce type de tâche n'est pas pris en charge par cet ordinateur : thumbnail");
    EXPECT_EQ(json::parse(patches[3].body),
              Json::object({{"status", "error"}, {"error_message", "panne du gestionnaire"}}));
    EXPECT_EQ(json::parse(patches[4].body), Json::object({{"status", "done"}, {"result", Json::object()}}));
    EXPECT_EQ(bridge->status(), BridgeService::Status::polling());
}

TEST_F(BridgeServiceTest, StartAndStopFollowTheToken) {
    ScriptedResponse silent;
    silent.neverAnswer = true;
    for (int i = 0; i < 4; ++i)
        polls.enqueue(silent);

    bridge->start(QString());
    EXPECT_EQ(bridge->status(), BridgeService::Status::off());
    bridge->start(QStringLiteral("A"));
    ASSERT_TRUE(spinUntil([&] { return pollCount() == 1; }));
    bridge->start(QString()); // changes nothing while a loop runs
    bridge->start(QStringLiteral("A"));
    EXPECT_EQ(bridge->token(), QStringLiteral("A"));
    EXPECT_EQ(bridge->status(), BridgeService::Status::polling());

    // Stopping while the poll is outstanding: off at once, and the abandoned poll
    // is neither a failure nor an error.
    recordStatuses();
    bridge->stop();
    EXPECT_EQ(bridge->status(), BridgeService::Status::off());
    spinFor(150);
    EXPECT_EQ(statuses, (QList<BridgeService::Status>{BridgeService::Status::off()}));
    EXPECT_EQ(bridge->consecutiveFailures(), 0);
    EXPECT_FALSE(bridge->lastErrorMessage().has_value());
    EXPECT_FALSE(bridge->isRunning());

    // The same token starts a new loop; another token replaces it with one loop.
    bridge->start(QStringLiteral("A"));
    ASSERT_TRUE(spinUntil([&] { return pollCount() == 2; }));
    statuses.clear();
    bridge->start(QStringLiteral("B"));
    EXPECT_EQ(statuses,
              (QList<BridgeService::Status>{BridgeService::Status::off(), BridgeService::Status::idle()}));
    ASSERT_TRUE(spinUntil([&] { return pollCount() == 3; }));
    spinFor(150);
    EXPECT_EQ(pollCount(), 3);
    EXPECT_EQ(requestsOf("GET").last().header("X-User-Token"), "B");
    EXPECT_EQ(bridge->consecutiveFailures(), 0);
}

TEST_F(BridgeServiceTest, AStoppedLoopWritesNothingWhenItsHandlerFinishes) {
    bool handlerDone = false;
    bridge->setHandler(BridgeTaskKind::LLMInfer,
                       [&](const BridgeTask& task, const APIService& api) -> QCoro::Task<> {
                           co_await QCoro::sleepFor(std::chrono::milliseconds(150));
                           co_await api.reportBridgeTaskError(task.id, QStringLiteral("fin"));
                           handlerDone = true;
                       });
    polls.enqueue(ScriptedResponse::json(200, taskJson("slow", "llm_infer", R"({"openai_body_json":"{}"})")));
    bridge->start(QStringLiteral("tok"));
    ASSERT_TRUE(
        spinUntil([&] { return bridge->status() == BridgeService::Status::busy(BridgeTaskKind::LLMInfer); }));
    bridge->stop();
    ASSERT_TRUE(spinUntil([&] { return handlerDone; }));
    spinFor(50);
    // The handler was not interrupted, but the stopped loop counted nothing and set nothing.
    EXPECT_EQ(requestsOf("PATCH").size(), 1);
    EXPECT_EQ(bridge->tasksServed(), 0);
    EXPECT_EQ(bridge->status(), BridgeService::Status::off());
    EXPECT_EQ(pollCount(), 1);
}

TEST_F(BridgeServiceTest, AHandlerOutOfTimeIsAnsweredAndCannotAnswerAgain) {
    // A handler that takes longer than its task's limit and then tries to answer,
    // and one that returns much later without answering: both tasks are answered
    // with the limit's error and the loop goes on polling meanwhile. A third answers
    // at once, but the backend holds its update past the limit: that answer, on its
    // way, is the task's only one. A fourth likewise, but the backend then refuses it:
    // the time-out error follows, and the handler's own error after the refusal does not.
    bool lateDone = false;
    bool silentDone = false;
    bridge->setHandler(BridgeTaskKind::LLMInfer,
                       [&](const BridgeTask& task, const APIService& api) -> QCoro::Task<> {
                           co_await QCoro::sleepFor(std::chrono::milliseconds(900));
                           co_await api.reportBridgeTaskSuccess(task.id, Json::object());
                           lateDone = true;
                       });
    bridge->setHandler(BridgeTaskKind::ListFolders,
                       [&](const BridgeTask&, const APIService&) -> QCoro::Task<> {
                           co_await QCoro::sleepFor(std::chrono::milliseconds(1500));
                           silentDone = true;
                       });
    bool heldDone = false;
    bridge->setHandler(BridgeTaskKind::Search,
                       [&](const BridgeTask& task, const APIService& api) -> QCoro::Task<> {
                           const Json nothing = Json::object();
                           co_await api.reportBridgeTaskSuccess(task.id, nothing);
                           // A second final update of the same task goes nowhere.
                           co_await api.reportBridgeTaskError(task.id, QStringLiteral("encore"));
                           heldDone = true;
                       });
    bool refusedDone = false;
    bridge->setHandler(BridgeTaskKind::PhotosRecent,
                       [&](const BridgeTask& task, const APIService& api) -> QCoro::Task<> {
                           const Json nothing = Json::object();
                           bool taken = true;
                           try {
                               co_await api.reportBridgeTaskSuccess(task.id, nothing);
                           } catch (...) {
                               taken = false;
                           }
                           if (!taken)
                               co_await api.reportBridgeTaskError(task.id, QStringLiteral("refusé"));
                           refusedDone = true;
                       });
    int refusedSeen = 0;
    backend.routePrefix("PATCH", QStringLiteral("/api/v1/bridge/tasks/"),
                        [&](const RecordedRequest& request) {
                            ScriptedResponse response = ScriptedResponse::noContent();
                            if (request.path.endsWith(QStringLiteral("/held")))
                                response.holdMs = 1200; // well past the limit
                            if (request.path.endsWith(QStringLiteral("/refused")) && refusedSeen++ == 0) {
                                response = ScriptedResponse::json(503, "{}");
                                response.holdMs = 1200;
                            }
                            return response;
                        });
    AppSession::shared().setBridgeEnabled(true);
    bridge->setTaskTimeLimitForTesting(std::chrono::milliseconds(300));
    polls.enqueue(ScriptedResponse::json(200, taskJson("late", "llm_infer", R"({"openai_body_json":"{}"})")));
    polls.enqueue(ScriptedResponse::json(200, taskJson("never", "list_folders")));
    polls.enqueue(ScriptedResponse::json(200, taskJson("held", "search", R"({"query":"x"})")));
    polls.enqueue(ScriptedResponse::json(200, taskJson("refused", "photos_recent")));
    bridge->start(QStringLiteral("tok"));
    ASSERT_TRUE(spinUntil([&] { return bridge->tasksServed() >= 2; }));
    EXPECT_FALSE(silentDone);
    ASSERT_TRUE(spinUntil([&] { return bridge->tasksServed() == 4; }));
    ASSERT_TRUE(spinUntil([&] { return lateDone && silentDone && heldDone && refusedDone; }));
    spinFor(50);
    const auto patches = requestsOf("PATCH");
    // The late "done", the held task's time-out and its second answer, the refused
    // task's own error: never sent.
    ASSERT_EQ(patches.size(), 5);
    EXPECT_EQ(patches[2].path, QStringLiteral("/api/v1/bridge/tasks/held"));
    EXPECT_EQ(json::parse(patches[2].body)["status"], "done");
    const Json expected =
        Json::object({{"status", "error"}, {"error_message", "La tâche a dépassé le temps imparti (1 s)."}});
    EXPECT_EQ(patches[3].path, QStringLiteral("/api/v1/bridge/tasks/refused"));
    EXPECT_EQ(json::parse(patches[3].body)["status"], "done");
    EXPECT_EQ(patches[4].path, QStringLiteral("/api/v1/bridge/tasks/refused"));
    EXPECT_EQ(json::parse(patches[4].body), expected);
    EXPECT_EQ(patches[0].path, QStringLiteral("/api/v1/bridge/tasks/late"));
    EXPECT_EQ(json::parse(patches[0].body), expected);
    EXPECT_EQ(patches[1].path, QStringLiteral("/api/v1/bridge/tasks/never"));
    EXPECT_EQ(json::parse(patches[1].body), expected);
    EXPECT_GE(pollCount(), 3);
    EXPECT_EQ(BridgeService::taskTimeLimit(BridgeTaskKind::OcrImage), std::chrono::minutes(2));
    EXPECT_EQ(BridgeService::taskTimeLimit(BridgeTaskKind::LLMInfer), std::chrono::minutes(10));
}

TEST_F(BridgeServiceTest, LocalInferenceRunsThroughTheBridgeWithTheBridgeSettingOff) {
    FakeLocalModelServer local;
    local.setModels({QStringLiteral("org/model")});
    local.setChatStream(SseScript()
                            .content(QStringLiteral("Bon"))
                            .content(QStringLiteral("jour"), 300)
                            .finish(QStringLiteral("stop"))
                            .usage(5, 2)
                            .done());
    AppSession::shared().setBridgeEnabled(false);
    AppSession::shared().setLocalLLMEnabled(true);
    AppSession::shared().setLocalLLMEndpoint(local.endpoint());
    ASSERT_TRUE(bridge->hasHandler(BridgeTaskKind::LLMInfer));

    const QByteArray body = R"({"messages":[{"role":"user","content":"Salut"}]})";
    Json args = Json::object();
    args["openai_body_json"] = body.toStdString();
    polls.enqueue(ScriptedResponse::json(200, taskJson("infer-1", "llm_infer", json::dump(args))));
    bridge->start(QStringLiteral("tok"));
    ASSERT_TRUE(spinUntil([&] { return bridge->tasksServed() == 1; }));

    const auto patches = requestsOf("PATCH");
    ASSERT_GE(patches.size(), 2);
    const Json first = json::parse(patches.first().body);
    EXPECT_EQ(first["status"], "streaming");
    EXPECT_EQ(first["delta"], "Bon");
    const Json last = json::parse(patches.last().body);
    ASSERT_EQ(last["status"], "done");
    const Json response =
        json::parse(QByteArray::fromStdString(last["result"]["response_json"].get<std::string>()));
    EXPECT_EQ(response["choices"][0]["message"]["content"], "Bonjour");
    EXPECT_EQ(response["choices"][0]["finish_reason"], "stop");
    EXPECT_EQ(response["usage"]["completion_tokens"], 2);
    // The updates carry the poll's headers, and the heartbeat reports the loaded model.
    const Json heartbeat = json::parse(patches.last().header("X-Bridge-Heartbeat").value_or("{}"));
    EXPECT_EQ(heartbeat["loaded_model"], "org/model");
}

TEST(BridgeServiceStatics, PngOfAnImage) {
    EXPECT_FALSE(BridgeService::pngData(QImage()).has_value());
    QImage image(4, 3, QImage::Format_ARGB32);
    image.fill(Qt::red);
    const auto png = BridgeService::pngData(image);
    ASSERT_TRUE(png.has_value());
    EXPECT_TRUE(png->startsWith("\x89PNG"));
    EXPECT_EQ(QImage::fromData(*png).size(), QSize(4, 3));
}

} // namespace

// The panel model against the fake backend over TLS (the real pinned client).
#include "corvane/CorvanePanelModel.h"
#include "localllm/LocalLLMTelemetry.h"
#include "platform/DefaultsStore.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFuture>
#include <QPromise>

#include <QCoro/QCoroFuture>

namespace {

QByteArray settingsBody(const char* mode = "cloud") {
    return QByteArray(R"({"enabled":true,"execution_mode":")") + mode +
           R"(","execution_mode_source":"user","local_runtime_status":"ready",
           "secure_access_status":"ready","mode_readiness":{},"settings_entry_points":{}})";
}

class PanelModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        installMemoryDefaults();
        LocalLLMTelemetry::shared().resetForTesting();
        backend = std::make_unique<FakeBackend>();
        backend->setFallback([this](const RecordedRequest& r) {
            ScriptedResponse answer =
                next.isEmpty() ? ScriptedResponse::json(200, settingsBody()) : next.takeFirst();
            (void)r;
            return answer;
        });
        model.setCurrentTokenSource([this] { return currentToken; });
    }

    std::unique_ptr<FakeBackend> backend;
    QList<ScriptedResponse> next; // answers in order, then the default settings
    std::optional<QString> currentToken = QString("tok");
    CorvanePanelModel model;
};

} // namespace

TEST_F(PanelModelTest, SecureAccessRequestsCarryTokenTypeAndBody) {
    // The base URL's trailing "/api/v1/" is not doubled.
    DefaultsStore::shared().setString("apiBaseURL", backend->baseUrl() + "/api/v1/");
    struct Case {
        std::function<QCoro::Task<>()> call;
        QByteArray method;
        QByteArray target;
        QByteArray body;
    } cases[] = {
        {[&] { return model.activateSecureAccess(QString(" tok\n"), "DEV-1"); }, "POST",
         "/api/v1/proactive/secure_access", R"({"device_id":"DEV-1","duration_minutes":30})"},
        {[&] { return model.refreshSecureAccess(QString("tok"), "DEV-1"); }, "POST",
         "/api/v1/proactive/secure_access/refresh", R"({"device_id":"DEV-1","duration_minutes":30})"},
        {[&] { return model.revokeSecureAccess(QString("tok")); }, "DELETE",
         "/api/v1/proactive/secure_access", ""},
        {[&] { return model.refresh(QString("tok"), true); }, "GET", "/api/v1/proactive/settings", ""},
    };
    for (const Case& c : cases) {
        runTask(c.call());
        const RecordedRequest r = backend->lastRequest();
        EXPECT_EQ(r.method, c.method);
        EXPECT_EQ(r.target, c.target);
        EXPECT_EQ(r.header("X-User-Token"), QByteArray("tok"));
        if (c.method != "GET") {
            EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
        }
        if (c.body.isEmpty())
            EXPECT_TRUE(r.body.isEmpty());
        else
            EXPECT_EQ(Json::parse(r.body.toStdString()), Json::parse(c.body.toStdString()));
        EXPECT_EQ(model.lastError(), std::nullopt);
        EXPECT_FALSE(model.secureAccessMutationInFlight());
    }
    EXPECT_EQ(backend->requestCount(), 4);
    // The snapshot comes from the telemetry: no probe, no downloaded model.
    ASSERT_TRUE(model.localHeartbeat());
    EXPECT_EQ(model.localHeartbeat()->loaded_model, std::nullopt);
    EXPECT_EQ(model.localHeartbeat()->downloaded_models, std::nullopt);
    EXPECT_TRUE(model.localHeartbeat()->ram_total_gb);

    // Without a token nothing is sent.
    for (const std::optional<QString>& token : {std::optional<QString>(), std::optional<QString>("  ")}) {
        runTask(model.revokeSecureAccess(token));
        EXPECT_EQ(model.lastError(), QString("Ce Mac doit être appairé avant de piloter Secure Access."));
    }
    EXPECT_EQ(backend->requestCount(), 4);
}

TEST_F(PanelModelTest, RefreshSkipsForcesAndClears) {
    runTask(model.refresh(QString("tok"), false));
    runTask(model.refresh(QString(" tok "), false)); // same token once trimmed: kept
    EXPECT_EQ(backend->requestCount(), 1);
    EXPECT_EQ(model.lastLoadedToken(), QString("tok"));
    runTask(model.refresh(QString("tok"), true));
    EXPECT_EQ(backend->requestCount(), 2);
    currentToken = "other";
    runTask(model.refresh(QString("other"), false));
    EXPECT_EQ(backend->requestCount(), 3);
    // A successful change counts as a load: the next plain refresh is skipped.
    runTask(model.revokeSecureAccess(QString("other")));
    runTask(model.refresh(QString("other"), false));
    EXPECT_EQ(backend->requestCount(), 4);

    ASSERT_TRUE(model.settings());
    model.setLastError(QString("x"));
    runTask(model.refresh(QString("   "), false));
    EXPECT_EQ(model.settings(), std::nullopt);
    EXPECT_EQ(model.localHeartbeat(), std::nullopt);
    EXPECT_EQ(model.lastError(), std::nullopt);
    EXPECT_EQ(model.lastLoadedAt(), std::nullopt);
    EXPECT_EQ(model.lastLoadedToken(), std::nullopt);
    EXPECT_EQ(backend->requestCount(), 4);
}

TEST_F(PanelModelTest, FailuresKeepTheSnapshot) {
    runTask(model.refresh(QString("tok"), true));
    const auto loadedAt = model.lastLoadedAt();
    struct Case {
        ScriptedResponse answer;
        bool mutation;
        const char* message;
    } cases[] = {
        {ScriptedResponse::text(500, "boom"), false, "Erreur HTTP 500 : boom"},
        {ScriptedResponse::json(200, R"({"enabled":true})"), false, "Réponse illisible du serveur"},
        {ScriptedResponse::json(200, "not json"), true, "Réponse illisible du serveur"},
        {ScriptedResponse::json(403, R"({"message":"Fenêtre refusée"})"), true,
         "Erreur HTTP 403 : Fenêtre refusée"},
    };
    for (const Case& c : cases) {
        next = {c.answer};
        if (c.mutation)
            runTask(model.activateSecureAccess(QString("tok"), "DEV"));
        else
            runTask(model.refresh(QString("tok"), true));
        EXPECT_EQ(model.lastError(), QString::fromUtf8(c.message));
        EXPECT_TRUE(model.settings());
        EXPECT_EQ(model.lastLoadedAt(), loadedAt);
        EXPECT_FALSE(model.isLoading());
        EXPECT_FALSE(model.secureAccessMutationInFlight());
    }
    runTask(model.refresh(QString("tok"), true));
    EXPECT_EQ(model.lastError(), std::nullopt);
}

TEST_F(PanelModelTest, OlderRepliesAndSignedOutLoadsNeverPublish) {
    // The first load answers last: its older data is dropped.
    auto firstGoes = std::make_shared<bool>(false);
    next = {ScriptedResponse::heldUntil(ScriptedResponse::json(200, settingsBody("local")), firstGoes),
            ScriptedResponse::json(200, settingsBody("secure_access"))};
    QCoro::Task<> first = model.refresh(QString("tok"), true);
    ASSERT_TRUE(backend->waitForRequests(1));
    QCoro::Task<> second = model.refresh(QString("tok"), true);
    EXPECT_TRUE(model.isLoading());
    runTask(std::move(second));
    EXPECT_EQ(model.settings()->execution_mode, QString("secure_access"));
    EXPECT_TRUE(model.isLoading()); // the first is still on the wire
    *firstGoes = true;
    runTask(std::move(first));
    EXPECT_EQ(model.settings()->execution_mode, QString("secure_access"));
    EXPECT_FALSE(model.isLoading());

    // A load in flight at sign-out does not refill the panel, even after signing in again.
    auto inFlightGoes = std::make_shared<bool>(false);
    next = {ScriptedResponse::heldUntil(ScriptedResponse::json(200, settingsBody("local")), inFlightGoes)};
    QCoro::Task<> inFlight = model.refresh(QString("tok"), true);
    ASSERT_TRUE(backend->waitForRequests(3));
    currentToken.reset();
    runTask(model.refresh(std::nullopt, false));
    currentToken = "tok";
    *inFlightGoes = true;
    runTask(std::move(inFlight));
    EXPECT_EQ(model.settings(), std::nullopt);

    // A load whose token is no longer the session's is dropped, failure included.
    auto staleGoes = std::make_shared<bool>(false);
    next = {ScriptedResponse::heldUntil(ScriptedResponse::text(500, "late"), staleGoes)};
    QCoro::Task<> stale = model.refresh(QString("tok"), true);
    ASSERT_TRUE(backend->waitForRequests(4));
    currentToken = "someone-else";
    *staleGoes = true;
    runTask(std::move(stale));
    EXPECT_EQ(model.lastError(), std::nullopt);

    // A load that fails after a later one succeeded says nothing about the data shown.
    currentToken = "tok";
    auto failureGoes = std::make_shared<bool>(false);
    next = {ScriptedResponse::heldUntil(ScriptedResponse::text(500, "late"), failureGoes),
            ScriptedResponse::json(200, settingsBody("local"))};
    QCoro::Task<> olderFailure = model.refresh(QString("tok"), true);
    ASSERT_TRUE(backend->waitForRequests(5));
    runTask(model.refresh(QString("tok"), true));
    *failureGoes = true;
    runTask(std::move(olderFailure));
    EXPECT_EQ(model.settings()->execution_mode, QString("local"));
    EXPECT_EQ(model.lastError(), std::nullopt);
}

TEST_F(PanelModelTest, OneSecureAccessChangeAtATime) {
    auto renewGoes = std::make_shared<bool>(false);
    next = {
        ScriptedResponse::heldUntil(ScriptedResponse::json(200, settingsBody("secure_access")), renewGoes)};
    int changes = 0;
    QObject::connect(&model, &CorvanePanelModel::changed, [&] { ++changes; });
    QCoro::Task<> renew = model.refreshSecureAccess(QString("tok"), "DEV");
    EXPECT_TRUE(model.secureAccessMutationInFlight());
    runTask(model.refreshSecureAccess(QString("tok"), "DEV")); // ignored at once
    runTask(model.revokeSecureAccess(QString("tok")));
    *renewGoes = true;
    runTask(std::move(renew));
    EXPECT_EQ(backend->requestCount(), 1);
    EXPECT_FALSE(model.secureAccessMutationInFlight());
    EXPECT_EQ(model.settings()->execution_mode, QString("secure_access"));
    EXPECT_GE(changes, 2);

    // A refresh that started before a change and ends after it does not undo it.
    auto loadGoes = std::make_shared<bool>(false);
    next = {ScriptedResponse::heldUntil(ScriptedResponse::json(200, settingsBody("cloud")), loadGoes),
            ScriptedResponse::json(200, settingsBody("local"))};
    QCoro::Task<> load = model.refresh(QString("tok"), true);
    ASSERT_TRUE(backend->waitForRequests(2));
    runTask(model.activateSecureAccess(QString("tok"), "DEV"));
    *loadGoes = true;
    runTask(std::move(load));
    EXPECT_EQ(model.settings()->execution_mode, QString("local"));
}

namespace {
// A heartbeat that ends only when released (a local model server that does not answer).
QCoro::Task<BridgeHeartbeat> heldSnapshot(QFuture<void> release, int* ended) {
    co_await release;
    ++*ended;
    co_return BridgeHeartbeat{};
}
} // namespace

TEST_F(PanelModelTest, AFailureNeverHidesWhatASuccessBrought) {
    // A window opened while a refresh started after it fails: the open window and the error both show.
    const QByteArray opened =
        R"({"enabled":true,"execution_mode":"secure_access","execution_mode_source":"user",
        "local_runtime_status":"ready","secure_access_status":"ready",
        "mode_readiness":{"secure_access":{"ready":true}},"settings_entry_points":{}})";
    auto openGoes = std::make_shared<bool>(false);
    next = {ScriptedResponse::heldUntil(ScriptedResponse::json(200, opened), openGoes),
            ScriptedResponse::text(502, "Bad Gateway")};
    QCoro::Task<> activate = model.activateSecureAccess(QString("tok"), "DEV");
    ASSERT_TRUE(backend->waitForRequests(1));
    runTask(model.refresh(QString("tok"), true));
    EXPECT_EQ(model.lastError(), QString("Erreur HTTP 502 : Bad Gateway"));
    EXPECT_EQ(model.settings(), std::nullopt);
    *openGoes = true;
    runTask(std::move(activate));
    ASSERT_TRUE(model.settings());
    EXPECT_EQ(model.settings()->secure_access_status, QString("ready"));
    EXPECT_TRUE(model.lastLoadedAt());
    EXPECT_EQ(model.lastError(), QString("Erreur HTTP 502 : Bad Gateway")); // the later failure stands
    runTask(model.refresh(QString("tok"), true));
    EXPECT_EQ(model.lastError(), std::nullopt);

    // A failed load or change reports at once: the heartbeat still running is let go.
    QPromise<void> release;
    release.start();
    int ended = 0;
    model.setHeartbeatSource([&] { return heldSnapshot(release.future(), &ended); });
    const auto loadedAt = model.lastLoadedAt();
    next = {ScriptedResponse::text(500, "boom"), ScriptedResponse::text(403, "non")};
    runTask(model.refresh(QString("tok"), true));
    EXPECT_EQ(model.lastError(), QString("Erreur HTTP 500 : boom"));
    EXPECT_FALSE(model.isLoading());
    runTask(model.revokeSecureAccess(QString("tok")));
    EXPECT_EQ(model.lastError(), QString("Erreur HTTP 403 : non"));
    EXPECT_FALSE(model.secureAccessMutationInFlight());
    EXPECT_EQ(model.lastLoadedAt(), loadedAt);
    EXPECT_EQ(ended, 0); // both snapshots were still running
    release.finish();
    ASSERT_TRUE(spinUntil([&] { return ended == 2; }));
}

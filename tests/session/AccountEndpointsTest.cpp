#include "platform/AuthFailureNotifier.h"
#include "session/APIConfig.h"
#include "session/APIService.h"
#include "support/TestSupport.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {
const char* kSettings = R"({"enabled":true,"execution_mode":"secure_access","execution_mode_source":"user",
  "local_runtime_status":"ready","secure_access_status":"expired","secure_access_session":null,
  "mode_readiness":{"cloud":{"ready":true},"local":{"ready":false,"reason":"host_offline"}},
  "settings_entry_points":{"local_setup":"https://example.test/setup"},"unknown":[1]})";

Json settingsWith(const char* key, const Json& value) {
    Json object = Json::parse(kSettings);
    if (value.is_discarded())
        object.erase(key);
    else
        object[key] = value;
    return object;
}

bool decodes(const Json& object) {
    try {
        APIService::ProactiveSettingsResponse::fromJson(object);
        return true;
    } catch (const JsonDecodingError&) {
        return false;
    }
}
} // namespace

TEST(PreferencesEndpoints, FetchAndPatch) {
    FakeBackend backend;
    ScriptedResponse me = ScriptedResponse::json(200, R"({"id": 7})");
    backend.route("GET", "/api/v1/me.json", [&](const RecordedRequest&) { return me; });
    ScriptedResponse patched = ScriptedResponse::noContent();
    backend.route("PATCH", "/users/7.json", [&](const RecordedRequest&) { return patched; });
    APIService api(QString("tok"));

    APIService::UserPrefs prefs = runTask(api.fetchUserPrefs());
    EXPECT_EQ(prefs.id, 7);
    EXPECT_EQ(prefs.email, std::nullopt);
    EXPECT_EQ(prefs.transcribe_audio, std::nullopt);
    EXPECT_EQ(backend.lastRequest().header("X-User-Token"), QByteArray("tok"));
    EXPECT_FALSE(backend.lastRequest().hasHeader("Content-Type"));
    me = ScriptedResponse::json(
        200, R"({"id":7,"email":"a@b.c","default_voice_mode":"ptt","default_provider":"gemini",
        "default_model":"m","transcribe_audio":null,"audio_output":true,"default_audio_voice":"alloy","x":1})");
    prefs = runTask(api.fetchUserPrefs());
    EXPECT_EQ(prefs.email, QString("a@b.c"));
    EXPECT_EQ(prefs.default_voice_mode, QString("ptt"));
    EXPECT_EQ(prefs.default_provider, QString("gemini"));
    EXPECT_EQ(prefs.transcribe_audio, std::nullopt);
    EXPECT_EQ(prefs.audio_output, true);
    EXPECT_EQ(prefs.default_audio_voice, QString("alloy"));
    for (const QByteArray& bad :
         {QByteArray("{}"), QByteArray(R"({"id":"7"})"), QByteArray(R"({"id":7,"email":1})")}) {
        me = ScriptedResponse::json(200, bad);
        EXPECT_THROW(runTask(api.fetchUserPrefs()), JsonDecodingError) << bad.data();
    }

    // The update goes to /users/<id>.json outside the API root, with only what was given.
    runTask(api.patchUserPrefs(7, std::nullopt, std::nullopt, std::nullopt, false, std::nullopt));
    RecordedRequest r = backend.lastRequest();
    EXPECT_EQ(r.method, "PATCH");
    EXPECT_EQ(r.target, "/users/7.json");
    EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
    EXPECT_EQ(r.body, QByteArray(R"({"user":{"audio_output":false}})"));
    runTask(api.patchUserPrefs(7, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt));
    EXPECT_EQ(backend.lastRequest().body, QByteArray(R"({"user":{}})"));
    patched = ScriptedResponse::json(200, "{}");
    runTask(api.patchUserPrefs(7, QString("realtime"), QString("openai"), true, true, QString("")));
    EXPECT_EQ(Json::parse(backend.lastRequest().body.toStdString()),
              Json::parse(R"({"user":{"default_voice_mode":"realtime","default_provider":"openai",
                  "transcribe_audio":true,"audio_output":true,"default_audio_voice":""}})"));
    patched = ScriptedResponse::text(422, "non");
    EXPECT_EQ(errorText(runTaskCatching(api.patchUserPrefs(7, std::nullopt, std::nullopt, std::nullopt,
                                                           std::nullopt, std::nullopt))),
              "Erreur HTTP 422 : non");
}

TEST(AccountEndpoints, PairingClaimNeedsNoTokenAndReadsTheServerReason) {
    FakeBackend backend;
    ScriptedResponse answer = ScriptedResponse::json(200, R"({"user_token":"ut-1","email":"x@y.z"})");
    backend.route("POST", "/api/v1/pairings/claim", [&](const RecordedRequest&) { return answer; });
    QSignalSpy spy(&AuthFailureNotifier::shared(), &AuthFailureNotifier::authFailure);

    const auto claimed = runTask(APIService::claimPairing(" AbC-12 "));
    EXPECT_EQ(claimed.user_token, "ut-1");
    EXPECT_EQ(claimed.email, "x@y.z");
    RecordedRequest r = backend.lastRequest();
    EXPECT_EQ(r.method, "POST");
    EXPECT_FALSE(r.hasHeader("X-User-Token"));
    EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
    EXPECT_EQ(r.header("Accept"), QByteArray("application/json"));
    EXPECT_EQ(Json::parse(r.body.toStdString()),
              Json::parse(R"({"pairing_code":" AbC-12 ","client_kind":"mac"})"));

    auto failure = [] { return errorText(runTaskCatching(APIService::claimPairing("c"))); };
    answer = ScriptedResponse::json(400, R"({"error":"Code expiré","detail":"x"})");
    EXPECT_EQ(failure(), "Erreur HTTP 400 : Code expiré");
    answer = ScriptedResponse::json(400, R"({"error":5})");
    EXPECT_EQ(failure(), R"(Erreur HTTP 400 : {"error":5})");
    answer = ScriptedResponse::text(400, "mauvais code");
    EXPECT_EQ(failure(), "Erreur HTTP 400 : mauvais code");
    answer = ScriptedResponse::text(401, "\xff");
    EXPECT_EQ(failure(), "Erreur HTTP 401");
    EXPECT_EQ(spy.count(), 0);
    answer = ScriptedResponse::json(200, R"({"user_token":"ut"})");
    EXPECT_THROW(runTask(APIService::claimPairing("c")), JsonDecodingError);
}

TEST(AccountEndpoints, SessionDiscussionsAndVoiceSample) {
    FakeBackend backend;
    ScriptedResponse answer;
    backend.setFallback([&](const RecordedRequest&) { return answer; });
    APIService api(QString("tok"));

    answer = ScriptedResponse::noContent();
    runTask(api.revokeCurrentSession());
    EXPECT_EQ(backend.lastRequest().method, "DELETE");
    EXPECT_EQ(backend.lastRequest().target, "/api/v1/session");
    EXPECT_EQ(backend.lastRequest().header("X-User-Token"), QByteArray("tok"));
    answer = ScriptedResponse::text(500, "panne");
    EXPECT_EQ(errorText(runTaskCatching(api.revokeCurrentSession())), "Erreur HTTP 500 : panne");

    answer = ScriptedResponse::json(200, R"([{"id":1,"name":"Voyage","updated_at":"2024-01-01T00:00:00Z",
        "queries_count":3},{"id":2,"name":null}])");
    QList<APIService::RecentDiscussion> list = runTask(api.fetchRecentDiscussions(5));
    EXPECT_EQ(backend.lastRequest().method, "GET");
    EXPECT_EQ(backend.lastRequest().target, "/api/v1/discussions.json?limit=5");
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0].name, QString("Voyage"));
    EXPECT_EQ(list[0].updated_at, QString("2024-01-01T00:00:00Z"));
    EXPECT_EQ(list[0].queries_count, 3);
    EXPECT_EQ(list[1].id, 2);
    EXPECT_EQ(list[1].name, std::nullopt);
    EXPECT_EQ(list[1].queries_count, std::nullopt);
    runTask(api.fetchRecentDiscussions(0));
    EXPECT_EQ(backend.lastRequest().target, "/api/v1/discussions.json?limit=1");
    runTask(api.fetchRecentDiscussions(50));
    EXPECT_EQ(backend.lastRequest().target, "/api/v1/discussions.json?limit=20");
    for (const QByteArray& bad : {QByteArray(R"([{"id":1},{"name":"sans id"}])"), QByteArray(R"({"id":1})"),
                                  QByteArray(R"([{"id":1,"queries_count":2.5}])")}) {
        answer = ScriptedResponse::json(200, bad);
        EXPECT_THROW(runTask(api.fetchRecentDiscussions(5)), JsonDecodingError) << bad.data();
    }

    answer = ScriptedResponse::json(200, R"({"audio_base64":"QUJD","format":"mp3"})");
    const auto sample = runTask(api.fetchVoiceSample("alloy"));
    EXPECT_EQ(sample.audio_base64, "QUJD");
    EXPECT_EQ(sample.format, "mp3");
    RecordedRequest r = backend.lastRequest();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/api/v1/voices/alloy/sample");
    EXPECT_EQ(r.header("Accept"), QByteArray("application/json"));
    EXPECT_FALSE(r.hasHeader("Content-Type"));
    EXPECT_TRUE(r.body.isEmpty());
    // The slug is one path segment: it cannot reach another resource.
    runTask(api.fetchVoiceSample("../../users/1.json?x="));
    EXPECT_EQ(backend.lastRequest().target, "/api/v1/voices/..%2F..%2Fusers%2F1.json%3Fx%3D/sample");
    backend.clearRequests();
    EXPECT_EQ(errorText(runTaskCatching(api.fetchVoiceSample(".."))), "Réponse illisible du serveur");
    EXPECT_EQ(backend.requestCount(), 0);
    answer = ScriptedResponse::json(200, R"({"audio_base64":"QUJD"})");
    EXPECT_THROW(runTask(api.fetchVoiceSample("alloy")), JsonDecodingError);

    // Without a token none of them sends anything.
    backend.clearRequests();
    APIService none(QString(""));
    for (auto error :
         {runTaskCatching(none.revokeCurrentSession()), runTaskCatching(none.fetchRecentDiscussions(5)),
          runTaskCatching(none.fetchVoiceSample("alloy")), runTaskCatching(none.fetchUserPrefs()),
          runTaskCatching(
              none.patchUserPrefs(1, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt)),
          runTaskCatching(none.fetchProactiveSettings()),
          runTaskCatching(none.mutateSecureAccess(APIConfig::endpoint("/proactive/secure_access"), "DELETE",
                                                  std::nullopt)),
          runTaskCatching(none.importLocalTurn("q", "r", "m", std::nullopt, std::nullopt)),
          runTaskCatching(none.sendVoiceQuery(1, "t", Provider::OpenAI, false, "", std::nullopt, std::nullopt,
                                              std::nullopt))})
        EXPECT_EQ(errorText(error), "Pas connecté. Configure ton jeton dans Réglages.");
    EXPECT_EQ(backend.requestCount(), 0);
}

TEST(ProactiveEndpoints, SettingsDecodeStrictly) {
    const Json base = Json::parse(kSettings);
    const auto settings = APIService::ProactiveSettingsResponse::fromJson(base);
    EXPECT_TRUE(settings.enabled);
    EXPECT_EQ(settings.execution_mode, "secure_access");
    EXPECT_FALSE(settings.secure_access_session);
    EXPECT_FALSE(settings.preferred_local_host);
    EXPECT_EQ(settings.mode_readiness.at("local").reason, QString("host_offline"));
    EXPECT_TRUE(settings.mode_readiness.at("cloud").ready);
    EXPECT_EQ(settings.settings_entry_points.at("local_setup"), "https://example.test/setup");

    const Json discarded = Json(Json::value_t::discarded);
    EXPECT_FALSE(decodes(settingsWith("settings_entry_points", discarded)));
    EXPECT_FALSE(decodes(settingsWith("mode_readiness", discarded)));
    EXPECT_FALSE(decodes(settingsWith("enabled", discarded)));
    EXPECT_TRUE(decodes(settingsWith("mode_readiness", Json::object())));
    EXPECT_TRUE(decodes(settingsWith("settings_entry_points", Json::object())));
    EXPECT_FALSE(decodes(settingsWith("settings_entry_points", Json{{"a", 1}})));
    EXPECT_FALSE(decodes(settingsWith("mode_readiness", Json{{"cloud", Json{{"reason", "x"}}}})));
    EXPECT_FALSE(decodes(settingsWith("secure_access_session", Json{{"expires_at", "x"}})));
    EXPECT_FALSE(
        decodes(settingsWith("secure_access_session", Json{{"active", true}, {"remaining_seconds", 12.5}})));
    EXPECT_FALSE(decodes(settingsWith("preferred_local_host", Json{{"kind", "mac"}, {"id", "1"}})));

    const auto full = APIService::ProactiveSettingsResponse::fromJson(settingsWith(
        "secure_access_session",
        Json{{"active", true}, {"remaining_seconds", 1200}, {"device_id", "DEV"}, {"renewable", false}}));
    ASSERT_TRUE(full.secure_access_session);
    EXPECT_EQ(full.secure_access_session->remaining_seconds, 1200);
    EXPECT_EQ(full.secure_access_session->device_id, QString("DEV"));
    EXPECT_EQ(full.secure_access_session->renewable, false);
    EXPECT_EQ(full.secure_access_session->revocable, std::nullopt);
    const auto host = APIService::ProactiveSettingsResponse::fromJson(settingsWith(
        "preferred_local_host", Json{{"kind", "mac"}, {"id", "1"}, {"label", "Bureau"}, {"online", true}}));
    EXPECT_EQ(host.preferred_local_host->label, "Bureau");
    EXPECT_EQ(host.preferred_local_host->online, true);
}

TEST(ProactiveEndpoints, FetchAndSecureAccessChanges) {
    FakeBackend backend;
    ScriptedResponse answer = ScriptedResponse::json(200, kSettings);
    backend.setFallback([&](const RecordedRequest&) { return answer; });
    APIService api(QString("tok"));

    runTask(api.fetchProactiveSettings());
    RecordedRequest r = backend.lastRequest();
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, "/api/v1/proactive/settings");
    EXPECT_FALSE(r.hasHeader("Content-Type"));
    answer = ScriptedResponse::json(409, R"({"message":"déjà actif"})");
    EXPECT_EQ(errorText(runTaskCatching(api.fetchProactiveSettings())),
              R"(Erreur HTTP 409 : {"message":"déjà actif"})");

    answer = ScriptedResponse::json(200, kSettings);
    Json activate = Json::object();
    activate["device_id"] = "DEV-1";
    activate["duration_minutes"] = 30;
    runTask(
        api.mutateSecureAccess(APIConfig::endpoint("/proactive/secure_access/refresh"), "POST", activate));
    r = backend.lastRequest();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/api/v1/proactive/secure_access/refresh");
    EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
    EXPECT_EQ(r.header("X-User-Token"), QByteArray("tok"));
    EXPECT_EQ(r.body, QByteArray(R"({"device_id":"DEV-1","duration_minutes":30})"));
    runTask(api.mutateSecureAccess(APIConfig::endpoint("/proactive/secure_access"), "DELETE", std::nullopt));
    r = backend.lastRequest();
    EXPECT_EQ(r.method, "DELETE");
    EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
    EXPECT_TRUE(r.body.isEmpty());

    auto failure = [&](const QByteArray& body) {
        answer = ScriptedResponse::json(409, body);
        return errorText(runTaskCatching(
            api.mutateSecureAccess(APIConfig::endpoint("/proactive/secure_access"), "DELETE", std::nullopt)));
    };
    EXPECT_EQ(failure(R"({"message":"Hôte hors ligne","error":"e"})"), "Erreur HTTP 409 : Hôte hors ligne");
    EXPECT_EQ(failure(R"({"message":"","error":"host_offline"})"), "Erreur HTTP 409 : host_offline");
    EXPECT_EQ(failure(R"({"message":3,"error":"host_offline"})"), "Erreur HTTP 409 : host_offline");
    EXPECT_EQ(failure(R"({"code":1})"), R"(Erreur HTTP 409 : {"code":1})");
    EXPECT_EQ(failure(R"(["message"])"), R"(Erreur HTTP 409 : ["message"])");
    EXPECT_EQ(failure("plain text"), "Erreur HTTP 409 : plain text");
    EXPECT_EQ(failure(""), "Erreur HTTP 409");
    EXPECT_EQ(failure("\xff\xfe"), "Erreur HTTP 409");

    // A 401 is announced before the error is thrown.
    QSignalSpy spy(&AuthFailureNotifier::shared(), &AuthFailureNotifier::authFailure);
    answer = ScriptedResponse::json(401, R"({"error":"expired"})");
    EXPECT_EQ(errorText(runTaskCatching(
                  api.mutateSecureAccess(APIConfig::endpoint("/proactive/secure_access"), "POST", activate))),
              "Erreur HTTP 401 : expired");
    EXPECT_EQ(spy.count(), 1);
    answer = ScriptedResponse::json(200, R"({"enabled":true})");
    EXPECT_THROW(
        runTask(api.mutateSecureAccess(APIConfig::endpoint("/proactive/secure_access"), "POST", activate)),
        JsonDecodingError);
}

TEST(ProactiveEndpoints, SecureAccessSendsTheTokenOnlyToTheApiBase) {
    FakeBackend backend;
    ScriptedHttpServer elsewhere(false);
    backend.setFallback([](const RecordedRequest&) { return ScriptedResponse::json(200, kSettings); });
    elsewhere.setFallback([](const RecordedRequest&) { return ScriptedResponse::json(200, kSettings); });
    const QString port = QString::number(backend.port());
    const QString otherPort = QString::number(elsewhere.port());
    APIService api(QString("tok"));
    const struct {
        QString url;
        bool sent;
    } cases[] = {
        {backend.baseUrl() + "/api/v1/proactive/secure_access", true},
        {"https://LOCALHOST:" + port + "/api/v1/proactive/secure_access/refresh", true},
        {elsewhere.baseUrl() + "/api/v1/proactive/secure_access", false},
        {"https://localhost:" + otherPort + "/api/v1/proactive/secure_access", false},
        {"http://localhost:" + port + "/api/v1/proactive/secure_access", false},
        {"https://127.0.0.1:" + port + "/api/v1/proactive/secure_access", false},
        {"https://user:pw@localhost:" + port + "/api/v1/proactive/secure_access", false},
        {backend.baseUrl() + "/proactive/secure_access", false},
        {backend.baseUrl() + "/api/v1x/proactive", false},
        {backend.baseUrl() + "/api/v1", false},
        {backend.baseUrl() + "/api/v1/../users/7.json", false},
        {backend.baseUrl() + "/api/v1/%2E%2E/users/7.json", false},
        {"/api/v1/proactive/secure_access", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url.toStdString());
        backend.clearRequests();
        const auto error =
            runTaskCatching(api.mutateSecureAccess(QUrl(c.url), "DELETE", std::optional<Json>()));
        spinFor(20);
        EXPECT_EQ(elsewhere.requestCount(), 0);
        EXPECT_EQ(backend.requestCount(), c.sent ? 1 : 0);
        EXPECT_EQ(errorText(error), c.sent ? QString() : QStringLiteral("Réponse illisible du serveur"));
    }
}

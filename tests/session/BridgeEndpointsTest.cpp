#include "platform/AuthFailureNotifier.h"
#include "platform/Json.h"
#include "session/APIService.h"
#include "support/GuiStall.h"
#include "support/TestSupport.h"
#include "wire/BridgeResults.h"

#include <QElapsedTimer>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {
const QMap<QString, QString> kDeviceHeaders{{"X-Bridge-Device-Id", "DEV-1"},
                                            {"X-Bridge-Device-Nickname", "Bureau"},
                                            {"X-Bridge-Heartbeat", R"({"ram_total_gb":16})"}};

void expectBridgeHeaders(const RecordedRequest& r) {
    EXPECT_EQ(r.header("X-User-Token"), QByteArray("tok"));
    EXPECT_EQ(r.header("X-Bridge-Device-Id"), QByteArray("DEV-1"));
    EXPECT_EQ(r.header("X-Bridge-Device-Nickname"), QByteArray("Bureau"));
    EXPECT_EQ(r.header("X-Bridge-Heartbeat"), QByteArray(R"({"ram_total_gb":16})"));
}
} // namespace

TEST(BridgeEndpoints, PollAsksForTheClampedWaitAndReadsTheTask) {
    FakeBackend backend;
    ScriptedResponse next =
        ScriptedResponse::json(200, R"({"id":"T-1","kind":"read","args":{"document_id":"D"}})");
    backend.route("GET", "/api/v1/bridge/tasks/next", [&](const RecordedRequest&) { return next; });
    APIService api(QString("tok"), kDeviceHeaders);

    std::optional<BridgeTask> task = runTask(api.pollBridgeTask(25));
    ASSERT_TRUE(task);
    EXPECT_EQ(task->id, "T-1");
    EXPECT_EQ(std::get<BridgeTask::ReadArgs>(task->args).documentId, "D");
    RecordedRequest r = backend.lastRequest();
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, "/api/v1/bridge/tasks/next?wait=25");
    EXPECT_TRUE(r.body.isEmpty());
    EXPECT_FALSE(r.hasHeader("Content-Type"));
    expectBridgeHeaders(r);

    runTask(api.pollBridgeTask(60));
    EXPECT_EQ(backend.lastRequest().target, "/api/v1/bridge/tasks/next?wait=30");
    runTask(api.pollBridgeTask(0));
    EXPECT_EQ(backend.lastRequest().target, "/api/v1/bridge/tasks/next?wait=1");

    // 204 is "no task", whatever the body says.
    next = ScriptedResponse::noContent();
    EXPECT_FALSE(runTask(api.pollBridgeTask(25)));
    next = ScriptedResponse::json(204, R"({"id":"T-2","kind":"list_folders"})");
    EXPECT_FALSE(runTask(api.pollBridgeTask(25)));

    // A 2xx without a decodable task fails with the decoder's error.
    next = ScriptedResponse::json(200, "");
    auto error = runTaskCatching(api.pollBridgeTask(25));
    EXPECT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), JsonDecodingError);
    next = ScriptedResponse::json(200, R"({"id":"T-3","kind":"Search","args":{"query":"q"}})");
    EXPECT_THROW(runTask(api.pollBridgeTask(25)), JsonDecodingError);

    next = ScriptedResponse::text(503, "maintenance");
    EXPECT_EQ(errorText(runTaskCatching(api.pollBridgeTask(25))), "Erreur HTTP 503 : maintenance");
    next = ScriptedResponse::text(502, "\xc3\x28");
    EXPECT_EQ(errorText(runTaskCatching(api.pollBridgeTask(25))), "Erreur HTTP 502");

    // A 401 is announced with the poll's token and still thrown.
    QSignalSpy spy(&AuthFailureNotifier::shared(), &AuthFailureNotifier::authFailure);
    next = ScriptedResponse::text(401, "");
    EXPECT_EQ(errorText(runTaskCatching(api.pollBridgeTask(25))), "Erreur HTTP 401");
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), "tok");
}

TEST(BridgeEndpoints, PollTimesOutAfterTheWaitAsPassedPlusTenSeconds) {
    FakeBackend backend;
    ScriptedResponse silent;
    silent.neverAnswer = true;
    backend.route("GET", "/api/v1/bridge/tasks/next", silent);
    APIService api(QString("tok"), kDeviceHeaders);
    // A wait of -9 asks the server for 1 second but gives up after -9 + 10 = 1 s:
    // the time-out follows the wait as passed, not the clamped one (that would be 11 s).
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(errorText(runTaskCatching(api.pollBridgeTask(-9))), "La requête a expiré.");
    EXPECT_LT(timer.elapsed(), 9000); // well before the 11 s of the clamped wait
    EXPECT_EQ(backend.lastRequest().target, "/api/v1/bridge/tasks/next?wait=1");
}

TEST(BridgeEndpoints, UpdatesPatchTheTaskWithTheirBodies) {
    FakeBackend backend;
    ScriptedResponse answer = ScriptedResponse::noContent();
    backend.routePrefix("PATCH", "/api/v1/bridge/tasks/", [&](const RecordedRequest&) { return answer; });
    APIService api(QString("tok"), kDeviceHeaders);

    runTask(api.reportBridgeTaskError("T-1", "Document hors des dossiers partagés."));
    RecordedRequest r = backend.lastRequest();
    EXPECT_EQ(r.method, "PATCH");
    EXPECT_EQ(r.target, "/api/v1/bridge/tasks/T-1");
    EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
    expectBridgeHeaders(r);
    EXPECT_EQ(r.body,
              QByteArray(R"({"status":"error","error_message":"Document hors des dossiers partagés."})"));

    answer = ScriptedResponse::json(201, "{\"ignored\":");
    BridgeReadResult read{"https://x/y", false, 11};
    runTask(api.reportBridgeTaskSuccess("T-1", read.toJson()));
    EXPECT_EQ(
        backend.lastRequest().body,
        QByteArray(
            R"({"status":"done","result":{"content":"https:\/\/x\/y","truncated":false,"bytes_read":11}})"));
    runTask(api.reportBridgeTaskSuccess("T-1", BridgeOkResult{true, std::nullopt}.toJson()));
    EXPECT_EQ(backend.lastRequest().body, QByteArray(R"({"status":"done","result":{"ok":true}})"));

    answer = ScriptedResponse::json(200, "");
    runTask(api.reportBridgeTaskDelta("T-1", "Bon"));
    EXPECT_EQ(backend.lastRequest().body, QByteArray(R"({"status":"streaming","delta":"Bon"})"));

    answer = ScriptedResponse::text(409, "conflit");
    EXPECT_EQ(errorText(runTaskCatching(api.reportBridgeTaskDelta("T-1", "x"))), "Erreur HTTP 409 : conflit");

    // A result that cannot be encoded is refused before anything is sent.
    backend.clearRequests();
    BridgePhotosResult photos;
    photos.items.append({"P", "n", std::nullopt, "image/jpeg", BridgePhotosResult::Item::Location{NAN, 0}});
    EXPECT_THROW(runTask(api.reportBridgeTaskSuccess("T-1", photos.toJson())), JsonEncodingError);
    EXPECT_EQ(backend.requestCount(), 0);
}

TEST(BridgeEndpoints, TaskIdIsOneEncodedPathSegment) {
    FakeBackend backend;
    backend.setFallback([](const RecordedRequest&) { return ScriptedResponse::noContent(); });
    APIService api(QString("tok"), kDeviceHeaders);
    const QList<QPair<QString, QByteArray>> cases{
        {"x/../../users/1.json", "/api/v1/bridge/tasks/x%2F..%2F..%2Fusers%2F1.json"},
        {"...", "/api/v1/bridge/tasks/..."},
        {"a?b#c d", "/api/v1/bridge/tasks/a%3Fb%23c%20d"},
        {"é%2F", "/api/v1/bridge/tasks/%C3%A9%252F"},
        {"abc-123_X.~", "/api/v1/bridge/tasks/abc-123_X.~"},
    };
    for (const auto& [id, target] : cases) {
        runTask(api.reportBridgeTaskError(id, "x"));
        EXPECT_EQ(backend.lastRequest().target, target) << id.toStdString();
        EXPECT_EQ(backend.lastRequest().method, "PATCH");
    }
    // Ids that would address a parent resource are refused before sending.
    backend.clearRequests();
    for (const QString id : {"", ".", ".."})
        EXPECT_EQ(errorText(runTaskCatching(api.reportBridgeTaskError(id, "x"))),
                  "Réponse illisible du serveur");
    EXPECT_EQ(backend.requestCount(), 0);
}

TEST(BridgeEndpoints, NoTokenMeansNothingIsSent) {
    FakeBackend backend;
    backend.setFallback([](const RecordedRequest&) { return ScriptedResponse::noContent(); });
    for (const std::optional<QString>& token : {std::optional<QString>(), std::optional<QString>("")}) {
        APIService api(token, kDeviceHeaders);
        for (auto error :
             {runTaskCatching(api.pollBridgeTask(25)),
              runTaskCatching(api.reportBridgeTaskSuccess("T", BridgeOkResult{true, std::nullopt}.toJson())),
              runTaskCatching(api.reportBridgeTaskError("T", "m")),
              runTaskCatching(api.reportBridgeTaskDelta("T", "d"))})
            EXPECT_EQ(errorText(error), "Pas connecté. Configure ton jeton dans Réglages.");
    }
    EXPECT_EQ(backend.requestCount(), 0);
}

TEST(BridgeEndpoints, AHeaderValueCannotSmuggleAnotherHeader) {
    FakeBackend backend;
    backend.route("GET", "/api/v1/bridge/tasks/next", ScriptedResponse::noContent());
    QMap<QString, QString> headers = kDeviceHeaders;
    headers["X-Bridge-Device-Nickname"] = QStringLiteral("Zoé\r\nX-Injected: yes\n");
    APIService api(QStringLiteral("tok"), headers);
    runTask(api.pollBridgeTask(5));
    ASSERT_EQ(backend.requestCount(), 1);
    const RecordedRequest r = backend.lastRequest();
    EXPECT_FALSE(r.hasHeader("X-Injected"));
    EXPECT_EQ(r.header("X-Bridge-Device-Nickname"), QStringLiteral("Zoé  X-Injected: yes").toUtf8());
}

TEST(BridgeEndpoints, PollBoundsTheAnswersSizeDepthAndDuration) {
    FakeBackend backend;
    ScriptedResponse next;
    backend.route("GET", "/api/v1/bridge/tasks/next", [&](const RecordedRequest&) { return next; });
    APIService api(QString("tok"), kDeviceHeaders);

    // Too deep to copy safely: refused while parsing.
    next = ScriptedResponse::json(200, R"({"id":"T","kind":"list_folders","args":{"x":)" +
                                           QByteArray("[").repeated(12'000) +
                                           QByteArray("]").repeated(12'000) + R"(,"y":1}})");
    try {
        runTask(api.pollBridgeTask(25));
        ADD_FAILURE() << "decoded";
    } catch (const JsonDecodingError& error) {
        EXPECT_EQ(error.kind(), JsonDecodingError::Kind::TooDeep);
    }

    // Under the cap but made of more values than a document may hold: refused
    // while parsing.
    next = ScriptedResponse::json(200, "[" + QByteArray("{},").repeated(json::maxValues) + "{}]");
    try {
        runTask(api.pollBridgeTask(25));
        ADD_FAILURE() << "decoded";
    } catch (const JsonDecodingError& error) {
        EXPECT_EQ(error.kind(), JsonDecodingError::Kind::TooLarge);
        EXPECT_EQ(error.description(),
                  "Les données n’ont pas pu être lues, car elles sont trop volumineuses.");
    }

    // Over the cap: refused, announced length or not.
    const QByteArray huge(APIService::maxPollBodyBytes + 1, ' ');
    next = ScriptedResponse::json(200, huge);
    EXPECT_EQ(errorText(runTaskCatching(api.pollBridgeTask(25))),
              "La réponse du serveur est trop volumineuse.");
    next = ScriptedResponse::stream(200, {{0, huge.left(huge.size() / 2)}, {0, huge.mid(huge.size() / 2)}},
                                    "application/json");
    EXPECT_EQ(errorText(runTaskCatching(api.pollBridgeTask(25))),
              "La réponse du serveur est trop volumineuse.");

    // A server that trickles a byte every 300 ms (for a minute) never trips the
    // inactivity time-out; the deadline (the wait as passed + 10 s: 1 s here) ends it.
    QList<QPair<int, QByteArray>> drops;
    for (int i = 0; i < 200; ++i)
        drops.append({300, " "});
    drops.append({0, R"({"id":"T","kind":"list_folders"})"});
    next = ScriptedResponse::stream(200, drops, "application/json");
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(errorText(runTaskCatching(api.pollBridgeTask(-9))), "La requête a expiré.");
    EXPECT_LT(timer.elapsed(), 30000);
}

TEST(BridgeEndpoints, ALargePollAnswerIsDecodedWhileTheEventLoopRuns) {
    // A 10 MB llm_infer task whose arguments also carry a large object of small
    // members (ignored, fewer values than json::maxValues): the shape that used to
    // cost the most to decode.
    QByteArray body = R"({"id":"T-big","kind":"llm_infer","args":{"openai_body_json":")" +
                      QByteArray("a").repeated(4'000'000) + R"(","extra":{)";
    for (int i = 0; body.size() < 10'000'000; ++i)
        body += (i ? ",\"k" : "\"k") + QByteArray::number(i) + "\":" + QByteArray::number(i);
    body += "}}}";
    // Sent in pieces, as a network hands them over: the test's server lives on this
    // thread too, and one write of the whole answer would be a gap of its own.
    QList<QPair<int, QByteArray>> pieces;
    for (qsizetype at = 0; at < body.size(); at += 256 * 1024)
        pieces.append({2, body.mid(at, 256 * 1024)});
    ScriptedResponse answer = ScriptedResponse::stream(200, pieces, "application/json");
    answer.headers.append({"Content-Length", QByteArray::number(body.size())});
    FakeBackend backend;
    backend.route("GET", "/api/v1/bridge/tasks/next", answer);
    APIService api(QString("tok"), kDeviceHeaders);

    // The work decoding the answer gives a thread. Done on the GUI thread, it would put
    // from half to all of that into one gap (here it touches its memory first), and a
    // wait for it there would sleep about as long; the reception's own steps are a
    // small fraction of it.
    const qint64 decodingMs = threadWorkMs([&] { (void)BridgeTask::fromJsonBytes(body); });

    // The event loop's stalls while the answer arrives and is decoded.
    GuiStallMeter meter;
    meter.start();
    std::optional<BridgeTask> task = runTask(api.pollBridgeTask(25));
    const GuiStall stall = meter.stop();
    ASSERT_TRUE(task);
    EXPECT_EQ(task->id, "T-big");
    EXPECT_EQ(std::get<BridgeTask::LLMInferArgs>(task->args).openaiBodyJson.size(), 4'000'000);
    EXPECT_TRUE(guiStayedResponsive(stall, decodingMs / 4, decodingMs / 3))
        << "decoding alone is " << decodingMs << " ms of work";
}

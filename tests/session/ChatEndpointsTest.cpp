#include "platform/AuthFailureNotifier.h"
#include "session/APIService.h"
#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {
// The backend with the unpinned session also trusting the test CA (the chat
// stream does not use the pinned session).
struct ChatBackend : FakeBackend {
    ChatBackend() { HttpSession::trustExtraRootsForTesting(certPath("ca.pem")); }
};

Json bodyOf(const RecordedRequest& r) {
    return Json::parse(r.body.toStdString());
}

APIService::ChatReply complete(const APIService& api, Provider provider, std::optional<qint64> discussion,
                               std::optional<QString> local, std::optional<QString> cloud,
                               std::function<void(const QString&)> onDelta = {}) {
    return runTask(api.complete("Bonjour ?", provider, discussion, local, cloud, std::move(onDelta)));
}
} // namespace

TEST(ChatEndpoints, PiecesReachTheCallbackWhileTheStreamIsOpen) {
    // The server lets "data: jo" go once "Bon" was shown, and the end once "jour" was
    // (or after 10 s, to a client that keeps them to the end). Made before the server,
    // which asks the gate below.
    QStringList pieces;
    QList<qsizetype> shownBeforePiece;
    QDeadlineTimer giveUp;
    ChatBackend backend;
    ScriptedResponse stream =
        ScriptedResponse::stream(200, {{0, "event: initial\ndata: {\"discussion_id\": 77}\n\ndata: Bon\n\n"},
                                       {0, "data: jo"},
                                       {100, "ur\n\nda"},
                                       {0, "ta: !\n\nevent: final\ndata: {}\n\n"}});
    stream.sendWhen = [&](qsizetype piece) {
        if (piece == 0)
            giveUp.setRemainingTime(10000);
        const qsizetype needed = piece == 1 ? 1 : piece == 3 ? 2 : 0;
        if (pieces.size() < needed && !giveUp.hasExpired())
            return false;
        shownBeforePiece.append(pieces.size());
        return true;
    };
    backend.route("POST", "/api/v1/queries.json", stream);
    APIService api(QString("tok"));
    const auto reply = complete(api, Provider::OpenAI, std::nullopt, std::nullopt, QString("gpt-x"),
                                [&](const QString& piece) { pieces.append(piece); });
    EXPECT_EQ(reply.text, "Bonjour!");
    EXPECT_EQ(reply.discussionId, 77);
    EXPECT_EQ(pieces, (QStringList{"Bon", "jour", "!"}));
    // Each piece was shown as soon as its bytes came, while the stream was open: how
    // many were shown when each piece of the stream went.
    EXPECT_EQ(shownBeforePiece, (QList<qsizetype>{0, 1, 1, 2}));

    const RecordedRequest r = backend.lastRequest();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/api/v1/queries.json");
    EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
    EXPECT_EQ(r.header("Accept"), QByteArray("text/event-stream"));
    EXPECT_EQ(r.header("X-User-Token"), QByteArray("tok"));
    const Json expected = Json::parse(R"({"text":"Bonjour ?","provider":"openai","channel":"desktop",
        "format_shape":"simple","stream":true,"product_context":"ombrix","surface":"ombrix_desktop",
        "agent_slug":"assistant","proactive_mode":"suggestions","model":"gpt-x"})");
    EXPECT_EQ(bodyOf(r), expected);
}

TEST(ChatEndpoints, ModelAndDiscussionKeys) {
    ChatBackend backend;
    backend.route("POST", "/api/v1/queries.json", ScriptedResponse::stream(200, {{0, "data: ok\n\n"}}));
    APIService api(QString("tok"));

    auto reply = complete(api, Provider::Local, 12, QString(""), QString("ignored"));
    Json body = bodyOf(backend.lastRequest());
    EXPECT_EQ(body["model"], "local");
    EXPECT_EQ(body["discussion_id"], 12);
    EXPECT_EQ(body["provider"], "local");
    EXPECT_EQ(reply.discussionId, 12); // no announcement: the caller's id
    EXPECT_EQ(reply.text, "ok");

    complete(api, Provider::Local, std::nullopt, QString("qwen"), std::nullopt);
    EXPECT_EQ(bodyOf(backend.lastRequest())["model"], "qwen");
    complete(api, Provider::OpenAI, std::nullopt, QString("qwen"), std::nullopt);
    body = bodyOf(backend.lastRequest());
    EXPECT_FALSE(body.contains("model"));
    EXPECT_FALSE(body.contains("discussion_id"));
    complete(api, Provider::Anthropic, std::nullopt, std::nullopt, QString(""));
    EXPECT_FALSE(bodyOf(backend.lastRequest()).contains("model"));
}

TEST(ChatEndpoints, RefusedQueriesCarryTheStartOfTheBody) {
    ChatBackend backend;
    ScriptedResponse answer;
    backend.route("POST", "/api/v1/queries.json", [&](const RecordedRequest&) { return answer; });
    APIService api(QString("tok"));
    QSignalSpy spy(&AuthFailureNotifier::shared(), &AuthFailureNotifier::authFailure);
    auto failure = [&] {
        return errorText(
            runTaskCatching(api.complete("q", Provider::Gemini, std::nullopt, std::nullopt, std::nullopt)));
    };

    answer = ScriptedResponse::text(500, QByteArray(2000, 'x'));
    EXPECT_EQ(failure(), "Erreur HTTP 500 : " + QString(2000, 'x'));
    QByteArray lines;
    for (int i = 0; i < 200; ++i)
        lines += "0123456789\n";
    answer = ScriptedResponse::text(502, lines);
    EXPECT_EQ(failure(), "Erreur HTTP 502 : " + QString("0123456789").repeated(51));
    answer = ScriptedResponse::text(500, "");
    EXPECT_EQ(failure(), "Erreur HTTP 500");
    // An endless error line is cut at 64 KiB instead of being read to its end.
    answer = ScriptedResponse::stream(503, {{0, QByteArray(40000, 'y')}, {50, QByteArray(40000, 'y')}},
                                      "text/plain");
    EXPECT_EQ(failure(), "Erreur HTTP 503 : " + QString(64 * 1024, 'y'));
    // So does a body of nothing but line breaks, long before the server would end it.
    answer =
        ScriptedResponse::stream(503, {{0, QByteArray(70 * 1024, '\n')}, {90000, "fin\n"}}, "text/plain");
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(failure(), "Erreur HTTP 503");
    EXPECT_LT(clock.elapsed(), 45000);
    // A 401 signs nobody out here.
    answer = ScriptedResponse::text(401, "expiré");
    EXPECT_EQ(failure(), "Erreur HTTP 401 : expiré");
    EXPECT_EQ(spy.count(), 0);
}

TEST(ChatEndpoints, StreamUsesTheUnpinnedSessionAndFailsOnTransportErrors) {
    ChatBackend backend;
    backend.route("POST", "/api/v1/queries.json", ScriptedResponse::stream(200, {{0, "data: a\n\n"}}));
    // Pinned to an unrelated CA: pinned calls fail, the chat stream does not.
    pointBackendAt(backend, ScriptedHttpServer::certPath("other-ca.pem"));
    HttpSession::trustExtraRootsForTesting(ScriptedHttpServer::certPath("ca.pem"));
    APIService api(QString("tok"));
    EXPECT_EQ(complete(api, Provider::OpenAI, std::nullopt, std::nullopt, std::nullopt).text, "a");

    // Without the test CA among its roots, the unpinned session refuses the server.
    HttpSession::resetForTesting();
    EXPECT_EQ(errorText(runTaskCatching(
                  api.complete("q", Provider::OpenAI, std::nullopt, std::nullopt, std::nullopt))),
              "La connexion sécurisée au serveur a échoué.");
    HttpSession::trustExtraRootsForTesting(ScriptedHttpServer::certPath("ca.pem"));

    // A line that never ends fails the query instead of filling memory; pieces
    // delivered before stay delivered.
    QList<QPair<int, QByteArray>> chunks{{0, "data: first\n\ndata: "}};
    for (int i = 0; i < 24; ++i)
        chunks.append({5, QByteArray(64 * 1024, 'z')});
    backend.route("POST", "/api/v1/queries.json", ScriptedResponse::stream(200, chunks));
    QStringList pieces;
    auto error = runTaskCatching(api.complete("q", Provider::OpenAI, std::nullopt, std::nullopt, std::nullopt,
                                              [&](const QString& p) { pieces.append(p); }));
    EXPECT_EQ(errorText(error), "Réponse illisible du serveur");
    EXPECT_EQ(pieces, QStringList{"first"});

    // A chunked body cut inside an event fails, however Qt ends the reply.
    ScriptedResponse cut = ScriptedResponse::stream(200, {{0, "data: Bon\n\n"}, {50, "data: jo"}});
    cut.chunkedEncoding = true;
    cut.cutBeforeLastChunk = true;
    backend.route("POST", "/api/v1/queries.json", cut);
    EXPECT_TRUE(
        runTaskCatching(api.complete("q", Provider::OpenAI, std::nullopt, std::nullopt, std::nullopt)));
    // The same stream ended by its last chunk is an answer.
    cut.cutBeforeLastChunk = false;
    cut.chunks.last().second += "ur\n\n";
    backend.route("POST", "/api/v1/queries.json", cut);
    EXPECT_EQ(complete(api, Provider::OpenAI, std::nullopt, std::nullopt, std::nullopt).text, "Bonjour");

    // A reply past 4 Mi characters ends with an error, not with megabytes more.
    QList<QPair<int, QByteArray>> flood;
    const QByteArray piece = "data: " + QByteArray(512 * 1024, 'x') + "\n\n";
    for (int i = 0; i < 12; ++i)
        flood.append({0, piece});
    backend.route("POST", "/api/v1/queries.json", ScriptedResponse::stream(200, flood));
    EXPECT_EQ(errorText(runTaskCatching(
                  api.complete("q", Provider::OpenAI, std::nullopt, std::nullopt, std::nullopt))),
              "La réponse du serveur dépasse 4194304 caractères ; elle a été arrêtée.");

    ScriptedResponse drop;
    drop.closeWithoutAnswer = true;
    backend.route("POST", "/api/v1/queries.json", drop);
    EXPECT_TRUE(
        runTaskCatching(api.complete("q", Provider::OpenAI, std::nullopt, std::nullopt, std::nullopt)));

    // No token: nothing is sent.
    backend.clearRequests();
    EXPECT_EQ(errorText(runTaskCatching(APIService(QString()).complete("q", Provider::OpenAI, std::nullopt,
                                                                       std::nullopt, std::nullopt))),
              "Pas connecté. Configure ton jeton dans Réglages.");
    EXPECT_EQ(backend.requestCount(), 0);
}

TEST(ChatEndpoints, ImportLocalTurn) {
    FakeBackend backend;
    ScriptedResponse answer = ScriptedResponse::json(201, R"({"discussion_id": 314})");
    backend.route("POST", "/api/v1/queries/import.json", [&](const RecordedRequest&) { return answer; });
    APIService api(QString("tok"));

    EXPECT_EQ(runTask(api.importLocalTurn("q", "r", "", 5, QString(""))), 314);
    const RecordedRequest r = backend.lastRequest();
    EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
    EXPECT_EQ(r.header("X-User-Token"), QByteArray("tok"));
    EXPECT_EQ(bodyOf(r), Json::parse(R"({"text":"q","response_text":"r","model":"","channel":"desktop",
        "language":"fr-FR","discussion_id":5,"ref":""})"));
    runTask(api.importLocalTurn("q", "r", "m", std::nullopt, std::nullopt));
    const Json body = bodyOf(backend.lastRequest());
    EXPECT_FALSE(body.contains("discussion_id"));
    EXPECT_FALSE(body.contains("ref"));

    for (const QByteArray& unusable :
         {QByteArray(""), QByteArray("[1]"), QByteArray(R"({"discussion_id":"3"})"),
          QByteArray(R"({"discussion_id":3.5})"), QByteArray("{nope"),
          "{\"x\":" + QByteArray("[").repeated(12'000) + QByteArray("]").repeated(12'000) +
              ",\"discussion_id\":3}"}) {
        answer = ScriptedResponse::json(201, unusable);
        EXPECT_EQ(runTask(api.importLocalTurn("q", "r", "m", 1, std::nullopt)), std::nullopt)
            << unusable.data();
    }
    answer = ScriptedResponse::text(422, "invalide");
    EXPECT_EQ(errorText(runTaskCatching(api.importLocalTurn("q", "r", "m", 1, std::nullopt))),
              "Erreur HTTP 422 : invalide");
}

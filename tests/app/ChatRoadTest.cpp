// The chat's send road: the backend's completion for a cloud provider, the local
// model server (with its tools) for the local provider, the backend with the local
// model named when that server is down, and what a cleared conversation drops.
// Against the fake backend (TLS) and the fake local model server.
#include "app/ChatViewModel.h"
#include "app/widgets/AppDelegate.h"
#include "app/widgets/ShellScreens.h"
#include "bridge/BridgeService.h"
#include "platform/DefaultsStore.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"
#include "session/OmbrixHTTP.h"
#include "support/FakeLocalModelServer.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString kWarning = QStringLiteral("\u26A0\uFE0F ");

Json bodyOf(const RecordedRequest& request) {
    return Json::parse(request.body.toStdString());
}

ScriptedResponse sse(const QList<QPair<int, QByteArray>>& chunks) {
    return ScriptedResponse::stream(200, chunks);
}

SseScript toolCall(const QString& id, const QString& name, const QString& arguments) {
    SseScript script;
    SseScript::ToolFragment fragment;
    fragment.index = 0;
    if (!id.isNull())
        fragment.id = id;
    fragment.type = QStringLiteral("function");
    fragment.name = name;
    if (!arguments.isNull())
        fragment.arguments = arguments;
    script.toolCalls({fragment});
    return script;
}

class ChatRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        installMemoryDefaults();
        installMemorySecrets();
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
        HttpSession::trustExtraRootsForTesting(ScriptedHttpServer::certPath(QStringLiteral("ca.pem")));
        ScriptedResponse idle = ScriptedResponse::noContent();
        idle.holdMs = 50;
        backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"), idle);
        backend.route("GET", QStringLiteral("/api/v1/me.json"), ScriptedResponse::json(200, R"({"id":7})"));
        backend.route("POST", QStringLiteral("/api/v1/queries/import.json"),
                      ScriptedResponse::json(200, R"({"discussion_id": 41})"));
        local.setModels({QStringLiteral("mlx-community/Llama-3.2-3B-Instruct-4bit")});
    }
    void TearDown() override {
        model.reset();
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
        spinFor(50);
    }

    AppSession& start(bool signedIn, Provider provider) {
        if (signedIn)
            KeychainStore::save(QStringLiteral("tok"));
        AppSession& session = AppSession::shared();
        spinUntil([&] { return !session.isLoadingStoredToken(); });
        session.setProvider(provider);
        session.setLocalLLMEndpoint(local.endpoint());
        session.setLocalLLMModel(QStringLiteral("mlx-community/Llama-3.2-3B-Instruct-4bit"));
        model = std::make_unique<ChatViewModel>(session);
        return session;
    }
    // The local road with a model that may call tools.
    AppSession& startWithTools() {
        AppSession& session = start(true, Provider::Local);
        session.setSelectedLocalModel(QStringLiteral("mlx-community/Qwen3-4B-4bit"));
        return session;
    }
    // Records every content the last message shows, in order.
    void recordLastContents(QStringList& seen) {
        QObject::connect(&AppSession::shared(), &AppSession::messagesChanged, [&seen] {
            if (!AppSession::shared().messages().isEmpty())
                seen << AppSession::shared().messages().last().content;
        });
    }
    // Sends and waits for the turn's end.
    void sendAndWait(const QString& text, int timeoutMs = kEventWaitMs) {
        ASSERT_TRUE(model->send(text));
        ASSERT_TRUE(spinUntil([&] { return model->runningTurns() == 0; }, timeoutMs));
    }
    QStringList contents() const {
        QStringList out;
        for (const ChatMessage& message : AppSession::shared().messages())
            out << message.content;
        return out;
    }
    RecordedRequest lastQuery() const {
        RecordedRequest last;
        for (const RecordedRequest& r : backend.requests())
            if (r.path == QLatin1String("/api/v1/queries.json"))
                last = r;
        return last;
    }
    QList<RecordedRequest> imports() const {
        QList<RecordedRequest> out;
        for (const RecordedRequest& r : backend.requests())
            if (r.path == QLatin1String("/api/v1/queries/import.json"))
                out << r;
        return out;
    }
    // Answers the chat completions with these scripts in turn (the last one again).
    void scriptLocal(QList<SseScript> scripts) {
        auto index = std::make_shared<int>(0);
        local.route("POST", QStringLiteral("/v1/chat/completions"), [scripts, index](const RecordedRequest&) {
            const SseScript& script = scripts[std::min<int>(*index, scripts.size() - 1)];
            ++*index;
            return ScriptedResponse::stream(200, script.chunks());
        });
    }

    FakeBackend backend;
    FakeLocalModelServer local;
    std::unique_ptr<ChatViewModel> model;
};

TEST_F(ChatRoadTest, CloudReplyArrivesWholeAndKeepsTheDiscussion) {
    AppSession& session = start(true, Provider::Anthropic);
    session.setSelectedCloudModel(QStringLiteral("claude-x"));
    backend.route("POST", QStringLiteral("/api/v1/queries.json"),
                  sse({{0, "event: initial\ndata: {\"discussion_id\": 77}\n\ndata: Bon\n\n"},
                       {200, "data: jour\n\nevent: final\ndata: {}\n\n"}}));

    EXPECT_FALSE(model->canSend(QStringLiteral(" \n\t ")));
    EXPECT_FALSE(model->send(QStringLiteral("  \n ")));
    EXPECT_TRUE(session.messages().isEmpty());

    ASSERT_TRUE(model->send(QStringLiteral("  Salut ?\n")));
    EXPECT_TRUE(session.isStreaming());
    EXPECT_FALSE(model->canSend(QStringLiteral("encore")));
    EXPECT_FALSE(model->send(QStringLiteral("encore"))); // one turn at a time
    ASSERT_TRUE(spinUntil([&] { return model->runningTurns() == 0; }));

    EXPECT_EQ(contents(), QStringList({"Salut ?", "Bonjour"}));
    EXPECT_EQ(session.messages()[0].role, ChatMessage::Role::User);
    EXPECT_EQ(session.messages()[1].role, ChatMessage::Role::Assistant);
    EXPECT_FALSE(session.isStreaming());
    EXPECT_EQ(session.discussionId(), 77);
    Json body = bodyOf(lastQuery());
    EXPECT_EQ(body["text"], "Salut ?");
    EXPECT_EQ(body["provider"], "anthropic");
    EXPECT_EQ(body["model"], "claude-x");
    EXPECT_FALSE(body.contains("discussion_id"));

    // The same discussion comes back: the id is left alone.
    QSignalSpy idChanges(&session, &AppSession::discussionIdChanged);
    sendAndWait(QStringLiteral("Et après ?"));
    EXPECT_EQ(idChanges.count(), 0);
    EXPECT_EQ(bodyOf(lastQuery())["discussion_id"], 77);
    EXPECT_EQ(session.messages().size(), 4);
    EXPECT_TRUE(imports().isEmpty());
}

TEST_F(ChatRoadTest, BackendFailureIsShownTwice) {
    AppSession& session = start(true, Provider::OpenAI);
    backend.route("POST", QStringLiteral("/api/v1/queries.json"),
                  ScriptedResponse::text(503, "indisponible"));
    sendAndWait(QStringLiteral("Bonjour"));
    ASSERT_TRUE(session.lastError().has_value());
    EXPECT_FALSE(session.lastError()->isEmpty());
    EXPECT_EQ(contents(), QStringList({"Bonjour", kWarning + *session.lastError()}));
    EXPECT_FALSE(session.isStreaming());
    EXPECT_FALSE(session.discussionId().has_value());

    // The next turn starts without the old error.
    backend.route("POST", QStringLiteral("/api/v1/queries.json"), sse({{0, "data: ok\n\n"}}));
    ASSERT_TRUE(model->send(QStringLiteral("Encore")));
    EXPECT_FALSE(session.lastError().has_value());
    ASSERT_TRUE(spinUntil([&] { return model->runningTurns() == 0; }));
}

// A cloud answer whose connection is lost after it began keeps its text, with the
// loss said under it; a body that arrived whole (its length matched) whose last
// event lacks its empty line loses that event only.
TEST_F(ChatRoadTest, ACloudAnswerCutByTheConnectionKeepsItsText) {
    AppSession& session = start(true, Provider::OpenAI);
    const QString lost = QStringLiteral("La connexion au serveur a été perdue pendant la réponse.");
    ScriptedResponse shortBody = sse({{0, "data: Bon\n\n"}, {100, "data: jo"}});
    shortBody.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("1000")));
    ScriptedResponse cutChunks = sse({{0, "data: Bon\n\n"}, {100, "data: jo"}});
    cutChunks.chunkedEncoding = true;
    cutChunks.cutBeforeLastChunk = true;
    for (const ScriptedResponse& response : {shortBody, cutChunks}) {
        backend.route("POST", QStringLiteral("/api/v1/queries.json"), response);
        sendAndWait(QStringLiteral("Salut"));
        EXPECT_EQ(contents().last(), "Bon\n\n" + kWarning + lost);
        EXPECT_EQ(session.lastError(), lost);
        EXPECT_FALSE(session.isStreaming());
    }
    // Lost before any piece: the warning alone.
    ScriptedResponse nothing = sse({{0, ""}});
    nothing.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("1000")));
    backend.route("POST", QStringLiteral("/api/v1/queries.json"), nothing);
    sendAndWait(QStringLiteral("Encore"));
    EXPECT_EQ(contents().last(), kWarning + lost);

    ScriptedResponse whole = ScriptedResponse::text(200, "data: Bon\n\ndata: jour\n\ndata: !");
    whole.headers = {{"Content-Type", "text/event-stream"}};
    backend.route("POST", QStringLiteral("/api/v1/queries.json"), whole);
    sendAndWait(QStringLiteral("Entier"));
    EXPECT_EQ(contents().last(), "Bonjour");
    EXPECT_FALSE(session.lastError().has_value());
}

TEST_F(ChatRoadTest, LocalProviderWithTheServerDownAsksTheBackendWithTheLocalModel) {
    AppSession& session = start(true, Provider::Local);
    session.setLocalLLMEndpoint(FakeLocalModelServer::closedEndpoint());
    session.setSelectedLocalModel(QStringLiteral("mlx-community/Qwen3-8B-4bit"));
    session.setSelectedCloudModel(QStringLiteral("gpt-x"));
    backend.route("POST", QStringLiteral("/api/v1/queries.json"),
                  sse({{0, "event: initial\ndata: {\"discussion_id\": 5}\n\ndata: Depuis le serveur\n\n"}}));
    sendAndWait(QStringLiteral("Bonjour"));
    EXPECT_EQ(contents(), QStringList({"Bonjour", "Depuis le serveur"}));
    const Json body = bodyOf(lastQuery());
    EXPECT_EQ(body["provider"], "local");
    EXPECT_EQ(body["model"], "mlx-community/Qwen3-8B-4bit");
    EXPECT_EQ(session.discussionId(), 5);
    EXPECT_EQ(local.chatRequests().size(), 0);
}

TEST_F(ChatRoadTest, DirectLocalStreamsIntoTheBubbleAndRecordsTheTurn) {
    AppSession& session = start(true, Provider::Local);
    local.setChatStream(SseScript().content("Bon").content("jour", 600).finish("stop").done());

    ASSERT_TRUE(model->send(QStringLiteral("Salut")));
    // The first piece is in the bubble while the answer is still coming.
    ASSERT_TRUE(spinUntil([&] { return contents() == QStringList({"Salut", "Bon"}); }));
    EXPECT_TRUE(session.isStreaming());
    ASSERT_TRUE(spinUntil([&] { return model->runningTurns() == 0; }));
    EXPECT_EQ(contents(), QStringList({"Salut", "Bonjour"}));
    EXPECT_FALSE(session.isStreaming());
    // The conversation is saved once the turn has ended (encoded off the GUI thread).
    ASSERT_TRUE(spinUntil([&] { return !session.conversationSavePending(); }));
    const Json saved =
        Json::parse(DefaultsStore::shared().data(QStringLiteral("chatMessages"))->toStdString());
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[1]["content"], "Bonjour");

    const Json body = local.lastChatBody();
    const Json expected = Json::parse(R"({
        "model": "mlx-community/Llama-3.2-3B-Instruct-4bit",
        "messages": [{"role": "system", "content": "Tu es Ombrix, un assistant IA personnel qui tourne en local sur le Mac de l'utilisateur. Réponds de manière concise et naturelle."},
                     {"role": "user", "content": "Salut"}],
        "max_tokens": 1024, "temperature": 0.7, "stream": true,
        "stream_options": {"include_usage": true},
        "chat_template_kwargs": {"enable_thinking": false}})");
    EXPECT_EQ(body, expected); // no "tools" for a model without tool support
    EXPECT_EQ(ChatViewModel::kSystemPrompt.toUtf8().size(), 131);

    // The finished turn is recorded in the background, and its discussion adopted.
    ASSERT_TRUE(spinUntil([&] { return session.discussionId() == 41; }));
    ASSERT_EQ(imports().size(), 1);
    const Json recorded = bodyOf(imports()[0]);
    EXPECT_EQ(recorded["text"], "Salut");
    EXPECT_EQ(recorded["response_text"], "Bonjour");
    EXPECT_EQ(recorded["model"], "mlx-community/Llama-3.2-3B-Instruct-4bit");
    EXPECT_FALSE(recorded.contains("discussion_id"));
    EXPECT_EQ(imports()[0].header("X-User-Token"), QByteArray("tok"));

    // The history goes along with the next turn, as it stands.
    sendAndWait(QStringLiteral("Et toi ?"));
    const Json messages = local.lastChatBody()["messages"];
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[2], Json::parse(R"({"role":"assistant","content":"Bonjour"})"));
    EXPECT_EQ(messages[3], Json::parse(R"({"role":"user","content":"Et toi ?"})"));
    ASSERT_TRUE(spinUntil([&] { return imports().size() == 2; }));
    EXPECT_EQ(bodyOf(imports()[1])["discussion_id"], 41);
}

TEST_F(ChatRoadTest, NothingIsRecordedWithoutTokenOrWithoutText) {
    {
        AppSession& session = start(false, Provider::Local);
        local.setChatStream(SseScript().content("Réponse").done());
        sendAndWait(QStringLiteral("Sans jeton"));
        EXPECT_EQ(session.messages().last().content, "Réponse");
    }
    model.reset();
    AppSession::resetSharedForTesting();
    {
        AppSession& session = start(true, Provider::Local);
        // "[DONE]" with nothing before it: an error line, no empty answer.
        local.setChatStream(SseScript().finish("stop").done());
        sendAndWait(QStringLiteral("Réponse vide"));
        EXPECT_EQ(session.messages().last().content, kWarning + "Le modèle local n'a rien répondu.");
        EXPECT_EQ(session.lastError(), "Le modèle local n'a rien répondu.");
        local.setChatStream(SseScript().done());
        sendAndWait(QStringLiteral("Rien du tout"));
        EXPECT_EQ(contents().last(), kWarning + "Le modèle local n'a rien répondu.");
    }
    spinFor(300);
    EXPECT_TRUE(imports().isEmpty());
}

TEST_F(ChatRoadTest, ToolsOnEveryAnswerStopAfterFiveRequests) {
    AppSession& session = startWithTools();
    scriptLocal(
        {toolCall(QStringLiteral("call_1"), QStringLiteral("no_such_tool"), QStringLiteral("{}")).done()});

    sendAndWait(QStringLiteral("Boucle"));
    const QList<RecordedRequest> requests = local.chatRequests();
    ASSERT_EQ(requests.size(), 5);
    const Json first = bodyOf(requests[0]);
    EXPECT_EQ(first["model"], "mlx-community/Qwen3-4B-4bit");
    ASSERT_TRUE(first.contains("tools"));
    EXPECT_EQ(first["tools"].size(), 10u);
    EXPECT_EQ(first["tool_choice"], "auto");
    // Each further request carries every earlier answer and tool result.
    const Json last = bodyOf(requests[4])["messages"];
    ASSERT_EQ(last.size(), 2u + 4 * 2);
    EXPECT_EQ(last[2]["role"], "assistant");
    EXPECT_EQ(last[2]["content"], "");
    EXPECT_EQ(last[2]["tool_calls"][0]["id"], "call_1");
    EXPECT_EQ(
        last[3],
        Json::parse(R"({"role":"tool","tool_call_id":"call_1","content":"Unknown tool: no_such_tool"})"));
    // The placeholder was reused every time and ends with the reason; nothing is recorded.
    EXPECT_EQ(contents(), QStringList({"Boucle", kWarning + "Le modèle local a demandé des outils à chaque "
                                                            "réponse sans jamais répondre ; la demande a été "
                                                            "arrêtée."}));
    EXPECT_FALSE(session.isStreaming());
    spinFor(200);
    EXPECT_TRUE(imports().isEmpty());
}

TEST_F(ChatRoadTest, TextBeforeAToolStaysInItsOwnBubble) {
    start(true, Provider::Local);
    // Not a tool model: calls that come anyway still run. No id, no arguments.
    SseScript asking = toolCall(QString(), QStringLiteral("list_local_folders"), QString());
    SseScript first = SseScript().content("Je regarde.");
    for (const auto& chunk : asking.chunks())
        first.raw(chunk.second.trimmed());
    scriptLocal({first.done(), SseScript().content("Aucun dossier.").done()});
    QStringList seen;
    recordLastContents(seen);

    sendAndWait(QStringLiteral("Mes dossiers ?"));
    EXPECT_EQ(contents(), QStringList({"Mes dossiers ?", "Je regarde.", "Aucun dossier."}));
    EXPECT_TRUE(seen.contains(QStringLiteral("🔧 Liste des dossiers…")));
    ASSERT_EQ(local.chatRequests().size(), 2);
    const Json second = bodyOf(local.chatRequests()[1]);
    EXPECT_FALSE(second.contains("tools"));
    const Json messages = second["messages"];
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[2]["content"], "Je regarde.");
    EXPECT_EQ(messages[2]["tool_calls"][0]["function"]["arguments"], "{}");
    EXPECT_EQ(messages[3]["role"], "tool");
    ASSERT_TRUE(spinUntil([&] { return imports().size() == 1; }));
    EXPECT_EQ(bodyOf(imports()[0])["response_text"], "Aucun dossier."); // the final answer only
}

TEST_F(ChatRoadTest, AFailureMidStreamReplacesTheTextWithTheWarning) {
    AppSession& session = start(true, Provider::Local);
    ScriptedResponse broken =
        ScriptedResponse::stream(200, {{0, "data: {\"choices\":[{\"delta\":{\"content\":\"Début\"}}]}\n\n"},
                                       {100, QByteArray("data: ") + QByteArray(1100 * 1024, 'x')}});
    local.setChatResponse(broken);
    sendAndWait(QStringLiteral("Question"));
    ASSERT_TRUE(session.lastError().has_value());
    EXPECT_EQ(contents(), QStringList({"Question", kWarning + *session.lastError()}));
    EXPECT_FALSE(session.isStreaming());
    spinFor(200);
    EXPECT_TRUE(imports().isEmpty());

    // An HTTP error of the server is shown the same way.
    local.setChatError(500, "model not loaded");
    sendAndWait(QStringLiteral("Encore"));
    EXPECT_EQ(session.messages().last().content, kWarning + *session.lastError());
    EXPECT_TRUE(session.lastError()->contains(QStringLiteral("model not loaded")));
}

// Only an answer that ended with "[DONE]" or a finish reason counts: a stream that
// just stops (a cut chunked body, or a close) shows the warning, records nothing
// and runs none of its tool calls.
TEST_F(ChatRoadTest, ACutLocalStreamIsAFailure) {
    AppSession& session = startWithTools();
    QStringList seen;
    recordLastContents(seen);
    const auto expectFailure = [&](const char* what) {
        ASSERT_TRUE(session.lastError().has_value()) << what;
        EXPECT_EQ(contents().last(), kWarning + *session.lastError()) << what;
        EXPECT_FALSE(session.isStreaming()) << what;
    };

    local.setCutChatStream(SseScript().content("Début de la ").content("réponse", 50));
    sendAndWait(QStringLiteral("Texte coupé"));
    expectFailure("text");

    // Cut inside a tool call's arguments: the call is not run, nothing more is asked.
    local.clearRequests();
    local.setCutChatStream(toolCall(QStringLiteral("call_1"), QStringLiteral("list_local_folders"),
                                    QStringLiteral(R"({"x": )")));
    sendAndWait(QStringLiteral("Outil coupé"));
    expectFailure("tool");
    EXPECT_EQ(local.chatRequests().size(), 1);
    EXPECT_FALSE(seen.join('\n').contains(QStringLiteral("🔧")));

    // A body that ends with the connection, without an end marker, is no answer either.
    local.setChatStream(SseScript().content("Sans fin"));
    sendAndWait(QStringLiteral("Fermé"));
    expectFailure("close");
    spinFor(300);
    EXPECT_TRUE(imports().isEmpty());

    // A finish reason is an end of its own, even when "[DONE]" does not follow.
    local.setCutChatStream(SseScript().content("Complète").finish("stop"));
    sendAndWait(QStringLiteral("Fin"));
    EXPECT_EQ(contents().last(), "Complète");
    ASSERT_TRUE(spinUntil([&] { return imports().size() == 1; }));
}

// An answer whose finish reason is not a normal stop says so under its text, and
// the tool calls of such an answer (their arguments may be cut) are never run.
TEST_F(ChatRoadTest, AnAnswerThatDidNotStopNormallySaysSoAndRunsNoTool) {
    AppSession& session = startWithTools();
    QStringList seen;
    recordLastContents(seen);

    local.setChatStream(SseScript().content("Voici les étapes : 1. Ouvrir").finish("length").done());
    sendAndWait(QStringLiteral("Les étapes ?"));
    const QString lengthLine = kWarning + "Réponse coupée : le modèle a atteint sa limite de longueur.";
    EXPECT_EQ(contents().last(), "Voici les étapes : 1. Ouvrir\n\n" + lengthLine);
    ASSERT_TRUE(spinUntil([&] { return imports().size() == 1; }));
    EXPECT_EQ(bodyOf(imports()[0])["response_text"], contents().last().toStdString());

    // A tool call cut by the limit: not run, nothing more asked.
    local.clearRequests();
    local.setChatStream(
        toolCall(QStringLiteral("call_1"), QStringLiteral("list_local_folders"), QStringLiteral(R"({"x": )"))
            .finish("length")
            .done());
    sendAndWait(QStringLiteral("Outil"));
    EXPECT_EQ(contents().last(), lengthLine);
    EXPECT_EQ(local.chatRequests().size(), 1);
    EXPECT_FALSE(seen.join('\n').contains(QStringLiteral("🔧")));

    local.setChatStream(SseScript().content("Je ").finish("content_filter").done());
    sendAndWait(QStringLiteral("Filtré"));
    EXPECT_EQ(contents().last(),
              "Je \n\n" + kWarning + "Réponse interrompue par le filtre de contenu du modèle.");
    local.setChatStream(SseScript().content("Fin").finish("abort").done());
    sendAndWait(QStringLiteral("Autre"));
    EXPECT_EQ(contents().last(), "Fin\n\n" + kWarning + "Réponse interrompue par le modèle (« abort »).");
    // A normal stop after a tool call runs the tool as before.
    local.clearRequests();
    scriptLocal(
        {toolCall(QStringLiteral("call_2"), QStringLiteral("list_local_folders"), QStringLiteral("{}"))
             .finish("tool_calls")
             .done(),
         SseScript().content("Aucun dossier.").finish("stop").done()});
    sendAndWait(QStringLiteral("Dossiers"));
    EXPECT_EQ(local.chatRequests().size(), 2);
    EXPECT_EQ(contents().last(), "Aucun dossier.");
    EXPECT_FALSE(session.isStreaming());
}

// A model that asks for hundreds of tools in one answer: 16 run, only those are
// carried into the next request, a long name is shown cut, and the names count
// toward the reply's bound.
TEST_F(ChatRoadTest, AToolCallFloodIsBounded) {
    AppSession& session = startWithTools();
    // events × perEvent calls, each named with nameLength letters and its number.
    const auto flood = [](int events, int perEvent, int nameLength) {
        SseScript script;
        for (int event = 0; event < events; ++event) {
            QList<SseScript::ToolFragment> fragments;
            for (int k = 0; k < perEvent; ++k) {
                const int i = event * perEvent + k;
                fragments.append(SseScript::ToolFragment{
                    i, QStringLiteral("call_%1").arg(i), QStringLiteral("function"),
                    QString(nameLength, QLatin1Char('n')) + QString::number(i), QStringLiteral("{}")});
            }
            script.toolCalls(fragments);
        }
        return script.done();
    };
    scriptLocal({flood(3, 100, 200), SseScript().content("Fini.").done()});
    QStringList seen;
    recordLastContents(seen);
    sendAndWait(QStringLiteral("Inonde"));
    EXPECT_EQ(contents(), QStringList({"Inonde", "Fini."}));
    EXPECT_TRUE(seen.contains(QStringLiteral("🔧 ") + QString(64, QLatin1Char('n')) + QStringLiteral("…")));
    ASSERT_EQ(local.chatRequests().size(), 2);
    const RecordedRequest second = local.chatRequests()[1];
    const Json messages = bodyOf(second)["messages"];
    ASSERT_EQ(messages.size(), 2u + 1 + 16);
    EXPECT_EQ(messages[2]["tool_calls"].size(), 16u);
    EXPECT_EQ(messages[2]["tool_calls"][15]["id"], "call_15");
    EXPECT_EQ(messages[18]["tool_call_id"], "call_15");
    EXPECT_LT(second.body.size(), 64 * 1024);

    // Names alone past the bound end the answer as an error: one call per event, so
    // that no line passes the reader's own bound first.
    local.clearRequests();
    scriptLocal({flood(40, 1, 110 * 1024)});
    sendAndWait(QStringLiteral("Encore"));
    ASSERT_TRUE(session.lastError().has_value());
    EXPECT_TRUE(session.lastError()->contains(QStringLiteral("dépasse")))
        << session.lastError()->toStdString();
    EXPECT_EQ(contents().last(), kWarning + *session.lastError());
    EXPECT_EQ(local.chatRequests().size(), 1);
}

// A local server that never stops writing is cut off: the bubble holds the warning,
// not megabytes of text, and the turn ends.
TEST_F(ChatRoadTest, AnEndlessLocalAnswerIsCutOff) {
    AppSession& session = start(true, Provider::Local);
    const QByteArray piece =
        "data: {\"choices\":[{\"delta\":{\"content\":\"" + QByteArray(16 * 1024, 'x') + "\"}}]}\n\n";
    QList<QPair<int, QByteArray>> chunks;
    for (int i = 0; i < 2 * ChatViewModel::kMaxLocalAnswerChars / (16 * 1024); ++i)
        chunks << qMakePair(0, piece);
    local.setChatResponse(ScriptedResponse::stream(200, chunks));
    sendAndWait(QStringLiteral("Question"));
    ASSERT_TRUE(session.lastError().has_value());
    EXPECT_EQ(contents(), QStringList({"Question", kWarning + *session.lastError()}));
    EXPECT_FALSE(session.isStreaming());
    spinFor(100);
    EXPECT_TRUE(imports().isEmpty());
}

// A reply that arrives after "Nouvelle conversation" never lands in the new one.
TEST_F(ChatRoadTest, ClearingDuringAPendingReplyDropsIt) {
    AppSession& session = start(true, Provider::OpenAI);
    ScriptedResponse slow =
        sse({{0, "event: initial\ndata: {\"discussion_id\": 90}\n\n"}, {400, "data: trop tard\n\n"}});
    backend.route("POST", QStringLiteral("/api/v1/queries.json"), slow);
    ASSERT_TRUE(model->send(QStringLiteral("Première")));
    ASSERT_TRUE(backend.waitForRequests(1));
    EXPECT_TRUE(model->canStartNewConversation());
    model->newConversation();
    EXPECT_FALSE(model->canStartNewConversation());
    ASSERT_TRUE(spinUntil([&] { return model->runningTurns() == 0; }));
    EXPECT_TRUE(session.messages().isEmpty());
    EXPECT_FALSE(session.discussionId().has_value());
    EXPECT_FALSE(session.isStreaming());

    // The same for an error, and on the local road mid-stream.
    backend.route("POST", QStringLiteral("/api/v1/queries.json"), [](const RecordedRequest&) {
        ScriptedResponse refused = ScriptedResponse::text(500, "non");
        refused.holdMs = 300;
        return refused;
    });
    ASSERT_TRUE(model->send(QStringLiteral("Deuxième")));
    model->newConversation();
    ASSERT_TRUE(spinUntil([&] { return model->runningTurns() == 0; }));
    EXPECT_TRUE(session.messages().isEmpty());
    EXPECT_FALSE(session.lastError().has_value());

    session.setProvider(Provider::Local);
    local.setChatStream(SseScript().content("Dé").content("jà", 400).done());
    ASSERT_TRUE(model->send(QStringLiteral("Troisième")));
    ASSERT_TRUE(spinUntil([&] { return session.messages().size() == 2 && !contents()[1].isEmpty(); }));
    model->newConversation();
    // The abandoned turn does not hold the new conversation back.
    EXPECT_FALSE(session.isStreaming());
    EXPECT_TRUE(model->canSend(QStringLiteral("Quatrième")));
    ASSERT_TRUE(model->send(QStringLiteral("Quatrième")));
    EXPECT_TRUE(session.isStreaming());
    ASSERT_TRUE(spinUntil([&] { return model->runningTurns() == 0; }));
    EXPECT_EQ(contents(), QStringList({"Quatrième", "Déjà"})); // the old turn's late piece went nowhere
    EXPECT_FALSE(session.isStreaming());
    ASSERT_TRUE(spinUntil([&] { return imports().size() == 1; }));
    EXPECT_EQ(bodyOf(imports()[0])["text"], "Quatrième");
    spinFor(300);
    EXPECT_EQ(imports().size(), 1);
}

// A question is saved marked as waiting until its answer starts: a cloud answer,
// which comes whole, only when it has come; quitting meanwhile leaves the cut mark
// after it. The local road's answer starts with its streaming bubble.
TEST_F(ChatRoadTest, AQuestionWaitsMarkedUntilItsAnswerStarts) {
    AppSession& session = start(true, Provider::OpenAI);
    const auto stored = [] {
        return Json::parse(DefaultsStore::shared().data(QStringLiteral("chatMessages"))->toStdString());
    };
    backend.route("POST", QStringLiteral("/api/v1/queries.json"),
                  sse({{0, "event: initial\ndata: {\"discussion_id\": 90}\n\n"}, {300, "data: Voilà\n\n"}}));
    ASSERT_TRUE(model->send(QStringLiteral("Une question")));
    EXPECT_EQ(session.awaitedAnswer(), session.messages()[0].id);
    ASSERT_TRUE(spinUntil([&] { return !session.conversationSavePending(); }));
    EXPECT_EQ(stored()[0]["awaitingAnswer"], true);
    ASSERT_TRUE(spinUntil([&] { return model->runningTurns() == 0; }));
    EXPECT_EQ(contents(), QStringList({"Une question", "Voilà"}));
    EXPECT_FALSE(session.awaitedAnswer().has_value());
    ASSERT_TRUE(spinUntil([&] { return !session.conversationSavePending(); }));
    EXPECT_FALSE(stored()[0].contains("awaitingAnswer"));

    // Quitting before the answer has come.
    backend.route(
        "POST", QStringLiteral("/api/v1/queries.json"),
        sse({{0, "event: initial\ndata: {\"discussion_id\": 90}\n\n"}, {60000, "data: Trop tard\n\n"}}));
    ASSERT_TRUE(model->send(QStringLiteral("Une autre")));
    ASSERT_TRUE(backend.waitForRequests(2));
    AppSession::resetSharedForTesting();
    const Json saved = stored();
    ASSERT_EQ(saved.size(), 4u);
    EXPECT_EQ(saved[2]["content"], "Une autre");
    EXPECT_FALSE(saved[2].contains("awaitingAnswer"));
    EXPECT_EQ(saved[3]["role"], "assistant");
    EXPECT_EQ(saved[3]["content"],
              (QStringLiteral("\u26A0\uFE0F ") + AppSession::cutAnswerWarning()).toStdString());
    model.reset();

    // The local road: the mark goes once the answer's bubble is there.
    AppSession& local = start(true, Provider::Local);
    local.clearConversation();
    this->local.setChatStream(SseScript().content("Bon", 300).done());
    ASSERT_TRUE(model->send(QStringLiteral("Locale")));
    ASSERT_TRUE(spinUntil([&] { return local.messages().size() == 2; }));
    EXPECT_FALSE(local.awaitedAnswer().has_value());
    EXPECT_TRUE(local.streamingMessage().has_value());
    ASSERT_TRUE(spinUntil([&] { return model->runningTurns() == 0; }));
}

// The recording of a local turn that returns after the conversation was cleared
// does not bring the old discussion back.
TEST_F(ChatRoadTest, ALateRecordingDoesNotRestoreTheOldDiscussion) {
    AppSession& session = start(true, Provider::Local);
    backend.route("POST", QStringLiteral("/api/v1/queries/import.json"), [](const RecordedRequest&) {
        ScriptedResponse answer = ScriptedResponse::json(200, R"({"discussion_id": 41})");
        answer.holdMs = 400;
        return answer;
    });
    local.setChatStream(SseScript().content("Réponse").done());
    sendAndWait(QStringLiteral("Question"));
    model->newConversation();
    ASSERT_TRUE(spinUntil([&] { return imports().size() == 1; }));
    spinFor(700);
    EXPECT_FALSE(session.discussionId().has_value());
}

// The program's end while a local answer streams, in real processes: a child runs
// the chat against the fake server with the settings in a file; SIGTERM makes it
// quit, which saves the answer marked as cut; kill -9 leaves it marked streaming
// in the periodic save, and the program launched next ends it with the same mark.
constexpr const char* kChildEndpoint = "OMBRIX_CHAT_CHILD_ENDPOINT";

TEST(ChatProcessEnd, ChildStreamsUntilItEnds) {
    const QString endpoint = qEnvironmentVariable(kChildEndpoint);
    if (endpoint.isEmpty())
        GTEST_SKIP() << "run as a child by ChatProcessEnd.AnAnswerCut*IsSavedMarked";
    DefaultsStore::setShared(std::make_shared<FileDefaultsStore>(FileDefaultsStore::defaultPath()));
    AppSession::resetSharedForTesting();
    // The cloud road: a backend of this child's own, whose answer never comes.
    std::unique_ptr<FakeBackend> backend;
    if (endpoint == QLatin1String("cloud")) {
        backend = std::make_unique<FakeBackend>();
        HttpSession::trustExtraRootsForTesting(ScriptedHttpServer::certPath(QStringLiteral("ca.pem")));
        backend->route(
            "POST", QStringLiteral("/api/v1/queries.json"),
            sse({{0, "event: initial\ndata: {\"discussion_id\": 90}\n\n"}, {600000, "data: x\n\n"}}));
        KeychainStore::save(QStringLiteral("tok"));
    }
    AppSession& session = AppSession::shared();
    ASSERT_TRUE(spinUntil([&] { return !session.isLoadingStoredToken(); }));
    session.setProvider(backend ? Provider::OpenAI : Provider::Local);
    session.setLocalLLMEndpoint(endpoint);
    session.setLocalLLMModel(QStringLiteral("mlx-community/Llama-3.2-3B-Instruct-4bit"));
    AppDelegate delegate{ShellScreens{}};
    delegate.installSignalHandlers(); // SIGTERM quits the way the program does
    ChatViewModel model(session);
    ASSERT_TRUE(model.send(QStringLiteral("Salut")));
    QCoreApplication::exec();
    DefaultsStore::shared().flush();
}

namespace {
// The stored conversation in the settings file, or nothing yet.
std::optional<Json> storedConversation(const QString& configHome) {
    QFile file(configHome + QStringLiteral("/ombrix/defaults.json"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const std::optional<Json> root = json::tryParse(file.readAll());
    if (!root || !root->is_object())
        return std::nullopt;
    const auto entry = root->find("chatMessages");
    if (entry == root->end() || !entry->is_object())
        return std::nullopt;
    const auto data = entry->find("data");
    if (data == entry->end() || !data->is_string())
        return std::nullopt;
    const std::optional<Json> messages =
        json::tryParse(QByteArray::fromBase64(QByteArray::fromStdString(data->get<std::string>())));
    if (!messages || !messages->is_array())
        return std::nullopt;
    return messages;
}

// An answer cut by the program's end (a quit, or kill -9 and the next launch):
// after its first piece (the local road) when `started`, else before it started
// (the cloud road's, which comes whole).
void checkAnAnswerCutByTheEnd(bool started) {
    FakeLocalModelServer local;
    local.setModels({QStringLiteral("mlx-community/Llama-3.2-3B-Instruct-4bit")});
    local.setChatStream(SseScript().content("Bon").content("jour", 60000).done());
    const QString cut = QStringLiteral("\u26A0\uFE0F Réponse coupée : Ombrix s'est arrêté avant la fin de la "
                                       "réponse.");
    for (const bool kill : {true, false}) {
        SCOPED_TRACE(std::string(started ? "cut after its first piece" : "cut before it started") +
                     (kill ? ", kill -9" : ", quit"));
        const QString marked = started ? "Bon\n\n" + cut : cut;
        QTemporaryDir home;
        QTemporaryDir runtime;
        const QString configHome = home.path() + QStringLiteral("/.config");
        QProcessEnvironment environment = childEnvironment();
        environment.insert("HOME", home.path());
        environment.insert("XDG_CONFIG_HOME", configHome);
        environment.insert("XDG_DATA_HOME", home.path() + QStringLiteral("/.local/share"));
        environment.insert("XDG_CACHE_HOME", home.path() + QStringLiteral("/.cache"));
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        environment.insert("OMBRIX_TEST_KEEP_HOME", "1");
        QProcessEnvironment streamingEnvironment = environment;
        streamingEnvironment.insert(kChildEndpoint, started ? local.endpoint() : QStringLiteral("cloud"));

        QProcess child;
        child.setProcessEnvironment(streamingEnvironment);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.setStandardOutputFile(QProcess::nullDevice());
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=ChatProcessEnd.ChildStreamsUntilItEnds")});
        ASSERT_TRUE(child.waitForStarted());
        // The periodic save has written the first piece, marked streaming, or the
        // question, marked waiting.
        const bool streamingSaved = spinUntil([&] {
            const auto saved = storedConversation(configHome);
            if (!started)
                return saved && saved->size() == 1 && (*saved)[0].value("awaitingAnswer", false);
            return saved && saved->size() == 2 && (*saved)[1]["content"] == "Bon" &&
                   (*saved)[1].value("streaming", false);
        });
        if (!streamingSaved)
            child.kill();
        ASSERT_TRUE(streamingSaved);
        if (kill)
            child.kill();
        else
            child.terminate();
        ASSERT_TRUE(spinUntil([&] { return child.state() == QProcess::NotRunning; }));
        if (!kill) {
            EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(child.exitCode(), 0);
            const auto saved = storedConversation(configHome);
            ASSERT_TRUE(saved);
            EXPECT_EQ((*saved)[1]["content"], marked.toStdString());
            EXPECT_FALSE((*saved)[1].contains("streaming"));
            continue;
        }
        // The program launched after the kill ends the answer with the mark and saves it.
        QProcess program;
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral(OMBRIX_EXECUTABLE));
        ASSERT_TRUE(program.waitForStarted());
        const bool ended = spinUntil([&] {
            const auto saved = storedConversation(configHome);
            return saved && saved->size() == 2 && (*saved)[1]["content"] == marked.toStdString() &&
                   !(*saved)[1].contains("streaming");
        });
        program.terminate();
        EXPECT_TRUE(spinUntil([&] { return program.state() == QProcess::NotRunning; }));
        if (program.state() != QProcess::NotRunning)
            program.kill();
        EXPECT_TRUE(ended);
    }
}
} // namespace

TEST(ChatProcessEnd, AnAnswerCutAfterItsFirstPieceIsSavedMarked) {
    checkAnAnswerCutByTheEnd(true);
}

TEST(ChatProcessEnd, AnAnswerCutBeforeItStartedIsSavedMarked) {
    checkAnAnswerCutByTheEnd(false);
}

TEST(ChatToolLabels, ExactNamesOnly) {
    const QList<QPair<QString, QString>> cases = {
        {"search_local_documents", "Recherche locale"},
        {"read_local_document", "Lecture du document"},
        {"list_local_folders", "Liste des dossiers"},
        {"browse_local_folder", "Parcours du dossier"},
        {"list_recent_photos", "Photos récentes"},
        {"list_photos_from_date", "Photos par date"},
        {"open_app", "Ouverture de l'app"},
        {"list_shortcuts", "Liste des raccourcis"},
        {"run_shortcut", "Exécution du raccourci"},
        {"ocr_local_image", "OCR du document"},
        {"Run_shortcut", "Run_shortcut"},
        {"", ""},
    };
    for (const auto& [name, label] : cases)
        EXPECT_EQ(ChatViewModel::toolLabel(name), label) << name.toStdString();
}

} // namespace

// The chat's send road: the backend's completion for a cloud provider, the local
// model server (with its tools) for the local provider, the backend with the local
// model named when that server is down, and what a cleared conversation drops.
// Against the fake backend (TLS) and the fake local model server.
#include "app/ChatViewModel.h"
#include "bridge/BridgeService.h"
#include "platform/DefaultsStore.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"
#include "session/OmbrixHTTP.h"
#include "support/FakeLocalModelServer.h"
#include "support/TestSupport.h"

#include <QSignalSpy>

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
    // Sends and waits for the turn's end.
    void sendAndWait(const QString& text, int timeoutMs = 10000) {
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
        local.setChatStream(SseScript().finish("stop").done());
        sendAndWait(QStringLiteral("Réponse vide"));
        EXPECT_EQ(session.messages().last().content, "");
    }
    spinFor(300);
    EXPECT_TRUE(imports().isEmpty());
}

TEST_F(ChatRoadTest, ToolsOnEveryAnswerStopAfterFiveRequests) {
    AppSession& session = start(true, Provider::Local);
    session.setSelectedLocalModel(QStringLiteral("mlx-community/Qwen3-4B-4bit"));
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
    AppSession& session = start(true, Provider::Local);
    // Not a tool model: calls that come anyway still run. No id, no arguments.
    SseScript asking = toolCall(QString(), QStringLiteral("list_local_folders"), QString());
    SseScript first = SseScript().content("Je regarde.");
    for (const auto& chunk : asking.chunks())
        first.raw(chunk.second.trimmed());
    scriptLocal({first.done(), SseScript().content("Aucun dossier.").done()});
    QStringList seen;
    QObject::connect(&session, &AppSession::messagesChanged,
                     [&] { seen << session.messages().last().content; });

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
    AppSession& session = start(true, Provider::Local);
    session.setSelectedLocalModel(QStringLiteral("mlx-community/Qwen3-4B-4bit"));
    QStringList seen;
    QObject::connect(&session, &AppSession::messagesChanged, [&] {
        if (!session.messages().isEmpty())
            seen << session.messages().last().content;
    });
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

// A model that asks for thousands of tools in one answer: 16 run, only those are
// carried into the next request, a long name is shown cut, and the names count
// toward the reply's bound.
TEST_F(ChatRoadTest, AToolCallFloodIsBounded) {
    AppSession& session = start(true, Provider::Local);
    session.setSelectedLocalModel(QStringLiteral("mlx-community/Qwen3-4B-4bit"));
    const auto flood = [](int nameLength) {
        SseScript script;
        for (int event = 0; event < 50; ++event) {
            QList<SseScript::ToolFragment> fragments;
            for (int k = 0; k < 100; ++k) {
                const int i = event * 100 + k;
                fragments.append(SseScript::ToolFragment{
                    i, QStringLiteral("call_%1").arg(i), QStringLiteral("function"),
                    QString(nameLength, QLatin1Char('n')) + QString::number(i), QStringLiteral("{}")});
            }
            script.toolCalls(fragments);
        }
        return script.done();
    };
    scriptLocal({flood(200), SseScript().content("Fini.").done()});
    QStringList seen;
    QObject::connect(&session, &AppSession::messagesChanged, [&] {
        if (!session.messages().isEmpty())
            seen << session.messages().last().content;
    });
    sendAndWait(QStringLiteral("Inonde"), 30000);
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

    // Names alone past the bound end the answer as an error.
    local.clearRequests();
    scriptLocal({flood(1000)});
    sendAndWait(QStringLiteral("Encore"), 30000);
    ASSERT_TRUE(session.lastError().has_value());
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

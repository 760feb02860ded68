#include "localllm/LocalLLMHandler.h"
#include "localllm/LocalLLMTelemetry.h"
#include "localllm/LocalStream.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "support/FakeLocalModelServer.h"
#include "support/TestSupport.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <memory>
#include <utility>

using Fragment = SseScript::ToolFragment;

namespace {
// One task update as the backend received it.
struct Update {
    QString taskId;
    Json body;
    RecordedRequest request;
};

// Captures the "[LocalLLM]" lines written while it lives.
class LogCapture {
public:
    LogCapture() {
        lines().clear();
        previous_ = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            if (text.startsWith("[LocalLLM]"))
                lines().append(text);
        });
    }
    ~LogCapture() { qInstallMessageHandler(previous_); }
    static QStringList& lines() {
        static QStringList captured;
        return captured;
    }

private:
    QtMessageHandler previous_;
};

class LocalLLMHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        installMemoryDefaults();
        LocalLLMTelemetry::shared().resetForTesting();
        backend.routePrefix("PATCH", "/api/v1/bridge/tasks/",
                            [](const RecordedRequest&) { return ScriptedResponse::json(200, "{}"); });
        settings = {true, server.endpoint(), "Qwen/Qwen3-14B-MLX-4bit"};
    }

    void run(const QString& body, const QString& id = "task-1") {
        BridgeTask task;
        task.id = id;
        task.kind = BridgeTaskKind::LLMInfer;
        const BridgeTask::LLMInferArgs args{body};
        task.args = args;
        runTask(LocalLLMHandler::handle(task, args, api, settings));
    }

    QList<Update> updates() const {
        QList<Update> result;
        for (const RecordedRequest& r : backend.requests()) {
            if (r.method != "PATCH")
                continue;
            result.append({r.path.mid(QString("/api/v1/bridge/tasks/").size()), json::parse(r.body), r});
        }
        return result;
    }
    QStringList deltas() const {
        QStringList result;
        for (const Update& u : updates())
            if (u.body.at("status") == "streaming")
                result.append(json::qstr(u.body.at("delta")));
        return result;
    }
    // The final update, which must be the last one.
    Json final() const {
        const QList<Update> all = updates();
        return all.isEmpty() ? Json() : all.last().body;
    }
    Json completion() const {
        return Json::parse(final().at("result").at("response_json").get<std::string>());
    }

    FakeBackend backend;
    FakeLocalModelServer server;
    APIService api{QString("user-token"), {{"X-Bridge-Device-Id", "device-1"}}};
    LocalLLMHandler::Settings settings;
};

const QString kBody =
    R"({"model":"gpt-4o","messages":[{"role":"user","content":"Salut"}],"temperature":0.2})";
} // namespace

TEST_F(LocalLLMHandlerTest, StreamsTheFirstDeltaAtOnceThenCoalescesAndEndsWithTheCompletion) {
    const QList<QPair<int, QByteArray>> lines = SseScript()
                                                    .content("Bonjour")
                                                    .content("aaaaa")
                                                    .content("bbbbb")
                                                    .content("ccccc")
                                                    .content("ddddd")
                                                    .content("late")
                                                    .content("fin.")
                                                    .finish("stop")
                                                    .usage(12, 9)
                                                    .done()
                                                    .chunks();
    const auto joined = [&](qsizetype from, qsizetype to) {
        QByteArray bytes;
        for (qsizetype i = from; i < to; ++i)
            bytes += lines[i].second;
        return bytes;
    };
    ScriptedResponse stream =
        ScriptedResponse::stream(200, {
                                          {0, lines[0].second},
                                          // a burst: sent together once 20 characters wait
                                          {0, joined(1, 5)},
                                          // alone after a pause: sent at once
                                          {800, lines[5].second},
                                          // short tail: sent before the result
                                          {0, joined(6, lines.size())},
                                      });
    // The first delta's update is answered only once the burst is on its way, so that
    // the whole burst waits for the handler when that update returns. The pieces after
    // the burst go once the backend has the deltas of those before them.
    const auto burstSent = std::make_shared<bool>(false);
    auto firstUpdate = std::make_shared<bool>(true);
    backend.routePrefix("PATCH", "/api/v1/bridge/tasks/", [burstSent, firstUpdate](const RecordedRequest&) {
        const ScriptedResponse ok = ScriptedResponse::json(200, "{}");
        return std::exchange(*firstUpdate, false) ? ScriptedResponse::heldUntil(ok, burstSent) : ok;
    });
    stream.sendWhen = [this, burstSent](qsizetype piece) {
        if (piece == 2)
            *burstSent = true; // asked once the burst was written
        return piece < 2 || deltas().size() >= piece;
    };
    server.setChatResponse(stream);
    BridgeTask task;
    task.id = "task-42";
    const BridgeTask::LLMInferArgs args{kBody};
    bool finished = false;
    // A named lambda: its captures must outlive the coroutine.
    auto body = [&]() -> QCoro::Task<> {
        co_await LocalLLMHandler::handle(task, args, api, settings);
        finished = true;
    };
    auto running = body();
    // The first delta reaches the backend while the stream is still open.
    ASSERT_TRUE(spinUntil([&] { return !deltas().isEmpty(); }));
    EXPECT_FALSE(finished);
    EXPECT_EQ(deltas().first(), "Bonjour");
    ASSERT_TRUE(spinUntil([&] { return finished; }));

    EXPECT_EQ(deltas(), (QStringList{"Bonjour", "aaaaabbbbbcccccddddd", "late", "fin."}));
    const QList<Update> all = updates();
    for (const Update& u : all) {
        EXPECT_EQ(u.taskId, "task-42");
        EXPECT_EQ(u.request.header("X-User-Token"), QByteArray("user-token"));
        EXPECT_EQ(u.request.header("X-Bridge-Device-Id"), QByteArray("device-1"));
    }
    const Json done = final();
    ASSERT_EQ(done.at("status"), "done") << done.dump();
    EXPECT_EQ(done.at("result").at("model_used"), "Qwen/Qwen3-14B-MLX-4bit");
    EXPECT_GE(done.at("result").at("latency_ms").get<qint64>(), 800);

    const Json c = completion();
    EXPECT_TRUE(QRegularExpression("^chatcmpl-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                    .match(QString::fromStdString(c.at("id").get<std::string>()))
                    .hasMatch());
    Json expected = c;
    expected["id"] = "X";
    EXPECT_EQ(expected, Json::parse(R"({"id":"X","object":"chat.completion","model":"Qwen/Qwen3-14B-MLX-4bit",
        "choices":[{"index":0,"finish_reason":"stop","message":{"role":"assistant",
        "content":"Bonjouraaaaabbbbbcccccdddddlatefin."}}],
        "usage":{"prompt_tokens":12,"completion_tokens":9,"total_tokens":21}})"));

    // The model server got the body with streaming switched on, nothing else changed.
    const RecordedRequest sent = server.chatRequests().last();
    EXPECT_FALSE(sent.hasHeader("X-User-Token"));
    EXPECT_EQ(sent.header("Accept"), QByteArray("text/event-stream"));
    EXPECT_EQ(server.lastChatBody(), Json::parse(R"({"model":"Qwen/Qwen3-14B-MLX-4bit",
        "messages":[{"role":"user","content":"Salut"}],"temperature":0.2,"stream":true,
        "stream_options":{"include_usage":true}})"));

    // The inference was recorded: 9 tokens over the run's latency.
    ASSERT_TRUE(LocalLLMTelemetry::shared().tokPerSecEMA());
    EXPECT_NEAR(*LocalLLMTelemetry::shared().tokPerSecEMA(),
                9.0 / (done.at("result").at("latency_ms").get<double>() / 1000.0), 1e-9);
}

TEST_F(LocalLLMHandlerTest, ToolCallsAreMergedKeptAndGivenDefaults) {
    server.setChatStream(
        SseScript()
            .toolCalls({Fragment{1, QString("call_b"), std::nullopt, QString("search"), QString("{\"q\":")}})
            .toolCalls({Fragment{1, std::nullopt, std::nullopt, std::nullopt, QString("\"x\"}")},
                        Fragment{0, std::nullopt, std::nullopt, QString("open_app"), std::nullopt}})
            .toolCalls({Fragment{2, QString("nameless"), QString("custom"), std::nullopt, QString("{}")}})
            .usage(30, 0)
            .raw("data:[DONE]") // no space: not the marker, reading goes on
            .finish("")
            .done());
    run(kBody);

    EXPECT_TRUE(deltas().isEmpty());
    ASSERT_EQ(final().at("status"), "done");
    const Json c = completion();
    const Json& choice = c.at("choices").at(0);
    EXPECT_EQ(choice.at("finish_reason"), "tool_calls");
    EXPECT_EQ(choice.at("message").at("content"), "");
    const Json& calls = choice.at("message").at("tool_calls");
    ASSERT_EQ(calls.size(), 3u) << calls.dump();
    // Index 0 first; no id: "call_" and 8 upper-case hex digits; no arguments: empty.
    EXPECT_TRUE(
        QRegularExpression("^call_[0-9A-F]{8}$").match(QString::fromStdString(calls[0].at("id"))).hasMatch());
    EXPECT_EQ(calls[0].at("function"), Json::parse(R"({"name":"open_app","arguments":""})"));
    EXPECT_EQ(
        calls[1],
        Json::parse(
            R"({"id":"call_b","type":"function","function":{"name":"search","arguments":"{\"q\":\"x\"}"}})"));
    EXPECT_EQ(calls[2],
              Json::parse(R"({"id":"nameless","type":"custom","function":{"name":"","arguments":"{}"}})"));
    EXPECT_EQ(c.at("usage"), Json::parse(R"({"prompt_tokens":30,"completion_tokens":0,"total_tokens":30})"));
    EXPECT_FALSE(LocalLLMTelemetry::shared().tokPerSecEMA()); // no completion tokens: not recorded

    // A finish reason from the server wins even with tool calls; no usage gives zeros.
    server.setChatStream(
        SseScript()
            .toolCalls({Fragment{std::nullopt, QString("c"), std::nullopt, QString("a"), QString("{")}})
            .toolCalls({Fragment{std::nullopt, std::nullopt, std::nullopt, std::nullopt, QString("}")}})
            .finish("stop")
            .done()
            .content("never read"));
    backend.clearRequests();
    run(kBody);
    const Json c2 = completion();
    EXPECT_EQ(c2.at("choices").at(0).at("finish_reason"), "stop");
    EXPECT_EQ(c2.at("choices").at(0).at("message").at("tool_calls").size(), 1u);
    EXPECT_EQ(c2.at("choices").at(0).at("message").at("tool_calls").at(0).at("function").at("arguments"),
              "{}");
    EXPECT_EQ(c2.at("usage"), Json::parse(R"({"prompt_tokens":0,"completion_tokens":0,"total_tokens":0})"));
    EXPECT_TRUE(deltas().isEmpty());

    // Nothing at all: empty content, "stop", no tool_calls key.
    server.setChatStream(SseScript().done());
    backend.clearRequests();
    run(kBody);
    EXPECT_EQ(completion().at("choices").at(0), Json::parse(R"({"index":0,"finish_reason":"stop",
        "message":{"role":"assistant","content":""}})"));
}

TEST_F(LocalLLMHandlerTest, BodyIsRewrittenForStreamingOnly) {
    using LocalLLMHandler::extractModel;
    using LocalLLMHandler::rewriteBodyForStreaming;
    EXPECT_EQ(extractModel(R"({"model":"org/m"})"), QString("org/m"));
    EXPECT_FALSE(extractModel(R"({"model":3})"));
    EXPECT_FALSE(extractModel(R"(["model"])"));
    EXPECT_FALSE(extractModel("{"));

    const QByteArray rewritten = rewriteBodyForStreaming(
        R"({"stream":false,"stream_options":{"include_usage":false,"x":1},"tools":[{"type":"function"}],"model":"a"})",
        "org/m");
    EXPECT_EQ(
        Json::parse(rewritten.toStdString()),
        Json::parse(
            R"({"stream":true,"stream_options":{"include_usage":true},"tools":[{"type":"function"}],"model":"org/m"})"));
    EXPECT_EQ(rewriteBodyForStreaming(R"([1, 2])", "org/m"), QByteArray("[1, 2]"));
    EXPECT_THROW(rewriteBodyForStreaming("not json", "org/m"), OmbrixError);
    EXPECT_THROW(rewriteBodyForStreaming(QString(QChar(0xD800)) + "{}", "org/m"), OmbrixError);

    // A body model with "/" is used everywhere; an array body is sent as it came.
    server.setChatStream(SseScript().content("ok").done());
    run(R"({"model":"mlx-community/Qwen3-4B-4bit","messages":[]})");
    EXPECT_EQ(server.lastChatBody().at("model"), "mlx-community/Qwen3-4B-4bit");
    EXPECT_EQ(final().at("result").at("model_used"), "mlx-community/Qwen3-4B-4bit");
    EXPECT_EQ(completion().at("model"), "mlx-community/Qwen3-4B-4bit");
    run(R"([{"role":"user"}])");
    EXPECT_EQ(server.chatRequests().last().body, QByteArray(R"([{"role":"user"}])"));
    EXPECT_EQ(final().at("result").at("model_used"), "Qwen/Qwen3-14B-MLX-4bit");
}

TEST_F(LocalLLMHandlerTest, FailuresEndWithOneErrorUpdate) {
    auto onlyError = [&](const QString& body) -> QString {
        backend.clearRequests();
        run(body);
        const QList<Update> all = updates();
        if (all.size() != 1 || all.first().body.at("status") != "error")
            return "unexpected updates: " + QString::number(all.size()) + " " +
                   QString::fromStdString(final().dump());
        return json::qstr(all.first().body.at("error_message"));
    };

    settings.enabled = false;
    EXPECT_EQ(onlyError(kBody), QString("Le LLM local est désactivé dans les Réglages du Mac."));
    settings.enabled = true;
    settings.endpoint = "pas une url";
    EXPECT_EQ(onlyError(kBody), QString("URL du LLM local invalide : pas une url"));
    EXPECT_EQ(server.chatRequests().size(), 0);

    settings.endpoint = server.endpoint();
    EXPECT_EQ(
        onlyError("{ pas du json"),
        QString::fromUtf8(
            "Corps OpenAI invalide : Les données n’ont pas pu être lues, car leur format est incorrect."));
    // A body nested 20,000 levels is refused while it is read (copying it used to
    // overflow the stack).
    EXPECT_EQ(onlyError(R"({"model":"m","messages":)" + QString("[").repeated(20'000) +
                        QString("]").repeated(20'000) + "}"),
              QString::fromUtf8("Corps OpenAI invalide : Les données n’ont pas pu être lues, car elles sont "
                                "trop imbriquées."));
    EXPECT_EQ(server.chatRequests().size(), 0);

    server.setChatError(500, "boom");
    EXPECT_EQ(onlyError(kBody), QString("Serveur local HTTP 500 : boom"));
    server.setChatError(503, "ligne 1\nligne 2\r\nligne 3");
    EXPECT_EQ(onlyError(kBody), QString("Serveur local HTTP 503 : ligne 1ligne 2ligne 3"));
    const QByteArray longLine(5000, 'z');
    server.setChatError(500, longLine);
    EXPECT_EQ(onlyError(kBody), "Serveur local HTTP 500 : " + QString(longLine));

    settings.endpoint = FakeLocalModelServer::closedEndpoint();
    EXPECT_EQ(onlyError(kBody),
              QString("Serveur local injoignable : Impossible de se connecter au serveur."));
}

TEST_F(LocalLLMHandlerTest, AStreamThatFailsAfterItsHeadEndsWithWhatHappened) {
    // The streamed text before the failure stays sent; the run ends with one error.
    auto endOf = [&](const ScriptedResponse& response) -> QString {
        backend.clearRequests();
        server.setChatResponse(response);
        run(kBody);
        const QList<Update> all = updates();
        if (all.size() != 2 || deltas() != QStringList{"a"} || final().at("status") != "error")
            return "unexpected updates: " + QString::number(all.size()) + " " +
                   QString::fromStdString(final().dump());
        return json::qstr(final().at("error_message"));
    };
    const QByteArray first = "data: {\"choices\":[{\"delta\":{\"content\":\"a\"}}]}\n\n";

    EXPECT_EQ(endOf(ScriptedResponse::stream(
                  200, {{0, first}, {0, "data: {\"error\":{\"message\":\"context too long\"}}\n\n"}})),
              QString("Erreur du serveur local : context too long"));

    ScriptedResponse cut = ScriptedResponse::stream(200, {{0, first}, {50, "data: {"}});
    cut.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("100000")));
    EXPECT_EQ(endOf(cut), QString("La connexion au serveur local a été perdue pendant la réponse."));

    // A stream that just stops, with no "[DONE]" and no finish reason, is no result:
    // closed, or cut before the last chunk of a chunked body (inside a tool call's
    // arguments too), however Qt ends the reply.
    EXPECT_EQ(endOf(ScriptedResponse::stream(200, {{0, first}})),
              QString("La réponse du serveur local a été coupée avant sa fin."));
    const QByteArray arguments =
        "data: {\"choices\":[{\"delta\":{\"tool_calls\":[{\"index\":0,\"id\":\"c\",\"function\":"
        "{\"name\":\"open_app\",\"arguments\":\"{\\\"x\\\": \"}}]}}]}\n\n";
    for (const QByteArray& last : {QByteArray(), arguments}) {
        ScriptedResponse chunked = ScriptedResponse::stream(200, {{0, first}, {50, last}});
        chunked.chunkedEncoding = true;
        chunked.cutBeforeLastChunk = true;
        const QString text = endOf(chunked);
        EXPECT_TRUE(text == QString("La réponse du serveur local a été coupée avant sa fin.") ||
                    text == QString("La connexion au serveur local a été perdue pendant la réponse."))
            << text.toStdString();
    }

    // An endless reply ends at the bound instead of holding the bridge.
    QList<QPair<int, QByteArray>> chunks{{0, first}};
    const QByteArray big =
        "data: {\"choices\":[{\"delta\":{\"content\":\"" + QByteArray(512 * 1024, 'b') + "\"}}]}\n\n";
    for (qsizetype sent = 0; sent <= LocalStream::kMaxReplyText; sent += 512 * 1024)
        chunks.append({0, big});
    backend.clearRequests();
    server.setChatResponse(ScriptedResponse::stream(200, chunks));
    run(kBody);
    EXPECT_EQ(json::qstr(final().at("error_message")),
              QString("La réponse du serveur local dépasse 4194304 caractères."));
}

TEST_F(LocalLLMHandlerTest, LostUpdatesAreDroppedAndAFailedResultIsReported) {
    // The backend refuses the second streaming update and then the result.
    int patches = 0;
    backend.routePrefix("PATCH", "/api/v1/bridge/tasks/", [&](const RecordedRequest& r) {
        ++patches;
        if (patches == 2 || json::parse(r.body).at("status") == "done")
            return ScriptedResponse::json(500, R"({"error":"busy"})");
        return ScriptedResponse::json(200, "{}");
    });
    server.setChatStream(
        SseScript().content("un ").content("deux ", 100).content("trois", 100).usage(3, 3).done());
    run(kBody);
    const QList<Update> all = updates();
    // Pieces that arrive while an update is on its way go together in the next one (a
    // slow backend or machine joins "deux " and "trois"): each update carries only newer
    // text, the refused one is not sent again, and the text is whole.
    const QStringList sent = deltas();
    ASSERT_GE(sent.size(), 2) << final().dump();
    EXPECT_EQ(sent.first(), "un ");
    EXPECT_EQ(sent.join(QString()), "un deux trois");
    ASSERT_EQ(all.size(), sent.size() + 2) << final().dump();
    const Json& done = all.at(all.size() - 2).body;
    EXPECT_EQ(done.at("status"), "done");
    EXPECT_EQ(done.at("result").at("model_used"), "Qwen/Qwen3-14B-MLX-4bit");
    const Json& failed = all.last().body;
    ASSERT_EQ(failed.at("status"), "error");
    EXPECT_TRUE(json::qstr(failed.at("error_message")).startsWith("Serveur local injoignable : "))
        << failed.dump();
}

TEST_F(LocalLLMHandlerTest, LogLinesNeverShowTheBodyUnlessAsked) {
    server.setChatStream(SseScript().content("Salut").done());
    const QString secret = "contenu-privé-" + QString(2000, 'x');
    const QString body = R"({"messages":[{"role":"user","content":")" + secret + R"("}]})";
    const QByteArray sent = LocalLLMHandler::rewriteBodyForStreaming(body, settings.model);
    {
        LogCapture capture;
        run(body);
        const QStringList lines = LogCapture::lines();
        ASSERT_EQ(lines.size(), 2) << lines.join("\n").toStdString();
        EXPECT_EQ(lines[0],
                  QString("[LocalLLM] → POST %1/chat/completions model=Qwen/Qwen3-14B-MLX-4bit bytes=%2")
                      .arg(server.endpoint())
                      .arg(sent.size()));
        EXPECT_TRUE(QRegularExpression(
                        R"(^\[LocalLLM\] ← first-token model=Qwen/Qwen3-14B-MLX-4bit ttft=\d+\.\d\ds$)")
                        .match(lines[1])
                        .hasMatch())
            << lines[1].toStdString();
    }
    qputenv("OMBRIX_LOCAL_LLM_DEBUG_BODY", "1");
    {
        LogCapture capture;
        run(body);
        const QString line = LogCapture::lines().value(0);
        const QString text = QString::fromUtf8(sent);
        EXPECT_EQ(
            line,
            QString(
                "[LocalLLM] → POST %1/chat/completions model=Qwen/Qwen3-14B-MLX-4bit bytes=%2 body=%3…[+%4B]")
                .arg(server.endpoint())
                .arg(sent.size())
                .arg(text.left(1500))
                .arg(text.size() - 1500));
    }
    qunsetenv("OMBRIX_LOCAL_LLM_DEBUG_BODY");
}

TEST_F(LocalLLMHandlerTest, TheSessionsSettingsAreReadWhenARunStarts) {
    SecretStore::setShared(std::make_shared<MemorySecretStore>());
    AppSession::resetSharedForTesting();
    AppSession& session = AppSession::shared();
    session.setLocalLLMEndpoint(server.endpoint());
    session.setLocalLLMModel("org/chosen");
    session.setLocalLLMEnabled(false);
    BridgeTask task;
    task.id = "t";
    const BridgeTask::LLMInferArgs args{kBody};
    runTask(LocalLLMHandler::handle(task, args, api));
    EXPECT_EQ(final().at("error_message"), "Le LLM local est désactivé dans les Réglages du Mac.");

    session.setLocalLLMEnabled(true);
    server.setChatStream(SseScript().content("ok").done());
    runTask(LocalLLMHandler::handle(task, args, api));
    EXPECT_EQ(final().at("result").at("model_used"), "org/chosen");
    EXPECT_EQ(server.lastChatBody().at("model"), "org/chosen");
    AppSession::resetSharedForTesting();
}

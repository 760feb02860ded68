#include "localllm/LocalDirectClient.h"
#include "localllm/LocalHttp.h"
#include "support/FakeLocalModelServer.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>

#include <gtest/gtest.h>

using LocalDirectClient::Completion;
using LocalDirectClient::DirectError;
using Fragment = SseScript::ToolFragment;

namespace {
const QByteArray kBody = R"({"model":"m","messages":[{"role":"user","content":"Salut"}],"stream":true})";

Completion stream(const FakeLocalModelServer& server, QStringList* deltas = nullptr) {
    return runTask(LocalDirectClient::streamChatRaw(server.endpoint(), kBody, [deltas](const QString& d) {
        if (deltas)
            deltas->append(d);
    }));
}

std::string dumpCalls(const QList<Json>& calls) {
    Json array = Json::array();
    for (const Json& c : calls)
        array.push_back(c);
    return array.dump();
}
} // namespace

TEST(LocalDirectClient, ProbeIsTrueOnlyFor2xxWithinTheTimeout) {
    FakeLocalModelServer server;
    EXPECT_TRUE(runTask(LocalDirectClient::isReachable(server.endpoint(), 2)));
    EXPECT_EQ(server.lastRequest().path, "/v1/models");
    EXPECT_FALSE(server.lastRequest().hasHeader("X-User-Token"));

    server.setModelsResponse(ScriptedResponse::text(503, "busy"));
    EXPECT_FALSE(runTask(LocalDirectClient::isReachable(server.endpoint(), 2)));
    // Plain concatenation: a trailing "/" gives "//models", which this server does not serve.
    server.setModels({"a/b"});
    EXPECT_FALSE(runTask(LocalDirectClient::isReachable(server.endpoint() + "/", 2)));
    EXPECT_EQ(server.lastRequest().path, "/v1//models");

    EXPECT_FALSE(runTask(LocalDirectClient::isReachable(FakeLocalModelServer::closedEndpoint(), 2)));
    EXPECT_FALSE(runTask(LocalDirectClient::isReachable("::not a url::", 2)));

    ScriptedResponse silent;
    silent.neverAnswer = true;
    server.setModelsResponse(silent);
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(runTask(LocalDirectClient::isReachable(server.endpoint(), 0.3)));
    EXPECT_LT(timer.elapsed(), 1500);
}

TEST(LocalDirectClient, StreamsContentAsItArrivesAndSendsTheBodyUnchanged) {
    FakeLocalModelServer server;
    server.setChatStream(SseScript()
                             .raw(": keep-alive comment")
                             .content("Bon")
                             .content("jour", 300)
                             .raw("event: message")
                             .content("")
                             .content(" à toi")
                             .done());
    QStringList deltas;
    QElapsedTimer timer;
    timer.start();
    qint64 firstAt = -1;
    const Completion c =
        runTask(LocalDirectClient::streamChatRaw(server.endpoint(), kBody, [&](const QString& d) {
            if (deltas.isEmpty())
                firstAt = timer.elapsed();
            deltas.append(d);
        }));
    EXPECT_EQ(c.text, QString("Bonjour à toi"));
    EXPECT_EQ(deltas, (QStringList{"Bon", "jour", " à toi"}));
    EXPECT_TRUE(c.toolCalls.isEmpty());
    // The first fragment was handed over before the rest of the stream came.
    EXPECT_GE(firstAt, 0);
    EXPECT_LT(firstAt, timer.elapsed() - 200);

    const RecordedRequest r = server.chatRequests().last();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.body, kBody);
    EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
    EXPECT_EQ(r.header("Accept"), QByteArray("text/event-stream"));
    EXPECT_FALSE(r.hasHeader("X-User-Token"));
}

TEST(LocalDirectClient, MalformedOrForeignLinesAreSkipped) {
    FakeLocalModelServer server;
    server.setChatStream(SseScript()
                             .raw(R"(data:{"choices":[{"delta":{"content":"no space"}}]})")
                             .raw("data: not json")
                             .raw(R"(data: ["array"])")
                             .raw(R"(data: {"choices":[]})")
                             .raw(R"(data: {"choices":[{"delta":{"content":"x"}}, 3]})")
                             .raw(R"(data: {"choices":[{"delta":"text"}]})")
                             .raw(R"(data: {"choices":[{"delta":{"content":42}}]})")
                             .raw(R"(data: {"choices":[{"delta":{"content":"deep"}}],"x":)" +
                                  QByteArray("[").repeated(12'000) + QByteArray("]").repeated(12'000) + "}")
                             .raw("data:  [DONE]")
                             .raw("data: [DONE] ")
                             .terminator("\r\n")
                             .content("kept")
                             .raw(R"(DATA: {"choices":[{"delta":{"content":"upper"}}]})"));
    QStringList deltas;
    const Completion c = stream(server, &deltas);
    // Without "[DONE]" the end of the body ends the stream normally.
    EXPECT_EQ(c.text, QString("kept"));
    EXPECT_EQ(deltas, QStringList{"kept"});
}

TEST(LocalDirectClient, NothingAfterDoneIsRead) {
    FakeLocalModelServer server;
    server.setChatStream(SseScript().content("avant").done().content("après", 3000));
    QElapsedTimer timer;
    timer.start();
    const Completion c = stream(server);
    EXPECT_EQ(c.text, QString("avant"));
    EXPECT_LT(timer.elapsed(), 2000); // did not wait for the connection to close
}

TEST(LocalDirectClient, ToolCallFragmentsMergeByIndex) {
    FakeLocalModelServer server;
    server.setChatStream(
        SseScript()
            .toolCalls({Fragment{0, QString("call_a"), QString("function"), std::nullopt, std::nullopt}})
            .toolCalls({Fragment{0, std::nullopt, std::nullopt, QString("open_app"), std::nullopt}})
            .toolCalls({Fragment{0, std::nullopt, std::nullopt, std::nullopt, QString(R"({"name":)")}})
            .toolCalls({Fragment{0, std::nullopt, std::nullopt, std::nullopt, QString(R"("Notes"})")}})
            // Index 2 before index 1; index 1 never gets a name and is dropped.
            .toolCalls({Fragment{2, QString("first"), std::nullopt, QString("search"), QString("{}")},
                        Fragment{1, QString("nameless"), std::nullopt, std::nullopt, QString("{\"q\":1}")}})
            .toolCalls({Fragment{2, QString("second"), std::nullopt, std::nullopt, std::nullopt}})
            // Content and a tool call in one event: both taken.
            .event(SseScript::chunkWithDelta(
                Json{{"content", "Je cherche."},
                     {"tool_calls", Json::array({Json{{"index", 3}, {"function", {{"name", "list"}}}}})}}))
            .done());
    const Completion c = stream(server);
    EXPECT_EQ(c.text, QString("Je cherche."));
    ASSERT_EQ(c.toolCalls.size(), 3) << dumpCalls(c.toolCalls);
    EXPECT_EQ(
        c.toolCalls[0].dump(),
        R"({"id":"call_a","type":"function","function":{"name":"open_app","arguments":"{\"name\":\"Notes\"}"}})");
    EXPECT_EQ(c.toolCalls[1].dump(),
              R"({"id":"second","type":"function","function":{"name":"search","arguments":"{}"}})");
    // No id: "call_" and a new upper-case UUID; no arguments: "{}".
    const QString id = QString::fromStdString(c.toolCalls[2].at("id").get<std::string>());
    EXPECT_TRUE(QRegularExpression("^call_[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                    .match(id)
                    .hasMatch())
        << id.toStdString();
    EXPECT_EQ(c.toolCalls[2].at("function").at("arguments"), "{}");
}

TEST(LocalDirectClient, FailuresAreReportedAsTheirKind) {
    auto error = runTaskCatching(LocalDirectClient::streamChatRaw("not a url", kBody, {}));
    EXPECT_EQ(errorText(error), QString("Local server offline: invalid endpoint"));

    error =
        runTaskCatching(LocalDirectClient::streamChatRaw(FakeLocalModelServer::closedEndpoint(), kBody, {}));
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), NetworkError);

    FakeLocalModelServer server;
    const QByteArray longLine(600, 'e');
    server.setChatError(500, longLine);
    error = runTaskCatching(LocalDirectClient::streamChatRaw(server.endpoint(), kBody, {}));
    EXPECT_EQ(errorText(error), QString("Local server HTTP 500: ") + QString(longLine));

    // Statuses Qt reports with codes of its own are answers too, not network failures.
    for (int status : {400, 407, 418}) {
        server.setChatError(status, "bad");
        error = runTaskCatching(LocalDirectClient::streamChatRaw(server.endpoint(), kBody, {}));
        EXPECT_EQ(errorText(error), QString("Local server HTTP %1: bad").arg(status));
    }

    // Many short lines: reading stops once 501 characters have gathered.
    QByteArray lines;
    for (int i = 0; i < 20; ++i)
        lines += QByteArray(99, char('a' + i)) + "\n";
    server.setChatError(422, lines);
    error = runTaskCatching(LocalDirectClient::streamChatRaw(server.endpoint(), kBody, {}));
    ASSERT_TRUE(error);
    try {
        std::rethrow_exception(error);
    } catch (const DirectError& e) {
        EXPECT_EQ(e.kind(), DirectError::Kind::HttpError);
        EXPECT_EQ(e.status(), 422);
        EXPECT_EQ(e.text().size(), 6 * 99);
        EXPECT_TRUE(e.text().endsWith(QString(99, 'f')));
    }
}

TEST(LocalDirectClient, AnOverlongLineEndsTheReadWithAnError) {
    FakeLocalModelServer server;
    const QByteArray huge = "data: " + QByteArray(LocalHttp::ReplyReader::kDefaultMaxLine + 10, 'x');
    QList<QPair<int, QByteArray>> chunks;
    chunks.append({0, "data: {\"choices\":[{\"delta\":{\"content\":\"ok\"}}]}\n\n"});
    for (qsizetype at = 0; at < huge.size(); at += 256 * 1024)
        chunks.append({0, huge.mid(at, 256 * 1024)});
    chunks.append({0, "\n\n"});
    server.setChatResponse(ScriptedResponse::stream(200, chunks));
    QStringList deltas;
    auto error = runTaskCatching(LocalDirectClient::streamChatRaw(
        server.endpoint(), kBody, [&](const QString& d) { deltas.append(d); }));
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), LocalHttp::LineTooLongError);
    EXPECT_EQ(deltas, QStringList{"ok"}); // what came before stays delivered
}

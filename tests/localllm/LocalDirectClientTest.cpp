#include "localllm/LocalDirectClient.h"
#include "localllm/LocalHttp.h"
#include "localllm/LocalStream.h"
#include "support/FakeLocalModelServer.h"
#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTimer>

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
    // A listing past the probe's bound is not read to its end.
    server.setModelsResponse(ScriptedResponse::json(200, QByteArray(LocalHttp::kMaxProbeBody + 1, ' ')));
    EXPECT_FALSE(runTask(LocalDirectClient::isReachable(server.endpoint(), 2)));
    EXPECT_FALSE(runTask(LocalDirectClient::isReachable("::not a url::", 2)));

    ScriptedResponse silent;
    silent.neverAnswer = true;
    server.setModelsResponse(silent);
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(runTask(LocalDirectClient::isReachable(server.endpoint(), 0.3)));
    EXPECT_LT(timer.elapsed(), 30000); // the server never answers
}

TEST(LocalDirectClient, StreamsContentAsItArrivesAndSendsTheBodyUnchanged) {
    // The rest of the stream goes once the first fragment was handed over (or after
    // 10 s, to a client that keeps it to the end). Made before the server, which asks
    // the gate below.
    QStringList deltas;
    qsizetype shownBeforeTheRest = -1;
    QDeadlineTimer giveUp;
    FakeLocalModelServer server;
    ScriptedResponse stream = ScriptedResponse::stream(200, SseScript()
                                                                .raw(": keep-alive comment")
                                                                .content("Bon")
                                                                .content("jour")
                                                                .raw("event: message")
                                                                .content("")
                                                                .content(" à toi")
                                                                .done()
                                                                .chunks());
    stream.sendWhen = [&](qsizetype piece) {
        if (piece == 0)
            giveUp.setRemainingTime(10000);
        if (piece != 2)
            return true;
        if (deltas.isEmpty() && !giveUp.hasExpired())
            return false;
        shownBeforeTheRest = deltas.size();
        return true;
    };
    server.setChatResponse(stream);
    const Completion c = runTask(LocalDirectClient::streamChatRaw(
        server.endpoint(), kBody, [&](const QString& d) { deltas.append(d); }));
    EXPECT_EQ(c.text, QString("Bonjour à toi"));
    EXPECT_EQ(deltas, (QStringList{"Bon", "jour", " à toi"}));
    EXPECT_TRUE(c.toolCalls.isEmpty());
    // The first fragment was handed over before the rest of the stream came.
    EXPECT_EQ(shownBeforeTheRest, 1);

    const RecordedRequest r = server.chatRequests().last();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.body, kBody);
    EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
    EXPECT_EQ(r.header("Accept"), QByteArray("text/event-stream"));
    EXPECT_FALSE(r.hasHeader("X-User-Token"));
}

TEST(LocalDirectClient, MalformedOrForeignLinesAreSkipped) {
    FakeLocalModelServer server;
    SseScript script = SseScript()
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
                           .raw(R"(DATA: {"choices":[{"delta":{"content":"upper"}}]})");
    // None of these lines is the end marker: the body just stops, and that is a cut.
    server.setChatStream(script);
    QStringList deltas;
    const auto error = runTaskCatching(LocalDirectClient::streamChatRaw(
        server.endpoint(), kBody, [&deltas](const QString& d) { deltas.append(d); }));
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), LocalStream::StreamCutError);
    EXPECT_EQ(errorText(error), QString("La réponse du serveur local a été coupée avant sa fin."));
    EXPECT_EQ(deltas, QStringList{"kept"});

    server.setChatStream(script.done());
    deltas.clear();
    const Completion c = stream(server, &deltas);
    EXPECT_EQ(c.text, QString("kept"));
    EXPECT_EQ(deltas, QStringList{"kept"});
}

TEST(LocalDirectClient, NothingAfterDoneIsRead) {
    FakeLocalModelServer server;
    server.setChatStream(SseScript().content("avant").done().content("après", 90000));
    QElapsedTimer timer;
    timer.start();
    const Completion c = stream(server);
    EXPECT_EQ(c.text, QString("avant"));
    EXPECT_LT(timer.elapsed(), 45000); // did not wait for the connection to close
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

namespace {
QByteArray contentEvent(const QByteArray& escapedText) {
    return "data: {\"choices\":[{\"delta\":{\"content\":\"" + escapedText + "\"}}]}\n\n";
}
} // namespace

TEST(LocalDirectClient, HalvesOfASurrogatePairSplitBetweenEventsAreJoined) {
    struct Case {
        QList<QByteArray> contents; // escaped JSON text of each event's content
        QString text;
    };
    const QString grin = QString::fromUtf8("\xF0\x9F\x98\x80");
    const QString bad = QString(QChar(0xFFFD));
    const QList<Case> cases = {
        {{"x\\ud83d", "\\ude00y"}, "x" + grin + "y"},
        {{"\\ud83d", "\\uDE00"}, grin},
        {{"\\ud83d\\ude00", "z"}, grin + "z"},             // a whole pair is left alone
        {{"a\\ud83d", "b", "\\ude00c"}, "ab" + bad + "c"}, // the half waits for the next event only
        {{"\\ude00q"}, bad + "q"},                         // a second half alone
        {{"\\ud83dq"}, bad + "q"},                         // a first half inside a string
        {{"\\\\ud83d"}, "\\ud83d"},                        // an escaped backslash, not an escape
    };
    for (const Case& c : cases) {
        FakeLocalModelServer server;
        QList<QPair<int, QByteArray>> chunks;
        for (const QByteArray& content : c.contents)
            chunks.append({0, contentEvent(content)});
        chunks.append({0, "data: [DONE]\n\n"});
        server.setChatResponse(ScriptedResponse::stream(200, chunks));
        EXPECT_EQ(stream(server).text, c.text) << c.contents.join(" | ").constData();
    }
}

TEST(LocalDirectClient, StreamsThatFailMidReplySayHow) {
    auto failure = [](const ScriptedResponse& response, QStringList* deltas) {
        FakeLocalModelServer server;
        server.setChatResponse(response);
        return runTaskCatching(LocalDirectClient::streamChatRaw(
            server.endpoint(), kBody, [deltas](const QString& d) { deltas->append(d); }));
    };
    QStringList deltas;

    // An error event without choices, as servers report a failure after the head.
    auto error = failure(ScriptedResponse::stream(
                             200, {{0, contentEvent("a")},
                                   {0, "data: {\"error\":{\"message\":\"out of memory\",\"code\":500}}\n\n"},
                                   {0, contentEvent("never")}}),
                         &deltas);
    EXPECT_EQ(errorText(error), QString("Local server error: out of memory"));
    EXPECT_EQ(deltas, QStringList{"a"});
    // Without a message the object is shown; with choices the event is an ordinary one.
    deltas.clear();
    error = failure(ScriptedResponse::stream(200, {{0, "data: {\"error\":{\"code\":7},\"choices\":[]}\n\n"}}),
                    &deltas);
    EXPECT_EQ(errorText(error), QString("Local server error: {\"code\":7}"));
    // A long message is cut to 500 whole characters: an emoji after Thai text stays whole.
    const QString thai = QString(499, QChar(0x0E44)) + QStringLiteral("😀");
    error = failure(ScriptedResponse::stream(
                        200, {{0, "data: {\"error\":{\"message\":\"" + (thai + "x").toUtf8() + "\"}}\n\n"}}),
                    &deltas);
    EXPECT_EQ(errorText(error), "Local server error: " + thai);
    error = failure(
        ScriptedResponse::stream(
            200, {{0, "data: {\"error\":{\"code\":7},\"choices\":[{\"delta\":{\"content\":\"b\"}}]}\n\n"},
                  {0, "data: [DONE]\n\n"}}),
        &deltas);
    EXPECT_FALSE(error);
    EXPECT_EQ(deltas, QStringList{"b"});

    // The connection breaks before the announced length has come.
    deltas.clear();
    ScriptedResponse cut = ScriptedResponse::stream(200, {{0, contentEvent("c")}, {50, "data: {\"cho"}});
    cut.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("100000")));
    error = failure(cut, &deltas);
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), LocalHttp::ConnectionLostError);
    EXPECT_EQ(errorText(error), QString("La connexion au serveur local a été perdue pendant la réponse."));
    EXPECT_EQ(deltas, QStringList{"c"});

    // A chunked body whose last chunk never comes: cut mid-text or inside a tool
    // call's arguments, it is a failure whether Qt reports the close or not, and the
    // call never reaches the caller. After a finish reason the answer is whole.
    const Json arguments = SseScript::chunkWithDelta(
        Json{{"tool_calls",
              Json::array({Json{{"index", 0},
                                {"id", "call_1"},
                                {"function", {{"name", "open_app"}, {"arguments", "{\"x\": "}}}}})}});
    for (const QByteArray& last :
         {contentEvent("d"), "data: " + QByteArray::fromStdString(arguments.dump()) + "\n\n"}) {
        ScriptedResponse chunked = ScriptedResponse::stream(200, {{0, contentEvent("c")}, {50, last}});
        chunked.chunkedEncoding = true;
        chunked.cutBeforeLastChunk = true;
        deltas.clear();
        error = failure(chunked, &deltas);
        ASSERT_TRUE(error);
        const QString text = errorText(error);
        EXPECT_TRUE(text == QString("La réponse du serveur local a été coupée avant sa fin.") ||
                    text == QString("La connexion au serveur local a été perdue pendant la réponse."))
            << text.toStdString();
    }
    ScriptedResponse finished = ScriptedResponse::stream(
        200,
        {{0, contentEvent("e")},
         {50, "data: " + QByteArray::fromStdString(SseScript::chunkWithDelta(Json::object(), "stop").dump()) +
                  "\n\n"}});
    finished.chunkedEncoding = true;
    finished.cutBeforeLastChunk = true;
    deltas.clear();
    EXPECT_FALSE(failure(finished, &deltas));
    EXPECT_EQ(deltas, QStringList{"e"});

    // Text past the bound of one reply, content and tool-call arguments together.
    const qsizetype piece = 256 * 1024;
    QList<QPair<int, QByteArray>> chunks;
    for (qsizetype sent = 0; sent <= LocalStream::kMaxReplyText / 2; sent += piece)
        chunks.append({0, contentEvent(QByteArray(piece, 't'))});
    const Json call = SseScript::chunkWithDelta(Json{
        {"tool_calls",
         Json::array({Json{{"index", 0},
                           {"function", {{"name", "open_app"}, {"arguments", std::string(piece, 'u')}}}}})}});
    for (qsizetype sent = 0; sent <= LocalStream::kMaxReplyText / 2; sent += piece)
        chunks.append({0, "data: " + QByteArray::fromStdString(call.dump()) + "\n\n"});
    deltas.clear();
    error = failure(ScriptedResponse::stream(200, chunks), &deltas);
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), LocalStream::ReplyTooLongError);
    EXPECT_EQ(errorText(error), QString("La réponse du serveur local dépasse 4194304 caractères."));
}

TEST(LocalDirectClient, ALineAtTheLimitIsTakenWhereverItsTerminatorFalls) {
    // A content event exactly as long as the line limit, ended by CR LF; the CR is
    // the last byte of one read, the LF the first of the next.
    const QByteArray head = "data: {\"choices\":[{\"delta\":{\"content\":\"";
    const QByteArray tail = "\"}}]}";
    const qsizetype fill = LocalHttp::ReplyReader::kDefaultMaxLine - head.size() - tail.size();
    const QByteArray line = head + QByteArray(fill, 'k') + tail;
    ASSERT_EQ(line.size(), LocalHttp::ReplyReader::kDefaultMaxLine);
    for (const QByteArray& end : {QByteArray("\r"), QByteArray("\n")}) {
        FakeLocalModelServer server;
        server.setChatResponse(ScriptedResponse::stream(
            200, {{0, line + end}, {200, end == "\r" ? "\n\r\n" : "\n"}, {0, "data: [DONE]\n\n"}}));
        EXPECT_EQ(stream(server).text.size(), fill);
    }
}

namespace {
// A reply whose whole body has already arrived: nothing makes its reader wait.
std::unique_ptr<LocalHttp::ReplyReader> finishedReply(ScriptedHttpServer& server, const QByteArray& body) {
    server.route("GET", "/body", ScriptedResponse::text(200, body));
    HttpRequest request;
    request.url = QUrl(server.baseUrl() + "/body");
    auto reader = std::make_unique<LocalHttp::ReplyReader>(LocalHttp::start(request, 0));
    runTask(reader->waitForFinished());
    return reader;
}

QCoro::Task<int> countLines(LocalHttp::ReplyReader& reader, const bool& stopWhen) {
    int lines = 0;
    while (!stopWhen) {
        const std::optional<QByteArray> line = co_await reader.nextLine();
        if (!line)
            break;
        ++lines;
    }
    co_return lines;
}
} // namespace

TEST(LocalHttpReader, ReadingGivesTheEventLoopItsTurnAndBoundsTheBacklog) {
    ScriptedHttpServer server(false);
    const int total = 80000;
    QByteArray body;
    for (int i = 0; i < total; ++i)
        body += QByteArray(99, 'l') + "\n";
    auto reader = finishedReply(server, body);
    // A zero timer armed before reading fires while lines are still being read.
    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    const int read = runTask(countLines(*reader, fired));
    EXPECT_TRUE(fired);
    EXPECT_LT(read, total);

    // More than the backlog bound received and unread: the reader gives up.
    auto flooded = finishedReply(server, QByteArray(LocalHttp::ReplyReader::kMaxBacklog + 1, '\n'));
    const auto error = runTaskCatching(flooded->nextLine());
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), LocalHttp::BacklogError);
}

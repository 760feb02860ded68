#include "session/ServerSentEvents.h"
#include "session/APIError.h"
#include "session/APIService.h"

#include <QRandomGenerator>
#include <QStringList>

#include <gtest/gtest.h>

namespace {
struct Outcome {
    QString text;
    std::optional<qint64> discussionId;
    QStringList deltas;
};

// Feeds the stream in pieces of the given size (0: all at once).
Outcome run(const QByteArray& stream, qsizetype pieceSize = 0) {
    Outcome outcome;
    ChatEventStream events([&](const QString& piece) { outcome.deltas.append(piece); });
    if (pieceSize <= 0)
        pieceSize = std::max<qsizetype>(stream.size(), 1);
    for (qsizetype at = 0; at < stream.size(); at += pieceSize)
        events.feed(QByteArrayView(stream).sliced(at, std::min(pieceSize, stream.size() - at)));
    outcome.text = events.text();
    outcome.discussionId = events.discussionId();
    return outcome;
}

QString collect(const QByteArray& body, qsizetype pieceSize = 0) {
    ErrorBodyCollector collector;
    if (pieceSize <= 0)
        pieceSize = std::max<qsizetype>(body.size(), 1);
    for (qsizetype at = 0; at < body.size() && !collector.done(); at += pieceSize)
        collector.feed(QByteArrayView(body).sliced(at, std::min(pieceSize, body.size() - at)));
    collector.finish();
    return collector.text();
}
} // namespace

TEST(ServerSentEvents, ChatEventsMakeTheReply) {
    const QByteArray stream = "event: initial\ndata: {\"discussion_id\": 41}\n\n"
                              "data: Bon\n\n"
                              "data: jour\n\n"
                              "event: message\ndata: !\n\n"
                              "event: final\ndata: {\"discussion_id\": 42}\n\n";
    // The same outcome whatever the pieces the bytes arrive in.
    for (qsizetype piece : {0, 1, 2, 3, 7}) {
        const Outcome o = run(stream, piece);
        EXPECT_EQ(o.text, "Bonjour!") << piece;
        EXPECT_EQ(o.deltas, QStringList({"Bon", "jour", "!"})) << piece;
        EXPECT_EQ(o.discussionId, 42) << piece;
    }
    // Line ends of every kind, a CRLF split between two pieces counting once.
    QByteArray crlf = stream;
    crlf.replace("\n", "\r\n");
    EXPECT_EQ(run(crlf, 1).deltas, QStringList({"Bon", "jour", "!"}));
    QByteArray cr = stream;
    cr.replace("\n", "\r");
    EXPECT_EQ(run(cr, 2).text, "Bonjour!");
}

TEST(ServerSentEvents, FinalTextAndDiscussionRules) {
    EXPECT_EQ(run("data: a\n\nevent: final\ndata: {\"text\":\"\",\"response_message\":\"Salut\"}\n\n").text,
              "Salut");
    EXPECT_EQ(run("event: final\ndata: {\"text\":\"T\",\"response_message\":\"R\"}\n\n").text, "T");
    EXPECT_EQ(run("data: a\n\nevent: final\ndata: {\"text\":7,\"response_message\":\"\"}\n\n").text, "a");
    // Malformed payloads are skipped: the streamed text and no announced id remain.
    Outcome o = run("event: initial\ndata: {oops\n\ndata: x\n\nevent: final\ndata: [1]\n\n");
    EXPECT_EQ(o.text, "x");
    EXPECT_EQ(o.discussionId, std::nullopt);
    EXPECT_EQ(run("event: initial\ndata: {\"discussion_id\":\"5\"}\n\n").discussionId, std::nullopt);
    EXPECT_EQ(run("event: initial\ndata: {\"discussion_id\":5.5}\n\n").discussionId, std::nullopt);
    // A later "initial" replaces an earlier "final" announcement too: last one wins.
    EXPECT_EQ(
        run("event: final\ndata: {\"discussion_id\":1}\n\nevent: initial\ndata: {\"discussion_id\":2}\n\n")
            .discussionId,
        2);
    // Event names are exact: "Final" is nobody's.
    EXPECT_EQ(run("data: a\n\nevent: Final\ndata: {\"text\":\"no\"}\n\n").text, "a");
}

TEST(ServerSentEvents, LineRules) {
    // Two data lines make one piece joined by a line feed; a piece added to an
    // empty buffer takes its place, so an empty first piece leaves no line feed.
    EXPECT_EQ(run("data: a\ndata: b\n\n").deltas, QStringList({"a\nb"}));
    EXPECT_EQ(run("data: \ndata: b\n\n").deltas, QStringList({"b"}));
    EXPECT_EQ(run("data: \ndata: \ndata: c\ndata: \n\n").deltas, QStringList({"c\n"}));
    // A data line without its blank is ignored; an event line without it too,
    // so the "final" meant here is dispatched as a message.
    Outcome o = run("data:x\ndata: y\n\nevent:final\ndata: {\"text\":\"F\"}\n\n");
    EXPECT_EQ(o.deltas, QStringList({"y", "{\"text\":\"F\"}"}));
    EXPECT_EQ(o.text, "y{\"text\":\"F\"}");
    // Comments, ids and retries are ignored; the event name is not trimmed.
    EXPECT_EQ(run(": ping\nid: 3\nretry: 10\ndata: z\n\n").deltas, QStringList({"z"}));
    EXPECT_EQ(run("event: final \ndata: {\"text\":\"F\"}\n\n").text, "");
    // Two empty lines in a row: an empty message piece, the text unchanged.
    o = run("data: a\n\n\n");
    EXPECT_EQ(o.deltas, QStringList({"a", ""}));
    EXPECT_EQ(o.text, "a");
    // A stream that ends without the empty line drops its last event.
    o = run("data: a\n\ndata: b\n");
    EXPECT_EQ(o.deltas, QStringList({"a"}));
    EXPECT_EQ(o.text, "a");
    // The data after "data: " is kept as sent, blanks included; the event resets.
    EXPECT_EQ(run("event: initial\n\ndata:  spaced \n\n").deltas, QStringList({" spaced "}));
}

TEST(ServerSentEvents, UnicodeSurvivesAnySplit) {
    const QByteArray stream = QString("data: é漢🙂\n\n").toUtf8();
    for (qsizetype piece = 1; piece < 6; ++piece)
        EXPECT_EQ(run(stream, piece).text, QString("é漢🙂")) << piece;
    // Invalid bytes become replacement characters rather than failing.
    EXPECT_EQ(run("data: a\xff\n\n").text, QString("a") + QChar(0xFFFD));
}

TEST(ServerSentEvents, EndlessLinesAndEventsEndTheRead) {
    ChatEventStream events;
    const QByteArray block(64 * 1024, 'a');
    events.feed("data: ");
    bool threw = false;
    try {
        for (int i = 0; i < 20; ++i)
            events.feed(block);
    } catch (const APIError& e) {
        threw = e.kind() == APIError::Kind::Decoding;
    }
    EXPECT_TRUE(threw);

    // Many short data lines without the empty line: bounded as well.
    ChatEventStream many;
    QByteArray lines;
    for (int i = 0; i < 1000; ++i)
        lines += "data: " + QByteArray(1000, 'b') + "\n";
    EXPECT_THROW(
        {
            for (int i = 0; i < 10; ++i)
                many.feed(lines);
        },
        APIError);

    // Just under the line limit is fine.
    Outcome o = run("data: " + QByteArray(ServerSentEventReader::kMaxLineBytes - 6, 'c') + "\n\n", 4096);
    EXPECT_EQ(o.text.size(), ServerSentEventReader::kMaxLineBytes - 6);
}

TEST(ServerSentEvents, RandomAndTruncatedInputNeverCrashes) {
    QRandomGenerator random(1234);
    const QByteArray valid = "event: initial\ndata: {\"discussion_id\": 9}\n\ndata: x\n\nevent: final\n"
                             "data: {\"text\":\"fin\"}\n\n";
    for (int round = 0; round < 300; ++round) {
        QByteArray bytes(random.bounded(1, 600), '\0');
        for (auto& b : bytes)
            b = static_cast<char>(random.bounded(256));
        // Sprinkle structure so that events are actually dispatched.
        if (round % 2)
            bytes.insert(random.bounded(bytes.size()), valid.left(random.bounded(valid.size())));
        try {
            run(bytes, random.bounded(1, 40));
        } catch (const APIError&) {
        }
    }
    for (qsizetype cut = 0; cut < valid.size(); ++cut)
        run(valid.left(cut), 3);
    EXPECT_EQ(run(valid).text, "fin");
}

TEST(ServerSentEvents, ErrorBodyStopsAfterTheLineReaching501Characters) {
    EXPECT_EQ(collect(""), "");
    EXPECT_EQ(collect("panne\r\nmoteur"), "pannemoteur");
    // One 2,000-character line is kept whole: the cap applies after each line.
    const QByteArray longLine(2000, 'x');
    EXPECT_EQ(collect(longLine + "\nsuite"), QString(longLine));
    // Many short lines stop after the line that reaches 501 characters.
    QByteArray lines;
    for (int i = 0; i < 100; ++i)
        lines += "0123456789\n";
    EXPECT_EQ(collect(lines, 7).size(), 510);
    // Characters, not bytes: 500 "é" and one more line.
    QByteArray accents;
    for (int i = 0; i < 50; ++i)
        accents += QString("éééééééééé\n").toUtf8();
    accents += "last\nnot read\n";
    EXPECT_EQ(collect(accents), QString("é").repeated(500) + "last");
    // A single endless line ends at 64 KiB, cut on a character boundary.
    QByteArray endless = QString("é").repeated(40000).toUtf8();
    const QString cut = collect(endless, 1000);
    EXPECT_EQ(cut, QString("é").repeated(ErrorBodyCollector::kMaxBytes / 2));
    // The 64 KiB cut falling inside a character drops that character whole.
    EXPECT_EQ(collect("a" + endless, 999),
              "a" + QString("é").repeated(ErrorBodyCollector::kMaxBytes / 2 - 1));
    // So does a cut between a letter and its accent, wherever the pieces end.
    const QByteArray accented = QString("e\u0301").repeated(30000).toUtf8();
    for (int piece : {1000, 1024})
        EXPECT_EQ(collect(accented, piece), QString("e\u0301").repeated(ErrorBodyCollector::kMaxBytes / 3));
}

TEST(ServerSentEvents, ErrorBodyReadEndsAt64KiBWhateverItsLines) {
    // Line breaks alone never reach 501 characters: the byte count still ends the read.
    ErrorBodyCollector collector;
    const QByteArray breaks(4096, '\n');
    qsizetype fed = 0;
    while (!collector.done() && fed < 10 * ErrorBodyCollector::kMaxBytes) {
        collector.feed(breaks);
        fed += breaks.size();
    }
    EXPECT_TRUE(collector.done());
    EXPECT_LE(fed, ErrorBodyCollector::kMaxBytes + breaks.size());
    EXPECT_EQ(collector.text(), "");

    // Short lines are kept up to the limit, and the unfinished one's start with them.
    QByteArray body(ErrorBodyCollector::kMaxBytes - 3, '\n');
    body += "panne sans fin";
    EXPECT_EQ(collect(body, 1000), "pan");
}

TEST(ServerSentEvents, ANestingBombIsIgnoredLikeAnyTextThatIsNotAnObject) {
    const QByteArray bomb = QByteArray("[").repeated(12'000) + QByteArray("]").repeated(12'000);
    const QByteArray deepObject = "{\"discussion_id\": 7, \"x\": " + bomb + "}";
    const QByteArray stream = "event: initial\ndata: " + deepObject + "\n\n" + "data: Bon\n\n" +
                              "event: final\ndata: " + deepObject + "\n\n";
    const Outcome o = run(stream);
    EXPECT_EQ(o.text, "Bon");
    EXPECT_EQ(o.discussionId, std::nullopt);
    // An error body: not JSON that can be read, so its text is the message.
    const QByteArray body = "{\"message\":\"m\",\"x\":" + bomb + "}";
    EXPECT_EQ(APIService::parsedErrorBody(body), QString::fromLatin1(body));
}

// The realtime client against the fake backend's session route and a fake
// realtime service; the realtime screen's table and taps; the real sound path.
#include "VoiceFixture.h"
#include "platform/AuthFailureNotifier.h"
#include "support/FakeRealtimeServer.h"
#include "voice/RealtimeClient.h"
#include "voice/RealtimeController.h"
#include "voice/widgets/RealtimeView.h"
#include "voice/widgets/VoiceOrb.h"

#include <QLabel>
#include <QScrollArea>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using Kind = RealtimeClient::State::Kind;
const PcmFormat k24k{24000, 1};

class Realtime : public VoiceFixture {
protected:
    void SetUp() override {
        VoiceFixture::SetUp();
        sessionAnswer = ScriptedResponse::json(
            201,
            json::dump(Json{{"ws_url", json::str(service.url().toString())}, {"ephemeral_token", "eph-1"}}));
        backend.route("POST", QStringLiteral("/api/v1/realtime_sessions"),
                      [this](const RecordedRequest&) { return sessionAnswer; });
    }

    // Starts the client and waits until it listens on a new connection.
    void startListening(RealtimeClient& client, int connection) {
        auto task = client.start("rt", "alloy");
        ASSERT_TRUE(spinUntil([&] { return client.state().kind == Kind::Listening; }));
        ASSERT_TRUE(service.waitForConnections(connection));
        ASSERT_TRUE(
            spinUntil([&] { return service.last()->socket->state() == QAbstractSocket::ConnectedState; }));
        // The client's side is open too once the microphone's audio comes in.
        ASSERT_TRUE(spinUntil([&] { return !appendedAudio(service.last()).isEmpty(); }));
    }

    QList<QByteArray> appendedAudio(const FakeRealtimeServer::Connection* c) const {
        QList<QByteArray> out;
        for (const QString& text : c->texts) {
            const Json v = json::parse(text.toUtf8());
            if (v["type"] == "input_audio_buffer.append")
                out.append(QByteArray::fromBase64(json::qstr(v["audio"]).toLatin1()));
        }
        return out;
    }

    FakeRealtimeServer service;
    ScriptedResponse sessionAnswer;
};

} // namespace

TEST_F(Realtime, SessionCallAndItsFailures) {
    RealtimeClient client;
    int notices = 0;
    QObject::connect(&AuthFailureNotifier::shared(), &AuthFailureNotifier::authFailure,
                     [&](const QString& token) { notices += token == "rt" ? 1 : 0; });
    ScriptedResponse dropped;
    dropped.closeWithoutAnswer = true;
    struct Case {
        ScriptedResponse answer;
        QString failure;
    } cases[] = {
        {ScriptedResponse::json(401, "{}"), "Session refusée (HTTP 401)"},
        {ScriptedResponse::text(503, "indisponible"), "Session refusée (HTTP 503)"},
        {dropped, ""},
        {ScriptedResponse::json(200, R"({"ws_url": "", "ephemeral_token": "e"})"),
         "Réponse /realtime_sessions invalide"},
        {ScriptedResponse::json(200, R"([{"ws_url": "ws://x", "ephemeral_token": "e"}])"),
         "Réponse /realtime_sessions invalide"},
        {ScriptedResponse::json(200, "{}"), "Réponse /realtime_sessions invalide"},
        {ScriptedResponse::json(200, R"({"ws_url": "ws://127.0.0.1:1/x"})"),
         "Réponse /realtime_sessions invalide"},
        {ScriptedResponse::json(200, R"({"ws_url": 5, "ephemeral_token": "e"})"),
         "Réponse /realtime_sessions invalide"},
        {ScriptedResponse::json(200, R"({"ws_url": "ws://x y/%zz", "ephemeral_token": "e"})"),
         "Réponse /realtime_sessions invalide"},
        {ScriptedResponse::json(200, "not json"), ""},
    };
    for (const Case& c : cases) {
        sessionAnswer = c.answer;
        QList<Kind> states;
        auto connection = QObject::connect(&client, &RealtimeClient::stateChanged,
                                           [&] { states.append(client.state().kind); });
        runTask(client.start("rt", "verse"));
        QObject::disconnect(connection);
        EXPECT_EQ(client.state(), RealtimeClient::State::idle()) << c.failure.toStdString();
        EXPECT_EQ(states, (QList<Kind>{Kind::Connecting, Kind::Idle}));
        EXPECT_EQ(c.failure.isEmpty() ? QString() : client.failure(), c.failure);
        EXPECT_FALSE(client.failure().isEmpty());
    }
    EXPECT_EQ(notices, 1);
    EXPECT_TRUE(service.connections().isEmpty());
    EXPECT_EQ(devices->inputsOpened, 0);

    // What was asked: the exact body and headers.
    const RecordedRequest r = requestsTo("/api/v1/realtime_sessions").last();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
    EXPECT_EQ(r.header("X-User-Token"), QByteArray("rt"));
    EXPECT_EQ(json::parse(r.body), (Json{{"provider", "openai"},
                                         {"voice", "verse"},
                                         {"channel", "realtime_desktop"},
                                         {"product_context", "ombrix"},
                                         {"surface", "ombrix_desktop"},
                                         {"agent_slug", "assistant"},
                                         {"proactive_mode", "suggestions"}}));
}

TEST_F(Realtime, ConversationOverTheSocket) {
    RealtimeClient client;
    startListening(client, 1);
    FakeRealtimeServer::Connection* c = service.last();
    EXPECT_EQ(c->request.rawHeader("Authorization"), "Bearer eph-1");
    EXPECT_EQ(c->request.rawHeader("OpenAI-Beta"), "realtime=v1");

    // One session.update per connection, on the first session.created.
    service.sendText(R"({"type":"session.created"})");
    service.sendText(R"({"type":"session.created"})");
    ASSERT_TRUE(spinUntil([&] { return service.receivedTypes().contains("session.update"); }));
    spinFor(200); // and no second one
    EXPECT_EQ(service.receivedTypes().count("session.update"), 1);
    for (const QString& text : c->texts) {
        if (!text.contains("session.update"))
            continue;
        EXPECT_EQ(json::parse(text.toUtf8()), json::parse(R"({"type":"session.update","session":{
                "modalities":["text","audio"],"input_audio_format":"pcm16","output_audio_format":"pcm16",
                "input_audio_transcription":{"model":"gpt-4o-mini-transcribe"},
                "turn_detection":{"type":"server_vad","threshold":0.5,"prefix_padding_ms":300,
                "silence_duration_ms":500}}})"));
    }
    EXPECT_TRUE(json::parse(RealtimeClient::sessionUpdateMessage())["session"]["turn_detection"]["threshold"]
                    .is_number_float());

    // The microphone goes out as 24 kHz mono PCM16, piece by piece.
    ASSERT_TRUE(spinUntil([&] { return appendedAudio(c).size() >= 3; }));
    EXPECT_EQ(appendedAudio(c)[0], sinePcm(k24k, 440, 0.5, 20));

    // Server events, in order, with the state and texts after each.
    struct Step {
        QByteArray event;
        bool binary;
        Kind state;
        qint64 frames; // scheduled so far
        QString assistant;
        QString user;
    } steps[] = {
        {R"({"type":"response.audio.delta","delta":"AAAAAA=="})", false, Kind::Speaking, 2, "", ""},
        {R"({"type":"response.audio.done"})", false, Kind::Listening, 2, "", ""},
        {R"({"type":"response.audio.done"})", false, Kind::Listening, 2, "", ""},
        {R"({"type":"response.audio.delta","delta":"AQ=="})", false, Kind::Speaking, 2, "", ""}, // 1 byte
        {R"({"type":"response.audio.delta","delta":"/38A"})", false, Kind::Speaking, 3, "", ""}, // 3 bytes
        {R"({"type":"response.audio.delta","delta":"AA AA"})", false, Kind::Speaking, 3, "", ""},
        {R"({"type":"response.audio.delta","delta":7})", false, Kind::Speaking, 3, "", ""},
        {R"({"type":"response.audio_transcript.delta","delta":"Bon"})", false, Kind::Speaking, 3, "Bon", ""},
        {R"({"type":"response.audio_transcript.delta","delta":"jour"})", true, Kind::Speaking, 3, "Bonjour",
         ""},
        {R"({"type":"response.audio_transcript.delta","delta":["x"]})", false, Kind::Speaking, 3, "Bonjour",
         ""},
        {R"({"type":"response.audio_transcript.done","transcript":"Bonjour !"})", false, Kind::Speaking, 3,
         "Bonjour !", ""},
        {R"({"type":"conversation.item.input_audio_transcription.completed","transcript":"Salut"})", false,
         Kind::Speaking, 3, "Bonjour !", "Salut"},
        {R"({"type":"conversation.item.input_audio_transcription.completed"})", false, Kind::Speaking, 3,
         "Bonjour !", "Salut"},
        {R"({"type":"input_audio_buffer.speech_started"})", false, Kind::Speaking, 3, "", "Salut"},
        {R"({"type":"error","error":{"code":"x"}})", false, Kind::Speaking, 3, "", "Salut"},
        {R"({"type":"error","error":"boom"})", false, Kind::Speaking, 3, "", "Salut"},
        {R"({"type":"something.new","delta":"AAAA"})", false, Kind::Speaking, 3, "", "Salut"},
        {R"({"type":5})", false, Kind::Speaking, 3, "", "Salut"},
        {R"(not json)", false, Kind::Speaking, 3, "", "Salut"},
        {"\xff\xfe{\"type\":\"error\"}", true, Kind::Speaking, 3, "", "Salut"},
        {R"({"type":"error","error":{"message":"Quota dépassé"}})", true, Kind::Error, 3, "", "Salut"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.event.toStdString());
        s.binary ? service.sendBinary(s.event) : service.sendText(s.event);
        // Events arrive in order: a step whose state shows has read every event before
        // it (a step that changes nothing is checked again by the next one's wait).
        spinUntil([&] {
            return client.state().kind == s.state && client.scheduledFrames() == s.frames &&
                   client.lastAssistantText() == s.assistant && client.lastUserText() == s.user;
        });
        EXPECT_EQ(client.state().kind, s.state);
        EXPECT_EQ(client.scheduledFrames(), s.frames);
        EXPECT_EQ(client.lastAssistantText(), s.assistant);
        EXPECT_EQ(client.lastUserText(), s.user);
    }
    EXPECT_EQ(client.state().message, "Quota dépassé");
    // The error changes neither the socket nor the audio.
    EXPECT_TRUE(c->open);
    EXPECT_EQ(*devices->runningInputs, 1);

    // The speaker got the samples in order: 0, 0, then 32767 (from the 3-byte delta).
    ASSERT_EQ(devices->outputs.size(), 1u);
    EXPECT_TRUE(spinUntil(
        [&] { return devices->outputs[0]->played.contains(QByteArray("\x00\x00\x00\x00\xff\x7f", 6)); }));

    // Hang-up: 1001, microphone and speaker released, transcripts kept.
    client.stop();
    EXPECT_EQ(client.state(), RealtimeClient::State::idle());
    ASSERT_TRUE(spinUntil([&] { return !c->open; }));
    EXPECT_EQ(c->closeCode, 1001);
    EXPECT_EQ(*devices->runningInputs, 0);
    EXPECT_EQ(devices->playingOutputs(), 0);
    EXPECT_EQ(client.lastUserText(), "Salut");
    client.stop(); // again: nothing changes

    // A new session configures its own connection again.
    startListening(client, 2);
    service.sendText(R"({"type":"session.created"})");
    ASSERT_TRUE(spinUntil([&] { return service.receivedTypes().contains("session.update"); }));
    spinFor(200); // and no second one
    EXPECT_EQ(service.receivedTypes().count("session.update"), 1);
    client.stop();
}

// Every event is bounded to what the service can need: one past 256 KiB (text or
// binary) ends the session with an error. The largest one accepted, an audio delta
// of almost 256 KiB, is read off the GUI thread and keeps its place among the
// events around it.
TEST_F(Realtime, EventsAreBoundedAndTheLargestKeepsItsPlace) {
    RealtimeClient client;
    startListening(client, 1);
    const qsizetype wrapper = QByteArray(R"({"type":"response.audio.delta","delta":""})").size();
    qsizetype pcmBytes = (RealtimeClient::kMaxEventBytes - wrapper) / 4 * 3;
    pcmBytes -= pcmBytes % 2;
    const QByteArray pcm(pcmBytes, '\x01');
    ASSERT_LE(wrapper + pcm.toBase64().size(), RealtimeClient::kMaxEventBytes);
    ASSERT_GT(pcm.toBase64().size(), RealtimeClient::kInlineEventChars);
    service.sendText(R"({"type":"response.audio_transcript.delta","delta":"Avant"})");
    service.sendAudioDelta(pcm);
    service.sendText(R"({"type":"response.audio_transcript.delta","delta":" après"})");
    service.sendText(R"({"type":"response.audio.done"})");
    ASSERT_TRUE(spinUntil([&] { return client.lastAssistantText() == "Avant après"; }));
    EXPECT_EQ(client.scheduledFrames(), pcmBytes / 2);
    EXPECT_EQ(client.state().kind, Kind::Listening); // the "done" was applied after the delta

    const QByteArray tooLarge = R"({"type":"response.audio_transcript.delta","delta":")" +
                                QByteArray(RealtimeClient::kMaxEventBytes, 'x') + R"("})";
    for (const bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "text");
        if (binary)
            startListening(client, 2);
        binary ? service.sendBinary(tooLarge) : service.sendText(tooLarge);
        ASSERT_TRUE(spinUntil([&] { return client.state().kind == Kind::Idle; }));
        EXPECT_EQ(client.failure(), "Le service vocal a envoyé un message trop volumineux");
        EXPECT_EQ(client.lastAssistantText(), "Avant après");
        EXPECT_EQ(*devices->runningInputs, 0);
    }
}

TEST_F(Realtime, MicrophoneInAnotherFormatIsConverted) {
    devices->honourWantedFormat = false;
    devices->inputFormat = {48000, 2};
    RealtimeClient client;
    startListening(client, 1);
    ASSERT_TRUE(spinUntil([&] { return appendedAudio(service.last()).size() >= 5; }));
    QByteArray all;
    for (const QByteArray& piece : appendedAudio(service.last()))
        all += piece;
    // 20 ms of 48 kHz stereo per piece become about 480 frames of 24 kHz mono.
    const qsizetype pieces = appendedAudio(service.last()).size();
    EXPECT_NEAR(static_cast<double>(all.size()) / 2 / pieces, 480, 40);
    EXPECT_NEAR(rmsOf(all.mid(200)), 0.5 / std::sqrt(2.0), 0.05);
    client.stop();
}

TEST_F(Realtime, StopWinsOverAPendingStartAndDropsEndTheSession) {
    RealtimeClient client;
    // A start while connecting is ignored; stop during the session call wins.
    sessionAnswer.holdMs = 500;
    auto first = client.start("rt", "alloy");
    auto second = client.start("rt", "alloy");
    EXPECT_EQ(client.state().kind, Kind::Connecting);
    ASSERT_TRUE(spinUntil([&] { return requestsTo("/api/v1/realtime_sessions").size() == 1; }));
    client.stop();
    EXPECT_EQ(client.state(), RealtimeClient::State::idle());
    spinFor(800);
    EXPECT_EQ(requestsTo("/api/v1/realtime_sessions").size(), 1);
    EXPECT_TRUE(service.connections().isEmpty());
    EXPECT_EQ(devices->inputsOpened, 0);
    EXPECT_EQ(client.state(), RealtimeClient::State::idle());
    sessionAnswer.holdMs = 0;

    // A microphone that does not start: idle, the socket being opened is dropped,
    // nothing left open; a new start opens one capture.
    devices->microphoneStarts = false;
    runTask(client.start("rt", "alloy"));
    EXPECT_EQ(client.state(), RealtimeClient::State::idle());
    EXPECT_EQ(*devices->runningInputs, 0);
    EXPECT_TRUE(spinUntil([&] {
        for (const FakeRealtimeServer::Connection* c : service.connections())
            if (c->open)
                return false;
        return true;
    }));
    devices->microphoneStarts = true;
    startListening(client, service.connections().size() + 1);
    EXPECT_EQ(*devices->runningInputs, 1);

    const int n = service.connections().size();
    // The service drops the connection: idle, everything released, no crash, and why.
    service.dropConnection();
    ASSERT_TRUE(spinUntil([&] { return client.state() == RealtimeClient::State::idle(); }));
    EXPECT_EQ(*devices->runningInputs, 0);
    EXPECT_EQ(devices->playingOutputs(), 0);
    EXPECT_EQ(client.failure(), "Connexion au service vocal interrompue");

    // From an error, start stops the old session first and opens a new one.
    startListening(client, n + 1);
    service.sendText(R"({"type":"error","error":{"message":"x"}})");
    ASSERT_TRUE(spinUntil([&] { return client.state().kind == Kind::Error; }));
    FakeRealtimeServer::Connection* old = service.last();
    startListening(client, n + 2);
    EXPECT_TRUE(spinUntil([&] { return !old->open; }));
    EXPECT_EQ(old->closeCode, 1001);
    EXPECT_EQ(*devices->runningInputs, 1);
    client.stop();
}

// Upgrades that Qt reports only through error(), addresses that are no WebSocket
// and an upgrade never answered: each ends idle, says why, and lets go of the
// microphone, the speaker and the connection.
TEST_F(Realtime, RefusedOrUnansweredUpgradesEndIdleWithTheErrorShown) {
    const QString port = QString::number(service.url().port());
    struct Case {
        QString wsUrl;
        FakeRealtimeServer::Upgrade upgrade;
        QString failure;
        bool connects;
    } cases[] = {
        {"https://127.0.0.1:" + port + "/v1/realtime", FakeRealtimeServer::Upgrade::Answer,
         "Réponse /realtime_sessions invalide", false},
        {"ftp://127.0.0.1:" + port + "/v1/realtime", FakeRealtimeServer::Upgrade::Answer,
         "Réponse /realtime_sessions invalide", false},
        {service.url().toString(), FakeRealtimeServer::Upgrade::WrongAccept,
         "Connexion au service vocal impossible", true},
        {service.url().toString(), FakeRealtimeServer::Upgrade::Never, "Le service vocal ne répond pas",
         true},
    };
    RealtimeController c(*session);
    c.client().setOpenTimeout(400);
    c.appear();
    ASSERT_TRUE(spinUntil([&] { return c.micGranted(); }));
    for (const Case& k : cases) {
        SCOPED_TRACE(k.wsUrl.toStdString() + " " + k.failure.toStdString());
        service.upgrade = k.upgrade;
        sessionAnswer = ScriptedResponse::json(
            200, json::dump(Json{{"ws_url", json::str(k.wsUrl)}, {"ephemeral_token", "e"}}));
        const int tcpBefore = service.tcpConnections();
        c.toggle();
        ASSERT_TRUE(spinUntil([&] { return c.showsFailure(); }));
        EXPECT_EQ(c.client().state(), RealtimeClient::State::idle());
        EXPECT_EQ(c.client().failure(), k.failure);
        EXPECT_EQ(c.primaryLabel(), "Erreur : " + k.failure);
        EXPECT_EQ(c.secondaryLabel(), "Appuie pour réessayer.");
        EXPECT_EQ(c.orbSymbol(), "exclamationmark.triangle");
        EXPECT_EQ(*devices->runningInputs, 0);
        EXPECT_EQ(devices->playingOutputs(), 0);
        EXPECT_EQ(service.tcpConnections() > tcpBefore, k.connects);
        EXPECT_TRUE(spinUntil([&] { return service.openTcpConnections() == 0; }));
    }
    // A retry starts afresh: the failure goes with the next start.
    service.upgrade = FakeRealtimeServer::Upgrade::Answer;
    sessionAnswer = ScriptedResponse::json(
        200, json::dump(Json{{"ws_url", json::str(service.url().toString())}, {"ephemeral_token", "e"}}));
    c.toggle();
    ASSERT_TRUE(spinUntil([&] { return c.client().state().kind == Kind::Listening; }));
    EXPECT_FALSE(c.showsFailure());
    EXPECT_EQ(c.primaryLabel(), "À l'écoute…");
    c.toggle(); // hanging up is no failure
    EXPECT_EQ(c.primaryLabel(), "Appuie pour commencer");
}

// What the microphone says while the socket opens reaches the service first, in
// order, up to ten seconds of it.
TEST_F(Realtime, AudioBeforeTheUpgradeGoesFirstInOrder) {
    devices->numberPieces = true;
    service.upgrade = FakeRealtimeServer::Upgrade::Late;
    service.upgradeDelayMs = 1000;
    auto numbers = [&](const FakeRealtimeServer::Connection* connection) {
        QList<int> out;
        for (const QByteArray& piece : appendedAudio(connection))
            out.append(reinterpret_cast<const qint16*>(piece.constData())[0]);
        return out;
    };
    struct Case {
        int msPerPiece;
        bool gapAfterBound; // the pieces beyond ten seconds were dropped
    } cases[] = {{20, false}, {1000, true}};
    int connection = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.msPerPiece);
        devices->inputMsPerTick = k.msPerPiece;
        RealtimeClient client;
        auto task = client.start("rt", "alloy");
        ASSERT_TRUE(spinUntil([&] { return client.state().kind == Kind::Listening; }));
        ASSERT_TRUE(service.waitForConnections(++connection));
        ASSERT_TRUE(spinUntil([&] { return numbers(service.last()).size() >= 14; }));
        const QList<int> got = numbers(service.last());
        const int kept = k.gapAfterBound ? 10 : static_cast<int>(got.size());
        for (int i = 0; i < kept; ++i)
            EXPECT_EQ(got[i], i + 1);
        if (k.gapAfterBound) {
            EXPECT_GT(got[10], 11);
            for (int i = 11; i < got.size(); ++i)
                EXPECT_EQ(got[i], got[i - 1] + 1);
        }
        client.stop();
    }
}

// A device that breaks mid-session, or a connection that stops taking audio, ends
// the session with an error and releases both devices.
TEST_F(Realtime, FailingDevicesAndAnAudioBacklogEndTheSession) {
    RealtimeClient client;
    for (bool microphone : {true, false}) {
        SCOPED_TRACE(microphone);
        startListening(client, microphone ? 1 : 2);
        microphone ? devices->failInputs() : devices->failOutputs();
        ASSERT_TRUE(spinUntil([&] { return client.state() == RealtimeClient::State::idle(); }));
        EXPECT_EQ(client.failure(), microphone ? "Le micro s’est arrêté" : "Le haut-parleur s’est arrêté");
        EXPECT_EQ(*devices->runningInputs, 0);
        EXPECT_EQ(devices->playingOutputs(), 0);
        EXPECT_TRUE(spinUntil([&] { return !service.last()->open; }));
    }

    // The service stops reading: past the bound of unsent bytes the session ends.
    service.upgrade = FakeRealtimeServer::Upgrade::StopReading;
    devices->inputMsPerTick = 1000;
    client.setMaxUnsentBytes(256 * 1024);
    auto task = client.start("rt", "alloy");
    ASSERT_TRUE(spinUntil([&] { return !client.failure().isEmpty(); }, 60000));
    EXPECT_EQ(client.failure(), "Connexion trop lente : l’audio ne passe plus");
    EXPECT_EQ(client.state(), RealtimeClient::State::idle());
    EXPECT_EQ(*devices->runningInputs, 0);
    EXPECT_EQ(devices->playingOutputs(), 0);
}

// Transcripts and errors from the service are shown as they came, never as markup.
TEST_F(Realtime, ServiceTextIsShownAsText) {
    RealtimeView view(*session);
    view.resize(360, 520);
    view.show();
    RealtimeController& c = view.controller();
    ASSERT_TRUE(spinUntil([&] { return c.micGranted(); }));
    view.orb()->tapped();
    ASSERT_TRUE(service.waitForConnections(1));
    ASSERT_TRUE(
        spinUntil([&] { return service.last()->socket->state() == QAbstractSocket::ConnectedState; }));
    service.sendText(
        R"({"type":"conversation.item.input_audio_transcription.completed","transcript":"a < b et c > d"})");
    service.sendText(R"({"type":"response.audio_transcript.done","transcript":"<b>x</b>"})");
    service.sendText(R"({"type":"error","error":{"message":"<b>x</b> a < b et c > d"}})");
    ASSERT_TRUE(spinUntil([&] { return c.client().state().kind == Kind::Error; }));
    const QList<QLabel*> labels = view.findChildren<QLabel*>();
    auto shown = [&](const QString& text) {
        for (QLabel* label : labels)
            if (label->text() == text)
                return label->textFormat() == Qt::PlainText;
        return false;
    };
    EXPECT_TRUE(shown("a < b et c > d"));
    EXPECT_TRUE(shown("<b>x</b>"));
    EXPECT_TRUE(shown("Erreur : <b>x</b> a < b et c > d"));
    for (QLabel* label : labels)
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
}

TEST_F(Realtime, ScreenTableTapsAndStates) {
    RealtimeView view(*session);
    view.resize(360, 520);
    RealtimeController& c = view.controller();
    devices->microphone = true;
    view.show();
    ASSERT_TRUE(spinUntil([&] { return c.micGranted(); }));

    struct Row {
        Kind kind;
        QString primary, secondary, symbol;
        bool live;
    };
    auto check = [&](const Row& row) {
        EXPECT_EQ(c.client().state().kind, row.kind);
        EXPECT_EQ(view.primaryLabel()->text(), row.primary);
        EXPECT_EQ(view.secondaryLabel()->text(), row.secondary);
        EXPECT_EQ(view.orb()->look().symbol, row.symbol);
        EXPECT_EQ(view.orb()->look().symbolEffect, row.live);
        EXPECT_DOUBLE_EQ(view.orb()->look().glowOpacity, row.live ? 0.6 : 0.3);
    };
    const Row idle{Kind::Idle, "Appuie pour commencer", "Mode temps réel · OpenAI", "mic.fill", false};
    check(idle);
    EXPECT_FALSE(view.transcripts()->isVisible());
    saveScreenshot(&view, "realtime-idle");

    // Connecting (held session call); a tap cancels and the idle lines return.
    sessionAnswer.holdMs = 400;
    QTest::mouseClick(view.orb(), Qt::LeftButton, {}, QPoint(110, 110));
    check({Kind::Connecting, "Connexion…", "Établissement du canal audio", "arrow.2.circlepath", false});
    saveScreenshot(&view, "realtime-connecting");
    QTest::mouseClick(view.orb(), Qt::LeftButton, {}, QPoint(110, 110));
    check(idle);
    spinFor(600);
    check(idle);
    sessionAnswer.holdMs = 0;

    // Listening, with "alloy" for an empty voice.
    view.orb()->tapped();
    ASSERT_TRUE(spinUntil([&] { return c.client().state().kind == Kind::Listening; }));
    EXPECT_EQ(json::parse(requestsTo("/api/v1/realtime_sessions").last().body)["voice"], "alloy");
    check({Kind::Listening, "À l'écoute…", "Parle naturellement. Appuie pour raccrocher.", "waveform", true});
    ASSERT_TRUE(service.waitForConnections(1));
    ASSERT_TRUE(
        spinUntil([&] { return service.last()->socket->state() == QAbstractSocket::ConnectedState; }));
    service.sendText(R"({"type":"response.audio_transcript.delta","delta":"Il est midi."})");
    ASSERT_TRUE(spinUntil([&] { return view.transcripts()->isVisible(); }));
    EXPECT_FALSE(view.userLine()->isVisible());
    EXPECT_TRUE(view.assistantLine()->isVisible());
    service.sendText(
        R"({"type":"conversation.item.input_audio_transcription.completed","transcript":"Quelle heure est-il ?"})");
    ASSERT_TRUE(spinUntil([&] { return view.userLine()->isVisible(); }));
    saveScreenshot(&view, "realtime-listening");
    service.sendAudioDelta(sinePcm(k24k, 300, 0.4, 100));
    ASSERT_TRUE(spinUntil([&] { return c.client().state().kind == Kind::Speaking; }));
    check({Kind::Speaking, "Ombrix parle…", "Appuie pour interrompre.", "waveform.circle.fill", true});
    saveScreenshot(&view, "realtime-speaking");

    // Hiding while speaking hangs up with 1001.
    view.hide();
    EXPECT_EQ(c.client().state(), RealtimeClient::State::idle());
    ASSERT_TRUE(spinUntil([&] { return !service.last()->open; }));
    EXPECT_EQ(service.last()->closeCode, 1001);
    view.show();

    // Error lines, and a tap retries with the chosen voice.
    session->setAudioVoice("verse");
    view.orb()->tapped();
    ASSERT_TRUE(spinUntil([&] { return c.client().state().kind == Kind::Listening; }));
    ASSERT_TRUE(service.waitForConnections(2));
    ASSERT_TRUE(
        spinUntil([&] { return service.last()->socket->state() == QAbstractSocket::ConnectedState; }));
    service.sendText(R"({"type":"error","error":{"message":"Quota dépassé"}})");
    ASSERT_TRUE(spinUntil([&] { return c.client().state().kind == Kind::Error; }));
    check(
        {Kind::Error, "Erreur : Quota dépassé", "Appuie pour réessayer.", "exclamationmark.triangle", false});
    saveScreenshot(&view, "realtime-error");
    view.orb()->tapped();
    ASSERT_TRUE(spinUntil([&] { return c.client().state().kind == Kind::Listening; }));
    EXPECT_EQ(json::parse(requestsTo("/api/v1/realtime_sessions").last().body)["voice"], "verse");
    view.orb()->tapped(); // hang up
    check(idle);
}

TEST_F(Realtime, FirstTapOnlyAsksAndNoTokenDoesNothing) {
    RealtimeController c(*session);
    // Not granted yet (the screen was never shown): the tap asks, nothing starts.
    c.toggle();
    ASSERT_TRUE(spinUntil([&] { return c.micGranted(); }));
    EXPECT_TRUE(requestsTo("/api/v1/realtime_sessions").isEmpty());
    // Without a microphone every tap asks again and nothing starts.
    RealtimeController refused(*session);
    devices->microphone = false;
    refused.toggle();
    refused.toggle();
    spinFor(100);
    EXPECT_FALSE(refused.micGranted());
    EXPECT_TRUE(requestsTo("/api/v1/realtime_sessions").isEmpty());
    devices->microphone = true;
    // Signed out: nothing at all.
    runTask(session->setToken(""));
    c.toggle();
    spinFor(200);
    EXPECT_TRUE(requestsTo("/api/v1/realtime_sessions").isEmpty());
    EXPECT_EQ(c.client().state(), RealtimeClient::State::idle());
}

// ---- The real sound path ---------------------------------------------------------------

TEST_F(Realtime, RealSoundMicrophoneGoesOutAndDeltasAreHeard) {
    SKIP_WITHOUT_SOUND_SERVER();
    useRealDevices();
    RealtimeClient client;
    startListening(client, 1);
    FakeRealtimeServer::Connection* c = service.last();
    // A 440 Hz sine played into the sink reaches the service through the microphone.
    SinkPlayer sine;
    const PcmFormat f48{48000, 1};
    ASSERT_TRUE(sine.play(sinePcm(f48, 440, 0.5, 1500), f48));
    ASSERT_TRUE(spinUntil([&] {
        QByteArray all;
        for (const QByteArray& piece : appendedAudio(c))
            all += piece;
        return all.size() > k24k.bytesForMs(300) && rmsOf(all.right(k24k.bytesForMs(300))) > 0.3;
    }));
    // The window that made it loud may still hold the sine's onset: the pitch is
    // measured on the next 300 ms, well inside the sine.
    auto sent = [&] {
        QByteArray all;
        for (const QByteArray& piece : appendedAudio(c))
            all += piece;
        return all;
    };
    const qsizetype onset = sent().size();
    ASSERT_TRUE(spinUntil([&] { return sent().size() >= onset + k24k.bytesForMs(300); }));
    const QByteArray recent = sent().mid(onset, k24k.bytesForMs(300));
    // About 440 Hz: the median period between rising crossings (with a margin around
    // zero, so that noise makes none), which a gap or a click of a loaded sound
    // server does not move the way it moves a count of crossings.
    const auto* s = reinterpret_cast<const qint16*>(recent.constData());
    std::vector<qsizetype> rises;
    bool below = false;
    for (qsizetype i = 0; i < recent.size() / 2; ++i) {
        if (s[i] < -3000)
            below = true;
        else if (below && s[i] > 3000) {
            rises.push_back(i);
            below = false;
        }
    }
    ASSERT_GE(rises.size(), 60u);
    std::vector<qsizetype> periods;
    for (size_t i = 1; i < rises.size(); ++i)
        periods.push_back(rises[i] - rises[i - 1]);
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    EXPECT_NEAR(24000.0 / double(periods[periods.size() / 2]), 440, 25);
    sine.waitFinished();

    // Audio deltas reach the speaker.
    SinkCapture capture;
    ASSERT_TRUE(capture.start());
    const QByteArray voice = sinePcm(k24k, 300, 0.5, 1000);
    for (qsizetype at = 0; at < voice.size(); at += k24k.bytesForMs(100))
        service.sendAudioDelta(voice.mid(at, k24k.bytesForMs(100)));
    EXPECT_TRUE(spinUntil([&] { return loudestRms(capture.captured(), capture.format(), 100) > 0.2; }));
    capture.stop();
    client.stop();
    ASSERT_TRUE(spinUntil([&] { return !c->open; }));
    EXPECT_EQ(c->closeCode, 1001);
}

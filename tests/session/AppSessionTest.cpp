// The application session: settings and conversation persistence, sign-in with
// hydration and the debounced preference push, sign-out, refused tokens, and the
// bridge following the token. Against the fake backend and an in-memory keychain.
#include "session/AppSession.h"
#include "bridge/BridgeService.h"
#include "localllm/LocalLLMTelemetry.h"
#include "platform/AuthFailureNotifier.h"
#include "platform/DefaultsStore.h"
#include "platform/Json.h"
#include "platform/SecretStore.h"
#include "session/KeychainStore.h"
#include "support/ScratchMount.h"
#include "support/SlowSecretStore.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

namespace {

const QString kExpired = QStringLiteral("Session expirée. Recolle ton jeton dans Réglages (⌘,).");
const QString kNoSecretService = QStringLiteral(
    "Aucun trousseau n'est disponible : Ombrix a besoin d'un service de secrets (Secret Service) "
    "pour garder ton jeton. Installe ou démarre GNOME Keyring, KWallet ou KeePassXC, puis réessaie.");

class AppSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults = installMemoryDefaults();
        secrets = std::make_shared<MemorySecretStore>();
        SecretStore::setShared(secrets);
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
        ScriptedResponse idle = ScriptedResponse::noContent();
        idle.holdMs = 50;
        backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"), idle);
        backend.route("GET", QStringLiteral("/api/v1/me.json"), [this](const RecordedRequest& request) {
            return prefsFor(QString::fromUtf8(request.header("X-User-Token").value_or(QByteArray())));
        });
        backend.routePrefix("PATCH", QStringLiteral("/users/"),
                            [](const RecordedRequest&) { return ScriptedResponse::json(200, "{}"); });
        backend.route("DELETE", QStringLiteral("/api/v1/session"), ScriptedResponse::noContent());
    }
    void TearDown() override {
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
        spinFor(50); // stopped loops and background requests unwind
    }

    QList<RecordedRequest> requests(const QByteArray& method, const QString& prefix) const {
        QList<RecordedRequest> out;
        for (const RecordedRequest& r : backend.requests())
            if (r.method == method && r.path.startsWith(prefix))
                out.append(r);
        return out;
    }
    QList<RecordedRequest> patches() const { return requests("PATCH", QStringLiteral("/users/")); }
    AppSession& signIn(const QString& token, qint64 expectedId) {
        AppSession& session = AppSession::shared();
        EXPECT_TRUE(runTask(session.setToken(token)));
        EXPECT_TRUE(spinUntil([&] { return session.userId() == expectedId; }));
        return session;
    }

    std::function<ScriptedResponse(const QString& token)> prefsFor = [](const QString&) {
        return ScriptedResponse::json(200, R"({"id":7})");
    };
    FakeBackend backend;
    std::shared_ptr<MemoryDefaultsStore> defaults;
    std::shared_ptr<MemorySecretStore> secrets;
};

TEST_F(AppSessionTest, StartsWithTheDefaultsAndFallsBackFromBadStoredValues) {
    {
        AppSession& session = AppSession::shared();
        EXPECT_EQ(session.mode(), Mode::Chat);
        EXPECT_EQ(session.provider(), Provider::OpenAI);
        EXPECT_EQ(session.voiceMode(), VoiceMode::PushToTalk);
        EXPECT_EQ(session.audioOutput(), AudioOutput::Auto);
        EXPECT_TRUE(session.whisperTranscription());
        EXPECT_TRUE(session.doubleCommandEnabled());
        EXPECT_EQ(session.summonBehavior(), SummonBehavior::LastUsed);
        EXPECT_EQ(session.summonFallbackShortcut(), SummonFallbackShortcut::CommandJ);
        EXPECT_FALSE(session.bridgeEnabled());
        EXPECT_FALSE(session.localLLMEnabled());
        EXPECT_EQ(session.localLLMModel(), QStringLiteral("Qwen/Qwen3-14B-MLX-4bit"));
        EXPECT_EQ(session.localLLMEndpoint(), QStringLiteral("http://127.0.0.1:8080/v1"));
        EXPECT_EQ(session.localLLMDeviceNickname(), AppSession::computerName());
        EXPECT_TRUE(session.messages().isEmpty());
        EXPECT_FALSE(session.userToken().has_value());
        EXPECT_FALSE(BridgeService::shared().isRunning());
        EXPECT_EQ(BridgeService::shared().status(), BridgeService::Status::off());
    }
    AppSession::resetSharedForTesting();

    const QByteArray garbage = R"([{"id":"not-a-uuid","role":"user","content":"x","createdAt":1}])";
    defaults->setString(QStringLiteral("selectedMode"), QStringLiteral("voice"));
    defaults->setString(QStringLiteral("summonFallbackShortcut"), QString());
    defaults->setString(QStringLiteral("voiceMode"), QStringLiteral("ptt"));
    defaults->setString(QStringLiteral("selectedProvider"), QStringLiteral("OpenAI"));
    defaults->setString(QStringLiteral("audioOutput"), QStringLiteral("speaker"));
    defaults->setBool(QStringLiteral("whisperTranscription"), false);
    defaults->setString(QStringLiteral("chatDiscussionId"), QStringLiteral("12"));
    defaults->setData(QStringLiteral("chatMessages"), garbage);
    defaults->setString(QStringLiteral("localLLMDeviceNickname"), QString());
    defaults->setString(QStringLiteral("localLLMEndpoint"), QString());
    AppSession& session = AppSession::shared();
    EXPECT_EQ(session.mode(), Mode::Chat);
    EXPECT_EQ(session.summonFallbackShortcut(), SummonFallbackShortcut::CommandJ);
    EXPECT_EQ(session.voiceMode(), VoiceMode::PushToTalk);
    EXPECT_EQ(session.provider(), Provider::OpenAI);
    EXPECT_EQ(session.audioOutput(), AudioOutput::Auto);
    EXPECT_FALSE(session.whisperTranscription());
    EXPECT_FALSE(session.discussionId().has_value());
    // A message that does not read is left out, and the chat says so (this store
    // keeps no file to put the stored bytes in).
    ASSERT_EQ(session.messages().size(), 1);
    EXPECT_EQ(session.messages()[0].content,
              "\u26A0\uFE0F " + AppSession::unreadableConversationText(QString()));
    EXPECT_EQ(session.localLLMDeviceNickname(), AppSession::computerName());
    EXPECT_EQ(session.localLLMEndpoint(), QString()); // texts are taken as stored
    EXPECT_EQ(LocalLLMTelemetry::shared().endpointForModelProbe(), QString());
    AppSession::resetSharedForTesting();

    // Only a whole number is a discussion id.
    defaults->setDouble(QStringLiteral("chatDiscussionId"), 12.5);
    EXPECT_FALSE(AppSession::shared().discussionId().has_value());
    AppSession::resetSharedForTesting();
    defaults->setDouble(QStringLiteral("chatDiscussionId"), 12.0);
    EXPECT_EQ(AppSession::shared().discussionId(), 12);
}

TEST_F(AppSessionTest, SettingsAndConversationSurviveANewSession) {
    const QList<ChatMessage> conversation{
        ChatMessage(QUuid::createUuid(), ChatMessage::Role::User, QStringLiteral("Bonjour"), 10.5),
        ChatMessage(QUuid::createUuid(), ChatMessage::Role::Assistant, QStringLiteral("Salut « toi »"),
                    11.25)};
    {
        AppSession& s = AppSession::shared();
        s.setMode(Mode::Microphone);
        s.setMessages(conversation);
        s.setDiscussionId(42);
        s.setProvider(Provider::Anthropic);
        s.setSelectedLocalModel(QStringLiteral("local-m"));
        s.setSelectedCloudModel(QStringLiteral("cloud-m"));
        s.setVoiceMode(VoiceMode::Realtime);
        s.setAudioOutput(AudioOutput::Local);
        s.setWhisperTranscription(false);
        s.setAudioVoice(QStringLiteral("alloy"));
        s.setDoubleCommandEnabled(false);
        s.setSummonBehavior(SummonBehavior::Voice);
        s.setSummonFallbackShortcut(SummonFallbackShortcut::None);
        s.setBridgeEnabled(true);
        s.setLocalLLMEnabled(true);
        s.setLocalLLMEndpoint(QStringLiteral("http://127.0.0.1:9999/v1"));
        s.setLocalLLMModel(QStringLiteral("org/model"));
        s.setLocalLLMDeviceNickname(QStringLiteral("Bureau"));
        EXPECT_TRUE(LocalLLMTelemetry::shared().modelProbeEnabled());
        EXPECT_EQ(LocalLLMTelemetry::shared().endpointForModelProbe(),
                  QStringLiteral("http://127.0.0.1:9999/v1"));
    }
    AppSession::resetSharedForTesting();
    LocalLLMTelemetry::shared().setModelProbeEnabled(false);

    AppSession& s = AppSession::shared();
    EXPECT_EQ(s.mode(), Mode::Microphone);
    EXPECT_EQ(s.messages(), conversation);
    EXPECT_EQ(s.discussionId(), 42);
    EXPECT_EQ(s.provider(), Provider::Anthropic);
    EXPECT_EQ(s.selectedLocalModel(), QStringLiteral("local-m"));
    EXPECT_EQ(s.selectedCloudModel(), QStringLiteral("cloud-m"));
    EXPECT_EQ(s.voiceMode(), VoiceMode::Realtime);
    EXPECT_EQ(s.audioOutput(), AudioOutput::Local);
    EXPECT_FALSE(s.whisperTranscription());
    EXPECT_EQ(s.audioVoice(), QStringLiteral("alloy"));
    EXPECT_FALSE(s.doubleCommandEnabled());
    EXPECT_EQ(s.summonBehavior(), SummonBehavior::Voice);
    EXPECT_EQ(s.summonFallbackShortcut(), SummonFallbackShortcut::None);
    EXPECT_TRUE(s.bridgeEnabled());
    EXPECT_TRUE(s.localLLMEnabled());
    EXPECT_EQ(s.localLLMModel(), QStringLiteral("org/model"));
    EXPECT_EQ(s.localLLMDeviceNickname(), QStringLiteral("Bureau"));
    // The telemetry follows the stored settings at start.
    EXPECT_TRUE(LocalLLMTelemetry::shared().modelProbeEnabled());
    EXPECT_EQ(LocalLLMTelemetry::shared().endpointForModelProbe(),
              QStringLiteral("http://127.0.0.1:9999/v1"));
    // Still signed out: the bridge setting alone never starts the bridge.
    EXPECT_FALSE(BridgeService::shared().isRunning());

    // A summon with "voice" shows the microphone even after the chat; "chat" the chat.
    s.setMode(Mode::Chat);
    s.prepareForSummon();
    EXPECT_EQ(s.mode(), Mode::Microphone);
    s.setSummonBehavior(SummonBehavior::Chat);
    s.prepareForSummon();
    EXPECT_EQ(s.mode(), Mode::Chat);
    s.setSummonBehavior(SummonBehavior::LastUsed);
    s.setMode(Mode::Microphone);
    s.prepareForSummon();
    EXPECT_EQ(s.mode(), Mode::Microphone);

    s.clearConversation();
    EXPECT_TRUE(s.messages().isEmpty());
    EXPECT_FALSE(defaults->contains(QStringLiteral("chatMessages")));
    EXPECT_FALSE(defaults->contains(QStringLiteral("chatDiscussionId")));
}

// The message a reply streams into is saved marked: a progress line in it is saved
// as no text. A session that finds one so marked (the last run was killed) ends it
// as cut; a session that ends (quit) does so itself. An empty or progress-only
// answer is never kept as an answer.
TEST_F(AppSessionTest, AnAnswerLeftStreamingIsEndedAsCut) {
    const QString cut = QStringLiteral("\u26A0\uFE0F Réponse coupée : Ombrix s'est arrêté avant la fin de la "
                                       "réponse.");
    const auto stored = [&] {
        return Json::parse(defaults->data(QStringLiteral("chatMessages"))->toStdString());
    };
    const ChatMessage question(ChatMessage::Role::User, QStringLiteral("Question"));
    const ChatMessage answer(ChatMessage::Role::Assistant, QStringLiteral("Voici le début"));
    struct Case {
        QString content;
        bool progress;
        QString ended;
    };
    const QList<Case> cases{{QStringLiteral("Voici le début"), false, "Voici le début\n\n" + cut},
                            {QStringLiteral("🔧 Recherche locale…"), true, cut},
                            {QString(), false, cut}};
    for (const Case& c : cases) {
        QByteArray killed; // what a kill -9 leaves on disk
        {
            AppSession& s = AppSession::shared();
            ChatMessage streaming = answer;
            streaming.content = c.content;
            s.setMessages({question, streaming});
            s.setStreamingMessage(AppSession::StreamingMessage{answer.id, c.progress});
            s.saveConversationNow();
            killed = *defaults->data(QStringLiteral("chatMessages"));
            const Json saved = Json::parse(killed.toStdString());
            EXPECT_EQ(saved[1]["streaming"], true);
            EXPECT_EQ(saved[1]["content"], c.progress ? std::string() : c.content.toStdString());
            EXPECT_FALSE(saved[0].contains("streaming"));
        }
        AppSession::resetSharedForTesting();
        defaults->setData(QStringLiteral("chatMessages"), killed);
        AppSession& next = AppSession::shared();
        ASSERT_EQ(next.messages().size(), 2);
        EXPECT_EQ(next.messages()[1].content, c.ended);
        EXPECT_FALSE(next.streamingMessage().has_value());
        ASSERT_TRUE(spinUntil([&] { return !next.conversationSavePending(); }));
        EXPECT_EQ(stored()[1]["content"], c.ended.toStdString());
        EXPECT_FALSE(stored()[1].contains("streaming"));

        // Quitting (the session ending) while the answer streams marks it the same way.
        ChatMessage again = answer;
        again.content = c.content;
        next.setMessages({question, again});
        next.setStreamingMessage(AppSession::StreamingMessage{answer.id, c.progress});
        AppSession::resetSharedForTesting();
        EXPECT_EQ(stored()[1]["content"], c.ended.toStdString());
        EXPECT_FALSE(stored()[1].contains("streaming"));
        AppSession::resetSharedForTesting();
    }
    // A question whose answer never started (the backend's answer comes whole) is
    // saved marked: a kill leaves it so, and the next launch, like a quit, puts
    // an answer holding only the mark after it.
    for (const bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "kill -9" : "quit");
        const ChatMessage asked(ChatMessage::Role::User, QStringLiteral("Une question"));
        {
            AppSession& s = AppSession::shared();
            s.setMessages({question, answer, asked});
            s.setAwaitedAnswer(asked.id);
            s.saveConversationNow();
            EXPECT_EQ(stored()[2]["awaitingAnswer"], true);
            EXPECT_FALSE(stored()[1].contains("awaitingAnswer"));
            const QByteArray onDisk = *defaults->data(QStringLiteral("chatMessages"));
            AppSession::resetSharedForTesting(); // quits
            if (killed)
                defaults->setData(QStringLiteral("chatMessages"), onDisk);
        }
        AppSession& next = AppSession::shared();
        ASSERT_EQ(next.messages().size(), 4);
        EXPECT_EQ(next.messages()[2].id, asked.id);
        EXPECT_EQ(next.messages()[3].role, ChatMessage::Role::Assistant);
        EXPECT_EQ(next.messages()[3].content, cut);
        EXPECT_FALSE(next.awaitedAnswer().has_value());
        ASSERT_TRUE(spinUntil([&] { return !next.conversationSavePending(); }));
        EXPECT_EQ(stored().size(), 4u);
        EXPECT_FALSE(stored()[2].contains("awaitingAnswer"));
        AppSession::resetSharedForTesting();
    }

    // A finished answer is left as it is, and a new conversation forgets the mark.
    AppSession& s = AppSession::shared();
    s.setMessages({question, answer});
    s.setStreamingMessage(AppSession::StreamingMessage{answer.id, false});
    s.setStreamingMessage(std::nullopt);
    AppSession::resetSharedForTesting();
    EXPECT_EQ(AppSession::shared().messages()[1].content, answer.content);
    AppSession::shared().setStreamingMessage(AppSession::StreamingMessage{answer.id, false});
    AppSession::shared().clearConversation();
    EXPECT_FALSE(AppSession::shared().streamingMessage().has_value());
}

// A stored conversation that does not read whole, in the settings file: the
// messages that read are kept, the stored bytes are kept aside next to the file
// before anything is saved over them, and the chat says so once, where they are.
// Damage of each kind: a message that decodes to no message, a byte that is not
// UTF-8, a broken structure, base64 that does not decode, and a flipped bit in
// the file itself.
TEST_F(AppSessionTest, AConversationThatDoesNotReadWholeKeepsTheRestAndTheBytesAside) {
    const ChatMessage first(ChatMessage::Role::User, QStringLiteral("Première question"));
    const ChatMessage damaged(ChatMessage::Role::Assistant, QStringLiteral("Réponse abîmée qui se perd"));
    const ChatMessage last(ChatMessage::Role::User, QStringLiteral("Dernière question"));
    Json list = Json::array();
    for (const ChatMessage& message : {first, damaged, last})
        list.push_back(message.toJson());
    const QByteArray conversation = json::dump(list);
    const qsizetype inDamaged = conversation.indexOf("qui se perd");
    ASSERT_GT(inDamaged, 0);

    // Damages the conversation's bytes, or the text of the file (its base64).
    struct Case {
        const char* what;
        std::function<QByteArray(QByteArray)> conversation;
        std::function<QByteArray(QByteArray)> file;
        bool keptAsData;               // the aside holds the conversation's bytes (else the entry's text)
        bool oneCharacterLost = false; // the damaged message is read, its bad byte replaced
    };
    const auto same = [](QByteArray bytes) { return bytes; };
    const auto base64At = [&](QByteArray file, const QByteArray& with) {
        const qsizetype text = file.indexOf(conversation.toBase64());
        return file.replace(text + (inDamaged / 3) * 4 + 1, 1, with);
    };
    const std::vector<Case> cases = {
        {"a role no message has",
         [](QByteArray b) { return b.replace("\"role\":\"assistant\"", "\"role\":\"robot\""); }, same, true},
        {"a byte that is not UTF-8", [&](QByteArray b) { return b.replace(inDamaged, 1, "\xff"); }, same,
         true, true},
        {"a quote gone",
         [](QByteArray b) { return b.replace("\"role\":\"assistant\"", "\"role:\"assistant\""); }, same,
         true},
        {"base64 that does not decode", same, [&](QByteArray f) { return base64At(f, "*"); }, false},
        {"a byte of the file that is not UTF-8", same, [&](QByteArray f) { return base64At(f, "\xc3"); },
         false},
        {"a quote in the file's base64", same, [&](QByteArray f) { return base64At(f, "\""); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        const QString path = dir.filePath("defaults.json");
        const QByteArray stored = c.conversation(conversation);
        const QByteArray fileText =
            c.file(R"({"selectedProvider":{"string":"local"},"chatMessages":{"data":")" + stored.toBase64() +
                   "\"}}");
        {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(fileText);
        }
        const auto asides = [&] {
            return QDir(dir.path()).entryList({"defaults.json.chatMessages.unreadable-*"}, QDir::Files);
        };
        auto store = std::make_shared<FileDefaultsStore>(path);
        DefaultsStore::setShared(store);
        AppSession::resetSharedForTesting();
        AppSession& session = AppSession::shared();
        EXPECT_EQ(session.provider(), Provider::Local); // the other settings read
        const QList<ChatMessage> read = session.messages();
        ASSERT_GE(read.size(), 3);
        EXPECT_EQ(read.first(), first);
        EXPECT_EQ(read[read.size() - 2], last);
        EXPECT_FALSE(read.contains(damaged));
        if (c.oneCharacterLost) {
            // The byte costs one character, not the message.
            ASSERT_EQ(read.size(), 4);
            EXPECT_EQ(read[1].id, damaged.id);
            EXPECT_EQ(
                read[1].content,
                QString(damaged.content).replace(QStringLiteral("qui se"), QStringLiteral("\uFFFDui se")));
        }
        ASSERT_TRUE(spinUntil([&] { return !session.conversationSavePending(); }));
        store->flush();
        ASSERT_EQ(asides().size(), 1);
        const QString aside = dir.filePath(asides().first());
        // The notice names the file once it is there.
        EXPECT_EQ(read.last().role, ChatMessage::Role::Assistant);
        EXPECT_TRUE(spinUntil([&] {
            return session.messages().last().content ==
                   "\u26A0\uFE0F " + AppSession::unreadableConversationText(aside);
        }));
        EXPECT_EQ(session.messages().size(), read.size());
        QFile kept(aside);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        if (c.keptAsData)
            EXPECT_EQ(kept.readAll(), stored);
        else
            EXPECT_TRUE(kept.readAll().startsWith("{\"chatMessages\":")); // the entry as the file held it

        // Saved whole now, in the form an earlier version reads: the next start
        // reads it all and says nothing more; the bytes aside stay as they were.
        session.setMessages(session.messages() +
                            QList<ChatMessage>{ChatMessage(ChatMessage::Role::User, "Suite")});
        AppSession::resetSharedForTesting();
        store->flush();
        DefaultsStore::setShared(std::make_shared<FileDefaultsStore>(path));
        const QList<ChatMessage> again = AppSession::shared().messages();
        EXPECT_EQ(again.size(), read.size() + 1);
        EXPECT_EQ(again[again.size() - 2].content,
                  "\u26A0\uFE0F " + AppSession::unreadableConversationText(aside));
        EXPECT_EQ(asides().size(), 1);
        AppSession::resetSharedForTesting();
        DefaultsStore::setShared(defaults);
    }

    // The bytes cannot be kept aside (the settings file's name leaves no room for
    // the name of the copy): the notice names no file, and nothing is saved over
    // the stored conversation. The failed save is said after it, once, whether it
    // failed before the session began or a moment later.
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QString(230, 'd'));
        const QByteArray fileText =
            R"({"chatMessages":{"data":")" + cases.front().conversation(conversation).toBase64() + "\"}}";
        {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(fileText);
        }
        auto store = std::make_shared<FileDefaultsStore>(path);
        DefaultsStore::setShared(store);
        AppSession::resetSharedForTesting();
        AppSession& session = AppSession::shared();
        const QString notice = "\u26A0\uFE0F " + AppSession::unreadableConversationText(QString());
        const QString failed = ChatMessage::withWarning(
            QString(), AppSession::saveProblemText(DefaultsStore::SaveProblem::Failed));
        ASSERT_TRUE(spinUntil([&] { return session.messages().size() >= 4; }));
        ASSERT_EQ(session.messages().size(), 4);
        EXPECT_EQ(session.messages()[2].content, notice);
        EXPECT_EQ(session.messages()[3].content, failed);
        ASSERT_TRUE(spinUntil([&] { return !session.conversationSavePending(); }));
        store->flush();
        session.setMessages(session.messages() +
                            QList<ChatMessage>{ChatMessage(ChatMessage::Role::User, "Suite")});
        ASSERT_TRUE(spinUntil([&] { return !session.conversationSavePending(); }));
        store->flush();
        spinFor(50); // a report of the copy would have come
        EXPECT_EQ(session.messages()[2].content, notice);
        const QList<ChatMessage> now = session.messages();
        EXPECT_EQ(
            std::count_if(now.begin(), now.end(), [&](const ChatMessage& m) { return m.content == failed; }),
            1);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), fileText);
        AppSession::resetSharedForTesting();
        DefaultsStore::setShared(defaults);
    }

    // Forty flipped bits, each in the stored conversation's text of a file of its
    // own: at most the message the bit fell in (two where it fell between them) is
    // lost, and whatever is lost is kept aside and said.
    QList<ChatMessage> many;
    Json manyList = Json::array();
    for (int i = 0; i < 30; ++i) {
        many.append(
            ChatMessage(i % 2 ? ChatMessage::Role::Assistant : ChatMessage::Role::User,
                        QStringLiteral("Message numéro %1, avec « des guillemets » et \"d'autres\"").arg(i)));
        manyList.push_back(many.last().toJson());
    }
    const QByteArray base64 = json::dump(manyList).toBase64();
    const QByteArray whole = R"({"chatMessages":{"data":")" + base64 + "\"}}";
    const qsizetype start = whole.indexOf(base64);
    std::mt19937 random(40);
    for (int flip = 0; flip < 40; ++flip) {
        QByteArray damagedFile = whole;
        const qsizetype at = start + qsizetype(random() % quint32(base64.size()));
        damagedFile[at] = char(damagedFile[at] ^ (1 << (random() % 8)));
        SCOPED_TRACE("flip " + std::to_string(flip) + " at " + std::to_string(at) + " from " +
                     std::to_string(int((unsigned char)whole[at])) + " to " +
                     std::to_string(int((unsigned char)damagedFile[at])));
        QTemporaryDir dir;
        const QString path = dir.filePath("defaults.json");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(damagedFile);
        file.close();
        auto store = std::make_shared<FileDefaultsStore>(path);
        DefaultsStore::setShared(store);
        AppSession::resetSharedForTesting();
        QList<ChatMessage> read = AppSession::shared().messages();
        const bool said =
            !read.isEmpty() && read.last().content.contains(
                                   AppSession::unreadableConversationText(QStringLiteral("x")).left(40));
        if (said)
            read.removeLast();
        qsizetype kept = 0;
        for (const ChatMessage& message : read)
            kept += many.contains(message) ? 1 : 0;
        EXPECT_GE(kept, many.size() - 2);
        if (read.size() < many.size()) {
            EXPECT_TRUE(said);
            store->flush();
            EXPECT_EQ(
                QDir(dir.path()).entryList({"defaults.json.chatMessages.unreadable-*"}, QDir::Files).size(),
                1);
        }
        AppSession::resetSharedForTesting();
        DefaultsStore::setShared(defaults);
    }
}

// The program's own conversation is read without the budget of outside input: a
// conversation of more values than that budget (json::maxValues) reads whole,
// without a notice. Each message carries a list of 46 numbers under a key the
// reader does not know (as a later version's field would be, ignored), so that
// 15,001 messages of 52 values each hold 780,052 values, 30,052 past the budget.
TEST_F(AppSessionTest, ALongConversationReadsWholeWithoutANotice) {
    constexpr int kMessages = 15001;
    static_assert(std::size_t(kMessages) * 52 > json::maxValues);
    const QByteArray later = ",\"later\":[" + QByteArray("0,").repeated(45) + "0]";
    // Written as the program writes them (one object per message), without going
    // through the encoder for each: the reading is what is looked at.
    QByteArray stored = "[";
    stored.reserve(qsizetype(kMessages) * (110 + later.size()));
    char message[160];
    for (int i = 0; i < kMessages; ++i) {
        const int length = std::snprintf(message, sizeof message,
                                         "%s{\"id\":\"00000000-0000-4000-8000-%012d\",\"role\":\"%s\","
                                         "\"content\":\"message %d\",\"createdAt\":0",
                                         i > 0 ? "," : "", i, i % 2 ? "assistant" : "user", i);
        stored.append(message, length);
        stored.append(later);
        stored.append('}');
    }
    stored += ']';
    defaults->setData(QStringLiteral("chatMessages"), stored);
    AppSession& session = AppSession::shared();
    ASSERT_EQ(session.messages().size(), kMessages);
    EXPECT_EQ(session.messages().last().content, QStringLiteral("message %1").arg(kMessages - 1));
    EXPECT_FALSE(session.conversationSavePending()); // nothing to write back
}

namespace {
// The conversation in a settings file, as a fresh reader would find it.
QList<ChatMessage> conversationInFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    const QByteArray bytes =
        QByteArray::fromBase64(root.value("chatMessages").toObject().value("data").toString().toLatin1());
    QList<ChatMessage> messages;
    if (const std::optional<Json> list = json::tryParse(bytes))
        for (const Json& item : *list)
            messages.append(ChatMessage::fromJson(item));
    return messages;
}
} // namespace

// Settings and conversation on a disk that fills up: the chat says once, in French,
// that nothing can be saved and why, keeps everything in memory and on disk as it
// was, says once when saving works again, and then the whole conversation (the
// notices with it) is on disk. Quitting meanwhile reports that it could not save.
TEST_F(AppSessionTest, ASaveTheDiskRefusesIsSaidOnceAndCarriedOutWhenItCan) {
    ScratchMount disk(1024 * 1024);
    if (!disk.ok())
        GTEST_SKIP() << "a small file system cannot be mounted here: " << disk.why().toStdString();
    const QString path = disk.filePath("ombrix/defaults.json");
    auto store = std::make_shared<FileDefaultsStore>(path);
    store->setRetryDelaysForTesting(20, 100);
    DefaultsStore::setShared(store);
    AppSession::resetSharedForTesting();
    AppSession& session = AppSession::shared();
    const ChatMessage question(ChatMessage::Role::User, QStringLiteral("Question"));
    const ChatMessage answer(ChatMessage::Role::Assistant, QString(20000, QLatin1Char('r')));
    session.setMessages({question, answer});
    ASSERT_TRUE(spinUntil([&] { return !session.conversationSavePending(); }));
    ASSERT_TRUE(store->flush());
    const QList<ChatMessage> saved = conversationInFile(path);
    ASSERT_EQ(saved.size(), 2);

    const QString full = "\u26A0\uFE0F " + AppSession::saveProblemText(DefaultsStore::SaveProblem::DiskFull);
    EXPECT_TRUE(full.contains(QStringLiteral("le disque est plein")));
    const auto count = [&](const QString& text) {
        return std::count_if(session.messages().begin(), session.messages().end(),
                             [&](const ChatMessage& m) { return m.content == text; });
    };
    disk.fill();
    for (int i = 0; i < 5; ++i) {
        session.setMessages(session.messages() +
                            QList<ChatMessage>{ChatMessage(ChatMessage::Role::User, QString(30000, 'q'))});
        const int writes = store->writeCount();
        EXPECT_TRUE(spinUntil([&] { return store->writeCount() >= writes + 2; }, 30000));
    }
    EXPECT_TRUE(spinUntil([&] { return count(full) == 1; }));
    spinFor(100);
    EXPECT_EQ(count(full), 1);
    EXPECT_EQ(session.messages().size(), 8);
    EXPECT_EQ(conversationInFile(path), saved); // the disk holds what it held
    EXPECT_FALSE(session.saveConversationAtEnd());

    disk.makeRoom();
    const QString again = AppSession::savedAgainText();
    EXPECT_TRUE(spinUntil([&] { return count(again) == 1; }, 30000));
    ASSERT_TRUE(spinUntil([&] { return !session.conversationSavePending(); }));
    EXPECT_TRUE(session.saveConversationAtEnd());
    EXPECT_EQ(count(full), 1);
    EXPECT_EQ(conversationInFile(path), session.messages());
    EXPECT_EQ(session.messages().size(), 9);
    AppSession::resetSharedForTesting();
    DefaultsStore::setShared(defaults);
}

TEST_F(AppSessionTest, SignInHydratesAndABurstOfChangesSendsOnePush) {
    defaults->setString(QStringLiteral("audioOutput"), QStringLiteral("local"));
    prefsFor = [](const QString&) {
        return ScriptedResponse::json(
            200,
            R"({"id":7,"email":"zoe@example.com","default_voice_mode":"realtime","default_provider":"anthropic",)"
            R"("default_model":"m","transcribe_audio":false,"audio_output":true,"default_audio_voice":"alloy"})");
    };
    AppSession& session = AppSession::shared();
    EXPECT_TRUE(runTask(session.setToken(QStringLiteral("  tok-1\n"))));
    EXPECT_EQ(session.userToken(), QStringLiteral("tok-1"));
    EXPECT_EQ(KeychainStore::read(QString()), QStringLiteral("tok-1"));
    EXPECT_TRUE(BridgeService::shared().isRunning()); // whatever bridgeEnabled says
    EXPECT_FALSE(session.bridgeEnabled());
    session.setBridgeEnabled(true);
    session.setBridgeEnabled(false); // switching it off does not stop the bridge either
    EXPECT_TRUE(BridgeService::shared().isRunning());
    EXPECT_EQ(BridgeService::shared().token(), QStringLiteral("tok-1"));
    ASSERT_TRUE(spinUntil([&] { return session.userId() == 7; }));

    EXPECT_EQ(session.userEmail(), QStringLiteral("zoe@example.com"));
    EXPECT_EQ(session.voiceMode(), VoiceMode::Realtime);
    EXPECT_EQ(session.provider(), Provider::Anthropic);
    EXPECT_FALSE(session.whisperTranscription());
    EXPECT_EQ(session.audioOutput(), AudioOutput::Gpt);
    EXPECT_EQ(session.audioVoice(), QStringLiteral("alloy"));
    EXPECT_EQ(defaults->string(QStringLiteral("voiceMode")), QStringLiteral("realtime"));
    EXPECT_EQ(requests("GET", QStringLiteral("/api/v1/me.json")).first().header("X-User-Token"), "tok-1");
    spinFor(700);
    EXPECT_TRUE(patches().isEmpty()); // hydration pushes nothing back

    // Three changes 120 ms apart: one request, 500 ms after the last, with every
    // synced setting at its latest value and no voice key for an empty voice. (The
    // thread sleeps between them, so that however long a loaded machine makes the
    // pauses, the push cannot be sent before the last change.)
    session.setProvider(Provider::Gemini);
    QThread::msleep(120);
    session.setVoiceMode(VoiceMode::PushToTalk);
    QThread::msleep(120);
    QElapsedTimer sinceLast;
    sinceLast.start();
    session.setAudioVoice(QString());
    ASSERT_TRUE(spinUntil([&] { return !patches().isEmpty(); }));
    EXPECT_GE(sinceLast.elapsed(), 450);
    spinFor(700);
    ASSERT_EQ(patches().size(), 1);
    const RecordedRequest push = patches().first();
    EXPECT_EQ(push.path, QStringLiteral("/users/7.json"));
    EXPECT_EQ(push.header("X-User-Token"), "tok-1");
    const Json user = json::parse(push.body).at("user");
    EXPECT_EQ(user.size(), 4u);
    EXPECT_EQ(user.at("default_voice_mode"), "ptt");
    EXPECT_EQ(user.at("default_provider"), "gemini");
    EXPECT_EQ(user.at("transcribe_audio"), false);
    EXPECT_EQ(user.at("audio_output"), true);

    // Assigning a value equal to the current one still pushes.
    session.setAudioOutput(AudioOutput::Gpt);
    ASSERT_TRUE(spinUntil([&] { return patches().size() == 2; }));
    EXPECT_EQ(json::parse(patches().last().body).at("user").at("audio_output"), true);
}

TEST_F(AppSessionTest, HydrationMapsOnlyWhatItUnderstands) {
    defaults->setString(QStringLiteral("voiceMode"), QStringLiteral("realtime"));
    defaults->setString(QStringLiteral("audioOutput"), QStringLiteral("auto"));
    prefsFor = [](const QString&) {
        return ScriptedResponse::json(
            200,
            R"({"id":3,"default_voice_mode":"pushToTalk","default_provider":"mistral","audio_output":true})");
    };
    AppSession& session = signIn(QStringLiteral("tok"), 3);
    EXPECT_EQ(session.voiceMode(), VoiceMode::Realtime);
    EXPECT_EQ(session.provider(), Provider::OpenAI);
    EXPECT_EQ(session.audioOutput(), AudioOutput::Auto);
    EXPECT_FALSE(session.userEmail().has_value());

    // A failed hydration clears the error text and changes nothing else.
    prefsFor = [](const QString&) { return ScriptedResponse::text(500, "non"); };
    session.setLastError(QStringLiteral("ancienne erreur"));
    session.setAudioOutput(AudioOutput::Local);
    const int before = static_cast<int>(requests("GET", QStringLiteral("/api/v1/me.json")).size());
    runTask(session.hydrateFromServer());
    EXPECT_EQ(requests("GET", QStringLiteral("/api/v1/me.json")).size(), before + 1);
    EXPECT_FALSE(session.lastError().has_value());
    EXPECT_EQ(session.userId(), 3);

    // false always gives the local voice.
    prefsFor = [](const QString&) { return ScriptedResponse::json(200, R"({"id":3,"audio_output":false})"); };
    session.setAudioOutput(AudioOutput::Gpt);
    runTask(session.hydrateFromServer());
    EXPECT_EQ(session.audioOutput(), AudioOutput::Local);
}

TEST_F(AppSessionTest, SignOutAndTokenChangeDropThePendingPushAndTheAccount) {
    AppSession& session = signIn(QStringLiteral("tok-a"), 7);
    session.setProvider(Provider::Local);
    EXPECT_TRUE(session.hasPendingServerSync());
    EXPECT_TRUE(runTask(session.setToken(QStringLiteral(" \n\t "))));
    EXPECT_FALSE(session.userToken().has_value());
    EXPECT_FALSE(session.userId().has_value());
    EXPECT_FALSE(session.userEmail().has_value());
    EXPECT_TRUE(spinUntil([&] { return !KeychainStore::read(QString()).has_value(); }));
    EXPECT_FALSE(BridgeService::shared().isRunning());
    ASSERT_TRUE(spinUntil([&] { return !requests("DELETE", QStringLiteral("/api/v1/session")).isEmpty(); }));
    EXPECT_EQ(requests("DELETE", QStringLiteral("/api/v1/session")).first().header("X-User-Token"), "tok-a");
    spinFor(700);
    EXPECT_TRUE(patches().isEmpty());

    // Signing out again: no revocation, still true, the bridge stays off.
    EXPECT_TRUE(runTask(session.setToken(QString())));
    spinFor(100);
    EXPECT_EQ(requests("DELETE", QStringLiteral("/api/v1/session")).size(), 1);

    // A change of token: the old account's push is not sent with the new token, and
    // an answer for the old token that arrives late is dropped.
    prefsFor = [](const QString& token) {
        ScriptedResponse answer =
            ScriptedResponse::json(200, token == QStringLiteral("slow") ? R"({"id":1,"email":"old@x"})"
                                                                        : R"({"id":2,"email":"new@x"})");
        if (token == QStringLiteral("slow"))
            answer.holdMs = 300;
        return answer;
    };
    signIn(QStringLiteral("tok-a"), 2);
    session.setVoiceMode(VoiceMode::Realtime);
    EXPECT_TRUE(runTask(session.setToken(QStringLiteral("slow"))));
    EXPECT_FALSE(session.userId().has_value());
    EXPECT_FALSE(session.hasPendingServerSync());
    EXPECT_TRUE(runTask(session.setToken(QStringLiteral("fast"))));
    ASSERT_TRUE(spinUntil([&] { return session.userId() == 2; }));
    spinFor(700);
    EXPECT_EQ(session.userId(), 2);
    EXPECT_EQ(session.userEmail(), QStringLiteral("new@x"));
    EXPECT_TRUE(patches().isEmpty());
    EXPECT_EQ(BridgeService::shared().token(), QStringLiteral("fast"));
}

TEST_F(AppSessionTest, ARefusedCurrentTokenSignsOutAndStopsTheBridge) {
    backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"), [](const RecordedRequest& request) {
        if (request.header("X-User-Token") == "revoked")
            return ScriptedResponse::text(401, "unauthorized");
        ScriptedResponse idle = ScriptedResponse::noContent();
        idle.holdMs = 50;
        return idle;
    });
    AppSession& session = signIn(QStringLiteral("tok"), 7);
    session.setProvider(Provider::Gemini);

    // A refusal of some other token changes nothing.
    AuthFailureNotifier::shared().post(QStringLiteral("old-token"));
    spinFor(100);
    EXPECT_EQ(session.userToken(), QStringLiteral("tok"));
    EXPECT_FALSE(session.lastError().has_value());
    EXPECT_TRUE(BridgeService::shared().isRunning());

    // The backend refuses the current token on the bridge's poll.
    runTask(session.setToken(QStringLiteral("revoked")));
    ASSERT_TRUE(spinUntil([&] { return !session.userToken().has_value(); }));
    EXPECT_EQ(session.lastError(), kExpired);
    EXPECT_TRUE(spinUntil([&] { return !KeychainStore::read(QString()).has_value(); }));
    EXPECT_FALSE(BridgeService::shared().isRunning());
    EXPECT_EQ(BridgeService::shared().status(), BridgeService::Status::off());
    EXPECT_FALSE(session.userId().has_value());
    const auto pollsAfter = requests("GET", QStringLiteral("/api/v1/bridge")).size();
    spinFor(700);
    EXPECT_EQ(requests("GET", QStringLiteral("/api/v1/bridge")).size(), pollsAfter);
    EXPECT_TRUE(patches().isEmpty());
    EXPECT_TRUE(requests("DELETE", QStringLiteral("/api/v1/session")).isEmpty()); // no revocation

    // Signed out, a 401 changes nothing more.
    session.setLastError(std::nullopt);
    AuthFailureNotifier::shared().post(QStringLiteral("revoked"));
    spinFor(50);
    EXPECT_FALSE(session.lastError().has_value());
}

TEST_F(AppSessionTest, ARefusalOnlySignsOutTheTokenItWasSentWith) {
    prefsFor = [](const QString& token) {
        return ScriptedResponse::json(200, token == QStringLiteral("old") ? R"({"id":1,"email":"old@x"})"
                                                                          : R"({"id":2,"email":"new@x"})");
    };
    auto slow = std::make_shared<SlowSecretStore>();
    SecretStore::setShared(slow);
    AppSession& session = signIn(QStringLiteral("old"), 1);
    EXPECT_EQ(session.userEmail(), QStringLiteral("old@x"));

    // The backend refuses the old token while the new one is being written.
    slow->hold();
    QCoro::Task<bool> saving = session.setToken(QStringLiteral("new"));
    ASSERT_TRUE(spinUntil([&] { return slow->waiting() == 1; }));
    AuthFailureNotifier::shared().post(QStringLiteral("old"));
    ASSERT_TRUE(spinUntil([&] { return !session.userToken().has_value(); }));
    EXPECT_EQ(session.lastError(), kExpired);
    EXPECT_FALSE(session.userEmail().has_value()); // the e-mail goes with its token
    slow->release();
    EXPECT_TRUE(runTask(std::move(saving)));
    spinFor(100); // the deletion asked by the refusal has had its turn
    EXPECT_EQ(slow->memory.peek(KeychainStore::tokenService, KeychainStore::tokenAccount)->value,
              QByteArray("new"));
    EXPECT_EQ(session.userToken(), QStringLiteral("new"));
    EXPECT_TRUE(spinUntil([&] { return session.userEmail() == QStringLiteral("new@x"); }));
    EXPECT_EQ(BridgeService::shared().token(), QStringLiteral("new"));

    // Another account's token: the previous e-mail is not shown meanwhile.
    prefsFor = [](const QString&) {
        ScriptedResponse answer = ScriptedResponse::json(200, R"({"id":3,"email":"third@x"})");
        answer.holdMs = 300;
        return answer;
    };
    EXPECT_TRUE(runTask(session.setToken(QStringLiteral("third"))));
    EXPECT_FALSE(session.userEmail().has_value());
    EXPECT_TRUE(spinUntil([&] { return session.userEmail() == QStringLiteral("third@x"); }));

    // A refusal of the token in use deletes it, and only it.
    AuthFailureNotifier::shared().post(QStringLiteral("third"));
    EXPECT_TRUE(spinUntil(
        [&] { return !slow->memory.peek(KeychainStore::tokenService, KeychainStore::tokenAccount); }));
    EXPECT_FALSE(session.userEmail().has_value());

    // A save of the very token being refused does not sign in with it again.
    EXPECT_TRUE(runTask(session.setToken(QStringLiteral("fourth"))));
    slow->hold();
    QCoro::Task<bool> again = session.setToken(QStringLiteral("fourth"));
    ASSERT_TRUE(spinUntil([&] { return slow->waiting() == 1; }));
    AuthFailureNotifier::shared().post(QStringLiteral("fourth"));
    ASSERT_TRUE(spinUntil([&] { return !session.userToken().has_value(); }));
    slow->release();
    EXPECT_FALSE(runTask(std::move(again)));
    EXPECT_FALSE(session.isAuthenticated());
    EXPECT_EQ(session.lastError(), kExpired);
}

TEST_F(AppSessionTest, ASignOutTheKeychainDidNotCarryOutIsReportedAndNotUsedAgain) {
    AppSession& session = signIn(QStringLiteral("tok"), 7);
    secrets->setFailure(MemorySecretStore::Operation::Remove, SecretStatus::interactionNotAllowed);
    EXPECT_FALSE(runTask(session.setToken(QString())));
    EXPECT_FALSE(session.isAuthenticated()); // signed out all the same
    EXPECT_FALSE(BridgeService::shared().isRunning());
    EXPECT_EQ(session.lastError(), AppSession::tokenKeptText());
    EXPECT_TRUE(secrets->peek(KeychainStore::tokenService, KeychainStore::tokenAccount));

    // The next start does not sign in with the token left behind.
    AppSession::resetSharedForTesting();
    {
        AppSession& next = AppSession::shared();
        ASSERT_TRUE(spinUntil([&] { return !next.isLoadingStoredToken(); }));
        EXPECT_FALSE(next.isAuthenticated());
        EXPECT_EQ(KeychainStore::read(QString()), std::nullopt);

        // A token saved again is used again; a clear that succeeds forgets the mark.
        secrets->setFailure(MemorySecretStore::Operation::Remove, std::nullopt);
        EXPECT_TRUE(runTask(next.setToken(QStringLiteral("tok-2"))));
        EXPECT_EQ(KeychainStore::read(QString()), QStringLiteral("tok-2"));
        EXPECT_FALSE(KeychainStore::tokenWithdrawn());
    }
}

TEST_F(AppSessionTest, TheKeychainIsAskedOffTheGuiThreadAndInOrder) {
    auto slow = std::make_shared<SlowSecretStore>();
    SecretStore::setShared(slow);
    KeychainStore::save(QStringLiteral("stored"));
    slow->hold();

    // Start-up: the read waits on the keychain's thread while the GUI thread runs.
    {
        AppSession& session = AppSession::shared();
        EXPECT_TRUE(session.isLoadingStoredToken());
        EXPECT_FALSE(session.isAuthenticated());
        ASSERT_TRUE(spinUntil([&] { return slow->waiting() == 1; }));
        bool loaded = false;
        QObject::connect(&session, &AppSession::storedTokenLoaded, &session, [&] { loaded = true; });
        slow->release();
        ASSERT_TRUE(spinUntil([&] { return loaded; }));
        EXPECT_FALSE(session.isLoadingStoredToken());
        EXPECT_EQ(session.userToken(), QStringLiteral("stored"));
        EXPECT_TRUE(spinUntil([&] { return session.userId() == 7; })); // hydrated
        EXPECT_TRUE(BridgeService::shared().isRunning());
    }

    // A token set while the stored one is still being read wins over it.
    AppSession::resetSharedForTesting();
    slow->hold();
    {
        AppSession& session = AppSession::shared();
        ASSERT_TRUE(spinUntil([&] { return slow->waiting() == 1; }));
        auto signingIn = session.setToken(QStringLiteral("typed"));
        EXPECT_FALSE(session.isAuthenticated()); // not before the keychain has it
        slow->release();
        EXPECT_TRUE(runTask(std::move(signingIn)));
        EXPECT_FALSE(session.isLoadingStoredToken());
        EXPECT_EQ(session.userToken(), QStringLiteral("typed"));

        // Signing out takes effect at once; the deletion waits its turn behind a save
        // asked before it, so the keychain ends empty.
        slow->hold();
        auto saving = session.setToken(QStringLiteral("later"));
        auto signingOut = session.setToken(QString());
        EXPECT_FALSE(session.isAuthenticated());
        EXPECT_FALSE(BridgeService::shared().isRunning());
        slow->release();
        EXPECT_TRUE(runTask(std::move(signingOut)));
        EXPECT_TRUE(runTask(std::move(saving)));
        EXPECT_FALSE(session.isAuthenticated()); // the later sign-out decides
        EXPECT_FALSE(slow->memory.peek(KeychainStore::tokenService, KeychainStore::tokenAccount));
    }
}

TEST_F(AppSessionTest, AFailedKeychainSaveChangesNothing) {
    AppSession& session = signIn(QStringLiteral("tok"), 7);
    secrets->setFailure(MemorySecretStore::Operation::Store, SecretStatus::notAvailable);
    secrets->setFailure(MemorySecretStore::Operation::Replace, SecretStatus::notAvailable);
    EXPECT_FALSE(runTask(session.setToken(QStringLiteral("other"))));
    EXPECT_EQ(session.lastError(), kNoSecretService);
    EXPECT_EQ(session.userToken(), QStringLiteral("tok"));
    EXPECT_EQ(session.userId(), 7);
    EXPECT_EQ(BridgeService::shared().token(), QStringLiteral("tok"));
}

TEST_F(AppSessionTest, ATokenNoRequestCouldCarryIsRefusedBeforeAnythingChanges) {
    AppSession& session = AppSession::shared();
    for (const QString& token : {QStringLiteral("ab\ncd"), QStringLiteral("ab\rcd"), QStringLiteral("a\tb"),
                                 QStringLiteral(" a") + QChar(0) + QStringLiteral("b "),
                                 QStringLiteral("a") + QChar(0x7F) + QStringLiteral("b")}) {
        SCOPED_TRACE(token.toStdString());
        session.setLastError(std::nullopt);
        EXPECT_FALSE(runTask(session.setToken(token)));
        EXPECT_EQ(session.lastError(),
                  QStringLiteral(
                      "Ce jeton n'est pas valide : il contient des caractères de contrôle. Recolle-le."));
        EXPECT_FALSE(session.userToken().has_value());
        EXPECT_EQ(secrets->itemCount(), 0);
        EXPECT_FALSE(BridgeService::shared().isRunning());
    }
    // Signed in, a bad token leaves the session as it was.
    signIn(QStringLiteral("tok"), 7);
    EXPECT_FALSE(runTask(session.setToken(QStringLiteral("t\nok"))));
    EXPECT_EQ(session.userToken(), QStringLiteral("tok"));
    EXPECT_EQ(KeychainStore::read(QString()), QStringLiteral("tok"));
    EXPECT_EQ(session.userId(), 7);
    EXPECT_EQ(BridgeService::shared().token(), QStringLiteral("tok"));
}

TEST_F(AppSessionTest, AChoiceMadeWhileHydratingIsKeptAndPushed) {
    prefsFor = [](const QString&) {
        ScriptedResponse answer = ScriptedResponse::json(
            200,
            R"({"id":7,"default_voice_mode":"realtime","default_provider":"anthropic","audio_output":false})");
        answer.holdMs = 300;
        return answer;
    };
    AppSession& session = AppSession::shared();
    ASSERT_TRUE(runTask(session.setToken(QStringLiteral("tok"))));
    ASSERT_TRUE(spinUntil([&] { return !requests("GET", QStringLiteral("/api/v1/me.json")).isEmpty(); }));
    session.setProvider(Provider::Gemini); // while the answer is on its way
    session.setAudioOutput(AudioOutput::Gpt);
    ASSERT_TRUE(spinUntil([&] { return session.userId() == 7; }));
    EXPECT_EQ(session.provider(), Provider::Gemini);
    EXPECT_EQ(session.audioOutput(), AudioOutput::Gpt);
    EXPECT_EQ(session.voiceMode(), VoiceMode::Realtime); // untouched: the server's value
    ASSERT_TRUE(spinUntil([&] { return !patches().isEmpty(); }));
    spinFor(700);
    ASSERT_EQ(patches().size(), 1);
    const Json user = json::parse(patches().first().body).at("user");
    EXPECT_EQ(user.at("default_provider"), "gemini");
    EXPECT_EQ(user.at("audio_output"), true);
    EXPECT_EQ(user.at("default_voice_mode"), "realtime");

    // Without a change meanwhile, hydration pushes nothing back.
    runTask(session.hydrateFromServer());
    spinFor(700);
    EXPECT_EQ(patches().size(), 1);
    EXPECT_EQ(session.provider(), Provider::Anthropic);
}

TEST_F(AppSessionTest, OnePreferencePushAtATimeAndTheLatestLast) {
    QList<qint64> arrivals;
    QElapsedTimer clock;
    clock.start();
    backend.routePrefix("PATCH", QStringLiteral("/users/"), [&](const RecordedRequest&) {
        arrivals.append(clock.elapsed());
        ScriptedResponse answer = ScriptedResponse::json(200, "{}");
        answer.holdMs = arrivals.size() == 1 ? 900 : 0; // the first push is slow to land
        return answer;
    });
    AppSession& session = signIn(QStringLiteral("tok"), 7);
    session.setProvider(Provider::Gemini);
    ASSERT_TRUE(spinUntil([&] { return arrivals.size() == 1; }));
    session.setProvider(Provider::Local); // due 500 ms later, while the first is still in flight
    session.setProvider(Provider::Anthropic);
    ASSERT_TRUE(spinUntil([&] { return arrivals.size() == 2; }));
    EXPECT_GE(arrivals[1] - arrivals[0], 850); // sent once the first had landed
    spinFor(700);
    ASSERT_EQ(patches().size(), 2);
    EXPECT_EQ(json::parse(patches().first().body).at("user").at("default_provider"), "gemini");
    EXPECT_EQ(json::parse(patches().last().body).at("user").at("default_provider"), "anthropic");
    EXPECT_FALSE(session.hasPendingServerSync());
}

TEST(ComputerNameTest, ReadsThePrettyHostName) {
    EXPECT_EQ(AppSession::prettyHostName("PRETTY_HOSTNAME=\"Portable de Zoé\"\nCHASSIS=laptop\n"),
              QStringLiteral("Portable de Zoé"));
    EXPECT_EQ(AppSession::prettyHostName("# x\nPRETTY_HOSTNAME=Atelier\n"), QStringLiteral("Atelier"));
    EXPECT_EQ(AppSession::prettyHostName("PRETTY_HOSTNAME='Atelier 2'"), QStringLiteral("Atelier 2"));
    EXPECT_EQ(AppSession::prettyHostName("PRETTY_HOSTNAME=\"Say \\\"hi\\\"\""), QStringLiteral("Say \"hi\""));
    EXPECT_EQ(AppSession::prettyHostName("ICON_NAME=computer\n"), QString());

    QTemporaryFile info;
    ASSERT_TRUE(info.open());
    info.write("PRETTY_HOSTNAME=\"Bureau de Zoé\"\n");
    info.flush();
    EXPECT_EQ(AppSession::computerName(info.fileName()), QStringLiteral("Bureau de Zoé"));
    EXPECT_EQ(AppSession::computerName(QStringLiteral("/nonexistent/machine-info")),
              QSysInfo::machineHostName());
}

} // namespace

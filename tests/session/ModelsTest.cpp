#include "session/Models.h"

#include <gtest/gtest.h>

TEST(ChatMessage, NewMessagesGetFreshIdsAndTheCurrentTime) {
    const double before = ReferenceDate::now();
    ChatMessage a(ChatMessage::Role::User, QStringLiteral("Salut"));
    ChatMessage b(ChatMessage::Role::User, QStringLiteral("Salut"));
    EXPECT_NE(a.id, b.id);
    EXPECT_FALSE(a == b);
    EXPECT_GE(a.createdAt, before);
    EXPECT_LE(a.createdAt, ReferenceDate::now());
}

TEST(ChatMessage, JsonRoundTripKeepsEveryField) {
    ChatMessage m(ChatMessage::Role::Assistant, QStringLiteral("Bonjour « toi »"));
    m.createdAt = 123456789.123456789;
    const Json j = m.toJson();
    EXPECT_EQ(j.size(), 4u);
    EXPECT_EQ(j["role"], "assistant");
    const QString id = json::qstr(j["id"]);
    EXPECT_EQ(id, id.toUpper());
    EXPECT_EQ(id.size(), 36);
    EXPECT_EQ(ChatMessage::fromJson(json::parse(json::dump(j))), m);
}

TEST(ChatMessage, DecodingIsStrict) {
    const auto zero = ChatMessage::fromJson(json::parse(
        R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","role":"user","content":"x","createdAt":0,"extra":1})"));
    EXPECT_EQ(ReferenceDate::toDateTime(zero.createdAt), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
    EXPECT_THROW(ChatMessage::fromJson(json::parse(
                     R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","role":"user","content":"x"})")),
                 JsonDecodingError);
    EXPECT_THROW(
        ChatMessage::fromJson(json::parse(
            R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","role":"system","content":"x","createdAt":1})")),
        JsonDecodingError);
}

TEST(SettingEnums, RawValuesAreExactAndCaseSensitive) {
    EXPECT_FALSE(fromRaw<Provider>(QStringLiteral("OpenAI")));
    EXPECT_FALSE(fromRaw<VoiceMode>(QStringLiteral("Realtime")));
    EXPECT_FALSE(fromRaw<Mode>(QString()));
    EXPECT_EQ(fromRaw<VoiceMode>(QStringLiteral("pushToTalk")), VoiceMode::PushToTalk);
    EXPECT_EQ(fromRaw<SummonFallbackShortcut>(QStringLiteral("commandJ")), SummonFallbackShortcut::CommandJ);
    for (auto p : allCases<Provider>())
        EXPECT_EQ(fromRaw<Provider>(rawValue(p)), p);
    EXPECT_EQ(allCases<SummonBehavior>(),
              (QList<SummonBehavior>{SummonBehavior::LastUsed, SummonBehavior::Chat, SummonBehavior::Voice}));
}

TEST(SettingEnums, FrenchLabels) {
    EXPECT_EQ(label(SummonFallbackShortcut::CommandJ), QStringLiteral("⌘J"));
    EXPECT_EQ(label(AudioOutput::Local), QStringLiteral("Voix système"));
    EXPECT_EQ(description(VoiceMode::PushToTalk),
              QStringLiteral("Appuie, parle, relâche. Transcription + réponse."));
    EXPECT_EQ(label(SummonBehavior::LastUsed), QStringLiteral("Dernier mode utilisé"));
}

#include "session/Models.h"

#include "platform/Localization.h"

#include <array>
#include <cmath>
#include <utility>

namespace ReferenceDate {
namespace {
const QDateTime& reference() {
    static const QDateTime epoch(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return epoch;
}
} // namespace

double now() {
    return fromDateTime(QDateTime::currentDateTimeUtc());
}

double fromDateTime(const QDateTime& dateTime) {
    return static_cast<double>(reference().msecsTo(dateTime)) / 1000.0;
}

QDateTime toDateTime(double secondsSinceReference) {
    return reference().addMSecs(static_cast<qint64>(std::llround(secondsSinceReference * 1000.0)));
}
} // namespace ReferenceDate

QString uuidText(const QUuid& uuid) {
    return uuid.toString(QUuid::WithoutBraces).toUpper();
}

QString newUuidText() {
    return uuidText(QUuid::createUuid());
}

ChatMessage::ChatMessage(Role role, QString content)
    : id(QUuid::createUuid())
    , role(role)
    , content(std::move(content))
    , createdAt(ReferenceDate::now()) {}

ChatMessage::ChatMessage(QUuid id, Role role, QString content, double createdAt)
    : id(id)
    , role(role)
    , content(std::move(content))
    , createdAt(createdAt) {}

QString ChatMessage::roleRawValue(Role role) {
    return role == Role::User ? QStringLiteral("user") : QStringLiteral("assistant");
}

std::optional<ChatMessage::Role> ChatMessage::roleFromRaw(const QString& raw) {
    if (raw == QLatin1String("user"))
        return Role::User;
    if (raw == QLatin1String("assistant"))
        return Role::Assistant;
    return std::nullopt;
}

Json ChatMessage::toJson() const {
    Json object = Json::object();
    object["id"] = json::str(uuidText(id));
    object["role"] = json::str(roleRawValue(role));
    object["content"] = json::str(content);
    object["createdAt"] = createdAt;
    return object;
}

QString ChatMessage::withWarning(const QString& answer, const QString& warning) {
    const QString line = QStringLiteral("\u26A0\uFE0F ") + warning;
    return answer.isEmpty() ? line : answer + QStringLiteral("\n\n") + line;
}

ChatMessage ChatMessage::fromJson(const Json& object) {
    const QString idText = json::requireString(object, "id");
    const QUuid parsedId = QUuid::fromString(idText);
    if (parsedId.isNull() || idText.size() != 36)
        throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch, QStringLiteral("id"));
    const auto parsedRole = roleFromRaw(json::requireString(object, "role"));
    if (!parsedRole)
        throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch, QStringLiteral("role"));
    const QString text = json::requireString(object, "content");
    const double created = json::requireDouble(object, "createdAt");
    return ChatMessage(parsedId, *parsedRole, text, created);
}

namespace {
template <typename E, std::size_t N> using Table = std::array<std::pair<E, const char*>, N>;

constexpr Table<Mode, 2> kModes{{{Mode::Microphone, "microphone"}, {Mode::Chat, "chat"}}};
constexpr Table<Provider, 4> kProviders{{{Provider::OpenAI, "openai"},
                                         {Provider::Anthropic, "anthropic"},
                                         {Provider::Gemini, "gemini"},
                                         {Provider::Local, "local"}}};
constexpr Table<VoiceMode, 2> kVoiceModes{
    {{VoiceMode::PushToTalk, "pushToTalk"}, {VoiceMode::Realtime, "realtime"}}};
constexpr Table<AudioOutput, 3> kAudioOutputs{
    {{AudioOutput::Auto, "auto"}, {AudioOutput::Gpt, "gpt"}, {AudioOutput::Local, "local"}}};
constexpr Table<SummonBehavior, 3> kSummonBehaviors{{{SummonBehavior::LastUsed, "lastUsed"},
                                                     {SummonBehavior::Chat, "chat"},
                                                     {SummonBehavior::Voice, "voice"}}};
constexpr Table<SummonFallbackShortcut, 2> kShortcuts{
    {{SummonFallbackShortcut::None, "none"}, {SummonFallbackShortcut::CommandJ, "commandJ"}}};

template <typename E, std::size_t N> QString rawOf(const Table<E, N>& table, E value) {
    for (const auto& [e, raw] : table)
        if (e == value)
            return QString::fromLatin1(raw);
    return QString();
}

template <typename E, std::size_t N> std::optional<E> parse(const Table<E, N>& table, const QString& raw) {
    for (const auto& [e, text] : table)
        if (raw == QLatin1String(text))
            return e;
    return std::nullopt;
}

template <typename E, std::size_t N> QList<E> cases(const Table<E, N>& table) {
    QList<E> list;
    for (const auto& entry : table)
        list.append(entry.first);
    return list;
}
} // namespace

QString rawValue(Mode value) {
    return rawOf(kModes, value);
}
QString rawValue(Provider value) {
    return rawOf(kProviders, value);
}
QString rawValue(VoiceMode value) {
    return rawOf(kVoiceModes, value);
}
QString rawValue(AudioOutput value) {
    return rawOf(kAudioOutputs, value);
}
QString rawValue(SummonBehavior value) {
    return rawOf(kSummonBehaviors, value);
}
QString rawValue(SummonFallbackShortcut value) {
    return rawOf(kShortcuts, value);
}

template <> std::optional<Mode> fromRaw<Mode>(const QString& raw) {
    return parse(kModes, raw);
}
template <> std::optional<Provider> fromRaw<Provider>(const QString& raw) {
    return parse(kProviders, raw);
}
template <> std::optional<VoiceMode> fromRaw<VoiceMode>(const QString& raw) {
    return parse(kVoiceModes, raw);
}
template <> std::optional<AudioOutput> fromRaw<AudioOutput>(const QString& raw) {
    return parse(kAudioOutputs, raw);
}
template <> std::optional<SummonBehavior> fromRaw<SummonBehavior>(const QString& raw) {
    return parse(kSummonBehaviors, raw);
}
template <> std::optional<SummonFallbackShortcut> fromRaw<SummonFallbackShortcut>(const QString& raw) {
    return parse(kShortcuts, raw);
}

template <> QList<Mode> allCases<Mode>() {
    return cases(kModes);
}
template <> QList<Provider> allCases<Provider>() {
    return cases(kProviders);
}
template <> QList<VoiceMode> allCases<VoiceMode>() {
    return cases(kVoiceModes);
}
template <> QList<AudioOutput> allCases<AudioOutput>() {
    return cases(kAudioOutputs);
}
template <> QList<SummonBehavior> allCases<SummonBehavior>() {
    return cases(kSummonBehaviors);
}
template <> QList<SummonFallbackShortcut> allCases<SummonFallbackShortcut>() {
    return cases(kShortcuts);
}

QString label(VoiceMode value) {
    return value == VoiceMode::PushToTalk ? loc("Push-to-talk") : loc("Temps réel");
}

QString label(AudioOutput value) {
    switch (value) {
    case AudioOutput::Auto:
        return loc("Auto");
    case AudioOutput::Gpt:
        return loc("Voix GPT");
    case AudioOutput::Local:
        return loc("Voix système");
    }
    return QString();
}

QString label(SummonBehavior value) {
    switch (value) {
    case SummonBehavior::LastUsed:
        return loc("Dernier mode utilisé");
    case SummonBehavior::Chat:
        return loc("Toujours le chat");
    case SummonBehavior::Voice:
        return loc("Toujours la voix");
    }
    return QString();
}

QString label(SummonFallbackShortcut value) {
    return value == SummonFallbackShortcut::None ? loc("Aucun") : loc("⌘J");
}

QString description(VoiceMode value) {
    return value == VoiceMode::PushToTalk ? loc("Appuie, parle, relâche. Transcription + réponse.")
                                          : loc("Conversation bidirectionnelle via OpenAI Realtime.");
}

QString description(AudioOutput value) {
    switch (value) {
    case AudioOutput::Auto:
        return loc("Voix GPT si disponible, sinon synthèse locale.");
    case AudioOutput::Gpt:
        return loc("Toujours la voix de GPT (provider OpenAI uniquement).");
    case AudioOutput::Local:
        return loc("Synthèse vocale macOS (AVSpeechSynthesizer).");
    }
    return QString();
}

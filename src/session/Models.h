#pragma once

#include "platform/Json.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QTimeZone>
#include <QUuid>

#include <optional>

// Seconds since 2001-01-01 00:00:00 UTC, the reference date of stored dates.
namespace ReferenceDate {
double now();
double fromDateTime(const QDateTime& dateTime);
QDateTime toDateTime(double secondsSinceReference);
} // namespace ReferenceDate

// Canonical upper-case text of a UUID (36 characters with hyphens).
QString uuidText(const QUuid& uuid);
QString newUuidText();

// One conversation turn.
struct ChatMessage {
    enum class Role { User, Assistant };

    QUuid id;
    Role role = Role::User;
    QString content;
    double createdAt = 0; // seconds since the reference date

    ChatMessage(Role role, QString content);
    ChatMessage(QUuid id, Role role, QString content, double createdAt);

    bool operator==(const ChatMessage& other) const = default;

    static QString roleRawValue(Role role);
    static std::optional<Role> roleFromRaw(const QString& raw);

    Json toJson() const;
    static ChatMessage fromJson(const Json& object); // throws JsonDecodingError

    // "⚠️ " and the warning, under the answer so far when there is one (a blank
    // line between): how a bubble says that its answer is not whole.
    static QString withWarning(const QString& answer, const QString& warning);
};

// The setting enumerations. Raw values are the case names; parsing is exact and
// case-sensitive. allCases() lists them in the order pickers show them.
enum class Mode { Microphone, Chat };
enum class Provider { OpenAI, Anthropic, Gemini, Local };
enum class VoiceMode { PushToTalk, Realtime };
enum class AudioOutput { Auto, Gpt, Local };
enum class SummonBehavior { LastUsed, Chat, Voice };
enum class SummonFallbackShortcut { None, CommandJ };

QString rawValue(Mode value);
QString rawValue(Provider value);
QString rawValue(VoiceMode value);
QString rawValue(AudioOutput value);
QString rawValue(SummonBehavior value);
QString rawValue(SummonFallbackShortcut value);

template <typename E> std::optional<E> fromRaw(const QString& raw);
template <> std::optional<Mode> fromRaw<Mode>(const QString& raw);
template <> std::optional<Provider> fromRaw<Provider>(const QString& raw);
template <> std::optional<VoiceMode> fromRaw<VoiceMode>(const QString& raw);
template <> std::optional<AudioOutput> fromRaw<AudioOutput>(const QString& raw);
template <> std::optional<SummonBehavior> fromRaw<SummonBehavior>(const QString& raw);
template <> std::optional<SummonFallbackShortcut> fromRaw<SummonFallbackShortcut>(const QString& raw);

template <typename E> QList<E> allCases();
template <> QList<Mode> allCases<Mode>();
template <> QList<Provider> allCases<Provider>();
template <> QList<VoiceMode> allCases<VoiceMode>();
template <> QList<AudioOutput> allCases<AudioOutput>();
template <> QList<SummonBehavior> allCases<SummonBehavior>();
template <> QList<SummonFallbackShortcut> allCases<SummonFallbackShortcut>();

QString label(VoiceMode value);
QString label(AudioOutput value);
QString label(SummonBehavior value);
QString label(SummonFallbackShortcut value);
QString description(VoiceMode value);
QString description(AudioOutput value);

#pragma once

#include "bridge/BridgeService.h"
#include "localllm/BridgeHeartbeat.h"
#include "session/APIService.h"

#include <QDateTime>
#include <QString>

#include <optional>

// The pure rules of the Corvane panel: what the backend's proactive settings, this
// computer's signals and the clock say about readiness, the Secure Access window and
// the next step to take. Nothing here keeps state or does I/O; the panel's presenter
// calls them on every render, and the ticking rows call the ones that take `now`.
namespace corvane {

using Settings = APIService::ProactiveSettingsResponse;
using OptSettings = std::optional<Settings>;

// Colour roles; the widgets map them onto the palette.
enum class Tint { Default, Accent, Secondary, Green, Orange, Red, Blue };

// Settings keys the panel reads and writes.
inline constexpr auto kSettingsInitialTabKey = "settingsInitialTab";
inline constexpr auto kPanelAnchorKey = "corvanePanelAnchor";
inline constexpr auto kHighSecurityModeKey = "highSecurityMode";

// Tabs of the Settings window and anchors of the panel, as stored.
namespace tab {
inline const QString general = QStringLiteral("general");
inline const QString bridge = QStringLiteral("bridge");
inline const QString corvane = QStringLiteral("corvane");
inline const QString localLlm = QStringLiteral("localLlm");
} // namespace tab
namespace anchor {
inline const QString summary = QStringLiteral("summary");
inline const QString localRuntime = QStringLiteral("localRuntime");
inline const QString secureAccess = QStringLiteral("secureAccess");
inline const QString activity = QStringLiteral("activity");
inline const QString approvals = QStringLiteral("approvals");
} // namespace anchor

// What a next-step button does, as data; CorvaneActionExecutor carries it out.
struct PlanAction {
    enum class Kind { OpenSettingsTab, ShowPanelAnchor, OpenLocalSetup };
    Kind kind = Kind::OpenSettingsTab;
    QString target; // the tab or the anchor; empty for the setup entry
    bool operator==(const PlanAction&) const = default;
};

// One recommended step of a card.
struct NextStepPlan {
    QString title;
    QString description;
    std::optional<QString> buttonTitle;
    std::optional<QString> buttonSystemImage;
    std::optional<PlanAction> action;
    bool operator==(const NextStepPlan&) const = default;
};

// A capsule of the header: its text, symbol and tint.
struct Badge {
    QString label;
    QString symbol;
    Tint tint = Tint::Secondary;
    bool operator==(const Badge&) const = default;
};

// ---- Dates and relative times -----------------------------------------------------

// The internet date-and-time form: "2026-03-01T10:00:00Z" or with "+01:00"; no
// fractional seconds, no other shape. Nothing for absent, empty or refused text.
std::optional<QDateTime> parseDate(const std::optional<QString>& text);
// The date told as a full-word French distance from now: "il y a 5 minutes",
// "dans 2 heures", "il y a 0 seconde" (within the current second).
QString relativeTime(const QDateTime& date, const QDateTime& now);

// ---- Secure Access window ------------------------------------------------------------

// Largest duration_minutes taken into account (beyond it the product would overflow).
inline constexpr qint64 kMaxDurationMinutes = 1000000;

std::optional<QDateTime> secureAccessExpiryDate(const OptSettings& settings);
std::optional<QDateTime> secureAccessActivationDate(const OptSettings& settings);
std::optional<qint64> activeSecureAccessRemainingSeconds(const OptSettings& settings, const QDateTime& now);
qint64 secureAccessTotalSeconds(const OptSettings& settings);
QString durationLabel(qint64 seconds);
bool secureAccessHealthy(const OptSettings& settings);
bool approvalRequired(const OptSettings& settings);
bool secureAccessTargetsThisMac(const OptSettings& settings, const QString& deviceId);
QString secureAccessTargetSummary(const OptSettings& settings, const QString& deviceId);
QString secureAccessSummary(const OptSettings& settings, const QDateTime& now);
QString secureAccessWindowSummary(const OptSettings& settings, const QDateTime& now);
bool hasRecentSecureAccessVerification(const OptSettings& settings, const QDateTime& now);
QString secureAccessVerificationLabel(const OptSettings& settings, const QDateTime& now);
Badge secureAccessHeaderBadge(const OptSettings& settings, const QDateTime& now);

// The urgency band of a remaining time (absent or ≤ 0, 1–300, 301–600, above).
struct UrgencyBand {
    Tint tint;
    QString symbol;
    QString label;
    bool operator==(const UrgencyBand&) const = default;
};
UrgencyBand urgencyBand(std::optional<qint64> remaining);

// ---- Reasons, labels and plans ---------------------------------------------------------

QString reasonDescription(const QString& reason, const QString& modeName);
QString blockedLabel(const std::optional<QString>& reason, const QString& modeName);
QString readinessLabel(const std::optional<APIService::ProactiveModeReadiness>& readiness,
                       const std::optional<QString>& fallbackStatus, const QString& modeName);
QString bridgeKindLabel(BridgeTaskKind kind);
QString bridgeStatusLabel(const BridgeService::Status& status);
// True while the bridge is idle, polling or busy.
bool bridgeRunning(const BridgeService::Status& status);

bool localRuntimeHealthy(bool localLLMEnabled, const std::optional<BridgeHeartbeat>& heartbeat);
QString localRuntimeLabel(bool localLLMEnabled, const std::optional<BridgeHeartbeat>& heartbeat);

bool preferredHostIsThisMac(const OptSettings& settings, const QString& deviceId);
QString activeMacLabel(const OptSettings& settings, const QString& deviceId);
QString localHostSummary(bool isAuthenticated, bool bridgeEnabled, const BridgeService::Status& status);
bool localHostHealthy(bool isAuthenticated, bool bridgeEnabled, const BridgeService::Status& status);
std::optional<QDateTime> preferredHostLastSeenDate(const OptSettings& settings);

// The header's mode badge ("Local", "Secure Access", "Cloud").
Badge currentModeBadge(const OptSettings& settings);

// The readiness entry of a mode, when the settings have one.
std::optional<APIService::ProactiveModeReadiness> modeReadiness(const OptSettings& settings,
                                                                const QString& mode);

struct PlanInputs {
    bool isAuthenticated = false;
    bool bridgeEnabled = false;
    bool localLLMEnabled = false;
    bool highSecurityMode = false;
};
std::optional<NextStepPlan> localNextStepPlan(const PlanInputs& in, const OptSettings& settings);
std::optional<NextStepPlan> secureAccessNextStepPlan(const PlanInputs& in, const OptSettings& settings);
// The fixed plan of the approvals card.
NextStepPlan approvalsPlan();

// The setup page the backend names, when it is an https URL with a host.
std::optional<QUrl> localSetupURL(const OptSettings& settings);

} // namespace corvane

#pragma once

#include "corvane/CorvaneRules.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// What the Corvane panel shows, as plain data: the panel's inputs go through pure
// functions to a header spec and five card specs (rows with their exact French text,
// emphasis, tint role and symbol name). The widgets only render specs.
namespace corvane {

// Everything the panel reads, taken at one moment.
struct PanelInputs {
    OptSettings settings;
    std::optional<BridgeHeartbeat> heartbeat;
    bool isAuthenticated = false;
    std::optional<QString> userEmail;
    bool bridgeEnabled = false;
    bool localLLMEnabled = false;
    QString localLLMEndpoint;
    BridgeService::Status bridgeStatus;
    qint64 tasksServed = 0;
    std::optional<QDateTime> lastTaskAt;
    bool highSecurityMode = false;
    QString deviceId;
    bool isLoading = false;
    bool mutationInFlight = false; // a Secure Access change (or its approval) is under way
    std::optional<QString> lastError;
    std::optional<QDateTime> lastLoadedAt;
    std::optional<QString> highlightedAnchor;
    QDateTime now;
};

// Rows whose text follows the clock.
enum class Tick {
    None,
    AccessSummary, // secureAccessSummary(at:)
    WindowSummary, // secureAccessWindowSummary(at:)
    Strip,         // the urgency strip
    Date,          // a relative date
};

struct StripSpec {
    Tint tint = Tint::Secondary;
    QString symbol;
    QString label;
    QString duration; // empty when no time is left
    double progress = 0;
    double opacity = 1;
    bool operator==(const StripSpec&) const = default;
};

struct ButtonSpec {
    QString id; // "activate", "renew", "revoke"
    QString title;
    QString symbol;
    bool prominent = false;
    bool enabled = true;
    bool spinner = false; // the label gives way to a small spinner
    bool operator==(const ButtonSpec&) const = default;
};

struct ShortcutButton {
    QString title;
    QString tab;
    bool operator==(const ShortcutButton&) const = default;
};

struct RowSpec {
    enum class Kind {
        Value,
        Date,
        Readiness,
        Callout,
        NextStep,
        Trust,
        Strip,
        Buttons,
        Hint,
        Shortcuts,
        Note
    };
    Kind kind = Kind::Value;
    QString title;
    QString value;
    bool emphasis = false;
    Tint tint = Tint::Default; // value colour (readiness, trust, callout symbol)
    QString symbol;            // trust and callout rows
    Tick tick = Tick::None;
    std::optional<QDateTime> date; // date rows
    std::optional<NextStepPlan> plan;
    std::optional<StripSpec> strip;
    QList<ButtonSpec> buttons;
    QList<ShortcutButton> shortcuts;
    bool operator==(const RowSpec&) const = default;
};

struct CardSpec {
    QString anchor; // the anchor whose highlight lights this card
    QString title;
    QString subtitle;
    bool highlighted = false;
    QList<RowSpec> rows;
    // The first row with this title (tests and widgets look rows up by title).
    const RowSpec* row(const QString& title) const;
};

struct HeaderSpec {
    QString title;
    QString subtitle;
    bool loading = false;
    QString refreshTitle;
    QString refreshSymbol;
    QList<Badge> badges;              // pairing, mode, proactive switch
    std::optional<Badge> secureBadge; // ticking; only with settings
    QString syncSymbol;
    Tint syncTint = Tint::Green;
    QString syncCaption;
    QString autoCaption;
    std::optional<QString> error;
};

struct PanelSpec {
    HeaderSpec header;
    QList<CardSpec> cards; // summary, local runtime, Secure Access, activity, approvals
};

inline constexpr int kAutoRefreshSeconds = 15;
inline constexpr qint64 kFreshnessMs = 37500;

bool panelDataIsFresh(const std::optional<QDateTime>& lastLoadedAt, const QDateTime& now);
// The relative text of a date row, "—" without a date.
QString dateRowText(const std::optional<QDateTime>& date, const QDateTime& now);
StripSpec urgencyStrip(const PanelInputs& in);

HeaderSpec buildHeader(const PanelInputs& in);
QString syncCaption(const PanelInputs& in);
CardSpec hostSummaryCard(const PanelInputs& in);
CardSpec localRuntimeCard(const PanelInputs& in);
CardSpec secureAccessCard(const PanelInputs& in);
CardSpec activityCard(const PanelInputs& in);
CardSpec approvalsCard(const PanelInputs& in);
PanelSpec buildPanel(const PanelInputs& in);

// A ticking row recomputed at in.now (rows without a tick come back unchanged).
RowSpec tickedRow(const RowSpec& row, const PanelInputs& in);

} // namespace corvane

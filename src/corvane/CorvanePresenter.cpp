#include "corvane/CorvanePresenter.h"

#include "platform/Localization.h"

#include <algorithm>

namespace corvane {

namespace {

RowSpec valueRow(const QString& title, const QString& value, bool emphasis) {
    RowSpec row;
    row.kind = RowSpec::Kind::Value;
    row.title = title;
    row.value = value;
    row.emphasis = emphasis;
    return row;
}

RowSpec tickingRow(const QString& title, bool emphasis, Tick tick, const PanelInputs& in) {
    RowSpec row = valueRow(title, QString(), emphasis);
    row.tick = tick;
    return tickedRow(row, in);
}

RowSpec dateRow(const QString& title, const std::optional<QDateTime>& date, const QDateTime& now) {
    RowSpec row;
    row.kind = RowSpec::Kind::Date;
    row.title = title;
    row.date = date;
    row.tick = Tick::Date;
    row.value = dateRowText(date, now);
    return row;
}

RowSpec readinessRow(const QString& title, const std::optional<APIService::ProactiveModeReadiness>& readiness,
                     const std::optional<QString>& fallbackStatus, const QString& modeName) {
    RowSpec row;
    row.kind = RowSpec::Kind::Readiness;
    row.title = title;
    row.value = readinessLabel(readiness, fallbackStatus, modeName);
    row.emphasis = true;
    row.tint = readiness && readiness->ready ? Tint::Green : Tint::Orange;
    return row;
}

// The reason callout of a mode, when its readiness entry carries a non-empty reason.
std::optional<RowSpec> callout(const PanelInputs& in, const QString& mode, const QString& modeName) {
    auto entry = modeReadiness(in.settings, mode);
    if (!entry || !entry->reason || entry->reason->isEmpty())
        return std::nullopt;
    RowSpec row;
    row.kind = RowSpec::Kind::Callout;
    row.symbol = QStringLiteral("exclamationmark.triangle.fill");
    row.tint = Tint::Orange;
    row.value = reasonDescription(*entry->reason, modeName);
    return row;
}

RowSpec nextStep(const NextStepPlan& plan) {
    RowSpec row;
    row.kind = RowSpec::Kind::NextStep;
    row.title = plan.title;
    row.value = plan.description;
    row.symbol = QStringLiteral("arrowshape.turn.up.forward.fill");
    row.tint = Tint::Accent;
    row.plan = plan;
    return row;
}

RowSpec trustRow(const QString& title, bool satisfied, const QString& healthy, const QString& blocked) {
    RowSpec row;
    row.kind = RowSpec::Kind::Trust;
    row.title = title;
    row.emphasis = satisfied;
    row.value = satisfied ? healthy : blocked;
    row.symbol =
        satisfied ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("exclamationmark.circle.fill");
    row.tint = satisfied ? Tint::Green : Tint::Orange;
    return row;
}

RowSpec textRow(RowSpec::Kind kind, const QString& text) {
    RowSpec row;
    row.kind = kind;
    row.value = text;
    return row;
}

CardSpec card(const QString& anchorId, const char* title, const char* subtitle, const PanelInputs& in) {
    CardSpec c;
    c.anchor = anchorId;
    c.title = loc(title);
    c.subtitle = loc(subtitle);
    c.highlighted = in.highlightedAnchor == anchorId;
    return c;
}

PlanInputs planInputs(const PanelInputs& in) {
    return PlanInputs{in.isAuthenticated, in.bridgeEnabled, in.localLLMEnabled, in.highSecurityMode};
}

} // namespace

const RowSpec* CardSpec::row(const QString& title) const {
    for (const RowSpec& r : rows)
        if (r.title == title)
            return &r;
    return nullptr;
}

bool panelDataIsFresh(const std::optional<QDateTime>& lastLoadedAt, const QDateTime& now) {
    return lastLoadedAt && lastLoadedAt->msecsTo(now) <= kFreshnessMs;
}

QString dateRowText(const std::optional<QDateTime>& date, const QDateTime& now) {
    return date ? relativeTime(*date, now) : QStringLiteral("—");
}

StripSpec urgencyStrip(const PanelInputs& in) {
    const auto remaining = activeSecureAccessRemainingSeconds(in.settings, in.now);
    const UrgencyBand band = urgencyBand(remaining);
    const qint64 n = remaining.value_or(0);
    StripSpec strip;
    strip.tint = band.tint;
    strip.symbol = band.symbol;
    strip.label = band.label;
    strip.duration = n > 0 ? durationLabel(n) : QString();
    if (remaining) {
        const double total = double(std::max<qint64>(secureAccessTotalSeconds(in.settings), 60));
        strip.progress = std::clamp(double(*remaining) / total, 0.0, 1.0);
    }
    strip.opacity = n > 0 ? 1.0 : 0.65;
    return strip;
}

RowSpec tickedRow(const RowSpec& row, const PanelInputs& in) {
    RowSpec r = row;
    switch (row.tick) {
    case Tick::None:
        break;
    case Tick::AccessSummary:
        r.value = secureAccessSummary(in.settings, in.now);
        break;
    case Tick::WindowSummary:
        r.value = secureAccessWindowSummary(in.settings, in.now);
        break;
    case Tick::Strip:
        r.strip = urgencyStrip(in);
        break;
    case Tick::Date:
        r.value = dateRowText(row.date, in.now);
        break;
    }
    return r;
}

QString syncCaption(const PanelInputs& in) {
    if (in.lastLoadedAt)
        return loc("Synchro ") + relativeTime(*in.lastLoadedAt, in.now);
    return in.isAuthenticated ? loc("En attente de la première synchro live")
                              : loc("Connecte ce Mac pour activer la synchro live");
}

HeaderSpec buildHeader(const PanelInputs& in) {
    HeaderSpec h;
    h.title = loc("Ombrix Corvane");
    h.subtitle =
        loc("Panneau de confiance pour le Local et le Secure Access. Les raisons de readiness viennent "
            "du backend ; ce Mac expose seulement ses signaux locaux et ses points de contrôle.");
    h.loading = in.isLoading;
    h.refreshTitle = loc("Rafraîchir");
    h.refreshSymbol = QStringLiteral("arrow.clockwise");
    h.badges.append(in.isAuthenticated
                        ? Badge{loc("Appairé"), QStringLiteral("checkmark.shield.fill"), Tint::Green}
                        : Badge{loc("Non appairé"), QStringLiteral("key.slash"), Tint::Orange});
    Badge mode = currentModeBadge(in.settings);
    mode.label = loc("Mode actuel : ") + mode.label;
    h.badges.append(mode);
    if (in.settings) {
        h.badges.append(
            in.settings->enabled
                ? Badge{loc("Mode proactif actif"), QStringLiteral("bolt.fill"), Tint::Blue}
                : Badge{loc("Mode proactif désactivé"), QStringLiteral("bolt.slash"), Tint::Secondary});
        h.secureBadge = secureAccessHeaderBadge(in.settings, in.now);
    }
    const bool fresh = panelDataIsFresh(in.lastLoadedAt, in.now);
    if (in.isLoading)
        h.syncSymbol = QStringLiteral("arrow.triangle.2.circlepath.circle.fill");
    else
        h.syncSymbol = fresh ? QStringLiteral("checkmark.arrow.trianglehead.clockwise")
                             : QStringLiteral("clock.badge.exclamationmark");
    h.syncTint = fresh ? Tint::Green : Tint::Orange;
    h.syncCaption = syncCaption(in);
    h.autoCaption = loc("Auto: ") + QString::number(kAutoRefreshSeconds) + loc(" s");
    h.error = in.lastError;
    return h;
}

CardSpec hostSummaryCard(const PanelInputs& in) {
    CardSpec c = card(anchor::summary, "Résumé de l’hôte",
                      "Ce que le backend voit de ce Mac et du compte appairé.", in);
    const QString account =
        in.userEmail ? *in.userEmail : (in.isAuthenticated ? loc("Oui") : loc("À connecter"));
    c.rows.append(valueRow(loc("Compte appairé"), account, in.isAuthenticated));
    c.rows.append(valueRow(loc("Mac actif"), activeMacLabel(in.settings, in.deviceId),
                           preferredHostIsThisMac(in.settings, in.deviceId)));
    c.rows.append(valueRow(loc("Host local"),
                           localHostSummary(in.isAuthenticated, in.bridgeEnabled, in.bridgeStatus),
                           localHostHealthy(in.isAuthenticated, in.bridgeEnabled, in.bridgeStatus)));
    c.rows.append(dateRow(loc("Dernier signal backend"), preferredHostLastSeenDate(in.settings), in.now));
    c.rows.append(valueRow(loc("Mode haute sécurité"), in.highSecurityMode ? loc("Activé") : loc("Désactivé"),
                           in.highSecurityMode));
    c.rows.append(valueRow(loc("Source du mode"),
                           in.settings ? in.settings->execution_mode_source : QStringLiteral("fallback"),
                           false));
    RowSpec shortcuts;
    shortcuts.kind = RowSpec::Kind::Shortcuts;
    shortcuts.shortcuts = {{loc("Configurer le bridge"), tab::bridge},
                           {loc("Configurer le LLM local"), tab::localLlm},
                           {loc("Sécurité"), tab::general}};
    c.rows.append(shortcuts);
    return c;
}

CardSpec localRuntimeCard(const PanelInputs& in) {
    CardSpec c = card(anchor::localRuntime, "Runtime local",
                      "État du host local, du bridge et des dépendances qui servent Corvane.", in);
    const QString local = QStringLiteral("local");
    c.rows.append(readinessRow(loc("Readiness backend"), modeReadiness(in.settings, local),
                               in.settings ? std::optional(in.settings->local_runtime_status) : std::nullopt,
                               loc("Local")));
    c.rows.append(
        valueRow(loc("Bridge local"), bridgeStatusLabel(in.bridgeStatus), bridgeRunning(in.bridgeStatus)));
    c.rows.append(
        valueRow(loc("Bridge activé"), in.bridgeEnabled ? loc("Oui") : loc("Non"), in.bridgeEnabled));
    c.rows.append(valueRow(loc("LLM local"), localRuntimeLabel(in.localLLMEnabled, in.heartbeat),
                           localRuntimeHealthy(in.localLLMEnabled, in.heartbeat)));
    const bool hasModel =
        in.heartbeat && in.heartbeat->loaded_model && !in.heartbeat->loaded_model->isEmpty();
    c.rows.append(
        valueRow(loc("Modèle chargé"), hasModel ? *in.heartbeat->loaded_model : loc("Aucun"), false));
    c.rows.append(valueRow(loc("Endpoint"), in.localLLMEndpoint, false));
    const bool preferred = preferredHostIsThisMac(in.settings, in.deviceId);
    c.rows.append(valueRow(loc("Préféré par le backend"),
                           preferred ? loc("Oui, ce Mac est la cible") : loc("Non, un autre Mac est préféré"),
                           preferred));
    if (auto box = callout(in, local, loc("Local")))
        c.rows.append(*box);
    if (auto plan = localNextStepPlan(planInputs(in), in.settings))
        c.rows.append(nextStep(*plan));
    return c;
}

CardSpec secureAccessCard(const PanelInputs& in) {
    CardSpec c = card(anchor::secureAccess, "Secure Access",
                      "État du remote short-lived access et de l’approbation sensible.", in);
    const QString mode = QStringLiteral("secure_access");
    const bool healthy = secureAccessHealthy(in.settings);
    const bool approval = approvalRequired(in.settings);
    c.rows.append(readinessRow(loc("Readiness backend"), modeReadiness(in.settings, mode),
                               in.settings ? std::optional(in.settings->secure_access_status) : std::nullopt,
                               loc("Secure Access")));
    c.rows.append(tickingRow(loc("Accès distant"), healthy, Tick::AccessSummary, in));
    c.rows.append(tickingRow(loc("Fenêtre active"), healthy, Tick::WindowSummary, in));
    c.rows.append(valueRow(loc("Hôte approuvé"), secureAccessTargetSummary(in.settings, in.deviceId),
                           secureAccessTargetsThisMac(in.settings, in.deviceId)));
    c.rows.append(valueRow(loc("Approval requise"), approval ? loc("Oui") : loc("Non"), approval));
    c.rows.append(dateRow(loc("Expire"), secureAccessExpiryDate(in.settings), in.now));
    c.rows.append(dateRow(loc("Dernière vérification"),
                          in.settings ? parseDate(in.settings->secure_access_last_verified_at) : std::nullopt,
                          in.now));
    c.rows.append(valueRow(loc("Présence utilisateur"),
                           in.highSecurityMode ? loc("Renforcée") : loc("Standard"), in.highSecurityMode));
    RowSpec strip;
    strip.kind = RowSpec::Kind::Strip;
    strip.tick = Tick::Strip;
    c.rows.append(tickedRow(strip, in));

    // The control block: activation date, buttons, hint.
    if (auto activated = secureAccessActivationDate(in.settings))
        c.rows.append(dateRow(loc("Autorisé depuis"), activated, in.now));
    RowSpec buttons;
    buttons.kind = RowSpec::Kind::Buttons;
    const bool busy = in.mutationInFlight;
    if (!healthy) {
        buttons.buttons.append({QStringLiteral("activate"), loc("Autoriser 30 min"),
                                QStringLiteral("lock.open.display"), true, !busy && in.bridgeEnabled, busy});
    } else {
        buttons.buttons.append({QStringLiteral("renew"), loc("Renouveler 30 min"),
                                QStringLiteral("clock.arrow.circlepath"), true, !busy, busy});
        buttons.buttons.append(
            {QStringLiteral("revoke"), loc("Révoquer"), QStringLiteral("xmark.shield"), false, !busy, false});
    }
    c.rows.append(buttons);
    c.rows.append(
        textRow(RowSpec::Kind::Hint, in.highSecurityMode
                                         ? loc("Cette autorisation ne vaut que pour une courte fenêtre et "
                                               "demande une authentification locale "
                                               "sur ce Mac avant chaque ouverture ou renouvellement.")
                                         : loc("Active le mode haute sécurité dans Général pour exiger une "
                                               "authentification locale avant chaque "
                                               "ouverture ou renouvellement de fenêtre Secure Access.")));

    if (auto box = callout(in, mode, loc("Secure Access")))
        c.rows.append(*box);
    if (auto plan = secureAccessNextStepPlan(planInputs(in), in.settings))
        c.rows.append(nextStep(*plan));
    return c;
}

CardSpec activityCard(const PanelInputs& in) {
    CardSpec c = card(anchor::activity, "Activité récente",
                      "Historique compact pour éviter l’effet “boîte noire”.", in);
    c.rows.append(dateRow(loc("Dernière synchro panneau"), in.lastLoadedAt, in.now));
    c.rows.append(dateRow(loc("Mode changé"),
                          in.settings ? parseDate(in.settings->execution_mode_set_at) : std::nullopt,
                          in.now));
    c.rows.append(dateRow(loc("Bridge actif récemment"), in.lastTaskAt, in.now));
    c.rows.append(dateRow(loc("Heartbeat du Mac préféré"), preferredHostLastSeenDate(in.settings), in.now));
    c.rows.append(dateRow(loc("Secure Access vérifié"),
                          in.settings ? parseDate(in.settings->secure_access_last_verified_at) : std::nullopt,
                          in.now));
    if (in.tasksServed >= 1)
        c.rows.append(valueRow(loc("Tâches locales servies"), QString::number(in.tasksServed), true));
    return c;
}

CardSpec approvalsCard(const PanelInputs& in) {
    CardSpec c = card(anchor::approvals, "Approvals et révocation",
                      "Surface de contrôle pour autoriser, renouveler ou couper l’accès distant court.", in);
    const bool healthy = secureAccessHealthy(in.settings);
    const bool approval = approvalRequired(in.settings);
    c.rows.append(trustRow(loc("Mode haute sécurité"), in.highSecurityMode, loc("Activé"),
                           loc("À activer pour des approvals renforcées")));
    c.rows.append(trustRow(loc("Bridge local"), in.bridgeEnabled && bridgeRunning(in.bridgeStatus),
                           loc("Actif"), in.bridgeEnabled ? loc("Dégradé ou arrêté") : loc("Désactivé")));
    const bool preferred = preferredHostIsThisMac(in.settings, in.deviceId);
    c.rows.append(trustRow(loc("Mac préféré visible"),
                           preferred && preferredHostLastSeenDate(in.settings).has_value(),
                           loc("Ce Mac est reconnu par le backend"),
                           preferred ? loc("Pas de signal récent")
                                     : loc("Un autre Mac est préféré ou aucun hôte n’est choisi")));
    const QString verification = secureAccessVerificationLabel(in.settings, in.now);
    c.rows.append(trustRow(loc("Vérification Secure Access"),
                           hasRecentSecureAccessVerification(in.settings, in.now), verification,
                           verification));
    c.rows.append(tickingRow(loc("Fenêtre courte"), healthy, Tick::WindowSummary, in));
    c.rows.append(valueRow(loc("Révocation immédiate"),
                           healthy ? loc("Disponible depuis ce panneau") : loc("Inactive"), healthy));
    c.rows.append(valueRow(
        loc("Demandes sensibles"),
        approval ? loc("Une approval backend est attendue") : loc("Aucune demande en attente"), approval));
    c.rows.append(
        textRow(RowSpec::Kind::Note,
                loc("Le backend n’ouvre plus les usages bridge sensibles quand le mode `Secure Access` est "
                    "choisi sans fenêtre active. Ce panneau est maintenant la surface qui autorise, "
                    "renouvelle et coupe cette fenêtre courte.")));
    if (approval)
        c.rows.append(nextStep(approvalsPlan()));
    return c;
}

PanelSpec buildPanel(const PanelInputs& in) {
    PanelSpec spec;
    spec.header = buildHeader(in);
    spec.cards = {hostSummaryCard(in), localRuntimeCard(in), secureAccessCard(in), activityCard(in),
                  approvalsCard(in)};
    return spec;
}

} // namespace corvane

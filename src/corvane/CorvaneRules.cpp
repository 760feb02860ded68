#include "corvane/CorvaneRules.h"

#include "platform/Localization.h"

#include <QDate>
#include <QRegularExpression>
#include <QTime>
#include <QTimeZone>

#include <algorithm>

namespace corvane {

namespace {

const QString kReady = QStringLiteral("ready");
const QString kSecureAccessMode = QStringLiteral("secure_access");

const APIService::SecureAccessSession* sessionOf(const OptSettings& settings) {
    if (!settings || !settings->secure_access_session)
        return nullptr;
    return &*settings->secure_access_session;
}

bool nonEmpty(const std::optional<QString>& text) {
    return text && !text->isEmpty();
}

// The reason code a plan follows: the mode's readiness reason when the entry carries
// one, else the status field.
std::optional<QString> planCode(const OptSettings& settings, const QString& mode, const QString& status) {
    if (!settings)
        return std::nullopt;
    auto entry = modeReadiness(settings, mode);
    if (entry && entry->reason)
        return entry->reason;
    return status;
}

NextStepPlan plan(const char* description, std::optional<QString> button = std::nullopt,
                  std::optional<QString> symbol = std::nullopt,
                  std::optional<PlanAction> action = std::nullopt) {
    return NextStepPlan{loc("Étape recommandée"), loc(description), std::move(button), std::move(symbol),
                        std::move(action)};
}

PlanAction openTab(const QString& tab) {
    return PlanAction{PlanAction::Kind::OpenSettingsTab, tab};
}

} // namespace

// ---- Dates ------------------------------------------------------------------------------

std::optional<QDateTime> parseDate(const std::optional<QString>& text) {
    if (!text || text->isEmpty())
        return std::nullopt;
    static const QRegularExpression form(
        QStringLiteral(R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(?:(Z)|([+-])(\d{2}):(\d{2}))$)"));
    const QRegularExpressionMatch m = form.match(*text);
    if (!m.hasMatch())
        return std::nullopt;
    auto n = [&](int i) { return m.captured(i).toInt(); };
    const QDate date(n(1), n(2), n(3));
    if (!date.isValid() || n(4) > 23 || n(5) > 59 || n(6) > 59)
        return std::nullopt;
    int offset = 0;
    if (m.captured(7).isEmpty()) {
        if (n(9) > 23 || n(10) > 59)
            return std::nullopt;
        offset = (n(9) * 3600 + n(10) * 60) * (m.captured(8) == QLatin1String("-") ? -1 : 1);
    }
    const QDateTime local(date, QTime(n(4), n(5), n(6)), Qt::OffsetFromUTC, offset);
    if (!local.isValid())
        return std::nullopt;
    return local.toUTC();
}

QString relativeTime(const QDateTime& date, const QDateTime& now) {
    // Whole seconds; a date within the current second reads as just past.
    const qint64 delta = now.msecsTo(date) / 1000;
    const qint64 s = delta < 0 ? -delta : delta;
    struct Unit {
        qint64 seconds;
        const char* one;
        const char* many;
    };
    static const Unit units[] = {
        {365LL * 86400, "an", "ans"}, {30LL * 86400, "mois", "mois"}, {7LL * 86400, "semaine", "semaines"},
        {86400, "jour", "jours"},     {3600, "heure", "heures"},      {60, "minute", "minutes"},
        {1, "seconde", "secondes"},
    };
    qint64 count = 0;
    const Unit* unit = &units[6];
    for (const Unit& u : units) {
        if (s >= u.seconds) {
            unit = &u;
            count = s / u.seconds;
            break;
        }
    }
    const QString amount =
        QString::number(count) + QLatin1Char(' ') + loc(count >= 2 ? unit->many : unit->one);
    return delta <= 0 ? loc("il y a ") + amount : loc("dans ") + amount;
}

// ---- Secure Access window -------------------------------------------------------------------

std::optional<QDateTime> secureAccessExpiryDate(const OptSettings& settings) {
    if (!settings)
        return std::nullopt;
    if (auto* session = sessionOf(settings); session && session->expires_at)
        return parseDate(session->expires_at);
    return parseDate(settings->secure_access_expires_at);
}

std::optional<QDateTime> secureAccessActivationDate(const OptSettings& settings) {
    if (!settings)
        return std::nullopt;
    if (auto* session = sessionOf(settings); session && session->activated_at)
        return parseDate(session->activated_at);
    return parseDate(settings->secure_access_activated_at);
}

std::optional<qint64> activeSecureAccessRemainingSeconds(const OptSettings& settings, const QDateTime& now) {
    if (auto expiry = secureAccessExpiryDate(settings)) {
        const qint64 ms = now.msecsTo(*expiry);
        return ms <= 0 ? 0 : (ms + 999) / 1000;
    }
    if (auto* session = sessionOf(settings); session && session->remaining_seconds)
        return std::max<qint64>(0, *session->remaining_seconds);
    return std::nullopt;
}

qint64 secureAccessTotalSeconds(const OptSettings& settings) {
    if (auto* session = sessionOf(settings);
        session && session->duration_minutes && *session->duration_minutes >= 1)
        return std::min(*session->duration_minutes, kMaxDurationMinutes) * 60;
    auto activation = secureAccessActivationDate(settings);
    auto expiry = secureAccessExpiryDate(settings);
    if (activation && expiry)
        return std::max<qint64>(60, activation->msecsTo(*expiry) / 1000);
    return 1800;
}

QString durationLabel(qint64 seconds) {
    const qint64 m = std::max<qint64>(seconds, 0) / 60;
    if (seconds < 3600)
        return QString::number(seconds < 60 ? 1 : m) + loc(" min");
    const qint64 h = seconds / 3600;
    const qint64 r = m - 60 * h;
    if (r == 0)
        return QString::number(h) + loc(" h");
    return QString::number(h) + loc(" h ") + QString::number(r) + loc(" min");
}

bool secureAccessHealthy(const OptSettings& settings) {
    auto entry = modeReadiness(settings, kSecureAccessMode);
    return entry && entry->ready;
}

bool approvalRequired(const OptSettings& settings) {
    auto entry = modeReadiness(settings, kSecureAccessMode);
    return entry && entry->reason == QStringLiteral("requires_panel_approval");
}

bool secureAccessTargetsThisMac(const OptSettings& settings, const QString& deviceId) {
    auto* session = sessionOf(settings);
    return session && session->device_id && *session->device_id == deviceId;
}

QString secureAccessTargetSummary(const OptSettings& settings, const QString& deviceId) {
    if (auto* session = sessionOf(settings); session && nonEmpty(session->device_label)) {
        if (secureAccessTargetsThisMac(settings, deviceId))
            return *session->device_label + loc(" (ce Mac)");
        return *session->device_label;
    }
    if (preferredHostIsThisMac(settings, deviceId))
        return loc("Ce Mac");
    return loc("Aucun host approuvé");
}

QString secureAccessSummary(const OptSettings& settings, const QDateTime& now) {
    if (!settings)
        return loc("À vérifier");
    const QString& status = settings->secure_access_status;
    if (status == kReady) {
        auto remaining = activeSecureAccessRemainingSeconds(settings, now);
        if (remaining && *remaining >= 1)
            return loc("Actif encore ") + durationLabel(*remaining);
        return loc("Prêt");
    }
    if (status == QLatin1String("not_configured"))
        return loc("À configurer");
    if (status == QLatin1String("expired"))
        return loc("Expiré");
    if (status == QLatin1String("host_unreachable"))
        return loc("Host injoignable");
    if (status == QLatin1String("requires_panel_approval"))
        return loc("Approval requise");
    return status;
}

QString secureAccessWindowSummary(const OptSettings& settings, const QDateTime& now) {
    auto* session = sessionOf(settings);
    if (!session)
        return loc("Aucune fenêtre active");
    auto remaining = activeSecureAccessRemainingSeconds(settings, now);
    if (session->active && remaining && *remaining >= 1)
        return loc("Encore ") + durationLabel(*remaining);
    if (auto expiry = secureAccessExpiryDate(settings))
        return loc("Terminée ") + relativeTime(*expiry, now);
    return loc("Aucune fenêtre active");
}

bool hasRecentSecureAccessVerification(const OptSettings& settings, const QDateTime& now) {
    if (!settings)
        return false;
    auto verified = parseDate(settings->secure_access_last_verified_at);
    return verified && verified->msecsTo(now) < 86400LL * 1000;
}

QString secureAccessVerificationLabel(const OptSettings& settings, const QDateTime& now) {
    auto verified = settings ? parseDate(settings->secure_access_last_verified_at) : std::nullopt;
    if (!verified)
        return loc("Aucune vérification récente");
    return loc("Vérifié ") + relativeTime(*verified, now);
}

UrgencyBand urgencyBand(std::optional<qint64> remaining) {
    if (!remaining || *remaining <= 0)
        return {Tint::Secondary, QStringLiteral("clock.badge.xmark"), loc("Aucune fenêtre active")};
    if (*remaining <= 300)
        return {Tint::Red, QStringLiteral("exclamationmark.triangle.fill"), loc("Presque expirée")};
    if (*remaining <= 600)
        return {Tint::Orange, QStringLiteral("clock.badge.exclamationmark"), loc("À renouveler bientôt")};
    return {Tint::Green, QStringLiteral("checkmark.shield.fill"), loc("Fenêtre active")};
}

Badge secureAccessHeaderBadge(const OptSettings& settings, const QDateTime& now) {
    const QString prefix = loc("Secure Access : ");
    auto remaining = activeSecureAccessRemainingSeconds(settings, now);
    if (remaining && *remaining >= 1) {
        const UrgencyBand band = urgencyBand(remaining);
        return {prefix + band.label, band.symbol, band.tint};
    }
    if (!settings)
        return {loc("Secure Access : inactif"), QStringLiteral("lock.shield"), Tint::Secondary};
    if (settings->execution_mode == kSecureAccessMode)
        return {loc("Secure Access : verrouillé"), QStringLiteral("exclamationmark.shield"), Tint::Orange};
    const QString& status = settings->secure_access_status;
    if (status == kReady)
        return {loc("Secure Access : prêt"), QStringLiteral("checkmark.shield.fill"), Tint::Green};
    if (status == QLatin1String("requires_panel_approval"))
        return {loc("Secure Access : approval requise"), QStringLiteral("hand.raised.fill"), Tint::Orange};
    if (status == QLatin1String("host_unreachable"))
        return {loc("Secure Access : hôte absent"), QStringLiteral("desktopcomputer"), Tint::Orange};
    if (status == QLatin1String("expired"))
        return {loc("Secure Access : expiré"), QStringLiteral("clock.badge.xmark"), Tint::Red};
    if (status == QLatin1String("not_configured"))
        return {loc("Secure Access : à configurer"), QStringLiteral("slider.horizontal.3"), Tint::Secondary};
    return {loc("Secure Access : inactif"), QStringLiteral("lock.shield"), Tint::Secondary};
}

// ---- Reasons and labels ----------------------------------------------------------------------

QString reasonDescription(const QString& reason, const QString& modeName) {
    if (reason == QLatin1String("requires_local_setup"))
        return modeName +
               loc(" attend encore le setup Mac. Le backend garde cette raison comme source de "
                   "vérité ; ce panneau te mène simplement vers les surfaces bridge et LLM local.");
    if (reason == QLatin1String("missing_host"))
        return loc(
            "Aucun Mac n’est encore reconnu comme hôte local préféré. Vérifie l’appairage, le bridge et "
            "la présence récente de ce Mac.");
    if (reason == QLatin1String("host_offline"))
        return loc("Le backend connaît un Mac hôte, mais il ne voit pas de présence récente. Garde Ombrix "
                   "ouvert et le bridge actif pour redevenir prêt.");
    if (reason == QLatin1String("host_unhealthy"))
        return loc("Le backend voit un hôte, mais il le considère dégradé. Vérifie ici le bridge, le runtime "
                   "local et les dépendances installées.");
    if (reason == QLatin1String("not_configured"))
        return loc("Secure Access n’est pas encore autorisé. Active le bridge, garde ce Mac en ligne, puis "
                   "ouvre une fenêtre courte depuis les contrôles de ce panneau.");
    if (reason == QLatin1String("expired"))
        return loc(
            "L’accès sécurisé a expiré. Renouvelle une nouvelle fenêtre courte depuis ce panneau avant "
            "de relancer des actions distantes.");
    if (reason == QLatin1String("host_unreachable"))
        return loc("Le backend ne peut pas joindre l’hôte distant en ce moment. Commence par vérifier que le "
                   "Mac préféré est en ligne et que le bridge tourne encore.");
    if (reason == QLatin1String("requires_panel_approval"))
        return loc("Une approval explicite du panneau sécurisé est attendue avant de laisser passer cette "
                   "action distante.");
    return modeName + loc(" n’est pas prêt pour l’instant.");
}

QString blockedLabel(const std::optional<QString>& reason, const QString& modeName) {
    if (!reason)
        return modeName + loc(" non prêt");
    const QString& r = *reason;
    if (r == QLatin1String("requires_local_setup") || r == QLatin1String("not_configured"))
        return modeName + loc(" à configurer");
    if (r == QLatin1String("missing_host"))
        return loc("Aucun Mac hôte");
    if (r == QLatin1String("host_unhealthy"))
        return modeName + loc(" dégradé");
    if (r == QLatin1String("expired"))
        return modeName + loc(" expiré");
    if (r == QLatin1String("host_unreachable"))
        return loc("Host distant injoignable");
    if (r == QLatin1String("requires_panel_approval"))
        return loc("Approval requise");
    return modeName + loc(" non prêt");
}

QString readinessLabel(const std::optional<APIService::ProactiveModeReadiness>& readiness,
                       const std::optional<QString>& fallbackStatus, const QString& modeName) {
    if (readiness)
        return readiness->ready ? modeName + loc(" prêt") : blockedLabel(readiness->reason, modeName);
    if (nonEmpty(fallbackStatus))
        return blockedLabel(fallbackStatus, modeName);
    return modeName + loc(" à vérifier");
}

QString bridgeKindLabel(BridgeTaskKind kind) {
    switch (kind) {
    case BridgeTaskKind::Search:
        return loc("recherche");
    case BridgeTaskKind::Read:
        return loc("lecture");
    case BridgeTaskKind::ListFolders:
        return loc("liste des dossiers");
    case BridgeTaskKind::ListDir:
        return loc("exploration");
    case BridgeTaskKind::PhotosRecent:
        return loc("photos récentes");
    case BridgeTaskKind::PhotosByDate:
        return loc("photos par date");
    case BridgeTaskKind::AppOpen:
        return loc("ouverture d’app");
    case BridgeTaskKind::ShortcutRun:
        return loc("Shortcut");
    case BridgeTaskKind::ShortcutList:
        return loc("liste des Shortcuts");
    case BridgeTaskKind::OcrImage:
        return loc("OCR");
    case BridgeTaskKind::OpenDocument:
        return loc("ouverture de document");
    case BridgeTaskKind::Thumbnail:
        return loc("miniature");
    case BridgeTaskKind::LLMInfer:
        return loc("LLM local");
    }
    return QString();
}

QString bridgeStatusLabel(const BridgeService::Status& status) {
    using K = BridgeService::Status::Kind;
    switch (status.kind) {
    case K::Busy:
        return loc("Actif : ") + bridgeKindLabel(status.task);
    case K::Error:
        return loc("Erreur : ") + status.message;
    case K::Off:
        return loc("Arrêté");
    case K::Idle:
        return loc("Prêt");
    case K::Polling:
        return loc("En attente");
    }
    return QString();
}

bool bridgeRunning(const BridgeService::Status& status) {
    using K = BridgeService::Status::Kind;
    return status.kind == K::Idle || status.kind == K::Polling || status.kind == K::Busy;
}

bool localRuntimeHealthy(bool localLLMEnabled, const std::optional<BridgeHeartbeat>& heartbeat) {
    return localLLMEnabled && heartbeat && nonEmpty(heartbeat->loaded_model);
}

QString localRuntimeLabel(bool localLLMEnabled, const std::optional<BridgeHeartbeat>& heartbeat) {
    if (!localLLMEnabled)
        return loc("Désactivé");
    if (localRuntimeHealthy(localLLMEnabled, heartbeat))
        return loc("Prêt (") + *heartbeat->loaded_model + QLatin1Char(')');
    return loc("À vérifier");
}

bool preferredHostIsThisMac(const OptSettings& settings, const QString& deviceId) {
    return settings && settings->preferred_local_host && settings->preferred_local_host->id == deviceId;
}

QString activeMacLabel(const OptSettings& settings, const QString& deviceId) {
    if (!settings || !settings->preferred_local_host)
        return loc("Aucun Mac remonté");
    const QString& label = settings->preferred_local_host->label;
    return preferredHostIsThisMac(settings, deviceId) ? label + loc(" (ce Mac)") : label;
}

QString localHostSummary(bool isAuthenticated, bool bridgeEnabled, const BridgeService::Status& status) {
    using K = BridgeService::Status::Kind;
    if (!isAuthenticated)
        return loc("Connexion requise");
    if (!bridgeEnabled)
        return loc("Bridge désactivé");
    switch (status.kind) {
    case K::Busy:
        return loc("En cours : ") + bridgeKindLabel(status.task);
    case K::Error:
        return loc("Bridge en erreur");
    case K::Off:
        return loc("Bridge arrêté");
    case K::Idle:
    case K::Polling:
        break;
    }
    return loc("Bridge prêt");
}

bool localHostHealthy(bool isAuthenticated, bool bridgeEnabled, const BridgeService::Status& status) {
    return bridgeRunning(status) && bridgeEnabled && isAuthenticated;
}

std::optional<QDateTime> preferredHostLastSeenDate(const OptSettings& settings) {
    if (!settings || !settings->preferred_local_host)
        return std::nullopt;
    return parseDate(settings->preferred_local_host->last_seen_at);
}

Badge currentModeBadge(const OptSettings& settings) {
    const QString mode = settings ? settings->execution_mode : QString();
    if (mode == QLatin1String("local"))
        return {loc("Local"), QStringLiteral("desktopcomputer"), Tint::Green};
    if (mode == kSecureAccessMode)
        return {loc("Secure Access"), QStringLiteral("lock.shield"), Tint::Orange};
    return {loc("Cloud"), QStringLiteral("cloud"), Tint::Blue};
}

std::optional<APIService::ProactiveModeReadiness> modeReadiness(const OptSettings& settings,
                                                                const QString& mode) {
    if (!settings)
        return std::nullopt;
    auto it = settings->mode_readiness.find(mode);
    if (it == settings->mode_readiness.end())
        return std::nullopt;
    return it->second;
}

// ---- Plans ----------------------------------------------------------------------------------------

std::optional<NextStepPlan> localNextStepPlan(const PlanInputs& in, const OptSettings& settings) {
    if (!in.isAuthenticated)
        return plan("Ce Mac doit d’abord être appairé avant de pouvoir servir de host local Corvane.",
                    loc("Ouvrir l’appairage"), QStringLiteral("key.fill"), openTab(tab::general));
    if (!in.bridgeEnabled)
        return plan("Active le bridge local pour que le backend puisse voir la présence de ce Mac et lui "
                    "envoyer les tâches nécessaires au mode Local.",
                    loc("Activer le bridge"), QStringLiteral("externaldrive.connected.to.line.below"),
                    openTab(tab::bridge));
    if (!in.localLLMEnabled)
        return plan(
            "Le bridge tourne déjà, mais le runtime local reste coupé. Active le LLM local si tu veux "
            "que ce Mac puisse servir un mode Corvane vraiment local.",
            loc("Activer le LLM local"), QStringLiteral("cpu"), openTab(tab::localLlm));
    const auto code =
        planCode(settings, QStringLiteral("local"), settings ? settings->local_runtime_status : "");
    if (!code)
        return std::nullopt;
    if (*code == QLatin1String("requires_local_setup") || *code == QLatin1String("missing_host"))
        return plan("Le backend attend encore le setup local recommandé pour ce Mac. Passe par l’entrée de "
                    "setup fournie par le backend pour rester aligné avec la séquence produit.",
                    loc("Ouvrir le setup local"), QStringLiteral("wrench.and.screwdriver.fill"),
                    PlanAction{PlanAction::Kind::OpenLocalSetup, QString()});
    if (*code == QLatin1String("host_offline") || *code == QLatin1String("host_unhealthy"))
        return plan(
            "Le backend connaît déjà un hôte local mais le considère indisponible ou dégradé. Vérifie "
            "d’abord le bridge et le runtime local sur ce Mac.",
            loc("Vérifier ce Mac"), QStringLiteral("stethoscope"),
            PlanAction{PlanAction::Kind::ShowPanelAnchor, anchor::localRuntime});
    return std::nullopt;
}

std::optional<NextStepPlan> secureAccessNextStepPlan(const PlanInputs& in, const OptSettings& settings) {
    if (!in.isAuthenticated)
        return plan("Secure Access suppose d’abord un Mac appairé et identifiable côté backend.",
                    loc("Ouvrir l’appairage"), QStringLiteral("key.fill"), openTab(tab::general));
    if (secureAccessHealthy(settings))
        return std::nullopt;
    if (!in.bridgeEnabled)
        return plan(
            "Active d’abord le bridge local pour que le backend puisse reconnaître ce Mac comme point de "
            "confiance pour Secure Access.",
            loc("Activer le bridge"), QStringLiteral("externaldrive.connected.to.line.below"),
            openTab(tab::bridge));
    if (!in.highSecurityMode)
        return plan("Secure Access s’appuie sur le mode haute sécurité de ce Mac. Active-le dans l’onglet "
                    "Général pour exiger Touch ID, Apple Watch ou le mot de passe au moment d’autoriser la "
                    "fenêtre distante.",
                    loc("Activer la sécurité"), QStringLiteral("touchid"), openTab(tab::general));
    const auto code = planCode(settings, kSecureAccessMode, settings ? settings->secure_access_status : "");
    if (code == QStringLiteral("not_configured"))
        return plan("Secure Access n’est pas encore autorisé. Utilise le bouton ci-dessus pour ouvrir une "
                    "fenêtre courte de 30 minutes sur ce Mac.");
    if (code == QStringLiteral("expired"))
        return plan(
            "L’accès sécurisé a expiré. Renouvelle une nouvelle fenêtre courte directement depuis cette "
            "section avant de relancer des actions distantes.");
    if (code == QStringLiteral("host_unreachable"))
        return plan(
            "Le backend ne parvient pas à joindre l’hôte visé. Commence par vérifier le host local et la "
            "présence récente de ce Mac.",
            loc("Vérifier l’hôte local"), QStringLiteral("desktopcomputer"),
            PlanAction{PlanAction::Kind::ShowPanelAnchor, anchor::localRuntime});
    if (code == QStringLiteral("requires_panel_approval"))
        return plan("Une approval explicite est attendue. Autorise une fenêtre courte depuis les contrôles "
                    "ci-dessus pour laisser passer les usages distants sensibles.");
    return plan("Inspecte d’abord l’état courant de ce Mac puis ouvre, renouvelle ou coupe la fenêtre courte "
                "depuis les contrôles ci-dessus.");
}

NextStepPlan approvalsPlan() {
    return plan("Une approval explicite est attendue. Commence par ouvrir la zone de sécurité locale pour "
                "vérifier le mode haute sécurité et préparer l’arrivée d’une approval sensible.",
                loc("Préparer les approvals"), QStringLiteral("hand.raised.fill"), openTab(tab::general));
}

std::optional<QUrl> localSetupURL(const OptSettings& settings) {
    if (!settings)
        return std::nullopt;
    auto it = settings->settings_entry_points.find(QStringLiteral("local_setup"));
    if (it == settings->settings_entry_points.end())
        return std::nullopt;
    const QUrl url(it->second, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty())
        return std::nullopt;
    return url;
}

} // namespace corvane

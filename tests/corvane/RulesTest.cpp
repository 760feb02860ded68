// The panel's pure rules and presenter, compared on fixture inputs.
#include "CorvaneFixtures.h"
#include "corvane/CorvaneActions.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace corvane;
using fixtures::kNow;

namespace {
const QString kApos = QStringLiteral("’");

QStringList titles(const CardSpec& card) {
    QStringList out;
    for (const RowSpec& r : card.rows)
        out << (r.title.isEmpty() ? QStringLiteral("<%1>").arg(int(r.kind)) : r.title);
    return out;
}

const RowSpec* rowOfKind(const CardSpec& card, RowSpec::Kind kind) {
    for (const RowSpec& r : card.rows)
        if (r.kind == kind)
            return &r;
    return nullptr;
}
} // namespace

TEST(CorvaneDates, StrictInternetDateTime) {
    const QDateTime utc(QDate(2026, 3, 1), QTime(10, 0, 0), Qt::UTC);
    struct Case {
        const char* text;
        std::optional<QDateTime> expected;
    } cases[] = {
        {"2026-03-01T10:00:00Z", utc},
        {"2026-03-01T11:30:00+01:30", utc},
        {"2026-03-01T05:00:00-05:00", utc},
        {"2026-03-01T10:00:00.250Z", std::nullopt}, // fractional seconds refused
        {"2026-03-01T10:00:00", std::nullopt},      // no zone
        {"2026-03-01 10:00:00Z", std::nullopt},
        {"2026-03-01t10:00:00z", std::nullopt},
        {"2026-03-01T10:00:00+0100", std::nullopt},
        {"2026-02-30T10:00:00Z", std::nullopt},
        {"2026-03-01T24:00:00Z", std::nullopt},
        {"2026-03-01T10:00:00Z ", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseDate(QString(c.text)), c.expected) << c.text;
    EXPECT_EQ(parseDate(std::nullopt), std::nullopt);
}

TEST(CorvaneDates, FrenchRelativeTimes) {
    struct Case {
        qint64 offset;
        const char* text;
    } cases[] = {
        {0, "il y a 0 seconde"},        {-1, "il y a 1 seconde"},         {-59, "il y a 59 secondes"},
        {-300, "il y a 5 minutes"},     {-90 * 60, "il y a 1 heure"},     {7200, "dans 2 heures"},
        {-86400, "il y a 1 jour"},      {3 * 86400, "dans 3 jours"},      {-15 * 86400, "il y a 2 semaines"},
        {-60 * 86400, "il y a 2 mois"}, {-800LL * 86400, "il y a 2 ans"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(relativeTime(kNow.addSecs(c.offset), kNow), QString::fromUtf8(c.text)) << c.offset;
}

TEST(CorvaneCountdown, RemainingTotalAndDuration) {
    // Rounded up, never below 0.
    Settings s = fixtures::windowSettings(0);
    s.secure_access_session->expires_at = "2026-03-01T10:00:01Z";
    EXPECT_EQ(activeSecureAccessRemainingSeconds(s, kNow.addMSecs(800)), 1);
    EXPECT_EQ(activeSecureAccessRemainingSeconds(s, kNow.addSecs(5)), 0);
    // An unparsable session expiry hides the top-level one; remaining_seconds is used (not below 0).
    s.secure_access_session->expires_at = "2026-03-01T10:30:00.5Z";
    s.secure_access_expires_at = "2026-03-01T10:30:00Z";
    s.secure_access_session->remaining_seconds = 42;
    EXPECT_EQ(secureAccessExpiryDate(s), std::nullopt);
    EXPECT_EQ(activeSecureAccessRemainingSeconds(s, kNow), 42);
    s.secure_access_session->remaining_seconds = -3;
    EXPECT_EQ(activeSecureAccessRemainingSeconds(s, kNow), 0);
    EXPECT_EQ(activeSecureAccessRemainingSeconds(fixtures::settings(), kNow), std::nullopt);

    // Total: duration, then the dates (at least 60), then 1800; a huge duration is clamped.
    Settings t = fixtures::windowSettings(600, 0);
    EXPECT_EQ(secureAccessTotalSeconds(t), 1800);
    t.secure_access_session->activated_at = fixtures::iso(kNow.addSecs(570));
    EXPECT_EQ(secureAccessTotalSeconds(t), 60);
    t.secure_access_session->activated_at = fixtures::iso(kNow.addSecs(-600));
    EXPECT_EQ(secureAccessTotalSeconds(t), 1200);
    t.secure_access_session->duration_minutes = 45;
    EXPECT_EQ(secureAccessTotalSeconds(t), 2700);
    t.secure_access_session->duration_minutes = std::numeric_limits<qint64>::max() / 2;
    EXPECT_EQ(secureAccessTotalSeconds(t), kMaxDurationMinutes * 60);

    struct Case {
        qint64 seconds;
        const char* text;
    } labels[] = {{-5, "1 min"}, {0, "1 min"},        {119, "1 min"},       {120, "2 min"}, {3599, "59 min"},
                  {3600, "1 h"}, {3660, "1 h 1 min"}, {5400, "1 h 30 min"}, {7200, "2 h"}};
    for (const Case& c : labels)
        EXPECT_EQ(durationLabel(c.seconds), QString(c.text)) << c.seconds;
}

TEST(CorvaneCountdown, UrgencyBandsInHeaderAndStrip) {
    struct Case {
        std::optional<qint64> remaining;
        const char* label;
        const char* symbol;
        Tint tint;
        const char* duration;
        double opacity;
    } cases[] = {
        {300, "Presque expirée", "exclamationmark.triangle.fill", Tint::Red, "5 min", 1},
        {1, "Presque expirée", "exclamationmark.triangle.fill", Tint::Red, "1 min", 1},
        {301, "À renouveler bientôt", "clock.badge.exclamationmark", Tint::Orange, "5 min", 1},
        {600, "À renouveler bientôt", "clock.badge.exclamationmark", Tint::Orange, "10 min", 1},
        {601, "Fenêtre active", "checkmark.shield.fill", Tint::Green, "10 min", 1},
        {0, "Aucune fenêtre active", "clock.badge.xmark", Tint::Secondary, "", 0.65},
        {std::nullopt, "Aucune fenêtre active", "clock.badge.xmark", Tint::Secondary, "", 0.65},
    };
    for (const Case& c : cases) {
        PanelInputs in = fixtures::signedIn();
        in.settings = c.remaining ? fixtures::windowSettings(*c.remaining) : fixtures::settings();
        const StripSpec strip = urgencyStrip(in);
        EXPECT_EQ(strip.label, QString::fromUtf8(c.label)) << c.remaining.value_or(-1);
        EXPECT_EQ(strip.symbol, QString(c.symbol));
        EXPECT_EQ(strip.tint, c.tint);
        EXPECT_EQ(strip.duration, QString(c.duration));
        EXPECT_DOUBLE_EQ(strip.opacity, c.opacity);
        if (c.remaining && *c.remaining > 0) {
            const Badge badge = secureAccessHeaderBadge(in.settings, kNow);
            EXPECT_EQ(badge, (Badge{"Secure Access : " + QString::fromUtf8(c.label), c.symbol, c.tint}));
        }
    }
    // Progress: 900 of 1800 is half; more left than the total fills the bar; a total under 60 counts as 60.
    PanelInputs in = fixtures::signedIn();
    in.settings = fixtures::windowSettings(900);
    EXPECT_DOUBLE_EQ(urgencyStrip(in).progress, 0.5);
    in.settings = fixtures::windowSettings(4000);
    EXPECT_DOUBLE_EQ(urgencyStrip(in).progress, 1.0);
    in.settings = fixtures::windowSettings(30, std::nullopt);
    in.settings->secure_access_session->activated_at = fixtures::iso(kNow.addSecs(10));
    EXPECT_DOUBLE_EQ(urgencyStrip(in).progress, 0.5);
    in.settings = fixtures::settings();
    EXPECT_DOUBLE_EQ(urgencyStrip(in).progress, 0.0);
}

TEST(CorvaneCountdown, HeaderBadgeWithoutOpenWindow) {
    struct Case {
        const char* mode;
        const char* status;
        const char* label;
        const char* symbol;
        Tint tint;
    } cases[] = {
        {"secure_access", "ready", "Secure Access : verrouillé", "exclamationmark.shield", Tint::Orange},
        {"cloud", "ready", "Secure Access : prêt", "checkmark.shield.fill", Tint::Green},
        {"cloud", "requires_panel_approval", "Secure Access : approval requise", "hand.raised.fill",
         Tint::Orange},
        {"cloud", "host_unreachable", "Secure Access : hôte absent", "desktopcomputer", Tint::Orange},
        {"cloud", "expired", "Secure Access : expiré", "clock.badge.xmark", Tint::Red},
        {"cloud", "not_configured", "Secure Access : à configurer", "slider.horizontal.3", Tint::Secondary},
        {"cloud", "other", "Secure Access : inactif", "lock.shield", Tint::Secondary},
    };
    for (const Case& c : cases) {
        Json j = fixtures::settingsJson();
        j["execution_mode"] = c.mode;
        j["secure_access_status"] = c.status;
        // A window that ran out does not count as open.
        j["secure_access_session"] = {{"active", true}, {"expires_at", "2026-03-01T09:00:00Z"}};
        EXPECT_EQ(secureAccessHeaderBadge(fixtures::settings(j), kNow),
                  (Badge{QString::fromUtf8(c.label), c.symbol, c.tint}))
            << c.status;
    }
    EXPECT_EQ(secureAccessHeaderBadge(std::nullopt, kNow).label, QString("Secure Access : inactif"));
}

TEST(CorvaneLabels, ReadinessAndWindowSummaries) {
    using R = APIService::ProactiveModeReadiness;
    struct Case {
        std::optional<R> readiness;
        std::optional<QString> fallback;
        const char* label;
    } cases[] = {
        {R{true, QString("host_offline")}, std::nullopt, "Local prêt"},
        {R{false, std::nullopt}, std::nullopt, "Local non prêt"},
        {R{false, QString("requires_local_setup")}, std::nullopt, "Local à configurer"},
        {R{false, QString("not_configured")}, std::nullopt, "Local à configurer"},
        {R{false, QString("host_offline")}, std::nullopt, "Local non prêt"},
        {R{false, QString("host_unhealthy")}, std::nullopt, "Local dégradé"},
        {R{false, QString("expired")}, std::nullopt, "Local expiré"},
        {R{false, QString("missing_host")}, std::nullopt, "Aucun Mac hôte"},
        {R{false, QString("host_unreachable")}, std::nullopt, "Host distant injoignable"},
        {R{false, QString("requires_panel_approval")}, std::nullopt, "Approval requise"},
        {std::nullopt, QString("missing_host"), "Aucun Mac hôte"},
        {std::nullopt, QString(""), "Local à vérifier"},
        {std::nullopt, std::nullopt, "Local à vérifier"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(readinessLabel(c.readiness, c.fallback, "Local"), QString::fromUtf8(c.label)) << c.label;

    struct Summary {
        const char* status;
        std::optional<qint64> remaining;
        const char* text;
    } summaries[] = {
        {"ready", 3600, "Actif encore 1 h"},
        {"ready", std::nullopt, "Prêt"},
        {"not_configured", std::nullopt, "À configurer"},
        {"expired", std::nullopt, "Expiré"},
        {"host_unreachable", std::nullopt, "Host injoignable"},
        {"requires_panel_approval", std::nullopt, "Approval requise"},
        {"weird", std::nullopt, "weird"},
    };
    for (const Summary& c : summaries) {
        Settings s = c.remaining ? fixtures::windowSettings(*c.remaining) : fixtures::settings();
        s.secure_access_status = c.status;
        EXPECT_EQ(secureAccessSummary(s, kNow), QString::fromUtf8(c.text)) << c.status;
    }
    EXPECT_EQ(secureAccessSummary(std::nullopt, kNow), QString("À vérifier"));

    Settings w = fixtures::windowSettings(5400);
    EXPECT_EQ(secureAccessWindowSummary(w, kNow), QString("Encore 1 h 30 min"));
    EXPECT_EQ(secureAccessWindowSummary(w, kNow.addSecs(5400 + 120)), QString("Terminée il y a 2 minutes"));
    w.secure_access_session->active = false;
    EXPECT_EQ(secureAccessWindowSummary(w, kNow), QString("Terminée dans 1 heure"));
    EXPECT_EQ(secureAccessWindowSummary(fixtures::settings(), kNow), QString("Aucune fenêtre active"));

    // Target: the window's label (with " (ce Mac)" on exact id match), then the preferred host.
    Json j = fixtures::settingsJson();
    j["preferred_local_host"] = {{"kind", "mac"}, {"id", "DEVICE-1"}, {"label", "Atelier"}};
    Settings t = fixtures::settings(j);
    EXPECT_EQ(secureAccessTargetSummary(t, "DEVICE-1"), QString("Ce Mac"));
    EXPECT_EQ(secureAccessTargetSummary(t, "device-1"), QString("Aucun host approuvé"));
    t.secure_access_session = APIService::SecureAccessSession{};
    t.secure_access_session->device_label = "Bureau";
    t.secure_access_session->device_id = "DEVICE-1";
    EXPECT_EQ(secureAccessTargetSummary(t, "DEVICE-1"), QString("Bureau (ce Mac)"));
    EXPECT_EQ(secureAccessTargetSummary(t, "OTHER"), QString("Bureau"));

    // Verification: recent strictly under a day, a future date counts as recent.
    Settings v = fixtures::settings();
    v.secure_access_last_verified_at = fixtures::iso(kNow.addSecs(-86399));
    EXPECT_TRUE(hasRecentSecureAccessVerification(v, kNow));
    EXPECT_EQ(secureAccessVerificationLabel(v, kNow), QString("Vérifié il y a 23 heures"));
    v.secure_access_last_verified_at = fixtures::iso(kNow.addSecs(-86400));
    EXPECT_FALSE(hasRecentSecureAccessVerification(v, kNow));
    v.secure_access_last_verified_at = fixtures::iso(kNow.addSecs(60));
    EXPECT_TRUE(hasRecentSecureAccessVerification(v, kNow));
    EXPECT_EQ(secureAccessVerificationLabel(fixtures::settings(), kNow),
              QString("Aucune vérification récente"));
}

TEST(CorvanePlans, LocalNextStepRules) {
    struct Case {
        PlanInputs in;
        const char* localReason; // nullptr: no "local" entry
        const char* status;
        const char* button; // nullptr: no plan
        std::optional<PlanAction> action;
    } cases[] = {
        {{false, false, false, false},
         nullptr,
         "ready",
         "Ouvrir l’appairage",
         PlanAction{PlanAction::Kind::OpenSettingsTab, "general"}},
        {{true, false, false, false},
         nullptr,
         "ready",
         "Activer le bridge",
         PlanAction{PlanAction::Kind::OpenSettingsTab, "bridge"}},
        {{true, true, false, false},
         nullptr,
         "ready",
         "Activer le LLM local",
         PlanAction{PlanAction::Kind::OpenSettingsTab, "localLlm"}},
        {{true, true, true, false},
         "requires_local_setup",
         "ready",
         "Ouvrir le setup local",
         PlanAction{PlanAction::Kind::OpenLocalSetup, ""}},
        {{true, true, true, false},
         "",
         "missing_host",
         "Ouvrir le setup local",
         PlanAction{PlanAction::Kind::OpenLocalSetup, ""}},
        {{true, true, true, false},
         nullptr,
         "host_unhealthy",
         "Vérifier ce Mac",
         PlanAction{PlanAction::Kind::ShowPanelAnchor, "localRuntime"}},
        {{true, true, true, false},
         "host_offline",
         "missing_host",
         "Vérifier ce Mac",
         PlanAction{PlanAction::Kind::ShowPanelAnchor, "localRuntime"}},
        {{true, true, true, false}, nullptr, "ready", nullptr, std::nullopt},
    };
    for (const Case& c : cases) {
        Json j = fixtures::settingsJson();
        j["local_runtime_status"] = c.status;
        if (c.localReason) {
            j["mode_readiness"]["local"] = {{"ready", false}};
            if (*c.localReason)
                j["mode_readiness"]["local"]["reason"] = c.localReason;
        }
        auto plan = localNextStepPlan(c.in, fixtures::settings(j));
        if (!c.button) {
            EXPECT_EQ(plan, std::nullopt) << c.status;
            continue;
        }
        ASSERT_TRUE(plan) << c.button;
        EXPECT_EQ(plan->title, QString("Étape recommandée"));
        EXPECT_EQ(plan->buttonTitle, QString::fromUtf8(c.button));
        EXPECT_EQ(plan->action, c.action) << c.button;
    }
    // Without settings there is no code and no plan once the switches are on.
    EXPECT_EQ(localNextStepPlan({true, true, true, true}, std::nullopt), std::nullopt);
    auto setup = localNextStepPlan({true, true, true, true}, [] {
        Settings s = fixtures::settings();
        s.local_runtime_status = "missing_host";
        return s;
    }());
    EXPECT_EQ(setup->description,
              "Le backend attend encore le setup local recommandé pour ce Mac. Passe par l" + kApos +
                  "entrée de setup fournie par le backend pour rester aligné avec la "
                  "séquence produit.");
    EXPECT_EQ(setup->buttonSystemImage, QString("wrench.and.screwdriver.fill"));
}

TEST(CorvanePlans, SecureAccessNextStepRules) {
    struct Case {
        PlanInputs in;
        bool ready;
        const char* reason;
        const char* description; // start of the sentence
        const char* button;      // nullptr: none
    } cases[] = {
        {{false, false, false, false},
         true,
         nullptr,
         "Secure Access suppose d’abord un Mac appairé",
         "Ouvrir l’appairage"},
        {{true, false, false, false},
         true,
         nullptr,
         nullptr,
         nullptr}, // ready: no plan, whatever the switches
        {{true, false, false, false},
         false,
         "expired",
         "Active d’abord le bridge local",
         "Activer le bridge"},
        {{true, true, false, false},
         false,
         "expired",
         "Secure Access s’appuie sur le mode haute sécurité",
         "Activer la sécurité"},
        {{true, true, false, true},
         false,
         "not_configured",
         "Secure Access n’est pas encore autorisé. Utilise",
         nullptr},
        {{true, true, false, true},
         false,
         "expired",
         "L’accès sécurisé a expiré. Renouvelle une nouvelle fenêtre courte directement",
         nullptr},
        {{true, true, false, true},
         false,
         "host_unreachable",
         "Le backend ne parvient pas à joindre l’hôte visé.",
         "Vérifier l’hôte local"},
        {{true, true, false, true},
         false,
         "requires_panel_approval",
         "Une approval explicite est attendue. Autorise",
         nullptr},
        {{true, true, false, true}, false, "other", "Inspecte d’abord l’état courant de ce Mac", nullptr},
    };
    for (const Case& c : cases) {
        Json j = fixtures::settingsJson();
        j["mode_readiness"]["secure_access"] = {{"ready", c.ready}};
        if (c.reason)
            j["mode_readiness"]["secure_access"]["reason"] = c.reason;
        auto plan = secureAccessNextStepPlan(c.in, fixtures::settings(j));
        if (!c.description) {
            EXPECT_EQ(plan, std::nullopt);
            continue;
        }
        ASSERT_TRUE(plan) << c.description;
        EXPECT_TRUE(plan->description.startsWith(QString::fromUtf8(c.description)))
            << plan->description.toStdString();
        EXPECT_EQ(plan->buttonTitle.has_value(), c.button != nullptr);
        if (c.button) {
            EXPECT_EQ(*plan->buttonTitle, QString::fromUtf8(c.button));
        }
    }
    // No settings: the generic plan rather than none; the status stands in for a missing reason.
    EXPECT_TRUE(
        secureAccessNextStepPlan({true, true, true, true}, std::nullopt)->description.startsWith("Inspecte"));
    Settings s = fixtures::settings();
    s.secure_access_status = "not_configured";
    EXPECT_EQ(secureAccessNextStepPlan({true, true, true, true}, s)->description,
              "Secure Access n" + kApos +
                  "est pas encore autorisé. Utilise le bouton ci-dessus pour ouvrir une fenêtre courte de 30 "
                  "minutes sur ce Mac.");
}

TEST(CorvanePlans, SetupEntryOpensOnlyHttpsWithHost) {
    struct Recorder : CorvaneActionExecutor {
        QStringList log;
        void openSettingsTab(const QString& tab) override { log << "tab:" + tab; }
        void showPanelAnchor(const QString& anchor) override { log << "anchor:" + anchor; }
        void openUrl(const QUrl& url) override { log << "url:" + url.toString(); }
    };
    struct Case {
        const char* entry; // nullptr: no entry
        const char* expected;
    } cases[] = {
        {"https://ombrix.app/setup?step=2", "url:https://ombrix.app/setup?step=2"},
        {"http://ombrix.app/setup", "tab:bridge"},
        {"file:///etc/passwd", "tab:bridge"},
        {"https:///nohost", "tab:bridge"},
        {"javascript:alert(1)", "tab:bridge"},
        {"not a url", "tab:bridge"},
        {nullptr, "tab:bridge"},
    };
    for (const Case& c : cases) {
        Json j = fixtures::settingsJson();
        if (c.entry)
            j["settings_entry_points"]["local_setup"] = c.entry;
        Recorder r;
        r.run(PlanAction{PlanAction::Kind::OpenLocalSetup, ""}, fixtures::settings(j));
        EXPECT_EQ(r.log, QStringList{c.expected}) << (c.entry ? c.entry : "none");
    }
    Recorder r;
    r.run(PlanAction{PlanAction::Kind::OpenLocalSetup, ""}, std::nullopt);
    r.run(PlanAction{PlanAction::Kind::ShowPanelAnchor, "localRuntime"}, std::nullopt);
    EXPECT_EQ(r.log, (QStringList{"tab:bridge", "anchor:localRuntime"}));
}

TEST(CorvanePresenter, SignedOutWithoutSettings) {
    PanelInputs in;
    in.now = kNow;
    in.localLLMEndpoint = "";
    const PanelSpec spec = buildPanel(in);
    const HeaderSpec& h = spec.header;
    ASSERT_EQ(h.badges.size(), 2);
    EXPECT_EQ(h.badges[0], (Badge{"Non appairé", "key.slash", Tint::Orange}));
    EXPECT_EQ(h.badges[1], (Badge{"Mode actuel : Cloud", "cloud", Tint::Blue}));
    EXPECT_FALSE(h.secureBadge);
    EXPECT_EQ(h.syncCaption, QString("Connecte ce Mac pour activer la synchro live"));
    EXPECT_EQ(h.syncSymbol, QString("clock.badge.exclamationmark"));
    EXPECT_EQ(h.syncTint, Tint::Orange);
    EXPECT_EQ(h.autoCaption, QString("Auto: 15 s"));

    const CardSpec& host = spec.cards[0];
    EXPECT_EQ(titles(host),
              (QStringList{"Compte appairé", "Mac actif", "Host local", "Dernier signal backend",
                           "Mode haute sécurité", "Source du mode", "<9>"}));
    EXPECT_EQ(host.rows[0].value, QString("À connecter"));
    EXPECT_FALSE(host.rows[0].emphasis);
    EXPECT_EQ(host.rows[1].value, QString("Aucun Mac remonté"));
    EXPECT_EQ(host.rows[2].value, QString("Connexion requise"));
    EXPECT_EQ(host.rows[3].value, QString("—"));
    EXPECT_EQ(host.rows[4].value, QString("Désactivé"));
    EXPECT_EQ(host.row("Source du mode")->value, QString("fallback"));

    // Both plans send the user to pairing; the local card has its seven rows and no callout.
    const CardSpec& local = spec.cards[1];
    EXPECT_EQ(local.rows.size(), 8);
    EXPECT_EQ(local.rows[0].value, QString("Local à vérifier"));
    EXPECT_EQ(local.rows[0].tint, Tint::Orange);
    EXPECT_EQ(local.row("Modèle chargé")->value, QString("Aucun"));
    EXPECT_EQ(local.row("Préféré par le backend")->value, QString("Non, un autre Mac est préféré"));
    EXPECT_EQ(local.rows.last().plan->buttonTitle, QString("Ouvrir l’appairage"));
    const CardSpec& secure = spec.cards[2];
    EXPECT_EQ(secure.rows.last().plan->buttonTitle, QString("Ouvrir l’appairage"));
    EXPECT_EQ(rowOfKind(secure, RowSpec::Kind::Callout), nullptr);
    EXPECT_EQ(rowOfKind(secure, RowSpec::Kind::Strip)->strip->label, QString("Aucune fenêtre active"));
    EXPECT_EQ(secure.row("Présence utilisateur")->value, QString("Standard"));
    EXPECT_EQ(rowOfKind(secure, RowSpec::Kind::Hint)->value.left(42),
              QString("Active le mode haute sécurité dans Général"));
    EXPECT_EQ(secure.row("Autorisé depuis"), nullptr);

    EXPECT_EQ(spec.cards[3].rows.size(), 5); // no "Tâches locales servies" without tasks
    const CardSpec& approvals = spec.cards[4];
    EXPECT_EQ(approvals.row("Bridge local")->value, QString("Désactivé"));
    EXPECT_EQ(approvals.row("Demandes sensibles")->value, QString("Aucune demande en attente"));
    EXPECT_EQ(approvals.row("Révocation immédiate")->value, QString("Inactive"));
    EXPECT_EQ(rowOfKind(approvals, RowSpec::Kind::NextStep), nullptr);
}

TEST(CorvanePresenter, SignedInWithLocalReadyAndReason) {
    PanelInputs in = fixtures::signedIn();
    in.userEmail = "ada@example.org";
    in.heartbeat = BridgeHeartbeat{QString("mlx/Qwen3"), 8.0, 16.0, std::nullopt, std::nullopt};
    in.lastLoadedAt = kNow.addMSecs(-37500);
    in.tasksServed = 1234;
    in.highlightedAnchor = "localRuntime";
    Json j = fixtures::settingsJson();
    j["execution_mode"] = "local";
    j["mode_readiness"]["local"] = {{"ready", true}, {"reason", "host_offline"}};
    j["mode_readiness"]["secure_access"] = {{"ready", false}, {"reason", ""}};
    j["preferred_local_host"] = {
        {"kind", "mac"}, {"id", "DEVICE-1"}, {"label", "Atelier"}, {"last_seen_at", "2026-03-01T09:55:00Z"}};
    in.settings = fixtures::settings(j);

    const PanelSpec spec = buildPanel(in);
    EXPECT_EQ(spec.header.badges[0].label, QString("Appairé"));
    EXPECT_EQ(spec.header.badges[1], (Badge{"Mode actuel : Local", "desktopcomputer", Tint::Green}));
    EXPECT_EQ(spec.header.badges[2], (Badge{"Mode proactif actif", "bolt.fill", Tint::Blue}));
    EXPECT_EQ(spec.header.secureBadge->label, QString("Secure Access : à configurer"));
    EXPECT_EQ(spec.header.syncTint, Tint::Green); // 37.5 s is still fresh
    EXPECT_EQ(spec.header.syncCaption, QString("Synchro il y a 37 secondes"));
    in.lastLoadedAt = kNow.addSecs(-38);
    EXPECT_EQ(buildHeader(in).syncTint, Tint::Orange);

    const CardSpec& host = spec.cards[0];
    struct Row {
        const char* title;
        const char* value;
        bool emphasis;
    } hostRows[] = {
        {"Compte appairé", "ada@example.org", true}, {"Mac actif", "Atelier (ce Mac)", true},
        {"Host local", "Bridge prêt", true},         {"Dernier signal backend", "il y a 5 minutes", false},
        {"Mode haute sécurité", "Activé", true},     {"Source du mode", "user", false},
    };
    for (const Row& r : hostRows) {
        ASSERT_TRUE(host.row(r.title)) << r.title;
        EXPECT_EQ(host.row(r.title)->value, QString::fromUtf8(r.value)) << r.title;
        EXPECT_EQ(host.row(r.title)->emphasis, r.emphasis) << r.title;
    }
    EXPECT_FALSE(host.highlighted);

    const CardSpec& local = spec.cards[1];
    EXPECT_TRUE(local.highlighted);
    EXPECT_EQ(local.rows[0].value, QString("Local prêt"));
    EXPECT_EQ(local.rows[0].tint, Tint::Green);
    const RowSpec* box = rowOfKind(local, RowSpec::Kind::Callout);
    ASSERT_TRUE(box);
    EXPECT_TRUE(box->value.startsWith("Le backend connaît un Mac hôte"));
    EXPECT_EQ(local.row("LLM local")->value, QString("Prêt (mlx/Qwen3)"));
    EXPECT_TRUE(local.row("LLM local")->emphasis);
    EXPECT_EQ(local.row("Endpoint")->value, QString("http://127.0.0.1:8080/v1"));
    EXPECT_EQ(local.row("Préféré par le backend")->value, QString("Oui, ce Mac est la cible"));
    // The plan follows the reason even though the mode is ready.
    EXPECT_EQ(rowOfKind(local, RowSpec::Kind::NextStep)->plan->buttonTitle, QString("Vérifier ce Mac"));

    // An empty reason shows no callout.
    EXPECT_EQ(rowOfKind(spec.cards[2], RowSpec::Kind::Callout), nullptr);
    EXPECT_EQ(spec.cards[3].row("Tâches locales servies")->value, QString("1234"));
    const CardSpec& approvals = spec.cards[4];
    EXPECT_EQ(approvals.row("Mac préféré visible")->value, QString("Ce Mac est reconnu par le backend"));
    EXPECT_EQ(approvals.row("Bridge local")->symbol, QString("checkmark.circle.fill"));
    in.bridgeStatus = BridgeService::Status::off();
    in.settings->preferred_local_host->last_seen_at.reset();
    const CardSpec off = approvalsCard(in);
    EXPECT_EQ(off.row("Bridge local")->value, QString("Dégradé ou arrêté"));
    EXPECT_EQ(off.row("Bridge local")->tint, Tint::Orange);
    EXPECT_EQ(off.row("Mac préféré visible")->value, QString("Pas de signal récent"));
}

TEST(CorvanePresenter, SecureAccessControlsFollowReadinessAndBusyState) {
    struct Case {
        bool ready;
        bool bridge;
        bool busy;
        QList<ButtonSpec> buttons;
    } cases[] = {
        {false, true, false, {{"activate", "Autoriser 30 min", "lock.open.display", true, true, false}}},
        {false, false, false, {{"activate", "Autoriser 30 min", "lock.open.display", true, false, false}}},
        {false, true, true, {{"activate", "Autoriser 30 min", "lock.open.display", true, false, true}}},
        {true,
         false,
         false,
         {{"renew", "Renouveler 30 min", "clock.arrow.circlepath", true, true, false},
          {"revoke", "Révoquer", "xmark.shield", false, true, false}}},
        {true,
         true,
         true,
         {{"renew", "Renouveler 30 min", "clock.arrow.circlepath", true, false, true},
          {"revoke", "Révoquer", "xmark.shield", false, false, false}}},
    };
    for (const Case& c : cases) {
        PanelInputs in = fixtures::signedIn();
        in.bridgeEnabled = c.bridge;
        in.mutationInFlight = c.busy;
        in.settings = c.ready ? fixtures::windowSettings(1200) : fixtures::settings();
        const CardSpec card = secureAccessCard(in);
        EXPECT_EQ(rowOfKind(card, RowSpec::Kind::Buttons)->buttons, c.buttons)
            << c.ready << c.bridge << c.busy;
    }
    // The ticking rows follow the clock they are given.
    PanelInputs in = fixtures::signedIn();
    in.settings = fixtures::windowSettings(1200);
    in.settings->secure_access_session->activated_at = fixtures::iso(kNow.addSecs(-600));
    const CardSpec card = secureAccessCard(in);
    EXPECT_EQ(card.row("Accès distant")->value, QString("Actif encore 20 min"));
    EXPECT_EQ(card.row("Autorisé depuis")->value, QString("il y a 10 minutes"));
    in.now = kNow.addSecs(61);
    EXPECT_EQ(tickedRow(*card.row("Accès distant"), in).value, QString("Actif encore 18 min"));
    EXPECT_EQ(tickedRow(*card.row("Fenêtre active"), in).value, QString("Encore 18 min"));
    EXPECT_EQ(tickedRow(*card.row("Présence utilisateur"), in), *card.row("Présence utilisateur"));
}

TEST(CorvanePlans, SentencesAndSymbolsAreExact) {
    auto local = [](PlanInputs in, const char* status) {
        Settings s = fixtures::settings();
        s.local_runtime_status = status;
        return *localNextStepPlan(in, s);
    };
    auto secure = [](PlanInputs in, const char* status) {
        Settings s = fixtures::settings();
        s.secure_access_status = status;
        return *secureAccessNextStepPlan(in, s);
    };
    const PlanInputs all{true, true, true, true};
    struct Case {
        NextStepPlan plan;
        const char* description;
        const char* symbol; // "" when the plan has no button
    } cases[] = {
        {local({false, false, false, false}, "ready"),
         "Ce Mac doit d’abord être appairé avant de pouvoir servir de host local Corvane.", "key.fill"},
        {local({true, false, false, false}, "ready"),
         "Active le bridge local pour que le backend puisse voir la présence de ce Mac et lui envoyer les "
         "tâches "
         "nécessaires au mode Local.",
         "externaldrive.connected.to.line.below"},
        {local({true, true, false, false}, "ready"),
         "Le bridge tourne déjà, mais le runtime local reste coupé. Active le LLM local si tu veux que ce "
         "Mac puisse "
         "servir un mode Corvane vraiment local.",
         "cpu"},
        {local(all, "host_offline"),
         "Le backend connaît déjà un hôte local mais le considère indisponible ou dégradé. Vérifie d’abord "
         "le bridge "
         "et le runtime local sur ce Mac.",
         "stethoscope"},
        {secure({true, false, false, false}, "expired"),
         "Active d’abord le bridge local pour que le backend puisse reconnaître ce Mac comme point de "
         "confiance pour "
         "Secure Access.",
         "externaldrive.connected.to.line.below"},
        {secure({true, true, false, false}, "expired"),
         "Secure Access s’appuie sur le mode haute sécurité de ce Mac. Active-le dans l’onglet Général pour "
         "exiger "
         "Touch ID, Apple Watch ou le mot de passe au moment d’autoriser la fenêtre distante.",
         "touchid"},
        {secure(all, "expired"),
         "L’accès sécurisé a expiré. Renouvelle une nouvelle fenêtre courte directement depuis cette section "
         "avant de "
         "relancer des actions distantes.",
         ""},
        {secure(all, "host_unreachable"),
         "Le backend ne parvient pas à joindre l’hôte visé. Commence par vérifier le host local et la "
         "présence récente "
         "de ce Mac.",
         "desktopcomputer"},
        {secure(all, "requires_panel_approval"),
         "Une approval explicite est attendue. Autorise une fenêtre courte depuis les contrôles ci-dessus "
         "pour laisser "
         "passer les usages distants sensibles.",
         ""},
        {secure(all, "other"),
         "Inspecte d’abord l’état courant de ce Mac puis ouvre, renouvelle ou coupe la fenêtre courte depuis "
         "les "
         "contrôles ci-dessus.",
         ""},
        {approvalsPlan(),
         "Une approval explicite est attendue. Commence par ouvrir la zone de sécurité locale pour vérifier "
         "le mode "
         "haute sécurité et préparer l’arrivée d’une approval sensible.",
         "hand.raised.fill"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.plan.title, QString("Étape recommandée"));
        EXPECT_EQ(c.plan.description, QString::fromUtf8(c.description));
        EXPECT_EQ(c.plan.buttonSystemImage.value_or(QString()), QString(c.symbol)) << c.description;
        EXPECT_EQ(c.plan.action.has_value(), *c.symbol != '\0');
    }
    EXPECT_EQ(approvalsPlan().action, (PlanAction{PlanAction::Kind::OpenSettingsTab, "general"}));

    // The reason callouts: one sentence per code, the mode's name where the code has none of its own.
    EXPECT_EQ(reasonDescription("requires_local_setup", "Local"),
              "Local attend encore le setup Mac. Le backend garde cette raison comme source de vérité ; ce "
              "panneau te "
              "mène simplement vers les surfaces bridge et LLM local.");
    EXPECT_EQ(reasonDescription("weird", "Secure Access"),
              "Secure Access n" + kApos + "est pas prêt pour l" + kApos + "instant.");
    for (const char* code : {"missing_host", "host_offline", "host_unhealthy", "not_configured", "expired",
                             "host_unreachable", "requires_panel_approval"})
        EXPECT_FALSE(reasonDescription(code, "Local").contains("Local n’est pas prêt")) << code;
}

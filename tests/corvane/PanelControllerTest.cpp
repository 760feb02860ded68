// The panel's controller: the Secure Access actions behind the presence gate, the
// refresh tasks and the anchor machine, against the fake backend.
#include "PanelHarness.h"

#include <QSignalSpy>

namespace {

const QString kAuthorize =
    QStringLiteral("Authentifie-toi pour autoriser Secure Access sur ce Mac pendant 30 minutes.");
const QString kRenew =
    QStringLiteral("Authentifie-toi pour renouveler Secure Access sur ce Mac pendant 30 minutes.");

class PanelControllerTest : public PanelHarness {};

} // namespace

TEST_F(PanelControllerTest, ActionsStopAtTheirPreconditions) {
    struct Case {
        bool bridge;
        bool highSecurity;
        bool gateAnswers;
        bool renew;
        const char* message;
        const char* tab; // "" when the tab is left alone
        int gateCalls;
    } cases[] = {
        {false, true, true, false,
         "Active d’abord le bridge local pour que ce Mac puisse ouvrir une fenêtre Secure Access.", "bridge",
         0},
        {false, true, true, true, "Le bridge local doit être actif pour renouveler Secure Access.", "bridge",
         0},
        {true, false, true, false,
         "Active d’abord le mode haute sécurité dans l’onglet Général pour autoriser Secure Access.",
         "general", 0},
        {true, false, true, true,
         "Active d’abord le mode haute sécurité dans l’onglet Général pour autoriser Secure Access.",
         "general", 0},
        {true, true, false, false, "L’authentification locale est requise pour Secure Access.", "", 1},
    };
    for (const Case& c : cases) {
        AppSession::resetSharedForTesting();
        defaults->remove("settingsInitialTab");
        gate = std::make_shared<ScriptedPresenceGate>();
        gate->answer = c.gateAnswers;
        PresenceGate::setShared(gate);
        start(QString("tok"), c.highSecurity, c.bridge);
        const int before = int(gate->asked().size()); // the session's own start-up read
        runTask(c.renew ? controller->renewSecureAccess() : controller->activateSecureAccess());
        EXPECT_EQ(model.lastError(), QString::fromUtf8(c.message)) << c.message;
        EXPECT_EQ(lastTab(), QString(c.tab)) << c.message;
        EXPECT_EQ(gate->asked().size() - before, c.gateCalls) << c.message;
        EXPECT_TRUE(proactive("POST").isEmpty());
        EXPECT_FALSE(controller->secureAccessBusy());
    }
}

TEST_F(PanelControllerTest, ApprovalAdoptsTheKeychainTokenOnlyWhenItDiffers) {
    AppSession& session = start(QString("tok"), true, true);
    ASSERT_EQ(session.userToken(), QString("tok"));
    const int startupReads = int(gate->asked().size());
    KeychainStore::bridgeDeviceId(); // made (and stored) once, before counting the token saves
    const int saves = secrets->calls(MemorySecretStore::Operation::Replace);

    runTask(controller->activateSecureAccess());
    EXPECT_EQ(gate->asked().mid(startupReads), QStringList{kAuthorize});
    EXPECT_EQ(secrets->calls(MemorySecretStore::Operation::Replace), saves); // same token: no setToken
    ASSERT_EQ(proactive("POST").size(), 1);
    RecordedRequest r = proactive("POST").last();
    EXPECT_EQ(r.path, QString("/api/v1/proactive/secure_access"));
    EXPECT_EQ(r.header("X-User-Token"), QByteArray("tok"));
    EXPECT_EQ(Json::parse(r.body.toStdString())["device_id"], KeychainStore::bridgeDeviceId().toStdString());
    EXPECT_EQ(model.lastError(), std::nullopt);

    // The keychain now holds another token: the session adopts it before the request.
    KeychainStore::save("tok-2");
    runTask(controller->renewSecureAccess());
    EXPECT_EQ(gate->asked().last(), kRenew);
    EXPECT_EQ(session.userToken(), QString("tok-2"));
    r = proactive("POST").last();
    EXPECT_EQ(r.path, QString("/api/v1/proactive/secure_access/refresh"));
    EXPECT_EQ(r.header("X-User-Token"), QByteArray("tok-2"));

    // A token saved while high security was off (or a settings file edited by hand) is
    // still released only after the user's presence.
    defaults->setBool("highSecurityMode", false);
    KeychainStore::save("tok-2");
    defaults->setBool("highSecurityMode", true);
    const int asked = int(gate->asked().size());
    gate->answer = false;
    runTask(controller->activateSecureAccess());
    EXPECT_EQ(gate->asked().mid(asked), QStringList{kAuthorize});
    EXPECT_EQ(model.lastError(), QString("L’authentification locale est requise pour Secure Access."));
    EXPECT_EQ(proactive("POST").size(), 2);
}

TEST_F(PanelControllerTest, RevokeAsksOnlyWithoutASessionToken) {
    AppSession& session = start(QString("tok"), true, false);
    const int startupReads = int(gate->asked().size());
    runTask(controller->revokeSecureAccess());
    EXPECT_EQ(gate->asked().size(), startupReads);
    ASSERT_EQ(proactive("DELETE").size(), 1);
    EXPECT_EQ(proactive("DELETE").last().header("X-User-Token"), QByteArray("tok"));

    runTask(session.setToken(QString()));
    KeychainStore::save("kept");
    runTask(controller->revokeSecureAccess());
    EXPECT_EQ(gate->asked().last(), QString("Authentifie-toi pour révoquer Secure Access sur ce Mac."));
    ASSERT_EQ(proactive("DELETE").size(), 2);
    EXPECT_EQ(proactive("DELETE").last().header("X-User-Token"), QByteArray("kept"));

    // Saved while high security was off: still asked now that it is on.
    defaults->setBool("highSecurityMode", false);
    KeychainStore::save("kept");
    defaults->setBool("highSecurityMode", true);
    const int asked = int(gate->asked().size());
    runTask(controller->revokeSecureAccess());
    EXPECT_EQ(gate->asked().size(), asked + 1);
    ASSERT_EQ(proactive("DELETE").size(), 3);

    KeychainStore::remove();
    runTask(controller->revokeSecureAccess());
    EXPECT_EQ(model.lastError(), QString("Ce Mac doit être appairé avant de piloter Secure Access."));
    EXPECT_EQ(proactive("DELETE").size(), 3);
}

TEST_F(PanelControllerTest, PasswordWaitKeepsTheEventLoopAndRefusesStackedRequests) {
    start(QString("tok"), true, true);
    gate->hold = true;
    const int startupReads = int(gate->asked().size());
    QSignalSpy changes(controller.get(), &CorvanePanelController::changed);
    QCoro::Task<> first = controller->activateSecureAccess();
    ASSERT_TRUE(spinUntil([&] { return gate->asked().size() > startupReads; }));
    EXPECT_TRUE(controller->secureAccessBusy());
    // The GUI thread keeps running while the password is asked.
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    EXPECT_TRUE(spinUntil([&] { return ticks >= 5; }));
    EXPECT_TRUE(controller->secureAccessBusy());
    // Further presses return at once: no second dialog, no second request.
    runTask(controller->activateSecureAccess());
    runTask(controller->renewSecureAccess());
    runTask(controller->revokeSecureAccess());
    EXPECT_EQ(gate->asked().size(), startupReads + 1);
    gate->hold = false;
    runTask(std::move(first));
    EXPECT_EQ(proactive("POST").size(), 1);
    EXPECT_TRUE(proactive("DELETE").isEmpty());
    EXPECT_FALSE(controller->secureAccessBusy());
    EXPECT_GE(changes.count(), 2);
}

TEST_F(PanelControllerTest, RefreshTasksFollowVisibilityAndToken) {
    AppSession& session = start(std::nullopt, false, false);
    controller->setAutoRefreshInterval(std::chrono::milliseconds(80));
    // Signed out: the first refresh empties the model, no loop runs.
    controller->shown();
    spinFor(300);
    EXPECT_TRUE(proactive().isEmpty());

    // Signing in restarts both tasks: an immediate refresh, then the period.
    runTask(session.setToken("tok"));
    ASSERT_TRUE(spinUntil([&] { return proactive("GET").size() >= 3; }));
    EXPECT_TRUE(model.settings());
    EXPECT_EQ(proactive("GET").first().header("X-User-Token"), QByteArray("tok"));

    controller->hidden();
    ASSERT_TRUE(spinUntil([&] { return !model.isLoading(); })); // a refresh under way ends
    const auto count = proactive("GET").size();
    spinFor(300);
    EXPECT_EQ(proactive("GET").size(), count);

    // Signing out empties the model at once, panel shown or not: nothing of the account is drawn again.
    ASSERT_TRUE(model.settings());
    runTask(session.setToken(QString()));
    EXPECT_EQ(model.settings(), std::nullopt);
    EXPECT_EQ(model.lastLoadedAt(), std::nullopt);
}

TEST_F(PanelControllerTest, AnchorsScrollAndHighlightBriefly) {
    start(QString("tok"), false, true);
    EXPECT_EQ(CorvanePanelController::kHighlightDuration, std::chrono::milliseconds(2400));
    controller->setHighlightDuration(std::chrono::milliseconds(150));
    QSignalSpy scrolls(controller.get(), &CorvanePanelController::scrollRequested);
    controller->shown();
    // On appearance (and again after the first refresh): the header, with the summary card lit.
    ASSERT_TRUE(spinUntil([&] { return scrolls.count() >= 1; }));
    EXPECT_EQ(scrolls.first().first().toString(), QString("summary"));
    EXPECT_EQ(controller->highlightedAnchor(), QString("summary"));
    EXPECT_TRUE(controller->spec().cards[0].highlighted);
    ASSERT_TRUE(spinUntil([&] { return scrolls.count() >= 2 && !controller->highlightedAnchor(); }));

    // A next-step action that names a card scrolls there; writing the same anchor again does nothing.
    scrolls.clear();
    controller->runPlanAction({corvane::PlanAction::Kind::ShowPanelAnchor, "localRuntime"});
    ASSERT_TRUE(spinUntil([&] { return scrolls.count() == 1; }));
    EXPECT_EQ(scrolls.first().first().toString(), QString("localRuntime"));
    EXPECT_EQ(controller->highlightedAnchor(), QString("localRuntime"));
    defaults->setString("corvanePanelAnchor", "localRuntime");
    ASSERT_TRUE(spinUntil([&] { return !controller->highlightedAnchor(); }));
    EXPECT_EQ(scrolls.count(), 1);
    // Pressed again ("Vérifier ce Mac" twice), the card is brought back and lit again.
    controller->runPlanAction({corvane::PlanAction::Kind::ShowPanelAnchor, "localRuntime"});
    ASSERT_TRUE(spinUntil([&] { return scrolls.count() == 2; }));
    EXPECT_EQ(scrolls.last().first().toString(), QString("localRuntime"));
    EXPECT_EQ(controller->highlightedAnchor(), QString("localRuntime"));

    // A later highlight of another card is not cleared by the earlier timer.
    controller->setHighlightDuration(std::chrono::milliseconds(120));
    controller->highlightAnchor("activity");
    spinFor(60);
    // (The later highlight lasts far longer than a loaded machine may take to run
    // the earlier timer.)
    controller->setHighlightDuration(std::chrono::seconds(30));
    controller->highlightAnchor("approvals");
    spinFor(150);
    EXPECT_EQ(controller->highlightedAnchor(), QString("approvals"));

    // Shortcut buttons and tab actions only write the tab.
    controller->openSettingsTab("localLlm");
    EXPECT_EQ(lastTab(), QString("localLlm"));
}

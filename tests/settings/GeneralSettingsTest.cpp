// The General tab: pairing against the fake backend over TLS, the manual token and
// the high-security mode with a secret store made to fail, the summon and voice
// sections' rules, the voice sample, and the real widgets.
#include "app/DoubleCommandMonitor.h"
#include "bridge/BridgeService.h"
#include "platform/AuthFailureNotifier.h"
#include "platform/DefaultsStore.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"
#include "settings/GeneralSettingsController.h"
#include "settings/VoiceSamplePlayer.h"
#include "settings/VoiceSettingsController.h"
#include "settings/widgets/GeneralSettingsTab.h"
#include "support/SlowSecretStore.h"
#include "support/TestSupport.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

class RecordingPlayer : public VoiceSamplePlayer {
public:
    bool play(const QByteArray& audio) override {
        events << "play:" + audio;
        return true;
    }
    void stop() override { events << "stop"; }
    QList<QByteArray> events;
};

class CountingPlatform : public SummonPlatform {
public:
    explicit CountingPlatform(int* requests)
        : requests_(requests) {}
    bool hasGlobalPermission() override { return false; }
    void requestGlobalPermission() override { ++*requests_; }
    std::unique_ptr<SummonKeySource> createGlobalSource() override { return nullptr; }
    std::unique_ptr<SummonKeySource> createLocalSource() override { return nullptr; }
    std::unique_ptr<SummonHotKey> createHotKey() override { return nullptr; }

private:
    int* requests_;
};

class GeneralSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults = installMemoryDefaults();
        secrets = installMemorySecrets();
        BridgeService::resetSharedForTesting();
        ScriptedResponse idle = ScriptedResponse::noContent();
        idle.holdMs = 50;
        backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"), idle);
        backend.route("GET", QStringLiteral("/api/v1/me.json"), ScriptedResponse::json(200, R"({"id":7})"));
        backend.route("DELETE", QStringLiteral("/api/v1/session"), ScriptedResponse::noContent());
        backend.route("POST", QStringLiteral("/api/v1/pairings/claim"),
                      [this](const RecordedRequest&) { return claimAnswer; });
        backend.routePrefix("POST", QStringLiteral("/api/v1/voices/"),
                            [this](const RecordedRequest&) { return sampleAnswer; });
        session = std::make_unique<AppSession>();
        player = std::make_shared<RecordingPlayer>();
        VoiceSamplePlayer::setShared(player);
    }
    void TearDown() override {
        VoiceSamplePlayer::setShared(nullptr);
        session.reset();
        BridgeService::resetSharedForTesting();
        spinFor(50);
    }
    std::optional<StoredSecret> storedToken() const {
        return secrets->peek(KeychainStore::tokenService, KeychainStore::tokenAccount);
    }
    QList<RecordedRequest> requestsTo(const QString& prefix) const {
        QList<RecordedRequest> out;
        for (const RecordedRequest& r : backend.requests())
            if (r.path.startsWith(prefix))
                out << r;
        return out;
    }

    FakeBackend backend;
    ScriptedResponse claimAnswer;
    ScriptedResponse sampleAnswer;
    std::shared_ptr<MemoryDefaultsStore> defaults;
    std::shared_ptr<MemorySecretStore> secrets;
    std::unique_ptr<AppSession> session;
    std::shared_ptr<RecordingPlayer> player;
};

} // namespace

TEST_F(GeneralSettingsTest, PairingOutcomes) {
    const QString keychainError = [&] {
        secrets->setFailure(MemorySecretStore::Operation::Replace, -61);
        runTask(session->setToken(QStringLiteral("probe")));
        secrets->setFailure(MemorySecretStore::Operation::Replace, std::nullopt);
        return session->lastError().value_or(QString());
    }();
    ASSERT_FALSE(keychainError.isEmpty());
    struct Case {
        const char* name;
        ScriptedResponse answer;
        bool storeFails;
        bool signedIn;
        QString error;
    };
    const QList<Case> cases = {
        {"claimed", ScriptedResponse::json(200, R"({"user_token":"ut-9","email":"al@example.org"})"), false,
         true, QString()},
        {"refused with a message", ScriptedResponse::json(404, R"({"error":"Code inconnu ou expiré"})"),
         false, false, QStringLiteral("Erreur HTTP 404 : Code inconnu ou expiré")},
        {"token not storable",
         ScriptedResponse::json(200, R"({"user_token":"ut-9","email":"al@example.org"})"), true, false,
         keychainError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        runTask(session->setToken(QString()));
        session->setLastError(std::nullopt);
        claimAnswer = c.answer;
        secrets->setFailure(MemorySecretStore::Operation::Replace,
                            c.storeFails ? std::optional<qint32>(-61) : std::nullopt);
        GeneralSettingsController account(*session);
        account.setPairCode(QStringLiteral("  ABCD1234 \n"));
        account.setTokenDraft(QStringLiteral("draft"));
        runTask(account.claimPairingCode());
        const auto claims = requestsTo(QStringLiteral("/api/v1/pairings/claim"));
        ASSERT_FALSE(claims.isEmpty());
        EXPECT_EQ(Json::parse(claims.last().body.toStdString())["pairing_code"], "ABCD1234");
        EXPECT_FALSE(account.isPairingLoading());
        EXPECT_EQ(account.isAuthenticated(), c.signedIn);
        EXPECT_EQ(account.pairError().value_or(QString()), c.error);
        if (c.signedIn) {
            EXPECT_EQ(account.signedInEmail(), "al@example.org");
            EXPECT_EQ(account.pairCode(), "");
            EXPECT_EQ(account.tokenDraft(), "");
            EXPECT_EQ(storedToken()->value, "ut-9");
            // The claim's e-mail goes with its token: refused, it is no longer shown.
            AuthFailureNotifier::shared().post(QStringLiteral("ut-9"));
            EXPECT_TRUE(spinUntil([&] { return !account.isAuthenticated(); }));
            EXPECT_EQ(account.signedInEmail(), "…");
        } else {
            EXPECT_EQ(account.pairCode(), "  ABCD1234 \n"); // kept for another try
            EXPECT_FALSE(storedToken().has_value());
        }
        account.setPairCode(QStringLiteral("x")); // typing clears the error
        EXPECT_FALSE(account.pairError().has_value());
    }
    secrets->setFailure(MemorySecretStore::Operation::Replace, std::nullopt);

    // A code of blanks is never sent.
    GeneralSettingsController blank(*session);
    blank.setPairCode(QStringLiteral(" \n\t "));
    EXPECT_FALSE(blank.canClaim());
    const int before = backend.requestCount();
    runTask(blank.claimPairingCode());
    EXPECT_EQ(backend.requestCount(), before);
}

TEST_F(GeneralSettingsTest, PairingWithTheBackendUnreachable) {
    auto gone = std::make_unique<ScriptedHttpServer>();
    pointBackendAt(*gone);
    gone.reset();
    GeneralSettingsController account(*session);
    account.setPairCode(QStringLiteral("ABCD1234"));
    runTask(account.claimPairingCode());
    EXPECT_FALSE(account.isPairingLoading());
    EXPECT_FALSE(account.pairError().value_or(QString()).isEmpty());
    EXPECT_FALSE(account.isAuthenticated());
    pointBackendAt(backend);
}

TEST_F(GeneralSettingsTest, ManualTokenAndHighSecurity) {
    GeneralSettingsController account(*session);
    account.setTokenDraft(QStringLiteral("  tok-1  "));
    runTask(account.saveToken());
    EXPECT_TRUE(account.savedFlash());
    EXPECT_EQ(account.tokenDraft(), "");
    EXPECT_EQ(session->userToken(), "tok-1");
    EXPECT_TRUE(spinUntil([&] { return !account.savedFlash(); }));

    // A refused save shows the session's error, keeps the text and flashes nothing.
    secrets->setFailure(MemorySecretStore::Operation::Replace, -61);
    account.setTokenDraft(QStringLiteral("tok-2"));
    runTask(account.saveToken());
    EXPECT_FALSE(account.savedFlash());
    EXPECT_EQ(account.tokenError(), session->lastError());
    EXPECT_TRUE(account.tokenError().has_value());
    EXPECT_EQ(account.tokenDraft(), "tok-2");
    EXPECT_EQ(session->userToken(), "tok-1");

    // High security cannot be saved: the setting and the toggle go back, the token stays.
    runTask(account.setHighSecurity(true));
    EXPECT_FALSE(account.highSecurityOn());
    EXPECT_EQ(defaults->boolValue(KeychainStore::highSecurityModeKey), false);
    EXPECT_EQ(account.securityError(), session->lastError());
    EXPECT_EQ(storedToken()->value, "tok-1");
    EXPECT_EQ(storedToken()->protection, SecretProtection::AfterFirstUnlock);

    secrets->setFailure(MemorySecretStore::Operation::Replace, std::nullopt);
    runTask(account.setHighSecurity(true));
    EXPECT_TRUE(account.highSecurityOn());
    EXPECT_FALSE(account.securityError().has_value());
    EXPECT_EQ(storedToken()->protection, SecretProtection::UserPresence);
    runTask(account.setHighSecurity(false));
    EXPECT_EQ(storedToken()->protection, SecretProtection::AfterFirstUnlock);

    // Saving an empty field signs out and still flashes.
    account.setTokenDraft(QString());
    runTask(account.saveToken());
    EXPECT_FALSE(session->isAuthenticated());
    EXPECT_TRUE(account.savedFlash());
    EXPECT_FALSE(storedToken().has_value());

    // Signed out, the mode is only written.
    const int saves = secrets->calls(MemorySecretStore::Operation::Replace);
    runTask(account.setHighSecurity(true));
    EXPECT_EQ(defaults->boolValue(KeychainStore::highSecurityModeKey), true);
    EXPECT_EQ(secrets->calls(MemorySecretStore::Operation::Replace), saves);
}

TEST_F(GeneralSettingsTest, TokenDraftQuitRowAndSignOut) {
    runTask(session->setToken(QStringLiteral("stored-tok")));
    defaults->setBool(GeneralSettingsController::kSuppressQuitConfirmationKey, true);
    GeneralSettingsController account(*session);
    EXPECT_TRUE(account.quitConfirmationSuppressed());
    EXPECT_EQ(account.tokenDraft(), "");
    runTask(account.loadTokenDraft());
    EXPECT_EQ(account.tokenDraft(), "stored-tok");
    EXPECT_EQ(account.signedInEmail(), "…");

    GeneralSettingsController typing(*session);
    typing.setTokenDraft(QStringLiteral("typed"));
    runTask(typing.loadTokenDraft());
    EXPECT_EQ(typing.tokenDraft(), "typed");

    account.reenableQuitConfirmation();
    EXPECT_FALSE(account.quitConfirmationSuppressed());
    EXPECT_FALSE(defaults->contains(GeneralSettingsController::kSuppressQuitConfirmationKey));

    runTask(account.signOut());
    EXPECT_FALSE(session->isAuthenticated());
    EXPECT_EQ(account.tokenDraft(), "");
    EXPECT_FALSE(account.tokenError().has_value());

    // A sign-out that left the token in the keychain is not reported as done.
    runTask(session->setToken(QStringLiteral("kept")));
    secrets->setFailure(MemorySecretStore::Operation::Remove, SecretStatus::interactionNotAllowed);
    runTask(account.signOut());
    EXPECT_FALSE(session->isAuthenticated());
    EXPECT_EQ(account.tokenError(), AppSession::tokenKeptText());
    secrets->setFailure(MemorySecretStore::Operation::Remove, std::nullopt);
    runTask(account.clearToken());
    EXPECT_FALSE(account.tokenError().has_value());
    EXPECT_FALSE(storedToken().has_value());
}

TEST_F(GeneralSettingsTest, SummonSectionRules) {
    int requests = 0;
    DoubleCommandMonitor::setSharedForTesting(
        std::make_unique<DoubleCommandMonitor>(std::make_unique<CountingPlatform>(&requests)));
    VoiceSettingsController voice(*session);
    const QString granted =
        QStringLiteral("Ombrix écoute un double appui isolé sur ⌘ pour ouvrir ou fermer sa "
                       "fenêtre depuis n'importe quelle app.");
    struct Case {
        bool enabled, permission;
        SummonFallbackShortcut fallback;
        std::optional<QString> status;
        QString startsWith;
        bool request;
        std::optional<QString> line;
    };
    const QString warning =
        QStringLiteral("Sans l'autorisation macOS d'écoute clavier globale, le double ⌘ ne "
                       "marche que quand Ombrix a déjà le focus. ");
    const QList<Case> cases = {
        {false, false, SummonFallbackShortcut::CommandJ, QStringLiteral("x"),
         QStringLiteral("Le raccourci global est désactivé."), false, std::nullopt},
        {true, true, SummonFallbackShortcut::CommandJ, QStringLiteral("Event tap global actif."), granted,
         false, QStringLiteral("État actuel : Event tap global actif.")},
        {true, false, SummonFallbackShortcut::CommandJ, std::nullopt,
         warning + QStringLiteral("En attendant, Ombrix active un alias global ⌘J. Autorise"), true,
         std::nullopt},
        {true, false, SummonFallbackShortcut::None, QStringLiteral("s"), warning + QStringLiteral("Autorise"),
         true, QStringLiteral("État actuel : s")},
    };
    for (const Case& c : cases) {
        session->setDoubleCommandEnabled(c.enabled);
        session->setGlobalShortcutPermissionGranted(c.permission);
        session->setSummonFallbackShortcut(c.fallback);
        session->setGlobalShortcutStatusMessage(c.status);
        EXPECT_EQ(voice.summonPickersEnabled(), c.enabled);
        EXPECT_TRUE(voice.summonExplanation().startsWith(c.startsWith))
            << voice.summonExplanation().toStdString();
        EXPECT_EQ(voice.showsPermissionRequest(), c.request);
        EXPECT_EQ(voice.summonStatusLine(), c.line);
    }
    EXPECT_EQ(session->summonFallbackShortcut(), SummonFallbackShortcut::None); // pickers keep their values
    voice.requestPermission();
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(defaults->boolValue(DoubleCommandMonitor::kPromptKey), true);
    DoubleCommandMonitor::setSharedForTesting(nullptr);
}

TEST_F(GeneralSettingsTest, VoiceSectionsAndPickerItems) {
    VoiceSettingsController voice(*session);
    session->setVoiceMode(VoiceMode::Realtime);
    EXPECT_FALSE(voice.audioOutputEnabled());
    EXPECT_EQ(voice.audioOutputDescription(), "En mode Temps réel, la voix est toujours celle du modèle.");
    session->setVoiceMode(VoiceMode::PushToTalk);
    session->setAudioOutput(AudioOutput::Gpt);
    EXPECT_TRUE(voice.audioOutputEnabled());
    EXPECT_EQ(voice.audioOutputDescription(), "Toujours la voix de GPT (provider OpenAI uniquement).");

    const auto items = VoiceSettingsController::standardVoiceItems();
    ASSERT_EQ(items.size(), 14);
    EXPECT_EQ(items[0].label, "Par défaut (alloy)");
    EXPECT_EQ(items[0].value, "");
    EXPECT_EQ(items[3].label, "Alloy");
    EXPECT_TRUE(items[3].separatorBefore);
    EXPECT_EQ(items[13].label, "Verse");
    session->setAudioVoice(QStringLiteral("cedar"));
    EXPECT_EQ(voice.voiceItems().size(), 14);
    session->setAudioVoice(QStringLiteral("nouvelle-voix"));
    ASSERT_EQ(voice.voiceItems().size(), 15);
    EXPECT_EQ(voice.voiceItems()[0].label, "nouvelle-voix");
    EXPECT_EQ(voice.voiceItems()[0].value, "nouvelle-voix");
}

TEST_F(GeneralSettingsTest, VoiceSamplePlayback) {
    runTask(session->setToken(QStringLiteral("tok")));
    VoiceSettingsController voice(*session);
    struct Case {
        const char* name;
        QString slug;
        ScriptedResponse answer;
        QList<QByteArray> events;
        QString path;
    };
    const QList<Case> cases = {
        {"default voice",
         QString(),
         ScriptedResponse::json(200, R"({"audio_base64":"UklGRjE=","format":"wav"})"),
         {"stop", "play:RIFF1"},
         QStringLiteral("/api/v1/voices/alloy/sample")},
        {"the next sample replaces it",
         QStringLiteral("cedar"),
         ScriptedResponse::json(200, R"({"audio_base64":"SUQzMg==","format":"mp3"})"),
         {"stop", "play:ID32"},
         QStringLiteral("/api/v1/voices/cedar/sample")},
        {"failed fetch",
         QStringLiteral("marin"),
         ScriptedResponse::text(500, "panne"),
         {},
         QStringLiteral("/api/v1/voices/marin/sample")},
        {"character outside the alphabet",
         QStringLiteral("ash"),
         ScriptedResponse::json(200, R"({"audio_base64":"UklG$jE=","format":"wav"})"),
         {"stop"},
         QStringLiteral("/api/v1/voices/ash/sample")},
        {"line break inside",
         QStringLiteral("ash"),
         ScriptedResponse::json(200, R"({"audio_base64":"UklG\nRjE=","format":"wav"})"),
         {"stop"},
         QStringLiteral("/api/v1/voices/ash/sample")},
        {"missing padding",
         QStringLiteral("ash"),
         ScriptedResponse::json(200, R"({"audio_base64":"UklGRjE","format":"wav"})"),
         {"stop"},
         QStringLiteral("/api/v1/voices/ash/sample")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        player->events.clear();
        sampleAnswer = c.answer;
        runTask(voice.previewVoice(c.slug));
        EXPECT_FALSE(voice.isPreviewLoading());
        EXPECT_EQ(player->events, c.events);
        const RecordedRequest sent = requestsTo(QStringLiteral("/api/v1/voices/")).last();
        EXPECT_EQ(sent.path, c.path);
        EXPECT_EQ(sent.header("X-User-Token"), QByteArray("tok"));
    }
}

TEST_F(GeneralSettingsTest, WidgetsFollowTheControllers) {
    GeneralSettingsTab tab(*session);
    tab.resize(560, 1500);
    tab.show();
    EXPECT_FALSE(tab.signedInRow()->isVisible());
    EXPECT_TRUE(tab.pairCodeField()->isVisible());
    EXPECT_FALSE(tab.pairButton()->isEnabled());
    tab.pairCodeField()->setFocus();
    QTest::keyClicks(tab.pairCodeField(), QStringLiteral("  "));
    EXPECT_FALSE(tab.pairButton()->isEnabled());
    QTest::keyClicks(tab.pairCodeField(), QStringLiteral("ABCD1234"));
    EXPECT_TRUE(tab.pairButton()->isEnabled());
    claimAnswer = ScriptedResponse::json(200, R"({"user_token":"ut-5","email":"al@example.org"})");
    QTest::keyClick(tab.pairCodeField(), Qt::Key_Return);
    ASSERT_TRUE(spinUntil([&] { return tab.signedInRow()->isVisible(); }));
    EXPECT_EQ(tab.emailLabel()->text(), "al@example.org");
    EXPECT_EQ(tab.pairingFooter()->text(),
              "Pour changer de compte, déconnecte-toi puis recommence avec un nouveau code.");
    EXPECT_FALSE(tab.quitRow()->isVisible());

    // Summon: switching off disables both pickers and leaves one sentence.
    tab.doubleCommandToggle()->click();
    EXPECT_FALSE(session->doubleCommandEnabled());
    EXPECT_FALSE(tab.summonBehaviorPicker()->isEnabled());
    EXPECT_FALSE(tab.fallbackPicker()->isEnabled());
    EXPECT_EQ(tab.summonExplanationLabel()->text(), "Le raccourci global est désactivé.");
    EXPECT_FALSE(tab.permissionButton()->isVisible());
    EXPECT_FALSE(tab.summonStatusLabel()->isVisible());
    tab.doubleCommandToggle()->click();

    // Voice mode and output.
    tab.voiceModePicker()->button(1)->click();
    EXPECT_EQ(session->voiceMode(), VoiceMode::Realtime);
    EXPECT_FALSE(tab.audioOutputPicker()->isEnabled());
    tab.voiceModePicker()->button(0)->click();
    EXPECT_TRUE(tab.audioOutputPicker()->isEnabled());

    // The voice picker writes the id; the preview button fetches it.
    const int marin = tab.voicePicker()->findData(QStringLiteral("marin"));
    ASSERT_GE(marin, 0);
    tab.voicePicker()->setCurrentIndex(marin);
    emit tab.voicePicker()->activated(marin);
    EXPECT_EQ(session->audioVoice(), "marin");
    sampleAnswer = ScriptedResponse::json(200, R"({"audio_base64":"UklGRjE=","format":"wav"})");
    tab.previewButton()->click();
    EXPECT_TRUE(spinUntil([&] { return player->events.contains("play:RIFF1"); }));
    EXPECT_EQ(requestsTo(QStringLiteral("/api/v1/voices/")).last().path, "/api/v1/voices/marin/sample");

    // An open voice list stays open, and keeps its items, while the controllers change.
    tab.voicePicker()->showPopup();
    ASSERT_TRUE(tab.voicePicker()->view()->isVisible());
    const int items = tab.voicePicker()->count();
    int refills = 0;
    QObject::connect(tab.voicePicker()->model(), &QAbstractItemModel::rowsRemoved, [&] { ++refills; });
    QObject::connect(tab.voicePicker()->model(), &QAbstractItemModel::modelReset, [&] { ++refills; });
    session->setWhisperTranscription(false);
    session->setVoiceMode(VoiceMode::Realtime);
    EXPECT_TRUE(tab.voicePicker()->view()->isVisible());
    EXPECT_EQ(tab.voicePicker()->count(), items);
    EXPECT_EQ(refills, 0);
    EXPECT_EQ(tab.voicePicker()->currentData().toString(), "marin");
    tab.voicePicker()->hidePopup();

    tab.signOutButton()->click();
    EXPECT_TRUE(tab.pairCodeField()->isVisible());
}

TEST_F(GeneralSettingsTest, KeychainWaitsAreOffTheGuiThreadAndTheControlsSayTheyAreBusy) {
    auto slow = std::make_shared<SlowSecretStore>();
    SecretStore::setShared(slow);
    runTask(session->setToken(QStringLiteral("tok")));
    GeneralSettingsTab tab(*session);
    tab.resize(560, 1500);
    tab.show();
    ASSERT_TRUE(spinUntil([&] { return tab.tokenField()->text() == "tok"; })); // read off the GUI thread
    slow->hold();

    // Saving: the GUI thread runs on while the keychain has not answered.
    tab.tokenField()->setText(QStringLiteral("tok-2"));
    emit tab.tokenField()->textEdited(QStringLiteral("tok-2"));
    tab.saveButton()->click();
    ASSERT_TRUE(spinUntil([&] { return slow->waiting() == 1; }));
    EXPECT_TRUE(tab.account().isKeychainBusy());
    EXPECT_FALSE(tab.saveButton()->isEnabled());
    EXPECT_FALSE(tab.clearButton()->isEnabled());
    EXPECT_FALSE(tab.highSecurityToggle()->isEnabled());
    EXPECT_TRUE(tab.keychainBusyLabel()->isVisible());
    EXPECT_EQ(tab.keychainBusyLabel()->text(), "Accès au trousseau en cours…");
    slow->release();
    ASSERT_TRUE(spinUntil([&] { return !tab.account().isKeychainBusy(); }));
    EXPECT_EQ(session->userToken(), "tok-2");
    EXPECT_TRUE(tab.saveButton()->isEnabled());
    EXPECT_FALSE(tab.keychainBusyLabel()->isVisible());

    // The high-security switch waits the same way, then the item has the new protection.
    slow->hold();
    tab.highSecurityToggle()->click();
    ASSERT_TRUE(spinUntil([&] { return slow->waiting() == 1; }));
    EXPECT_TRUE(tab.keychainBusyLabel()->isVisible());
    slow->release();
    ASSERT_TRUE(spinUntil([&] { return !tab.account().isKeychainBusy(); }));
    EXPECT_EQ(slow->memory.peek(KeychainStore::tokenService, KeychainStore::tokenAccount)->protection,
              SecretProtection::UserPresence);

    // Signing out leaves the signed-in row at once; the item goes once the keychain answers.
    slow->hold();
    tab.signOutButton()->click();
    EXPECT_TRUE(tab.pairCodeField()->isVisible());
    EXPECT_FALSE(session->isAuthenticated());
    slow->release();
    ASSERT_TRUE(spinUntil([&] { return !tab.account().isKeychainBusy(); }));
    EXPECT_FALSE(slow->memory.peek(KeychainStore::tokenService, KeychainStore::tokenAccount).has_value());
}

TEST_F(GeneralSettingsTest, Screenshots) {
    defaults->setBool(GeneralSettingsController::kSuppressQuitConfirmationKey, true);
    session->setGlobalShortcutStatusMessage(DoubleCommandMonitor::globalStatus());
    session->setGlobalShortcutPermissionGranted(true);
    {
        GeneralSettingsTab tab(*session);
        tab.resize(560, 1000);
        saveScreenshot(&tab, QStringLiteral("settings-general-signed-out"));
    }
    runTask(session->setToken(QStringLiteral("tok")));
    session->setGlobalShortcutPermissionGranted(false);
    session->setGlobalShortcutStatusMessage(DoubleCommandMonitor::localWithAliasStatus());
    GeneralSettingsTab tab(*session);
    tab.resize(560, 1000);
    tab.show();
    spinUntil([&] { return !tab.tokenField()->text().isEmpty(); });
    saveScreenshot(&tab, QStringLiteral("settings-general-signed-in"));
}

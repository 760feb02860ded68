#include "session/KeychainStore.h"
#include "platform/PresenceGate.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "support/PrivateKeyring.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {
const QString tokenService = QStringLiteral("com.ombrix.mac.usertoken");
const QString tokenAccount = QStringLiteral("user_token");
const QString deviceService = QStringLiteral("com.ombrix.mac.bridge-device-id");
const QString deviceAccount = QStringLiteral("bridge_device_id");
const QString prompt = QStringLiteral("Authentifie-toi pour accéder à Ombrix");
const QString kNoSecretService = QStringLiteral(
    "Aucun trousseau n'est disponible : Ombrix a besoin d'un service de secrets (Secret Service) "
    "pour garder ton jeton. Installe ou démarre GNOME Keyring, KWallet ou KeePassXC, puis réessaie.");
using Op = MemorySecretStore::Operation;

struct RecordingGate : PresenceGate {
    QStringList reasons;
    bool answer = true;
    bool confirm(const QString& reason) override {
        reasons << reason;
        return answer;
    }
};

class KeychainStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults = installMemoryDefaults();
        secrets = installMemorySecrets();
        gate = std::make_shared<RecordingGate>();
        PresenceGate::setShared(gate);
    }
    void TearDown() override { PresenceGate::setShared(nullptr); }

    void setHighSecurity(bool on) { defaults->setBool(QStringLiteral("highSecurityMode"), on); }
    std::optional<StoredSecret> tokenItem() const { return secrets->peek(tokenService, tokenAccount); }

    std::shared_ptr<MemoryDefaultsStore> defaults;
    std::shared_ptr<MemorySecretStore> secrets;
    std::shared_ptr<RecordingGate> gate;
};

bool isUpperUuid(const QString& id) {
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
    return pattern.match(id).hasMatch();
}
} // namespace

TEST(KeychainError, FrenchDescriptions) {
    EXPECT_EQ(KeychainError::status(-25300).description(), QStringLiteral("Erreur Trousseau -25300"));
    EXPECT_EQ(KeychainError::status(-34018).description(), QStringLiteral("Erreur Trousseau -34018"));
    EXPECT_EQ(KeychainError::unexpectedData().description(),
              QStringLiteral("Le Trousseau a renvoyé des données inattendues"));
    EXPECT_EQ(KeychainError::accessControlFailed().description(),
              QStringLiteral("Impossible de configurer le contrôle d'accès du Trousseau"));
    // Without a Secret Service the message says what to install or start.
    const auto error = std::make_exception_ptr(KeychainError::status(-25291));
    EXPECT_EQ(describeException(error), kNoSecretService);
}

TEST_F(KeychainStoreTest, TokenRoundTripsUnderItsServiceAndAccount) {
    EXPECT_EQ(KeychainStore::read(prompt), std::nullopt);
    KeychainStore::save(QStringLiteral("jeton-é-✓"));
    ASSERT_TRUE(tokenItem());
    EXPECT_EQ(tokenItem()->value, QByteArray("jeton-\xc3\xa9-\xe2\x9c\x93"));
    EXPECT_EQ(tokenItem()->protection, SecretProtection::AfterFirstUnlock);
    EXPECT_EQ(KeychainStore::read(prompt), QStringLiteral("jeton-é-✓"));
    // Without high security the caller's prompt is never shown.
    EXPECT_TRUE(gate->reasons.isEmpty());

    KeychainStore::save(QStringLiteral("jeton-é-✓"));
    EXPECT_EQ(secrets->itemCount(), 1);
    KeychainStore::save(QStringLiteral("autre"));
    EXPECT_EQ(secrets->itemCount(), 1);
    EXPECT_EQ(KeychainStore::read(prompt), QStringLiteral("autre"));
    // Saving never deletes first: the stored item is replaced in place.
    EXPECT_EQ(secrets->calls(Op::Remove), 0);
}

TEST_F(KeychainStoreTest, FailedSaveKeepsThePreviousToken) {
    KeychainStore::save(QStringLiteral("ancien"));
    secrets->setFailure(Op::Replace, -25308);
    try {
        KeychainStore::save(QStringLiteral("nouveau"));
        FAIL() << "save should throw";
    } catch (const KeychainError& e) {
        EXPECT_EQ(e.kind(), KeychainError::Kind::Status);
        EXPECT_EQ(e.description(), QStringLiteral("Erreur Trousseau -25308"));
    }
    EXPECT_EQ(KeychainStore::read(prompt), QStringLiteral("ancien"));

    // A token that cannot be UTF-8 (a lone surrogate) is refused before the store is touched.
    secrets->setFailure(Op::Replace, std::nullopt);
    const int before = secrets->calls(Op::Replace);
    QString broken = QStringLiteral("ab");
    broken.append(QChar(0xD800));
    try {
        KeychainStore::save(broken);
        FAIL() << "save should throw";
    } catch (const KeychainError& e) {
        EXPECT_EQ(e.kind(), KeychainError::Kind::UnexpectedData);
    }
    EXPECT_EQ(secrets->calls(Op::Replace), before);
    EXPECT_EQ(KeychainStore::read(prompt), QStringLiteral("ancien"));
}

TEST_F(KeychainStoreTest, RemoveToleratesAMissingItemOnly) {
    EXPECT_NO_THROW(KeychainStore::remove());
    KeychainStore::save(QStringLiteral("jeton"));
    KeychainStore::remove();
    EXPECT_EQ(KeychainStore::read(prompt), std::nullopt);
    EXPECT_EQ(secrets->itemCount(), 0);

    KeychainStore::save(QStringLiteral("jeton"));
    secrets->setFailure(Op::Remove, SecretStatus::notAvailable);
    try {
        KeychainStore::remove();
        FAIL() << "remove should throw";
    } catch (const KeychainError& e) {
        EXPECT_EQ(e.code(), -25291);
    }
    secrets->setFailure(Op::Remove, SecretStatus::itemNotFound);
    EXPECT_NO_THROW(KeychainStore::remove());
}

TEST_F(KeychainStoreTest, UnreadableTokensAreAbsent) {
    secrets->replace(tokenService, tokenAccount,
                     {QByteArray("\xff\xfe"), SecretProtection::AfterFirstUnlock});
    EXPECT_EQ(KeychainStore::read(prompt), std::nullopt);
    KeychainStore::save(QStringLiteral("jeton"));
    secrets->setFailure(Op::Find, SecretStatus::interactionNotAllowed);
    EXPECT_EQ(KeychainStore::read(prompt), std::nullopt);
}

TEST_F(KeychainStoreTest, HighSecurityReleasesTheTokenOnlyAfterPresence) {
    setHighSecurity(true);
    KeychainStore::save(QStringLiteral("protégé"));
    ASSERT_TRUE(tokenItem());
    EXPECT_EQ(tokenItem()->protection, SecretProtection::UserPresence);

    EXPECT_EQ(KeychainStore::read(prompt), QStringLiteral("protégé"));
    EXPECT_EQ(gate->reasons, QStringList{prompt});

    gate->answer = false;
    EXPECT_EQ(KeychainStore::read(QStringLiteral("Confirme l'accès sécurisé")), std::nullopt);
    EXPECT_EQ(gate->reasons.last(), QStringLiteral("Confirme l'accès sécurisé"));

    // The protection stays with the item after the setting is turned off; the
    // caller's prompt is then not used.
    setHighSecurity(false);
    gate->reasons.clear();
    EXPECT_EQ(KeychainStore::read(prompt), std::nullopt);
    EXPECT_EQ(gate->reasons, QStringList{PresenceGate::defaultReason()});

    // Saving again follows the setting.
    gate->answer = true;
    KeychainStore::save(QStringLiteral("libre"));
    gate->reasons.clear();
    EXPECT_EQ(KeychainStore::read(prompt), QStringLiteral("libre"));
    EXPECT_TRUE(gate->reasons.isEmpty());
    EXPECT_EQ(secrets->itemCount(), 1);
}

TEST_F(KeychainStoreTest, DeviceIdIsMadeOnceAndKept) {
    const QString id = KeychainStore::bridgeDeviceId();
    EXPECT_TRUE(isUpperUuid(id)) << id.toStdString();
    ASSERT_TRUE(secrets->peek(deviceService, deviceAccount));
    EXPECT_EQ(secrets->peek(deviceService, deviceAccount)->value, id.toUtf8());
    EXPECT_EQ(secrets->peek(deviceService, deviceAccount)->protection, SecretProtection::AfterFirstUnlock);
    EXPECT_FALSE(defaults->contains(QStringLiteral("ombrix.bridgeDeviceId")));
    EXPECT_EQ(KeychainStore::bridgeDeviceId(), id);
    // Signing out does not touch it.
    KeychainStore::remove();
    EXPECT_EQ(KeychainStore::bridgeDeviceId(), id);
}

TEST_F(KeychainStoreTest, DeviceIdFromTheSettingsCopyMovesIntoTheStore) {
    const QString copy = QStringLiteral("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
    defaults->setString(QStringLiteral("ombrix.bridgeDeviceId"), copy);
    // An empty item is ignored, and replaced by the copy.
    secrets->replace(deviceService, deviceAccount, {QByteArray(), SecretProtection::AfterFirstUnlock});
    EXPECT_EQ(KeychainStore::bridgeDeviceId(), copy);
    EXPECT_EQ(secrets->peek(deviceService, deviceAccount)->value, copy.toUtf8());
    EXPECT_EQ(defaults->string(QStringLiteral("ombrix.bridgeDeviceId")), copy);
    EXPECT_EQ(KeychainStore::bridgeDeviceId(), copy);
}

TEST_F(KeychainStoreTest, DeviceIdFallsBackToTheSettingsWhenTheStoreRefuses) {
    secrets->setFailure(Op::Replace, SecretStatus::notAvailable);
    const QString id = KeychainStore::bridgeDeviceId();
    EXPECT_TRUE(isUpperUuid(id));
    EXPECT_EQ(defaults->string(QStringLiteral("ombrix.bridgeDeviceId")), id);
    EXPECT_EQ(KeychainStore::bridgeDeviceId(), id);
    EXPECT_EQ(secrets->itemCount(), 0);
    // Once the store works again the settings copy is moved in.
    secrets->setFailure(Op::Replace, std::nullopt);
    EXPECT_EQ(KeychainStore::bridgeDeviceId(), id);
    EXPECT_EQ(secrets->peek(deviceService, deviceAccount)->value, id.toUtf8());

    // Neither source usable: a fresh id each time, never an empty one.
    defaults->remove(QStringLiteral("ombrix.bridgeDeviceId"));
    secrets->setFailure(Op::Find, SecretStatus::notAvailable);
    secrets->setFailure(Op::Replace, SecretStatus::notAvailable);
    EXPECT_TRUE(isUpperUuid(KeychainStore::bridgeDeviceId()));
}

// --- The same operations against the desktop's Secret Service -----------------

namespace {
// Only the throw-away keyring of scripts/with-keyring.sh is written to: these
// tests use the program's real service names.
bool throwAwayKeyring() {
    return qEnvironmentVariable("OMBRIX_TEST_KEYRING") == QLatin1String("1");
}

int secretToolItemCount(const QString& service, const QString& account) {
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("service"), service,
                QStringLiteral("account"), account});
    if (!tool.waitForFinished(kEventWaitMs))
        return -1;
    const QString out = QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
    return static_cast<int>(out.count(QRegularExpression(QStringLiteral("(?m)^\\[/"))));
}
} // namespace

class KeychainSecretServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!throwAwayKeyring())
            GTEST_SKIP() << "no throw-away keyring: run under dbus-run-session with scripts/with-keyring.sh";
        if (!LibsecretStore::serviceAvailable())
            GTEST_SKIP() << "no Secret Service answers on the session bus";
        defaults = installMemoryDefaults();
        store = std::make_shared<LibsecretStore>();
        SecretStore::setShared(store);
        gate = std::make_shared<RecordingGate>();
        PresenceGate::setShared(gate);
    }
    void TearDown() override {
        if (store)
            for (const auto& [service, account] : used)
                store->remove(service, account);
        installMemorySecrets();
        PresenceGate::setShared(nullptr);
    }

    std::shared_ptr<MemoryDefaultsStore> defaults;
    std::shared_ptr<LibsecretStore> store;
    std::shared_ptr<RecordingGate> gate;
    // Tests may run in parallel on the same keyring: each clears only its own item.
    QList<std::pair<QString, QString>> used;
    void use(const QString& service, const QString& account) {
        used.append({service, account});
        store->remove(service, account);
    }
};

TEST_F(KeychainSecretServiceTest, TokenRoundTrips) {
    use(tokenService, tokenAccount);
    EXPECT_EQ(KeychainStore::read(prompt), std::nullopt);
    EXPECT_NO_THROW(KeychainStore::remove());
    KeychainStore::save(QStringLiteral("jeton-é"));
    EXPECT_EQ(KeychainStore::read(prompt), QStringLiteral("jeton-é"));
    KeychainStore::save(QStringLiteral("jeton-é"));
    KeychainStore::save(QStringLiteral("second"));
    EXPECT_EQ(secretToolItemCount(tokenService, tokenAccount), 1);
    EXPECT_EQ(KeychainStore::read(prompt), QStringLiteral("second"));

    // Switching the protection replaces the item too, and the class survives the store.
    defaults->setBool(QStringLiteral("highSecurityMode"), true);
    KeychainStore::save(QStringLiteral("protégé"));
    EXPECT_EQ(secretToolItemCount(tokenService, tokenAccount), 1);
    EXPECT_EQ(store->find(tokenService, tokenAccount).item->protection, SecretProtection::UserPresence);
    gate->answer = false;
    EXPECT_EQ(KeychainStore::read(prompt), std::nullopt);
    gate->answer = true;
    EXPECT_EQ(KeychainStore::read(prompt), QStringLiteral("protégé"));
    EXPECT_EQ(gate->reasons, (QStringList{prompt, prompt}));

    KeychainStore::remove();
    EXPECT_EQ(KeychainStore::read(prompt), std::nullopt);
    EXPECT_EQ(secretToolItemCount(tokenService, tokenAccount), 0);
}

TEST_F(KeychainSecretServiceTest, DeviceIdRoundTrips) {
    use(deviceService, deviceAccount);
    const QString id = KeychainStore::bridgeDeviceId();
    EXPECT_TRUE(isUpperUuid(id));
    EXPECT_EQ(store->find(deviceService, deviceAccount).item->value, id.toUtf8());
    EXPECT_FALSE(defaults->contains(QStringLiteral("ombrix.bridgeDeviceId")));
    EXPECT_EQ(KeychainStore::bridgeDeviceId(), id);
    EXPECT_EQ(secretToolItemCount(deviceService, deviceAccount), 1);
}

TEST_F(KeychainSecretServiceTest, StoreKeepsBytesAndRefusesDuplicates) {
    const QString service = QStringLiteral("com.ombrix.test.bytes");
    const QString account = QStringLiteral("raw");
    use(service, account);
    const QByteArray bytes("a\0b\xff", 4);
    EXPECT_EQ(store->store(service, account, {bytes, SecretProtection::UserPresence}), SecretStatus::success);
    EXPECT_EQ(store->store(service, account, {QByteArray("x"), SecretProtection::AfterFirstUnlock}),
              SecretStatus::duplicateItem);
    const SecretLookup found = store->find(service, account);
    ASSERT_EQ(found.status, SecretStatus::success);
    EXPECT_EQ(found.item->value, bytes);
    EXPECT_EQ(found.item->protection, SecretProtection::UserPresence);
    EXPECT_EQ(store->remove(service, account), SecretStatus::success);
    EXPECT_EQ(store->remove(service, account), SecretStatus::itemNotFound);
    EXPECT_EQ(store->find(service, account).status, SecretStatus::itemNotFound);
}

// A sign-out while the keyring is locked: the service is asked to unlock it (its
// prompt fails here, with no display), the item stays, and that is reported and
// remembered. Runs on a keyring of its own, which it locks.
TEST(KeychainLockedCollection, ASignOutThatLeavesTheTokenIsReportedAndTheTokenNotUsedAgain) {
    OMBRIX_RUN_WITH_PRIVATE_KEYRING(false);
    installMemoryDefaults();
    SecretStore::setShared(std::make_shared<LibsecretStore>());
    {
        AppSession session;
        ASSERT_TRUE(runTask(session.setToken(QStringLiteral("verrouillé"))));
        ASSERT_TRUE(lockDefaultCollection());
        EXPECT_FALSE(runTask(session.setToken(QString())));
        EXPECT_FALSE(session.isAuthenticated());
        EXPECT_EQ(session.lastError(), AppSession::tokenKeptText());
        EXPECT_TRUE(KeychainStore::tokenWithdrawn());
    }
    // Unlocked again, the item is still there, and the next start does not use it.
    ASSERT_TRUE(unlockDefaultCollection());
    EXPECT_EQ(lookUpSecret(tokenService, tokenAccount), QStringLiteral("verrouillé"));
    {
        AppSession next;
        ASSERT_TRUE(spinUntil([&] { return !next.isLoadingStoredToken(); }));
        EXPECT_FALSE(next.isAuthenticated());
        // Cleared with the keyring open, it goes, and so does the mark.
        EXPECT_TRUE(runTask(next.setToken(QString())));
        EXPECT_EQ(lookUpSecret(tokenService, tokenAccount), std::nullopt);
        EXPECT_FALSE(KeychainStore::tokenWithdrawn());
    }
    installMemorySecrets();
}

// Run by the next test in a child process whose session bus does not exist.
TEST(KeychainWithoutSecretService, FailsWithAStatusAndWithoutHanging) {
    if (qEnvironmentVariable("OMBRIX_TEST_NO_SECRET_SERVICE") != QLatin1String("1"))
        GTEST_SKIP() << "runs in a child process only";
    SecretStore::setShared(std::make_shared<LibsecretStore>());
    EXPECT_FALSE(LibsecretStore::serviceAvailable());
    EXPECT_EQ(KeychainStore::read(prompt), std::nullopt);
    try {
        KeychainStore::save(QStringLiteral("jeton"));
        FAIL() << "save should throw";
    } catch (const KeychainError& e) {
        EXPECT_EQ(e.description(), kNoSecretService);
    }
    EXPECT_THROW(KeychainStore::remove(), KeychainError);
    installMemoryDefaults();
    {
        // Signing in says what the desktop lacks.
        AppSession session;
        EXPECT_FALSE(runTask(session.setToken(QStringLiteral("jeton"))));
        EXPECT_EQ(session.lastError(), kNoSecretService);
        EXPECT_FALSE(session.userToken().has_value());
    }
    const QString id = KeychainStore::bridgeDeviceId();
    EXPECT_TRUE(isUpperUuid(id));
    EXPECT_EQ(DefaultsStore::shared().string(QStringLiteral("ombrix.bridgeDeviceId")), id);
    installMemorySecrets();
}

TEST(KeychainWithoutSecretService, RunsInAChildProcess) {
    if (qEnvironmentVariable("OMBRIX_TEST_NO_SECRET_SERVICE") == QLatin1String("1"))
        GTEST_SKIP();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("OMBRIX_TEST_NO_SECRET_SERVICE"), QStringLiteral("1"));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=/nonexistent/ombrix-bus"));
    env.remove(QStringLiteral("DISPLAY"));
    child.setProcessEnvironment(env);
    child.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--gtest_filter=KeychainWithoutSecretService.FailsWithAStatusAndWithoutHanging")});
    ASSERT_TRUE(child.waitForFinished(30000)) << "the child hung";
    const QString out = QString::fromUtf8(child.readAllStandardOutput());
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("[  PASSED  ] 1 test"))) << out.toStdString();
}

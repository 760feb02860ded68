// The GUI thread's longest stall while the keychain is slow: every call of a secret
// store that takes 2 s to answer (as a locked keyring or a busy Secret Service
// does), during the start-up token read, pairing, save, the high-security switch,
// clear and sign-out, driven through the General tab's own controls. A 1 ms timer
// ticks on the event loop; the longest gap between two ticks is the stall. For
// comparison, one blocking save made on the GUI thread itself.
//
//   build/tests/bench_keychain_stall [delay-ms]
#include "bridge/BridgeService.h"
#include "platform/DefaultsStore.h"
#include "platform/Resources.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"
#include "settings/widgets/GeneralSettingsTab.h"
#include "support/BenchSupport.h"
#include "support/SlowSecretStore.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

struct Measure {
    double stallMs = 0;
    double totalMs = 0;
};

// Starts the action, then runs the event loop until done() holds.
Measure measure(const std::function<void()>& action, const std::function<bool()>& done) {
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });
    QElapsedTimer total;
    total.start();
    sinceTick.start();
    ticker.start(1);
    action();
    // The stall of the action itself counts too.
    longest = std::max(longest, sinceTick.elapsed());
    if (!spinUntil(done, 60000))
        std::fprintf(stderr, "an operation did not end\n");
    ticker.stop();
    return {static_cast<double>(longest), static_cast<double>(total.nsecsElapsed()) / 1e6};
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/ombrix-bench-XXXXXX"));
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initOmbrixResources();
    auto defaults = std::make_shared<MemoryDefaultsStore>();
    DefaultsStore::setShared(defaults);
    const int delayMs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    auto slow = std::make_shared<SlowSecretStore>(std::chrono::milliseconds(delayMs));
    SecretStore::setShared(slow);

    FakeBackend backend;
    ScriptedResponse idle = ScriptedResponse::noContent();
    idle.holdMs = 200;
    backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"), idle);
    backend.route("GET", QStringLiteral("/api/v1/me.json"), ScriptedResponse::json(200, R"({"id":7})"));
    backend.route("DELETE", QStringLiteral("/api/v1/session"), ScriptedResponse::noContent());
    backend.route("POST", QStringLiteral("/api/v1/pairings/claim"),
                  ScriptedResponse::json(200, R"({"user_token":"ut-9","email":"al@example.org"})"));

    // A token from an earlier run, read at start-up.
    slow->memory.replace(KeychainStore::tokenService, KeychainStore::tokenAccount,
                         {QByteArrayLiteral("stored-token"), SecretProtection::AfterFirstUnlock});
    AppSession* session = nullptr;
    const Measure startup = measure([&] { session = &AppSession::shared(); },
                                    [&] { return session && !session->isLoadingStoredToken(); });
    GeneralSettingsTab tab(*session);
    tab.resize(560, 1500);
    tab.show();
    // The tab's token field is filled by a read of its own.
    spinUntil([&] { return !tab.tokenField()->text().isEmpty(); }, 60000);
    auto busy = [&] { return tab.account().isKeychainBusy(); };

    const Measure signOut =
        measure([&] { tab.signOutButton()->click(); }, [&] { return !busy() && slow->waiting() == 0; });
    const Measure pairing = measure(
        [&] {
            tab.pairCodeField()->setText(QStringLiteral("ABCD1234"));
            emit tab.pairCodeField()->textEdited(QStringLiteral("ABCD1234"));
            tab.pairButton()->click();
        },
        [&] { return !tab.account().isPairingLoading(); });
    const Measure save = measure(
        [&] {
            tab.tokenField()->setText(QStringLiteral("manual-token"));
            emit tab.tokenField()->textEdited(QStringLiteral("manual-token"));
            tab.saveButton()->click();
        },
        [&] { return !busy(); });
    const Measure highSecurity = measure([&] { tab.highSecurityToggle()->click(); }, [&] { return !busy(); });
    const Measure clear =
        measure([&] { tab.clearButton()->click(); }, [&] { return !busy() && slow->waiting() == 0; });

    QElapsedTimer blocking;
    blocking.start();
    KeychainStore::save(QStringLiteral("on-the-gui-thread"));
    const double blockingMs = static_cast<double>(blocking.nsecsElapsed()) / 1e6;

    const bool ended =
        session->isAuthenticated() == false &&
        !slow->memory.peek(KeychainStore::tokenService, KeychainStore::tokenAccount)->value.isEmpty();
    std::printf("secret store answering after %d ms per call\n", delayMs);
    std::printf("%-34s %12s %12s\n", "operation", "stall (ms)", "total (ms)");
    const std::pair<const char*, Measure> rows[] = {
        {"start-up token read", startup},       {"sign-out", signOut},
        {"pairing (claim and save)", pairing},  {"save of the manual token", save},
        {"high-security switch", highSecurity}, {"clear", clear},
    };
    double worst = 0;
    for (const auto& [name, m] : rows) {
        std::printf("%-34s %12.0f %12.0f\n", name, m.stallMs, m.totalMs);
        worst = std::max(worst, m.stallMs);
    }
    std::printf("%-34s %12.0f\n", "one save on the GUI thread itself", blockingMs);
    std::printf("longest stall of all: %.0f ms (%s)\n", worst, ended ? "all ended" : "unexpected end state");
    BridgeService::shared().stop();
    AppSession::resetSharedForTesting();
    return worst <= 16 ? 0 : 1;
}

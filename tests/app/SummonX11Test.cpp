// The X11 summon sources against a real X server (the test script runs the suite
// under Xvfb): keys typed through XTEST reach the raw key listener and the Super+J
// grab. Skipped without a display.
#include "app/SummonX11.h"
#include "app/DoubleCommandMonitor.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "support/TestSupport.h"
#include "support/XTestKeyboard.h"

#include <QDir>
#include <QLockFile>

#include <gtest/gtest.h>

namespace {

// The desktop's own sources, with the global listener reported as unavailable so
// that the Local arrangement (and its alias) is used.
class LocalOnlyPlatform : public DesktopSummonPlatform {
public:
    bool hasGlobalPermission() override { return false; }
};

class SummonX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "No X display (DISPLAY unset): run under xvfb-run, as scripts/test.sh does";
        // A developer's Wayland session must not hide the X server the test uses.
        waylandDisplay = qgetenv("WAYLAND_DISPLAY");
        sessionType = qgetenv("XDG_SESSION_TYPE");
        qunsetenv("WAYLAND_DISPLAY");
        qunsetenv("XDG_SESSION_TYPE");
        // Test processes run in parallel on one X server, and every listener sees every
        // key typed on it: one test types at a time.
        lock = std::make_unique<QLockFile>(QDir::tempPath() + QStringLiteral("/ombrix-xtest-") +
                                           qEnvironmentVariable("DISPLAY").remove(QLatin1Char('/')) +
                                           QStringLiteral(".lock"));
        lock->setStaleLockTime(0);
        ASSERT_TRUE(lock->tryLock(60000));
        ASSERT_TRUE(keyboard.isOpen()) << "the X server has no XTEST extension";
        installMemoryDefaults();
        installMemorySecrets();
        session = std::make_unique<AppSession>();
    }
    void TearDown() override {
        if (!waylandDisplay.isEmpty())
            qputenv("WAYLAND_DISPLAY", waylandDisplay);
        if (!sessionType.isEmpty())
            qputenv("XDG_SESSION_TYPE", sessionType);
    }
    std::unique_ptr<DoubleCommandMonitor> bind(std::unique_ptr<SummonPlatform> platform) {
        auto monitor = std::make_unique<DoubleCommandMonitor>(std::move(platform));
        monitor->bind(session.get(), [this] { ++summons; });
        return monitor;
    }

    QByteArray waylandDisplay, sessionType;
    std::unique_ptr<QLockFile> lock;
    XTestKeyboard keyboard;
    std::unique_ptr<AppSession> session;
    int summons = 0;
};

using K = XTestKeyboard::Key;

std::vector<K> tapOf(quint32 key) {
    return {{key, true}, {key, false}};
}

std::vector<K> join(std::initializer_list<std::vector<K>> parts) {
    std::vector<K> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace

TEST_F(SummonX11Test, RawKeysReachTheDoubleTapRule) {
    EXPECT_TRUE(x11GlobalKeysAvailable());
    struct Case {
        const char* name;
        std::vector<K> keys;
        int summons;
    };
    const std::vector<K> chord = {
        {keysym::ControlL, true}, {keysym::C, true}, {keysym::C, false}, {keysym::ControlL, false}};
    const std::vector<Case> cases = {
        {"double tap of the left Control", join({tapOf(keysym::ControlL), tapOf(keysym::ControlL)}), 1},
        {"left then right Control", join({tapOf(keysym::ControlL), tapOf(keysym::ControlR)}), 1},
        {"Control+C twice", join({chord, chord}), 0},
        {"Control with Shift held",
         join({{{keysym::ShiftL, true}},
               tapOf(keysym::ControlL),
               tapOf(keysym::ControlL),
               {{keysym::ShiftL, false}}}),
         0},
        {"a repeated press of a held Control is dropped",
         join({{{keysym::ControlL, true}, {keysym::ControlL, true}, {keysym::ControlL, false}},
               tapOf(keysym::ControlL)}),
         1},
        {"three quick taps summon once",
         join({tapOf(keysym::ControlL), tapOf(keysym::ControlL), tapOf(keysym::ControlL)}), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        summons = 0;
        auto monitor = bind(std::make_unique<DesktopSummonPlatform>());
        ASSERT_EQ(monitor->arrangement(), DoubleCommandMonitor::Arrangement::Global);
        EXPECT_EQ(session->globalShortcutStatusMessage(), DoubleCommandMonitor::globalStatus());
        EXPECT_TRUE(session->globalShortcutPermissionGranted());
        keyboard.send(c.keys);
        // Everything typed so far has been read once the marker key has arrived.
        int markers = 0;
        auto* source = monitor->globalSourceForTesting();
        QObject::connect(source, &SummonKeySource::otherKeyDown, [&] { ++markers; });
        keyboard.tap(keysym::X);
        ASSERT_TRUE(spinUntil([&] { return markers > 0; }));
        EXPECT_EQ(summons, c.summons);
    }
}

TEST_F(SummonX11Test, SuperJAliasThroughTheRealGrab) {
    session->setSummonFallbackShortcut(SummonFallbackShortcut::CommandJ);
    auto monitor = bind(std::make_unique<LocalOnlyPlatform>());
    ASSERT_EQ(monitor->arrangement(), DoubleCommandMonitor::Arrangement::Local);
    EXPECT_EQ(session->globalShortcutStatusMessage(), DoubleCommandMonitor::localWithAliasStatus());
    keyboard.send({{keysym::SuperL, true}, {keysym::J, true}, {keysym::J, false}, {keysym::SuperL, false}});
    EXPECT_TRUE(spinUntil([&] { return summons == 1; }));
    keyboard.tap(keysym::J); // J alone is not the alias
    spinFor(200);
    EXPECT_EQ(summons, 1);

    // Switching the alias off gives the combination back to other programs.
    session->setSummonFallbackShortcut(SummonFallbackShortcut::None);
    EXPECT_EQ(session->globalShortcutStatusMessage(), DoubleCommandMonitor::localWithoutAliasStatus());
    XTestKeyboard other;
    EXPECT_TRUE(other.grabWithSuper(keysym::J));
}

TEST_F(SummonX11Test, AliasTakenByAnotherProgram) {
    XTestKeyboard other;
    ASSERT_TRUE(other.grabWithSuper(keysym::J));
    session->setSummonFallbackShortcut(SummonFallbackShortcut::CommandJ);
    auto monitor = bind(std::make_unique<LocalOnlyPlatform>());
    EXPECT_EQ(session->globalShortcutStatusMessage(), DoubleCommandMonitor::localWithoutAliasStatus());
    keyboard.send({{keysym::SuperL, true}, {keysym::J, true}, {keysym::J, false}, {keysym::SuperL, false}});
    spinFor(300);
    EXPECT_EQ(summons, 0);
}

TEST(SummonWithoutDisplay, NoGlobalSourceAndATruthfulStatus) {
    const QByteArray display = qgetenv("DISPLAY");
    qunsetenv("DISPLAY");
    installMemoryDefaults();
    installMemorySecrets();
    {
        AppSession session;
        DoubleCommandMonitor monitor;
        monitor.bind(&session, [] {});
        EXPECT_FALSE(x11GlobalKeysAvailable());
        EXPECT_EQ(monitor.arrangement(), DoubleCommandMonitor::Arrangement::Local);
        EXPECT_FALSE(monitor.hasHotKey());
        EXPECT_FALSE(session.globalShortcutPermissionGranted());
        EXPECT_EQ(session.globalShortcutStatusMessage(), DoubleCommandMonitor::localWithoutAliasStatus());
    }
    if (!display.isEmpty())
        qputenv("DISPLAY", display);
}

// The summon monitor's arrangements and status texts, with fake sources standing in
// for the desktop, and the local source fed with real Qt key events.
#include "app/DoubleCommandMonitor.h"
#include "app/SummonX11.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

class FakeKeySource : public SummonKeySource {
public:
    bool seesEverything = false;
    bool reportsEveryKeyEvent() const override { return seesEverything; }
    void tap(quint16 key, double t) {
        emit commandKeyChanged(key, false, t);
        emit commandKeyChanged(key, false, t + 0.05);
    }
};

class FakeHotKey : public SummonHotKey {
public:
    explicit FakeHotKey(bool registered)
        : registered_(registered) {}
    bool isRegistered() const override { return registered_; }
    void press() { emit pressed(); }

private:
    bool registered_;
};

struct FakeDesktop {
    bool permission = false;
    bool globalFails = false;
    bool hotKeyTaken = false;
    bool globalSeesEverything = true;
    int requests = 0;
    int localCreated = 0;
    QPointer<FakeKeySource> global;
    QPointer<FakeKeySource> local;
    QPointer<FakeHotKey> hotKey;
};

class FakePlatform : public SummonPlatform {
public:
    explicit FakePlatform(FakeDesktop* desktop)
        : d(desktop) {}
    bool hasGlobalPermission() override { return d->permission; }
    void requestGlobalPermission() override { ++d->requests; }
    std::unique_ptr<SummonKeySource> createGlobalSource() override {
        if (d->globalFails)
            return nullptr;
        auto source = std::make_unique<FakeKeySource>();
        source->seesEverything = d->globalSeesEverything;
        d->global = source.get();
        return source;
    }
    std::unique_ptr<SummonKeySource> createLocalSource() override {
        ++d->localCreated;
        auto source = std::make_unique<FakeKeySource>();
        d->local = source.get();
        return source;
    }
    std::unique_ptr<SummonHotKey> createHotKey() override {
        auto hotKey = std::make_unique<FakeHotKey>(!d->hotKeyTaken);
        d->hotKey = hotKey.get();
        return hotKey;
    }

private:
    FakeDesktop* d;
};

using A = DoubleCommandMonitor::Arrangement;

class DoubleCommandMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults = installMemoryDefaults();
        installMemorySecrets();
        session = std::make_unique<AppSession>();
    }
    std::unique_ptr<DoubleCommandMonitor> bind() {
        auto monitor = std::make_unique<DoubleCommandMonitor>(std::make_unique<FakePlatform>(&desktop));
        monitor->bind(session.get(), [this] { ++summons; });
        return monitor;
    }
    QString status() const {
        return session->globalShortcutStatusMessage().value_or(QStringLiteral("<none>"));
    }

    std::shared_ptr<MemoryDefaultsStore> defaults;
    std::unique_ptr<AppSession> session;
    FakeDesktop desktop;
    int summons = 0;
};

} // namespace

TEST_F(DoubleCommandMonitorTest, ArrangementsAtBind) {
    struct Case {
        const char* name;
        bool enabled;
        SummonFallbackShortcut fallback;
        bool permission, globalFails, hotKeyTaken;
        A arrangement;
        bool hotKey;
        QString status;
        bool globalSeesEverything = true;
        bool releasesReliable = false;
    };
    const QList<Case> cases = {
        {"permission", true, SummonFallbackShortcut::CommandJ, true, false, false, A::Global, false,
         DoubleCommandMonitor::globalStatus(), true, true},
        {"permission, but the X server loses keys during grabs", true, SummonFallbackShortcut::CommandJ, true,
         false, false, A::Global, false, DoubleCommandMonitor::globalDuringGrabsLostStatus(), false, false},
        {"no permission, alias", true, SummonFallbackShortcut::CommandJ, false, false, false, A::Local, true,
         DoubleCommandMonitor::localWithAliasStatus()},
        {"no permission, alias taken by another program", true, SummonFallbackShortcut::CommandJ, false,
         false, true, A::Local, true, DoubleCommandMonitor::localWithoutAliasStatus()},
        {"no permission, no alias", true, SummonFallbackShortcut::None, false, false, false, A::Local, false,
         DoubleCommandMonitor::localWithoutAliasStatus()},
        {"global source cannot be created", true, SummonFallbackShortcut::CommandJ, true, true, false,
         A::Local, false, DoubleCommandMonitor::localWithoutAliasStatus()},
        {"switched off", false, SummonFallbackShortcut::CommandJ, true, false, false, A::Off, false,
         DoubleCommandMonitor::disabledStatus()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        desktop = FakeDesktop{};
        desktop.permission = c.permission;
        desktop.globalFails = c.globalFails;
        desktop.hotKeyTaken = c.hotKeyTaken;
        desktop.globalSeesEverything = c.globalSeesEverything;
        session->setDoubleCommandEnabled(c.enabled);
        session->setSummonFallbackShortcut(c.fallback);
        auto monitor = bind();
        EXPECT_EQ(monitor->arrangement(), c.arrangement);
        EXPECT_EQ(monitor->hasHotKey(), c.hotKey);
        EXPECT_EQ(status(), c.status);
        EXPECT_EQ(session->globalShortcutPermissionGranted(), c.permission);
        EXPECT_EQ(monitor->tapState().releasesReliable(), c.releasesReliable);
    }
    EXPECT_EQ(QStringLiteral("Double ⌘ local uniquement (pas d’alias global)."),
              DoubleCommandMonitor::localWithoutAliasStatus());
}

TEST_F(DoubleCommandMonitorTest, SourcesReachTheHandler) {
    desktop.permission = true;
    auto monitor = bind();
    ASSERT_TRUE(desktop.global);
    desktop.global->tap(55, 10.0);
    desktop.global->tap(55, 10.2);
    EXPECT_EQ(summons, 1);
    // An ordinary key inside the second press cancels it.
    desktop.global->tap(55, 20.0);
    emit desktop.global->commandKeyChanged(55, false, 20.2);
    emit desktop.global->otherKeyDown();
    emit desktop.global->commandKeyChanged(55, false, 20.25);
    EXPECT_EQ(summons, 1);

    desktop.permission = false;
    session->setDoubleCommandEnabled(false);
    session->setDoubleCommandEnabled(true);
    ASSERT_TRUE(desktop.local && desktop.hotKey);
    EXPECT_FALSE(desktop.global); // one arrangement at a time
    desktop.local->tap(54, 30.0);
    desktop.local->tap(55, 30.2);
    EXPECT_EQ(summons, 2);
    desktop.hotKey->press(); // the alias needs no double tap
    EXPECT_EQ(summons, 3);

    session->setDoubleCommandEnabled(false);
    EXPECT_EQ(monitor->arrangement(), A::Off);
    EXPECT_FALSE(desktop.local || desktop.hotKey);
}

TEST_F(DoubleCommandMonitorTest, SettingChangesAndPrompt) {
    auto monitor = bind();
    // No permission at the first run: the request is made once and remembered.
    EXPECT_EQ(desktop.requests, 1);
    EXPECT_EQ(defaults->boolValue(DoubleCommandMonitor::kPromptKey), true);
    session->setDoubleCommandEnabled(false);
    session->setDoubleCommandEnabled(true);
    EXPECT_EQ(desktop.requests, 1);

    // The alias setting is applied with the value just chosen.
    session->setSummonFallbackShortcut(SummonFallbackShortcut::None);
    EXPECT_FALSE(monitor->hasHotKey());
    EXPECT_EQ(status(), DoubleCommandMonitor::localWithoutAliasStatus());
    session->setSummonFallbackShortcut(SummonFallbackShortcut::CommandJ);
    EXPECT_TRUE(monitor->hasHotKey());
    EXPECT_EQ(status(), DoubleCommandMonitor::localWithAliasStatus());

    // An assignment of the same value reinstalls nothing.
    const int created = desktop.localCreated;
    session->setSummonFallbackShortcut(SummonFallbackShortcut::CommandJ);
    session->setDoubleCommandEnabled(true);
    EXPECT_EQ(desktop.localCreated, created);

    monitor->requestGlobalShortcutPermission();
    EXPECT_EQ(desktop.requests, 2);
    EXPECT_EQ(monitor->arrangement(), A::Local); // the request installs nothing
}

TEST_F(DoubleCommandMonitorTest, ActivationUpgradesAndRestores) {
    auto monitor = bind();
    ASSERT_EQ(monitor->arrangement(), A::Local);
    const int created = desktop.localCreated;
    monitor->handleAppDidBecomeActive(); // still no permission: Local kept as is
    EXPECT_EQ(desktop.localCreated, created);
    EXPECT_EQ(status(), DoubleCommandMonitor::localWithAliasStatus());

    desktop.permission = true;
    monitor->handleAppDidBecomeActive();
    EXPECT_EQ(monitor->arrangement(), A::Global);
    EXPECT_FALSE(desktop.local || desktop.hotKey);
    EXPECT_EQ(status(), DoubleCommandMonitor::globalStatus());
    EXPECT_TRUE(session->globalShortcutPermissionGranted());

    // Losing the permission never tears Global down on activation; Local joins it.
    desktop.permission = false;
    monitor->handleAppDidBecomeActive();
    EXPECT_TRUE(monitor->hasGlobalSource());
    EXPECT_TRUE(monitor->hasLocalSource());
    EXPECT_FALSE(session->globalShortcutPermissionGranted());
    EXPECT_FALSE(monitor->tapState().releasesReliable()); // the local source can miss releases

    // Switched off: activation changes nothing.
    session->setDoubleCommandEnabled(false);
    desktop.permission = true;
    monitor->handleAppDidBecomeActive();
    EXPECT_EQ(monitor->arrangement(), A::Off);
    EXPECT_EQ(status(), DoubleCommandMonitor::disabledStatus());
}

TEST_F(DoubleCommandMonitorTest, StopAndGoneSession) {
    auto monitor = bind();
    monitor->stop();
    EXPECT_EQ(monitor->arrangement(), A::Off);
    EXPECT_FALSE(session->globalShortcutStatusMessage().has_value());
    session->setDoubleCommandEnabled(false);
    session->setDoubleCommandEnabled(true); // no longer followed
    EXPECT_EQ(monitor->arrangement(), A::Off);

    // A released session: nothing is written, and the alias is never reported.
    auto other = bind();
    session.reset();
    other->handleAppDidBecomeActive();
    EXPECT_EQ(other->arrangement(), A::Local);
}

TEST_F(DoubleCommandMonitorTest, LocalSourceReadsQtKeyEvents) {
    LocalSummonKeySource source;
    DoubleCommandTap tap;
    int taps = 0;
    QObject::connect(&source, &SummonKeySource::commandKeyChanged, [&](quint16 key, bool other, double t) {
        if (tap.flagsChanged(key, other, t))
            ++taps;
    });
    QObject::connect(&source, &SummonKeySource::otherKeyDown,
                     [&] { tap.keyDown(DoubleCommandTap::kOtherKey); });
    QWindow window;
    auto send = [&](QEvent::Type type, int key, Qt::KeyboardModifiers mods, ulong ms, bool repeat = false,
                    quint32 keysym = 0xffe3) {
        QKeyEvent event(type, key, mods, 0, keysym, 0, QString(), repeat);
        event.setTimestamp(ms);
        QCoreApplication::sendEvent(&window, &event);
    };
    struct Case {
        const char* name;
        std::function<void()> keys;
        int taps;
    };
    const QList<Case> cases = {
        {"double tap",
         [&] {
             for (ulong t : {1000ul, 1200ul}) {
                 send(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, t);
                 send(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier, t + 50);
             }
         },
         1},
        {"auto-repeat of a held Control is dropped",
         [&] {
             send(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 5000);
             send(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 5030, true);
             send(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 5060, true);
             send(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier, 5100);
             send(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 5200);
             send(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier, 5250);
         },
         1},
        {"Control+C then Control",
         [&] {
             send(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 9000);
             send(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, 9020, false, 'c');
             send(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier, 9050);
             send(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 9100);
             send(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier, 9150);
         },
         0},
        {"Shift held, then right Control twice",
         [&] {
             send(QEvent::KeyPress, Qt::Key_Shift, Qt::ShiftModifier, 13000, false, 0xffe1);
             for (ulong t : {13100ul, 13200ul}) {
                 send(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier | Qt::ShiftModifier, t, false,
                      0xffe4);
                 send(QEvent::KeyRelease, Qt::Key_Control, Qt::ShiftModifier, t + 50, false, 0xffe4);
             }
         },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        taps = 0;
        tap.reset();
        c.keys();
        EXPECT_EQ(taps, c.taps);
    }
}

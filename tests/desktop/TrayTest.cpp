// The program on a real X desktop: started into the tray (a tray host, trayer,
// runs on a private X server), the popover toggled by a click on the icon and
// by the summon, and opened centred when the desktop has no tray. Renders the
// desktop with the popover open in each mode for review.
#include "app/MenuBarController.h"
#include "app/widgets/AppDelegate.h"
#include "app/widgets/MenuBarView.h"
#include "app/widgets/ShellScreens.h"
#include "app/widgets/TrayPopover.h"
#include "platform/DefaultsStore.h"
#include "session/AppSession.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

namespace {

bool onRealDisplay() {
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

void click(const QPoint& point) {
    QProcess::execute("xdotool",
                      {"mousemove", QString::number(point.x()), QString::number(point.y()), "click", "1"});
}

void saveDesktop(const QString& name) {
    spinFor(300);
    const QString dir = QStringLiteral(OMBRIX_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    QGuiApplication::primaryScreen()->grabWindow(0).save(dir + "/" + name + ".png");
}

} // namespace

TEST(Tray, TheProgramStartsIntoTheTrayAndTheIconTogglesThePopover) {
    if (!onRealDisplay())
        GTEST_SKIP() << "needs an X server (run by the test script under Xvfb)";
    if (QStandardPaths::findExecutable("trayer").isEmpty() ||
        QStandardPaths::findExecutable("xdotool").isEmpty())
        GTEST_SKIP() << "needs trayer and xdotool";
    installMemoryDefaults();
    AppSession::resetSharedForTesting();

    // No tray host yet: the program starts, and the summon opens the popover centred.
    {
        ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
        AppDelegate delegate(defaultShellScreens());
        delegate.launch();
        EXPECT_FALSE(delegate.popover()->hasTray());
        const QWidgetList windows = QApplication::topLevelWidgets(); // one list, walked from its own ends
        EXPECT_TRUE(std::none_of(windows.begin(), windows.end(), [](QWidget* w) { return w->isVisible(); }));
        MenuBarController::shared().handleDoubleCommand();
        ASSERT_TRUE(spinUntil([&] { return delegate.popover()->isVisible(); }));
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_LE(std::abs(delegate.popover()->geometry().center().x() - screen.center().x()), 2);
        MenuBarController::shared().handleDoubleCommand();
        EXPECT_TRUE(spinUntil([&] { return !delegate.popover()->isVisible(); }));
    }

    QProcess trayer;
    trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                            "--SetDockType", "true", "--transparent", "false", "--tint", "0x303030"});
    ASSERT_TRUE(trayer.waitForStarted());
    ASSERT_TRUE(spinUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000));

    AppSession& session = AppSession::shared();
    session.setMode(Mode::Chat);
    session.setSummonBehavior(SummonBehavior::Voice);
    {
        AppDelegate delegate(defaultShellScreens());
        delegate.launch();
        TrayPopover* popover = delegate.popover();
        ASSERT_TRUE(popover->hasTray());
        ASSERT_TRUE(spinUntil([&] { return popover->trayIcon()->geometry().isValid(); }, 10000));
        spinFor(300);
        EXPECT_FALSE(popover->isVisible()); // into the tray, no window

        const QPoint icon = popover->trayIcon()->geometry().center();
        click(icon);
        ASSERT_TRUE(spinUntil([&] { return popover->isVisible(); }));
        EXPECT_EQ(session.mode(), Mode::Chat); // a click keeps the screen
        EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(popover->geometry()));
        saveDesktop("tray-popover-chat");
        click(icon);
        EXPECT_TRUE(spinUntil([&] { return !popover->isVisible(); }));

        // The summon applies the summon setting before showing.
        session.setVoiceMode(VoiceMode::PushToTalk);
        MenuBarController::shared().handleDoubleCommand();
        ASSERT_TRUE(spinUntil([&] { return popover->isVisible(); }));
        EXPECT_EQ(session.mode(), Mode::Microphone);
        saveDesktop("tray-popover-push-to-talk");
        MenuBarController::shared().handleDoubleCommand();
        EXPECT_TRUE(spinUntil([&] { return !popover->isVisible(); }));

        session.setVoiceMode(VoiceMode::Realtime);
        MenuBarController::shared().handleDoubleCommand();
        ASSERT_TRUE(spinUntil([&] { return popover->isVisible(); }));
        saveDesktop("tray-popover-realtime");
        MenuBarController::shared().handleDoubleCommand();
    }
    trayer.terminate();
    trayer.waitForFinished(3000);
    AppSession::resetSharedForTesting();
}

// The program on a real X desktop: started into the tray (a tray host, trayer,
// runs on a private X server), the popover toggled by a click on the icon and
// by the summon, and opened centred when the desktop has no tray. Renders the
// desktop with the popover open in each mode for review. Keys typed through
// XTEST reach the summon and the popover as a keyboard's would.
#include "app/DoubleCommandMonitor.h"
#include "app/MenuBarController.h"
#include "app/widgets/AppDelegate.h"
#include "app/widgets/ChatInput.h"
#include "app/widgets/ChatView.h"
#include "app/widgets/MenuBarView.h"
#include "app/widgets/ShellScreens.h"
#include "app/widgets/TrayPopover.h"
#include "platform/DefaultsStore.h"
#include "session/AppSession.h"
#include "support/TestSupport.h"
#include "support/XTestKeyboard.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QSystemTrayIcon>

#include <xcb/xcb.h>

#include <gtest/gtest.h>

namespace {

bool onRealDisplay() {
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

// The tray icon's own X window: a small window of the program that the tray host
// takes into its panel (the program may make it anew while it is taken in).
WId trayIconWindow() {
    const QWidgetList topLevels = QApplication::topLevelWidgets();
    for (QWidget* widget : topLevels)
        if (qstrcmp(widget->metaObject()->className(), "QSystemTrayIconSys") == 0)
            return widget->internalWinId();
    return 0;
}

// Whether the tray host has taken the window in and shows it, as the X server says
// (asked on a connection of its own: a window already gone is no error of the
// program's). Until then the icon's geometry is where it was made, the screen's
// corner, and a click there meets nothing; how long the host takes depends on the
// machine's load.
bool shownInTheTray(WId window) {
    if (!window)
        return false;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const auto xid = xcb_window_t(window);
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(connection, xcb_query_tree(connection, xid), nullptr);
    xcb_get_window_attributes_reply_t* attributes =
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, xid), nullptr);
    const bool shown =
        tree && attributes && tree->parent != tree->root && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    free(tree);
    free(attributes);
    xcb_disconnect(connection);
    return shown;
}

// A click in the middle of the window, wherever the X server has it at that moment.
void clickWindow(WId window) {
    QProcess::execute("xdotool",
                      {"mousemove", "--window", QString::number(window), "11", "11", "click", "1"});
}

// A show or a hide is done once the X server has carried it out: the shown popover
// has the focus, the hidden one has let it go. The toolkit takes the focus from the
// program a while after it left its windows, and then closes its popups: a popover
// opened before that, within milliseconds of its close as no hand does it, was closed
// under it on a busy machine.
bool openedWithFocus(QWidget* popover) {
    return spinUntil([&] { return popover->isVisible() && popover->isActiveWindow(); });
}
bool closedAndLetGo(QWidget* popover) {
    return spinUntil([&] {
        return !popover->isVisible() && QGuiApplication::applicationState() != Qt::ApplicationActive;
    });
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
        const QWidgetList topLevels = QApplication::topLevelWidgets(); // one list for both ends
        EXPECT_TRUE(
            std::none_of(topLevels.begin(), topLevels.end(), [](QWidget* w) { return w->isVisible(); }));
        MenuBarController::shared().handleDoubleCommand();
        ASSERT_TRUE(openedWithFocus(delegate.popover()));
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_LE(std::abs(delegate.popover()->geometry().center().x() - screen.center().x()), 2);
        MenuBarController::shared().handleDoubleCommand();
        EXPECT_TRUE(closedAndLetGo(delegate.popover()));
    }

    QProcess trayer;
    trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                            "--SetDockType", "true", "--transparent", "false", "--tint", "0x303030"});
    ASSERT_TRUE(trayer.waitForStarted());
    ASSERT_TRUE(spinUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }));

    AppSession& session = AppSession::shared();
    session.setMode(Mode::Chat);
    session.setSummonBehavior(SummonBehavior::Voice);
    {
        AppDelegate delegate(defaultShellScreens());
        delegate.launch();
        TrayPopover* popover = delegate.popover();
        ASSERT_TRUE(popover->hasTray());
        // In the panel, and the program has heard where (the panel is at the
        // screen's top right).
        ASSERT_TRUE(spinUntil(
            [&] { return shownInTheTray(trayIconWindow()) && popover->trayIcon()->geometry().x() > 0; }));
        spinFor(300);
        EXPECT_FALSE(popover->isVisible()); // into the tray, no window

        const WId icon = trayIconWindow();
        ASSERT_TRUE(shownInTheTray(icon));
        clickWindow(icon);
        ASSERT_TRUE(openedWithFocus(popover));
        EXPECT_EQ(session.mode(), Mode::Chat); // a click keeps the screen
        EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(popover->geometry()));
        saveDesktop("tray-popover-chat");
        clickWindow(icon); // the click closes it without taking the focus from the program
        EXPECT_TRUE(spinUntil([&] { return !popover->isVisible(); }));

        // The summon applies the summon setting before showing.
        session.setVoiceMode(VoiceMode::PushToTalk);
        MenuBarController::shared().handleDoubleCommand();
        ASSERT_TRUE(openedWithFocus(popover));
        EXPECT_EQ(session.mode(), Mode::Microphone);
        saveDesktop("tray-popover-push-to-talk");
        MenuBarController::shared().handleDoubleCommand();
        EXPECT_TRUE(closedAndLetGo(popover));

        session.setVoiceMode(VoiceMode::Realtime);
        MenuBarController::shared().handleDoubleCommand();
        ASSERT_TRUE(openedWithFocus(popover));
        saveDesktop("tray-popover-realtime");
        MenuBarController::shared().handleDoubleCommand();
    }
    trayer.terminate();
    trayer.waitForFinished(3000);
    AppSession::resetSharedForTesting();
}

TEST(Tray, TheDoubleControlTapTogglesThePopoverWhateverHoldsTheKeyboard) {
    if (!onRealDisplay())
        GTEST_SKIP() << "needs an X server (run by the test script under Xvfb)";
    XTestKeyboard keyboard;
    ASSERT_TRUE(keyboard.isOpen()) << "the X server has no XTEST extension";
    qunsetenv("WAYLAND_DISPLAY");
    qunsetenv("XDG_SESSION_TYPE");
    installMemoryDefaults();
    AppSession::resetSharedForTesting();
    AppSession& session = AppSession::shared();
    session.setDoubleCommandEnabled(true);
    session.setSummonBehavior(SummonBehavior::Chat);

    AppDelegate delegate(defaultShellScreens());
    delegate.launch();
    TrayPopover* popover = delegate.popover();
    DoubleCommandMonitor& monitor = DoubleCommandMonitor::shared();
    ASSERT_EQ(monitor.arrangement(), DoubleCommandMonitor::Arrangement::Global);
    ASSERT_TRUE(monitor.globalSourceForTesting()->reportsEveryKeyEvent()) << "the X server lacks XInput 2.1";
    EXPECT_EQ(session.globalShortcutStatusMessage(), DoubleCommandMonitor::globalStatus());

    using K = XTestKeyboard::Key;
    const std::vector<K> doubleTap = {{keysym::ControlL, true},
                                      {keysym::ControlL, false},
                                      {keysym::ControlL, true},
                                      {keysym::ControlL, false}};
    // Everything typed before has been read once a marker key has reached the summon.
    const auto settle = [&] {
        int markers = 0;
        const auto connection = QObject::connect(monitor.globalSourceForTesting(),
                                                 &SummonKeySource::otherKeyDown, [&] { ++markers; });
        keyboard.tap(keysym::X);
        const bool seen = spinUntil([&] { return markers > 0; });
        QObject::disconnect(connection);
        return seen;
    };

    // What the summon heard of the Control keys, said when a gesture is not seen.
    QStringList heard;
    QObject::connect(monitor.globalSourceForTesting(), &SummonKeySource::commandKeyChanged,
                     [&](quint16 keyCode, bool hasOtherModifiers, double timestamp) {
                         heard << QStringLiteral("%1%2@%3")
                                      .arg(keyCode)
                                      .arg(hasOtherModifiers ? "+" : "")
                                      .arg(timestamp, 0, 'f', 3);
                     });
    const auto said = [&] {
        return QStringLiteral("heard %1; popover %2, %3; program %4")
            .arg(heard.join(' '), popover->isVisible() ? "shown" : "hidden",
                 popover->isActiveWindow() ? "active" : "inactive",
                 QGuiApplication::applicationState() == Qt::ApplicationActive ? "active" : "inactive")
            .toStdString();
    };

    // The gesture that opens also closes: the open popover holds a keyboard grab.
    keyboard.send(doubleTap);
    ASSERT_TRUE(openedWithFocus(popover)) << said();
    EXPECT_EQ(session.mode(), Mode::Chat);
    keyboard.send(doubleTap);
    ASSERT_TRUE(closedAndLetGo(popover)) << said();

    // Control+N with the focus in the chat's field starts a new discussion.
    session.setMessages({ChatMessage(ChatMessage::Role::User, QStringLiteral("Bonjour")),
                         ChatMessage(ChatMessage::Role::Assistant, QStringLiteral("Salut"))});
    session.setDiscussionId(42);
    keyboard.send(doubleTap);
    ASSERT_TRUE(openedWithFocus(popover)) << said();
    auto* chat = qobject_cast<ChatView*>(popover->view()->content());
    ASSERT_NE(chat, nullptr);
    ASSERT_TRUE(spinUntil([&] { return chat->input()->hasFocus(); }));
    keyboard.send(
        {{keysym::ControlL, true}, {keysym::N, true}, {keysym::N, false}, {keysym::ControlL, false}});
    EXPECT_TRUE(spinUntil([&] { return session.messages().isEmpty() && !session.discussionId(); }));
    EXPECT_TRUE(popover->isVisible()); // a chord is no tap
    keyboard.send(doubleTap);
    ASSERT_TRUE(closedAndLetGo(popover)) << said();

    // Another program holds the keyboard (its keys go to it alone): the gesture is still heard.
    {
        KeyboardGrab grab;
        ASSERT_TRUE(grab.isGranted());
        ASSERT_TRUE(grab.isHeld());
        const int before = grab.keyPressesReceived();
        keyboard.send(doubleTap);
        ASSERT_TRUE(openedWithFocus(popover)) << said();
        EXPECT_TRUE(grab.isHeld());
        EXPECT_EQ(grab.keyPressesReceived(), before + 2);
        keyboard.send(doubleTap);
        ASSERT_TRUE(closedAndLetGo(popover)) << said();
        grab.release();
    }

    // Control held for a second, then Control+C and Control+V 0.3 s later: no summon.
    keyboard.send({{keysym::ControlL, true},
                   {keysym::ControlL, false, 1000},
                   {keysym::ControlL, true},
                   {keysym::C, true},
                   {keysym::C, false},
                   {keysym::ControlL, false},
                   {keysym::ControlL, true, 300},
                   {keysym::V, true},
                   {keysym::V, false},
                   {keysym::ControlL, false}});
    ASSERT_TRUE(settle());
    spinFor(100);
    EXPECT_FALSE(popover->isVisible());
    AppSession::resetSharedForTesting();
}

#pragma once

#include "app/widgets/ShellScreens.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class SettingsWindow;
class TrayPopover;

// Puts the program together once it starts: the session, the tray icon and its
// popover, the Settings window's commands, links from other programs, and the
// quit confirmation.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(ShellScreens screens, QObject* parent = nullptr);
    ~AppDelegate() override;

    // The launch sequence: session, tray and popover, summon, commands.
    void launch();
    // Run at the end of every launch(): for programs that drive the real start-up
    // (the quit tests). Nothing by default.
    static void setLaunchHook(std::function<void(AppDelegate&)> hook);
    // A link from another program, handled on a later turn of the event loop.
    // Unknown or malformed links are ignored.
    void handleLink(const QString& link);
    // The same, handled now (the single instance's hand-over, itself on a later turn).
    void routeLink(const QString& link);

    // Quits after the confirmation (unless the user turned it off).
    void requestQuit();
    // Whether a quit may go ahead: asks "Quitter Ombrix ?" unless suppressed.
    bool confirmQuit();
    // Quits at once (SIGTERM, SIGINT).
    void quitWithoutAsking();
    // Catches SIGTERM and SIGINT so that they quit cleanly: taken on this thread
    // when the program blocks them in every thread (QuitSignal), else by a handler
    // that marks the quit at once; the event loop then quits.
    void installSignalHandlers();
    // The shell's end, once (at the first quit, and by the program's end): emits
    // quitting(), stops the summon monitor and the bridge, drops the sample speaker
    // and the popover's controller.
    void end();

    // The dialog's answer: {quit, "Ne plus demander" ticked}. Tests replace it.
    std::function<std::pair<bool, bool>()> askQuit;

    TrayPopover* popover() const { return popover_.get(); }
    SettingsWindow* settingsWindow();

signals:
    // The program has begun to quit (before anything is torn down).
    void quitting();

private:
    ShellScreens screens_;
    std::unique_ptr<TrayPopover> popover_;
    std::unique_ptr<SettingsWindow> settings_;
    bool ended_ = false;
};

#pragma once

#include "app/MenuBarController.h"
#include "app/widgets/ShellScreens.h"

#include <QWidget>

#include <functional>

class MenuBarView;
class QSystemTrayIcon;

// The tray icon and the popover: a frameless popup of 380 by 520 that closes
// when the user clicks elsewhere. Without a tray on the desktop there is no
// icon; the summon and links still open the popover, centred on the screen.
// The popover's content (MenuBarView and the screens under it) is built when it
// is first presented, not at launch: an idle tray program holds only its icon.
class TrayPopover : public QWidget, public PopoverSurface {
    Q_OBJECT
public:
    explicit TrayPopover(ShellScreens screens, QWidget* parent = nullptr);
    ~TrayPopover() override;

    bool hasTray() const { return tray_ != nullptr; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    // The content, built now if it was not yet.
    MenuBarView* view();
    bool hasView() const { return view_ != nullptr; }
    // What the content's quit button does (kept until the content is built).
    void setQuitHandler(std::function<void()> handler);

    bool isShown() const override { return isVisible(); }
    void present() override;
    void dismiss() override { hide(); }

    // The tray icon: the theme's "OmbrixStatusIcon", else our own, else "waveform".
    static QIcon statusIcon();
    // Our own: the program's "OmbrixStatusIcon", else "waveform".
    static QIcon ownStatusIcon();

private:
    ShellScreens screens_;
    std::function<void()> onQuit_;
    QSystemTrayIcon* tray_ = nullptr;
    MenuBarView* view_ = nullptr;
};

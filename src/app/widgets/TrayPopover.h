#pragma once

#include "app/MenuBarController.h"
#include "app/widgets/ShellScreens.h"

#include <QWidget>

class MenuBarView;
class QSystemTrayIcon;

// The tray icon and the popover: a frameless popup of 380 by 520 that closes
// when the user clicks elsewhere. Without a tray on the desktop there is no
// icon; the summon and links still open the popover, centred on the screen.
class TrayPopover : public QWidget, public PopoverSurface {
    Q_OBJECT
public:
    explicit TrayPopover(ShellScreens screens, QWidget* parent = nullptr);
    ~TrayPopover() override;

    bool hasTray() const { return tray_ != nullptr; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    MenuBarView* view() const { return view_; }

    bool isShown() const override { return isVisible(); }
    void present() override;
    void dismiss() override { hide(); }

    // The tray icon: the theme's "OmbrixStatusIcon", else our own, else "waveform".
    static QIcon statusIcon();

private:
    QSystemTrayIcon* tray_ = nullptr;
    MenuBarView* view_ = nullptr;
};

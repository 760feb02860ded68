#pragma once

#include "session/AppSession.h"

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>

#include <optional>

// Where the popover opens: under the tray icon (above it when the icon sits at
// the screen's bottom), else near the pointer, else at the screen's top right;
// centred when there is no tray. Always inside the screen's available area.
QRect popoverGeometry(const QSize& size, const QRect& screen, const std::optional<QRect>& icon,
                      const std::optional<QPoint>& pointer, bool hasTray);

// The popover as the controller sees it; the widgets implement it.
class PopoverSurface {
public:
    virtual ~PopoverSurface() = default;
    virtual bool isShown() const = 0;
    // Shows the popover and brings it to the front.
    virtual void present() = 0;
    virtual void dismiss() = 0;
};

// The program's presence in the tray: opens and closes the popover on a click
// of the icon, and on a summon after letting the session choose the screen.
class MenuBarController : public QObject {
    Q_OBJECT
public:
    static constexpr QSize kPopoverSize{380, 520};

    static MenuBarController& shared();

    // Called once the session and the popover exist; safe to call again.
    void configure(AppSession* session, PopoverSurface* popover);
    // The summon: closes an open popover; otherwise lets the session pick the
    // screen, then shows the popover.
    void handleDoubleCommand();
    // A click on the tray icon: the same without choosing the screen.
    void togglePopover();
    void closePopover();
    bool isPopoverShown() const;

private:
    QPointer<AppSession> session_; // never kept alive by the controller
    PopoverSurface* popover_ = nullptr;
};

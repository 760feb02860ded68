#include "app/MenuBarController.h"

#include <algorithm>

QRect popoverGeometry(const QSize& size, const QRect& screen, const std::optional<QRect>& icon,
                      const std::optional<QPoint>& pointer, bool hasTray) {
    constexpr int gap = 4;
    QPoint topLeft;
    if (!hasTray) {
        topLeft = screen.center() - QPoint(size.width() / 2, size.height() / 2);
    } else if (icon && icon->isValid() && !icon->isEmpty()) {
        const bool iconAtBottom = icon->center().y() > screen.center().y();
        const int y = iconAtBottom ? icon->top() - gap - size.height() : icon->bottom() + 1 + gap;
        topLeft = QPoint(icon->center().x() - size.width() / 2, y);
    } else if (pointer) {
        topLeft = QPoint(pointer->x() - size.width() / 2, pointer->y() + gap);
    } else {
        topLeft = QPoint(screen.right() + 1 - size.width() - gap, screen.top() + gap);
    }
    // Inside the screen, whatever the icon's or the pointer's position.
    const int x =
        std::clamp(topLeft.x(), screen.left(), std::max(screen.left(), screen.right() + 1 - size.width()));
    const int y =
        std::clamp(topLeft.y(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - size.height()));
    return QRect(QPoint(x, y), size);
}

MenuBarController& MenuBarController::shared() {
    static MenuBarController controller;
    return controller;
}

void MenuBarController::configure(AppSession* session, PopoverSurface* popover) {
    session_ = session;
    popover_ = popover;
}

bool MenuBarController::isPopoverShown() const {
    return popover_ && popover_->isShown();
}

void MenuBarController::closePopover() {
    if (popover_ && popover_->isShown())
        popover_->dismiss();
}

void MenuBarController::handleDoubleCommand() {
    if (isPopoverShown()) {
        popover_->dismiss();
        return;
    }
    if (session_)
        session_->prepareForSummon();
    if (popover_)
        popover_->present();
}

void MenuBarController::togglePopover() {
    if (isPopoverShown()) {
        popover_->dismiss();
        return;
    }
    if (popover_)
        popover_->present();
}

#include "app/widgets/TrayPopover.h"

#include "app/widgets/MenuBarView.h"
#include "platform/Log.h"
#include "platform/widgets/SymbolIcon.h"

#include <QApplication>
#include <QCursor>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

TrayPopover::TrayPopover(ShellScreens screens, QWidget* parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint)
    , screens_(std::move(screens)) {
    setFixedSize(MenuBarController::kPopoverSize);
    setWindowTitle(QStringLiteral("Ombrix"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        // Our own icon at once; the icon theme is searched (files on disk) once the
        // program runs, and its icon, when it has one, takes the place of ours.
        tray_ = new QSystemTrayIcon(ownStatusIcon(), this);
        tray_->setToolTip(QStringLiteral("Ombrix"));
        connect(tray_, &QSystemTrayIcon::activated, this, [](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                MenuBarController::shared().togglePopover();
        });
        tray_->show();
        QTimer::singleShot(0, this, [this] {
            const QIcon themed = QIcon::fromTheme(QStringLiteral("OmbrixStatusIcon"));
            if (!themed.isNull())
                tray_->setIcon(themed);
        });
    } else {
        qCInfo(lcApp) << "no system tray on this desktop: the summon and links open the popover";
    }
}

TrayPopover::~TrayPopover() = default;

MenuBarView* TrayPopover::view() {
    if (!view_) {
        view_ = new MenuBarView(screens_);
        view_->onQuit = onQuit_;
        layout()->addWidget(view_);
    }
    return view_;
}

void TrayPopover::setQuitHandler(std::function<void()> handler) {
    onQuit_ = std::move(handler);
    if (view_)
        view_->onQuit = onQuit_;
}

QIcon TrayPopover::statusIcon() {
    const QIcon icon = QIcon::fromTheme(QStringLiteral("OmbrixStatusIcon"));
    return icon.isNull() ? ownStatusIcon() : icon;
}

QIcon TrayPopover::ownStatusIcon() {
    QIcon icon(QStringLiteral(":/icons/OmbrixStatusIcon.svg"));
    if (icon.isNull())
        icon = symbolIcon(QStringLiteral("waveform"));
    return icon;
}

void TrayPopover::present() {
    view();
    const QPoint pointer = QCursor::pos();
    std::optional<QRect> iconRect;
    if (tray_ && tray_->geometry().isValid() && !tray_->geometry().isEmpty())
        iconRect = tray_->geometry();
    QScreen* screen =
        iconRect ? QGuiApplication::screenAt(iconRect->center()) : QGuiApplication::screenAt(pointer);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
    const std::optional<QPoint> pointerInside =
        area.contains(pointer) ? std::optional<QPoint>(pointer) : std::nullopt;
    setGeometry(popoverGeometry(size(), area, iconRect, pointerInside, tray_ != nullptr));
    show();
    raise();
    activateWindow();
}

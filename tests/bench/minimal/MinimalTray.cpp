// The smallest Qt tray program: an application object, a tray icon with a
// one-entry menu, and the event loop. bench_footprint measures ombrix against it.
#include <QApplication>
#include <QColor>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap pixmap(22, 22);
    pixmap.fill(QColor(0x33, 0x66, 0x99));
    QSystemTrayIcon tray{QIcon(pixmap)};
    QMenu menu;
    QObject::connect(menu.addAction(QStringLiteral("Quitter")), &QAction::triggered, &app,
                     &QApplication::quit);
    tray.setContextMenu(&menu);
    tray.setToolTip(QStringLiteral("Minimal"));
    tray.show();
    return app.exec();
}

#include "content/widgets/MediaDialogs.h"
#include "platform/DefaultsStore.h"
#include "platform/Log.h"
#include "platform/Resources.h"
#include "platform/widgets/PasswordDialog.h"
#include "session/AppSession.h"

#include <QApplication>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ombrix"));
    QApplication::setOrganizationName(QStringLiteral("Ombrix"));
    QApplication::setQuitOnLastWindowClosed(false);
    initOmbrixResources();
    DefaultsStore::shared();
    installPresenceDialog();
    installMediaDialogs();
    // The session reads the stored token and settings; with a token, the bridge
    // starts serving the backend.
    AppSession::shared();
    qCInfo(lcApp) << "Ombrix démarré";
    return app.exec();
}

#include "app/Composition.h"
#include "app/SingleInstance.h"
#include "app/widgets/AppDelegate.h"
#include "bridge/PhotosBridgeHandler.h"
#include "content/widgets/MediaDialogs.h"
#include "platform/DefaultsStore.h"
#include "platform/Log.h"
#include "platform/Resources.h"
#include "platform/widgets/PasswordDialog.h"
#include "session/KeychainStore.h"
#include "voice/AudioRecorder.h"

#include <QApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    // A link given on the command line (the desktop hands "ombrix:" links this way).
    QString link;
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (argument.startsWith(QLatin1String("ombrix:"), Qt::CaseInsensitive)) {
            link = argument;
            break;
        }
    }
    // One running program per user and display: a second launch hands its link over
    // and ends, before it starts any of the GUI.
    SingleInstance instance;
    if (!instance.claim(link))
        return 0;

    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ombrix"));
    QApplication::setOrganizationName(QStringLiteral("Ombrix"));
    QApplication::setDesktopFileName(QStringLiteral("ombrix"));
    QApplication::setQuitOnLastWindowClosed(false);
    instance.listen();
    // Recordings an earlier run left behind (a crash in the middle of a turn).
    AudioRecorder::removeLeftovers();

    // Owned here, so that it ends before the statics it uses (the secret store, the
    // settings) are destroyed.
    KeychainWorker keychain;
    initOmbrixResources();
    Composition::install();
    DefaultsStore::shared();
    installPresenceDialog();
    installMediaDialogs();
    PhotosBridgeHandler::setConsentAsker(askPhotoConsent);

    AppDelegate delegate(defaultShellScreens());
    delegate.installSignalHandlers();
    delegate.launch();
    QObject::connect(&instance, &SingleInstance::linkReceived, &delegate, &AppDelegate::handleLink);
    // A program that is quitting takes no more links: their launches take over.
    QObject::connect(&delegate, &AppDelegate::quitting, &instance, &SingleInstance::refuse);
    instance.markReady();
    if (!link.isEmpty())
        delegate.handleLink(link);
    qCInfo(lcApp) << "Ombrix démarré";
    const int status = app.exec();
    // The keychain writes asked before quitting are carried out (for at most
    // KeychainWorker::kQuitBudget). If the keyring still holds the worker's thread,
    // the program ends here: the destructors that follow could pull the store from
    // under that call.
    if (!keychain.finish()) {
        DefaultsStore::shared().flush();
        std::fflush(nullptr);
        ::_exit(status);
    }
    return status;
}

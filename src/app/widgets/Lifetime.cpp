#include "app/widgets/Lifetime.h"

#include "app/Composition.h"
#include "app/SingleInstance.h"
#include "app/widgets/AppDelegate.h"
#include "bridge/PhotosBridgeHandler.h"
#include "bridge/ScreenControlBridgeHandler.h"
#include "content/Decoding.h"
#include "content/widgets/MediaDialogs.h"
#include "localllm/CommandRunner.h"
#include "platform/DefaultsStore.h"
#include "platform/Log.h"
#include "platform/QuitSignal.h"
#include "platform/Resources.h"
#include "platform/SecretStore.h"
#include "platform/ShareWork.h"
#include "platform/WorkPools.h"
#include "platform/widgets/PasswordDialog.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"
#include "session/OmbrixHTTP.h"
#include "voice/AudioDevices.h"
#include "voice/AudioRecorder.h"

#include <QApplication>
#include <QThreadPool>

#include <cstdio>
#include <cstdlib>

Lifetime::Lifetime(int& argc, char** argv)
    : argc_(argc)
    , argv_(argv) {}

Lifetime::~Lifetime() = default;

bool Lifetime::start() {
    // A link given on the command line (the desktop hands "ombrix:" links this way).
    for (int i = 1; i < argc_; ++i) {
        const QString argument = QString::fromLocal8Bit(argv_[i]);
        if (argument.startsWith(QLatin1String("ombrix:"), Qt::CaseInsensitive)) {
            link_ = argument;
            break;
        }
    }
    // 1. One running program per user and display: a second launch hands its link
    // over and ends, before it starts any of the GUI.
    instance_ = std::make_unique<SingleInstance>();
    if (!instance_->claim(link_))
        return false;
    // The quit signals wait for the GUI thread, which takes them once its handler
    // is installed (3.): blocked here, before any thread starts, so in every thread.
    // (A launch that only hands its link over keeps them: Control+C ends it.)
    QuitSignal::blockInEveryThread();
    LibsecretStore::prepareBeforeThreads();

    // 2. The application object.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QApplication>(argc_, argv_);
    QApplication::setApplicationName(QStringLiteral("Ombrix"));
    QApplication::setOrganizationName(QStringLiteral("Ombrix"));
    QApplication::setDesktopFileName(QStringLiteral("ombrix"));
    QApplication::setQuitOnLastWindowClosed(false);
    // 3. SIGTERM and SIGINT quit cleanly from now on (before anyone can find us).
    delegate_ = std::make_unique<AppDelegate>(defaultShellScreens());
    delegate_->installSignalHandlers();
    // 4. The single instance listens (links wait until the launch sequence ends).
    instance_->listen();
    // 5. Recordings an earlier run left behind (a crash in the middle of a turn).
    AudioRecorder::removeLeftovers();

    // 6. Resources and the composition of the layers.
    initOmbrixResources();
    Composition::install();
    // 7. The settings store, with its writer thread.
    DefaultsStore::shared();
    // 8. The keychain worker: its writes may touch the settings, so it ends before them.
    keychain_ = std::make_unique<KeychainWorker>();
    // 9. What the lower layers ask the user through.
    installPresenceDialog();
    installMediaDialogs();
    PhotosBridgeHandler::setConsentAsker(askPhotoConsent);

    // 10. The shell: the session (and with its token the bridge), the tray and the
    // popover, the summon, the Settings window's commands.
    delegate_->launch();
    // A link is handled before its launch is answered (a direct connection).
    QObject::connect(instance_.get(), &SingleInstance::linkReceived, delegate_.get(), &AppDelegate::routeLink,
                     Qt::DirectConnection);
    // A program that is quitting takes no more links: their launches take over.
    QObject::connect(delegate_.get(), &AppDelegate::quitting, instance_.get(), &SingleInstance::refuse);
    instance_->markReady();
    if (!link_.isEmpty())
        delegate_->handleLink(link_);
    qCInfo(lcApp) << "Ombrix démarré";
    return true;
}

void Lifetime::run() {
    end(QApplication::exec());
}

void Lifetime::endServices(KeychainWorker* keychain, const std::function<void()>& closeWindows) {
    // Commands still running (a model download, an installation), with everything
    // they started; the bridge's shortcut runs likewise.
    ProcessCommandRunner::endAllAtProgramEnd();
    ScreenControlBridgeHandler::stopShortcutRuns();
    // The session: an answer still streaming is marked cut, the conversation saved
    // (into the settings, written last).
    AppSession::endOfProgram();
    // The windows.
    if (closeWindows)
        closeWindows();
    // Sound: every stream still open is stopped and its device released.
    if (const int closed = AudioDevices::closeAll(); closed > 0)
        qCInfo(lcVoice) << "sound streams closed at the end:" << closed;
    // Threads and processes that may never come back are told to stop and are not
    // waited for: the decoder workers are killed (whoever waits for one sees its
    // end at once), the share lanes take no more work (a thread blocked on a hung
    // mount keeps what it uses: nothing of the lanes is ever destroyed).
    Decoding::endWorkers();
    ShareWork::endAll();
    // The work pools (speech, encoding, the bridge loop): asked to stop, waited for
    // within WorkPools::kQuitWaitMs; a dropped recording is deleted by then. Qt's
    // pool holds no share work (that runs on the lanes): its work is waited for as
    // long, and what is left after that is left.
    WorkPools::endAll();
    if (!QThreadPool::globalInstance()->waitForDone(WorkPools::kQuitWaitMs))
        qCWarning(lcApp) << "work still running at quit in Qt's thread pool";
    // The HTTP sessions, with their network threads.
    HttpSession::endAll();
    // The keychain writes asked before the end, in order, within
    // KeychainWorker::kQuitBudget (a call stuck in the keyring is cancelled, its
    // thread left behind); and the one made on first use, when none was installed.
    if (keychain)
        keychain->finish();
    KeychainWorker::endMadeOnFirstUse();
    // The settings: the file no longer followed, every change on disk.
    DefaultsStore::shared().endOfProgram();
}

void Lifetime::end(int status) {
    // The shell: links refused from now on (their launches take over once this
    // process has ended), the summon monitor and the bridge stopped, the sample
    // speaker gone. (Done already when the quit came through the shell.)
    instance_->refuse();
    delegate_->end();
    // Then the services; the windows go once the conversation is saved: the popover
    // with its voice screens (a recording stopped and deleted, the voice cut) and
    // the Settings window.
    endServices(keychain_.get(), [this] { delegate_.reset(); });
    // What must be kept is on disk. The single instance's lock goes last: a thread
    // blocked in a hung mount keeps the process from being reaped (the kernel waits
    // for the mount's answer), and a new launch must not wait for that.
    instance_.reset();
    // The process ends here: the static objects are not destroyed, since threads of
    // ours may still use them.
    qCInfo(lcApp) << "Ombrix arrêté";
    std::fflush(nullptr);
    std::_Exit(status);
}

#include "app/widgets/AppDelegate.h"

#include "app/AppCommands.h"
#include "app/DeepLinks.h"
#include "app/DoubleCommandMonitor.h"
#include "app/MenuBarController.h"
#include "app/widgets/SettingsWindow.h"
#include "app/widgets/TrayPopover.h"
#include "bridge/BridgeService.h"
#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/QuitSignal.h"
#include "session/AppSession.h"
#include "settings/VoiceSamplePlayer.h"
#include "voice/AudioPlayer.h"

#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::pair<bool, bool> askWithDialog() {
    QMessageBox box;
    box.setIcon(QMessageBox::Information);
    box.setText(loc("Quitter Ombrix ?"));
    box.setInformativeText(
        loc("Le bridge local et le LLM local ne traiteront plus aucune requête tant que Ombrix est fermé."));
    QPushButton* quit = box.addButton(loc("Quitter"), QMessageBox::AcceptRole);
    box.addButton(loc("Annuler"), QMessageBox::RejectRole);
    box.setDefaultButton(quit);
    auto* dontAsk = new QCheckBox(loc("Ne plus demander"));
    box.setCheckBox(dontAsk);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    // Raised and activated once shown (exec() shows it): before, there is no window
    // to raise, and a window manager that refuses focus stealing would leave the
    // keyboard with the program in front.
    QTimer::singleShot(0, &box, [&box] {
        box.raise();
        box.activateWindow();
    });
    box.exec();
    return {box.clickedButton() == quit, dontAsk->isChecked()};
}

// The Settings window's voice samples play through the program's audio player.
class SpeakerVoiceSamplePlayer : public VoiceSamplePlayer {
public:
    bool play(const QByteArray& audio) override {
        [](AudioPlayer& player, QByteArray bytes) -> QCoro::Task<> {
            const bool started = co_await player.play(std::move(bytes));
            Q_UNUSED(started);
        }(player_, audio);
        return true;
    }
    void stop() override { player_.stop(); }

private:
    AudioPlayer player_;
};

std::function<void(AppDelegate&)>& launchHook() {
    static std::function<void(AppDelegate&)> hook;
    return hook;
}

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const int savedErrno = errno;
    // Seen at once by what must not promise anything to a program about to end.
    QuitSignal::raise();
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

AppDelegate::AppDelegate(ShellScreens screens, QObject* parent)
    : QObject(parent)
    , askQuit(askWithDialog)
    , screens_(std::move(screens)) {}

AppDelegate::~AppDelegate() {
    end();
    AppCommands::setHooks({});
}

void AppDelegate::launch() {
    // 1. The session: reads the token and the settings, starts the bridge when signed in.
    AppSession& session = AppSession::shared();
    // 2. The tray icon and the popover (its content comes on its first opening).
    popover_ = std::make_unique<TrayPopover>(screens_);
    popover_->setQuitHandler([this] { requestQuit(); });
    MenuBarController::shared().configure(&session, popover_.get());
    // 3. The summon: a double tap of Control (or the alias) toggles the popover.
    DoubleCommandMonitor::shared().bind(&session, [] { MenuBarController::shared().handleDoubleCommand(); });
    // 4. The Settings window's commands, and its voice samples' speaker.
    VoiceSamplePlayer::setShared(std::make_shared<SpeakerVoiceSamplePlayer>());
    AppCommands::setHooks(
        {[] { MenuBarController::shared().closePopover(); }, [this] { return settingsWindow()->present(); }});
    if (const auto& hook = launchHook())
        hook(*this);
}

void AppDelegate::setLaunchHook(std::function<void(AppDelegate&)> hook) {
    launchHook() = std::move(hook);
}

SettingsWindow* AppDelegate::settingsWindow() {
    if (!settings_)
        settings_ = std::make_unique<SettingsWindow>(screens_);
    return settings_.get();
}

void AppDelegate::handleLink(const QString& link) {
    const QUrl url(link, QUrl::StrictMode);
    if (!url.isValid())
        return;
    QTimer::singleShot(0, this, [this, link] { routeLink(link); });
}

void AppDelegate::routeLink(const QString& link) {
    const QUrl url(link, QUrl::StrictMode);
    if (!url.isValid())
        return;
    if (!DeepLinks::handleDesktopDeepLink(url))
        qCInfo(lcApp) << "link ignored:" << url.scheme() << url.host();
}

bool AppDelegate::confirmQuit() {
    if (DefaultsStore::shared().boolValue(kSuppressQuitConfirmationKey).value_or(false))
        return true;
    MenuBarController::shared().closePopover();
    const auto [quit, dontAskAgain] = askQuit();
    if (quit && dontAskAgain)
        DefaultsStore::shared().setBool(kSuppressQuitConfirmationKey, true);
    return quit;
}

void AppDelegate::requestQuit() {
    if (confirmQuit())
        quitWithoutAsking();
}

void AppDelegate::quitWithoutAsking() {
    end();
    QCoreApplication::quit();
}

void AppDelegate::end() {
    if (ended_)
        return;
    ended_ = true;
    emit quitting();
    // The summon's listeners and grab go, the bridge's loop ends and a running
    // task's late answer is dropped.
    DoubleCommandMonitor::shared().stop();
    BridgeService::shared().stop();
    // The sample speaker goes while the application's audio still exists.
    VoiceSamplePlayer::setShared(nullptr);
    MenuBarController::shared().configure(nullptr, nullptr);
}

void AppDelegate::installSignalHandlers() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    // The program blocks the quit signals in every thread (Lifetime): they wait
    // for this thread, which takes them here. Without the descriptor, this thread
    // takes them again itself, through the handler below (the others still block
    // them, so they come to this one).
    if (const int descriptor = QuitSignal::openDescriptor(); descriptor >= 0) {
        auto* taken = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
        connect(taken, &QSocketNotifier::activated, this, [this, descriptor] {
            if (!QuitSignal::take(descriptor))
                return;
            qCInfo(lcApp) << "signal received: quitting";
            quitWithoutAsking();
        });
    } else if (QuitSignal::blocked()) {
        qCWarning(lcApp) << "the quit signals cannot be read from a descriptor:" << qt_error_string(errno)
                         << "- taken by a handler on the GUI thread";
        QuitSignal::unblockInThisThread();
    }
    // A thread that does not block them (this one as above, one started before they
    // were blocked, or a test program, which does not) takes them through the handler.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        qCWarning(lcApp) << "no signal handler:" << qt_error_string(errno);
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
        qCInfo(lcApp) << "signal received: quitting";
        quitWithoutAsking();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

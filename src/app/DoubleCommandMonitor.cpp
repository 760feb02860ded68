#include "app/DoubleCommandMonitor.h"

#include "app/SummonX11.h"
#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/AppSession.h"

#include <QGuiApplication>

#include <cstdio>

namespace {

std::unique_ptr<DoubleCommandMonitor>& sharedSlot() {
    static std::unique_ptr<DoubleCommandMonitor> monitor;
    return monitor;
}

void printLine(const char* line) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

DoubleCommandMonitor::DoubleCommandMonitor(std::unique_ptr<SummonPlatform> platform)
    : platform_(platform ? std::move(platform) : std::make_unique<DesktopSummonPlatform>()) {}

DoubleCommandMonitor::~DoubleCommandMonitor() {
    for (const auto& connection : subscriptions_)
        disconnect(connection);
    disconnect(activationObserver_);
}

DoubleCommandMonitor& DoubleCommandMonitor::shared() {
    auto& slot = sharedSlot();
    if (!slot)
        slot = std::make_unique<DoubleCommandMonitor>();
    return *slot;
}

void DoubleCommandMonitor::setSharedForTesting(std::unique_ptr<DoubleCommandMonitor> monitor) {
    sharedSlot() = std::move(monitor);
}

QString DoubleCommandMonitor::disabledStatus() {
    return loc("Raccourci global désactivé.");
}
QString DoubleCommandMonitor::globalStatus() {
    return loc("Event tap global actif.");
}
QString DoubleCommandMonitor::globalDuringGrabsLostStatus() {
    return loc("Event tap global actif, sauf quand un programme capture le clavier (menu ouvert, "
               "glisser-déposer) : serveur X sans XInput 2.1.");
}
QString DoubleCommandMonitor::localWithAliasStatus() {
    return loc("Double ⌘ local uniquement ; alias global ⌘J actif.");
}
QString DoubleCommandMonitor::localWithoutAliasStatus() {
    return loc("Double ⌘ local uniquement (pas d’alias global).");
}

void DoubleCommandMonitor::bind(AppSession* session, std::function<void()> handler) {
    session_ = session;
    handler_ = std::move(handler);
    for (const auto& connection : subscriptions_)
        disconnect(connection);
    subscriptions_.clear();
    if (session) {
        // The session signals every assignment: act only on a new value. The value
        // read is the stored one, so a change of the alias setting is applied with
        // the value just chosen.
        lastEnabled_ = session->doubleCommandEnabled();
        lastFallback_ = int(session->summonFallbackShortcut());
        subscriptions_ << connect(session, &AppSession::doubleCommandEnabledChanged, this, [this] {
            if (!session_ || session_->doubleCommandEnabled() == lastEnabled_)
                return;
            lastEnabled_ = session_->doubleCommandEnabled();
            updateMonitoring(lastEnabled_, true);
        });
        subscriptions_ << connect(session, &AppSession::summonFallbackShortcutChanged, this, [this] {
            if (!session_ || int(session_->summonFallbackShortcut()) == lastFallback_)
                return;
            lastFallback_ = int(session_->summonFallbackShortcut());
            updateMonitoring(session_->doubleCommandEnabled(), false);
        });
    }
    if (!activationObserver_) {
        if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
            activationObserver_ = connect(app, &QGuiApplication::applicationStateChanged, this,
                                          [this](Qt::ApplicationState state) {
                                              if (state == Qt::ApplicationActive)
                                                  handleAppDidBecomeActive();
                                          });
        }
    }
    updateMonitoring(session ? session->doubleCommandEnabled() : false, true);
}

void DoubleCommandMonitor::stop() {
    removeLocalSource();
    removeGlobalSource();
    removeFallbackHotKey();
    for (const auto& connection : subscriptions_)
        disconnect(connection);
    subscriptions_.clear();
    if (session_)
        session_->setGlobalShortcutStatusMessage(std::nullopt);
    disconnect(activationObserver_);
    activationObserver_ = {};
}

bool DoubleCommandMonitor::hasGlobalShortcutPermission() {
    return platform_->hasGlobalPermission();
}

void DoubleCommandMonitor::requestGlobalShortcutPermission() {
    platform_->requestGlobalPermission();
    DefaultsStore::shared().setBool(QString::fromLatin1(kPromptKey), true);
    if (session_)
        session_->setGlobalShortcutPermissionGranted(hasGlobalShortcutPermission());
}

DoubleCommandMonitor::Arrangement DoubleCommandMonitor::arrangement() const {
    if (globalSource_)
        return Arrangement::Global;
    if (localSource_ || hotKey_)
        return Arrangement::Local;
    return Arrangement::Off;
}

void DoubleCommandMonitor::updateMonitoring(bool enabled, bool promptIfNeeded) {
    tap_.reset();
    removeLocalSource();
    removeGlobalSource();
    removeFallbackHotKey();

    const bool permitted = hasGlobalShortcutPermission();
    if (session_)
        session_->setGlobalShortcutPermissionGranted(permitted);
    if (!enabled) {
        if (session_)
            session_->setGlobalShortcutStatusMessage(disabledStatus());
        return;
    }
    if (permitted) {
        installGlobalSource();
        return;
    }
    if (promptIfNeeded && !DefaultsStore::shared().boolValue(QString::fromLatin1(kPromptKey)).value_or(false))
        requestGlobalShortcutPermission();
    installFallbackHotKey();
    installLocalSource();
}

void DoubleCommandMonitor::handleAppDidBecomeActive() {
    const bool permitted = hasGlobalShortcutPermission();
    if (session_)
        session_->setGlobalShortcutPermissionGranted(permitted);
    if (!session_ || !session_->doubleCommandEnabled())
        return;
    if (permitted) {
        if (globalSource_) {
            session_->setGlobalShortcutStatusMessage(globalSourceStatusMessage());
            return;
        }
        removeLocalSource();
        removeFallbackHotKey();
        installGlobalSource();
        return;
    }
    if (localSource_) {
        session_->setGlobalShortcutStatusMessage(localFallbackStatusMessage());
        return;
    }
    installFallbackHotKey();
    installLocalSource();
}

void DoubleCommandMonitor::installGlobalSource() {
    if (globalSource_)
        return;
    globalSource_ = platform_->createGlobalSource();
    if (!globalSource_) {
        printLine("Ombrix: failed to create a global keyboard event tap; falling back to local monitoring.");
        if (session_)
            session_->setGlobalShortcutPermissionGranted(hasGlobalShortcutPermission());
        installLocalSource();
        return;
    }
    printLine("Ombrix: installed global keyboard event tap for double-command detection.");
    if (session_)
        session_->setGlobalShortcutStatusMessage(globalSourceStatusMessage());
    connectSource(globalSource_.get());
    updateTapRecovery();
}

void DoubleCommandMonitor::removeGlobalSource() {
    globalSource_.reset();
    updateTapRecovery();
}

void DoubleCommandMonitor::installLocalSource() {
    if (localSource_)
        return;
    localSource_ = platform_->createLocalSource();
    if (localSource_)
        connectSource(localSource_.get());
    updateTapRecovery();
    if (session_)
        session_->setGlobalShortcutStatusMessage(localFallbackStatusMessage());
}

void DoubleCommandMonitor::removeLocalSource() {
    localSource_.reset();
    updateTapRecovery();
}

QString DoubleCommandMonitor::globalSourceStatusMessage() const {
    return globalSource_ && !globalSource_->reportsEveryKeyEvent() ? globalDuringGrabsLostStatus()
                                                                   : globalStatus();
}

void DoubleCommandMonitor::updateTapRecovery() {
    // Held keys are never forgotten only when every key event comes from one source
    // that sees them all; the local source (alone or beside the global one) misses
    // the releases typed into other programs.
    tap_.setReleasesReliable(globalSource_ && globalSource_->reportsEveryKeyEvent() && !localSource_);
}

void DoubleCommandMonitor::installFallbackHotKey() {
    if (hotKey_ || !session_ || session_->summonFallbackShortcut() != SummonFallbackShortcut::CommandJ)
        return;
    hotKey_ = platform_->createHotKey();
    if (!hotKey_)
        return;
    // A press calls the handler at once: no double-tap rule, no tap state.
    connect(hotKey_.get(), &SummonHotKey::pressed, this, &DoubleCommandMonitor::callHandler);
    qCDebug(lcSummon) << "Summon alias"
                      << (hotKey_->isRegistered() ? "registered" : "refused by the desktop");
}

void DoubleCommandMonitor::removeFallbackHotKey() {
    hotKey_.reset();
}

QString DoubleCommandMonitor::localFallbackStatusMessage() const {
    // Tells what works, not what was asked: the alias only when the desktop took it.
    if (session_ && session_->summonFallbackShortcut() == SummonFallbackShortcut::CommandJ && hotKey_ &&
        hotKey_->isRegistered())
        return localWithAliasStatus();
    return localWithoutAliasStatus();
}

void DoubleCommandMonitor::connectSource(SummonKeySource* source) {
    connect(source, &SummonKeySource::commandKeyChanged, this,
            [this](quint16 keyCode, bool hasOtherModifiers, double timestamp) {
                if (tap_.flagsChanged(keyCode, hasOtherModifiers, timestamp))
                    callHandler();
            });
    connect(source, &SummonKeySource::otherKeyDown, this,
            [this] { tap_.keyDown(DoubleCommandTap::kOtherKey); });
}

void DoubleCommandMonitor::callHandler() {
    if (handler_) {
        // The handler may rebind or stop the monitor: call a copy.
        auto handler = handler_;
        handler();
    }
}

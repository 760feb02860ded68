#pragma once

#include "app/DoubleCommandTap.h"
#include "app/SummonSources.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class AppSession;

// Turns a double tap of the summon key (Control here, the Command key of the
// texts), made anywhere on the desktop, into one call of the summon handler.
//
// Exactly one arrangement is installed at a time:
// - Global: a source that sees the keys of every application (X11 XInput2);
// - Local: the source of our own windows, plus the fallback alias (Super+J) when
//   the user chose it and the desktop lets us reserve it;
// - Off: nothing, when the user switched the summon off.
// What was installed is reported in the session's globalShortcutPermissionGranted
// and globalShortcutStatusMessage. Everything runs on the GUI thread.
class DoubleCommandMonitor : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kPromptKey = "doubleCommandGlobalPermissionPrompted";

    enum class Arrangement { Off, Global, Local };

    // The platform's sources (the desktop's when null).
    explicit DoubleCommandMonitor(std::unique_ptr<SummonPlatform> platform = nullptr);
    ~DoubleCommandMonitor() override;

    // The process-wide monitor, made on first use.
    static DoubleCommandMonitor& shared();
    static void setSharedForTesting(std::unique_ptr<DoubleCommandMonitor> monitor);

    // Keeps the session (weakly) and the handler, follows the session's summon
    // settings and the application's activation, and starts monitoring.
    void bind(AppSession* session, std::function<void()> handler);
    // Removes everything installed and clears the status text.
    void stop();
    // Nothing to ask on this desktop: records that the request was made and
    // refreshes the permission state; the status text says what works.
    void requestGlobalShortcutPermission();
    // Whether the global source can listen right now.
    bool hasGlobalShortcutPermission();
    // On every activation of the application: upgrades Local to Global when the
    // global source became possible, reinstalls a missing Local arrangement.
    void handleAppDidBecomeActive();

    Arrangement arrangement() const;
    bool hasGlobalSource() const { return globalSource_ != nullptr; }
    SummonKeySource* globalSourceForTesting() const { return globalSource_.get(); }
    bool hasLocalSource() const { return localSource_ != nullptr; }
    bool hasHotKey() const { return hotKey_ != nullptr; }
    const DoubleCommandTap& tapState() const { return tap_; }

    static QString disabledStatus();
    static QString globalStatus();
    // Global, on an X server that stops sending the keys while another program holds
    // the keyboard (XInput before 2.1).
    static QString globalDuringGrabsLostStatus();
    static QString localWithAliasStatus();
    static QString localWithoutAliasStatus();

private:
    void updateMonitoring(bool enabled, bool promptIfNeeded);
    void installGlobalSource();
    void removeGlobalSource();
    void installLocalSource();
    void removeLocalSource();
    void installFallbackHotKey();
    void removeFallbackHotKey();
    QString localFallbackStatusMessage() const;
    QString globalSourceStatusMessage() const;
    void updateTapRecovery();
    void connectSource(SummonKeySource* source);
    void callHandler();

    std::unique_ptr<SummonPlatform> platform_;
    QPointer<AppSession> session_;
    std::function<void()> handler_;
    std::unique_ptr<SummonKeySource> globalSource_;
    std::unique_ptr<SummonKeySource> localSource_;
    std::unique_ptr<SummonHotKey> hotKey_;
    QList<QMetaObject::Connection> subscriptions_;
    QMetaObject::Connection activationObserver_;
    bool lastEnabled_ = false;
    int lastFallback_ = -1;
    DoubleCommandTap tap_;
};

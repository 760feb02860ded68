#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>

// Asks the user to prove they are at the machine before a protected secret is
// released. confirm() blocks until the user has answered; false means refused,
// cancelled, failed or impossible (no display).
class PresenceGate {
public:
    virtual ~PresenceGate() = default;
    virtual bool confirm(const QString& reason) = 0;

    // The reason shown when the caller gives none of its own.
    static QString defaultReason();

    // The process-wide gate, made on first use (the PAM one). Tests install their
    // own with setShared().
    static PresenceGate& shared();
    static void setShared(std::shared_ptr<PresenceGate> gate);
};

// Asks the user's password, showing the reason; nothing when the user cancels or
// when no one can be asked.
using PasswordAsker = std::function<std::optional<QString>(const QString& reason)>;

// Checks the user's own password with PAM. The password is asked through the
// process-wide asker (the GUI installs a dialog); without one, every check fails.
class PamPresenceGate : public PresenceGate {
public:
    struct Options {
        QString service; // empty: defaultService()
        QString user;    // empty: the user running the program
        QString confDir; // empty: the system's PAM configuration
    };

    PamPresenceGate() = default;
    explicit PamPresenceGate(Options options)
        : options_(std::move(options)) {}

    bool confirm(const QString& reason) override;

    // "ombrix" when the system has a PAM configuration for it, otherwise "login".
    static QString defaultService();
    static QString currentUserName();

    static void setPasswordAsker(PasswordAsker asker);
    static PasswordAsker passwordAsker();

private:
    Options options_;
};

#pragma once

#include "platform/Errors.h"

#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

// A failure of the secret store.
class KeychainError : public OmbrixError {
public:
    enum class Kind { Status, UnexpectedData, AccessControlFailed };

    static KeychainError status(qint32 code) { return KeychainError(Kind::Status, code); }
    static KeychainError unexpectedData() { return KeychainError(Kind::UnexpectedData, 0); }
    static KeychainError accessControlFailed() { return KeychainError(Kind::AccessControlFailed, 0); }

    Kind kind() const { return kind_; }
    qint32 code() const { return code_; }
    QString description() const override;

private:
    KeychainError(Kind kind, qint32 code)
        : kind_(kind)
        , code_(code) {}

    Kind kind_;
    qint32 code_;
};

// The two secrets of this machine, kept in the user's secret store
// (SecretStore::shared()): the user token and the bridge device id. With the
// setting "highSecurityMode" on, the token is saved behind user presence and is
// released only after PresenceGate::shared() has confirmed the user.
namespace KeychainStore {
inline constexpr auto tokenService = "com.ombrix.mac.usertoken";
inline constexpr auto tokenAccount = "user_token";
inline constexpr auto deviceIdService = "com.ombrix.mac.bridge-device-id";
inline constexpr auto deviceIdAccount = "bridge_device_id";
inline constexpr auto highSecurityModeKey = "highSecurityMode";
inline constexpr auto deviceIdDefaultsKey = "ombrix.bridgeDeviceId";

// The calls below block while the Secret Service answers (or while the desktop
// asks to unlock the keyring): they are for worker threads. The GUI thread uses
// the *Async forms, which run them one at a time, in the order asked, on the
// store's own worker thread and resume the caller on its thread.

// The stored token, or nothing (none stored, not UTF-8, store unavailable, presence
// refused). The prompt is the reason shown when presence is asked with high security on.
std::optional<QString> read(const QString& prompt);
// The same, but user presence is asked (with this prompt) whatever protection the
// stored item has: for the approvals that high security guards, which must not
// depend on how the token happened to be saved.
std::optional<QString> readConfirmingPresence(const QString& prompt);
// Stores the token in place of the previous one; on failure the previous one stays.
// Throws KeychainError.
void save(const QString& token);
// Deletes the token; having none is not a failure. Throws KeychainError.
void remove();
// This machine's bridge device id, never empty: from the store, else from the
// settings copy (then copied into the store), else a new upper-case UUID.
QString bridgeDeviceId();
// bridgeDeviceId() as it answered the first time in this process: the store is
// asked once (it may block while the desktop asks to unlock the keyring), later
// calls answer from memory, and the id stays the same for the whole run.
QString cachedBridgeDeviceId();
void forgetCachedBridgeDeviceIdForTesting();
// cachedBridgeDeviceId() when it is known already; nothing (and no wait) otherwise.
std::optional<QString> knownBridgeDeviceId();

QCoro::Task<std::optional<QString>> readAsync(QString prompt);
QCoro::Task<std::optional<QString>> readConfirmingPresenceAsync(QString prompt);
// Throw KeychainError, as their blocking forms.
QCoro::Task<> saveAsync(QString token);
QCoro::Task<> removeAsync();
QCoro::Task<QString> cachedBridgeDeviceIdAsync();
} // namespace KeychainStore

#pragma once

#include "platform/Errors.h"

#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
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
// Deletes the token; having none is not a failure. Throws KeychainError. A token the
// store kept all the same (its keyring locked and not unlocked when asked) is
// marked as withdrawn: read() no longer gives it, until a token is saved again.
void remove();
// remove(), only while the stored token is `token` (a refusal of an old token must
// not delete one saved since). Throws KeychainError.
void removeIfHolds(const QString& token);
// Whether the stored token was signed out without the store deleting it.
bool tokenWithdrawn();
inline constexpr auto tokenWithdrawnKey = "ombrix.keychainTokenWithdrawn";
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
QCoro::Task<> removeIfHoldsAsync(QString token);
QCoro::Task<QString> cachedBridgeDeviceIdAsync();
} // namespace KeychainStore

// The thread on which the keychain's *Async calls run, one at a time, in the order
// they were asked. The program's lifetime (Lifetime) owns one; a program that
// installs none (the tests) gets one made on first use, which the program's end
// finishes (endMadeOnFirstUse()). Either way it ends before any static object it
// uses (the secret store, the settings) is destroyed.
class KeychainWorker {
public:
    // How long quitting waits for the writes asked before it, in all.
    static constexpr std::chrono::milliseconds kQuitBudget{3000};

    enum class Kind { Read, Write };
    // A call of the store: run(true) carries it out, run(false) tells its caller
    // that it was dropped.
    using Job = std::function<void(bool run)>;

    // Starts the thread, and is the current worker until destroyed (unless one is already).
    KeychainWorker();
    // finish(kQuitBudget) when it was not called.
    ~KeychainWorker();
    KeychainWorker(const KeychainWorker&) = delete;
    KeychainWorker& operator=(const KeychainWorker&) = delete;

    static KeychainWorker& current();
    // Finishes and destroys the worker current() made when none was installed
    // (nothing to do otherwise): finish()'s answer.
    static bool endMadeOnFirstUse();

    // Queues a call (`what` names it in the log, never its secret). Once finishing,
    // nothing is queued: the job is told it was dropped (a write is logged).
    void post(Kind kind, const char* what, Job job);

    // At quit: takes no more calls, drops the reads not started, and waits for the
    // writes asked before, carried out in order, at most `budget` in all. A write
    // left undone is logged, and a call still blocked in the keyring is cancelled.
    // True when the thread has ended; false when a call still holds it (the caller
    // then leaves the process without destroying what that call may touch).
    bool finish(std::chrono::milliseconds budget = kQuitBudget);

private:
    struct State;
    std::shared_ptr<State> state_;
};

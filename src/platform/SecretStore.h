#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

// How a stored secret may be released. The class is kept with the item, so an
// item saved behind user presence stays behind it until it is saved again.
enum class SecretProtection {
    // Readable whenever the user's keyring is open ("afterFirstUnlockThisDeviceOnly").
    AfterFirstUnlock,
    // Released only after the user has proved presence
    // ("whenUnlockedThisDeviceOnly+userPresence").
    UserPresence,
};

// The attribute text kept with an item, and back (unknown texts give nothing).
QString protectionAttribute(SecretProtection protection);
std::optional<SecretProtection> protectionFromAttribute(const QString& text);

struct StoredSecret {
    QByteArray value;
    SecretProtection protection = SecretProtection::AfterFirstUnlock;
};

// Status codes of the secret store: 0 is success, failures are negative.
namespace SecretStatus {
inline constexpr qint32 success = 0;
inline constexpr qint32 cancelled = -128;               // the user dismissed an unlock prompt
inline constexpr qint32 notAvailable = -25291;          // no secret service answers
inline constexpr qint32 duplicateItem = -25299;         // add of an item that exists
inline constexpr qint32 itemNotFound = -25300;          // no such item
inline constexpr qint32 interactionNotAllowed = -25308; // the keyring is locked and stays locked
inline constexpr qint32 internalError = -26276;         // anything else the service reports
} // namespace SecretStatus

struct SecretLookup {
    qint32 status = SecretStatus::itemNotFound;
    std::optional<StoredSecret> item; // present exactly when status is success
};

// Generic items keyed by service and account, each with a protection class. The
// calls are synchronous and may be made from any thread.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    virtual SecretLookup find(const QString& service, const QString& account) = 0;
    // Adds a new item; duplicateItem when one exists already.
    virtual qint32 store(const QString& service, const QString& account, const StoredSecret& item) = 0;
    // Puts the value and protection into the existing item, or adds one when there
    // is none. On failure the previous item is left as it was.
    virtual qint32 replace(const QString& service, const QString& account, const StoredSecret& item) = 0;
    // Deletes the item; itemNotFound when there is none.
    virtual qint32 remove(const QString& service, const QString& account) = 0;
    // Makes the calls under way, and every later one, end at once as cancelled
    // (quitting, when the service does not answer).
    virtual void cancelPendingCalls() {}

    // The process-wide store, made on first use (the Secret Service one). Tests
    // install their own with setShared().
    static SecretStore& shared();
    // The same store, kept alive by the caller for the time of its calls (a worker
    // thread's call then survives a test installing another store).
    static std::shared_ptr<SecretStore> sharedHandle();
    static void setShared(std::shared_ptr<SecretStore> store);
};

// Keeps the items in memory; for tests, which can make any operation fail.
class MemorySecretStore : public SecretStore {
public:
    enum class Operation { Find, Store, Replace, Remove };

    SecretLookup find(const QString& service, const QString& account) override;
    qint32 store(const QString& service, const QString& account, const StoredSecret& item) override;
    qint32 replace(const QString& service, const QString& account, const StoredSecret& item) override;
    qint32 remove(const QString& service, const QString& account) override;

    // Every later call of the operation fails with the status (nothing: succeeds again).
    void setFailure(Operation operation, std::optional<qint32> status);
    int calls(Operation operation) const;
    int itemCount() const;
    std::optional<StoredSecret> peek(const QString& service, const QString& account) const;

private:
    std::optional<qint32> failureOf(Operation operation);

    mutable std::mutex mutex_;
    QHash<QString, StoredSecret> items_; // key: service + '\n' + account
    QHash<int, qint32> failures_;
    QHash<int, int> calls_;
};

struct _GCancellable;

// The Secret Service of the desktop session (libsecret), in its default collection.
// Items carry the attributes "service", "account" and "protection". An item that
// cannot be deleted because its collection is locked makes remove() ask the
// service to unlock it (the service shows its own prompt) and try once more.
class LibsecretStore : public SecretStore {
public:
    LibsecretStore();
    ~LibsecretStore() override;
    LibsecretStore(const LibsecretStore&) = delete;
    LibsecretStore& operator=(const LibsecretStore&) = delete;

    SecretLookup find(const QString& service, const QString& account) override;
    qint32 store(const QString& service, const QString& account, const StoredSecret& item) override;
    qint32 replace(const QString& service, const QString& account, const StoredSecret& item) override;
    qint32 remove(const QString& service, const QString& account) override;
    void cancelPendingCalls() override;

    // Whether a Secret Service answers on the session bus (it may start one).
    static bool serviceAvailable();
    // Makes the store's cryptography library ready. Called once at the program's
    // start, before any thread: the library's first use readies it lazily, and two
    // threads doing so at once (a keychain call and another user of the library)
    // leave it unusable, which aborts the program at its next call.
    static void prepareBeforeThreads();

private:
    _GCancellable* cancellable_;
};

#include "platform/SecretStore.h"

namespace {
std::shared_ptr<SecretStore>& sharedSlot() {
    static std::shared_ptr<SecretStore> slot;
    return slot;
}
std::mutex& sharedMutex() {
    static std::mutex m;
    return m;
}
QString itemKey(const QString& service, const QString& account) {
    return service + QLatin1Char('\n') + account;
}
} // namespace

QString protectionAttribute(SecretProtection protection) {
    switch (protection) {
    case SecretProtection::AfterFirstUnlock:
        return QStringLiteral("afterFirstUnlockThisDeviceOnly");
    case SecretProtection::UserPresence:
        return QStringLiteral("whenUnlockedThisDeviceOnly+userPresence");
    }
    return QString();
}

std::optional<SecretProtection> protectionFromAttribute(const QString& text) {
    for (auto p : {SecretProtection::AfterFirstUnlock, SecretProtection::UserPresence})
        if (text == protectionAttribute(p))
            return p;
    return std::nullopt;
}

SecretStore& SecretStore::shared() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot)
        slot = std::make_shared<LibsecretStore>();
    return *slot;
}

std::shared_ptr<SecretStore> SecretStore::sharedHandle() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot)
        slot = std::make_shared<LibsecretStore>();
    return slot;
}

void SecretStore::setShared(std::shared_ptr<SecretStore> store) {
    std::lock_guard lock(sharedMutex());
    sharedSlot() = std::move(store);
}

std::optional<qint32> MemorySecretStore::failureOf(Operation operation) {
    const int op = static_cast<int>(operation);
    ++calls_[op];
    auto it = failures_.constFind(op);
    if (it == failures_.constEnd())
        return std::nullopt;
    return *it;
}

SecretLookup MemorySecretStore::find(const QString& service, const QString& account) {
    std::lock_guard lock(mutex_);
    if (auto failure = failureOf(Operation::Find))
        return {*failure, std::nullopt};
    auto it = items_.constFind(itemKey(service, account));
    if (it == items_.constEnd())
        return {SecretStatus::itemNotFound, std::nullopt};
    return {SecretStatus::success, *it};
}

qint32 MemorySecretStore::store(const QString& service, const QString& account, const StoredSecret& item) {
    std::lock_guard lock(mutex_);
    if (auto failure = failureOf(Operation::Store))
        return *failure;
    const QString key = itemKey(service, account);
    if (items_.contains(key))
        return SecretStatus::duplicateItem;
    items_.insert(key, item);
    return SecretStatus::success;
}

qint32 MemorySecretStore::replace(const QString& service, const QString& account, const StoredSecret& item) {
    std::lock_guard lock(mutex_);
    if (auto failure = failureOf(Operation::Replace))
        return *failure;
    items_.insert(itemKey(service, account), item);
    return SecretStatus::success;
}

qint32 MemorySecretStore::remove(const QString& service, const QString& account) {
    std::lock_guard lock(mutex_);
    if (auto failure = failureOf(Operation::Remove))
        return *failure;
    return items_.remove(itemKey(service, account)) ? SecretStatus::success : SecretStatus::itemNotFound;
}

void MemorySecretStore::setFailure(Operation operation, std::optional<qint32> status) {
    std::lock_guard lock(mutex_);
    if (status)
        failures_.insert(static_cast<int>(operation), *status);
    else
        failures_.remove(static_cast<int>(operation));
}

int MemorySecretStore::calls(Operation operation) const {
    std::lock_guard lock(mutex_);
    return calls_.value(static_cast<int>(operation));
}

int MemorySecretStore::itemCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(items_.size());
}

std::optional<StoredSecret> MemorySecretStore::peek(const QString& service, const QString& account) const {
    std::lock_guard lock(mutex_);
    auto it = items_.constFind(itemKey(service, account));
    if (it == items_.constEnd())
        return std::nullopt;
    return *it;
}

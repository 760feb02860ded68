#include "session/KeychainStore.h"

#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/PresenceGate.h"
#include "platform/SecretStore.h"
#include "session/APIError.h"
#include "session/Models.h"

#include <QStringEncoder>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <mutex>

QString KeychainError::description() const {
    switch (kind_) {
    case Kind::Status:
        // Without a Secret Service nothing can be kept: say what the desktop lacks.
        if (code_ == SecretStatus::notAvailable)
            return loc("Aucun trousseau n'est disponible : Ombrix a besoin d'un service de secrets "
                       "(Secret Service) pour garder ton jeton. Installe ou démarre GNOME Keyring, "
                       "KWallet ou KeePassXC, puis réessaie.");
        return loc("Erreur Trousseau ") + QString::number(code_);
    case Kind::UnexpectedData:
        return loc("Le Trousseau a renvoyé des données inattendues");
    case Kind::AccessControlFailed:
        return loc("Impossible de configurer le contrôle d'accès du Trousseau");
    }
    return QString();
}

namespace {
const QString tokenService = QString::fromLatin1(KeychainStore::tokenService);
const QString tokenAccount = QString::fromLatin1(KeychainStore::tokenAccount);
const QString deviceIdService = QString::fromLatin1(KeychainStore::deviceIdService);
const QString deviceIdAccount = QString::fromLatin1(KeychainStore::deviceIdAccount);

bool highSecurityMode() {
    return DefaultsStore::shared()
        .boolValue(QString::fromLatin1(KeychainStore::highSecurityModeKey))
        .value_or(false);
}

// UTF-8 bytes of the text; nothing when it holds a lone surrogate.
std::optional<QByteArray> encodeUtf8Strict(const QString& text) {
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        return std::nullopt;
    return bytes;
}

std::optional<QString> readBridgeDeviceIdFromKeychain() {
    const SecretLookup found = SecretStore::sharedHandle()->find(deviceIdService, deviceIdAccount);
    if (found.status != SecretStatus::success || !found.item)
        return std::nullopt;
    std::optional<QString> id = decodeUtf8Strict(found.item->value);
    if (!id || id->isEmpty())
        return std::nullopt;
    return id;
}

bool writeBridgeDeviceIdToKeychain(const QString& id) {
    const std::optional<QByteArray> bytes = encodeUtf8Strict(id);
    if (!bytes)
        return false;
    const qint32 status = SecretStore::sharedHandle()->replace(deviceIdService, deviceIdAccount,
                                                               {*bytes, SecretProtection::AfterFirstUnlock});
    if (status != SecretStatus::success)
        qCWarning(lcKeychain) << "bridge device id not stored, status" << status;
    return status == SecretStatus::success;
}
} // namespace

std::optional<QString> KeychainStore::read(const QString& prompt) {
    const SecretLookup found = SecretStore::sharedHandle()->find(tokenService, tokenAccount);
    if (found.status != SecretStatus::success || !found.item)
        return std::nullopt;
    if (found.item->protection == SecretProtection::UserPresence) {
        // The protection belongs to the item: one saved with high security on stays
        // behind presence after the setting is turned off, asked with the default wording.
        const QString reason = highSecurityMode() ? prompt : PresenceGate::defaultReason();
        if (!PresenceGate::shared().confirm(reason))
            return std::nullopt;
    }
    return decodeUtf8Strict(found.item->value);
}

std::optional<QString> KeychainStore::readConfirmingPresence(const QString& prompt) {
    const SecretLookup found = SecretStore::sharedHandle()->find(tokenService, tokenAccount);
    if (found.status != SecretStatus::success || !found.item)
        return std::nullopt;
    if (!PresenceGate::shared().confirm(prompt))
        return std::nullopt;
    return decodeUtf8Strict(found.item->value);
}

void KeychainStore::save(const QString& token) {
    const std::optional<QByteArray> bytes = encodeUtf8Strict(token);
    if (!bytes)
        throw KeychainError::unexpectedData();
    const SecretProtection protection =
        highSecurityMode() ? SecretProtection::UserPresence : SecretProtection::AfterFirstUnlock;
    // Replaced in place: if the store refuses, the previous token is still there.
    const qint32 status =
        SecretStore::sharedHandle()->replace(tokenService, tokenAccount, {*bytes, protection});
    if (status != SecretStatus::success)
        throw KeychainError::status(status);
}

void KeychainStore::remove() {
    const qint32 status = SecretStore::sharedHandle()->remove(tokenService, tokenAccount);
    if (status != SecretStatus::success && status != SecretStatus::itemNotFound)
        throw KeychainError::status(status);
}

QString KeychainStore::bridgeDeviceId() {
    // Two callers on different threads (the keychain's worker and a direct caller)
    // must not both find no id and make two: the look-up and the creation are one step.
    static std::mutex creation;
    std::lock_guard lock(creation);
    if (std::optional<QString> stored = readBridgeDeviceIdFromKeychain())
        return *stored;
    DefaultsStore& defaults = DefaultsStore::shared();
    const QString defaultsKey = QString::fromLatin1(deviceIdDefaultsKey);
    if (std::optional<QString> copy = defaults.string(defaultsKey); copy && !copy->isEmpty()) {
        writeBridgeDeviceIdToKeychain(*copy);
        return *copy;
    }
    const QString id = newUuidText();
    if (!writeBridgeDeviceIdToKeychain(id))
        defaults.setString(defaultsKey, id);
    return id;
}

namespace {
std::mutex cachedDeviceIdMutex;
std::optional<QString> cachedDeviceId;
} // namespace

QString KeychainStore::cachedBridgeDeviceId() {
    std::lock_guard lock(cachedDeviceIdMutex);
    if (!cachedDeviceId)
        cachedDeviceId = bridgeDeviceId();
    return *cachedDeviceId;
}

void KeychainStore::forgetCachedBridgeDeviceIdForTesting() {
    std::lock_guard lock(cachedDeviceIdMutex);
    cachedDeviceId.reset();
}

std::optional<QString> KeychainStore::knownBridgeDeviceId() {
    std::lock_guard lock(cachedDeviceIdMutex);
    return cachedDeviceId;
}

namespace {
// One thread for every call to the store: calls run in the order they were asked,
// so a sign-out asked after a save deletes what the save wrote.
QThreadPool& keychainThread() {
    static QThreadPool pool;
    static const bool configured = [] {
        pool.setMaxThreadCount(1);
        pool.setObjectName(QStringLiteral("keychain"));
        return true;
    }();
    Q_UNUSED(configured);
    return pool;
}

// What a call of the store gave: its value, or what it threw.
template <typename Result> struct Outcome {
    std::optional<Result> value;
    std::exception_ptr error;

    Result take() {
        if (error)
            std::rethrow_exception(error);
        return std::move(*value);
    }
};

// Starts a call of the store on its thread. A plain function: callers await the
// future as a named variable (a lambda or a temporary handed to a coroutine is not
// kept whole by every compiler).
template <typename Result, typename Call> QFuture<Outcome<Result>> startOnKeychainThread(Call call) {
    return QtConcurrent::run(&keychainThread(), [call]() -> Outcome<Result> {
        try {
            return Outcome<Result>{call(), nullptr};
        } catch (...) {
            return Outcome<Result>{std::nullopt, std::current_exception()};
        }
    });
}
} // namespace

QCoro::Task<std::optional<QString>> KeychainStore::readAsync(QString prompt) {
    QFuture<Outcome<std::optional<QString>>> running =
        startOnKeychainThread<std::optional<QString>>([prompt] { return read(prompt); });
    Outcome<std::optional<QString>> outcome = co_await running;
    co_return outcome.take();
}

QCoro::Task<std::optional<QString>> KeychainStore::readConfirmingPresenceAsync(QString prompt) {
    QFuture<Outcome<std::optional<QString>>> running =
        startOnKeychainThread<std::optional<QString>>([prompt] { return readConfirmingPresence(prompt); });
    Outcome<std::optional<QString>> outcome = co_await running;
    co_return outcome.take();
}

QCoro::Task<> KeychainStore::saveAsync(QString token) {
    QFuture<Outcome<bool>> running = startOnKeychainThread<bool>([token] {
        save(token);
        return true;
    });
    Outcome<bool> outcome = co_await running;
    outcome.take();
}

QCoro::Task<> KeychainStore::removeAsync() {
    QFuture<Outcome<bool>> running = startOnKeychainThread<bool>([] {
        remove();
        return true;
    });
    Outcome<bool> outcome = co_await running;
    outcome.take();
}

QCoro::Task<QString> KeychainStore::cachedBridgeDeviceIdAsync() {
    if (std::optional<QString> known = knownBridgeDeviceId())
        co_return *known;
    QFuture<Outcome<QString>> running = startOnKeychainThread<QString>([] { return cachedBridgeDeviceId(); });
    Outcome<QString> outcome = co_await running;
    co_return outcome.take();
}

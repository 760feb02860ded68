#include "session/KeychainStore.h"

#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/PresenceGate.h"
#include "platform/SecretStore.h"
#include "session/APIError.h"
#include "session/Models.h"

#include <QStringEncoder>

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
    const SecretLookup found = SecretStore::shared().find(deviceIdService, deviceIdAccount);
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
    const qint32 status = SecretStore::shared().replace(deviceIdService, deviceIdAccount,
                                                        {*bytes, SecretProtection::AfterFirstUnlock});
    if (status != SecretStatus::success)
        qCWarning(lcKeychain) << "bridge device id not stored, status" << status;
    return status == SecretStatus::success;
}
} // namespace

std::optional<QString> KeychainStore::read(const QString& prompt) {
    const SecretLookup found = SecretStore::shared().find(tokenService, tokenAccount);
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
    const SecretLookup found = SecretStore::shared().find(tokenService, tokenAccount);
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
    const qint32 status = SecretStore::shared().replace(tokenService, tokenAccount, {*bytes, protection});
    if (status != SecretStatus::success)
        throw KeychainError::status(status);
}

void KeychainStore::remove() {
    const qint32 status = SecretStore::shared().remove(tokenService, tokenAccount);
    if (status != SecretStatus::success && status != SecretStatus::itemNotFound)
        throw KeychainError::status(status);
}

QString KeychainStore::bridgeDeviceId() {
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

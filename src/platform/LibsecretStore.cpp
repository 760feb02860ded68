// libsecret's headers use "signals" as an identifier: they come before any Qt header.
#include <libsecret/secret.h>

#include <gcrypt.h>

#include "platform/Log.h"
#include "platform/SecretStore.h"

#include <vector>

namespace {
constexpr auto kService = "service";
constexpr auto kAccount = "account";
constexpr auto kProtection = "protection";

// Items are stored under this schema name ("xdg:schema"), so that lookups see only
// the program's own items.
const SecretSchema* schema() {
    static const SecretSchema s = [] {
        SecretSchema made{};
        made.name = "com.ombrix.GenericPassword";
        made.flags = SECRET_SCHEMA_NONE;
        made.attributes[0] = {kService, SECRET_SCHEMA_ATTRIBUTE_STRING};
        made.attributes[1] = {kAccount, SECRET_SCHEMA_ATTRIBUTE_STRING};
        made.attributes[2] = {kProtection, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return made;
    }();
    return &s;
}

struct ErrorSlot {
    GError* error = nullptr;
    ~ErrorSlot() { g_clear_error(&error); }
    GError** out() {
        g_clear_error(&error);
        return &error;
    }
    QString message() const { return error ? QString::fromUtf8(error->message) : QString(); }
};

// A string-to-string attribute table that owns its copies.
struct Attributes {
    GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    Attributes(const QString& service, const QString& account) {
        put(kService, service);
        put(kAccount, account);
    }
    ~Attributes() { g_hash_table_unref(table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    void put(const char* key, const QString& value) {
        g_hash_table_replace(table, g_strdup(key), g_strdup(value.toUtf8().constData()));
    }
};

struct ItemList {
    GList* list = nullptr;
    ~ItemList() { g_list_free_full(list, g_object_unref); }
    std::vector<SecretItem*> items() const {
        std::vector<SecretItem*> out;
        for (GList* l = list; l; l = l->next)
            out.push_back(static_cast<SecretItem*>(l->data));
        return out;
    }
};

qint32 statusOf(const GError* error) {
    if (!error)
        return SecretStatus::internalError;
    if (error->domain == G_IO_ERROR && error->code == G_IO_ERROR_CANCELLED)
        return SecretStatus::cancelled;
    if (error->domain == SECRET_ERROR) {
        switch (error->code) {
        case SECRET_ERROR_IS_LOCKED:
            return SecretStatus::interactionNotAllowed;
        case SECRET_ERROR_NO_SUCH_OBJECT:
            return SecretStatus::itemNotFound;
        default:
            return SecretStatus::internalError;
        }
    }
    // No session bus, no Secret Service on it, or the service went away.
    if (error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR)
        return SecretStatus::notAvailable;
    return SecretStatus::internalError;
}

// The Secret Service with an open session; nullptr with the status on failure.
SecretService* openService(qint32& status, GCancellable* cancellable) {
    ErrorSlot error;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, error.out());
    if (!service) {
        status = statusOf(error.error);
        qCDebug(lcKeychain) << "no Secret Service:" << error.message();
    }
    return service;
}

struct ServiceRef {
    SecretService* service = nullptr;
    ~ServiceRef() {
        if (service)
            g_object_unref(service);
    }
};

SecretProtection protectionOf(SecretItem* item) {
    GHashTable* attributes = secret_item_get_attributes(item);
    const auto* text = static_cast<const char*>(g_hash_table_lookup(attributes, kProtection));
    // An item whose class cannot be told is treated as the stricter one.
    const auto protection =
        protectionFromAttribute(QString::fromUtf8(text ? text : "")).value_or(SecretProtection::UserPresence);
    g_hash_table_unref(attributes);
    return protection;
}

// Every item of the service and account; with `flags`, unlocking the collection
// when it can, and loading the secrets.
bool searchItems(SecretService* service, const QString& serviceName, const QString& account, int flags,
                 GCancellable* cancellable, ItemList& found, qint32& status) {
    Attributes attributes(serviceName, account);
    ErrorSlot error;
    found.list = secret_service_search_sync(service, schema(), attributes.table,
                                            static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | flags),
                                            cancellable, error.out());
    if (error.error) {
        status = statusOf(error.error);
        qCDebug(lcKeychain) << "secret search failed:" << error.message();
        return false;
    }
    return true;
}

qint32 createItem(SecretService* service, const QString& serviceName, const QString& account,
                  const StoredSecret& item, GCancellable* cancellable) {
    Attributes attributes(serviceName, account);
    attributes.put(kProtection, protectionAttribute(item.protection));
    SecretValue* value = secret_value_new(item.value.constData(), item.value.size(), "text/plain");
    ErrorSlot error;
    // The Secret Service replaces an item whose attributes are all equal, in place.
    const gboolean stored =
        secret_service_store_sync(service, schema(), attributes.table, SECRET_COLLECTION_DEFAULT,
                                  serviceName.toUtf8().constData(), value, cancellable, error.out());
    secret_value_unref(value);
    if (!stored) {
        qCWarning(lcKeychain) << "secret not stored:" << error.message();
        return statusOf(error.error);
    }
    return SecretStatus::success;
}
} // namespace

void LibsecretStore::prepareBeforeThreads() {
    // Readies the library (its operating mode, its thread support) without
    // finishing its initialisation: the Secret Service's client still installs its
    // own memory handlers on first use.
    gcry_check_version(nullptr);
}

LibsecretStore::LibsecretStore()
    : cancellable_(g_cancellable_new()) {}

LibsecretStore::~LibsecretStore() {
    g_object_unref(cancellable_);
}

void LibsecretStore::cancelPendingCalls() {
    g_cancellable_cancel(cancellable_);
}

bool LibsecretStore::serviceAvailable() {
    qint32 status = SecretStatus::success;
    ServiceRef ref{openService(status, nullptr)};
    if (!ref.service)
        return false;
    ErrorSlot error;
    SecretCollection* collection = secret_collection_for_alias_sync(
        ref.service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, error.out());
    if (!collection)
        return false;
    g_object_unref(collection);
    return true;
}

SecretLookup LibsecretStore::find(const QString& service, const QString& account) {
    qint32 status = SecretStatus::success;
    ServiceRef ref{openService(status, cancellable_)};
    if (!ref.service)
        return {status, std::nullopt};
    ItemList found;
    if (!searchItems(ref.service, service, account, SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS,
                     cancellable_, found, status))
        return {status, std::nullopt};
    // Normally one item. Should an interrupted replacement have left two, the newest
    // wins, and on a tie the one behind user presence.
    SecretItem* chosen = nullptr;
    for (SecretItem* item : found.items()) {
        if (!chosen || secret_item_get_modified(item) > secret_item_get_modified(chosen) ||
            (secret_item_get_modified(item) == secret_item_get_modified(chosen) &&
             protectionOf(item) == SecretProtection::UserPresence))
            chosen = item;
    }
    if (!chosen)
        return {SecretStatus::itemNotFound, std::nullopt};
    SecretValue* value = secret_item_get_secret(chosen);
    if (!value)
        return {SecretStatus::interactionNotAllowed, std::nullopt};
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    SecretLookup lookup{SecretStatus::success, StoredSecret{QByteArray(bytes, static_cast<qsizetype>(length)),
                                                            protectionOf(chosen)}};
    secret_value_unref(value);
    return lookup;
}

qint32 LibsecretStore::store(const QString& service, const QString& account, const StoredSecret& item) {
    qint32 status = SecretStatus::success;
    ServiceRef ref{openService(status, cancellable_)};
    if (!ref.service)
        return status;
    ItemList found;
    if (!searchItems(ref.service, service, account, SECRET_SEARCH_UNLOCK, cancellable_, found, status))
        return status;
    if (found.list)
        return SecretStatus::duplicateItem;
    return createItem(ref.service, service, account, item, cancellable_);
}

qint32 LibsecretStore::replace(const QString& service, const QString& account, const StoredSecret& item) {
    qint32 status = SecretStatus::success;
    ServiceRef ref{openService(status, cancellable_)};
    if (!ref.service)
        return status;
    // The new item is written first (in place when its protection is unchanged);
    // only once it is stored are items with another protection deleted, so a
    // failure leaves the previous one as it was.
    status = createItem(ref.service, service, account, item, cancellable_);
    if (status != SecretStatus::success)
        return status;
    ItemList found;
    qint32 searchStatus = SecretStatus::success;
    if (!searchItems(ref.service, service, account, SECRET_SEARCH_UNLOCK, cancellable_, found, searchStatus))
        return SecretStatus::success;
    for (SecretItem* existing : found.items()) {
        if (protectionOf(existing) == item.protection)
            continue;
        ErrorSlot error;
        if (!secret_item_delete_sync(existing, cancellable_, error.out()))
            qCWarning(lcKeychain) << "stale secret not deleted:" << error.message();
    }
    return SecretStatus::success;
}

qint32 LibsecretStore::remove(const QString& service, const QString& account) {
    qint32 status = SecretStatus::success;
    ServiceRef ref{openService(status, cancellable_)};
    if (!ref.service)
        return status;
    // Items of a locked collection are found but not deleted (a plain clear skips
    // them and says "nothing deleted"): the service is asked to unlock them, with
    // its own prompt, and the deletion is tried once more.
    bool foundAny = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        ItemList found;
        if (!searchItems(ref.service, service, account, 0, cancellable_, found, status))
            return status;
        foundAny = foundAny || found.list;
        GList* left = nullptr;
        for (SecretItem* item : found.items()) {
            ErrorSlot error;
            if (secret_item_get_locked(item) || !secret_item_delete_sync(item, cancellable_, error.out())) {
                if (error.error) {
                    qCWarning(lcKeychain) << "secret not deleted:" << error.message();
                    if (statusOf(error.error) == SecretStatus::cancelled) {
                        g_list_free(left);
                        return SecretStatus::cancelled;
                    }
                }
                left = g_list_prepend(left, item);
            }
        }
        if (!left)
            return foundAny ? SecretStatus::success : SecretStatus::itemNotFound;
        if (attempt == 0) {
            ErrorSlot error;
            const gint unlocked =
                secret_service_unlock_sync(ref.service, left, cancellable_, nullptr, error.out());
            qCInfo(lcKeychain) << "asked the Secret Service to unlock a secret to delete:" << unlocked
                               << "unlocked" << error.message();
        }
        g_list_free(left);
    }
    qCWarning(lcKeychain) << "secret still stored: its collection stayed locked";
    return SecretStatus::interactionNotAllowed;
}

#include "bridge/BookmarkStore.h"

#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/Models.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>

// ---- BookmarkEntry ----------------------------------------------------------

Json BookmarkEntry::toJson() const {
    Json object = Json::object();
    object["id"] = json::str(uuidText(id));
    object["bookmarkData"] = bookmarkData.toBase64().toStdString();
    object["displayName"] = json::str(displayName);
    object["addedAt"] = addedAt;
    return object;
}

BookmarkEntry BookmarkEntry::fromJson(const Json& object) {
    json::requireObject(object);
    BookmarkEntry entry;
    const QString idText = json::requireString(object, "id");
    entry.id = QUuid::fromString(idText);
    if (idText.size() != 36 ||
        (entry.id.isNull() && idText != QStringLiteral("00000000-0000-0000-0000-000000000000")))
        throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch, QStringLiteral("id"));
    const auto decoded = QByteArray::fromBase64Encoding(
        json::requireString(object, "bookmarkData").toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch, QStringLiteral("bookmarkData"));
    entry.bookmarkData = *decoded;
    entry.displayName = json::requireString(object, "displayName");
    entry.addedAt = json::requireDouble(object, "addedAt");
    return entry;
}

QString BookmarkError::description() const {
    switch (kind_) {
    case Kind::ResolutionFailed:
        return loc("Bookmark: ") + detail_;
    case Kind::NotADirectory:
        return loc("Le chemin n'est pas un dossier.");
    case Kind::SystemSensitive:
        return loc("Dossier système refusé pour raisons de sécurité.");
    }
    return QString();
}

// ---- BookmarkPersistence ----------------------------------------------------

namespace BookmarkPersistence {
namespace {
std::optional<QList<BookmarkEntry>> decode(const QByteArray& bytes) {
    try {
        const Json array = json::parse(bytes);
        if (!array.is_array())
            return std::nullopt;
        QList<BookmarkEntry> entries;
        for (const Json& item : array)
            entries.append(BookmarkEntry::fromJson(item));
        return entries;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
} // namespace

QList<BookmarkEntry> load() {
    const auto bytes = DefaultsStore::shared().data(QString::fromLatin1(key));
    if (!bytes)
        return {};
    return decode(*bytes).value_or(QList<BookmarkEntry>{});
}

void save(const QList<BookmarkEntry>& entries) {
    DefaultsStore& defaults = DefaultsStore::shared();
    const QString storeKey = QString::fromLatin1(key);
    if (defaults.contains(storeKey)) {
        const auto bytes = defaults.data(storeKey);
        if (!bytes || !decode(*bytes)) {
            qCWarning(lcBridge) << "Liste de dossiers partagés illisible, mise de côté sous" << unreadableKey;
            if (bytes)
                defaults.setData(QString::fromLatin1(unreadableKey), *bytes);
            else if (const auto text = defaults.string(storeKey))
                defaults.setString(QString::fromLatin1(unreadableKey), *text);
        }
    }
    QByteArray encoded;
    try {
        Json array = Json::array();
        for (const BookmarkEntry& entry : entries)
            array.push_back(entry.toJson());
        encoded = json::dump(array);
    } catch (const std::exception&) {
        return; // nothing written
    }
    defaults.setData(storeKey, encoded);
}
} // namespace BookmarkPersistence

// ---- BookmarkResolver -------------------------------------------------------

namespace BookmarkResolver {
namespace {
std::atomic<int> starts{0};
std::atomic<int> stops{0};
} // namespace

QByteArray makeBookmark(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    struct stat info {};
    if (canonical.isEmpty() || ::stat(QFile::encodeName(canonical).constData(), &info) != 0) {
        const int code = canonical.isEmpty() ? ENOENT : errno;
        throw MessageError(loc("Impossible de créer le signet du dossier : ") +
                           QString::fromLocal8Bit(std::strerror(code)));
    }
    Json record = Json::object();
    record["path"] = json::str(canonical);
    record["device"] = static_cast<qint64>(info.st_dev);
    record["inode"] = static_cast<qint64>(info.st_ino);
    return json::dump(record);
}

Resolved resolve(const QByteArray& bookmarkData) {
    QString path;
    qint64 device = 0;
    qint64 inode = 0;
    try {
        const Json record = json::parse(bookmarkData);
        json::requireObject(record);
        path = json::requireString(record, "path");
        device = json::requireInt(record, "device");
        inode = json::requireInt(record, "inode");
    } catch (const std::exception&) {
        throw BookmarkError::resolutionFailed(loc("signet illisible"));
    }
    if (!path.startsWith(QLatin1Char('/')))
        throw BookmarkError::resolutionFailed(loc("signet illisible"));
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        throw BookmarkError::resolutionFailed(QString::fromLocal8Bit(std::strerror(errno)));
    Resolved resolved;
    resolved.url = QUrl::fromLocalFile(path);
    resolved.stale = static_cast<qint64>(info.st_dev) != device || static_cast<qint64>(info.st_ino) != inode;
    return resolved;
}

std::optional<Resolved> tryResolve(const QByteArray& bookmarkData) {
    try {
        return resolve(bookmarkData);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool startAccessing(const QUrl&) {
    ++starts;
    return true;
}

void stopAccessing(const QUrl&) {
    ++stops;
}
int accessStarts() {
    return starts.load();
}
int accessStops() {
    return stops.load();
}

void resetAccessCounts() {
    starts = 0;
    stops = 0;
}

ScopedAccess::ScopedAccess(QUrl url)
    : url_(std::move(url))
    , started_(startAccessing(url_)) {}

ScopedAccess::~ScopedAccess() {
    if (started_)
        stopAccessing(url_);
}
} // namespace BookmarkResolver

// ---- BookmarkStore ----------------------------------------------------------

namespace {
std::unique_ptr<BookmarkStore>& sharedStore() {
    static std::unique_ptr<BookmarkStore> store;
    return store;
}

// The path with its existing part canonical (symlinks resolved), the rest appended
// as it is: a sensitive folder that does not exist yet keeps a comparable form.
QString canonicalPrefix(const QString& cleanAbsolute) {
    const QFileInfo info(cleanAbsolute);
    if (info.exists())
        return info.canonicalFilePath();
    const QString parent = info.path();
    if (parent == cleanAbsolute)
        return cleanAbsolute;
    const QString base = canonicalPrefix(parent);
    return base.endsWith(QLatin1Char('/')) ? base + info.fileName()
                                           : base + QLatin1Char('/') + info.fileName();
}

bool inside(const QString& path, const QString& folder) {
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}
} // namespace

BookmarkStore::BookmarkStore()
    : entries_(BookmarkPersistence::load()) {}

BookmarkStore& BookmarkStore::shared() {
    auto& store = sharedStore();
    if (!store)
        store = std::make_unique<BookmarkStore>();
    return *store;
}

void BookmarkStore::resetSharedForTesting() {
    sharedStore().reset();
}

QStringList BookmarkStore::sensitiveFolders() {
    const QString home = QDir::homePath();
    return {
        home + QStringLiteral("/Library/Keychains"),
        home + QStringLiteral("/.ssh"),
        home + QStringLiteral("/.aws"),
        home + QStringLiteral("/.gnupg"),
        home + QStringLiteral("/.config/gcloud"),
        QStringLiteral("/private/etc"),
        QStringLiteral("/private/var/db"),
        home + QStringLiteral("/.local/share/keyrings"),
        home + QStringLiteral("/.password-store"),
        QStringLiteral("/etc"),
    };
}

bool BookmarkStore::isSystemSensitive(const QString& path) {
    if (path.isEmpty())
        return false;
    const QString cleaned = QDir::cleanPath(QDir(path).absolutePath());
    const QString canonical = canonicalPrefix(cleaned);
    const QString home = QDir::cleanPath(QDir::homePath());
    // The home and root folders hold the sensitive folders: not shareable as a whole.
    for (const QString& whole : {home, canonicalPrefix(home), QStringLiteral("/")})
        if (cleaned == whole || canonical == whole)
            return true;
    for (const QString& folder : sensitiveFolders()) {
        const QString canonicalFolder = canonicalPrefix(folder);
        if (inside(cleaned, folder) || inside(canonical, folder) || inside(cleaned, canonicalFolder) ||
            inside(canonical, canonicalFolder))
            return true;
    }
    return false;
}

BookmarkEntry BookmarkStore::add(const QString& path) {
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists() || !info.isDir())
        throw BookmarkError::notADirectory();
    if (isSystemSensitive(path))
        throw BookmarkError::systemSensitive();
    BookmarkEntry entry;
    entry.bookmarkData = BookmarkResolver::makeBookmark(path);
    entry.id = QUuid::createUuid();
    entry.displayName = QFileInfo(QDir::cleanPath(info.absoluteFilePath())).fileName();
    entry.addedAt = ReferenceDate::now();
    entries_.append(entry);
    BookmarkPersistence::save(entries_);
    emit entriesChanged();
    return entry;
}

void BookmarkStore::remove(const QUuid& id) {
    entries_.removeIf([&](const BookmarkEntry& entry) { return entry.id == id; });
    BookmarkPersistence::save(entries_);
    emit entriesChanged();
}

#include "bridge/BookmarkStore.h"

#include "content/ContentFiles.h"
#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/ShareWork.h"
#include "session/Models.h"

#include <QDir>
#include <QFileInfo>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {
// The most entries of a parent folder looked at to find a renamed shared folder.
constexpr int kMaxRenameScan = 10000;

struct Record {
    QByteArray path;
    dev_t device = 0;
    ino_t inode = 0;
};

std::optional<Record> readRecord(const QByteArray& bookmarkData) {
    try {
        const Json record = json::parse(bookmarkData);
        json::requireObject(record);
        Record read;
        read.path = QFile::encodeName(json::requireString(record, "path"));
        read.device = static_cast<dev_t>(json::requireInt(record, "device"));
        read.inode = static_cast<ino_t>(json::requireInt(record, "inode"));
        if (!read.path.startsWith('/'))
            return std::nullopt;
        return read;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool isTheFolder(int fd, const Record& record) {
    // (Its identity as its opening fetched it: a slow share is not asked again.)
    struct stat info {};
    return ContentFiles::statusOfOpened(fd, info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_dev == record.device && info.st_ino == record.inode;
}

// The shared folder under another name in the folder that held it.
std::shared_ptr<SharedTree> findRenamed(const Record& record) {
    const qsizetype slash = record.path.lastIndexOf('/');
    const QByteArray parentPath = slash <= 0 ? QByteArray("/") : record.path.left(slash);
    const int parent = ::open(parentPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return nullptr;
    DIR* listing = ::fdopendir(parent);
    if (!listing) {
        ::close(parent);
        return nullptr;
    }
    std::shared_ptr<SharedTree> found;
    int seen = 0;
    while (const struct dirent* item = ::readdir(listing)) {
        if (++seen > kMaxRenameScan)
            break;
        if (item->d_ino != record.inode || (item->d_type != DT_DIR && item->d_type != DT_UNKNOWN))
            continue;
        UniqueFd fd(::openat(parent, item->d_name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid() || !isTheFolder(fd.get(), record))
            continue;
        QByteArray real = SharedPaths::realPathOf(fd.get());
        if (!real.isEmpty())
            found = std::make_shared<SharedTree>(std::move(fd), std::move(real));
        break;
    }
    ::closedir(listing);
    return found;
}
} // namespace

Opened open(const QByteArray& bookmarkData) {
    Opened opened;
    const std::optional<Record> record = readRecord(bookmarkData);
    if (!record) {
        opened.refusal = Refusal::Unreadable;
        return opened;
    }
    // The path is looked up once: the folder opened there (not through a link at
    // its end) is asked its identity through its descriptor.
    std::shared_ptr<SharedTree> tree = SharedTree::openRoot(record->path);
    if (tree && !isTheFolder(tree->rootFd(), *record))
        tree.reset(); // another folder now
    if (tree)         // the share's health check uses this root, never its path
        ShareWork::rootOpened(QFile::decodeName(record->path), tree->rootFd());
    bool present = true;
    if (!tree) {
        struct stat there {};
        ShareWork::checkWanted();
        present = ::lstat(record->path.constData(), &there) == 0;
        ShareWork::callReturned();
        tree = findRenamed(*record);
    }
    if (!tree) {
        opened.refusal = present ? Refusal::Moved : Refusal::Missing;
        return opened;
    }
    const QString path = tree->rootDisplayPath();
    if (BookmarkStore::isSystemSensitiveReal(path)) {
        opened.refusal = Refusal::Sensitive;
        return opened;
    }
    Resolved resolved;
    resolved.url = QUrl::fromLocalFile(path);
    resolved.stale = tree->rootPath() != record->path;
    resolved.tree = std::move(tree);
    opened.resolved = std::move(resolved);
    return opened;
}

Resolved resolve(const QByteArray& bookmarkData) {
    Opened opened = open(bookmarkData);
    if (opened.resolved)
        return std::move(*opened.resolved);
    switch (opened.refusal) {
    case Refusal::Unreadable:
        throw BookmarkError::resolutionFailed(loc("signet illisible"));
    case Refusal::Missing:
        throw BookmarkError::resolutionFailed(QString::fromLocal8Bit(std::strerror(ENOENT)));
    case Refusal::Moved:
        throw BookmarkError::resolutionFailed(loc("le dossier a été déplacé ou remplacé"));
    case Refusal::Sensitive:
        break;
    }
    throw BookmarkError::resolutionFailed(loc("dossier système refusé pour raisons de sécurité"));
}

std::optional<Resolved> tryResolve(const QByteArray& bookmarkData) {
    try {
        return resolve(bookmarkData);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

QString recordedPath(const QByteArray& bookmarkData) {
    const std::optional<Record> record = readRecord(bookmarkData);
    return record ? QFile::decodeName(record->path) : QString();
}

bool sameFolder(const QByteArray& a, const QByteArray& b) {
    const std::optional<Record> first = readRecord(a);
    const std::optional<Record> second = readRecord(b);
    return first && second && first->device == second->device && first->inode == second->inode;
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
    return ContentFiles::isInside(path, folder);
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
        home + QStringLiteral("/.config"),
    };
}

namespace {
// Whether any form of a path is sensitive (see isSystemSensitive).
bool sensitiveForms(const QStringList& forms) {
    const QString home = QDir::cleanPath(QDir::homePath());
    // Nothing that holds the home folder or a sensitive folder can be shared either
    // (/, /home, ~/.local…): a task could reach into it.
    for (const QString& whole : {home, canonicalPrefix(home)})
        for (const QString& form : forms)
            if (inside(whole, form))
                return true;
    for (const QString& folder : BookmarkStore::sensitiveFolders()) {
        for (const QString& sensitive : {folder, canonicalPrefix(folder)})
            for (const QString& form : forms)
                if (inside(form, sensitive) || inside(sensitive, form))
                    return true;
    }
    return false;
}
} // namespace

bool BookmarkStore::isSystemSensitive(const QString& path) {
    if (path.isEmpty())
        return false;
    const QString cleaned = QDir::cleanPath(QDir(path).absolutePath());
    return sensitiveForms({cleaned, canonicalPrefix(cleaned)});
}

bool BookmarkStore::isSystemSensitiveReal(const QString& realPath) {
    return !realPath.isEmpty() && sensitiveForms({realPath});
}

BookmarkEntry BookmarkStore::add(const QString& path) {
    const BookmarkEntry entry = prepare(path);
    insert(entry);
    return entry;
}

BookmarkEntry BookmarkStore::prepare(const QString& path) {
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
    return entry;
}

void BookmarkStore::insert(const BookmarkEntry& entry) {
    entries_.append(entry);
    BookmarkPersistence::save(entries_);
    emit entriesChanged();
}

void BookmarkStore::remove(const QUuid& id) {
    QStringList removed;
    for (const BookmarkEntry& entry : std::as_const(entries_))
        if (entry.id == id)
            removed.append(BookmarkResolver::recordedPath(entry.bookmarkData));
    entries_.removeIf([&](const BookmarkEntry& entry) { return entry.id == id; });
    BookmarkPersistence::save(entries_);
    // Work on a folder no longer shared stops (unless it is shared twice).
    for (const BookmarkEntry& entry : std::as_const(entries_))
        removed.removeAll(BookmarkResolver::recordedPath(entry.bookmarkData));
    for (const QString& share : std::as_const(removed))
        if (!share.isEmpty())
            ShareWork::unshared(share);
    emit entriesChanged();
}

#include "bridge/DocumentBridgeHandler.h"

#include "bridge/BridgeService.h"
#include "bridge/TaskReports.h"
#include "content/ContentFiles.h"
#include "content/DocumentExtractor.h"
#include "content/SpotlightSearch.h"
#include "platform/Errors.h"
#include "platform/Localization.h"
#include "session/Models.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>

// (Futures handed to co_await are named: g++ 12 mishandles lambda temporaries
// inside a co_await expression.)

namespace DocumentBridgeHandler {
namespace {

using BookmarkResolver::Resolved;

// The shared folders whose access a task opened; closed when the task ends.
class FolderAccess {
public:
    FolderAccess() = default;
    FolderAccess(const FolderAccess&) = delete;
    FolderAccess& operator=(const FolderAccess&) = delete;
    ~FolderAccess() {
        for (const QUrl& folder : std::as_const(opened_))
            BookmarkResolver::stopAccessing(folder);
    }
    void open(const QUrl& folder) {
        if (BookmarkResolver::startAccessing(folder))
            opened_.append(folder);
    }

private:
    QList<QUrl> opened_;
};

void recordUndelivered(const std::optional<QString>& failure) {
    if (failure)
        BridgeService::shared().setLastErrorMessage(*failure);
}

QList<std::optional<Resolved>> resolveAll(const QList<BookmarkEntry>& entries) {
    QList<std::optional<Resolved>> resolved;
    for (const BookmarkEntry& entry : entries)
        resolved.append(BookmarkResolver::tryResolve(entry.bookmarkData));
    return resolved;
}

// The real path of a document inside the (canonical) folder. A document that is
// no longer there is judged by its nearest existing folder, so that reading it
// reports the missing file; a link that leads out of the folder, or nowhere, is
// outside.
std::optional<QString> documentInside(const QString& path, const QString& canonicalFolder) {
    if (canonicalFolder.isEmpty())
        return std::nullopt;
    if (std::optional<QString> real = ContentFiles::canonicalInside(path, canonicalFolder))
        return real;
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0 || errno != ENOENT)
        return std::nullopt; // something is there that does not lead inside
    const QString resolved = ContentFiles::resolvedPath(path);
    if (resolved.isEmpty() || !ContentFiles::isInside(resolved, canonicalFolder))
        return std::nullopt;
    return resolved;
}

// The first shared folder (in stored order) that holds the document once links
// are resolved.
std::optional<BookmarkEntry> containingEntry(const QList<BookmarkEntry>& entries, const QString& path) {
    for (const BookmarkEntry& entry : entries) {
        const std::optional<Resolved> folder = BookmarkResolver::tryResolve(entry.bookmarkData);
        if (folder && documentInside(path, ContentFiles::canonicalPath(folder->path())))
            return entry;
    }
    return std::nullopt;
}

struct ReadOutcome {
    std::optional<ExtractedContent> content;
    QString error;
};

// The read task's work off the GUI thread: the folder resolved again, access
// opened on it, the document's real path checked again and its text extracted.
ReadOutcome extractInside(const BookmarkEntry& entry, const QString& path, qint64 maxChars) {
    ReadOutcome outcome;
    try {
        const Resolved folder = BookmarkResolver::resolve(entry.bookmarkData);
        const BookmarkResolver::ScopedAccess access(folder.url);
        const std::optional<QString> real = documentInside(path, ContentFiles::canonicalPath(folder.path()));
        if (!real) {
            outcome.error = loc(kOutsideSharedFolders);
            return outcome;
        }
        outcome.content = DocumentExtractor::extract(*real, maxChars);
    } catch (...) {
        outcome.error = describeException(std::current_exception());
    }
    return outcome;
}

QList<BridgeListFoldersResult::Folder> describeFolders(const QList<BookmarkEntry>& entries) {
    QList<BridgeListFoldersResult::Folder> folders;
    for (const BookmarkEntry& entry : entries) {
        const std::optional<Resolved> resolved = BookmarkResolver::tryResolve(entry.bookmarkData);
        if (!resolved)
            continue;
        bool remote = false;
        {
            const BookmarkResolver::ScopedAccess access(resolved->url);
            remote = ContentFiles::isOnRemoteVolume(resolved->path());
        }
        BridgeListFoldersResult::Folder folder;
        folder.id = uuidText(entry.id);
        folder.name = entry.displayName;
        folder.path_display = ContentFiles::homeDisplay(resolved->path());
        folder.is_remote = remote;
        folders.append(folder);
    }
    return folders;
}

struct ListedEntry {
    QString name;
    QString path;
    bool isDirectory = false;
    qint64 size = 0;
    std::optional<QDateTime> modifiedAt;
};

struct Listing {
    bool escapes = false;
    std::optional<QString> error; // the description of a listing that failed
    QList<ListedEntry> entries;   // sorted by name
};

// Whether the target, links resolved, lies outside the folder. A target that does
// not exist is judged by its nearest existing ancestor.
bool escapes(const QString& target, const QString& canonicalFolder) {
    const QString resolved = ContentFiles::resolvedPath(target);
    return resolved.isEmpty() || !ContentFiles::isInside(resolved, canonicalFolder);
}

std::optional<QDateTime> modificationDate(const struct stat& info) {
    const qint64 ms = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    const QDateTime date = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    if (!date.isValid())
        return std::nullopt;
    return date;
}

// The visible entries of one directory, without descending. A link is listed only
// when it leads to something inside the shared folder.
Listing listDirectory(const QString& target, const QString& folderPath) {
    Listing listing;
    const QString canonicalFolder = ContentFiles::canonicalPath(folderPath);
    if (canonicalFolder.isEmpty() || escapes(target, canonicalFolder)) {
        listing.escapes = true;
        return listing;
    }
    DIR* directory = ::opendir(QFile::encodeName(target).constData());
    if (!directory) {
        listing.error = ContentFiles::fileErrorDescription(errno, target, true);
        return listing;
    }
    while (const struct dirent* item = ::readdir(directory)) {
        const QString name = QFile::decodeName(item->d_name);
        if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
            continue; // ".", ".." and hidden entries
        ListedEntry entry;
        entry.name = name;
        entry.path = target + QLatin1Char('/') + name;
        const QByteArray native = QFile::encodeName(entry.path);
        struct stat info {};
        if (::lstat(native.constData(), &info) == 0) {
            bool readable = true;
            if (S_ISLNK(info.st_mode)) {
                if (!ContentFiles::canonicalInside(entry.path, canonicalFolder))
                    continue; // a way out of the shared folder
                readable = ::stat(native.constData(), &info) == 0;
            }
            if (readable) {
                entry.isDirectory = S_ISDIR(info.st_mode);
                entry.size = entry.isDirectory ? 0 : qint64(info.st_size);
                entry.modifiedAt = modificationDate(info);
            }
        }
        listing.entries.append(entry);
    }
    ::closedir(directory);

    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(
        listing.entries.begin(), listing.entries.end(),
        [&](const ListedEntry& a, const ListedEntry& b) { return collator.compare(a.name, b.name) < 0; });
    return listing;
}

} // namespace

QList<QUrl> rootsForHints(const QList<QUrl>& roots, const std::optional<QStringList>& hints) {
    if (!hints || hints->isEmpty())
        return roots;
    QList<QUrl> kept;
    for (const QUrl& root : roots) {
        const QString path = root.toLocalFile();
        // (An empty hint is found nowhere.)
        if (std::any_of(hints->cbegin(), hints->cend(), [&](const QString& hint) {
                return !hint.isEmpty() && path.contains(hint, Qt::CaseInsensitive);
            }))
            kept.append(root);
    }
    return kept.isEmpty() ? roots : kept;
}

std::optional<QStringList> subPathComponents(const QString& subPath) {
    if (subPath.startsWith(QLatin1Char('/')))
        return std::nullopt;
    const QStringList components = subPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (components.contains(QStringLiteral("..")))
        return std::nullopt;
    return components;
}

bool isUuidText(const QString& text) {
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    return pattern.match(text).hasMatch();
}

QString listedFileMime(const QString& name) {
    static const QMimeDatabase database;
    const QString extension = QFileInfo(name).suffix().toLower();
    if (extension.isEmpty())
        return QStringLiteral("application/octet-stream");
    const QMimeType type =
        database.mimeTypeForFile(QStringLiteral("x.") + extension, QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault())
        return QStringLiteral("application/octet-stream");
    return type.name();
}

QCoro::Task<> handleSearch(const BridgeTask& taskRef, const BridgeTask::SearchArgs& argsRef,
                           const APIService& apiRef) {
    const BridgeTask task = taskRef;
    const BridgeTask::SearchArgs args = argsRef;
    const APIService api = apiRef;
    FolderAccess access; // released after the update, whatever happens
    std::optional<QString> failure;
    try {
        const QList<BookmarkEntry> entries = BookmarkPersistence::load();
        if (entries.isEmpty()) {
            co_await TaskReports::error(api, task.id, loc(kNoSharedFolder));
            co_return;
        }
        const QFuture<QList<std::optional<Resolved>>> resolving =
            QtConcurrent::run([entries] { return resolveAll(entries); });
        const QList<std::optional<Resolved>> resolved = co_await resolving;
        QList<QUrl> roots;
        for (const std::optional<Resolved>& folder : resolved) {
            if (!folder)
                continue;
            access.open(folder->url);
            roots.append(folder->url);
        }
        const QList<QUrl> searched = rootsForHints(roots, args.folderHints);
        const qint64 limit = std::max<qint64>(0, args.limit.value_or(kDefaultSearchLimit));
        const QList<SearchResult> results =
            co_await SpotlightSearch::search(args.query, searched, limit, kSearchTimeout);

        BridgeSearchResult result;
        for (const SearchResult& found : results) {
            BridgeSearchResult::Item item;
            item.id = newUuidText();
            BridgeService::shared().idCache().put(item.id, found.url.toLocalFile());
            item.name = found.name;
            item.mime = found.mime;
            item.size = found.size;
            if (found.modifiedAt)
                item.modified_at = ContentFiles::isoDateText(*found.modifiedAt);
            item.parent = found.parentDisplay;
            item.is_remote = found.isRemote;
            result.items.append(item);
        }
        recordUndelivered(co_await TaskReports::success(api, task.id, result.toJson()));
    } catch (...) {
        failure = describeException(std::current_exception());
    }
    if (failure)
        co_await TaskReports::error(api, task.id, *failure);
}

QCoro::Task<> handleRead(const BridgeTask& taskRef, const BridgeTask::ReadArgs& argsRef,
                         const APIService& apiRef) {
    const BridgeTask task = taskRef;
    const BridgeTask::ReadArgs args = argsRef;
    const APIService api = apiRef;
    std::optional<QString> failure;
    try {
        const std::optional<QString> path = BridgeService::shared().idCache().get(args.documentId);
        if (!path) {
            co_await TaskReports::error(api, task.id, loc(kUnknownDocument));
            co_return;
        }
        const QList<BookmarkEntry> entries = BookmarkPersistence::load();
        const QString document = *path;
        const QFuture<std::optional<BookmarkEntry>> finding =
            QtConcurrent::run([entries, document] { return containingEntry(entries, document); });
        const std::optional<BookmarkEntry> entry = co_await finding;
        if (!entry) {
            co_await TaskReports::error(api, task.id, loc(kOutsideSharedFolders));
            co_return;
        }
        const qint64 maxChars = std::max<qint64>(0, args.maxChars.value_or(kDefaultMaxChars));
        const BookmarkEntry folder = *entry;
        const QFuture<ReadOutcome> extracting = QtConcurrent::run(
            [folder, document, maxChars] { return extractInside(folder, document, maxChars); });
        const ReadOutcome outcome = co_await extracting;
        if (!outcome.content) {
            co_await TaskReports::error(api, task.id, outcome.error);
            co_return;
        }
        BridgeReadResult result;
        result.content = outcome.content->text;
        result.truncated = outcome.content->truncated;
        result.bytes_read = outcome.content->bytesRead;
        recordUndelivered(co_await TaskReports::success(api, task.id, result.toJson()));
    } catch (...) {
        failure = describeException(std::current_exception());
    }
    if (failure)
        co_await TaskReports::error(api, task.id, *failure);
}

QCoro::Task<> handleListFolders(const BridgeTask& taskRef, const APIService& apiRef) {
    const BridgeTask task = taskRef;
    const APIService api = apiRef;
    std::optional<QString> failure;
    try {
        const QList<BookmarkEntry> entries = BookmarkPersistence::load();
        const QFuture<QList<BridgeListFoldersResult::Folder>> describing =
            QtConcurrent::run([entries] { return describeFolders(entries); });
        BridgeListFoldersResult result;
        result.folders = co_await describing;
        recordUndelivered(co_await TaskReports::success(api, task.id, result.toJson()));
    } catch (...) {
        failure = describeException(std::current_exception());
    }
    if (failure)
        co_await TaskReports::error(api, task.id, *failure);
}

QCoro::Task<> handleListDir(const BridgeTask& taskRef, const BridgeTask::ListDirArgs& argsRef,
                            const APIService& apiRef) {
    const BridgeTask task = taskRef;
    const BridgeTask::ListDirArgs args = argsRef;
    const APIService api = apiRef;
    FolderAccess access; // released after the update, whatever happens
    std::optional<QString> failure;
    try {
        if (!isUuidText(args.folderId)) {
            co_await TaskReports::error(api, task.id, loc(kMalformedFolderId));
            co_return;
        }
        const QUuid folderId = QUuid::fromString(args.folderId);
        const QList<BookmarkEntry> entries = BookmarkPersistence::load();
        const auto entry =
            std::find_if(entries.cbegin(), entries.cend(),
                         [&](const BookmarkEntry& candidate) { return candidate.id == folderId; });
        if (entry == entries.cend()) {
            co_await TaskReports::error(api, task.id, loc(kFolderNoLongerShared));
            co_return;
        }
        const QByteArray bookmark = entry->bookmarkData;
        const QFuture<std::optional<Resolved>> resolving =
            QtConcurrent::run([bookmark] { return BookmarkResolver::tryResolve(bookmark); });
        const std::optional<Resolved> folder = co_await resolving;
        if (!folder) {
            co_await TaskReports::error(api, task.id, loc(kUnresolvableBookmark));
            co_return;
        }
        const std::optional<QStringList> components = subPathComponents(args.subPath.value_or(QString()));
        if (!components) {
            co_await TaskReports::error(api, task.id, loc(kInvalidSubPath));
            co_return;
        }
        const QString subPath = components->join(QLatin1Char('/'));

        access.open(folder->url);
        QString target = folder->path();
        for (const QString& component : *components)
            target += QLatin1Char('/') + component;
        const QString folderPath = folder->path();
        const QFuture<Listing> listing =
            QtConcurrent::run([target, folderPath] { return listDirectory(target, folderPath); });
        const Listing listed = co_await listing;
        if (listed.escapes) {
            co_await TaskReports::error(api, task.id, loc(kSubPathEscapes));
            co_return;
        }
        if (listed.error) {
            co_await TaskReports::error(api, task.id, loc(kCannotListFolder) + *listed.error);
            co_return;
        }

        BridgeListDirResult result;
        for (const ListedEntry& found : listed.entries) {
            BridgeListDirResult::Item item;
            item.id = newUuidText();
            BridgeService::shared().idCache().put(item.id, found.path);
            item.name = found.name;
            item.type = found.isDirectory ? QStringLiteral("folder") : QStringLiteral("file");
            item.mime = found.isDirectory ? QStringLiteral("inode/directory") : listedFileMime(found.name);
            item.size = found.size;
            if (found.modifiedAt)
                item.modified_at = ContentFiles::isoDateText(*found.modifiedAt);
            item.sub_path = subPath.isEmpty() ? found.name : subPath + QLatin1Char('/') + found.name;
            result.items.append(item);
        }
        result.folder_id = args.folderId;
        result.sub_path = subPath;
        recordUndelivered(co_await TaskReports::success(api, task.id, result.toJson()));
    } catch (...) {
        failure = describeException(std::current_exception());
    }
    if (failure)
        co_await TaskReports::error(api, task.id, *failure);
}

} // namespace DocumentBridgeHandler

#include "bridge/DocumentBridgeHandler.h"

#include "bridge/BridgeService.h"
#include "bridge/SharedDocuments.h"
#include "bridge/TaskReports.h"
#include "content/ContentFiles.h"
#include "content/Decoding.h"
#include "content/DocumentExtractor.h"
#include "content/SpotlightSearch.h"
#include "platform/Errors.h"
#include "platform/Localization.h"
#include "platform/ShareWork.h"
#include "session/Models.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QUuid>

#include <QCoro/QCoroFuture>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

struct ReadOutcome {
    std::optional<ExtractedContent> content;
    QString error;
};

// The read task's work on the share's threads: the text extracted from the
// document opened again through its shared folder (which must still be the folder
// that was shared), inside the folder's access.
ReadOutcome extractInside(const SharedDocuments::Lookup& lookup, qint64 maxChars) {
    ReadOutcome outcome;
    try {
        if (!lookup.document) {
            outcome.error = lookup.outside
                                ? loc(kOutsideSharedFolders)
                                : DocumentExtractor::openFailure(lookup.error, lookup.name).description();
            return outcome;
        }
        const SharedDocuments::Document& document = *lookup.document;
        const BookmarkResolver::ScopedAccess access(document.folder.url);
        outcome.content = DocumentExtractor::extract(document.readPath(), maxChars, document.name);
    } catch (...) {
        outcome.error = describeException(std::current_exception());
    }
    return outcome;
}

// One shared folder as list_folders shows it; nothing when it does not resolve.
std::optional<BridgeListFoldersResult::Folder> describeFolder(const BookmarkEntry& entry) {
    const std::optional<Resolved> resolved = BookmarkResolver::tryResolve(entry.bookmarkData);
    if (!resolved)
        return std::nullopt;
    bool remote = false;
    {
        const BookmarkResolver::ScopedAccess access(resolved->url);
        remote = ContentFiles::isOnRemoteVolume(resolved->tree->rootFd()); // no call on the share
    }
    BridgeListFoldersResult::Folder folder;
    folder.id = uuidText(entry.id);
    folder.name = entry.displayName;
    folder.path_display = ContentFiles::homeDisplay(resolved->path());
    folder.is_remote = remote;
    return folder;
}

// The folders named in a result as not answering.
QList<BridgeSilentFolder> silentFolders(const QList<BookmarkEntry>& entries) {
    QList<BridgeSilentFolder> folders;
    for (const BookmarkEntry& entry : entries)
        folders.append(BridgeSilentFolder{uuidText(entry.id), entry.displayName});
    return folders;
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
    return SharedPaths::components(subPath);
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
        const ShareWork::Purpose purpose = TaskReports::sharePurpose(api);
        // Every share is asked at once; one that does not answer in time is left out
        // and named in the result.
        QCoro::Task<SharedDocuments::Resolutions> resolving = SharedDocuments::resolveAll(entries, purpose);
        const SharedDocuments::Resolutions resolved = co_await std::move(resolving);
        QList<QUrl> roots;
        for (const std::optional<Resolved>& folder : resolved.folders) {
            if (!folder)
                continue;
            access.open(folder->url);
            roots.append(folder->url);
        }
        const QList<QUrl> searched = rootsForHints(roots, args.folderHints);
        const qint64 limit = std::max<qint64>(0, args.limit.value_or(kDefaultSearchLimit));
        const SearchOutcome outcome =
            co_await SpotlightSearch::searchReporting(args.query, searched, limit, kSearchTimeout, purpose);

        BridgeSearchResult result;
        // The folders that did not answer, before or during the search, in stored order.
        QList<BookmarkEntry> silent;
        for (qsizetype i = 0; i < entries.size(); ++i) {
            const std::optional<Resolved>& folder = resolved.folders.at(i);
            if (resolved.silent.contains(entries.at(i)) ||
                (folder && outcome.notAnswering.contains(folder->url)))
                silent.append(entries.at(i));
        }
        result.not_answering = silentFolders(silent);
        QList<std::pair<QString, QByteArray>> ids;
        for (const SearchResult& found : outcome.results) {
            BridgeSearchResult::Item item;
            item.id = newUuidText();
            ids.append({item.id, found.nativePath()});
            item.name = found.name;
            item.mime = found.mime;
            item.size = found.size;
            if (found.modifiedAt)
                item.modified_at = ContentFiles::isoDateText(*found.modifiedAt);
            item.parent = found.parentDisplay;
            item.is_remote = found.isRemote;
            result.items.append(item);
        }
        // Ids of a task already answered (at its limit) are never handed out.
        if (TaskReports::isOpen(api))
            BridgeService::shared().idCache().putAnswer(ids);
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
        const std::optional<QByteArray> path = BridgeService::shared().idCache().getNative(args.documentId);
        if (!path) {
            co_await TaskReports::error(api, task.id, loc(kUnknownDocument));
            co_return;
        }
        const QList<BookmarkEntry> entries = BookmarkPersistence::load();
        const QByteArray document = *path;
        const qint64 maxChars = std::max<qint64>(0, args.maxChars.value_or(kDefaultMaxChars));
        const ShareWork::Purpose purpose = TaskReports::sharePurpose(api);
        QCoro::Task<SharedDocuments::Lookup> locating = SharedDocuments::locate(entries, document, purpose);
        const SharedDocuments::Lookup lookup = co_await std::move(locating);
        const QStringList shares =
            lookup.document ? QStringList{SharedDocuments::shareOf(lookup.document->entry)} : QStringList{};
        QCoro::Task<ReadOutcome> extracting = ShareWork::run(
            shares,
            [lookup, maxChars, deadline = api.taskDeadline] {
                const Decoding::TaskDeadline within(deadline);
                return extractInside(lookup, maxChars);
            },
            purpose);
        const ReadOutcome outcome = co_await std::move(extracting);
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
        // Each folder on its share's lane, all at once; one that does not answer in
        // time is left out and named in the result.
        const ShareWork::Purpose purpose = TaskReports::sharePurpose(api);
        std::vector<QCoro::Task<std::optional<BridgeListFoldersResult::Folder>>> describing;
        for (const BookmarkEntry& entry : entries)
            describing.push_back(ShareWork::run(
                QStringList{SharedDocuments::shareOf(entry)}, [entry] { return describeFolder(entry); },
                purpose));
        BridgeListFoldersResult result;
        QList<BookmarkEntry> silent;
        for (std::size_t i = 0; i < describing.size(); ++i) {
            std::optional<BridgeListFoldersResult::Folder> folder;
            try {
                folder = co_await std::move(describing[i]);
            } catch (const ShareWork::NotAnswering&) {
                silent.append(entries.at(qsizetype(i)));
            }
            if (folder)
                result.folders.append(*folder);
        }
        result.not_answering = silentFolders(silent);
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
        const QStringList shares{SharedDocuments::shareOf(*entry)};
        const ShareWork::Purpose purpose = TaskReports::sharePurpose(api);
        QCoro::Task<std::optional<Resolved>> resolving = SharedDocuments::resolveOne(*entry, purpose);
        const std::optional<Resolved> folder = co_await std::move(resolving);
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
        const std::shared_ptr<SharedTree> tree = folder->tree;
        const QStringList parts = *components;
        QCoro::Task<SharedDocuments::Listing> listing = ShareWork::run(
            shares, [tree, parts] { return SharedDocuments::list(*tree, parts); }, purpose);
        const SharedDocuments::Listing listed = co_await std::move(listing);
        if (listed.escapes) {
            co_await TaskReports::error(api, task.id, loc(kSubPathEscapes));
            co_return;
        }
        if (listed.error) {
            co_await TaskReports::error(api, task.id, loc(kCannotListFolder) + *listed.error);
            co_return;
        }

        BridgeListDirResult result;
        QList<std::pair<QString, QByteArray>> ids;
        for (const SharedDocuments::ListedEntry& found : listed.entries) {
            BridgeListDirResult::Item item;
            item.id = newUuidText();
            ids.append({item.id, found.path});
            item.name = found.name;
            item.type = found.isDirectory ? QStringLiteral("folder") : QStringLiteral("file");
            item.mime = found.isDirectory ? QStringLiteral("inode/directory") : listedFileMime(found.name);
            item.size = found.size;
            if (found.modifiedAt)
                item.modified_at = ContentFiles::isoDateText(*found.modifiedAt);
            item.sub_path = subPath.isEmpty() ? found.name : subPath + QLatin1Char('/') + found.name;
            result.items.append(item);
        }
        // Every id of the answer resolves right after it, however long the listing;
        // a listing come back after its task was answered (at its limit) hands out
        // nothing, and so leaves the ids of the listings answered since alone.
        if (TaskReports::isOpen(api))
            BridgeService::shared().idCache().putAnswer(ids);
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

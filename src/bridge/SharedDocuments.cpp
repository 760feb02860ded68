#include "bridge/SharedDocuments.h"

#include "content/ContentFiles.h"
#include "platform/ShareWork.h"

#include <QCollator>
#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace SharedDocuments {
namespace {

// The path with its links resolved; a missing last component is kept as it is.
QByteArray realPath(const QByteArray& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.constData(), buffer))
        return QByteArray(buffer);
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0)
        return {};
    if (!::realpath(path.left(slash).constData(), buffer))
        return {};
    const QByteArray parent(buffer);
    return (parent == "/" ? QByteArray() : parent) + path.mid(slash);
}

std::optional<QDateTime> modificationDate(const struct stat& info) {
    const qint64 ms = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    const QDateTime date = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    if (!date.isValid())
        return std::nullopt;
    return date;
}

bool leadsOut(int error) {
    return error == EXDEV || error == EINVAL || error == ELOOP;
}

// The document at `candidate` in one shared folder: `outside` when the folder does
// not hold it (or it leads out of the folder).
Lookup openInFolder(const BookmarkEntry& entry, const BookmarkResolver::Resolved& folder,
                    const QByteArray& candidate, const QString& name) {
    Lookup lookup;
    lookup.name = name;
    const std::optional<QByteArray> relative = folder.tree->relativeOf(candidate);
    if (!relative)
        return lookup;
    SharedTree::Opened opened = folder.tree->open(*relative, O_RDONLY);
    if (!opened.fd.valid()) {
        if (!leadsOut(opened.error)) {
            lookup.outside = false;
            lookup.error = opened.error;
        }
        return lookup;
    }
    Document document;
    document.entry = entry;
    document.folder = folder;
    // (What the opening fetched: a slow share is not asked again.)
    if (ContentFiles::statusOfOpened(opened.fd.get(), document.info) != 0) {
        lookup.outside = false;
        lookup.error = errno;
        return lookup;
    }
    document.fd = std::make_shared<UniqueFd>(std::move(opened.fd));
    document.realPath = opened.realRelative.isEmpty() ? folder.tree->rootPath()
                                                      : folder.tree->rootPath() + '/' + opened.realRelative;
    document.name = name;
    lookup.outside = false;
    lookup.document = std::move(document);
    return lookup;
}

// Whether the path may name a document at all.
bool acceptablePath(const QByteArray& nativePath) {
    return nativePath.startsWith('/') && !SharedPaths::hasControlCharacters(nativePath);
}

QString nameOf(const QByteArray& nativePath) {
    return SharedPaths::displayName(nativePath.mid(nativePath.lastIndexOf('/') + 1));
}

} // namespace

Lookup open(const QList<BookmarkEntry>& entries, const QByteArray& nativePath) {
    Lookup lookup;
    lookup.name = nameOf(nativePath);
    if (!acceptablePath(nativePath))
        return lookup;
    QList<std::optional<BookmarkResolver::Resolved>> folders;
    for (const BookmarkEntry& entry : entries)
        folders.append(BookmarkResolver::open(entry.bookmarkData).resolved);

    QList<QByteArray> candidates{nativePath};
    const QByteArray resolved = realPath(nativePath);
    if (!resolved.isEmpty() && resolved != nativePath)
        candidates.append(resolved);
    for (const QByteArray& candidate : candidates) {
        for (qsizetype i = 0; i < entries.size(); ++i) {
            if (!folders.at(i))
                continue;
            Lookup found = openInFolder(entries.at(i), *folders.at(i), candidate, lookup.name);
            if (!found.outside)
                return found;
        }
    }
    return lookup;
}

QString shareOf(const BookmarkEntry& entry) {
    const QString recorded = BookmarkResolver::recordedPath(entry.bookmarkData);
    return recorded.isEmpty() ? entry.id.toString(QUuid::WithoutBraces) : recorded;
}

QStringList sharesHolding(const QList<BookmarkEntry>& entries, const QByteArray& nativePath) {
    QStringList shares;
    const QString path = QFile::decodeName(nativePath);
    for (const BookmarkEntry& entry : entries) {
        const QString share = shareOf(entry);
        if (ContentFiles::isInside(path, share))
            shares.append(share);
    }
    if (shares.isEmpty())
        shares.append(path);
    return shares;
}

QCoro::Task<std::optional<BookmarkResolver::Resolved>> resolveOne(BookmarkEntry entry,
                                                                  ShareWork::Purpose purpose) {
    const QByteArray bookmark = entry.bookmarkData;
    QCoro::Task<std::optional<BookmarkResolver::Resolved>> resolving = ShareWork::run(
        QStringList{shareOf(entry)}, [bookmark] { return BookmarkResolver::tryResolve(bookmark); },
        std::move(purpose));
    co_return co_await std::move(resolving);
}

QCoro::Task<Resolutions> resolveAll(QList<BookmarkEntry> entries, ShareWork::Purpose purpose) {
    // Every folder is asked at once; each answer is waited for in turn (a silent
    // share is written off within ShareWork::kSilence, all of them together).
    std::vector<QCoro::Task<std::optional<BookmarkResolver::Resolved>>> asked;
    asked.reserve(entries.size());
    for (const BookmarkEntry& entry : std::as_const(entries))
        asked.push_back(resolveOne(entry, purpose));
    Resolutions resolutions;
    for (std::size_t i = 0; i < asked.size(); ++i) {
        std::optional<BookmarkResolver::Resolved> folder;
        bool silent = false;
        try {
            folder = co_await std::move(asked[i]);
        } catch (const ShareWork::NotAnswering&) {
            silent = true;
        } catch (...) {
            folder.reset(); // as if it did not resolve
        }
        resolutions.folders.append(folder);
        if (silent)
            resolutions.silent.append(entries.at(qsizetype(i)));
    }
    co_return resolutions;
}

QCoro::Task<QList<std::optional<BookmarkResolver::Resolved>>> resolveEach(QList<BookmarkEntry> entries,
                                                                          ShareWork::Purpose purpose) {
    QCoro::Task<Resolutions> resolving = resolveAll(std::move(entries), std::move(purpose));
    const Resolutions resolutions = co_await std::move(resolving);
    co_return resolutions.folders;
}

namespace {
struct FolderAnswer {
    std::optional<BookmarkResolver::Resolved> folder;
    Lookup lookup;
    QByteArray realPath; // where the document leads, when this folder holds its path but not it
};
} // namespace

QCoro::Task<Lookup> locate(QList<BookmarkEntry> entries, QByteArray nativePath, ShareWork::Purpose purpose) {
    Lookup outside;
    outside.name = nameOf(nativePath);
    if (!acceptablePath(nativePath))
        co_return outside;
    const QString name = outside.name;
    const QString textual = QFile::decodeName(nativePath);

    // Each folder looks for the path on its own share's lane, all at once. Whether
    // a folder may hold the document is known from the path it was shared at: it
    // holds it by that path, or (renamed since, within the folder that held it)
    // under another name; otherwise only through a link from another share.
    enum Relevance { ThroughLinkOnly, UnderAnotherName, ByItsPath };
    std::vector<Relevance> relevance;
    std::vector<QCoro::Task<FolderAnswer>> asked;
    for (const BookmarkEntry& entry : std::as_const(entries)) {
        const QString recorded = BookmarkResolver::recordedPath(entry.bookmarkData);
        const qsizetype slash = recorded.lastIndexOf(QLatin1Char('/'));
        const QString parent = slash <= 0 ? QStringLiteral("/") : recorded.left(slash);
        relevance.push_back(recorded.isEmpty() || ContentFiles::isInside(textual, recorded) ? ByItsPath
                            : ContentFiles::isInside(textual, parent)                       ? UnderAnotherName
                                                                      : ThroughLinkOnly);
        asked.push_back(ShareWork::run(
            QStringList{shareOf(entry)},
            [entry, nativePath, name] {
                FolderAnswer answer;
                answer.lookup.name = name;
                answer.folder = BookmarkResolver::tryResolve(entry.bookmarkData);
                if (!answer.folder)
                    return answer;
                answer.lookup = openInFolder(entry, *answer.folder, nativePath, name);
                // A link from this folder into another shared folder: where it leads.
                if (answer.lookup.outside && answer.folder->tree->relativeOf(nativePath)) {
                    const QByteArray real = realPath(nativePath);
                    if (!real.isEmpty() && real != nativePath)
                        answer.realPath = real;
                }
                return answer;
            },
            purpose));
    }
    QList<std::optional<FolderAnswer>> answers(entries.size());
    std::vector<bool> heard(entries.size(), false);
    bool silent = false;
    // Waits for the answers of the folders of one relevance, in stored order; the
    // first that holds the document is the answer.
    const auto hear = [&](Relevance wanted) -> QCoro::Task<std::optional<Lookup>> {
        for (qsizetype i = 0; i < entries.size(); ++i) {
            if (heard[i] || relevance[i] != wanted)
                continue;
            heard[i] = true;
            try {
                answers[i] = co_await std::move(asked[i]);
            } catch (const ShareWork::NotAnswering&) {
                silent = true;
                continue;
            }
            if (!answers[i]->lookup.outside)
                co_return answers[i]->lookup;
        }
        co_return std::nullopt;
    };
    // The folders whose path holds the document's first: the first that holds it
    // answers at once, whatever the others (a hung share among them) are doing.
    // Then those that may hold it under another name. A folder that can only hold
    // it through a link is waited for only when a link leads elsewhere: a document
    // whose own folder is gone is outside, whatever a hung share elsewhere does.
    for (const Relevance wanted : {ByItsPath, UnderAnotherName}) {
        QCoro::Task<std::optional<Lookup>> hearing = hear(wanted);
        const std::optional<Lookup> found = co_await std::move(hearing);
        if (found)
            co_return *found;
    }
    const auto leadsElsewhere = [&] {
        return std::any_of(answers.cbegin(), answers.cend(), [](const std::optional<FolderAnswer>& answer) {
            return answer && !answer->realPath.isEmpty();
        });
    };
    if (leadsElsewhere()) {
        QCoro::Task<std::optional<Lookup>> hearing = hear(ThroughLinkOnly);
        const std::optional<Lookup> found = co_await std::move(hearing);
        if (found)
            co_return *found;
    }
    QByteArray real;
    for (const std::optional<FolderAnswer>& answer : std::as_const(answers)) {
        if (answer && real.isEmpty())
            real = answer->realPath;
    }
    if (!real.isEmpty()) {
        std::vector<std::optional<QCoro::Task<Lookup>>> second;
        for (qsizetype i = 0; i < entries.size(); ++i) {
            if (!answers.at(i) || !answers.at(i)->folder) {
                second.emplace_back(std::nullopt);
                continue;
            }
            const BookmarkEntry entry = entries.at(i);
            const BookmarkResolver::Resolved folder = *answers.at(i)->folder;
            second.emplace_back(ShareWork::run(
                QStringList{shareOf(entry)},
                [entry, folder, real, name] { return openInFolder(entry, folder, real, name); }, purpose));
        }
        std::optional<Lookup> found;
        for (auto& answer : second) {
            if (!answer)
                continue;
            try {
                Lookup lookup = co_await std::move(*answer);
                if (!found && !lookup.outside)
                    found = std::move(lookup);
            } catch (const ShareWork::NotAnswering&) {
                silent = true;
            }
        }
        if (found)
            co_return *found;
    }
    if (silent)
        throw ShareWork::NotAnswering();
    co_return outside;
}

// The visible entries of one folder below a shared folder, without descending,
// read through the shared folder's descriptor. A link is listed only when it
// leads to something inside the shared folder.
Listing list(const SharedTree& tree, const QStringList& components) {
    Listing listing;
    const QByteArray relative = QFile::encodeName(components.join(QLatin1Char('/')));
    SharedTree::Opened opened = tree.open(relative, O_RDONLY | O_DIRECTORY);
    if (!opened.fd.valid()) {
        if (leadsOut(opened.error))
            listing.escapes = true;
        else
            listing.error = ContentFiles::fileErrorDescription(
                opened.error, components.isEmpty() ? tree.rootDisplayPath() : components.last(), true);
        return listing;
    }
    FolderReader directory(std::move(opened.fd));
    const int folderFd = directory.fd();
    const QByteArray base = opened.realRelative.isEmpty() ? QByteArray() : opened.realRelative + '/';
    // One call per entry: on a FUSE mount its lookup brings its status.
    ContentFiles::VolumeFacts volumes;
    const int fresh = volumes.freshStatusFlags(folderFd);
    while (true) {
        // Each entry costs calls on the share: the listing stops there once it is no
        // longer wanted (its task answered, its folder unshared).
        ShareWork::checkWanted();
        const std::optional<FolderReader::Entry> item = directory.next();
        ShareWork::callReturned();
        if (!item)
            break;
        const QByteArray name(item->name);
        if (!SharedPaths::isVisibleName(name))
            continue; // ".", "..", hidden entries, control characters
        ListedEntry entry;
        entry.name = SharedPaths::displayName(name);
        entry.path = tree.rootPath() + '/' + base + name;
        struct stat info {};
        const bool stated =
            ContentFiles::statusAt(folderFd, name.constData(), AT_SYMLINK_NOFOLLOW | fresh, info) == 0;
        ShareWork::callReturned();
        if (stated) {
            bool readable = true;
            if (S_ISLNK(info.st_mode)) {
                const SharedTree::Opened target = tree.open(base + name, O_PATH);
                if (!target.fd.valid())
                    continue; // a way out of the shared folder, or nowhere
                readable = ::fstat(target.fd.get(), &info) == 0;
            }
            if (readable) {
                entry.isDirectory = S_ISDIR(info.st_mode);
                entry.size = entry.isDirectory ? 0 : qint64(info.st_size);
                entry.modifiedAt = modificationDate(info);
            }
        }
        listing.entries.append(entry);
    }

    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(
        listing.entries.begin(), listing.entries.end(),
        [&](const ListedEntry& a, const ListedEntry& b) { return collator.compare(a.name, b.name) < 0; });
    return listing;
}

} // namespace SharedDocuments

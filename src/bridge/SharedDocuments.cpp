#include "bridge/SharedDocuments.h"

#include "content/ContentFiles.h"

#include <QCollator>
#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

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

} // namespace

Lookup open(const QList<BookmarkEntry>& entries, const QByteArray& nativePath) {
    Lookup lookup;
    const qsizetype slash = nativePath.lastIndexOf('/');
    lookup.name = SharedPaths::displayName(nativePath.mid(slash + 1));
    if (!nativePath.startsWith('/') || SharedPaths::hasControlCharacters(nativePath))
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
            const std::optional<BookmarkResolver::Resolved>& folder = folders.at(i);
            if (!folder)
                continue;
            const std::optional<QByteArray> relative = folder->tree->relativeOf(candidate);
            if (!relative)
                continue;
            SharedTree::Opened opened = folder->tree->open(*relative, O_RDONLY);
            if (!opened.fd.valid()) {
                if (leadsOut(opened.error))
                    continue; // leads out of this folder
                lookup.outside = false;
                lookup.error = opened.error;
                return lookup;
            }
            Document document;
            document.entry = entries.at(i);
            document.folder = *folder;
            if (::fstat(opened.fd.get(), &document.info) != 0) {
                lookup.outside = false;
                lookup.error = errno;
                return lookup;
            }
            document.fd = std::make_shared<UniqueFd>(std::move(opened.fd));
            document.realPath = opened.realRelative.isEmpty()
                                    ? folder->tree->rootPath()
                                    : folder->tree->rootPath() + '/' + opened.realRelative;
            document.name = lookup.name;
            lookup.outside = false;
            lookup.document = std::move(document);
            return lookup;
        }
    }
    return lookup;
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
    const int folderFd = opened.fd.get();
    DIR* directory = ::fdopendir(opened.fd.release());
    if (!directory) {
        listing.error = ContentFiles::fileErrorDescription(errno, tree.rootDisplayPath(), true);
        ::close(folderFd);
        return listing;
    }
    const QByteArray base = opened.realRelative.isEmpty() ? QByteArray() : opened.realRelative + '/';
    while (const struct dirent* item = ::readdir(directory)) {
        const QByteArray name(item->d_name);
        if (!SharedPaths::isVisibleName(name))
            continue; // ".", "..", hidden entries, control characters
        ListedEntry entry;
        entry.name = SharedPaths::displayName(name);
        entry.path = tree.rootPath() + '/' + base + name;
        struct stat info {};
        if (::fstatat(folderFd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
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
    ::closedir(directory);

    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(
        listing.entries.begin(), listing.entries.end(),
        [&](const ListedEntry& a, const ListedEntry& b) { return collator.compare(a.name, b.name) < 0; });
    return listing;
}

} // namespace SharedDocuments

#include "content/FileManagerSearch.h"

#include "content/ContentFiles.h"
#include "content/SharedTree.h"
#include "platform/ShareWork.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QMimeDatabase>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace FileManagerSearch {

QString mimeFromUTI(const QString& type) {
    static const QHash<QString, QString> table = {
        {QStringLiteral("application/pdf"), QStringLiteral("application/pdf")},
        {QStringLiteral("text/plain"), QStringLiteral("text/plain")},
        {QStringLiteral("application/rtf"), QStringLiteral("text/rtf")},
        {QStringLiteral("text/rtf"), QStringLiteral("text/rtf")},
        {QStringLiteral("text/markdown"), QStringLiteral("text/markdown")},
        {QStringLiteral("text/x-markdown"), QStringLiteral("text/markdown")},
        {QStringLiteral("text/html"), QStringLiteral("text/html")},
        {QStringLiteral("application/json"), QStringLiteral("application/json")},
        {QStringLiteral("application/xml"), QStringLiteral("application/xml")},
        {QStringLiteral("text/xml"), QStringLiteral("application/xml")},
        {QStringLiteral("text/csv"), QStringLiteral("text/csv")},
        {QStringLiteral("image/jpeg"), QStringLiteral("image/*")},
        {QStringLiteral("image/png"), QStringLiteral("image/*")},
        {QStringLiteral("application/msword"), QStringLiteral("application/msword")},
        {QStringLiteral("application/vnd.openxmlformats-officedocument.wordprocessingml.document"),
         QStringLiteral("application/vnd.openxmlformats-officedocument.wordprocessingml.document")},
        {QStringLiteral("application/vnd.ms-excel"), QStringLiteral("application/vnd.ms-excel")},
        {QStringLiteral("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"),
         QStringLiteral("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet")},
    };
    return table.value(type, type);
}

QString typeIdentifier(const QString& path) {
    static const QMimeDatabase database;
    const QFileInfo info(path);
    if (info.isDir())
        return QStringLiteral("inode/directory");
    if (!info.isFile())
        return QStringLiteral("application/octet-stream");
    return database.mimeTypeForFile(info).name();
}

SearchResult describe(const QString& path) {
    SearchResult result;
    const QFileInfo info(path);
    result.url = QUrl::fromLocalFile(path);
    result.name = info.fileName();
    result.parentDisplay = ContentFiles::homeDisplay(info.path());
    if (!info.exists()) {
        result.mime = mimeFromUTI(QStringLiteral("application/octet-stream"));
        return result;
    }
    result.size = info.isDir() ? 0 : info.size();
    const QDateTime modified = info.lastModified();
    if (modified.isValid())
        result.modifiedAt = modified;
    result.mime = mimeFromUTI(typeIdentifier(path));
    result.isRemote = ContentFiles::isOnRemoteVolume(path);
    return result;
}

namespace {

// Stable order of the walk's results: newest first, undated last, equal dates by
// name (code points of the composed names).
void sortNewestFirst(QList<SearchResult>& results) {
    struct Keyed {
        SearchResult result;
        QList<uint> nameKey;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(results.size());
    for (SearchResult& result : results) {
        QList<uint> key = result.name.normalized(QString::NormalizationForm_C).toUcs4();
        keyed.push_back(Keyed{std::move(result), std::move(key)});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        const bool aDated = a.result.modifiedAt.has_value();
        const bool bDated = b.result.modifiedAt.has_value();
        if (aDated != bDated)
            return aDated;
        if (aDated && *a.result.modifiedAt != *b.result.modifiedAt)
            return *a.result.modifiedAt > *b.result.modifiedAt;
        return a.nameKey < b.nameKey;
    });
    results.clear();
    for (Keyed& entry : keyed)
        results.append(std::move(entry.result));
}

} // namespace

namespace {

// Deeper folders are not entered (each level holds one descriptor open).
constexpr int kMaxDepth = 128;

// One walk of a shared folder over directory descriptors: each folder is opened
// from its parent's descriptor (never through a link), its entries read with
// readdir (getdents) and their type taken from the directory entry, so that only
// names that match cost a stat.
class Walk {
public:
    Walk(const SharedTree& tree, const QStringList& folded, qint64 maxEntries, qint64 cap,
         QList<SearchResult>& candidates)
        : tree_(tree)
        , folded_(folded)
        , asciiTokens_(std::all_of(folded.cbegin(), folded.cend(),
                                   [](const QString& token) {
                                       return std::all_of(token.cbegin(), token.cend(),
                                                          [](QChar c) { return c.unicode() < 0x80; });
                                   }))
        , maxEntries_(maxEntries)
        , cap_(cap)
        , candidates_(candidates) {
        if (asciiTokens_)
            for (const QString& token : folded)
                asciiFolded_.append(token.toLatin1());
    }

    // False when the candidates are full (the walk of every folder ends).
    bool run() {
        const int fd = ::openat(tree_.rootFd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return true;
        folder(fd, QByteArray(), 0);
        return !full_;
    }

private:
    // Whether the name holds every token, case and accents ignored. ASCII names are
    // lower-cased in place and searched byte-wise; others are decoded and folded.
    bool matches(const char* name, size_t length) const {
        bool ascii = true;
        for (size_t i = 0; i < length && ascii; ++i)
            ascii = static_cast<unsigned char>(name[i]) < 0x80;
        if (ascii && length < sizeof lowered_) {
            if (!asciiTokens_)
                return false; // a token with other letters cannot be in an ASCII name
            for (size_t i = 0; i < length; ++i) {
                const char c = name[i];
                lowered_[i] = c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c;
            }
            for (const QByteArray& token : asciiFolded_)
                if (!::memmem(lowered_, length, token.constData(), size_t(token.size())))
                    return false;
            return true;
        }
        const QString folded =
            ContentFiles::fold(SharedPaths::displayName(QByteArrayView(name, qsizetype(length))));
        return std::all_of(folded_.cbegin(), folded_.cend(),
                           [&](const QString& token) { return folded.contains(token); });
    }

    // Walks the folder open at `fd` (taken over), `relative` below the root.
    void folder(int fd, const QByteArray& relative, int depth) {
        DIR* directory = ::fdopendir(fd);
        if (!directory) {
            ::close(fd);
            return;
        }
        while (!stopped()) {
            ShareWork::checkWanted(); // a walk no longer wanted stops at its next call
            const struct dirent* item = ::readdir(directory);
            ShareWork::callReturned();
            if (!item)
                break;
            const char* entry = item->d_name;
            if (entry[0] == '.' && (entry[1] == 0 || (entry[1] == '.' && entry[2] == 0)))
                continue;
            if (++counter_ > maxEntries_) {
                done_ = true;
                break;
            }
            if (candidates_.size() >= cap_) {
                full_ = true;
                break;
            }
            const size_t length = std::strlen(entry);
            if (!SharedPaths::isVisibleName(QByteArrayView(entry, qsizetype(length))))
                continue; // hidden entries are neither results nor entered
            unsigned char type = item->d_type;
            if (type == DT_UNKNOWN) {
                struct stat info {};
                const bool stated = ::fstatat(::dirfd(directory), entry, &info, AT_SYMLINK_NOFOLLOW) == 0;
                ShareWork::callReturned();
                if (!stated)
                    continue;
                type = S_ISDIR(info.st_mode)   ? DT_DIR
                       : S_ISREG(info.st_mode) ? DT_REG
                       : S_ISLNK(info.st_mode) ? DT_LNK
                                               : DT_FIFO;
            }
            if (type != DT_DIR && type != DT_REG && type != DT_LNK)
                continue; // FIFOs, sockets, devices
            const bool found = matches(entry, length);
            if (!found && type != DT_DIR)
                continue;
            const QByteArrayView name(entry, qsizetype(length));
            const QByteArray path =
                relative.isEmpty() ? name.toByteArray() : relative + '/' + name.toByteArray();
            if (found) {
                if (std::optional<SearchResult> result = describeEntry(path, type == DT_LNK))
                    candidates_.append(std::move(*result));
            }
            if (type == DT_DIR && depth < kMaxDepth) {
                ShareWork::checkWanted();
                const int child =
                    ::openat(::dirfd(directory), entry, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                ShareWork::callReturned();
                if (child >= 0)
                    folder(child, path, depth + 1);
            }
        }
        ::closedir(directory);
    }

    // The result for a matching entry. A link is followed only inside the shared
    // folder (a link that leads out of it, or nowhere, is never a result).
    std::optional<SearchResult> describeEntry(const QByteArray& relative, bool link) const {
        const SharedTree::Opened opened = tree_.open(relative, O_PATH);
        if (!opened.fd.valid() && link)
            return std::nullopt;
        const QByteArray native = tree_.rootPath() + '/' + relative;
        SearchResult result;
        result.native = native;
        result.url = QUrl::fromLocalFile(QFile::decodeName(native));
        result.name = SharedPaths::displayName(relative.mid(relative.lastIndexOf('/') + 1));
        const qsizetype slash = native.lastIndexOf('/');
        result.parentDisplay = ContentFiles::homeDisplay(SharedPaths::displayName(native.left(slash)));
        struct stat info {};
        if (!opened.fd.valid() || ::fstat(opened.fd.get(), &info) != 0) {
            result.mime = mimeFromUTI(QStringLiteral("application/octet-stream"));
            return result;
        }
        const bool folder = S_ISDIR(info.st_mode);
        result.size = folder ? 0 : qint64(info.st_size);
        const QDateTime modified = QDateTime::fromMSecsSinceEpoch(
            qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000, Qt::UTC);
        if (modified.isValid())
            result.modifiedAt = modified.toLocalTime();
        if (folder)
            result.mime = QStringLiteral("inode/directory");
        else if (!S_ISREG(info.st_mode))
            result.mime = mimeFromUTI(QStringLiteral("application/octet-stream"));
        else
            result.mime = mimeFromUTI(typeOfOpened(tree_, relative, result.name));
        result.isRemote = ContentFiles::isOnRemoteVolume(QFile::decodeName(native));
        return result;
    }

    // The type of a regular file by its name and, when the name does not tell,
    // by its first bytes, read from the file opened inside the shared folder.
    static QString typeOfOpened(const SharedTree& tree, const QByteArray& relative, const QString& name) {
        static const QMimeDatabase database;
        const QMimeType byName = database.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
        if (byName.isValid() && !byName.isDefault())
            return byName.name();
        SharedTree::Opened opened = tree.open(relative, O_RDONLY);
        if (!opened.fd.valid())
            return QStringLiteral("application/octet-stream");
        QFile file;
        if (!file.open(opened.fd.release(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            return QStringLiteral("application/octet-stream");
        return database.mimeTypeForFileNameAndData(name, &file).name();
    }

    bool stopped() const { return done_ || full_; }

    const SharedTree& tree_;
    const QStringList& folded_;
    const bool asciiTokens_;      // every folded token is ASCII
    QByteArrayList asciiFolded_;  // then, the tokens as bytes
    mutable char lowered_[512]{}; // an ASCII name, lower-cased
    qint64 maxEntries_;
    qint64 cap_;
    QList<SearchResult>& candidates_;
    qint64 counter_ = 0;
    bool done_ = false; // this folder's entries are used up
    bool full_ = false; // the candidates are full
};

} // namespace

QList<SearchResult> searchNow(const QStringList& tokens, const QList<QUrl>& folders, qint64 limit,
                              qint64 maxEntries) {
    limit = std::clamp<qint64>(limit, 0, 1'000'000);
    QStringList folded;
    for (const QString& token : tokens)
        folded.append(ContentFiles::fold(token));
    const qint64 cap = std::max(3 * limit, limit);

    QList<SearchResult> candidates;
    for (const QUrl& folder : folders) {
        const QString root = folder.toLocalFile();
        if (root.isEmpty())
            continue;
        const std::shared_ptr<SharedTree> tree = SharedTree::openRoot(QFile::encodeName(root));
        if (!tree)
            continue; // cannot be walked (gone, or a link)
        Walk walk(*tree, folded, maxEntries, cap, candidates);
        if (!walk.run())
            break;
    }
    sortNewestFirst(candidates);
    if (candidates.size() > limit)
        candidates.resize(limit);
    return candidates;
}

QCoro::Task<QList<SearchResult>> search(QStringList tokens, QList<QUrl> folders, qint64 limit,
                                        qint64 maxEntries, ShareWork::Purpose purpose) {
    // (Tasks are named: g++ 12 mishandles lambda temporaries inside co_await.)
    // Each folder is walked on its own share's lane: a share that hangs takes no
    // other folder's walk down with it.
    std::vector<QCoro::Task<QList<SearchResult>>> walks;
    for (const QUrl& folder : std::as_const(folders)) {
        const QList<QUrl> one{folder};
        walks.push_back(ShareWork::run(
            QStringList{folder.toLocalFile()},
            [tokens, one, limit, maxEntries] { return searchNow(tokens, one, limit, maxEntries); }, purpose));
    }
    QList<SearchResult> results;
    for (auto& walk : walks) {
        try {
            results.append(co_await std::move(walk));
        } catch (const ShareWork::NotAnswering&) {
            // left out
        }
    }
    if (walks.size() > 1) {
        sortNewestFirst(results);
        if (results.size() > limit)
            results.resize(std::max<qint64>(limit, 0));
    }
    co_return results;
}

} // namespace FileManagerSearch

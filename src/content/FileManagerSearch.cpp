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
#include <functional>
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
    const QMimeType byName = database.mimeTypeForFile(info.fileName(), QMimeDatabase::MatchExtension);
    if (byName.isValid() && !byName.isDefault())
        return byName.name();
    // (The first bytes read here: the database would hold its lock while it reads.)
    return database.mimeTypeForFileNameAndData(info.fileName(), ContentFiles::leadingBytes(path)).name();
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
// getdents64 (FolderReader, no status of the folder asked) and their type taken
// from the directory entry, so that only names that match cost a stat.
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
        const int fresh = volumes_.freshStatusFlags(fd);
        FolderReader directory{UniqueFd(fd)};
        while (!stopped()) {
            ShareWork::checkWanted(); // a walk no longer wanted stops at its next call
            const std::optional<FolderReader::Entry> item = directory.next();
            ShareWork::callReturned();
            if (!item)
                break;
            const char* entry = item->name;
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
            unsigned char type = item->type;
            // One status call per entry at most: taken from the directory entry when
            // it tells the type, and asked of the entry itself only when it matches.
            std::optional<struct statx> status;
            if (type == DT_UNKNOWN) {
                status = statusOf(directory.fd(), entry, fresh);
                if (!status)
                    continue;
                const mode_t mode = status->stx_mode;
                type = S_ISDIR(mode) ? DT_DIR : S_ISREG(mode) ? DT_REG : S_ISLNK(mode) ? DT_LNK : DT_FIFO;
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
                std::optional<SearchResult> result =
                    type == DT_LNK ? describeLink(path)
                                   : describeEntry(directory.fd(), entry, path, status, fresh);
                if (result)
                    candidates_.append(std::move(*result));
            }
            if (type == DT_DIR && depth < kMaxDepth) {
                ShareWork::checkWanted();
                const int child =
                    ::openat(directory.fd(), entry, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                ShareWork::callReturned();
                if (child >= 0)
                    folder(child, path, depth + 1);
            }
        }
    }

    // The status of `name` in the folder open at `folder` (not following a link),
    // with its mount: one call on the share (`fresh`: VolumeFacts::freshStatusFlags).
    static std::optional<struct statx> statusOf(int folder, const char* name, int fresh) {
        struct statx status {};
        const bool stated = ::statx(folder, name, AT_SYMLINK_NOFOLLOW | fresh,
                                    STATX_BASIC_STATS | STATX_MNT_ID, &status) == 0;
        ShareWork::callReturned();
        if (!stated)
            return std::nullopt;
        return status;
    }

    // The parts of a result known without the file system.
    SearchResult named(const QByteArray& relative) const {
        const QByteArray native = tree_.rootPath() + '/' + relative;
        SearchResult result;
        result.native = native;
        result.url = QUrl::fromLocalFile(QFile::decodeName(native));
        result.name = SharedPaths::displayName(relative.mid(relative.lastIndexOf('/') + 1));
        const qsizetype slash = native.lastIndexOf('/');
        result.parentDisplay = ContentFiles::homeDisplay(SharedPaths::displayName(native.left(slash)));
        return result;
    }

    // Fills the result from the entry's status; `opened` reads the first bytes of a
    // regular file whose name does not tell its type (the file opened only then).
    void fill(SearchResult& result, const struct statx& status, const std::function<int()>& opened) {
        const bool folder = S_ISDIR(status.stx_mode);
        result.size = folder ? 0 : qint64(status.stx_size);
        const QDateTime modified = QDateTime::fromMSecsSinceEpoch(
            qint64(status.stx_mtime.tv_sec) * 1000 + status.stx_mtime.tv_nsec / 1000000, Qt::UTC);
        if (modified.isValid())
            result.modifiedAt = modified.toLocalTime();
        if (folder)
            result.mime = QStringLiteral("inode/directory");
        else if (!S_ISREG(status.stx_mode))
            result.mime = mimeFromUTI(QStringLiteral("application/octet-stream"));
        else
            result.mime = mimeFromUTI(typeOf(result.name, opened));
        result.isRemote = volumes_.isRemote(status);
    }

    // The result for a matching entry (not a link), asked of the folder being
    // walked: its status (unless the walk already has it) costs one call on the
    // share, the mount's remote check none.
    std::optional<SearchResult> describeEntry(int folder, const char* entry, const QByteArray& relative,
                                              std::optional<struct statx> status, int fresh) {
        SearchResult result = named(relative);
        if (!status)
            status = statusOf(folder, entry, fresh);
        if (!status) {
            result.mime = mimeFromUTI(QStringLiteral("application/octet-stream"));
            return result;
        }
        fill(result, *status, [folder, entry] {
            return ::openat(folder, entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        });
        return result;
    }

    // The result for a link, followed only inside the shared folder (a link that
    // leads out of it, or nowhere, is never a result).
    std::optional<SearchResult> describeLink(const QByteArray& relative) {
        SharedTree::Opened opened = tree_.open(relative, O_PATH);
        if (!opened.fd.valid())
            return std::nullopt;
        SearchResult result = named(relative);
        struct statx status {};
        const bool stated =
            ::statx(opened.fd.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_MNT_ID, &status) == 0;
        ShareWork::callReturned();
        if (!stated) {
            result.mime = mimeFromUTI(QStringLiteral("application/octet-stream"));
            return result;
        }
        const SharedTree& tree = tree_;
        fill(result, status, [&tree, relative] { return tree.open(relative, O_RDONLY).fd.release(); });
        return result;
    }

    // The type of a regular file by its name and, when the name does not tell, by
    // its first bytes, read from the file `opened` gives (a descriptor, or -1).
    static QString typeOf(const QString& name, const std::function<int()>& opened) {
        static const QMimeDatabase database;
        const QMimeType byName = database.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
        if (byName.isValid() && !byName.isDefault())
            return byName.name();
        ShareWork::checkWanted();
        const UniqueFd fd(opened());
        ShareWork::callReturned();
        if (!fd.valid())
            return QStringLiteral("application/octet-stream");
        // (The first bytes read here: the database would hold its lock while it reads.)
        const QByteArray head = ContentFiles::leadingBytes(fd.get());
        ShareWork::callReturned();
        return database.mimeTypeForFileNameAndData(name, head).name();
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
    ContentFiles::VolumeFacts volumes_; // each mount's remote check, made once
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

QCoro::Task<SearchOutcome> search(QStringList tokens, QList<QUrl> folders, qint64 limit, qint64 maxEntries,
                                  ShareWork::Purpose purpose) {
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
    SearchOutcome outcome;
    for (std::size_t i = 0; i < walks.size(); ++i) {
        try {
            outcome.results.append(co_await std::move(walks[i]));
        } catch (const ShareWork::NotAnswering&) {
            outcome.notAnswering.append(folders.at(qsizetype(i))); // left out, and said so
        }
    }
    if (walks.size() > 1) {
        sortNewestFirst(outcome.results);
        if (outcome.results.size() > limit)
            outcome.results.resize(std::max<qint64>(limit, 0));
    }
    co_return outcome;
}

} // namespace FileManagerSearch

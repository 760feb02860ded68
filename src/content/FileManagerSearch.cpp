#include "content/FileManagerSearch.h"

#include "content/ContentFiles.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QMimeDatabase>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <algorithm>

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
        const QString canonicalRoot = ContentFiles::canonicalPath(root);
        if (root.isEmpty() || canonicalRoot.isEmpty())
            continue; // cannot be walked
        QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        qint64 counter = 0;
        bool full = false;
        while (it.hasNext()) {
            const QString path = it.next();
            if (++counter > maxEntries)
                break;
            if (candidates.size() >= cap) {
                full = true;
                break;
            }
            const QString name = it.fileName();
            if (name.startsWith(QLatin1Char('.')))
                continue;
            const QString foldedName = ContentFiles::fold(name);
            const bool matches = std::all_of(folded.cbegin(), folded.cend(), [&](const QString& token) {
                return foldedName.contains(token);
            });
            if (!matches)
                continue;
            if (it.fileInfo().isSymLink() && !ContentFiles::canonicalInside(path, canonicalRoot))
                continue; // a way out of the shared folder
            candidates.append(describe(path));
        }
        if (full)
            break;
    }
    sortNewestFirst(candidates);
    if (candidates.size() > limit)
        candidates.resize(limit);
    return candidates;
}

QCoro::Task<QList<SearchResult>> search(QStringList tokens, QList<QUrl> folders, qint64 limit,
                                        qint64 maxEntries) {
    // (The future is named: g++ 12 mishandles lambda temporaries inside co_await.)
    const QFuture<QList<SearchResult>> walk = QtConcurrent::run(
        [tokens, folders, limit, maxEntries] { return searchNow(tokens, folders, limit, maxEntries); });
    QList<SearchResult> results = co_await walk;
    co_return results;
}

} // namespace FileManagerSearch

#include "content/SpotlightSearch.h"

#include "content/ContentFiles.h"
#include "content/FileManagerSearch.h"
#include "content/SharedTree.h"
#include "platform/Errors.h"
#include "platform/Log.h"
#include "platform/ShareWork.h"

#include <QFileInfo>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroSignal>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

// Limits beyond this are treated as this (so that three times the limit cannot
// overflow).
constexpr qint64 kLargestLimit = 1'000'000;

QStringList localPaths(const QList<QUrl>& folders) {
    QStringList paths;
    for (const QUrl& folder : folders)
        paths.append(folder.toLocalFile());
    return paths;
}

QString trimSpacesAndTabs(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (begin < end && blank(text.at(begin)))
        ++begin;
    while (end > begin && blank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

// The results of index items that lie inside one of the folders once links are
// resolved; the others are dropped.
QList<SearchResult> resultsInside(const QList<MetadataItem>& items, const QStringList& folders) {
    QStringList roots;
    for (const QString& folder : folders) {
        const QString canonical = ContentFiles::canonicalPath(folder);
        if (!canonical.isEmpty())
            roots.append(canonical);
    }
    QList<SearchResult> results;
    for (const MetadataItem& item : items) {
        if (item.path.isEmpty())
            continue;
        const QString resolved = ContentFiles::canonicalPath(item.path);
        // Inside a root, and nothing hidden (nor a control character) below it.
        const bool inside =
            !resolved.isEmpty() && std::any_of(roots.cbegin(), roots.cend(), [&](const QString& root) {
                return resolved != root && ContentFiles::isInside(resolved, root) &&
                       SharedPaths::components(
                           resolved.mid(root.size() + (root.endsWith(QLatin1Char('/')) ? 0 : 1)))
                           .has_value() &&
                       !SharedPaths::hasControlCharacters(item.path);
            });
        if (!inside)
            continue;
        if (std::optional<SearchResult> result = SpotlightQueryRunner::result(item))
            results.append(std::move(*result));
    }
    return results;
}

} // namespace

SpotlightQueryRunner::SpotlightQueryRunner(std::shared_ptr<MetadataIndex> index, MetadataPredicate predicate,
                                           QList<QUrl> folders, qint64 limit, double timeout)
    : index_(std::move(index))
    , predicate_(std::move(predicate))
    , folders_(std::move(folders))
    , limit_(std::clamp<qint64>(limit, 0, kLargestLimit))
    , timeout_(timeout) {}

QCoro::Task<QList<SearchResult>> SpotlightQueryRunner::start() {
    const QStringList folders = localPaths(folders_);
    auto gathering = std::make_shared<MetadataGathering>(limit_);
    const MetadataQuery query{predicate_, folders, limit_};
    const std::shared_ptr<MetadataIndex> index = index_;
    const QFuture<void> gathered = QtConcurrent::run([index, query, gathering] {
        try {
            index->gather(query, *gathering);
        } catch (...) {
            qCWarning(lcContent) << "metadata query failed:" << describeException(std::current_exception());
        }
    });
    {
        QFutureWatcher<void> watcher;
        watcher.setFuture(gathered);
        if (!gathered.isFinished())
            co_await qCoro(&watcher, &QFutureWatcher<void>::finished,
                           std::chrono::milliseconds(timeoutMilliseconds(timeout_)));
    }
    // (Futures are named: g++ 12 mishandles lambda temporaries inside co_await.)
    const QList<MetadataItem> items = gathering->end();
    // Resolving the items' paths touches the shares: on their own threads.
    QCoro::Task<QList<SearchResult>> converted =
        ShareWork::run(folders, [items, folders] { return resultsInside(items, folders); });
    QList<SearchResult> results = co_await std::move(converted);
    co_return results;
}

QStringList SpotlightQueryRunner::tokenize(const QString& text) {
    QStringList tokens;
    QString current;
    for (QChar c : text) {
        if (c.isSpace()) {
            if (!current.isEmpty())
                tokens.append(std::exchange(current, QString()));
        } else {
            current.append(c);
        }
    }
    if (!current.isEmpty())
        tokens.append(current);
    return tokens;
}

MetadataPredicate SpotlightQueryRunner::andPredicate(const QStringList& tokens) {
    if (tokens.isEmpty())
        return {};
    return MetadataPredicate{{tokens}};
}

MetadataPredicate SpotlightQueryRunner::orOfSubsetsPredicate(const QStringList& tokens, int drop) {
    const int n = static_cast<int>(tokens.size());
    const int d = std::max(drop, 1);
    int k = n - d;
    if (k < 1) {
        if (n < 2)
            return andPredicate(tokens);
        k = 1;
    }
    if (k >= n)
        return andPredicate(tokens);
    QList<QStringList> groups;
    combinations(tokens, k, {}, 0, groups);
    return MetadataPredicate{groups};
}

void SpotlightQueryRunner::combinations(const QStringList& tokens, int size, const QStringList& prefix,
                                        int start, QList<QStringList>& out) {
    if (prefix.size() == size) {
        out.append(prefix);
        return;
    }
    if (tokens.size() - start < size - prefix.size())
        return;
    for (int i = start; i < tokens.size(); ++i) {
        QStringList next = prefix;
        next.append(tokens.at(i));
        combinations(tokens, size, next, i + 1, out);
    }
}

QList<SearchResult> SpotlightQueryRunner::rankAndTrim(QList<SearchResult> results, const QStringList& tokens,
                                                      qint64 limit) {
    QStringList folded;
    for (const QString& token : tokens)
        folded.append(ContentFiles::fold(token));
    struct Scored {
        SearchResult result;
        int score;
    };
    std::vector<Scored> scored;
    scored.reserve(results.size());
    for (SearchResult& result : results) {
        const QString name = ContentFiles::fold(result.name);
        const int score = static_cast<int>(std::count_if(
            folded.cbegin(), folded.cend(), [&](const QString& token) { return name.contains(token); }));
        scored.push_back(Scored{std::move(result), score});
    }
    std::stable_sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) {
        if (a.score != b.score)
            return a.score > b.score;
        const bool aDated = a.result.modifiedAt.has_value();
        const bool bDated = b.result.modifiedAt.has_value();
        if (aDated != bDated)
            return aDated;
        return aDated && *a.result.modifiedAt > *b.result.modifiedAt;
    });
    QList<SearchResult> ranked;
    const qint64 kept = std::clamp<qint64>(limit, 0, static_cast<qint64>(scored.size()));
    for (qint64 i = 0; i < kept; ++i)
        ranked.append(std::move(scored[static_cast<size_t>(i)].result));
    return ranked;
}

std::optional<SearchResult> SpotlightQueryRunner::result(const MetadataItem& item) {
    if (item.path.isEmpty())
        return std::nullopt;
    SearchResult result;
    const QFileInfo info(item.path);
    result.url = QUrl::fromLocalFile(item.path);
    result.name = item.name.value_or(info.fileName());
    result.mime = FileManagerSearch::mimeFromUTI(FileManagerSearch::typeIdentifier(item.path));
    result.size = item.size.value_or(0);
    result.modifiedAt = item.modifiedAt;
    result.isRemote = ContentFiles::isOnRemoteVolume(item.path);
    result.parentDisplay = ContentFiles::homeDisplay(info.path());
    return result;
}

int SpotlightQueryRunner::timeoutMilliseconds(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0)
        return std::isinf(seconds) && seconds > 0 ? 3600 * 1000 : 0;
    return static_cast<int>(std::min(std::floor(seconds), 3600.0)) * 1000;
}

namespace SpotlightSearch {

QCoro::Task<QList<SearchResult>> runQuery(MetadataPredicate predicate, QList<QUrl> folders, qint64 limit,
                                          double timeout) {
    SpotlightQueryRunner runner(MetadataIndex::shared(), std::move(predicate), std::move(folders), limit,
                                timeout);
    QList<SearchResult> results = co_await runner.start();
    co_return results;
}

QCoro::Task<SearchOutcome> searchReporting(QString query, QList<QUrl> folders, qint64 limit, double timeout,
                                           ShareWork::Purpose purpose) {
    if (folders.isEmpty())
        co_return SearchOutcome();
    // The query is the caller's text, of any length: split off the GUI thread.
    const QFuture<QStringList> splitting = QtConcurrent::run([query] {
        QStringList words = SpotlightQueryRunner::tokenize(trimSpacesAndTabs(query));
        if (words.size() > maxQueryWords)
            words.resize(maxQueryWords);
        return words;
    });
    const QStringList tokens = co_await splitting;
    if (tokens.isEmpty())
        co_return SearchOutcome();
    limit = std::min(limit, kLargestLimit);
    if (limit <= 0)
        co_return SearchOutcome(); // nothing can be returned: no stage runs

    const std::shared_ptr<MetadataIndex> index = MetadataIndex::shared();
    const QStringList paths = localPaths(folders);
    QCoro::Task<bool> probe = ShareWork::run(
        paths,
        [index, paths] {
            try {
                return index->isAvailable(paths);
            } catch (...) {
                return false;
            }
        },
        purpose);
    bool indexed = false;
    try {
        indexed = co_await std::move(probe);
    } catch (const ShareWork::NotAnswering&) {
        indexed = false; // the walk, folder by folder, leaves a silent one out
    }
    if (indexed) {
        // Both predicates are made off the GUI thread (the tolerant one holds n
        // groups of n - 1 words).
        const QFuture<std::pair<MetadataPredicate, MetadataPredicate>> building = QtConcurrent::run([tokens] {
            return std::pair(SpotlightQueryRunner::andPredicate(tokens),
                             SpotlightQueryRunner::orOfSubsetsPredicate(tokens, 1));
        });
        std::pair<MetadataPredicate, MetadataPredicate> predicates = co_await building;
        QList<SearchResult> all = co_await runQuery(std::move(predicates.first), folders, limit, timeout);
        if (!all.isEmpty() || tokens.size() < 2)
            co_return SearchOutcome{std::move(all), {}};
        QList<SearchResult> most =
            co_await runQuery(std::move(predicates.second), folders, std::max(limit, 3 * limit), timeout);
        if (!most.isEmpty())
            co_return SearchOutcome{SpotlightQueryRunner::rankAndTrim(std::move(most), tokens, limit), {}};
    }
    SearchOutcome walked =
        co_await FileManagerSearch::search(tokens, folders, limit, walkMaxEntries, purpose);
    co_return walked;
}

QCoro::Task<QList<SearchResult>> search(QString query, QList<QUrl> folders, qint64 limit, double timeout,
                                        ShareWork::Purpose purpose) {
    QCoro::Task<SearchOutcome> searching =
        searchReporting(std::move(query), std::move(folders), limit, timeout, std::move(purpose));
    SearchOutcome outcome = co_await std::move(searching);
    co_return std::move(outcome.results);
}

} // namespace SpotlightSearch

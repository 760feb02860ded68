#pragma once

#include "content/MetadataIndex.h"
#include "content/SearchResult.h"
#include "platform/ShareWork.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <memory>
#include <optional>

// Document search over folders that the caller has resolved: by name and content
// through the metadata index, by name through a walk of the folders.
namespace SpotlightSearch {

// The most entries the walk looks at per folder.
constexpr qint64 walkMaxEntries = 50'000;
// The most words of a query the stages use (the first ones): the tolerant stage
// asks for n groups of n - 1 words, so its query grows with the square of the
// count and the index's work with its cube.
constexpr int maxQueryWords = 8;

// Up to three stages, each only when the one before found nothing:
//  1. an index query that requires every word;
//  2. with two words or more, one that tolerates a missing word, ranked by how
//     many words each name holds;
//  3. the walk of the folders (FileManagerSearch).
// Without an index covering the folders the walk runs at once. Only the first
// maxQueryWords words are used; the index queries are built off the GUI thread. A
// blank query, no folder or a limit of zero or less gives nothing. Never throws.
// The share work runs for `purpose` (ShareWork).
QCoro::Task<QList<SearchResult>> search(QString query, QList<QUrl> folders, qint64 limit, double timeout,
                                        ShareWork::Purpose purpose = {});
// search(), with the folders left out because their share did not answer.
QCoro::Task<SearchOutcome> searchReporting(QString query, QList<QUrl> folders, qint64 limit, double timeout,
                                           ShareWork::Purpose purpose = {});

// One index query: ends when the index is done or at the time-out (whole seconds),
// with what was gathered by then.
QCoro::Task<QList<SearchResult>> runQuery(MetadataPredicate predicate, QList<QUrl> folders, qint64 limit,
                                          double timeout);

} // namespace SpotlightSearch

// Drives one index query, and the pieces the stages are made of.
class SpotlightQueryRunner {
public:
    SpotlightQueryRunner(std::shared_ptr<MetadataIndex> index, MetadataPredicate predicate,
                         QList<QUrl> folders, qint64 limit, double timeout);

    // Starts the query on a worker thread, waits for its end or the time-out,
    // then ends it and returns at most `limit` results in the index's order.
    QCoro::Task<QList<SearchResult>> start();

    // The words of a query: split at every white space, empty pieces dropped;
    // case, repeats and order kept.
    static QStringList tokenize(const QString& text);
    // Every token required; no token matches nothing.
    static MetadataPredicate andPredicate(const QStringList& tokens);
    // Any combination of all tokens but `drop` (at least one dropped, at least one
    // kept), each combination requiring all its tokens.
    static MetadataPredicate orOfSubsetsPredicate(const QStringList& tokens, int drop);
    // Appends to `out` every combination of `size` tokens from index `start` on,
    // each after `prefix`, in lexicographic order of the indexes.
    static void combinations(const QStringList& tokens, int size, const QStringList& prefix, int start,
                             QList<QStringList>& out);
    // Ranks by the number of folded tokens found in each folded name (highest
    // first, then newest first, undated last; stable) and keeps `limit`.
    static QList<SearchResult> rankAndTrim(QList<SearchResult> results, const QStringList& tokens,
                                           qint64 limit);
    // The result of one index item; nothing for an item without a path. Blocks.
    static std::optional<SearchResult> result(const MetadataItem& item);
    // The wait of a time-out: whole seconds (the fraction dropped), never below 0.
    static int timeoutMilliseconds(double seconds);

private:
    std::shared_ptr<MetadataIndex> index_;
    MetadataPredicate predicate_;
    QList<QUrl> folders_;
    qint64 limit_;
    double timeout_;
};

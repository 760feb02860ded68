// The file tools of the local model: search, read, list and browse the shared
// folders, and recognise the text of an image. Files are named to the model by ids
// kept in the bridge's id cache, never by path; a document is opened again through
// the descriptor of the shared folder that holds it (SharedDocuments), so a link or
// a swapped folder never leads out of it.
#include "bridge/BookmarkStore.h"
#include "bridge/BridgeService.h"
#include "bridge/SharedDocuments.h"
#include "content/ContentFiles.h"
#include "content/Decoding.h"
#include "content/DocumentExtractor.h"
#include "content/OcrEngine.h"
#include "content/SpotlightSearch.h"
#include "localllm/LocalTools.h"
#include "platform/Errors.h"
#include "platform/ShareWork.h"
#include "session/Models.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <variant>
#include <vector>

#include <dirent.h>

namespace LocalTools {

namespace {

const QString noFolders =
    QStringLiteral("The Mac bridge has no folders granted yet. Ask the user to add one from the "
                   "Mac app Settings \u2192 Bridge.");
const QString documentNotFound =
    QStringLiteral("Document introuvable (la session a pu être nettoyée; relance la recherche).");
const QString documentOutside = QStringLiteral("Document hors des dossiers partagés.");

constexpr double searchTimeoutSeconds = 5.0;

BridgeIDCache& idCache() {
    return BridgeService::shared().idCache();
}

template <typename Result>
using Outcome = std::variant<Result, QString>; // the value or a failure's description

// Looks the id up, opens the document again inside the shared folder that holds it
// and runs `work` on it (on the share's threads, inside the folder's access): the
// result, or the answer to give.
template <typename Result, typename Work>
QCoro::Task<Outcome<Result>> onDocument(Json args, Work work, QString failurePrefix, BridgeTaskKind kind) {
    // The decoding ends with the call's time, as a bridge task's does.
    const QDeadlineTimer deadline = toolDeadline(kind);
    const QString id = stringArgument(args, "document_id").value_or(QString());
    const std::optional<QByteArray> path = id.isEmpty() ? std::nullopt : idCache().getNative(id);
    if (!path)
        co_return Outcome<Result>(std::in_place_index<1>, documentNotFound);
    const QList<BookmarkEntry> entries = BookmarkPersistence::load();
    const QByteArray native = *path;
    std::optional<SharedDocuments::Lookup> located;
    try {
        QCoro::Task<SharedDocuments::Lookup> locating = SharedDocuments::locate(entries, native);
        located = co_await std::move(locating);
    } catch (...) {
        located.reset();
    }
    if (!located)
        co_return Outcome<Result>(std::in_place_index<1>,
                                  failurePrefix + ShareWork::NotAnswering().description());
    const SharedDocuments::Lookup lookup = *located;
    if (lookup.outside)
        co_return Outcome<Result>(std::in_place_index<1>, documentOutside);
    const QStringList shares =
        lookup.document ? QStringList{SharedDocuments::shareOf(lookup.document->entry)} : QStringList{};
    QCoro::Task<Outcome<Result>> running = ShareWork::run(shares, [lookup, work, failurePrefix, deadline]() {
        try {
            const Decoding::TaskDeadline within(deadline);
            std::optional<BookmarkResolver::ScopedAccess> access;
            if (lookup.document)
                access.emplace(lookup.document->folder.url);
            return Outcome<Result>(std::in_place_index<0>, work(lookup));
        } catch (...) {
            return Outcome<Result>(std::in_place_index<1>,
                                   failurePrefix + describeException(std::current_exception()));
        }
    });
    try {
        Outcome<Result> outcome = co_await std::move(running);
        co_return outcome;
    } catch (...) {
        co_return Outcome<Result>(std::in_place_index<1>,
                                  failurePrefix + describeException(std::current_exception()));
    }
}

bool isCanonicalUuid(const QString& text) {
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    return pattern.match(text).hasMatch();
}

} // namespace

QCoro::Task<QString> searchLocalDocuments(Json args) {
    const QString query = stringArgument(args, "query").value_or(QString());
    const QStringList hints = stringListArgument(args, "folder_hints").value_or(QStringList());
    const qint64 limit = std::clamp<qint64>(integerArgument(args, "limit").value_or(10), 1, 50);

    const QList<BookmarkEntry> entries = BookmarkPersistence::load();
    if (entries.isEmpty())
        co_return noFolders;

    // The folders are checked on their shares' threads (each is opened and
    // identified); one that does not answer is left out, and named in the answer.
    QCoro::Task<SharedDocuments::Resolutions> resolving = SharedDocuments::resolveAll(entries);
    const SharedDocuments::Resolutions resolved = co_await std::move(resolving);
    QList<QUrl> roots;
    for (const std::optional<BookmarkResolver::Resolved>& folder : resolved.folders)
        if (folder)
            roots.append(folder->url);
    std::vector<std::unique_ptr<BookmarkResolver::ScopedAccess>> access;
    for (const QUrl& root : std::as_const(roots))
        access.push_back(std::make_unique<BookmarkResolver::ScopedAccess>(root));

    if (!hints.isEmpty() && !roots.isEmpty()) {
        QList<QUrl> preferred;
        for (const QUrl& root : roots) {
            const QString path = root.toLocalFile();
            // An empty hint names no folder: it must not keep every root.
            if (std::any_of(hints.begin(), hints.end(), [&](const QString& hint) {
                    return !hint.isEmpty() && path.contains(hint, Qt::CaseInsensitive);
                }))
                preferred.append(root);
        }
        if (!preferred.isEmpty())
            roots = preferred;
    }

    const SearchOutcome outcome =
        co_await SpotlightSearch::searchReporting(query, roots, limit, searchTimeoutSeconds);
    access.clear();
    const QList<SearchResult>& results = outcome.results;

    // The folders that did not answer, before or during the search, in stored order.
    QStringList silent;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const std::optional<BookmarkResolver::Resolved>& folder = resolved.folders.at(i);
        if (resolved.silent.contains(entries.at(i)) || (folder && outcome.notAnswering.contains(folder->url)))
            silent.append(entries.at(i).displayName);
    }
    const QString unanswered = silent.isEmpty()
                                   ? QString()
                                   : QStringLiteral("Shared folders that did not answer (not searched): ") +
                                         silent.join(QStringLiteral(", ")) + QLatin1Char('.');

    if (results.isEmpty())
        co_return unanswered.isEmpty() ? QStringLiteral("No local documents matched.")
                                       : QStringLiteral("No local documents matched.\n") + unanswered;

    QStringList lines;
    QList<std::pair<QString, QByteArray>> ids;
    for (const SearchResult& result : results) {
        const QString id = newDocumentId();
        ids.append({id, result.nativePath()});
        const QString date =
            result.modifiedAt ? ContentFiles::isoDateText(*result.modifiedAt) : QStringLiteral("unknown");
        QString line = result.name + QStringLiteral(" \u2014 ") + result.parentDisplay;
        if (result.isRemote)
            line += QStringLiteral(" (iCloud)");
        line += QStringLiteral(", ") + kilobytes(result.size) + QStringLiteral(" KB, modified ") + date +
                QStringLiteral(" (open: ombrix://local_file/open/") + id + QLatin1Char(')');
        lines.append(line);
    }
    idCache().putAnswer(ids);
    if (!unanswered.isEmpty())
        co_return numberedLines(lines) + QLatin1Char('\n') + unanswered;
    co_return numberedLines(lines);
}

QCoro::Task<QString> readLocalDocument(Json args) {
    const qint64 maxChars = std::clamp<qint64>(integerArgument(args, "max_chars").value_or(8000), 500, 10000);
    const auto extract = [maxChars](const SharedDocuments::Lookup& lookup) {
        if (!lookup.document)
            throw DocumentExtractor::openFailure(lookup.error, lookup.name);
        return DocumentExtractor::extract(lookup.document->readPath(), maxChars, lookup.name);
    };
    const auto outcome = co_await onDocument<ExtractedContent>(
        std::move(args), extract, QStringLiteral("Read failed: "), BridgeTaskKind::Read);
    if (outcome.index() == 1)
        co_return std::get<1>(outcome);
    const ExtractedContent& content = std::get<0>(outcome);
    if (content.truncated)
        co_return content.text +
            QStringLiteral("\n\n[Document truncated \u2014 ask for a specific section.]");
    co_return content.text;
}

QCoro::Task<QString> listLocalFolders() {
    const QList<BookmarkEntry> entries = BookmarkPersistence::load();
    if (entries.isEmpty())
        co_return noFolders;
    // Resolved on their shares' threads: one that does not resolve gives no line,
    // one whose share does not answer a line that says so.
    QCoro::Task<SharedDocuments::Resolutions> resolving = SharedDocuments::resolveAll(entries);
    const SharedDocuments::Resolutions folders = co_await std::move(resolving);
    QStringList lines;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const std::optional<BookmarkResolver::Resolved>& resolved = folders.folders.at(i);
        if (!resolved && folders.silent.contains(entries[i])) {
            lines.append(QString::number(i + 1) + QStringLiteral(". ") + entries[i].displayName +
                         QStringLiteral(" (did not answer, id: ") + uuidText(entries[i].id) +
                         QLatin1Char(')'));
            continue;
        }
        if (!resolved)
            continue; // its number is skipped
        lines.append(QString::number(i + 1) + QStringLiteral(". ") + entries[i].displayName +
                     QStringLiteral(" (") + ContentFiles::homeDisplay(resolved->path()) +
                     QStringLiteral(", id: ") + uuidText(entries[i].id) + QLatin1Char(')'));
    }
    co_return lines.join(QLatin1Char('\n'));
}

QCoro::Task<QString> browseLocalFolder(Json args) {
    const QString folderId = stringArgument(args, "folder_id").value_or(QString());
    const QString subPath = stringArgument(args, "sub_path").value_or(QString());

    if (!isCanonicalUuid(folderId))
        co_return QStringLiteral("folder_id mal formé.");
    const QUuid id = QUuid::fromString(folderId);
    const QList<BookmarkEntry> entries = BookmarkPersistence::load();
    const auto entry =
        std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.id == id; });
    if (entry == entries.end())
        co_return QStringLiteral("Ce dossier n'est plus partagé sur le Mac.");
    const std::optional<QStringList> pieces = SharedPaths::components(subPath);
    // The folder is checked and opened, then listed, on a worker thread.
    const QByteArray bookmark = entry->bookmarkData;
    std::optional<std::pair<QUrl, SharedDocuments::Listing>> outcome;
    try {
        QCoro::Task<std::optional<std::pair<QUrl, SharedDocuments::Listing>>> listed =
            ShareWork::run(QStringList{SharedDocuments::shareOf(*entry)},
                           [bookmark, pieces]() -> std::optional<std::pair<QUrl, SharedDocuments::Listing>> {
                               const std::optional<BookmarkResolver::Resolved> resolved =
                                   BookmarkResolver::tryResolve(bookmark);
                               if (!resolved)
                                   return std::nullopt;
                               SharedDocuments::Listing listing;
                               if (pieces) {
                                   const BookmarkResolver::ScopedAccess access(resolved->url);
                                   listing = SharedDocuments::list(*resolved->tree, *pieces);
                               }
                               return std::make_pair(resolved->url, listing);
                           });
        outcome = co_await std::move(listed);
    } catch (const ShareWork::NotAnswering& error) {
        co_return error.description();
    }
    if (!outcome)
        co_return QStringLiteral("Impossible de résoudre le bookmark (dossier déplacé ?).");
    if (!pieces)
        co_return QStringLiteral("sub_path invalide.");
    const SharedDocuments::Listing& listing = outcome->second;
    if (listing.escapes)
        co_return QStringLiteral("sub_path échappe du dossier partagé.");
    if (listing.error)
        co_return QStringLiteral("Lecture du dossier impossible: ") + *listing.error;
    if (listing.entries.isEmpty())
        co_return QStringLiteral("Empty folder.");

    QStringList lines;
    QList<std::pair<QString, QByteArray>> ids;
    for (const SharedDocuments::ListedEntry& child : listing.entries) {
        const QString childId = newDocumentId();
        ids.append({childId, child.path});
        if (child.isDirectory)
            lines.append(QStringLiteral("\U0001F4C1 ") + child.name + QStringLiteral(" (id: ") + childId +
                         QLatin1Char(')'));
        else
            lines.append(QStringLiteral("\U0001F4C4 ") + child.name + QStringLiteral(" (") +
                         kilobytes(child.size) + QStringLiteral(" KB) (id: ") + childId + QLatin1Char(')'));
    }
    // Every id of the answer resolves right after it, however long the listing.
    idCache().putAnswer(ids);
    co_return numberedLines(lines);
}

QCoro::Task<QString> ocrLocalImage(Json args) {
    const auto recognize = [](const SharedDocuments::Lookup& lookup) {
        if (!lookup.document || !lookup.document->isRegularFile())
            return OcrEngine::recognize(QString(), lookup.name); // gone: worded by its type
        return OcrEngine::recognize(lookup.document->readPath(), lookup.name);
    };
    const auto outcome = co_await onDocument<BridgeOcrResult>(
        std::move(args), recognize, QStringLiteral("OCR failed: "), BridgeTaskKind::OcrImage);
    if (outcome.index() == 1)
        co_return std::get<1>(outcome);
    const QString& text = std::get<0>(outcome).text;
    if (text.isEmpty())
        co_return QStringLiteral("No text recognised in this document.");
    co_return text;
}

} // namespace LocalTools

// The file tools of the local model: search, read, list and browse the shared
// folders, and recognise the text of an image. Files are named to the model by ids
// kept in the bridge's id cache, never by path; a document is read only when its
// canonical path lies inside a shared folder's canonical path.
#include "bridge/BookmarkStore.h"
#include "bridge/BridgeService.h"
#include "content/ContentFiles.h"
#include "content/DocumentExtractor.h"
#include "content/OcrEngine.h"
#include "content/SpotlightSearch.h"
#include "localllm/LocalTools.h"
#include "platform/Errors.h"
#include "session/Models.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>
#include <QtConcurrent>

#include <QCoro/QCoroFuture>

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

// The shared folder that holds a document, and the document's canonical path.
struct Owner {
    BookmarkEntry entry;
    QString documentPath;
};

// The first shared folder, in stored order, whose canonical path contains the
// document's canonical path. Folders that no longer resolve are passed over.
std::optional<Owner> owningFolder(const QString& documentPath) {
    for (const BookmarkEntry& entry : BookmarkPersistence::load()) {
        const auto resolved = BookmarkResolver::tryResolve(entry.bookmarkData);
        if (!resolved)
            continue;
        const QString folder = ContentFiles::canonicalPath(resolved->path());
        if (const auto inside = ContentFiles::canonicalInside(documentPath, folder))
            return Owner{entry, *inside};
    }
    return std::nullopt;
}

// Looks the id up and checks containment: the owner, or the answer to give.
std::variant<Owner, QString> documentFor(const Json& args) {
    const QString id = stringArgument(args, "document_id").value_or(QString());
    const std::optional<QString> path = id.isEmpty() ? std::nullopt : idCache().get(id);
    if (!path)
        return documentNotFound;
    auto owner = owningFolder(*path);
    if (!owner)
        return documentOutside;
    return *owner;
}

template <typename Result>
using Outcome = std::variant<Result, QString>; // the value or a failure's description

// Runs `work` on the document inside its folder's access: the folder's bookmark is
// resolved again and access held while the work runs on a worker thread.
template <typename Result, typename Work>
QCoro::Task<Outcome<Result>> inFolderAccess(Owner owner, Work work) {
    const auto resolved = BookmarkResolver::tryResolve(owner.entry.bookmarkData);
    if (!resolved)
        co_return Outcome<Result>(std::in_place_index<1>,
                                  BookmarkError::resolutionFailed(owner.entry.displayName).description());
    BookmarkResolver::ScopedAccess access(resolved->url);
    const QString path = owner.documentPath;
    QFuture<Outcome<Result>> running = QtConcurrent::run([path, work]() -> Outcome<Result> {
        try {
            return Outcome<Result>(std::in_place_index<0>, work(path));
        } catch (...) {
            return Outcome<Result>(std::in_place_index<1>, describeException(std::current_exception()));
        }
    });
    Outcome<Result> outcome = co_await running;
    co_return outcome;
}

bool isCanonicalUuid(const QString& text) {
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    return pattern.match(text).hasMatch();
}

// One entry of a folder being browsed.
struct Child {
    QString path;
    QString name;
    bool isFolder = false;
    qint64 size = 0;
};

struct Listing {
    enum class Kind { Listed, Escapes, Unreadable } kind = Kind::Listed;
    QString error;
    QList<Child> children;
};

// Lists one folder level below the shared folder: direct, visible children only.
// The target must lie inside the folder once links are resolved; a child that is a
// link leading out of the folder (or nowhere) is left out. Blocks.
Listing listFolder(const QString& folder, const QString& target) {
    Listing listing;
    const QString canonicalFolder = ContentFiles::canonicalPath(folder);
    const QString canonicalTarget = ContentFiles::canonicalPath(target);
    if (!canonicalTarget.isEmpty() &&
        (canonicalFolder.isEmpty() || !ContentFiles::isInside(canonicalTarget, canonicalFolder))) {
        listing.kind = Listing::Kind::Escapes;
        return listing;
    }
    const QString readable = canonicalTarget.isEmpty() ? target : canonicalTarget;
    DIR* directory = ::opendir(QFile::encodeName(readable).constData());
    if (!directory) {
        listing.kind = Listing::Kind::Unreadable;
        listing.error = ContentFiles::fileErrorDescription(errno, target, true);
        return listing;
    }
    ::closedir(directory);

    const QFileInfoList entries =
        QDir(canonicalTarget)
            .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink() && !ContentFiles::canonicalInside(entry.filePath(), canonicalFolder))
            continue;
        Child child;
        child.name = entry.fileName();
        child.path = target + QLatin1Char('/') + child.name;
        child.isFolder = entry.isDir();
        child.size = child.isFolder ? 0 : std::max<qint64>(entry.size(), 0);
        listing.children.append(child);
    }
    return listing;
}

} // namespace

QCoro::Task<QString> searchLocalDocuments(Json args) {
    const QString query = stringArgument(args, "query").value_or(QString());
    const QStringList hints = stringListArgument(args, "folder_hints").value_or(QStringList());
    const qint64 limit = std::clamp<qint64>(integerArgument(args, "limit").value_or(10), 1, 50);

    const QList<BookmarkEntry> entries = BookmarkPersistence::load();
    if (entries.isEmpty())
        co_return noFolders;

    QList<QUrl> roots;
    std::vector<std::unique_ptr<BookmarkResolver::ScopedAccess>> access;
    for (const BookmarkEntry& entry : entries) {
        const auto resolved = BookmarkResolver::tryResolve(entry.bookmarkData);
        if (!resolved)
            continue;
        access.push_back(std::make_unique<BookmarkResolver::ScopedAccess>(resolved->url));
        roots.append(resolved->url);
    }

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

    const QList<SearchResult> results =
        co_await SpotlightSearch::search(query, roots, limit, searchTimeoutSeconds);
    access.clear();

    if (results.isEmpty())
        co_return QStringLiteral("No local documents matched.");

    QStringList lines;
    for (const SearchResult& result : results) {
        const QString id = newDocumentId();
        idCache().put(id, result.url.toLocalFile());
        const QString date =
            result.modifiedAt ? ContentFiles::isoDateText(*result.modifiedAt) : QStringLiteral("unknown");
        QString line = result.name + QStringLiteral(" \u2014 ") + result.parentDisplay;
        if (result.isRemote)
            line += QStringLiteral(" (iCloud)");
        line += QStringLiteral(", ") + kilobytes(result.size) + QStringLiteral(" KB, modified ") + date +
                QStringLiteral(" (open: ombrix://local_file/open/") + id + QLatin1Char(')');
        lines.append(line);
    }
    co_return numberedLines(lines);
}

QCoro::Task<QString> readLocalDocument(Json args) {
    auto found = documentFor(args);
    if (found.index() == 1)
        co_return std::get<1>(found);
    const qint64 maxChars = std::clamp<qint64>(integerArgument(args, "max_chars").value_or(8000), 500, 10000);

    const Owner owner = std::get<0>(found);
    const auto extract = [maxChars](const QString& path) {
        return DocumentExtractor::extract(path, maxChars);
    };
    const auto outcome = co_await inFolderAccess<ExtractedContent>(owner, extract);
    if (outcome.index() == 1)
        co_return QStringLiteral("Read failed: ") + std::get<1>(outcome);
    const ExtractedContent& content = std::get<0>(outcome);
    if (content.truncated)
        co_return content.text +
            QStringLiteral("\n\n[Document truncated \u2014 ask for a specific section.]");
    co_return content.text;
}

QString listLocalFolders() {
    const QList<BookmarkEntry> entries = BookmarkPersistence::load();
    if (entries.isEmpty())
        return noFolders;
    QStringList lines;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const auto resolved = BookmarkResolver::tryResolve(entries[i].bookmarkData);
        if (!resolved)
            continue; // its number is skipped
        lines.append(QString::number(i + 1) + QStringLiteral(". ") + entries[i].displayName +
                     QStringLiteral(" (") + ContentFiles::homeDisplay(resolved->path()) +
                     QStringLiteral(", id: ") + uuidText(entries[i].id) + QLatin1Char(')'));
    }
    return lines.join(QLatin1Char('\n'));
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
    const auto resolved = BookmarkResolver::tryResolve(entry->bookmarkData);
    if (!resolved)
        co_return QStringLiteral("Impossible de résoudre le bookmark (dossier déplacé ?).");

    const QStringList pieces = subPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (subPath.startsWith(QLatin1Char('/')) || pieces.contains(QStringLiteral("..")))
        co_return QStringLiteral("sub_path invalide.");

    BookmarkResolver::ScopedAccess access(resolved->url);
    const QString folder = resolved->path();
    QString target = folder;
    for (const QString& piece : pieces)
        target += QLatin1Char('/') + piece;

    QFuture<Listing> listed = QtConcurrent::run([folder, target] { return listFolder(folder, target); });
    Listing listing = co_await listed;
    switch (listing.kind) {
    case Listing::Kind::Escapes:
        co_return QStringLiteral("sub_path échappe du dossier partagé.");
    case Listing::Kind::Unreadable:
        co_return QStringLiteral("Lecture du dossier impossible: ") + listing.error;
    case Listing::Kind::Listed:
        break;
    }
    if (listing.children.isEmpty())
        co_return QStringLiteral("Empty folder.");

    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(listing.children.begin(), listing.children.end(),
                     [&](const Child& a, const Child& b) { return collator.compare(a.name, b.name) < 0; });

    QStringList lines;
    for (const Child& child : listing.children) {
        const QString childId = newDocumentId();
        idCache().put(childId, child.path);
        if (child.isFolder)
            lines.append(QStringLiteral("\U0001F4C1 ") + child.name + QStringLiteral(" (id: ") + childId +
                         QLatin1Char(')'));
        else
            lines.append(QStringLiteral("\U0001F4C4 ") + child.name + QStringLiteral(" (") +
                         kilobytes(child.size) + QStringLiteral(" KB) (id: ") + childId + QLatin1Char(')'));
    }
    co_return numberedLines(lines);
}

QCoro::Task<QString> ocrLocalImage(Json args) {
    auto found = documentFor(args);
    if (found.index() == 1)
        co_return std::get<1>(found);

    const Owner owner = std::get<0>(found);
    // Typed by the name it was listed under: a link's target may have no extension.
    const QString listed =
        idCache().get(stringArgument(args, "document_id").value_or(QString())).value_or(QString());
    const auto recognize = [listed](const QString& path) { return OcrEngine::recognize(path, listed); };
    const auto outcome = co_await inFolderAccess<BridgeOcrResult>(owner, recognize);
    if (outcome.index() == 1)
        co_return QStringLiteral("OCR failed: ") + std::get<1>(outcome);
    const QString& text = std::get<0>(outcome).text;
    if (text.isEmpty())
        co_return QStringLiteral("No text recognised in this document.");
    co_return text;
}

} // namespace LocalTools

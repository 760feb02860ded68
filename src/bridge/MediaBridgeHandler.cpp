#include "bridge/MediaBridgeHandler.h"

#include "bridge/BookmarkStore.h"
#include "bridge/BridgeResults.h"
#include "bridge/BridgeService.h"
#include "bridge/TaskReports.h"
#include "content/ContentFiles.h"
#include "content/DesktopOpener.h"
#include "content/OcrEngine.h"
#include "content/Thumbnails.h"
#include "platform/Localization.h"

#include <QFuture>
#include <QtConcurrent>

#include <QCoro/QCoroFuture>

namespace MediaBridgeHandler {

namespace {

// The shared folder that holds a document, and the document's path as it is reached.
struct Containment {
    BookmarkEntry entry;
    QString documentPath;
    QString handedOutPath; // the path the document was handed out under
};

// The document's path when it lies in the folder: resolved (links followed) when
// something exists there; otherwise, with nothing left to follow, the path as given.
std::optional<QString> pathInside(const QString& document, const QString& folder) {
    const QString canonicalFolder = ContentFiles::canonicalPath(folder);
    if (canonicalFolder.isEmpty())
        return std::nullopt;
    if (!ContentFiles::canonicalPath(document).isEmpty())
        return ContentFiles::canonicalInside(document, canonicalFolder);
    if (ContentFiles::isInside(document, folder))
        return document;
    return std::nullopt;
}

// The first shared folder, in stored order, that resolves and holds the document.
// Folders that do not resolve are left out without a word. Blocking (file checks).
std::optional<Containment> findContaining(const QList<BookmarkEntry>& entries, const QString& document) {
    for (const BookmarkEntry& entry : entries) {
        const std::optional<BookmarkResolver::Resolved> folder =
            BookmarkResolver::tryResolve(entry.bookmarkData);
        if (!folder)
            continue;
        if (const std::optional<QString> inside = pathInside(document, folder->path()))
            return Containment{entry, *inside, document};
    }
    return std::nullopt;
}

// The shared folders as stored now (GUI thread).
QList<BookmarkEntry> sharedFolders() {
    BookmarkStore::shared(); // made now if nothing has used it yet
    return BookmarkPersistence::load();
}

// The shared folder that holds a handed-out document. When the id is unknown or the
// document lies in no shared folder, the task's error update is sent with the matching
// message and nothing is returned.
QCoro::Task<std::optional<Containment>> locateShared(APIService api, QString taskId, QString documentId,
                                                     const char* unknownMessage, const char* outsideMessage) {
    const std::optional<QString> document = BridgeService::shared().idCache().get(documentId);
    if (!document) {
        co_await TaskReports::error(api, taskId, loc(unknownMessage));
        co_return std::nullopt;
    }
    const QList<BookmarkEntry> entries = sharedFolders();
    const QString path = *document;
    QFuture<std::optional<Containment>> checking =
        QtConcurrent::run([entries, path] { return findContaining(entries, path); });
    const std::optional<Containment> containment = co_await checking;
    if (!containment)
        co_await TaskReports::error(api, taskId, loc(outsideMessage));
    co_return containment;
}

struct OcrOutcome {
    std::optional<BridgeOcrResult> result;
    QString error;
};

// Resolves the folder again and recognises the document inside the folder's access.
// The file read is the one checked (`documentPath`); its type follows the name the
// document was handed out under.
OcrOutcome recognizeInFolder(const QByteArray& bookmark, const QString& documentPath,
                             const QString& handedOutPath) {
    OcrOutcome outcome;
    try {
        const BookmarkResolver::Resolved folder = BookmarkResolver::resolve(bookmark);
        const BookmarkResolver::ScopedAccess access(folder.url);
        outcome.result = OcrEngine::recognize(documentPath, handedOutPath);
    } catch (...) {
        outcome.error = describeException(std::current_exception());
    }
    return outcome;
}

struct OpenCheck {
    bool contained = false;
    QString documentPath;
    bool couldRunCode = false;
};

BridgeThumbnailResult emptyThumbnail() {
    return BridgeThumbnailResult{QString(), QStringLiteral("image/png"), 0, 0};
}

BridgeThumbnailResult thumbnailOf(const QString& documentPath, int boxPixels) {
    const QImage image = Thumbnails::make(documentPath, boxPixels);
    const std::optional<QByteArray> png = BridgeService::pngData(image);
    if (!png)
        return emptyThumbnail();
    return BridgeThumbnailResult{QString::fromLatin1(png->toBase64()), QStringLiteral("image/png"),
                                 image.width(), image.height()};
}

} // namespace

// (Futures are named locals throughout: g++ 12 destroys a lambda temporary inside a
// co_await expression twice.)

QCoro::Task<> handleOcrImage(const BridgeTask& taskRef, const BridgeTask::OcrImageArgs& argsRef,
                             const APIService& apiRef) {
    const QString taskId = taskRef.id;
    const QString documentId = argsRef.documentId;
    const APIService api = apiRef;
    QCoro::Task<std::optional<Containment>> locating =
        locateShared(api, taskId, documentId, kUnknownDocumentForOcr, kOutsideForOcr);
    const std::optional<Containment> containment = co_await locating;
    if (!containment)
        co_return;
    const QByteArray bookmark = containment->entry.bookmarkData;
    const QString documentPath = containment->documentPath;
    const QString path = containment->handedOutPath;
    QFuture<OcrOutcome> recognizing = QtConcurrent::run(
        [bookmark, documentPath, path] { return recognizeInFolder(bookmark, documentPath, path); });
    const OcrOutcome outcome = co_await recognizing;
    if (outcome.result)
        co_await TaskReports::success(api, taskId, outcome.result->toJson()); // a failed delivery is dropped
    else
        co_await TaskReports::error(api, taskId, outcome.error);
}

QCoro::Task<> handleOpenDocument(const BridgeTask& taskRef, const BridgeTask::OpenDocumentArgs& argsRef,
                                 const APIService& apiRef) {
    const QString taskId = taskRef.id;
    const QString documentId = argsRef.documentId;
    const APIService api = apiRef;
    const std::optional<QString> document = BridgeService::shared().idCache().get(documentId);
    if (!document) {
        co_await TaskReports::error(api, taskId, loc(kUnknownDocument));
        co_return;
    }
    const QList<BookmarkEntry> entries = sharedFolders();
    const QString path = *document;
    QFuture<OpenCheck> checking = QtConcurrent::run([entries, path] {
        OpenCheck check;
        if (const std::optional<Containment> containment = findContaining(entries, path)) {
            check.contained = true;
            check.documentPath = containment->documentPath;
            check.couldRunCode = DesktopOpener::couldRunCode(check.documentPath);
        }
        return check;
    });
    const OpenCheck check = co_await checking;
    if (!check.contained) {
        co_await TaskReports::error(api, taskId, loc(kNoLongerShared));
        co_return;
    }
    bool opened = false;
    if (!check.couldRunCode) {
        try {
            opened = co_await DesktopOpener::shared().openDocument(check.documentPath);
        } catch (...) {
            opened = false;
        }
    }
    BridgeOkResult result{opened, std::nullopt};
    if (!opened)
        result.error = QString::fromLatin1(kOpenFailed);
    const std::optional<QString> failure = co_await TaskReports::success(api, taskId, result.toJson());
    if (failure)
        BridgeService::shared().setLastErrorMessage(failure);
}

QCoro::Task<> handleThumbnail(const BridgeTask& taskRef, const BridgeTask::ThumbnailArgs& argsRef,
                              const APIService& apiRef) {
    const QString taskId = taskRef.id;
    const QString documentId = argsRef.documentId;
    const std::optional<qint64> maxEdge = argsRef.maxEdge;
    const APIService api = apiRef;
    QCoro::Task<std::optional<Containment>> locating =
        locateShared(api, taskId, documentId, kUnknownDocument, kNoLongerShared);
    const std::optional<Containment> containment = co_await locating;
    if (!containment)
        co_return;
    const int box = Thumbnails::boxPixels(Thumbnails::clampedEdge(maxEdge), Thumbnails::screenScale());
    const QString documentPath = containment->documentPath;
    QFuture<BridgeThumbnailResult> drawing =
        QtConcurrent::run([documentPath, box] { return thumbnailOf(documentPath, box); });
    const BridgeThumbnailResult result = co_await drawing;
    const std::optional<QString> failure = co_await TaskReports::success(api, taskId, result.toJson());
    if (failure) // one more try, with the empty thumbnail; its failure is dropped
        co_await TaskReports::success(api, taskId, emptyThumbnail().toJson());
}

} // namespace MediaBridgeHandler

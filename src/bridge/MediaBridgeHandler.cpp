#include "bridge/MediaBridgeHandler.h"

#include "bridge/BookmarkStore.h"
#include "bridge/BridgeService.h"
#include "bridge/SharedDocuments.h"
#include "bridge/TaskReports.h"
#include "content/ContentFiles.h"
#include "content/Decoding.h"
#include "content/DesktopOpener.h"
#include "content/OcrEngine.h"
#include "content/Thumbnails.h"
#include "platform/Localization.h"
#include "platform/ShareWork.h"
#include "wire/BridgeResults.h"

#include <QFile>

namespace MediaBridgeHandler {

namespace {

using SharedDocuments::Lookup;

// The shared folders as stored now (GUI thread).
QList<BookmarkEntry> sharedFolders() {
    BookmarkStore::shared(); // made now if nothing has used it yet
    return BookmarkPersistence::load();
}

// The handed-out document, opened again inside the shared folder that holds it.
// When the id is unknown or the document lies in no shared folder, the task's error
// update is sent with the matching message and nothing is returned. A document
// inside a shared folder that cannot be opened (gone since) is returned without a
// descriptor: each task words that failure its own way.
QCoro::Task<std::optional<Lookup>> locateShared(APIService api, QString taskId, QString documentId,
                                                const char* unknownMessage, const char* outsideMessage) {
    const std::optional<QByteArray> document = BridgeService::shared().idCache().getNative(documentId);
    if (!document) {
        co_await TaskReports::error(api, taskId, loc(unknownMessage));
        co_return std::nullopt;
    }
    const QList<BookmarkEntry> entries = sharedFolders();
    const QByteArray path = *document;
    std::optional<Lookup> located;
    std::optional<QString> silent;
    try {
        QCoro::Task<Lookup> checking = SharedDocuments::locate(entries, path, TaskReports::sharePurpose(api));
        located = co_await std::move(checking);
    } catch (const ShareWork::NotAnswering& error) {
        silent = error.description();
    }
    if (silent) {
        co_await TaskReports::error(api, taskId, *silent);
        co_return std::nullopt;
    }
    const Lookup lookup = *located;
    if (lookup.outside) {
        co_await TaskReports::error(api, taskId, loc(outsideMessage));
        co_return std::nullopt;
    }
    co_return lookup;
}

// The share that holds the found document (none when it is gone).
QStringList shareOf(const Lookup& lookup) {
    return lookup.document ? QStringList{SharedDocuments::shareOf(lookup.document->entry)} : QStringList{};
}

// Waits for work on a share; the share not answering gives `silent`.
template <typename T> QCoro::Task<T> answerOrSilent(QCoro::Task<T>& running, T silent) {
    try {
        co_return co_await std::move(running);
    } catch (const ShareWork::NotAnswering&) {
    }
    co_return silent;
}

struct OcrOutcome {
    std::optional<BridgeOcrResult> result;
    QString error;
};

// Recognises the opened document inside its folder's access; its type follows the
// name it was handed out under.
OcrOutcome recognizeInFolder(const Lookup& lookup) {
    OcrOutcome outcome;
    try {
        if (!lookup.document) { // gone: nothing to read, the type still words the failure
            outcome.result = OcrEngine::recognize(QString(), lookup.name);
            return outcome;
        }
        const BookmarkResolver::ScopedAccess access(lookup.document->folder.url);
        if (!lookup.document->isRegularFile())
            outcome.result = OcrEngine::recognize(QString(), lookup.name);
        else
            outcome.result = OcrEngine::recognize(lookup.document->readPath(), lookup.name);
    } catch (...) {
        outcome.error = describeException(std::current_exception());
    }
    return outcome;
}

struct OpenCheck {
    bool contained = false;
    QString documentPath;
    bool couldRunCode = true;
};

BridgeThumbnailResult emptyThumbnail() {
    return BridgeThumbnailResult{QString(), QStringLiteral("image/png"), 0, 0};
}

BridgeThumbnailResult thumbnailOf(const Lookup& lookup, int boxPixels) {
    if (!lookup.document && lookup.error != 0) // inside its folder, but it could not be opened
        throw MessageError(ContentFiles::fileErrorDescription(lookup.error, lookup.name));
    if (!lookup.document || !lookup.document->isRegularFile())
        return emptyThumbnail();
    const QImage image = Thumbnails::make(lookup.document->readPath(), boxPixels);
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
    QCoro::Task<std::optional<Lookup>> locating =
        locateShared(api, taskId, documentId, kUnknownDocumentForOcr, kOutsideForOcr);
    const std::optional<Lookup> lookup = co_await locating;
    if (!lookup)
        co_return;
    const Lookup found = *lookup;
    OcrOutcome silent;
    silent.error = ShareWork::NotAnswering().description();
    QCoro::Task<OcrOutcome> recognizing = ShareWork::run(
        shareOf(found),
        [found, deadline = api.taskDeadline] {
            const Decoding::TaskDeadline within(deadline);
            return recognizeInFolder(found);
        },
        TaskReports::sharePurpose(api));
    QCoro::Task<OcrOutcome> answering = answerOrSilent(recognizing, silent);
    const OcrOutcome outcome = co_await std::move(answering);
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
    const std::optional<QByteArray> document = BridgeService::shared().idCache().getNative(documentId);
    if (!document) {
        co_await TaskReports::error(api, taskId, loc(kUnknownDocument));
        co_return;
    }
    const QList<BookmarkEntry> entries = sharedFolders();
    const QByteArray path = *document;
    std::optional<Lookup> located;
    std::optional<QString> silent;
    try {
        QCoro::Task<Lookup> locating = SharedDocuments::locate(entries, path, TaskReports::sharePurpose(api));
        located = co_await std::move(locating);
    } catch (const ShareWork::NotAnswering& error) {
        silent = error.description();
    }
    if (silent) {
        co_await TaskReports::error(api, taskId, *silent);
        co_return;
    }
    // The desktop opens by path: the path handed over is where the checked file lies
    // (links resolved), and it is judged on the file opened through the shared folder.
    const Lookup lookup = *located;
    QCoro::Task<OpenCheck> checking = ShareWork::run(
        shareOf(lookup),
        [lookup] {
            OpenCheck check;
            check.contained = !lookup.outside;
            if (const std::optional<SharedDocuments::Document>& found = lookup.document) {
                check.documentPath = QFile::decodeName(found->realPath);
                const QString realName =
                    QFile::decodeName(found->realPath.mid(found->realPath.lastIndexOf('/') + 1));
                check.couldRunCode =
                    QFile::encodeName(check.documentPath) != found->realPath ||
                    DesktopOpener::couldRunCode(found->readPath(), QStringList{found->name, realName});
            }
            return check;
        },
        TaskReports::sharePurpose(api));
    std::optional<OpenCheck> checked;
    try {
        checked = co_await std::move(checking);
    } catch (const ShareWork::NotAnswering& error) {
        silent = error.description();
    }
    if (silent) { // the share went silent while the document was checked: nothing is opened
        co_await TaskReports::error(api, taskId, *silent);
        co_return;
    }
    const OpenCheck check = *checked;
    if (!TaskReports::isOpen(api))
        co_return; // answered at its limit while the check ran: nothing is opened
    if (!check.contained) {
        co_await TaskReports::error(api, taskId, loc(kNoLongerShared));
        co_return;
    }
    bool opened = false;
    if (!check.couldRunCode) {
        const QStringList shares =
            SharedDocuments::sharesHolding(entries, QFile::encodeName(check.documentPath));
        try {
            opened = co_await DesktopOpener::shared().openDocument(check.documentPath, shares);
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
    QCoro::Task<std::optional<Lookup>> locating =
        locateShared(api, taskId, documentId, kUnknownDocument, kNoLongerShared);
    const std::optional<Lookup> lookup = co_await locating;
    if (!lookup)
        co_return;
    const int box = Thumbnails::boxPixels(Thumbnails::clampedEdge(maxEdge), Thumbnails::screenScale());
    const Lookup found = *lookup;
    QCoro::Task<BridgeThumbnailResult> drawing = ShareWork::run(
        shareOf(found),
        [found, box, deadline = api.taskDeadline] {
            const Decoding::TaskDeadline within(deadline);
            return thumbnailOf(found, box);
        },
        TaskReports::sharePurpose(api));
    // A read that failed or hung is answered as such, never as an empty thumbnail
    // (that one says the document has no picture to give).
    std::optional<BridgeThumbnailResult> drawn;
    QString error;
    try {
        drawn = co_await std::move(drawing);
    } catch (...) {
        error = describeException(std::current_exception());
    }
    if (!drawn) {
        co_await TaskReports::error(api, taskId, error);
        co_return;
    }
    const BridgeThumbnailResult result = *drawn;
    const std::optional<QString> failure = co_await TaskReports::success(api, taskId, result.toJson());
    if (failure) // one more try, with the empty thumbnail; its failure is dropped
        co_await TaskReports::success(api, taskId, emptyThumbnail().toJson());
}

} // namespace MediaBridgeHandler

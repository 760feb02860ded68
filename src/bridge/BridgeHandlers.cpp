// The handler of each task kind, in the order of the wire model. A kind set to
// nullptr has no handler yet: its tasks are answered with an error update.
#include "bridge/BridgeService.h"
#include "bridge/DocumentBridgeHandler.h"

#include "localllm/LocalLLMHandler.h"

void registerBridgeHandlers(BridgeService& service) {
    // "search": documents of the shared folders matching a query.
    service.setHandler(BridgeTaskKind::Search, bridgeHandlerWithArgs(&DocumentBridgeHandler::handleSearch));

    // "read": the text of one document.
    service.setHandler(BridgeTaskKind::Read, bridgeHandlerWithArgs(&DocumentBridgeHandler::handleRead));

    // "list_folders": the shared folders.
    service.setHandler(BridgeTaskKind::ListFolders, &DocumentBridgeHandler::handleListFolders);

    // "list_dir": the entries of a shared folder or of a folder below it.
    service.setHandler(BridgeTaskKind::ListDir, bridgeHandlerWithArgs(&DocumentBridgeHandler::handleListDir));

    // "photos_recent": the latest photos.
    service.setHandler(BridgeTaskKind::PhotosRecent, nullptr);

    // "photos_by_date": the photos of a year or a month.
    service.setHandler(BridgeTaskKind::PhotosByDate, nullptr);

    // "app_open": opens an application.
    service.setHandler(BridgeTaskKind::AppOpen, nullptr);

    // "shortcut_run": runs a shortcut.
    service.setHandler(BridgeTaskKind::ShortcutRun, nullptr);

    // "shortcut_list": the shortcuts.
    service.setHandler(BridgeTaskKind::ShortcutList, nullptr);

    // "ocr_image": the text recognised in an image or a PDF.
    service.setHandler(BridgeTaskKind::OcrImage, nullptr);

    // "open_document": opens a document in its application.
    service.setHandler(BridgeTaskKind::OpenDocument, nullptr);

    // "thumbnail": a small image of a document.
    service.setHandler(BridgeTaskKind::Thumbnail, nullptr);

    // "llm_infer": a chat completion run by the local model server.
    service.setHandler(BridgeTaskKind::LLMInfer, bridgeHandlerWithArgs(&LocalLLMHandler::handle));
}

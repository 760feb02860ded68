// The handler of each task kind, in the order of the wire model. A kind left
// without a handler would have its tasks answered with an error update.
#include "bridge/BridgeService.h"
#include "bridge/DocumentBridgeHandler.h"
#include "bridge/MediaBridgeHandler.h"
#include "bridge/PhotosBridgeHandler.h"
#include "bridge/ScreenControlBridgeHandler.h"

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
    service.setHandler(BridgeTaskKind::PhotosRecent,
                       bridgeHandlerWithArgs(&PhotosBridgeHandler::handleRecent));

    // "photos_by_date": the photos of a year or a month.
    service.setHandler(BridgeTaskKind::PhotosByDate,
                       bridgeHandlerWithArgs(&PhotosBridgeHandler::handleByDate));

    // "app_open": opens an application.
    service.setHandler(BridgeTaskKind::AppOpen,
                       bridgeHandlerWithArgs(&ScreenControlBridgeHandler::handleOpenApp));

    // "shortcut_run": runs a shortcut.
    service.setHandler(BridgeTaskKind::ShortcutRun,
                       bridgeHandlerWithArgs(&ScreenControlBridgeHandler::handleRunShortcut));

    // "shortcut_list": the shortcuts.
    service.setHandler(BridgeTaskKind::ShortcutList, ScreenControlBridgeHandler::handleListShortcuts);

    // "ocr_image": the text recognised in an image or a PDF.
    service.setHandler(BridgeTaskKind::OcrImage, bridgeHandlerWithArgs(&MediaBridgeHandler::handleOcrImage));

    // "open_document": opens a document in its application.
    service.setHandler(BridgeTaskKind::OpenDocument,
                       bridgeHandlerWithArgs(&MediaBridgeHandler::handleOpenDocument));

    // "thumbnail": a small image of a document.
    service.setHandler(BridgeTaskKind::Thumbnail,
                       bridgeHandlerWithArgs(&MediaBridgeHandler::handleThumbnail));

    // "llm_infer" comes from the local model layer, above the bridge: the
    // composition root registers it (src/app/Composition.cpp).
}

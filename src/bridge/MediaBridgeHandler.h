#pragma once

#include "session/APIService.h"
#include "wire/BridgeTask.h"

#include <QCoro/QCoroTask>

// The ocr_image, open_document and thumbnail tasks on a document id handed out by
// an earlier search or listing (BridgeService::shared().idCache()). Each reads the
// shared folders afresh and acts only on a document inside one of them; the test
// is made on canonical paths (links resolved), so a link inside a share that leads
// out of it is outside. The handlers report their outcome themselves, never throw,
// and do their file work (recognition, drawing, the checks) off the GUI thread.
// The arguments are copied before the first suspension.
namespace MediaBridgeHandler {

// The two wordings of the messages: ocr_image uses the first form of each,
// open_document and thumbnail the second.
inline constexpr const char* kUnknownDocumentForOcr =
    "Document introuvable (la session a pu être nettoyée; relance la recherche).";
inline constexpr const char* kUnknownDocument =
    "Document introuvable (la session a pu être nettoyée ; relance la recherche).";
inline constexpr const char* kOutsideForOcr = "Document hors des dossiers partagés.";
inline constexpr const char* kNoLongerShared = "Le document n'est plus dans un dossier partagé.";
// The error of an open_document whose file was not opened.
inline constexpr const char* kOpenFailed = "open_failed";

QCoro::Task<> handleOcrImage(const BridgeTask& task, const BridgeTask::OcrImageArgs& args,
                             const APIService& api);
// Never hands a file that could run code (a program, a script, a .desktop entry,
// anything with an execute bit) to the desktop: it answers ok false, "open_failed".
QCoro::Task<> handleOpenDocument(const BridgeTask& task, const BridgeTask::OpenDocumentArgs& args,
                                 const APIService& api);
QCoro::Task<> handleThumbnail(const BridgeTask& task, const BridgeTask::ThumbnailArgs& args,
                              const APIService& api);

} // namespace MediaBridgeHandler

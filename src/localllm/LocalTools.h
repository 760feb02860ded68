#pragma once

#include "content/PhotoLibrary.h"
#include "platform/Json.h"
#include "wire/BridgeTask.h"

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <optional>

// The tools behind LocalToolRegistry::dispatch and the conventions they share.
// Each tool takes the parsed argument object and answers text; none throws.
namespace LocalTools {

// Argument readers: a value of another JSON type counts as absent. Integers are
// JSON integers only (never 3.0 or "3"); an unsigned value above the 64-bit range
// reads as the largest one.
std::optional<QString> stringArgument(const Json& args, const char* key);
std::optional<qint64> integerArgument(const Json& args, const char* key);
// An array whose members are all strings.
std::optional<QStringList> stringListArgument(const Json& args, const char* key);

// "1. a\n2. b": numbered from 1, one line feed between lines, none after.
QString numberedLines(const QStringList& items);
// Bytes in KB, one decimal, rounded half away from zero: 2048 → "2.0", 12800 → "12.5".
QString kilobytes(qint64 bytes);
// A fresh document id: a random UUID in canonical upper-case text.
QString newDocumentId();
// When a tool call that decodes files must be done: the time limit of the bridge
// task that does the same (read, OCR, photos), from now. Called on the GUI thread.
QDeadlineTimer toolDeadline(BridgeTaskKind kind);

// A photo id made safe for a URL path: everything outside the path characters, and
// "/" too, percent-encoded (UTF-8).
QString photoLinkId(const QString& id);

// File tools, on the shared folders.
QCoro::Task<QString> searchLocalDocuments(Json args);
QCoro::Task<QString> readLocalDocument(Json args);
QCoro::Task<QString> listLocalFolders();
QCoro::Task<QString> browseLocalFolder(Json args);
QCoro::Task<QString> ocrLocalImage(Json args);

// Photo, application and shortcut tools.
QCoro::Task<QString> fetchPhotos(qint64 limit, std::optional<PhotoLibrary::DateRange> range);
QCoro::Task<QString> listPhotosFromDate(Json args);
QCoro::Task<QString> openApp(Json args);
QCoro::Task<QString> listShortcuts();
QCoro::Task<QString> runShortcut(Json args);

} // namespace LocalTools

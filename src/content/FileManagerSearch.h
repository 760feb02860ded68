#pragma once

#include "content/SearchResult.h"
#include "platform/ShareWork.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <QCoro/QCoroTask>

// The file-system side of document search: a bounded walk of folders that
// matches file names only.
namespace FileManagerSearch {

// The walk: every entry below the folders (hidden entries and links to folders
// are not entered) whose folded name holds every folded token. At most
// `maxEntries` entries are looked at per folder, and the walk stops once it holds
// three times `limit` candidates; these come back newest first (undated last,
// equal dates by name) and cut to `limit`. A link that leads out of its folder is
// never a result. Each folder is walked on its own share's lane (ShareWork), all
// at once, and its candidates merged: a folder that does not answer, or stops
// answering during its walk, is left out and named in the outcome.
QCoro::Task<SearchOutcome> search(QStringList tokens, QList<QUrl> folders, qint64 limit, qint64 maxEntries,
                                  ShareWork::Purpose purpose = {});
// The same walk, on the calling thread.
QList<SearchResult> searchNow(const QStringList& tokens, const QList<QUrl>& folders, qint64 limit,
                              qint64 maxEntries);

// The MIME type reported for a type: the type names of QMimeDatabase mapped onto
// the common document types ("application/rtf" becomes "text/rtf", JPEG and PNG
// become "image/*", …); any other type is returned unchanged.
QString mimeFromUTI(const QString& type);

// The type of the entry at `path` as QMimeDatabase names it ("inode/directory"
// for a folder, "application/octet-stream" when unknown). Blocks.
QString typeIdentifier(const QString& path);

// A SearchResult for the entry at `path`: name, size, date, type and volume read
// from the file system, with their defaults when they cannot be read. Blocks.
SearchResult describe(const QString& path);

} // namespace FileManagerSearch

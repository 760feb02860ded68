#pragma once

#include "bridge/BookmarkStore.h"
#include "content/SharedTree.h"
#include "platform/ShareWork.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <QCoro/QCoroTask>

#include <memory>
#include <optional>
#include <sys/stat.h>

// Documents handed out by id (a path inside a shared folder), opened again through
// the folder's descriptor: what is read, recognised, drawn or handed to the desktop
// is the file opened here, never a path looked up a second time.
namespace SharedDocuments {

struct Document {
    BookmarkEntry entry;               // the shared folder that holds it
    BookmarkResolver::Resolved folder; // that folder, opened
    std::shared_ptr<UniqueFd> fd;      // the document, opened
    struct stat info {};               // its status
    QByteArray realPath;               // where it lies, links resolved (native)
    QString name;                      // the name it was handed out under
    // A path that opens exactly this file, for readers that take a path.
    QString readPath() const { return SharedPaths::descriptorPath(fd->get()); }
    bool isRegularFile() const { return S_ISREG(info.st_mode); }
};

struct Lookup {
    std::optional<Document> document;
    bool outside = true; // in no shared folder (or led out of it); otherwise `error` says why
    int error = 0;       // errno of a document inside a shared folder that could not be opened
    QString name;        // the name it was handed out under
};

// The document at `nativePath` in the first shared folder (stored order) that
// holds it and opens. The path is taken as handed out, then with links resolved (a
// link from one share into another). A control character anywhere, a hidden
// component, or a link leading out refuses it. Blocks.
Lookup open(const QList<BookmarkEntry>& entries, const QByteArray& nativePath);

// The key of a shared folder's file work (ShareWork): the path it was shared at,
// known without touching it.
QString shareOf(const BookmarkEntry& entry);
// The shares whose path holds `nativePath` (textually, nothing is looked up); the
// path itself when none does.
QStringList sharesHolding(const QList<BookmarkEntry>& entries, const QByteArray& nativePath);

// A shared folder resolved on its share's lane; throws ShareWork::NotAnswering
// when the share does not answer.
QCoro::Task<std::optional<BookmarkResolver::Resolved>> resolveOne(BookmarkEntry entry,
                                                                  ShareWork::Purpose purpose = {});

struct Resolutions {
    QList<std::optional<BookmarkResolver::Resolved>> folders; // in stored order; nothing: not usable
    QList<BookmarkEntry> silent; // the folders whose share did not answer, in stored order
};
// Every shared folder resolved at once, each on its share's lane: the answer comes
// when each has answered or been found silent (ShareWork::kSilence), never later.
QCoro::Task<Resolutions> resolveAll(QList<BookmarkEntry> entries, ShareWork::Purpose purpose = {});
// resolveAll's folders: one that does not answer counts as one that does not resolve.
QCoro::Task<QList<std::optional<BookmarkResolver::Resolved>>> resolveEach(QList<BookmarkEntry> entries,
                                                                          ShareWork::Purpose purpose = {});

// open() with the work of each shared folder on that share's lane, all folders at
// once: the answer comes as soon as a folder holds the document and no folder
// before it (stored order) that may hold it is still to answer, so a share that
// hangs holds up no other. Throws ShareWork::NotAnswering when no folder holds the
// document and a share did not answer.
QCoro::Task<Lookup> locate(QList<BookmarkEntry> entries, QByteArray nativePath,
                           ShareWork::Purpose purpose = {});

struct ListedEntry {
    QString name;
    QByteArray path; // native
    bool isDirectory = false;
    qint64 size = 0;
    std::optional<QDateTime> modifiedAt;
};

struct Listing {
    bool escapes = false;
    std::optional<QString> error; // the description of a listing that failed
    QList<ListedEntry> entries;   // sorted by name
};

// The visible entries of one folder below a shared folder (`components` as
// SharedPaths::components gives them), without descending, read through the shared
// folder's descriptor and sorted by name (case ignored, stable). Hidden entries and
// names with a control character are left out; a link only when it leads to
// something inside the shared folder. Blocks.
Listing list(const SharedTree& tree, const QStringList& components);

} // namespace SharedDocuments

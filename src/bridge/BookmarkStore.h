#pragma once

#include "content/SharedTree.h"
#include "platform/Errors.h"
#include "platform/Json.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <memory>
#include <optional>

// One folder the user shared with the bridge and the local model's tools.
struct BookmarkEntry {
    QUuid id;
    QByteArray bookmarkData; // the folder's bookmark record (BookmarkResolver)
    QString displayName;     // last path component when the folder was added
    double addedAt = 0;      // seconds since the reference date

    bool operator==(const BookmarkEntry& other) const = default;

    // {"id", "bookmarkData" (Base64), "displayName", "addedAt"}; all four required.
    Json toJson() const;
    static BookmarkEntry fromJson(const Json& object); // throws JsonDecodingError
};

class BookmarkError : public OmbrixError {
public:
    enum class Kind { ResolutionFailed, NotADirectory, SystemSensitive };

    static BookmarkError resolutionFailed(QString detail) {
        return BookmarkError(Kind::ResolutionFailed, std::move(detail));
    }
    static BookmarkError notADirectory() { return BookmarkError(Kind::NotADirectory, {}); }
    static BookmarkError systemSensitive() { return BookmarkError(Kind::SystemSensitive, {}); }

    Kind kind() const { return kind_; }
    QString description() const override;

private:
    BookmarkError(Kind kind, QString detail)
        : kind_(kind)
        , detail_(std::move(detail)) {}
    Kind kind_;
    QString detail_;
};

// The stored list of shared folders, user-defaults key "bridgeAllowedBookmarks"
// (a JSON array as a data value). Readers call load() afresh for every task.
// Both operations use the shared DefaultsStore; call them on the GUI thread.
namespace BookmarkPersistence {
inline constexpr const char* key = "bridgeAllowedBookmarks";
// Where a stored value that cannot be read is kept before a save replaces it.
inline constexpr const char* unreadableKey = "bridgeAllowedBookmarks.unreadable";

// Never fails: nothing stored, a value that is not data, or data that does not
// decode as the whole list all give an empty list. The stored value is not touched.
QList<BookmarkEntry> load();
// Writes the whole list. A stored value that load() could not read is first copied
// to unreadableKey, so that one bad entry never silently erases the user's folders.
void save(const QList<BookmarkEntry>& entries);
} // namespace BookmarkPersistence

// A bookmark is the record {path, device, inode} of the folder (JSON bytes). It is
// checked at every use: it resolves only to the very folder that was shared (same
// device and inode, not a link), found at its path or, when it was renamed within
// its parent, under its new name (then it is stale); a folder replaced by another
// one or by a link is refused as moved, and so is a folder that now falls under the
// sensitive-folder rule. Resolving opens the folder: `tree` reaches what lies below
// it without leaving it.
// Access to a resolved folder is bracketed by startAccessing/stopAccessing, which
// grant nothing on Linux but are counted so that tests can check the pairing.
namespace BookmarkResolver {
struct Resolved {
    QUrl url;
    bool stale = false;
    std::shared_ptr<SharedTree> tree; // the folder, opened
    QString path() const { return url.toLocalFile(); }
};

// Why a bookmark does not resolve.
enum class Refusal { Unreadable, Missing, Moved, Sensitive };
struct Opened {
    std::optional<Resolved> resolved;
    Refusal refusal = Refusal::Missing; // when not resolved
};
// Never throws. Blocks (file-system checks).
Opened open(const QByteArray& bookmarkData);

// The bookmark of an existing file or folder (canonical path, symlinks resolved).
// Throws MessageError when the path cannot be examined.
QByteArray makeBookmark(const QString& path);
// Throws BookmarkError::resolutionFailed when the record is unreadable, the folder
// is gone, moved or replaced, or sensitive.
Resolved resolve(const QByteArray& bookmarkData);
std::optional<Resolved> tryResolve(const QByteArray& bookmarkData);

// The path the bookmark was made for, from the record alone (nothing is looked
// up on the disk): the key of the folder's file work (ShareWork). Empty when the
// record cannot be read.
QString recordedPath(const QByteArray& bookmarkData);
// Whether two bookmarks name the same folder (same device and inode), from the
// records alone.
bool sameFolder(const QByteArray& a, const QByteArray& b);

bool startAccessing(const QUrl& url); // always true
void stopAccessing(const QUrl& url);
int accessStarts();
int accessStops();
void resetAccessCounts();

// Starts access on construction and stops it on destruction when starting succeeded.
class ScopedAccess {
public:
    explicit ScopedAccess(QUrl url);
    ~ScopedAccess();
    ScopedAccess(const ScopedAccess&) = delete;
    ScopedAccess& operator=(const ScopedAccess&) = delete;
    bool started() const { return started_; }

private:
    QUrl url_;
    bool started_;
};
} // namespace BookmarkResolver

// The shared folders as the Settings window edits them. entries are read once,
// when the store is made; every add and remove saves the whole list.
class BookmarkStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<BookmarkEntry> entries READ entries NOTIFY entriesChanged)
public:
    BookmarkStore();

    static BookmarkStore& shared();
    // Drops the process-wide store; the next shared() reads the list again.
    static void resetSharedForTesting();

    const QList<BookmarkEntry>& entries() const { return entries_; }

    // Shares a folder. Throws BookmarkError::notADirectory when nothing exists at the
    // path or it is not a folder, BookmarkError::systemSensitive for a sensitive
    // folder (symlinks resolved first), or the error of makeBookmark().
    BookmarkEntry add(const QString& path);
    BookmarkEntry add(const QUrl& url) { return add(url.toLocalFile()); }
    // add() in two steps, so that the file-system checks run off the GUI thread:
    // the checks and the new entry (blocks; throws as add() does), then the entry
    // stored (GUI thread).
    static BookmarkEntry prepare(const QString& path);
    void insert(const BookmarkEntry& entry);
    // Removes every entry with this id and saves the list (also when none matched).
    void remove(const QUuid& id);

    // Whether the path is one of the sensitive folders, lies inside one, or holds
    // one or the home folder (/, /home, ~/.local…). The test is made on the cleaned
    // path and on its canonical form (symlinks resolved).
    static bool isSystemSensitive(const QString& path);
    // The same for a path known to be canonical already (the real path of an open
    // folder): nothing on the way to it is looked up again.
    static bool isSystemSensitiveReal(const QString& realPath);
    // The sensitive folders, inside which nothing may be shared.
    static QStringList sensitiveFolders();

signals:
    void entriesChanged();

private:
    QList<BookmarkEntry> entries_;
};

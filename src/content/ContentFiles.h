#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>

#include <optional>
#include <utility>

struct stat;
struct statx;

// File-system facts shared by document search, text extraction and the bridge's
// file tasks. Everything that touches the disk blocks: call it off the GUI thread.
namespace ContentFiles {

// How much of a file the type database looks at.
inline constexpr qsizetype kTypeBytes = 16384;

// Textual containment: `path` equals `folder` or begins with `folder` + "/".
// Case-sensitive; nothing is resolved.
bool isInside(const QString& path, const QString& folder);

// The resolved form of a path: symbolic links, "." and ".." resolved. Empty when
// the path does not exist (a dangling link included).
QString canonicalPath(const QString& path);

// The real path of `path`: its canonical path when it exists, otherwise the
// canonical path of its nearest existing ancestor followed by the rest of the
// path ("." and ".." cleaned first). Empty for a relative path of nothing.
QString resolvedPath(const QString& path);

// The canonical path of `path` when it lies inside `canonicalFolder` (itself a
// canonical path), nothing otherwise. A link that leads out of the folder, or
// nowhere, is outside.
std::optional<QString> canonicalInside(const QString& path, const QString& canonicalFolder);

// A path as shown to the backend: the home folder at its start written "~".
QString homeDisplay(const QString& path);

// Whether the path lies on a network file system (NFS, SMB/CIFS, AFS, sshfs and
// other FUSE network mounts). False when it cannot be told. Costs the path's
// lookup; the mount is then told from the mount table, with no call on it.
bool isOnRemoteVolume(const QString& path);
// The same for an open descriptor (O_PATH will do): no call on its file system.
bool isOnRemoteVolume(int fd);
// The rule behind isOnRemoteVolume(): the statfs magic number of the file system
// (0: unknown) or the mount table's type ("nfs4", "fuse.sshfs").
bool isRemoteFileSystem(qint64 magic, const QByteArray& mountType);

// The remote check of the mounts met by one piece of work (a walk, a listing):
// made once per mount, from the process's mount table, never by a call on the
// mount itself, so a result on a slow network share costs nothing more for it.
class VolumeFacts {
public:
    // The mount of an open descriptor (asked without reaching its file system).
    bool isRemote(int fd);
    // The mount of a file whose statx was asked with STATX_MNT_ID.
    bool isRemote(const struct statx& info);
    // The statx flags for the status of an entry of the folder open at `folder`,
    // just looked up: on a FUSE mount the lookup itself brings the status, and
    // asking it again would be one more call on the share (AT_STATX_DONT_SYNC);
    // elsewhere none (the kernel's own rule for its cache).
    int freshStatusFlags(int folder);

private:
    struct Mount {
        bool remote = false;
        bool fuse = false;
    };
    Mount mount(std::optional<quint64> mountId, quint64 device);
    Mount mountOf(int fd);
    QHash<quint64, Mount> mounts_; // by mount id (or device, when the kernel gave no id)
};

// A file opened for reading without waiting (a FIFO is not waited on, no terminal
// taken). A descriptor path of this process ("/proc/self/fd/N", a file already
// opened inside a shared folder) is not opened a second time: that descriptor is
// used as it is (read it with pread: its offset is shared) and left open, so a
// slow share is not asked to open, flush or release the file again.
class ReadableFile {
public:
    explicit ReadableFile(const QString& path);
    ~ReadableFile();
    ReadableFile(const ReadableFile&) = delete;
    ReadableFile& operator=(const ReadableFile&) = delete;
    int fd() const { return fd_; }        // -1 when it could not be opened
    int error() const { return error_; }  // errno then
    bool owned() const { return owned_; } // false: the descriptor path's own, left open
    // Hands the descriptor over (the caller closes it when owned()).
    int release() {
        owned_ = false;
        return std::exchange(fd_, -1);
    }

private:
    int fd_ = -1;
    int error_ = 0;
    bool owned_ = false;
};
// The first `count` bytes of the file (fewer when it is shorter; none when it
// cannot be read), read through ReadableFile. The type database holds a lock of
// its own while it reads a file itself, so a file on a share that hangs would hold
// every type look-up of the program: give it these bytes instead.
QByteArray leadingBytes(const QString& path, qsizetype count = kTypeBytes);
QByteArray leadingBytes(int fd, qsizetype count = kTypeBytes);

// The status of `path`; for a descriptor path of this process, the status its
// opening already fetched (no new call on its file system). 0, or -1 and errno.
int statusOf(const QString& path, struct stat& info);
// fstatat() through statx, so that `flags` may hold AT_STATX_DONT_SYNC.
int statusAt(int folder, const char* name, int flags, struct stat& info);
// The status of a file just opened (ReadableFile): what the opening fetched, with
// no new call on its file system. 0, or -1 and errno.
int statusOfOpened(int fd, struct stat& info);

// A French description of a failed file operation (an errno value) on `path`;
// `folder` words it for a directory.
QString fileErrorDescription(int errorNumber, const QString& path, bool folder = false);

// ISO 8601 internet date-time in UTC, suffix Z, no fraction: 2025-03-14T09:26:53Z.
QString isoDateText(const QDateTime& dateTime);

// Folding for name matching: case- and diacritic-insensitive, no locale.
QString fold(const QString& text);

// The text with every unpaired UTF-16 surrogate replaced by U+FFFD, so that it can
// always be written as UTF-8.
QString withoutLoneSurrogates(QString text);

} // namespace ContentFiles

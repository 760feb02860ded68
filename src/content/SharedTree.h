#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <utility>

// A file descriptor owned by one object: closed when it goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// The entries of a folder open for reading (O_RDONLY | O_DIRECTORY), read with
// getdents64: opendir/fdopendir would first ask the folder's status, one call
// more on a slow share. Takes the descriptor over. Blocks.
class FolderReader {
public:
    explicit FolderReader(UniqueFd folder);
    int fd() const { return folder_.get(); }
    struct Entry {
        const char* name = nullptr; // valid until the next call of next()
        unsigned char type = 0;     // DT_* (DT_UNKNOWN when the file system does not say)
    };
    // The next entry ("." and ".." included); nothing at the end or on an error.
    std::optional<Entry> next();

private:
    UniqueFd folder_;
    QByteArray buffer_;
    qsizetype size_ = 0;
    qsizetype offset_ = 0;
    bool ended_ = false;
};

// A shared folder reached through a descriptor of its root. Everything below it is
// opened by walking from that descriptor, one component at a time, never by a
// path from "/": a folder swapped for a link while a task runs cannot lead out.
//
// The rules of a path below the root (`relative`, native bytes, "/" separated):
//  - no control character (NUL included) anywhere;
//  - no component beginning with "." (hidden entries and ".."; "." is skipped);
//  - links are followed while they stay inside: a relative target is resolved
//    from the link's folder (its ".." never above the root), an absolute target
//    only when it names a place under the root's path; at most 40 links.
// Everything here blocks: call it off the GUI thread.
class SharedTree {
public:
    // The root: an O_PATH descriptor of a folder and its real path (native bytes).
    SharedTree(UniqueFd root, QByteArray rootPath);

    // Opens `path` (absolute, native) as a root: a folder that is not a link.
    // Nothing when it cannot be opened.
    static std::shared_ptr<SharedTree> openRoot(const QByteArray& path);

    int rootFd() const { return root_.get(); }
    const QByteArray& rootPath() const { return rootPath_; }
    QString rootDisplayPath() const;

    // The part of an absolute native path below the root ("" for the root itself),
    // when it lies under the root's path textually; nothing otherwise.
    std::optional<QByteArray> relativeOf(const QByteArray& absolute) const;

    struct Opened {
        UniqueFd fd;
        int error = 0;           // errno when fd is not valid; EXDEV: leads out of the tree
        QByteArray realRelative; // where it was found, links resolved, below the root
    };
    // Opens what `relative` names below the root with `flags` (O_RDONLY, O_PATH,
    // O_DIRECTORY…; O_NOFOLLOW and O_CLOEXEC are added). EINVAL: the path breaks a
    // rule above; EXDEV: a link leads out of the tree (or nowhere outside it).
    Opened open(const QByteArray& relative, int flags) const;

private:
    Opened walk(const QByteArray& relative, int flags) const;

    UniqueFd root_;
    QByteArray rootPath_;
};

namespace SharedPaths {

// Whether the text holds a control character (below U+0020, or U+007F).
bool hasControlCharacters(QStringView text);
bool hasControlCharacters(QByteArrayView bytes);

// Whether a name may be followed or shown inside a share: not empty, not hidden
// (no leading "."), no "/" and no control character.
bool isVisibleName(QByteArrayView name);

// The components of a path below a share ("a//b/" gives a, b; "." is kept, it
// names nothing new): nothing when it is absolute, or when a component is hidden
// (".." included) or holds a control character.
std::optional<QStringList> components(const QString& relative);

// A native file name as text: UTF-8 when it is valid UTF-8, otherwise each byte
// as a Latin-1 character (the usual encoding of older file names).
QString displayName(QByteArrayView native);

// The real path of an open descriptor (native bytes), empty when unknown.
QByteArray realPathOf(int fd);

// A path that opens exactly the file an open descriptor refers to ("/proc/self/fd/N"),
// for readers that only take a path. Valid while the descriptor stays open.
QString descriptorPath(int fd);

} // namespace SharedPaths

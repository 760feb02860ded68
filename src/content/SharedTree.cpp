#include "content/SharedTree.h"

#include "platform/ShareWork.h"

#include <QFile>
#include <QStringDecoder>

#include <cerrno>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0)
        ::close(fd_);
}

namespace SharedPaths {

bool hasControlCharacters(QStringView text) {
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    return false;
}

bool hasControlCharacters(QByteArrayView bytes) {
    for (char c : bytes)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return true;
    return false;
}

bool isVisibleName(QByteArrayView name) {
    return !name.isEmpty() && name.front() != '.' && !name.contains('/') && !hasControlCharacters(name);
}

std::optional<QStringList> components(const QString& relative) {
    if (relative.startsWith(QLatin1Char('/')) || hasControlCharacters(relative))
        return std::nullopt;
    const QStringList pieces = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& piece : pieces)
        if (piece.startsWith(QLatin1Char('.')) && piece != QLatin1String("."))
            return std::nullopt;
    return pieces;
}

QString displayName(QByteArrayView native) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(native);
    if (!decoder.hasError())
        return text;
    return QString::fromLatin1(native);
}

QByteArray realPathOf(int fd) {
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
    QByteArray buffer(PATH_MAX + 1, Qt::Uninitialized);
    const ssize_t size = ::readlink(link.constData(), buffer.data(), static_cast<size_t>(buffer.size()));
    if (size <= 0 || size >= buffer.size())
        return {};
    buffer.truncate(size);
    return buffer.startsWith('/') ? buffer : QByteArray();
}

QString descriptorPath(int fd) {
    return QStringLiteral("/proc/self/fd/") + QString::number(fd);
}

} // namespace SharedPaths

namespace {

constexpr int kMaxLinks = 40;
// Never wait on a FIFO or a device while opening, never take a terminal.
// (A descriptor that only names a place takes no other flag.)
int extraFlags(int flags) {
    return (flags & O_PATH) ? O_CLOEXEC : O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
}

QByteArray readLink(int directory, const char* name) {
    QByteArray buffer(PATH_MAX + 1, Qt::Uninitialized);
    const ssize_t size = ::readlinkat(directory, name, buffer.data(), static_cast<size_t>(buffer.size()));
    if (size < 0 || size >= buffer.size())
        return {};
    buffer.truncate(size);
    return buffer;
}

bool isLink(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISLNK(info.st_mode);
}

} // namespace

FolderReader::FolderReader(UniqueFd folder)
    : folder_(std::move(folder))
    , buffer_(32768, Qt::Uninitialized) {}

std::optional<FolderReader::Entry> FolderReader::next() {
    if (offset_ >= size_) {
        if (ended_ || !folder_.valid())
            return std::nullopt;
        ssize_t got = -1;
        do
            got = ::getdents64(folder_.get(), buffer_.data(), size_t(buffer_.size()));
        while (got < 0 && errno == EINTR);
        if (got <= 0) {
            ended_ = true;
            return std::nullopt;
        }
        size_ = got;
        offset_ = 0;
    }
    const auto* record = reinterpret_cast<const struct dirent64*>(buffer_.constData() + offset_);
    offset_ += record->d_reclen;
    return Entry{record->d_name, record->d_type};
}

SharedTree::SharedTree(UniqueFd root, QByteArray rootPath)
    : root_(std::move(root))
    , rootPath_(std::move(rootPath)) {}

std::shared_ptr<SharedTree> SharedTree::openRoot(const QByteArray& path) {
    if (!path.startsWith('/') || SharedPaths::hasControlCharacters(path))
        return nullptr;
    ShareWork::checkWanted();
    UniqueFd fd(::open(path.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    ShareWork::callReturned();
    if (!fd.valid())
        return nullptr;
    QByteArray real = SharedPaths::realPathOf(fd.get());
    if (real.isEmpty())
        return nullptr;
    return std::make_shared<SharedTree>(std::move(fd), std::move(real));
}

QString SharedTree::rootDisplayPath() const {
    return SharedPaths::displayName(rootPath_);
}

std::optional<QByteArray> SharedTree::relativeOf(const QByteArray& absolute) const {
    if (absolute == rootPath_)
        return QByteArray();
    if (rootPath_ == "/")
        return absolute.startsWith('/') ? std::optional<QByteArray>(absolute.mid(1)) : std::nullopt;
    if (absolute.size() > rootPath_.size() && absolute.startsWith(rootPath_) &&
        absolute.at(rootPath_.size()) == '/')
        return absolute.mid(rootPath_.size() + 1);
    return std::nullopt;
}

SharedTree::Opened SharedTree::open(const QByteArray& relative, int flags) const {
    Opened opened;
    if (relative.startsWith('/') || SharedPaths::hasControlCharacters(relative)) {
        opened.error = EINVAL;
        return opened;
    }
    QByteArrayList pieces;
    for (const QByteArray& piece : relative.split('/')) {
        if (piece.isEmpty() || piece == ".")
            continue;
        if (piece.startsWith('.')) {
            opened.error = EINVAL;
            return opened;
        }
        pieces.append(piece);
    }
    const QByteArray clean = pieces.join('/');
    // One call when nothing on the way is a link; the walk below otherwise.
    struct open_how how {};
    how.flags = static_cast<quint64>(flags | extraFlags(flags));
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_SYMLINKS;
    ShareWork::checkWanted();
    const int fd = static_cast<int>(
        ::syscall(SYS_openat2, root_.get(), clean.isEmpty() ? "." : clean.constData(), &how, sizeof how));
    ShareWork::callReturned();
    if (fd >= 0) {
        opened.fd = UniqueFd(fd);
        if (!(flags & O_PATH) || !isLink(fd)) {
            opened.realRelative = clean;
            return opened;
        }
        opened.fd = UniqueFd();
    } else if (errno != ELOOP && errno != ENOSYS && errno != EPERM && errno != E2BIG && errno != EXDEV &&
               errno != EAGAIN) {
        opened.error = errno;
        return opened;
    }
    return walk(clean, flags);
}

SharedTree::Opened SharedTree::walk(const QByteArray& relative, int flags) const {
    Opened opened;
    std::vector<UniqueFd> folders; // the folders entered below the root
    QByteArrayList names;
    std::deque<QByteArray> pending;
    for (const QByteArray& piece : relative.split('/'))
        if (!piece.isEmpty())
            pending.push_back(piece);
    int links = 0;

    // Puts a link's target in front of what is left to walk. False when it leads out.
    auto follow = [&](const QByteArray& target) -> bool {
        if (target.isEmpty() || ++links > kMaxLinks)
            return false;
        QByteArray path = target;
        if (target.startsWith('/')) {
            const std::optional<QByteArray> inside = relativeOf(target);
            if (!inside)
                return false;
            folders.clear();
            names.clear();
            path = *inside;
        }
        const QByteArrayList parts = path.split('/');
        for (auto it = parts.crbegin(); it != parts.crend(); ++it)
            if (!it->isEmpty())
                pending.push_front(*it);
        return true;
    };
    auto current = [&] { return folders.empty() ? root_.get() : folders.back().get(); };

    while (!pending.empty()) {
        ShareWork::checkWanted();
        const QByteArray name = pending.front();
        pending.pop_front();
        if (name == ".")
            continue;
        if (name == "..") {
            if (folders.empty()) {
                opened.error = EXDEV; // above the root
                return opened;
            }
            folders.pop_back();
            names.removeLast();
            continue;
        }
        if (!SharedPaths::isVisibleName(name)) {
            opened.error = EXDEV; // a link through a hidden entry
            return opened;
        }
        const bool last = pending.empty();
        if (!last) {
            UniqueFd step(::openat(current(), name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            ShareWork::callReturned();
            if (!step.valid()) {
                opened.error = errno;
                return opened;
            }
            struct stat info {};
            const bool stated = ::fstat(step.get(), &info) == 0;
            ShareWork::callReturned();
            if (!stated) {
                opened.error = errno;
                return opened;
            }
            if (S_ISLNK(info.st_mode)) {
                if (!follow(readLink(step.get(), ""))) {
                    opened.error = links > kMaxLinks ? ELOOP : EXDEV;
                    return opened;
                }
                continue;
            }
            if (!S_ISDIR(info.st_mode)) {
                opened.error = ENOTDIR;
                return opened;
            }
            folders.push_back(std::move(step));
            names.append(name);
            continue;
        }
        UniqueFd target(::openat(current(), name.constData(), flags | O_NOFOLLOW | extraFlags(flags)));
        const int failure = errno;
        ShareWork::callReturned();
        bool linked = false;
        if (target.valid()) {
            linked = (flags & O_PATH) && isLink(target.get());
        } else {
            struct stat info {};
            linked = (failure == ELOOP || failure == ENOTDIR) &&
                     ::fstatat(current(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISLNK(info.st_mode);
            if (!linked) {
                opened.error = failure;
                return opened;
            }
        }
        if (!linked) {
            names.append(name);
            opened.fd = std::move(target);
            opened.realRelative = names.join('/');
            return opened;
        }
        if (!follow(readLink(current(), name.constData()))) {
            opened.error = links > kMaxLinks ? ELOOP : EXDEV;
            return opened;
        }
    }
    // The walk ended on a folder already entered (or the root).
    opened.fd = UniqueFd(::openat(current(), ".", flags | extraFlags(flags)));
    if (!opened.fd.valid())
        opened.error = errno;
    else
        opened.realRelative = names.join('/');
    return opened;
}

#include "content/ContentFiles.h"

#include "platform/Localization.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace ContentFiles {

bool isInside(const QString& path, const QString& folder) {
    if (path == folder)
        return true;
    if (folder.endsWith(QLatin1Char('/')))
        return path.startsWith(folder); // the root folder "/"
    return path.size() > folder.size() && path.startsWith(folder) &&
           path.at(folder.size()) == QLatin1Char('/');
}

QString canonicalPath(const QString& path) {
    if (path.isEmpty())
        return {};
    return QFileInfo(path).canonicalFilePath();
}

QString resolvedPath(const QString& path) {
    QString probe = QDir::cleanPath(path);
    QString rest;
    while (!probe.isEmpty()) {
        const QString canonical = canonicalPath(probe);
        if (!canonical.isEmpty())
            return canonical == QLatin1String("/") && !rest.isEmpty() ? rest : canonical + rest;
        const qsizetype slash = probe.lastIndexOf(QLatin1Char('/'));
        if (slash < 0)
            return {};
        rest.prepend(probe.mid(slash));
        probe = slash == 0 ? QStringLiteral("/") : probe.left(slash);
    }
    return {};
}

std::optional<QString> canonicalInside(const QString& path, const QString& canonicalFolder) {
    if (canonicalFolder.isEmpty())
        return std::nullopt;
    const QString resolved = canonicalPath(path);
    if (resolved.isEmpty() || !isInside(resolved, canonicalFolder))
        return std::nullopt;
    return resolved;
}

QString homeDisplay(const QString& path) {
    QString home = QDir::homePath();
    while (home.size() > 1 && home.endsWith(QLatin1Char('/')))
        home.chop(1);
    if (home.isEmpty() || home == QLatin1String("/"))
        return path;
    if (path == home)
        return QStringLiteral("~");
    if (path.startsWith(home) && path.size() > home.size() && path.at(home.size()) == QLatin1Char('/'))
        return QStringLiteral("~") + path.mid(home.size());
    return path;
}

namespace {
// Kernel file systems that reach another machine.
constexpr qint64 kNfs = 0x6969;
constexpr qint64 kSmb = 0x517B;
constexpr qint64 kCifs = 0xFF534D42;
constexpr qint64 kSmb2 = 0xFE534D42;
constexpr qint64 kCoda = 0x73757245;
constexpr qint64 kAfs = 0x5346414F;
constexpr qint64 kKafs = 0x6B414653;
constexpr qint64 kNcp = 0x564C;
constexpr qint64 kCeph = 0x00C36400;
constexpr qint64 kLustre = 0x0BD00BD0;

// The mount types (the fuse subtype for FUSE) that reach another machine. A plain
// array: it is read from share threads that may still run while the program's
// statics are destroyed, so it must never be destroyed itself.
constexpr std::array<std::string_view, 29> kRemoteMountTypes = {"nfs",
                                                                "nfs4",
                                                                "cifs",
                                                                "smb3",
                                                                "smbfs",
                                                                "ncpfs",
                                                                "afs",
                                                                "coda",
                                                                "ceph",
                                                                "lustre",
                                                                "sshfs",
                                                                "rclone",
                                                                "s3fs",
                                                                "gcsfuse",
                                                                "goofys",
                                                                "glusterfs",
                                                                "ceph-fuse",
                                                                "curlftpfs",
                                                                "davfs",
                                                                "davfs2",
                                                                "smbnetfs",
                                                                "afpfs",
                                                                "afpfs-ng",
                                                                "blobfuse",
                                                                "blobfuse2",
                                                                "juicefs",
                                                                "gvfsd-fuse",
                                                                "onedriver",
                                                                "google-drive-ocamlfuse"};

// The type of a mount as the mount table gives it ("ext4", "fuse.sshfs"), found by
// its mount id or, when the kernel gave none, by its device. Reads the process's
// mount table only: nothing on the mount itself.
QByteArray mountTableType(std::optional<quint64> mountId, quint64 device) {
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return {};
    const QByteArray deviceText =
        QByteArray::number(::major(device)) + ':' + QByteArray::number(::minor(device));
    for (const QByteArray& line : table.readAll().split('\n')) {
        // "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw"
        const QByteArrayList fields = line.split(' ');
        if (fields.size() < 3)
            continue;
        const bool same = mountId ? fields.at(0) == QByteArray::number(*mountId) : fields.at(2) == deviceText;
        if (!same)
            continue;
        const qsizetype separator = line.indexOf(" - ");
        if (separator < 0)
            return {};
        const QByteArray rest = line.mid(separator + 3);
        return rest.left(rest.indexOf(' '));
    }
    return {};
}

// The mount of an open descriptor, asked of the kernel without reaching its file
// system (no call on a network mount, none that can hang).
std::optional<std::pair<std::optional<quint64>, quint64>> mountOf(int fd) {
    struct statx info {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID, &info) != 0)
        return std::nullopt;
    const quint64 device = ::makedev(info.stx_dev_major, info.stx_dev_minor);
    if (info.stx_mask & STATX_MNT_ID)
        return std::pair(std::optional<quint64>(info.stx_mnt_id), device);
    return std::pair(std::optional<quint64>(), device);
}
} // namespace

bool isRemoteFileSystem(qint64 magic, const QByteArray& mountType) {
    switch (magic) {
    case kNfs:
    case kSmb:
    case kCifs:
    case kSmb2:
    case kCoda:
    case kAfs:
    case kKafs:
    case kNcp:
    case kCeph:
    case kLustre:
        return true;
    default:
        break;
    }
    QByteArray type = mountType;
    if (type.startsWith("fuse."))
        type = type.mid(5);
    else if (type.startsWith("fuse3."))
        type = type.mid(6);
    const std::string_view name(type.constData(), size_t(type.size()));
    return std::find(kRemoteMountTypes.cbegin(), kRemoteMountTypes.cend(), name) != kRemoteMountTypes.cend();
}

bool isOnRemoteVolume(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool remote = isOnRemoteVolume(fd);
    ::close(fd);
    return remote;
}

bool isOnRemoteVolume(int fd) {
    return VolumeFacts().isRemote(fd);
}

VolumeFacts::Mount VolumeFacts::mountOf(int fd) {
    const auto found = ContentFiles::mountOf(fd);
    if (!found)
        return {};
    return mount(found->first, found->second);
}

bool VolumeFacts::isRemote(int fd) {
    return mountOf(fd).remote;
}

bool VolumeFacts::isRemote(const struct statx& info) {
    const quint64 device = ::makedev(info.stx_dev_major, info.stx_dev_minor);
    if (info.stx_mask & STATX_MNT_ID)
        return mount(info.stx_mnt_id, device).remote;
    return mount(std::nullopt, device).remote;
}

int VolumeFacts::freshStatusFlags(int folder) {
    return mountOf(folder).fuse ? AT_STATX_DONT_SYNC : 0;
}

VolumeFacts::Mount VolumeFacts::mount(std::optional<quint64> mountId, quint64 device) {
    // Mount ids and devices are told apart by the high bit (a mount id never has it).
    const quint64 key = mountId ? *mountId : (device | (quint64(1) << 63));
    const auto known = mounts_.constFind(key);
    if (known != mounts_.cend())
        return *known;
    const QByteArray type = mountTableType(mountId, device);
    Mount found;
    found.remote = isRemoteFileSystem(0, type);
    found.fuse = type == "fuse" || type == "fuseblk" || type.startsWith("fuse.") || type.startsWith("fuse3.");
    mounts_.insert(key, found);
    return found;
}

namespace {
// The descriptor number of a descriptor path of this process, or -1.
int descriptorOf(const QString& path) {
    static constexpr QLatin1StringView prefix("/proc/self/fd/");
    if (!path.startsWith(prefix))
        return -1;
    bool number = false;
    const int fd = QStringView(path).mid(prefix.size()).toInt(&number);
    return number && fd >= 0 ? fd : -1;
}
} // namespace

ReadableFile::ReadableFile(const QString& path) {
    const int open = descriptorOf(path);
    if (open >= 0 && ::fcntl(open, F_GETFD) >= 0) {
        const int mode = ::fcntl(open, F_GETFL);
        if (mode >= 0 && (mode & O_ACCMODE) != O_WRONLY && !(mode & O_PATH)) {
            fd_ = open;
            return;
        }
    }
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    owned_ = fd_ >= 0;
    if (fd_ < 0)
        error_ = errno;
}

ReadableFile::~ReadableFile() {
    if (owned_)
        ::close(fd_);
}

QByteArray leadingBytes(int fd, qsizetype count) {
    if (fd < 0 || count <= 0)
        return {};
    QByteArray bytes(count, '\0');
    ssize_t got = -1;
    do
        got = ::pread(fd, bytes.data(), static_cast<size_t>(count), 0);
    while (got < 0 && errno == EINTR);
    bytes.truncate(got > 0 ? got : 0);
    return bytes;
}

QByteArray leadingBytes(const QString& path, qsizetype count) {
    const ReadableFile file(path);
    return leadingBytes(file.fd(), count);
}

int statusOf(const QString& path, struct stat& info) {
    const int open = descriptorOf(path);
    if (open < 0)
        return ::stat(QFile::encodeName(path).constData(), &info);
    return statusOfOpened(open, info);
}

int statusOfOpened(int fd, struct stat& info) {
    return statusAt(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, info);
}

int statusAt(int folder, const char* name, int flags, struct stat& info) {
    struct statx status {};
    if (::statx(folder, name, flags, STATX_BASIC_STATS, &status) != 0)
        return -1;
    info = {};
    info.st_mode = status.stx_mode;
    info.st_size = off_t(status.stx_size);
    info.st_ino = ino_t(status.stx_ino);
    info.st_dev = ::makedev(status.stx_dev_major, status.stx_dev_minor);
    info.st_nlink = status.stx_nlink;
    info.st_uid = status.stx_uid;
    info.st_gid = status.stx_gid;
    info.st_mtim.tv_sec = status.stx_mtime.tv_sec;
    info.st_mtim.tv_nsec = status.stx_mtime.tv_nsec;
    return 0;
}

QString fileErrorDescription(int errorNumber, const QString& path, bool folder) {
    const QString name = QFileInfo(path).fileName().isEmpty() ? path : QFileInfo(path).fileName();
    switch (errorNumber) {
    case ENOENT:
        return folder ? loc("Le dossier « %1 » n'existe pas.").arg(name)
                      : loc("Le fichier « %1 » n'existe pas.").arg(name);
    case ENOTDIR:
        return loc("« %1 » n'est pas un dossier.").arg(name);
    case EISDIR:
        return loc("« %1 » est un dossier.").arg(name);
    case EACCES:
    case EPERM:
        return loc("Tu n'as pas l'autorisation d'ouvrir « %1 ».").arg(name);
    case ELOOP:
        return loc("Trop de liens symboliques mènent à « %1 ».").arg(name);
    case EIO:
        return loc("Erreur d'entrée-sortie sur « %1 ».").arg(name);
    default:
        return folder
                   ? loc("Le dossier « %1 » n'a pas pu être ouvert (erreur %2).").arg(name).arg(errorNumber)
                   : loc("Le fichier « %1 » n'a pas pu être lu (erreur %2).").arg(name).arg(errorNumber);
    }
}

QString isoDateText(const QDateTime& dateTime) {
    QDateTime utc = dateTime.toUTC();
    utc.setTime(QTime(utc.time().hour(), utc.time().minute(), utc.time().second()));
    return utc.toString(Qt::ISODate);
}

QString fold(const QString& text) {
    bool ascii = true;
    for (QChar c : text) {
        if (c.unicode() >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii)
        return text.toLower();
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString stripped;
    stripped.reserve(decomposed.size());
    for (QChar c : decomposed) {
        if (c.category() != QChar::Mark_NonSpacing)
            stripped.append(c);
    }
    return stripped.toCaseFolded();
}

QString withoutLoneSurrogates(QString text) {
    const qsizetype size = text.size();
    bool clean = true;
    for (qsizetype i = 0; i < size && clean; ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < size && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            clean = false;
    }
    if (clean)
        return text;
    QChar* data = text.data();
    for (qsizetype i = 0; i < size; ++i) {
        if (data[i].isHighSurrogate()) {
            if (i + 1 < size && data[i + 1].isLowSurrogate()) {
                ++i;
                continue;
            }
            data[i] = QChar::ReplacementCharacter;
        } else if (data[i].isLowSurrogate()) {
            data[i] = QChar::ReplacementCharacter;
        }
    }
    return text;
}

} // namespace ContentFiles

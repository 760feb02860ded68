#include "content/ContentFiles.h"

#include "platform/Localization.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>

#include <cerrno>
#include <sys/vfs.h>

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
constexpr qint64 kFuse = 0x65735546;

const QSet<QByteArray>& remoteMountTypes() {
    static const QSet<QByteArray> types = {"nfs",
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
    return types;
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
    return remoteMountTypes().contains(type);
}

bool isOnRemoteVolume(const QString& path) {
    struct statfs info {};
    const QByteArray native = QFile::encodeName(path);
    if (::statfs(native.constData(), &info) != 0)
        return false;
    const qint64 magic = static_cast<qint64>(static_cast<unsigned int>(info.f_type));
    // The mount table is only needed to tell a network FUSE mount from a local one.
    const QByteArray mountType = magic == kFuse ? QStorageInfo(path).fileSystemType() : QByteArray();
    return isRemoteFileSystem(magic, mountType);
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

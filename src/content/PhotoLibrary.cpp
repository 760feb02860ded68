#include "content/PhotoLibrary.h"

#include "content/Decoding.h"
#include "content/HeifImage.h"
#include "content/PhotoMetadataModule.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Modules.h"
#include "session/Models.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QStandardPaths>
#include <QTimeZone>
#include <QUuid>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

PhotoMetadataModule& photoMetadataModule() {
    return Modules::get<PhotoMetadataModule>("photometa", loc("La lecture des photos"));
}

namespace PhotoLibrary {

namespace {

// Names photo ids are derived from (a fixed namespace for UUID version 5).
const QUuid kIdentifierNamespace(QStringLiteral("{6b1f7c52-0f0e-4d55-9a59-6a7c3e1d2b90}"));

// Metadata already read, by path, valid while the file keeps its size and dates.
// A file whose metadata could not be read (a worker failed on it) is kept too,
// with its file date: it is not given to a worker again until it changes.
struct CachedMetadata {
    qint64 size = -1;
    QDateTime modified;
    QDateTime changed;
    Metadata metadata;
};
constexpr int kMaxCachedFiles = 50000;

QMutex& cacheMutex() {
    static QMutex mutex;
    return mutex;
}
QHash<QString, CachedMetadata>& cache() {
    static QHash<QString, CachedMetadata> entries;
    return entries;
}

// What a decoder worker reads of the file's EXIF data (nothing when the file cannot
// be opened).
PhotoExif readExif(const QString& path) {
    const Decoding::OpenedFile file(path);
    if (file.fd() < 0)
        return PhotoExif();
    DecoderProtocol::Request request;
    request.op = DecoderProtocol::Op::PhotoExif;
    return Decoding::run(Decoding::Profile::Photos, request, file.fd(), Decoding::displayName(path)).exif;
}

Metadata fromExif(const PhotoExif& exif, const QFileInfo& info) {
    Metadata metadata;
    metadata.creationDate = exif.creationDate;
    if (exif.latitude && exif.longitude)
        metadata.location = Location{*exif.latitude, *exif.longitude};
    if (!metadata.creationDate) {
        const QDateTime modified = info.lastModified();
        if (modified.isValid())
            metadata.creationDate = modified;
    }
    return metadata;
}

Metadata readFresh(const QString& path, const QFileInfo& info) {
    // Without readable metadata the file's own date stands in.
    return fromExif(readExif(path), info);
}

Metadata cachedMetadata(const QString& path) {
    const QFileInfo info(path);
    const qint64 size = info.size();
    const QDateTime modified = info.lastModified();
    const QDateTime changed = info.metadataChangeTime();
    {
        QMutexLocker lock(&cacheMutex());
        const auto it = cache().constFind(path);
        if (it != cache().constEnd() && it->size == size && it->modified == modified &&
            it->changed == changed)
            return it->metadata;
    }
    Metadata metadata;
    try {
        metadata = readFresh(path, info);
    } catch (const DecodeError& error) {
        // The task's time ran out: the file is not to blame.
        if (error.reason() == DecodeError::Reason::TooLong && Decoding::TaskDeadline::current().hasExpired())
            throw;
        qCWarning(lcContent) << "photo metadata unreadable, the file's date stands in";
        metadata = fromExif(PhotoExif(), info);
        // Remembered only when a worker failed on the file itself: no worker free
        // in time, or one that died before it was given the file, says nothing of it.
        if (!error.reachedWorker())
            return metadata;
    }
    QMutexLocker lock(&cacheMutex());
    if (cache().size() >= kMaxCachedFiles)
        cache().clear();
    cache().insert(path, CachedMetadata{size, modified, changed, metadata});
    return metadata;
}

std::atomic<int> walks{0};

// Every library image, metadata not yet read.
QList<Asset> listImages() {
    ++walks;
    QList<Asset> assets;
    const QString root = rootFolder();
    if (root.isEmpty() || !QFileInfo(root).isDir())
        return assets;
    const QDir rootDir(root);
    // Hidden files and folders are left out; linked folders are not entered (no loops).
    QDirIterator it(root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString type = typeIdentifierForFileName(info.fileName());
        if (type.isEmpty() || !info.isFile())
            continue;
        Asset asset;
        asset.path = path;
        asset.name = info.fileName();
        asset.typeIdentifier = type;
        asset.id = identifierFor(rootDir.relativeFilePath(path));
        assets << asset;
    }
    return assets;
}

void fillMetadata(Asset& asset) {
    const Metadata metadata = cachedMetadata(asset.path);
    asset.creationDate = metadata.creationDate;
    asset.location = metadata.location;
}

} // namespace

QString rootFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
}

QString typeIdentifierForFileName(const QString& fileName) {
    const QString extension = QFileInfo(fileName).suffix().toLower();
    if (extension == QLatin1String("jpg") || extension == QLatin1String("jpeg"))
        return QStringLiteral("public.jpeg");
    if (extension == QLatin1String("png"))
        return QStringLiteral("public.png");
    if (extension == QLatin1String("heic"))
        return QStringLiteral("public.heic");
    if (extension == QLatin1String("heif"))
        return QStringLiteral("public.heif");
    if (extension == QLatin1String("tif") || extension == QLatin1String("tiff"))
        return QStringLiteral("public.tiff");
    if (extension == QLatin1String("gif"))
        return QStringLiteral("com.compuserve.gif");
    return QString();
}

QString identifierFor(const QString& relativePath) {
    return uuidText(QUuid::createUuidV5(kIdentifierNamespace, relativePath));
}

PhotoExif exifFromBytes(const QByteArray& bytes) {
    PhotoExif exif;
    if (HeifImage::looksLikeHeif(bytes.left(64))) {
        // Read through libheif: it finds the EXIF item wherever the file's item
        // locations put it.
        const QByteArray block = HeifImage::exifBlock(bytes);
        if (!block.isEmpty())
            exif = photoMetadataModule().decode(block);
    } else {
        exif = photoMetadataModule().read(bytes);
    }
    return exif;
}

Metadata readMetadata(const QString& path) {
    return readFresh(path, QFileInfo(path));
}

QList<Asset> fetchAssets(int limit, const std::optional<DateRange>& range) {
    QList<Asset> assets = listImages();
    for (Asset& asset : assets)
        fillMetadata(asset);
    if (range) {
        assets.removeIf(
            [&](const Asset& asset) { return !asset.creationDate || !range->contains(*asset.creationDate); });
    }
    std::stable_sort(assets.begin(), assets.end(), [](const Asset& a, const Asset& b) {
        if (a.creationDate.has_value() != b.creationDate.has_value())
            return a.creationDate.has_value();
        if (a.creationDate && *a.creationDate != *b.creationDate)
            return *a.creationDate > *b.creationDate;
        return a.path < b.path;
    });
    if (limit >= 0 && assets.size() > limit)
        assets.resize(limit);
    return assets;
}

std::optional<Asset> assetWithIdentifier(const QString& id) {
    for (Asset& asset : listImages()) {
        if (asset.id == id) {
            fillMetadata(asset);
            return asset;
        }
    }
    return std::nullopt;
}

int libraryReads() {
    return walks.load();
}

} // namespace PhotoLibrary

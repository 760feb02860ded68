#include "content/PhotoLibrary.h"

#include "content/HeifImage.h"
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

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

namespace PhotoLibrary {

namespace {

// Names photo ids are derived from (a fixed namespace for UUID version 5).
const QUuid kIdentifierNamespace(QStringLiteral("{6b1f7c52-0f0e-4d55-9a59-6a7c3e1d2b90}"));

// Metadata already read, by path, valid while the file keeps its size and dates.
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

void prepareExiv2() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize(); // not safe to run on several threads at once
    });
}

std::optional<QString> exifText(const Exiv2::ExifData& exif, const char* key) {
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->count() == 0)
        return std::nullopt;
    return QString::fromStdString(it->toString()).trimmed();
}

// "+02:00" or "-05:30" as seconds east of UTC.
std::optional<int> parseOffset(const QString& text) {
    if (text.size() != 6 || (text[0] != QLatin1Char('+') && text[0] != QLatin1Char('-')) ||
        text[3] != QLatin1Char(':'))
        return std::nullopt;
    bool hoursOk = false, minutesOk = false;
    const int hours = text.mid(1, 2).toInt(&hoursOk);
    const int minutes = text.mid(4, 2).toInt(&minutesOk);
    if (!hoursOk || !minutesOk || hours > 14 || minutes > 59)
        return std::nullopt;
    const int seconds = hours * 3600 + minutes * 60;
    return text[0] == QLatin1Char('-') ? -seconds : seconds;
}

// An EXIF date ("2024:05:01 10:30:00") in the offset the file names, else in local time.
std::optional<QDateTime> exifDate(const Exiv2::ExifData& exif) {
    const std::pair<const char*, const char*> fields[] = {
        {"Exif.Photo.DateTimeOriginal", "Exif.Photo.OffsetTimeOriginal"},
        {"Exif.Photo.DateTimeDigitized", "Exif.Photo.OffsetTimeDigitized"},
    };
    for (const auto& [dateKey, offsetKey] : fields) {
        const std::optional<QString> text = exifText(exif, dateKey);
        if (!text)
            continue;
        const QDateTime local = QDateTime::fromString(text->left(19), QStringLiteral("yyyy:MM:dd HH:mm:ss"));
        if (!local.isValid())
            continue;
        const std::optional<QString> offsetText = exifText(exif, offsetKey);
        const std::optional<int> offset = offsetText ? parseOffset(*offsetText) : std::nullopt;
        if (offset)
            return QDateTime(local.date(), local.time(), QTimeZone(*offset));
        return QDateTime(local.date(), local.time(), Qt::LocalTime);
    }
    return std::nullopt;
}

// Degrees from the three rationals (degrees, minutes, seconds) of a GPS coordinate.
std::optional<double> gpsDegrees(const Exiv2::ExifData& exif, const char* key) {
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->count() != 3)
        return std::nullopt;
    double value = 0;
    double unit = 1;
    for (long part = 0; part < 3; ++part) {
        const Exiv2::Rational rational = it->toRational(part);
        if (rational.second == 0)
            return std::nullopt;
        value += double(rational.first) / double(rational.second) / unit;
        unit *= 60;
    }
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<Location> exifLocation(const Exiv2::ExifData& exif) {
    const std::optional<double> lat = gpsDegrees(exif, "Exif.GPSInfo.GPSLatitude");
    const std::optional<double> lng = gpsDegrees(exif, "Exif.GPSInfo.GPSLongitude");
    const std::optional<QString> latRef = exifText(exif, "Exif.GPSInfo.GPSLatitudeRef");
    const std::optional<QString> lngRef = exifText(exif, "Exif.GPSInfo.GPSLongitudeRef");
    if (!lat || !lng)
        return std::nullopt;
    Location location{*lat, *lng};
    if (latRef && latRef->startsWith(QLatin1Char('S')))
        location.lat = -location.lat;
    if (lngRef && lngRef->startsWith(QLatin1Char('W')))
        location.lng = -location.lng;
    if (std::fabs(location.lat) > 90 || std::fabs(location.lng) > 180)
        return std::nullopt;
    return location;
}

bool isHeif(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && HeifImage::looksLikeHeif(file.peek(64));
}

Metadata readFresh(const QString& path, const QFileInfo& info) {
    Metadata metadata;
    prepareExiv2();
    try {
        if (isHeif(path)) {
            // Read through libheif: it finds the EXIF item wherever the file's
            // item locations put it.
            const QByteArray block = HeifImage::exifBlock(path);
            Exiv2::ExifData exif;
            if (!block.isEmpty()) {
                Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte*>(block.constData()),
                                          uint32_t(block.size()));
                metadata.creationDate = exifDate(exif);
                metadata.location = exifLocation(exif);
            }
        } else {
            const auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
            if (image.get()) {
                image->readMetadata();
                const Exiv2::ExifData& exif = image->exifData();
                metadata.creationDate = exifDate(exif);
                metadata.location = exifLocation(exif);
            }
        }
    } catch (...) {
        // No readable metadata: the file's own date stands in.
    }
    if (!metadata.creationDate) {
        const QDateTime modified = info.lastModified();
        if (modified.isValid())
            metadata.creationDate = modified;
    }
    return metadata;
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
    Metadata metadata = readFresh(path, info);
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

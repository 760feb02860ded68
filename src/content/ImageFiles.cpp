#include "content/ImageFiles.h"

#include "content/HeifImage.h"
#include "content/OcrModule.h"
#include "platform/Log.h"
#include "platform/Modules.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <cmath>
#include <optional>

namespace ImageFiles {

namespace {

// Larger images are refused rather than decoded (64 megapixels, 256 MB as RGBA).
constexpr qint64 kMaxPixels = 64LL * 1000 * 1000;

// HEIF files are read whole before decoding; larger ones are refused.
constexpr qint64 kMaxHeifBytes = 128LL * 1024 * 1024;
constexpr qint64 kSniffBytes = 64;

// Larger files are not read by load(path) (a file that large holds no image
// within the pixel budget that the decoders would take).
constexpr qint64 kMaxFileBytes = 512LL * 1024 * 1024;

// The decoded image when the bytes are a HEIF container, nothing when they are not
// one (a null image when it is one that cannot be decoded).
std::optional<QImage> loadIfHeif(const QByteArray& data) {
    if (!HeifImage::looksLikeHeif(data.left(kSniffBytes)))
        return std::nullopt;
    if (data.size() > kMaxHeifBytes)
        return QImage();
    return HeifImage::decode(data, kMaxPixels);
}

// Leptonica (in the text recognition module) reads what Qt has no plugin for on
// this system (TIFF in particular).
QImage loadWithLeptonica(const QByteArray& data) {
    try {
        return ocrModule().readImage(data, kMaxPixels);
    } catch (const ModuleError& error) {
        qCWarning(lcContent) << "image not decoded:" << error.description();
        return QImage();
    }
}

QByteArray readFile(const QString& path) {
    if (!QFileInfo(path).isFile())
        return QByteArray();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileBytes)
        return QByteArray();
    // The file's own size, not the bound: a read of the bound would allocate it whole.
    return file.read(qMin(file.size(), kMaxFileBytes));
}

} // namespace

QSize fitInto(QSize size, int boxPixels, bool enlarge) {
    if (size.isEmpty() || boxPixels <= 0)
        return QSize();
    const int longest = qMax(size.width(), size.height());
    if (!enlarge && longest <= boxPixels)
        return size;
    const double factor = double(boxPixels) / longest;
    return QSize(qMax(1, int(std::lround(size.width() * factor))),
                 qMax(1, int(std::lround(size.height() * factor))));
}

QImage load(const QByteArray& data) {
    if (std::optional<QImage> heif = loadIfHeif(data))
        return *heif;
    QBuffer buffer;
    buffer.setData(data);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && qint64(size.width()) * size.height() > kMaxPixels)
        return QImage();
    QImage image = reader.read();
    if (!image.isNull())
        return image;
    return loadWithLeptonica(data);
}

QImage loadFitting(const QByteArray& data, int boxPixels) {
    if (std::optional<QImage> heif = loadIfHeif(data)) {
        // Decoded whole (within the pixel budget), then scaled.
        const QSize fitted = fitInto(heif->size(), boxPixels);
        if (heif->isNull() || fitted == heif->size())
            return *heif;
        return heif->scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    QBuffer buffer;
    buffer.setData(data);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    // No pixel limit here: the reader decodes to the scaled size, and Qt's own
    // allocation limit guards formats that must be decoded whole first.
    const QSize size = reader.size();
    const bool transposed = reader.transformation().testFlag(QImageIOHandler::TransformationRotate90);
    if (size.isValid()) {
        // The scaled size applies before the orientation is; fit the oriented size.
        const QSize oriented = transposed ? size.transposed() : size;
        const QSize fitted = fitInto(oriented, boxPixels);
        reader.setScaledSize(transposed ? fitted.transposed() : fitted);
    }
    QImage image = reader.read();
    if (image.isNull())
        image = loadWithLeptonica(data);
    if (image.isNull())
        return QImage();
    const QSize fitted = fitInto(image.size(), boxPixels);
    if (fitted != image.size())
        image = image.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

QImage load(const QString& path) {
    return load(readFile(path));
}

QImage loadFitting(const QString& path, int boxPixels) {
    return loadFitting(readFile(path), boxPixels);
}

} // namespace ImageFiles

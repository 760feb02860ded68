#include "content/ImageFiles.h"

#include "content/HeifImage.h"
#include "content/OcrModule.h"
#include "platform/Log.h"
#include "platform/Modules.h"

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

// The decoded image when the file is a HEIF container, nothing when it is not one
// (a null image when it is one that cannot be decoded).
std::optional<QImage> loadIfHeif(const QString& path) {
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    if (!HeifImage::looksLikeHeif(file.peek(kSniffBytes)))
        return std::nullopt;
    if (file.size() > kMaxHeifBytes)
        return QImage();
    return HeifImage::decode(file.read(kMaxHeifBytes), kMaxPixels);
}

// Leptonica (in the text recognition module) reads what Qt has no plugin for on
// this system (TIFF in particular).
QImage loadWithLeptonica(const QString& path) {
    try {
        return ocrModule().readImage(path, kMaxPixels);
    } catch (const ModuleError& error) {
        qCWarning(lcContent) << "image not decoded:" << error.description();
        return QImage();
    }
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

QImage load(const QString& path) {
    if (std::optional<QImage> heif = loadIfHeif(path))
        return *heif;
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && qint64(size.width()) * size.height() > kMaxPixels)
        return QImage();
    QImage image = reader.read();
    if (!image.isNull())
        return image;
    return loadWithLeptonica(path);
}

QImage loadFitting(const QString& path, int boxPixels) {
    if (std::optional<QImage> heif = loadIfHeif(path)) {
        // Decoded whole (within the pixel budget), then scaled.
        const QSize fitted = fitInto(heif->size(), boxPixels);
        if (heif->isNull() || fitted == heif->size())
            return *heif;
        return heif->scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    QImageReader reader(path);
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
        image = loadWithLeptonica(path);
    if (image.isNull())
        return QImage();
    const QSize fitted = fitInto(image.size(), boxPixels);
    if (fitted != image.size())
        image = image.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

} // namespace ImageFiles

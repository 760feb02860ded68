#pragma once

#include <QImage>
#include <QSize>
#include <QString>

// Decoding image files for recognition and thumbnails, the one way every reader of
// image files takes: libheif for HEIC/HEIF (recognised by their contents), Qt's
// image readers for the rest, then leptonica for the formats Qt has no reader for
// here (TIFF). Images over the pixel budget are refused before they are decoded.
// libheif and leptonica come from modules loaded on first use: a HEIF file when the
// HEIF module is missing throws ModuleError; without the text recognition module a
// TIFF just does not decode.
namespace ImageFiles {

// The whole image, its stored orientation applied once (EXIF, or a HEIF image's
// rotation and mirroring); null when it cannot be decoded.
QImage load(const QString& path);

// The image scaled to fit inside a square box of `boxPixels` (aspect ratio kept,
// never enlarged), decoded at reduced size where the format allows; null when it
// cannot be decoded.
QImage loadFitting(const QString& path, int boxPixels);

// The size that fits `size` into a square box of `boxPixels`, aspect ratio kept,
// at least one pixel a side; `size` itself when it already fits and `enlarge` is false.
QSize fitInto(QSize size, int boxPixels, bool enlarge = false);

} // namespace ImageFiles

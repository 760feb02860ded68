#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

// Decoding image files for recognition and thumbnails, the one way every reader of
// image files takes: libheif for HEIC/HEIF (recognised by their contents), Qt's
// image readers for the rest, then leptonica for the formats Qt has no reader for
// here (TIFF). Images over the pixel budget are refused before they are decoded.
// libheif and leptonica come from modules loaded on first use: a HEIF file when the
// HEIF module is missing throws ModuleError; without the text recognition module a
// TIFF just does not decode. This runs in the decoder worker (see Decoding.h): the
// program itself decodes no file.
namespace ImageFiles {

// The whole image held in `data` (a file's bytes), its stored orientation applied
// once (EXIF, or a HEIF image's rotation and mirroring); null when it cannot be
// decoded.
QImage load(const QByteArray& data);

// The image scaled to fit inside a square box of `boxPixels` (aspect ratio kept,
// never enlarged), decoded at reduced size where the format allows; null when it
// cannot be decoded.
QImage loadFitting(const QByteArray& data, int boxPixels);

// The same for the file at `path` (read whole first; null when it cannot be read).
QImage load(const QString& path);
QImage loadFitting(const QString& path, int boxPixels);

// The size that fits `size` into a square box of `boxPixels`, aspect ratio kept,
// at least one pixel a side; `size` itself when it already fits and `enlarge` is false.
QSize fitInto(QSize size, int boxPixels, bool enlarge = false);

} // namespace ImageFiles

#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// HEIC/HEIF still images, read with libheif (the HEIF module, loaded on first use:
// every function but a refusal of a head without an "ftyp" box throws ModuleError
// when it is missing). Only ImageFiles decodes pixels through this (every other
// reader of image files goes through ImageFiles); the photo library reads the EXIF
// block.
namespace HeifImage {

// Whether these first bytes of a file (at least 12) announce a HEIF container,
// whatever its codec.
bool looksLikeHeif(const QByteArray& head);

// The primary image, its rotation and mirroring (irot/imir) applied as libheif
// applies them, as 8-bit RGB or RGBA. Null when the data cannot be decoded, when
// the image has more than `maxPixels` pixels or a side over 16384 pixels (checked
// from the header before decoding), or when what is decoded turns out larger than
// the header said.
QImage decode(const QByteArray& data, qint64 maxPixels);

// The EXIF block of the primary image of the HEIF file held in `data`, from its
// TIFF header on (what Exiv2::ExifParser decodes); empty when it has none or is
// not a readable HEIF file.
QByteArray exifBlock(const QByteArray& data);

} // namespace HeifImage

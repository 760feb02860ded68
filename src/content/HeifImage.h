#pragma once

#include <QByteArray>
#include <QImage>

// HEIC/HEIF still images, decoded with libheif. Only ImageFiles calls this; every
// other reader of image files goes through ImageFiles.
namespace HeifImage {

// Whether these first bytes of a file (at least 12) announce a HEIF container,
// whatever its codec.
bool looksLikeHeif(const QByteArray& head);

// The primary image, its rotation and mirroring (irot/imir) applied as libheif
// applies them, as 8-bit RGB or RGBA. Null when the data cannot be decoded or when
// the image has more than `maxPixels` pixels; the size is checked before decoding.
QImage decode(const QByteArray& data, qint64 maxPixels);

} // namespace HeifImage

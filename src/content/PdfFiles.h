#pragma once

#include <QImage>
#include <QString>

#include "content/PdfModule.h"

#include <memory>

// PDF documents through the PDF module (poppler), for recognition and thumbnails,
// in the decoder worker (see Decoding.h).
namespace PdfFiles {

// Rendered pages never exceed this many pixels (64 megapixels); a larger page is
// drawn at a lower resolution that fits.
inline constexpr qint64 kMaxPagePixels = 64LL * 1000 * 1000;
// Nor this many pixels a side.
inline constexpr int kMaxPageSide = 30000;

// The document held in `bytes` (which must outlive it), ready to render
// (antialiased); nothing when they cannot be read as a PDF or it is locked by a
// password. Throws ModuleError without the PDF module.
std::unique_ptr<PdfDocument> open(const QByteArray& bytes);

// The resolution (dots per inch) at which a page of this size in points is drawn:
// `dpi`, lowered so that the bitmap stays within the pixel limits.
double cappedResolution(QSizeF pagePoints, double dpi);

// The page drawn on white paper at `dpi` (capped as above); null when it cannot be drawn.
QImage render(const PdfDocumentPage& page, double dpi);

} // namespace PdfFiles

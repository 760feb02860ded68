#include "content/PdfFiles.h"

#include "platform/Localization.h"
#include "platform/Modules.h"

#include <cmath>

PdfModule& pdfModule() {
    return Modules::get<PdfModule>("pdf", loc("La lecture des PDF"));
}

namespace PdfFiles {

namespace {

QSize pixelSize(QSizeF points, double dpi) {
    return QSize(int(std::floor(points.width() * dpi / 72.0)), int(std::floor(points.height() * dpi / 72.0)));
}

} // namespace

std::unique_ptr<PdfDocument> open(const QByteArray& bytes) {
    return pdfModule().open(bytes);
}

double cappedResolution(QSizeF pagePoints, double dpi) {
    // In floating point: a page may claim any size.
    const double width = pagePoints.width() * dpi / 72.0;
    const double height = pagePoints.height() * dpi / 72.0;
    double factor = 1.0;
    if (width * height > double(kMaxPagePixels))
        factor = std::sqrt(double(kMaxPagePixels) / (width * height));
    if (width * factor > kMaxPageSide)
        factor = kMaxPageSide / width;
    if (height * factor > kMaxPageSide)
        factor = kMaxPageSide / height;
    return dpi * factor;
}

QImage render(const PdfDocumentPage& page, double dpi) {
    const QSizeF points = page.pageSizeF();
    if (!(points.width() > 0) || !(points.height() > 0) || !std::isfinite(points.width()) ||
        !std::isfinite(points.height()))
        return QImage();
    const double resolution = cappedResolution(points, dpi);
    const QSize size = pixelSize(points, resolution);
    if (size.isEmpty())
        return QImage();
    return page.renderToImage(resolution, resolution, 0, 0, size.width(), size.height());
}

} // namespace PdfFiles

#include "content/Thumbnails.h"

#include "content/ContentFiles.h"
#include "content/DecoderProtocol.h"
#include "content/Decoding.h"
#include "content/ImageFiles.h"
#include "content/PdfFiles.h"
#include "platform/Errors.h"
#include "platform/Log.h"
#include "platform/Modules.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QMimeDatabase>
#include <QScreen>

#include <algorithm>
#include <cmath>

namespace Thumbnails {

namespace {

constexpr int kDefaultEdge = 128;
constexpr int kMinEdge = 32;
constexpr int kMaxEdge = 256;

QImage pdfFirstPage(const QByteArray& bytes, int box) {
    const std::unique_ptr<PdfDocument> document = PdfFiles::open(bytes);
    if (!document || document->numPages() < 1)
        return QImage();
    const std::unique_ptr<PdfDocumentPage> page = document->page(0);
    if (!page)
        return QImage();
    const QSizeF points = page->pageSizeF();
    const double longest = qMax(points.width(), points.height());
    if (!(longest > 0))
        return QImage();
    // A page is drawn to fit the box exactly, small pages included.
    const double factor = box / longest;
    const QSize target(qMax(1, int(std::lround(points.width() * factor))),
                       qMax(1, int(std::lround(points.height() * factor))));
    QImage image = PdfFiles::render(*page, 72.0 * factor);
    if (image.isNull())
        return QImage();
    if (image.size() != target)
        image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

} // namespace

int clampedEdge(std::optional<qint64> maxEdge) {
    if (!maxEdge)
        return kDefaultEdge;
    return int(std::clamp<qint64>(*maxEdge, kMinEdge, kMaxEdge));
}

double screenScale() {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return 2.0;
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->devicePixelRatio() : 2.0;
}

int boxPixels(int edgePoints, double scale) {
    return qMax(1, int(std::lround(edgePoints * scale)));
}

QImage make(const QString& path, int box) {
    const QFileInfo info(path);
    if (!info.isFile()) // also follows links; a FIFO or device is never read
        return QImage();
    const Decoding::OpenedFile file(path);
    if (file.fd() < 0 && file.error() != 0) // a read that failed is said, not drawn empty
        throw MessageError(ContentFiles::fileErrorDescription(file.error(), Decoding::displayName(path)));
    if (file.fd() < 0)
        return QImage();
    // The type from the name and the first bytes, read here: the type database
    // holds its lock while it reads a file, for every thread of the program.
    const QMimeType type =
        QMimeDatabase().mimeTypeForFileNameAndData(info.fileName(), ContentFiles::leadingBytes(file.fd()));
    const bool pdf = type.inherits(QStringLiteral("application/pdf"));
    if (!pdf && !type.name().startsWith(QLatin1String("image/")))
        return QImage();
    try {
        DecoderProtocol::Request request;
        request.op = DecoderProtocol::Op::Thumbnail;
        request.pdf = pdf;
        request.box = box;
        return Decoding::run(pdf ? Decoding::Profile::Pdf : Decoding::Profile::Images, request, file.fd(),
                             Decoding::displayName(path))
            .image;
    } catch (const ModuleError& error) {
        qCWarning(lcContent) << "no thumbnail:" << error.description();
    }
    return QImage();
}

QImage fromBytes(const QByteArray& bytes, bool pdf, int box) {
    return pdf ? pdfFirstPage(bytes, box) : ImageFiles::loadFitting(bytes, box);
}

} // namespace Thumbnails

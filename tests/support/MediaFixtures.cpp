#include "support/MediaFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>

#include <exiv2/exiv2.hpp>
#include <leptonica/allheaders.h>
#include <libheif/heif.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

namespace fixtures {

QImage textImage(const QStringList& lines, int pixelSize) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixelSize);
    const QFontMetrics metrics(font);
    int width = 0;
    for (const QString& line : lines)
        width = qMax(width, metrics.horizontalAdvance(line));
    const int lineHeight = metrics.lineSpacing() * 3 / 2;
    QImage image(width + 2 * pixelSize, lineHeight * int(lines.size()) + 2 * pixelSize, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    int y = pixelSize + metrics.ascent();
    for (const QString& line : lines) {
        painter.drawText(pixelSize, y, line);
        y += lineHeight;
    }
    painter.end();
    return image;
}

bool writePdf(const QString& path, const QList<PdfPage>& pages) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QPdfWriter writer(path);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setResolution(300);
    QPainter painter;
    if (!painter.begin(&writer))
        return false;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(16);
    painter.setFont(font);
    for (qsizetype index = 0; index < pages.size(); ++index) {
        if (index > 0)
            writer.newPage();
        const PdfPage& page = pages.at(index);
        if (page.kind == PdfPage::Kind::Text) {
            int y = 300;
            for (const QString& line : page.lines) {
                painter.drawText(200, y, line);
                y += 120;
            }
        } else if (page.kind == PdfPage::Kind::Scan) {
            const QImage scan = textImage(page.lines, page.scanPixelSize);
            painter.drawImage(QPoint(150, 300), scan);
        }
    }
    return painter.end();
}

bool writeTiff(const QImage& image, const QString& path) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    PIX* pix = pixCreate(rgb.width(), rgb.height(), 32);
    if (!pix)
        return false;
    l_uint32* data = pixGetData(pix);
    const l_int32 wordsPerLine = pixGetWpl(pix);
    for (int y = 0; y < rgb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x)
            data[y * wordsPerLine + x] = (l_uint32(line[x]) << 8) | 0xFF; // AARRGGBB to RRGGBBAA
    }
    const bool written = pixWrite(QFile::encodeName(path).constData(), pix, IFF_TIFF_ZIP) == 0;
    pixDestroy(&pix);
    return written;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

namespace {
// Degrees as the three EXIF rationals: degrees, minutes, seconds in hundredths.
std::string exifDegrees(double degrees) {
    degrees = std::fabs(degrees);
    const int whole = int(degrees);
    const double minutesExact = (degrees - whole) * 60;
    const int minutes = int(minutesExact);
    const long hundredths = std::lround((minutesExact - minutes) * 60 * 100);
    return std::to_string(whole) + "/1 " + std::to_string(minutes) + "/1 " + std::to_string(hundredths) +
           "/100";
}
} // namespace

bool writeJpeg(const QString& path, const Exif& exif) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QImage image(16, 12, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    if (!image.save(path, "JPEG"))
        return false;
    try {
        auto file = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        file->readMetadata();
        Exiv2::ExifData& data = file->exifData();
        if (!exif.dateTimeOriginal.isEmpty())
            data["Exif.Photo.DateTimeOriginal"] = exif.dateTimeOriginal.toStdString();
        if (!exif.offsetTimeOriginal.isEmpty())
            data["Exif.Photo.OffsetTimeOriginal"] = exif.offsetTimeOriginal.toStdString();
        if (exif.gps) {
            data["Exif.GPSInfo.GPSLatitudeRef"] = std::string(exif.gps->first < 0 ? "S" : "N");
            data["Exif.GPSInfo.GPSLatitude"] = exifDegrees(exif.gps->first);
            data["Exif.GPSInfo.GPSLongitudeRef"] = std::string(exif.gps->second < 0 ? "W" : "E");
            data["Exif.GPSInfo.GPSLongitude"] = exifDegrees(exif.gps->second);
        }
        file->writeMetadata();
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

namespace {

struct HeifReleaser {
    void operator()(heif_context* context) const { heif_context_free(context); }
    void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
    void operator()(heif_image* image) const { heif_image_release(image); }
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
    void operator()(heif_encoding_options* options) const { heif_encoding_options_free(options); }
};
template <typename T> using HeifPtr = std::unique_ptr<T, HeifReleaser>;

// An EXIF block as HEIF stores it: the TIFF structure alone.
std::optional<Exiv2::Blob> heifExif(const Heic& options) {
    if (options.exifOrientation == 0 && options.dateTimeOriginal.isEmpty())
        return std::nullopt;
    Exiv2::ExifData data;
    if (options.exifOrientation != 0)
        data["Exif.Image.Orientation"] = uint16_t(options.exifOrientation);
    if (!options.dateTimeOriginal.isEmpty())
        data["Exif.Photo.DateTimeOriginal"] = options.dateTimeOriginal.toStdString();
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, data);
    return blob;
}

} // namespace

bool canWriteHeic() {
    return heif_have_encoder_for_format(heif_compression_HEVC) != 0;
}

bool writeHeic(const QString& path, const QImage& source, const Heic& options) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    const bool alpha = source.hasAlphaChannel();
    const QImage image = source.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    HeifPtr<heif_context> context(heif_context_alloc());
    heif_encoder* rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder).code !=
        heif_error_Ok)
        return false;
    HeifPtr<heif_encoder> encoder(rawEncoder);
    heif_encoder_set_lossy_quality(encoder.get(), options.quality);
    heif_image* rawImage = nullptr;
    if (heif_image_create(image.width(), image.height(), heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &rawImage)
            .code != heif_error_Ok)
        return false;
    HeifPtr<heif_image> picture(rawImage);
    if (heif_image_add_plane(picture.get(), heif_channel_interleaved, image.width(), image.height(), 8)
            .code != heif_error_Ok)
        return false;
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(picture.get(), heif_channel_interleaved, &stride);
    const int rowBytes = image.width() * (alpha ? 4 : 3);
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(plane + qint64(y) * stride, image.constScanLine(y), size_t(rowBytes));
    HeifPtr<heif_encoding_options> encoding(heif_encoding_options_alloc());
    encoding->image_orientation = heif_orientation(options.orientation);
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_encode_image(context.get(), picture.get(), encoder.get(), encoding.get(), &rawHandle)
            .code != heif_error_Ok)
        return false;
    HeifPtr<heif_image_handle> handle(rawHandle);
    if (const std::optional<Exiv2::Blob> exif = heifExif(options)) {
        if (heif_context_add_exif_metadata(context.get(), handle.get(), exif->data(), int(exif->size()))
                .code != heif_error_Ok)
            return false;
    }
    return heif_context_write_to_file(context.get(), QFile::encodeName(path).constData()).code ==
           heif_error_Ok;
}

ScopedTimeZone::ScopedTimeZone(const char* zone)
    : hadZone_(qEnvironmentVariableIsSet("TZ"))
    , savedZone_(qgetenv("TZ")) {
    qputenv("TZ", zone);
    ::tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
    if (hadZone_)
        qputenv("TZ", savedZone_);
    else
        qunsetenv("TZ");
    ::tzset();
}

QString squeeze(const QString& text) {
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    return QString(text).replace(blanks, QStringLiteral(" ")).trimmed();
}

} // namespace fixtures

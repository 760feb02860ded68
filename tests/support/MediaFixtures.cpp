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

#include <cmath>
#include <ctime>
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

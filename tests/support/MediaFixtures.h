#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>

// Files the media tests work on, made in the test: rendered text, PDFs, JPEGs
// carrying EXIF data.
namespace fixtures {

// Black text on white, one line per entry, in a large clear font.
QImage textImage(const QStringList& lines, int pixelSize = 56);

// Writes the image as a TIFF through leptonica (Qt has no TIFF writer here).
bool writeTiff(const QImage& image, const QString& path);

// What one PDF page holds.
struct PdfPage {
    enum class Kind { Text, Scan, Blank };
    Kind kind = Kind::Blank;
    QStringList lines;      // the text of a Text page, or the lines drawn into a Scan page's picture
    int scanPixelSize = 64; // the font size of a Scan page's picture, in pixels at 300 dpi
};
// Writes an A4 PDF with these pages; true on success.
bool writePdf(const QString& path, const QList<PdfPage>& pages);

// Writes bytes to a file, creating the folders above it.
bool writeFile(const QString& path, const QByteArray& bytes);

// EXIF data written into an existing JPEG with exiv2.
struct Exif {
    QString dateTimeOriginal;                     // "2023:02:01 00:00:00"; empty: none
    QString offsetTimeOriginal;                   // "+02:00"; empty: none
    std::optional<std::pair<double, double>> gps; // latitude, longitude in degrees
};
// Writes a small JPEG with this EXIF data; true on success.
bool writeJpeg(const QString& path, const Exif& exif);

// Sets the process's time zone (TZ) for the object's life.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool hadZone_;
    QByteArray savedZone_;
};

// A HEIC written with libheif's HEVC encoder.
struct Heic {
    // The orientation libheif records as rotation and mirroring boxes, in EXIF's
    // numbering (1: as stored, 6: turned a quarter clockwise for display...).
    int orientation = 1;
    // Also writes this EXIF orientation into the file's EXIF block (0: no EXIF block).
    int exifOrientation = 0;
    QString dateTimeOriginal; // into the EXIF block too when not empty ("2023:02:01 00:00:00")
    int quality = 90;
};
// Encodes the image (its alpha channel kept when it has one); true on success.
bool writeHeic(const QString& path, const QImage& image, const Heic& options = {});
// Whether this system's libheif can encode HEVC at all.
bool canWriteHeic();

// Normalises OCR output for comparison: runs of white space become one blank.
QString squeeze(const QString& text);

} // namespace fixtures

// The photo metadata module: exiv2 behind the interface of
// content/PhotoMetadataModule.h. Links exiv2 and Qt only.
#include "content/PhotoMetadataModule.h"
#include "platform/ModuleExport.h"

#include <QTimeZone>

#include <exiv2/exiv2.hpp>

#include <cmath>
#include <utility>

namespace {

std::optional<QString> exifText(const Exiv2::ExifData& exif, const char* key) {
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->count() == 0)
        return std::nullopt;
    return QString::fromStdString(it->toString()).trimmed();
}

// "+02:00" or "-05:30" as seconds east of UTC.
std::optional<int> parseOffset(const QString& text) {
    if (text.size() != 6 || (text[0] != QLatin1Char('+') && text[0] != QLatin1Char('-')) ||
        text[3] != QLatin1Char(':'))
        return std::nullopt;
    bool hoursOk = false, minutesOk = false;
    const int hours = text.mid(1, 2).toInt(&hoursOk);
    const int minutes = text.mid(4, 2).toInt(&minutesOk);
    if (!hoursOk || !minutesOk || hours > 14 || minutes > 59)
        return std::nullopt;
    const int seconds = hours * 3600 + minutes * 60;
    return text[0] == QLatin1Char('-') ? -seconds : seconds;
}

// An EXIF date ("2024:05:01 10:30:00") in the offset the file names, else in local time.
std::optional<QDateTime> exifDate(const Exiv2::ExifData& exif) {
    const std::pair<const char*, const char*> fields[] = {
        {"Exif.Photo.DateTimeOriginal", "Exif.Photo.OffsetTimeOriginal"},
        {"Exif.Photo.DateTimeDigitized", "Exif.Photo.OffsetTimeDigitized"},
    };
    for (const auto& [dateKey, offsetKey] : fields) {
        const std::optional<QString> text = exifText(exif, dateKey);
        if (!text)
            continue;
        const QDateTime local = QDateTime::fromString(text->left(19), QStringLiteral("yyyy:MM:dd HH:mm:ss"));
        if (!local.isValid())
            continue;
        const std::optional<QString> offsetText = exifText(exif, offsetKey);
        const std::optional<int> offset = offsetText ? parseOffset(*offsetText) : std::nullopt;
        if (offset)
            return QDateTime(local.date(), local.time(), QTimeZone(*offset));
        return QDateTime(local.date(), local.time(), Qt::LocalTime);
    }
    return std::nullopt;
}

// Degrees from the three rationals (degrees, minutes, seconds) of a GPS coordinate.
std::optional<double> gpsDegrees(const Exiv2::ExifData& exif, const char* key) {
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->count() != 3)
        return std::nullopt;
    double value = 0;
    double unit = 1;
    for (long part = 0; part < 3; ++part) {
        const Exiv2::Rational rational = it->toRational(part);
        if (rational.second == 0)
            return std::nullopt;
        value += double(rational.first) / double(rational.second) / unit;
        unit *= 60;
    }
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}

struct Location {
    double lat = 0;
    double lng = 0;
};

std::optional<Location> exifLocation(const Exiv2::ExifData& exif) {
    const std::optional<double> lat = gpsDegrees(exif, "Exif.GPSInfo.GPSLatitude");
    const std::optional<double> lng = gpsDegrees(exif, "Exif.GPSInfo.GPSLongitude");
    const std::optional<QString> latRef = exifText(exif, "Exif.GPSInfo.GPSLatitudeRef");
    const std::optional<QString> lngRef = exifText(exif, "Exif.GPSInfo.GPSLongitudeRef");
    if (!lat || !lng)
        return std::nullopt;
    Location location{*lat, *lng};
    if (latRef && latRef->startsWith(QLatin1Char('S')))
        location.lat = -location.lat;
    if (lngRef && lngRef->startsWith(QLatin1Char('W')))
        location.lng = -location.lng;
    if (std::fabs(location.lat) > 90 || std::fabs(location.lng) > 180)
        return std::nullopt;
    return location;
}

class Exiv2Module final : public PhotoMetadataModule {
public:
    Exiv2Module() {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize(); // not safe to run on several threads at once
    }
    PhotoExif read(const QByteArray& bytes) override {
        try {
            // Read in place (exiv2 copies nothing it does not write).
            const auto image = Exiv2::ImageFactory::open(
                reinterpret_cast<const Exiv2::byte*>(bytes.constData()), long(bytes.size()));
            if (image.get()) {
                image->readMetadata();
                return fromExif(image->exifData());
            }
        } catch (...) {
            // No readable metadata.
        }
        return PhotoExif();
    }

    PhotoExif decode(const QByteArray& block) override {
        try {
            Exiv2::ExifData exif;
            Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte*>(block.constData()),
                                      uint32_t(block.size()));
            return fromExif(exif);
        } catch (...) {
            return PhotoExif();
        }
    }

private:
    static PhotoExif fromExif(const Exiv2::ExifData& exif) {
        PhotoExif result;
        result.creationDate = exifDate(exif);
        if (const std::optional<Location> location = exifLocation(exif)) {
            result.latitude = location->lat;
            result.longitude = location->lng;
        }
        return result;
    }
};

} // namespace

OMBRIX_MODULE_EXPORT(photometa) {
    static Exiv2Module module;
    return &module;
}

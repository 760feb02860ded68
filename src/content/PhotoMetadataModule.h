#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// The interface of the photo metadata module (libombrix_photometa.so, exiv2),
// loaded on first use through Modules. PhotoLibrary.h is what the program uses.

struct PhotoExif {
    // DateTimeOriginal (else DateTimeDigitized), in the offset the file names, else local time.
    std::optional<QDateTime> creationDate;
    // Degrees, north and east positive, within ±90 and ±180.
    std::optional<double> latitude;
    std::optional<double> longitude;
};

class PhotoMetadataModule {
public:
    // What the EXIF data of the file held in `bytes` says; nothing when it has none
    // or cannot be read.
    virtual PhotoExif read(const QByteArray& bytes) = 0;
    // What an EXIF block says (from its TIFF header on, as a HEIF file holds it).
    virtual PhotoExif decode(const QByteArray& block) = 0;

protected:
    ~PhotoMetadataModule() = default;
};

// The loaded module; throws ModuleError when it is missing.
PhotoMetadataModule& photoMetadataModule();

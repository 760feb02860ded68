#pragma once

#include "content/PhotoMetadataModule.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// The user's photo library: the image files of the XDG Pictures folder and its
// subfolders (hidden ones left out), with the date a photo was taken and the place
// read from its EXIF data, the file's own date otherwise. Every function may run on
// any thread; walking the folder and reading metadata block, so call them off the
// GUI thread.
namespace PhotoLibrary {

struct Location {
    double lat = 0; // degrees, north positive
    double lng = 0; // degrees, east positive
    bool operator==(const Location&) const = default;
};

struct Asset {
    QString id;   // stable while the file keeps its place in the library
    QString path; // absolute
    QString name; // the file name
    // "public.jpeg", "public.png", "public.heic", "public.heif", "public.tiff" or
    // "com.compuserve.gif", from the extension.
    QString typeIdentifier;
    std::optional<QDateTime> creationDate;
    std::optional<Location> location;
};

// A creation-date filter: start included, end excluded.
struct DateRange {
    QDateTime start;
    QDateTime end;
    bool contains(const QDateTime& date) const { return date >= start && date < end; }
};

// The library folder: the XDG Pictures folder.
QString rootFolder();

// The type identifier of a file name by its extension; empty for anything that is
// not a library image.
QString typeIdentifierForFileName(const QString& fileName);

// The id of a file at this path relative to the library folder: a UUID derived
// from the path, so the same file keeps its id from one run to the next and the id
// tells nothing of where the file lies.
QString identifierFor(const QString& relativePath);

// Date taken and place of one image file (EXIF through exiv2, in a decoder worker:
// throws DecodeError when it fails on the file); the file's modification date when
// it carries no date.
struct Metadata {
    std::optional<QDateTime> creationDate;
    std::optional<Location> location;
};
Metadata readMetadata(const QString& path);

// In the decoder worker: what the EXIF data of the image held in `bytes` says.
PhotoExif exifFromBytes(const QByteArray& bytes);

// The images, newest first (images without a date last), at most `limit` of them,
// those whose date lies in the range when one is given. A file the decoder worker
// fails on is listed with its file date, and not read again while it keeps its
// size and dates.
QList<Asset> fetchAssets(int limit, const std::optional<DateRange>& range = std::nullopt);

// The image with this id, or nothing.
std::optional<Asset> assetWithIdentifier(const QString& id);

// How many times the library folder has been walked (for tests that check it is not).
int libraryReads();

} // namespace PhotoLibrary

// A photo metadata module for the photo library tests: a file holding "CRASH"
// brings the worker down, as a photo whose metadata crashes the real reader; any
// other file's date is the "EXIF-DATE:yyyy:MM:dd HH:mm:ss" it holds, if any. Built
// as build/tests/hostile/libombrix_photometa.so.
#include "content/PhotoMetadataModule.h"
#include "platform/ModuleExport.h"

#include <cstdlib>

namespace {

class HostilePhotoModule final : public PhotoMetadataModule {
public:
    PhotoExif read(const QByteArray& bytes) override {
        if (bytes.contains("CRASH"))
            std::abort();
        PhotoExif exif;
        const qsizetype at = bytes.indexOf("EXIF-DATE:");
        if (at >= 0) {
            const QDateTime date = QDateTime::fromString(QString::fromLatin1(bytes.mid(at + 10, 19)),
                                                         QStringLiteral("yyyy:MM:dd HH:mm:ss"));
            if (date.isValid())
                exif.creationDate = date;
        }
        return exif;
    }
    PhotoExif decode(const QByteArray&) override { return {}; }
};

} // namespace

OMBRIX_MODULE_EXPORT(photometa) {
    static HostilePhotoModule module;
    return &module;
}

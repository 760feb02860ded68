#include "content/HeifImage.h"

#include "content/HeifModule.h"
#include "platform/Localization.h"
#include "platform/Modules.h"

HeifModule& heifModule() {
    return Modules::get<HeifModule>("heif", loc("La lecture des images HEIC"));
}

namespace HeifImage {

bool looksLikeHeif(const QByteArray& head) {
    // A HEIF file opens with its "ftyp" box: only such a head goes to libheif, so
    // that the module loads for nothing else.
    if (head.size() < 12 || head.mid(4, 4) != "ftyp")
        return false;
    return heifModule().looksLikeHeif(head);
}

QImage decode(const QByteArray& data, qint64 maxPixels) {
    return heifModule().decode(data, maxPixels);
}

QByteArray exifBlock(const QByteArray& data) {
    return heifModule().exifBlock(data);
}

} // namespace HeifImage

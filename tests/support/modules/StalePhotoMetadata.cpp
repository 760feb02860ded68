// A photo metadata module as an older build made it: its interface had read()
// only, so a call to today's decode() would go through a slot its table does not
// have. Built twice for the loader tests: as a build from before modules exported
// their interface digest, and (OMBRIX_MODULE_INTERFACE given) with another digest.
#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <optional>

struct PhotoExif {
    std::optional<QDateTime> creationDate;
};

class PhotoMetadataModule {
public:
    virtual PhotoExif read(const QString& path) = 0;

protected:
    ~PhotoMetadataModule() = default;
};

namespace {
class OldModule final : public PhotoMetadataModule {
public:
    PhotoExif read(const QString&) override { return {}; }
};
} // namespace

#ifdef OMBRIX_MODULE_INTERFACE
#include "platform/ModuleExport.h"
OMBRIX_MODULE_EXPORT(photometa) {
#else
extern "C" Q_DECL_EXPORT void* ombrix_module_photometa() {
#endif
    static OldModule module;
    return &module;
}

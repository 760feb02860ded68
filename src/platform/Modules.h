#pragma once

#include "platform/Errors.h"

#include <QString>
#include <QStringList>

// The heavy decoders (audio codecs, PDF, text recognition, photo metadata, HEIF
// images, the metadata index, speech) live in small shared modules,
// libombrix_<name>.so, loaded on first use, so that the tray program maps none of
// them while idle. A module exports two C functions (platform/ModuleExport.h
// writes them): `ombrix_module_<name>`, which returns its single interface object
// (a plain abstract class declared in the feature's header; the object lives until
// the process ends), and `ombrix_module_<name>_interface`, the digest of the
// interface headers it was built with. Modules link only Qt and their decoder,
// never the program's own libraries, so they hold no copy of its singletons.
//
// Modules are looked for next to the running program (the build tree), then in
// the install's library folder as seen from the program's folder
// (<bindir>/../<libdir>/ombrix, an install moved elsewhere), then where the
// install put them (<libdir>/ombrix). The first folder that holds the module's
// file decides: a file there that is damaged, from another build or fails to load
// is an error, never a reason to take an older module further down the path.

// A module that cannot be found or loaded: only the feature that needs it fails.
class ModuleError : public OmbrixError {
public:
    enum class Reason {
        Unavailable,  // missing, damaged, not ours or refused by the dynamic loader
        OtherVersion, // built from other module interfaces (another build of Ombrix)
    };

    ModuleError(QString feature, QString module, QString detail, Reason reason = Reason::Unavailable)
        : feature_(std::move(feature))
        , module_(std::move(module))
        , detail_(std::move(detail))
        , reason_(reason) {}
    // "<feature> n'est pas disponible : le module <file> est introuvable ou ne se
    // charge pas. Réinstalle Ombrix." or, for OtherVersion, "… : le module <file>
    // vient d'une version différente d'Ombrix. Réinstalle Ombrix."
    QString description() const override;
    QString feature() const { return feature_; }
    QString module() const { return module_; }
    // What went wrong, in English, for the log.
    QString detail() const { return detail_; }
    Reason reason() const { return reason_; }

private:
    QString feature_;
    QString module_;
    QString detail_;
    Reason reason_;
};

namespace Modules {

// The interface object of module `name` (loaded once per process; safe from any
// thread: concurrent first calls load it once, and once loaded a module is
// returned without waiting for another module's load). `feature` names what needs
// it in the error, in French ("La lecture des PDF"). Throws ModuleError.
void* load(const char* name, const QString& feature);

template <typename Interface> Interface& get(const char* name, const QString& feature) {
    return *static_cast<Interface*>(load(name, feature));
}

// Whether module `name` is loaded in this process.
bool isLoaded(const char* name);

// The folders searched, in order.
QStringList searchPath();

// Tests: search these folders instead (an empty list restores the default). Only
// modules not loaded yet are affected.
void setSearchPathForTesting(const QStringList& folders);

} // namespace Modules

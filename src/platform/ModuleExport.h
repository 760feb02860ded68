#pragma once

// Included by a decoder module (a modules/ folder) only: writes the two C
// functions the loader (platform/Modules.h) looks up. Use it as the head of the
// factory, whose body returns the module's single interface object:
//
//     OMBRIX_MODULE_EXPORT(pdf) {
//         static PopplerModule module;
//         return &module;
//     }
//
// OMBRIX_MODULE_INTERFACE, the digest of the module interface headers, is given by
// the build to every module and to the loader: a module from a build whose
// interfaces differ is refused before any call through its object.

#include <QtGlobal>

#define OMBRIX_MODULE_EXPORT(name)                                                                           \
    extern "C" Q_DECL_EXPORT quint64 ombrix_module_##name##_interface() {                                    \
        return OMBRIX_MODULE_INTERFACE;                                                                      \
    }                                                                                                        \
    extern "C" Q_DECL_EXPORT void* ombrix_module_##name()

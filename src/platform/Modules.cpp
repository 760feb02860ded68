#include "platform/Modules.h"

#include "BuildConfigValues.h"
#include "platform/Localization.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QLibrary>
#include <QMutex>

QString ModuleError::description() const {
    return loc("%1 n'est pas disponible : le module %2 est introuvable ou ne se charge pas. Réinstalle "
               "Ombrix.")
        .arg(feature_, module_);
}

namespace Modules {

namespace {

struct Registry {
    QMutex mutex;
    QHash<QByteArray, void*> loaded;
    QStringList testFolders;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

QString fileName(const char* name) {
    return QStringLiteral("libombrix_%1.so").arg(QLatin1String(name));
}

} // namespace

QStringList searchPath() {
    {
        Registry& r = registry();
        QMutexLocker lock(&r.mutex);
        if (!r.testFolders.isEmpty())
            return r.testFolders;
    }
    QStringList folders;
    if (QCoreApplication::instance()) {
        const QString programFolder = QCoreApplication::applicationDirPath();
        folders << programFolder;
        // An install moved to another prefix keeps its layout.
        folders << QDir::cleanPath(programFolder + QLatin1Char('/') +
                                   QStringLiteral(OMBRIX_CFG_MODULE_DIR_FROM_BIN));
    }
    folders << QStringLiteral(OMBRIX_CFG_MODULE_DIR);
    folders.removeDuplicates();
    return folders;
}

void* load(const char* name, const QString& feature) {
    Registry& r = registry();
    const QStringList folders = searchPath();
    QMutexLocker lock(&r.mutex);
    if (void* object = r.loaded.value(QByteArray(name)))
        return object;
    QElapsedTimer clock;
    clock.start();
    const QString file = fileName(name);
    const QByteArray symbol = QByteArrayLiteral("ombrix_module_") + name;
    QString detail = QStringLiteral("not found in ") + folders.join(QLatin1Char(':'));
    for (const QString& folder : folders) {
        const QString path = folder + QLatin1Char('/') + file;
        if (!QFileInfo(path).isFile())
            continue;
        // Never unloaded: the interface object and its code live as long as the process.
        QLibrary library(path);
        library.setLoadHints(QLibrary::PreventUnloadHint);
        if (!library.load()) {
            detail = library.errorString();
            continue;
        }
        using Factory = void* (*)();
        const auto factory = reinterpret_cast<Factory>(library.resolve(symbol.constData()));
        void* object = factory ? factory() : nullptr;
        if (!object) {
            detail = path + QStringLiteral(": no ") + QString::fromLatin1(symbol);
            continue;
        }
        r.loaded.insert(QByteArray(name), object);
        qCInfo(lcApp) << "module" << file << "loaded from" << folder << "in" << clock.elapsed() << "ms";
        return object;
    }
    qCWarning(lcApp) << "module" << file << "unavailable:" << detail;
    throw ModuleError(feature, file, detail);
}

bool isLoaded(const char* name) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    return r.loaded.contains(QByteArray(name));
}

void setSearchPathForTesting(const QStringList& folders) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.testFolders = folders;
}

} // namespace Modules

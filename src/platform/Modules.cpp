#include "platform/Modules.h"

#include "BuildConfigValues.h"
#include "platform/Localization.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

QString ModuleError::description() const {
    if (reason_ == Reason::OtherVersion)
        return loc("%1 n'est pas disponible : le module %2 vient d'une version différente d'Ombrix. "
                   "Réinstalle Ombrix.")
            .arg(feature_, module_);
    return loc("%1 n'est pas disponible : le module %2 est introuvable ou ne se charge pas. Réinstalle "
               "Ombrix.")
        .arg(feature_, module_);
}

namespace Modules {

namespace {

// One module: its object once loaded (read without a lock), and the lock that
// its own first loads take, so that a load waits for nothing but itself.
struct Slot {
    std::atomic<void*> object{nullptr};
    QMutex loading;
};

struct Registry {
    QMutex mutex; // guards the map and the test folders; never held across a load
    std::map<std::string, std::unique_ptr<Slot>, std::less<>> entries;
    QStringList testFolders;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

Slot& slot(const char* name) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    std::unique_ptr<Slot>& entry = r.entries[name];
    if (!entry)
        entry = std::make_unique<Slot>();
    return *entry;
}

QString fileName(const char* name) {
    return QStringLiteral("libombrix_%1.so").arg(QLatin1String(name));
}

bool readAt(int fd, void* buffer, size_t size, quint64 offset) {
    return pread(fd, buffer, size, off_t(offset)) == ssize_t(size);
}

// Whether [offset, offset + count × entry) lies within a file of `size` bytes.
bool within(quint64 offset, quint64 count, quint64 entry, quint64 size) {
    return offset <= size && (entry == 0 || count <= (size - offset) / entry);
}

// Why the shared object in `fd` cannot be mapped safely, if it cannot: every part
// the dynamic loader maps or reads (the header, the program headers, each
// segment's bytes) and the section headers, which the linker writes last, must lie
// within the file. A file cut short (an interrupted copy, a full disk) would
// otherwise be mapped past its end and fault on first touch.
std::optional<QString> damage(int fd, quint64 size) {
    ElfW(Ehdr) header;
    if (!readAt(fd, &header, sizeof header, 0))
        return QStringLiteral("shorter than an ELF header");
    if (memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        return QStringLiteral("not an ELF file");
    if (header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
        header.e_ident[EI_DATA] != (Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? ELFDATA2LSB : ELFDATA2MSB) ||
        header.e_type != ET_DYN)
        return QStringLiteral("not a shared object for this machine");
    if (header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0 || header.e_phnum >= PN_XNUM ||
        !within(header.e_phoff, header.e_phnum, sizeof(ElfW(Phdr)), size))
        return QStringLiteral("program headers out of the file");
    for (quint64 i = 0; i < header.e_phnum; ++i) {
        ElfW(Phdr) segment;
        if (!readAt(fd, &segment, sizeof segment, header.e_phoff + i * sizeof segment))
            return QStringLiteral("program headers unreadable");
        if (segment.p_filesz > 0 && !within(segment.p_offset, 1, segment.p_filesz, size))
            return QStringLiteral("a segment ends past the end of the file (cut short)");
    }
    // Past 0xff00 sections the count sits in the first section header: it must be there at least.
    const quint64 sections = header.e_shnum ? header.e_shnum : 1;
    if (header.e_shoff != 0 && (header.e_shentsize != sizeof(ElfW(Shdr)) ||
                                !within(header.e_shoff, sections, sizeof(ElfW(Shdr)), size)))
        return QStringLiteral("section headers past the end of the file (cut short)");
    return std::nullopt;
}

// Whether a file or folder is safe to load code from: owned by this user or by
// root, and not writable by every user. A folder such as /tmp/lib/ombrix that
// another local user made is not.
bool trusted(const struct stat& info) {
    return (info.st_uid == geteuid() || info.st_uid == 0) && !(info.st_mode & S_IWOTH);
}

// Loads the module at `path`, or throws why not (detail and reason only: the
// caller words the error).
void* loadFrom(const QString& path, const QString& folder, const char* name, const QString& feature) {
    const QString file = fileName(name);
    const auto fail = [&](const QString& why, ModuleError::Reason reason = ModuleError::Reason::Unavailable) {
        return ModuleError(feature, file, path + QStringLiteral(": ") + why, reason);
    };
    struct stat folderInfo;
    if (stat(QFile::encodeName(folder).constData(), &folderInfo) != 0 || !trusted(folderInfo))
        throw fail(QStringLiteral("its folder is writable by others or owned by another user"));
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw fail(QString::fromLocal8Bit(strerror(errno)));
    struct stat info;
    std::optional<QString> why;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        why = QStringLiteral("not a regular file");
    else if (!trusted(info))
        why = QStringLiteral("writable by others or owned by another user");
    else
        why = damage(fd, quint64(info.st_size));
    close(fd);
    if (why)
        throw fail(*why);

    // Never unloaded: the interface object and its code live as long as the process.
    void* handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle)
        throw fail(QString::fromLocal8Bit(dlerror()));
    const QByteArray factoryName = QByteArrayLiteral("ombrix_module_") + name;
    const QByteArray interfaceName = factoryName + QByteArrayLiteral("_interface");
    using Digest = quint64 (*)();
    const auto digestOf = reinterpret_cast<Digest>(dlsym(handle, interfaceName.constData()));
    if (!digestOf)
        throw fail(QStringLiteral("no ") + QString::fromLatin1(interfaceName) +
                       QStringLiteral(" (a module from an older build)"),
                   ModuleError::Reason::OtherVersion);
    if (const quint64 digest = digestOf(); digest != quint64(OMBRIX_MODULE_INTERFACE))
        throw fail(QStringLiteral("built for module interface %1, this program has %2")
                       .arg(digest, 16, 16, QLatin1Char('0'))
                       .arg(quint64(OMBRIX_MODULE_INTERFACE), 16, 16, QLatin1Char('0')),
                   ModuleError::Reason::OtherVersion);
    using Factory = void* (*)();
    const auto factory = reinterpret_cast<Factory>(dlsym(handle, factoryName.constData()));
    void* object = factory ? factory() : nullptr;
    if (!object)
        throw fail(QStringLiteral("no ") + QString::fromLatin1(factoryName));
    return object;
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
    Slot& module = slot(name);
    if (void* object = module.object.load(std::memory_order_acquire))
        return object;
    QMutexLocker lock(&module.loading);
    if (void* object = module.object.load(std::memory_order_acquire))
        return object;
    QElapsedTimer clock;
    clock.start();
    const QString file = fileName(name);
    const QStringList folders = searchPath();
    for (const QString& folder : folders) {
        const QString path = folder + QLatin1Char('/') + file;
        if (!QFileInfo::exists(path))
            continue;
        // The first folder that has the file decides: no falling back to an older module.
        try {
            void* object = loadFrom(path, folder, name, feature);
            module.object.store(object, std::memory_order_release);
            qCInfo(lcApp) << "module" << file << "loaded from" << folder << "in" << clock.elapsed() << "ms";
            return object;
        } catch (const ModuleError& error) {
            qCWarning(lcApp) << "module" << file << "refused:" << error.detail();
            throw;
        }
    }
    const QString detail = QStringLiteral("not found in ") + folders.join(QLatin1Char(':'));
    qCWarning(lcApp) << "module" << file << "unavailable:" << detail;
    throw ModuleError(feature, file, detail);
}

bool isLoaded(const char* name) {
    return slot(name).object.load(std::memory_order_acquire) != nullptr;
}

void setSearchPathForTesting(const QStringList& folders) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.testFolders = folders;
}

} // namespace Modules

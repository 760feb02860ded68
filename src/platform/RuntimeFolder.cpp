#include "platform/RuntimeFolder.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString sanitized(const QString& text) {
    QString out;
    for (const QChar c : text.left(64))
        out += (c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('-') || c == QLatin1Char('.')
                   ? c
                   : QLatin1Char('_');
    return out;
}

QString systemError(int number) {
    return QString::fromLocal8Bit(std::strerror(number));
}

} // namespace

QString RuntimeFolder::path() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QDir(runtime).exists())
        return QDir::cleanPath(runtime) + QStringLiteral("/ombrix");
    return QDir::cleanPath(QDir::tempPath()) + QStringLiteral("/ombrix-%1").arg(::geteuid());
}

QString RuntimeFolder::displayKey() {
    QString display = qEnvironmentVariable("DISPLAY");
    if (!display.isEmpty()) {
        // ":0" and ":0.0" are the same display: the screen number is dropped.
        const qsizetype colon = display.lastIndexOf(QLatin1Char(':'));
        const qsizetype dot = display.indexOf(QLatin1Char('.'), colon + 1);
        if (colon >= 0 && dot > colon)
            display.truncate(dot);
        return QStringLiteral("x11") + sanitized(display);
    }
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (!wayland.isEmpty())
        return QStringLiteral("wl_") + sanitized(wayland);
    return QStringLiteral("none");
}

QString RuntimeFolder::makePrivate(const QString& folder) {
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return QStringLiteral("cannot make %1: %2").arg(folder, systemError(errno));
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0)
        return QStringLiteral("cannot read %1: %2").arg(folder, systemError(errno));
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("%1 is a symbolic link").arg(folder);
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("%1 is not a folder").arg(folder);
    if (info.st_uid != ::geteuid())
        return QStringLiteral("%1 belongs to user %2").arg(folder).arg(info.st_uid);
    if ((info.st_mode & 077) != 0)
        return QStringLiteral("%1 is open to others (mode %2)")
            .arg(folder, QString::number(info.st_mode & 07777, 8));
    return QString();
}

QString RuntimeFolder::privateSubfolder(const QString& name, QString* why) {
    const QString base = path();
    QString refused = makePrivate(base);
    const QString folder = base + QLatin1Char('/') + name;
    if (refused.isEmpty())
        refused = makePrivate(folder);
    if (why)
        *why = refused;
    return refused.isEmpty() ? folder : QString();
}

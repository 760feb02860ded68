#include "content/DesktopEntry.h"

#include <QFile>

namespace {
// .desktop files are small; anything larger is not one.
constexpr qint64 kMaxDesktopFileBytes = 1 << 20;
} // namespace

std::optional<DesktopEntry> DesktopEntry::read(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray contents = file.read(kMaxDesktopFileBytes + 1);
    if (contents.size() > kMaxDesktopFileBytes)
        return std::nullopt;
    return parse(contents);
}

std::optional<DesktopEntry> DesktopEntry::parse(const QByteArray& contents) {
    DesktopEntry entry;
    bool inMainGroup = false;
    bool sawMainGroup = false;
    for (const QByteArray& rawLine : contents.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (!entry.values.contains(key)) // the first occurrence of a key wins
            entry.values.insert(key, line.mid(equals + 1).trimmed());
    }
    if (!sawMainGroup)
        return std::nullopt;
    return entry;
}

bool DesktopEntry::isUsableApplication() const {
    return value(QStringLiteral("Type")) == QLatin1String("Application") &&
           !boolValue(QStringLiteral("Hidden"));
}

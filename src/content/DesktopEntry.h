#pragma once

#include <QHash>
#include <QString>

#include <optional>

// The [Desktop Entry] group of an XDG .desktop file: only what locating and
// launching an application needs. Keys keep their locale suffix ("Name[fr]").
struct DesktopEntry {
    QHash<QString, QString> values;

    // Parses the file; nothing when it cannot be read or has no [Desktop Entry] group.
    static std::optional<DesktopEntry> read(const QString& path);
    static std::optional<DesktopEntry> parse(const QByteArray& contents);

    QString value(const QString& key) const { return values.value(key); }
    bool boolValue(const QString& key) const { return values.value(key) == QLatin1String("true"); }
    // An application entry that is not marked hidden (a hidden entry counts as deleted).
    bool isUsableApplication() const;
};

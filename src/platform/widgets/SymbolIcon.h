#pragma once

#include <QIcon>
#include <QString>

// The icon for a symbol name used by the views' logic ("sparkles", "cpu",
// "arrow.up.circle.fill", …). Each known name maps to an icon of the desktop's
// freedesktop theme; names no theme icon fits have a small SVG of our own under
// resources/icons/<name>.svg. An unknown name gives a null icon.
QIcon symbolIcon(const QString& symbolName);

// The theme icon name a symbol maps to, empty when it has none.
QString symbolThemeName(const QString& symbolName);

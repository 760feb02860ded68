#include "app/DeepLinks.h"

#include "app/AppCommands.h"
#include "platform/DefaultsStore.h"

#include <QUrlQuery>

namespace DeepLinks {

QString corvaneAnchor(const std::optional<QString>& section) {
    const QString value = section.value_or(QString()).toLower();
    if (value == QLatin1String("local") || value == QLatin1String("local_runtime"))
        return QStringLiteral("localRuntime");
    if (value == QLatin1String("secure") || value == QLatin1String("secure_access"))
        return QStringLiteral("secureAccess");
    if (value == QLatin1String("activity") || value == QLatin1String("audit"))
        return QStringLiteral("activity");
    if (value == QLatin1String("approvals"))
        return QStringLiteral("approvals");
    return QStringLiteral("summary");
}

bool handleDesktopDeepLink(const QUrl& url) {
    if (!url.isValid() || url.scheme().toLower() != QLatin1String("ombrix"))
        return false;
    const QString host = url.host().toLower();
    if (host.isEmpty())
        return false;
    QString path = url.path(QUrl::FullyDecoded).toLower();
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);

    std::optional<QString> anchor;
    if (host == QLatin1String("desktop") && path == QLatin1String("/corvane_panel")) {
        std::optional<QString> section;
        const QUrlQuery query(url);
        for (const auto& item : query.queryItems(QUrl::FullyDecoded)) {
            if (item.first == QLatin1String("section")) {
                if (!item.second.isEmpty())
                    section = item.second;
                break;
            }
        }
        anchor = corvaneAnchor(section);
    } else if (host == QLatin1String("local") && path == QLatin1String("/setup")) {
        anchor = QStringLiteral("localRuntime");
    }
    if (!anchor)
        return false;
    DefaultsStore::shared().setString(kCorvanePanelAnchorKey, *anchor);
    AppCommands::openSettingsWindow(SettingsTab::Corvane);
    return true;
}

} // namespace DeepLinks

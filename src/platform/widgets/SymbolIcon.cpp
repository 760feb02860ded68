#include "platform/widgets/SymbolIcon.h"

#include <QFile>
#include <QHash>

namespace {

// Symbol name → freedesktop icon name. Add a line per symbol a view uses.
const QHash<QString, QString>& themeNames() {
    static const QHash<QString, QString> names = {
        {"gearshape", "preferences-system-symbolic"},
        {"xmark", "window-close-symbolic"},
        {"xmark.circle.fill", "window-close-symbolic"},
        {"checkmark", "object-select-symbolic"},
        {"checkmark.circle.fill", "emblem-ok-symbolic"},
        {"exclamationmark.triangle.fill", "dialog-warning-symbolic"},
        {"arrow.clockwise", "view-refresh-symbolic"},
        {"folder", "folder-symbolic"},
        {"doc", "text-x-generic-symbolic"},
        {"trash", "user-trash-symbolic"},
        {"plus", "list-add-symbolic"},
        {"minus", "list-remove-symbolic"},
        {"square.and.pencil", "document-edit-symbolic"},
        {"clock", "document-open-recent-symbolic"},
        {"cpu", "computer-symbolic"},
        {"desktopcomputer", "computer-symbolic"},
        {"lock", "changes-prevent-symbolic"},
        {"lock.fill", "changes-prevent-symbolic"},
        {"lock.open", "changes-allow-symbolic"},
        {"mic", "audio-input-microphone-symbolic"},
        {"mic.fill", "audio-input-microphone-symbolic"},
        {"speaker.wave.2", "audio-speakers-symbolic"},
        {"speaker.wave.2.fill", "audio-speakers-symbolic"},
        {"power", "system-shutdown-symbolic"},
        {"info.circle", "dialog-information-symbolic"},
        {"questionmark.circle", "help-about-symbolic"},
        {"magnifyingglass", "system-search-symbolic"},
        {"chevron.down", "pan-down-symbolic"},
        {"chevron.right", "pan-end-symbolic"},
        {"network", "network-wired-symbolic"},
        {"wifi", "network-wireless-symbolic"},
        {"person.crop.circle", "avatar-default-symbolic"},
        {"bell", "preferences-system-notifications-symbolic"},
        {"stop.fill", "media-playback-stop-symbolic"},
        {"play.fill", "media-playback-start-symbolic"},
        {"text.bubble.fill", "chat-message-new-symbolic"},
        {"clock.arrow.circlepath", "document-open-recent-symbolic"},
        {"externaldrive.connected.to.line.below", "network-server-symbolic"},
        {"lock.shield", "security-high-symbolic"},
        {"waveform", "audio-x-generic-symbolic"},
        {"play.circle.fill", "media-playback-start-symbolic"},
        {"minus.circle.fill", "list-remove-symbolic"},
        {"sparkles", "starred-symbolic"},
        {"a.circle", "starred-symbolic"},
        {"g.circle", "starred-symbolic"},
        {"m.circle", "starred-symbolic"},
        {"d.circle", "starred-symbolic"},
        {"cube", "package-x-generic-symbolic"},
        {"chevron.up.chevron.down", "pan-down-symbolic"},
        {"arrow.up.circle.fill", "go-up-symbolic"},
        {"slider.horizontal.3", "emblem-system-symbolic"},
        {"checkmark.shield.fill", "security-high-symbolic"},
        {"key.slash", "channel-insecure-symbolic"},
        {"key.fill", "dialog-password-symbolic"},
        {"exclamationmark.shield", "security-low-symbolic"},
        {"xmark.shield", "process-stop-symbolic"},
        {"lock.open.display", "changes-allow-symbolic"},
        {"cloud", "weather-overcast-symbolic"},
        {"bolt.fill", "thunderbolt-symbolic"},
        {"bolt.slash", "action-unavailable-symbolic"},
        {"hand.raised.fill", "action-unavailable-symbolic"},
        {"clock.badge.exclamationmark", "alarm-symbolic"},
        {"clock.badge.xmark", "appointment-missed-symbolic"},
        {"arrow.triangle.2.circlepath.circle.fill", "emblem-synchronizing-symbolic"},
        {"checkmark.arrow.trianglehead.clockwise", "emblem-ok-symbolic"},
        {"arrowshape.turn.up.forward.fill", "mail-forward-symbolic"},
        {"wrench.and.screwdriver.fill", "applications-engineering-symbolic"},
        {"stethoscope", "system-run-symbolic"},
        {"touchid", "auth-fingerprint-symbolic"},
        {"exclamationmark.circle.fill", "emblem-important-symbolic"},
        {"waveform.circle.fill", "audio-x-generic-symbolic"},
        {"arrow.2.circlepath", "view-refresh-symbolic"},
        {"exclamationmark.triangle", "dialog-warning-symbolic"},
    };
    return names;
}

void ensureThemeChosen() {
    // The offscreen and minimal platforms have no theme of their own, and look
    // for themes only in the resources.
    static const bool chosen = [] {
        QStringList paths = QIcon::themeSearchPaths();
        QStringList dataDirs = qEnvironmentVariable("XDG_DATA_DIRS").split(':', Qt::SkipEmptyParts);
        if (dataDirs.isEmpty())
            dataDirs = {QStringLiteral("/usr/local/share"), QStringLiteral("/usr/share")};
        for (const QString& dir : dataDirs) {
            const QString icons = dir + QStringLiteral("/icons");
            if (!paths.contains(icons))
                paths << icons;
        }
        QIcon::setThemeSearchPaths(paths);
        if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
            QIcon::setThemeName(QStringLiteral("Adwaita"));
        return true;
    }();
    Q_UNUSED(chosen);
}

} // namespace

QString symbolThemeName(const QString& symbolName) {
    return themeNames().value(symbolName);
}

QIcon symbolIcon(const QString& symbolName) {
    const QString own = QStringLiteral(":/icons/%1.svg").arg(symbolName);
    if (QFile::exists(own))
        return QIcon(own);
    const QString themed = symbolThemeName(symbolName);
    if (themed.isEmpty())
        return QIcon();
    ensureThemeChosen();
    return QIcon::fromTheme(themed);
}

#include "app/AppCommands.h"

#include "platform/DefaultsStore.h"

#include <QTimer>

namespace {
AppCommands::Hooks& hooks() {
    static AppCommands::Hooks installed;
    return installed;
}

void promote(int attemptsRemaining) {
    if (attemptsRemaining < 1)
        return;
    QTimer::singleShot(AppCommands::kPromotionIntervalMs, [attemptsRemaining] {
        const auto& present = hooks().presentSettingsWindow;
        if (present && present())
            return;
        promote(attemptsRemaining - 1);
    });
}
} // namespace

QString settingsTabTag(SettingsTab tab) {
    switch (tab) {
    case SettingsTab::General:
        return QStringLiteral("general");
    case SettingsTab::Bridge:
        return QStringLiteral("bridge");
    case SettingsTab::Corvane:
        return QStringLiteral("corvane");
    case SettingsTab::LocalLlm:
        return QStringLiteral("localLlm");
    }
    return QStringLiteral("general");
}

SettingsTab settingsTabFromTag(const QString& tag) {
    for (SettingsTab tab :
         {SettingsTab::General, SettingsTab::Bridge, SettingsTab::Corvane, SettingsTab::LocalLlm}) {
        if (settingsTabTag(tab) == tag)
            return tab;
    }
    return SettingsTab::General;
}

SettingsTab storedSettingsTab() {
    return settingsTabFromTag(DefaultsStore::shared().string(kSettingsInitialTabKey).value_or(QString()));
}

namespace AppCommands {

void setHooks(Hooks installed) {
    hooks() = std::move(installed);
}

void openSettingsWindow(SettingsTab tab) {
    DefaultsStore::shared().setString(kSettingsInitialTabKey, settingsTabTag(tab));
    if (hooks().closePopover)
        hooks().closePopover();
    if (hooks().presentSettingsWindow && hooks().presentSettingsWindow())
        return;
    promote(kPromotionAttempts);
}

} // namespace AppCommands

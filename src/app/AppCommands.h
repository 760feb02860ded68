#pragma once

#include <QString>

#include <functional>

// The Settings window's tabs, in their order, each stored by its tag under
// "settingsInitialTab".
enum class SettingsTab { General, Bridge, Corvane, LocalLlm };

inline constexpr char kSettingsInitialTabKey[] = "settingsInitialTab";
inline constexpr char kCorvanePanelAnchorKey[] = "corvanePanelAnchor";
inline constexpr char kSuppressQuitConfirmationKey[] = "suppressQuitConfirmation";

// "general", "bridge", "corvane", "localLlm".
QString settingsTabTag(SettingsTab tab);
// The tab of a stored tag; an unknown or missing tag is the General tab.
SettingsTab settingsTabFromTag(const QString& tag);
// The tab the stored "settingsInitialTab" names.
SettingsTab storedSettingsTab();

// Brings the Settings window forward from outside it (the popover, the model
// picker, desktop links): stores the tab, closes the popover, then shows,
// raises and activates the window, trying again a few times while the desktop
// has not given it the focus. The shell installs what closes the popover and
// what presents the window; before it does, only the tab is stored.
namespace AppCommands {

inline constexpr int kPromotionAttempts = 6;
inline constexpr int kPromotionIntervalMs = 50;

void openSettingsWindow(SettingsTab tab);

struct Hooks {
    std::function<void()> closePopover;
    // Shows the window; returns true once it is the active window.
    std::function<bool()> presentSettingsWindow;
};
void setHooks(Hooks hooks);

} // namespace AppCommands

#include "app/SettingsOpener.h"

#include "app/AppCommands.h"

namespace {

// The program's own: the Settings window's command (which only stores the tab
// until the shell has installed its window).
class CommandSettingsOpener : public SettingsOpener {
public:
    void openSettingsWindow(const QString& tab) override {
        AppCommands::openSettingsWindow(settingsTabFromTag(tab));
    }
};

std::shared_ptr<SettingsOpener>& sharedOpener() {
    static std::shared_ptr<SettingsOpener> opener = std::make_shared<CommandSettingsOpener>();
    return opener;
}

} // namespace

SettingsOpener& SettingsOpener::shared() {
    return *sharedOpener();
}

void SettingsOpener::setShared(std::shared_ptr<SettingsOpener> opener) {
    sharedOpener() = opener ? std::move(opener) : std::make_shared<CommandSettingsOpener>();
}

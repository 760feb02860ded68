#include "app/SettingsOpener.h"

namespace {

class NoSettingsOpener : public SettingsOpener {
public:
    void openSettingsWindow(const QString&) override {}
};

std::shared_ptr<SettingsOpener>& sharedOpener() {
    static std::shared_ptr<SettingsOpener> opener = std::make_shared<NoSettingsOpener>();
    return opener;
}

} // namespace

SettingsOpener& SettingsOpener::shared() {
    return *sharedOpener();
}

void SettingsOpener::setShared(std::shared_ptr<SettingsOpener> opener) {
    sharedOpener() = opener ? std::move(opener) : std::make_shared<NoSettingsOpener>();
}

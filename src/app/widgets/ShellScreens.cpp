#include "app/widgets/ShellScreens.h"

#include "app/CloudCatalog.h"
#include "app/widgets/ChatView.h"
#include "bridge/BookmarkStore.h"
#include "bridge/BridgeService.h"
#include "session/AppSession.h"
#include "settings/widgets/BridgeSettingsTab.h"
#include "settings/widgets/GeneralSettingsTab.h"
#include "settings/widgets/LocalModelSettingsWidget.h"

#include <QLabel>

namespace {
QWidget* comingSoon() {
    auto* label = new QLabel(QStringLiteral("…"));
    label->setAlignment(Qt::AlignCenter);
    return label;
}
} // namespace

ShellScreens defaultShellScreens() {
    ShellScreens screens;
    screens.chat = [] { return new ChatView(AppSession::shared(), CloudCatalog::shared()); };
    screens.pushToTalk = comingSoon;
    screens.realtime = comingSoon;
    screens.generalTab = [] { return new GeneralSettingsTab(AppSession::shared()); };
    screens.bridgeTab = [] {
        return new BridgeSettingsTab(AppSession::shared(), BookmarkStore::shared(), BridgeService::shared());
    };
    screens.corvaneTab = comingSoon;
    screens.localLlmTab = [] { return new LocalModelSettingsWidget; };
    return screens;
}

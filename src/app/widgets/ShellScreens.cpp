#include "app/widgets/ShellScreens.h"

#include "app/CloudCatalog.h"
#include "app/widgets/ChatView.h"
#include "bridge/BookmarkStore.h"
#include "bridge/BridgeService.h"
#include "corvane/widgets/CorvanePanelView.h"
#include "session/AppSession.h"
#include "settings/widgets/BridgeSettingsTab.h"
#include "settings/widgets/GeneralSettingsTab.h"
#include "settings/widgets/LocalModelSettingsWidget.h"
#include "voice/widgets/MicrophoneView.h"
#include "voice/widgets/RealtimeView.h"

ShellScreens defaultShellScreens() {
    ShellScreens screens;
    screens.chat = [] { return new ChatView(AppSession::shared(), CloudCatalog::shared()); };
    screens.pushToTalk = [] { return new MicrophoneView(AppSession::shared()); };
    screens.realtime = [] { return new RealtimeView(AppSession::shared()); };
    screens.generalTab = [] { return new GeneralSettingsTab(AppSession::shared()); };
    screens.bridgeTab = [] {
        return new BridgeSettingsTab(AppSession::shared(), BookmarkStore::shared(), BridgeService::shared());
    };
    screens.corvaneTab = [] { return new CorvanePanelView; };
    screens.localLlmTab = [] { return new LocalModelSettingsWidget; };
    return screens;
}

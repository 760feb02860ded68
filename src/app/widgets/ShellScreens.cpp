#include "app/widgets/ShellScreens.h"

#include "app/ChatDraft.h"
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
    // One draft for the program's run: the chat screen is made again at each switch
    // back from voice, and takes the typed text up again.
    screens.chat = [draft = std::make_shared<ChatDraft>()] {
        return new ChatView(AppSession::shared(), CloudCatalog::shared(), draft);
    };
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

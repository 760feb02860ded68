#include "corvane/CorvaneActions.h"

#include "platform/DefaultsStore.h"
#include "platform/Log.h"

#include <QDesktopServices>

void CorvaneActionExecutor::run(const corvane::PlanAction& action, const corvane::OptSettings& settings) {
    using Kind = corvane::PlanAction::Kind;
    switch (action.kind) {
    case Kind::OpenSettingsTab:
        openSettingsTab(action.target);
        return;
    case Kind::ShowPanelAnchor:
        showPanelAnchor(action.target);
        return;
    case Kind::OpenLocalSetup:
        if (auto url = corvane::localSetupURL(settings)) {
            openUrl(*url);
            return;
        }
        openSettingsTab(corvane::tab::bridge);
        return;
    }
}

void DefaultsActionExecutor::openSettingsTab(const QString& tab) {
    DefaultsStore::shared().setString(QString::fromLatin1(corvane::kSettingsInitialTabKey), tab);
}

void DefaultsActionExecutor::showPanelAnchor(const QString& anchor) {
    DefaultsStore::shared().setString(QString::fromLatin1(corvane::kPanelAnchorKey), anchor);
}

void DefaultsActionExecutor::openUrl(const QUrl& url) {
    if (!QDesktopServices::openUrl(url))
        qCWarning(lcCorvane) << "the desktop did not open the setup page";
}

#pragma once

#include "corvane/CorvaneRules.h"

#include <QString>
#include <QUrl>

// Carries out what the panel's buttons ask of the rest of the program: show a tab
// of the Settings window, bring a card of the panel into view, open a page in the
// user's browser. The shell may install its own; the default one writes the
// settings keys the Settings window and the panel follow.
class CorvaneActionExecutor {
public:
    virtual ~CorvaneActionExecutor() = default;
    virtual void openSettingsTab(const QString& tab) = 0;
    virtual void showPanelAnchor(const QString& anchor) = 0;
    virtual void openUrl(const QUrl& url) = 0;

    // Runs a next-step action. The setup entry is read from the settings now; it is
    // opened only when it is an https URL with a host, otherwise the bridge tab is shown.
    void run(const corvane::PlanAction& action, const corvane::OptSettings& settings);
};

// Writes "settingsInitialTab" and "corvanePanelAnchor"; opens URLs with the desktop.
class DefaultsActionExecutor : public CorvaneActionExecutor {
public:
    void openSettingsTab(const QString& tab) override;
    void showPanelAnchor(const QString& anchor) override;
    void openUrl(const QUrl& url) override;
};

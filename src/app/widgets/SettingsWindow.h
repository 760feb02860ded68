#pragma once

#include "app/AppCommands.h"
#include "app/widgets/ShellScreens.h"

#include <QWidget>

class QTabWidget;

// The Settings window: four tabs (Général, Bridge local, Corvane, LLM local),
// each built when first shown. The tab shown follows "settingsInitialTab" both
// ways: choosing a tab stores its tag, and a stored tag selects its tab.
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize kMinimumSize{520, 620};

    explicit SettingsWindow(ShellScreens screens, QWidget* parent = nullptr);

    SettingsTab currentTab() const;
    QTabWidget* tabs() const { return tabs_; }
    // Shows, raises and activates the window; true when it is the active window.
    bool present();

private:
    void selectStoredTab();
    void ensureBuilt(int index);

    ShellScreens screens_;
    QTabWidget* tabs_;
    QList<bool> built_;
};

#include "app/widgets/SettingsWindow.h"

#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/widgets/SymbolIcon.h"

#include <QTabWidget>
#include <QVBoxLayout>

namespace {
constexpr SettingsTab kOrder[] = {SettingsTab::General, SettingsTab::Bridge, SettingsTab::Corvane,
                                  SettingsTab::LocalLlm};
}

SettingsWindow::SettingsWindow(ShellScreens screens, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , screens_(std::move(screens))
    , tabs_(new QTabWidget(this)) {
    setWindowTitle(loc("Réglages d’Ombrix"));
    setMinimumSize(kMinimumSize);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    const struct {
        const char* label;
        const char* symbol;
    } items[] = {{"Général", "gearshape"},
                 {"Bridge local", "externaldrive.connected.to.line.below"},
                 {"Corvane", "lock.shield"},
                 {"LLM local", "cpu"}};
    for (const auto& item : items) {
        auto* holder = new QWidget;
        auto* holderLayout = new QVBoxLayout(holder);
        holderLayout->setContentsMargins(0, 0, 0, 0);
        tabs_->addTab(holder, symbolIcon(QString::fromLatin1(item.symbol)), loc(item.label));
        built_.append(false);
    }
    selectStoredTab();
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
        if (index < 0 || index >= 4)
            return;
        ensureBuilt(index);
        const QString tag = settingsTabTag(kOrder[index]);
        if (DefaultsStore::shared().string(kSettingsInitialTabKey) != tag)
            DefaultsStore::shared().setString(kSettingsInitialTabKey, tag);
    });
    connect(&DefaultsStore::shared(), &DefaultsStore::changed, this, [this](const QString& key) {
        if (key == QLatin1String(kSettingsInitialTabKey))
            selectStoredTab();
    });
}

SettingsTab SettingsWindow::currentTab() const {
    const int index = tabs_->currentIndex();
    return index >= 0 && index < 4 ? kOrder[index] : SettingsTab::General;
}

void SettingsWindow::selectStoredTab() {
    const SettingsTab tab = storedSettingsTab();
    for (int i = 0; i < 4; ++i) {
        if (kOrder[i] == tab) {
            ensureBuilt(i);
            tabs_->setCurrentIndex(i);
        }
    }
}

void SettingsWindow::ensureBuilt(int index) {
    if (built_[index])
        return;
    built_[index] = true;
    const ShellScreens::Factory factories[] = {screens_.generalTab, screens_.bridgeTab, screens_.corvaneTab,
                                               screens_.localLlmTab};
    if (!factories[index])
        return;
    tabs_->widget(index)->layout()->addWidget(factories[index]());
}

bool SettingsWindow::present() {
    selectStoredTab();
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
    return isActiveWindow();
}

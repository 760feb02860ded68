#pragma once

#include "settings/BridgeSettingsController.h"
#include "settings/widgets/SettingsForm.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

class AppSession;
class BookmarkStore;
class BridgeService;
class QCheckBox;
class QFileDialog;
class QPushButton;
class QToolButton;

// The coloured dot and label of a bridge status.
class BridgeStatusRowWidget : public QWidget {
    Q_OBJECT
public:
    explicit BridgeStatusRowWidget(QWidget* parent = nullptr);
    void show(const BridgeStatusRow& row);
    QLabel* label() const { return label_; }
    StatusTint tint() const { return tint_; }

private:
    QLabel* dot_;
    QLabel* label_;
    StatusTint tint_ = StatusTint::Gray;
};

// The "Bridge local" tab: the bridge switch, its live status and the shared folders.
class BridgeSettingsTab : public QWidget {
    Q_OBJECT
public:
    BridgeSettingsTab(AppSession& session, BookmarkStore& bookmarks, BridgeService& bridge,
                      QWidget* parent = nullptr);

    BridgeSettingsController& controller() { return controller_; }

    // Opens the folder chooser (Qt's own dialog, folders only, several at once) without
    // blocking; the folders chosen are added when it is accepted.
    QFileDialog* pickFolder();

    QCheckBox* bridgeToggle() const { return toggle_; }
    QLabel* hintLabel() const { return hint_; }
    BridgeStatusRowWidget* statusRow() const { return statusRow_; }
    QWidget* tasksRow() const { return tasksRow_; }
    QLabel* tasksValue() const { return tasksValue_; }
    QWidget* lastActivityRow() const { return lastActivityRow_; }
    QLabel* lastActivityValue() const { return lastActivityValue_; }
    QLabel* lastErrorLabel() const { return lastError_; }
    QLabel* emptyLabel() const { return empty_; }
    QList<QWidget*> folderRows() const { return folderRows_; }
    QPushButton* addButton() const { return addButton_; }
    QLabel* addErrorLabel() const { return addError_; }

private:
    void refresh();
    void refreshElapsed();
    void rebuildFolders();

    BridgeSettingsController controller_;
    bool refreshing_ = false;
    QTimer ticker_;
    QPointer<QFileDialog> chooser_;

    QCheckBox* toggle_ = nullptr;
    QLabel* hint_ = nullptr;
    BridgeStatusRowWidget* statusRow_ = nullptr;
    QWidget* tasksRow_ = nullptr;
    QLabel* tasksValue_ = nullptr;
    QWidget* lastActivityRow_ = nullptr;
    QLabel* lastActivityValue_ = nullptr;
    QLabel* lastError_ = nullptr;
    QLabel* empty_ = nullptr;
    QVBoxLayout* foldersLayout_ = nullptr;
    QList<QWidget*> folderRows_;
    QPushButton* addButton_ = nullptr;
    QLabel* addError_ = nullptr;
};

#pragma once

#include "app/widgets/ShellScreens.h"

#include <QWidget>

class QLabel;
class QToolButton;
class QVBoxLayout;
class RecentsMenuModel;

// The popover's root: a header (title, bridge dot, mode switch, new discussion,
// recent discussions, settings, quit) over the screen the session's mode picks.
class MenuBarView : public QWidget {
    Q_OBJECT
public:
    explicit MenuBarView(ShellScreens screens, QWidget* parent = nullptr);

    QWidget* content() const { return content_; }
    RecentsMenuModel& recents() { return *recents_; }
    // Asks the program to quit (through its quit confirmation).
    std::function<void()> onQuit;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshHeader();
    void refreshRecents();
    void showScreenForMode();

    ShellScreens screens_;
    RecentsMenuModel* recents_;
    QLabel* dot_ = nullptr;
    QToolButton* microphone_ = nullptr;
    QToolButton* chat_ = nullptr;
    QToolButton* newDiscussion_ = nullptr;
    QToolButton* recentsButton_ = nullptr;
    QVBoxLayout* body_ = nullptr;
    QWidget* content_ = nullptr;
    int contentKey_ = -1;
};

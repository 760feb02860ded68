#pragma once

#include <QWidget>

#include <functional>

// The screens the shell hosts, each made when it is first needed: the three
// popover screens and the four Settings tabs.
struct ShellScreens {
    using Factory = std::function<QWidget*()>;
    Factory chat;
    Factory pushToTalk;
    Factory realtime;
    Factory generalTab;
    Factory bridgeTab;
    Factory corvaneTab;
    Factory localLlmTab;
};

// The program's own screens.
ShellScreens defaultShellScreens();

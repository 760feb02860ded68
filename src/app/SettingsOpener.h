#pragma once

#include <QString>

#include <memory>

// Opens the Settings window on one of its tabs ("general", "bridge", "corvane",
// "localLlm"). By default the Settings window's command; tests install their own.
// GUI thread.
class SettingsOpener {
public:
    virtual ~SettingsOpener() = default;
    virtual void openSettingsWindow(const QString& tab) = 0;

    static SettingsOpener& shared();
    // Installs an opener; nullptr puts the no-op back.
    static void setShared(std::shared_ptr<SettingsOpener> opener);
};

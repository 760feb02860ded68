#pragma once

#include "content/DesktopOpener.h"

#include <QStringList>

#include <memory>
#include <optional>

// Stands in for the desktop: records what would have been opened or launched and
// answers as told. Installed as the shared opener for the object's life.
class RecordingDesktopOpener : public DesktopOpener {
public:
    QStringList openedDocuments;
    QStringList launchedApplications;
    bool documentsOpen = true;            // the answer of openDocument
    std::optional<QString> launchFailure; // the answer of launchApplication

    QCoro::Task<bool> openDocument(QString path, QStringList) override {
        openedDocuments << path;
        co_return documentsOpen;
    }
    QCoro::Task<std::optional<QString>> launchApplication(QString desktopFilePath) override {
        launchedApplications << desktopFilePath;
        co_return launchFailure;
    }

    // Makes a recording opener the shared one until the returned handle is dropped.
    static std::shared_ptr<RecordingDesktopOpener> install() {
        auto opener = std::shared_ptr<RecordingDesktopOpener>(new RecordingDesktopOpener,
                                                              [](RecordingDesktopOpener* o) {
                                                                  DesktopOpener::setShared(nullptr);
                                                                  delete o;
                                                              });
        DesktopOpener::setShared(std::shared_ptr<DesktopOpener>(opener.get(), [](DesktopOpener*) {}));
        return opener;
    }
};

#pragma once

#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <memory>
#include <optional>

// Hands files and applications to the desktop: a document to its default
// application, an application (a .desktop entry) to the launcher. The process-wide
// instance is the real desktop; tests install a recording one.
class DesktopOpener {
public:
    virtual ~DesktopOpener() = default;

    // Opens a file or folder with its default application; true when it was opened.
    // `shares`: the shared folders holding it, whose lane its check runs on (none:
    // the lane of its own folder).
    virtual QCoro::Task<bool> openDocument(QString path, QStringList shares = {}) = 0;
    // Launches the application of a .desktop file; nothing when it started, else
    // the reason (French).
    virtual QCoro::Task<std::optional<QString>> launchApplication(QString desktopFilePath) = 0;

    static DesktopOpener& shared();
    static void setShared(std::shared_ptr<DesktopOpener> opener);

    // Whether handing the file to the desktop could run code rather than show it:
    // an execute permission bit, a script with its interpreter ("#!") or a program
    // by its first bytes, a program, script, installer or launcher type (by content,
    // and by each of `names`, or the file's own names when none is given: .desktop,
    // .jnlp, .snap, .ps1, .vbs, .bat, .jar, .msi…), or anything that is neither a
    // regular file nor a folder. Plain data (JSON, JavaScript, text) is not code.
    // Symbolic links are judged by their target. Reads the file: blocks.
    static bool couldRunCode(const QString& path, const QStringList& names = {});
};

// The real desktop, through `gio open` and `gio launch` (QDesktopServices when gio
// is missing, for documents).
class GioDesktopOpener : public DesktopOpener {
public:
    QCoro::Task<bool> openDocument(QString path, QStringList shares) override;
    QCoro::Task<std::optional<QString>> launchApplication(QString desktopFilePath) override;
};

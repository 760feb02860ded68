#pragma once

#include "platform/Errors.h"
#include "session/APIService.h"
#include "wire/BridgeTask.h"

#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <optional>

// Applications and shortcuts: finding an application by name among the XDG
// .desktop entries, and the shortcuts command-line tool (`list`, `run NAME` with
// the input on standard input). The local model's tools call these too.
namespace ScreenControlBridgeHandler {

// The folders that hold .desktop entries, most important first:
// $XDG_DATA_HOME/applications, then each folder of $XDG_DATA_DIRS + /applications.
QStringList applicationFolders();

// The .desktop file of the application called `name`, first match wins: the
// desktop-file id (the name, with ".desktop" added unless it ends with it), then an
// entry whose Name equals the name, in the applications folders and then in their
// direct subfolders. The name is used
// verbatim; a name that is empty or holds "/" or NUL finds nothing.
std::optional<QString> locateApp(const QString& name);

// The settings key of the shortcuts tool's executable. Absent: the built-in runner,
// which treats the executables in $XDG_DATA_HOME/ombrix/shortcuts/ as the user's
// shortcuts.
inline constexpr const char* kShortcutsExecutableKey = "ombrix.shortcutsExecutable";

// How to start the tool: a program and the arguments that come before the task's.
struct ShortcutsCommand {
    QString program;
    QStringList leadingArguments;
};
// The configured command (reads the settings: call it on the GUI thread).
ShortcutsCommand currentShortcutsCommand();
// The built-in runner.
ShortcutsCommand builtInShortcutsCommand();

// A run of the tool that ended with a non-zero status. The description is the
// tool's trimmed standard error, or "exit " and the status when it wrote none.
class ShortcutsCLIError : public OmbrixError {
public:
    ShortcutsCLIError(int code, QString message)
        : code_(code)
        , message_(std::move(message)) {}
    QString description() const override { return message_; }
    int code() const { return code_; }

private:
    int code_;
    QString message_;
};

// Bounds of one run of the tool: its standard output (past it the run is ended),
// the part of its standard error kept, and its duration.
inline constexpr qint64 kShortcutMaxOutputBytes = 4LL * 1024 * 1024;
inline constexpr qint64 kShortcutMaxErrorBytes = 64LL * 1024;
inline constexpr int kShortcutTimeLimitSeconds = 100;

// Ends every run of the tool in progress, with the processes it started (the
// bridge stops: sign-out, a refused token, the program quitting). Thread-safe.
void stopShortcutRuns();
// The count of stopShortcutRuns() calls so far: a run started with this value is
// ended by any later call.
quint64 shortcutStopGeneration();

// Runs the tool with the arguments (each one argument, no shell) and, when given,
// the input on its standard input; blocks until the tool has exited. Returns its
// standard output trimmed of white space and line breaks (empty when it is not
// valid UTF-8). Throws ShortcutsCLIError for a non-zero status and MessageError
// when the tool cannot be started, writes more than kShortcutMaxOutputBytes, runs
// longer than kShortcutTimeLimitSeconds or is stopped (stopShortcutRuns() after
// `stopGeneration`, read when the run starts if not given); the tool runs in a
// process group of its own, which is killed whole.
QString runShortcutsCLI(const ShortcutsCommand& command, const QStringList& args,
                        const std::optional<QString>& stdinText,
                        std::optional<quint64> stopGeneration = std::nullopt);
// The same with the configured command (reads the settings: call it on the GUI thread).
QString runShortcutsCLI(const QStringList& args, const std::optional<QString>& stdinText);

// The names in the output of `list`: one a line, spaces and tabs trimmed, empty
// lines dropped, in the tool's order.
QStringList parseShortcutList(const QString& output);

// The app_open, shortcut_run and shortcut_list tasks. They report their outcome
// themselves and never throw; the lookups and the tool run off the GUI thread. The
// arguments are copied before the first suspension.
QCoro::Task<> handleOpenApp(const BridgeTask& task, const BridgeTask::AppOpenArgs& args,
                            const APIService& api);
QCoro::Task<> handleRunShortcut(const BridgeTask& task, const BridgeTask::ShortcutRunArgs& args,
                                const APIService& api);
QCoro::Task<> handleListShortcuts(const BridgeTask& task, const APIService& api);

} // namespace ScreenControlBridgeHandler

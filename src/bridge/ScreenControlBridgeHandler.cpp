#include "bridge/ScreenControlBridgeHandler.h"

#include "content/SharedTree.h"

#include "bridge/TaskReports.h"
#include "content/DesktopEntry.h"
#include "content/DesktopOpener.h"
#include "platform/Characters.h"
#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/QuitSignal.h"
#include "wire/BridgeResults.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QtConcurrent>

#include <QCoro/QCoroFuture>

#include <atomic>

#include <signal.h>
#include <unistd.h>

namespace ScreenControlBridgeHandler {

namespace {

const QString kDesktopSuffix = QStringLiteral(".desktop");

// The built-in shortcuts runner: `list` prints the names of the executable files
// of the shortcuts folder, `run NAME` replaces itself with that file (so the input,
// the output and the exit status are the shortcut's own).
const char* const kRunnerScript = R"SH(dir="${XDG_DATA_HOME:-$HOME/.local/share}/ombrix/shortcuts"
case "${1-}" in
list)
  [ -d "$dir" ] || exit 0
  for f in "$dir"/*; do
    case "$f" in *"
"*) continue ;; esac
    if [ -f "$f" ] && [ -x "$f" ]; then printf '%s\n' "${f##*/}"; fi
  done
  exit 0 ;;
run)
  if [ "$#" -ne 2 ]; then echo "usage : run NOM" >&2; exit 64; fi
  case "$2" in
  "" | */* | .*) printf 'Raccourci introuvable : %s\n' "$2" >&2; exit 1 ;;
  esac
  f="$dir/$2"
  if [ -f "$f" ] && [ -x "$f" ]; then exec "$f"; fi
  printf 'Raccourci introuvable : %s\n' "$2" >&2
  exit 1 ;;
*)
  echo "usage : list | run NOM" >&2
  exit 64 ;;
esac
)SH";

std::optional<QString> usableEntry(const QString& path) {
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    const std::optional<DesktopEntry> entry = DesktopEntry::read(path);
    if (!entry || !entry->isUsableApplication())
        return std::nullopt;
    return path;
}

// Step 1: the desktop-file id. An id "vendor-app.desktop" may also live in the
// subfolder "vendor" as "app.desktop"; the first folder holding the id decides.
std::optional<QString> locateById(const QStringList& folders, const QString& name) {
    const QString id = name.endsWith(kDesktopSuffix) ? name : name + kDesktopSuffix;
    for (const QString& folder : folders) {
        QStringList candidates{folder + QLatin1Char('/') + id};
        for (qsizetype dash = id.indexOf(QLatin1Char('-')); dash > 0;
             dash = id.indexOf(QLatin1Char('-'), dash + 1)) {
            const QString vendor = id.left(dash);
            if (vendor.startsWith(QLatin1Char('.')))
                continue; // never a hidden folder, nor one above
            candidates << folder + QLatin1Char('/') + vendor + QLatin1Char('/') + id.mid(dash + 1);
        }
        for (const QString& candidate : candidates) {
            if (QFileInfo(candidate).isFile())
                return usableEntry(candidate);
        }
    }
    return std::nullopt;
}

QStringList sortedEntries(const QString& folder, QDir::Filters filters) {
    QDir dir(folder);
    return dir.entryList(filters, QDir::Name);
}

// Step 2: the entry's name, in the folders and then in their direct subfolders.
// An id already met in a more important folder hides the same id further down.
std::optional<QString> locateByName(const QStringList& folders, const QString& name) {
    QSet<QString> seenIds;
    auto matches = [&](const QString& path, const QString& id) -> bool {
        if (seenIds.contains(id))
            return false;
        seenIds.insert(id);
        const std::optional<DesktopEntry> entry = DesktopEntry::read(path);
        return entry && entry->isUsableApplication() && entry->value(QStringLiteral("Name")) == name;
    };
    const QStringList desktopFiles{QStringLiteral("*.desktop")};
    for (const QString& folder : folders) {
        QDir dir(folder);
        for (const QString& file : dir.entryList(desktopFiles, QDir::Files, QDir::Name))
            if (matches(dir.filePath(file), file))
                return dir.filePath(file);
    }
    for (const QString& folder : folders) {
        for (const QString& sub : sortedEntries(folder, QDir::Dirs | QDir::NoDotAndDotDot)) {
            QDir dir(folder + QLatin1Char('/') + sub);
            for (const QString& file : dir.entryList(desktopFiles, QDir::Files, QDir::Name))
                if (matches(dir.filePath(file), sub + QLatin1Char('-') + file))
                    return dir.filePath(file);
        }
    }
    return std::nullopt;
}

// The outcome of a run of the tool on a worker thread (exceptions do not cross a QFuture).
struct ToolOutcome {
    QString output;
    std::optional<QString> failure;
};

ToolOutcome runTool(const ShortcutsCommand& command, const QStringList& args,
                    const std::optional<QString>& input, quint64 stopGeneration) {
    ToolOutcome outcome;
    try {
        outcome.output = runShortcutsCLI(command, args, input, stopGeneration);
    } catch (...) {
        outcome.failure = describeException(std::current_exception());
    }
    return outcome;
}

QString decodeStrictUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return QString();
    return text;
}

} // namespace

QStringList applicationFolders() {
    QStringList folders;
    for (const QString& folder : QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation))
        if (!folders.contains(folder))
            folders << folder;
    return folders;
}

std::optional<QString> locateApp(const QString& name) {
    // A desktop-file id is a plain name: nothing that could name a place elsewhere.
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
        name.contains(QStringLiteral("..")) || name.startsWith(QLatin1Char('.')) ||
        SharedPaths::hasControlCharacters(name))
        return std::nullopt;
    const QStringList folders = applicationFolders();
    if (auto byId = locateById(folders, name))
        return byId;
    return locateByName(folders, name);
}

ShortcutsCommand builtInShortcutsCommand() {
    return {QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QString::fromUtf8(kRunnerScript), QStringLiteral("ombrix-shortcuts")}};
}

ShortcutsCommand currentShortcutsCommand() {
    const std::optional<QString> configured =
        DefaultsStore::shared().string(QString::fromLatin1(kShortcutsExecutableKey));
    if (configured && !configured->isEmpty())
        return {*configured, {}};
    return builtInShortcutsCommand();
}

namespace {
std::atomic<quint64> shortcutStops{0};
} // namespace

void stopShortcutRuns() {
    ++shortcutStops;
}

quint64 shortcutStopGeneration() {
    return shortcutStops.load();
}

QString runShortcutsCLI(const ShortcutsCommand& command, const QStringList& args,
                        const std::optional<QString>& stdinText, std::optional<quint64> stopGeneration) {
    const quint64 generation = stopGeneration.value_or(shortcutStopGeneration());
    // A NUL would cut the argument short (another shortcut would run), a line break
    // would split it: such a name is refused before anything starts.
    for (const QString& argument : args)
        if (SharedPaths::hasControlCharacters(argument))
            throw MessageError(loc("Le nom du raccourci contient un caractère de contrôle."));
    QProcess process;
    process.setProgram(command.program);
    process.setArguments(command.leadingArguments + args);
    // A group of its own, so that what the tool starts is ended with it.
    process.setChildProcessModifier([] {
        QuitSignal::releaseInChild();
        ::setpgid(0, 0);
    });
    // Without input the tool reads an empty standard input rather than ours.
    if (!stdinText)
        process.setStandardInputFile(QProcess::nullDevice());
    process.start(stdinText ? QIODevice::ReadWrite : QIODevice::ReadOnly);
    if (!process.waitForStarted(-1))
        throw MessageError(loc("Impossible de lancer l'outil des raccourcis : ") + process.errorString());
    if (stdinText) {
        process.write(stdinText->toUtf8());
        process.closeWriteChannel();
    }
    // QProcess drains both output pipes and feeds the input while it waits, so
    // neither side can stall on a full pipe. The wait is sliced to look at the
    // bounds and at stop requests.
    QByteArray out;
    QByteArray err;
    QElapsedTimer running;
    running.start();
    std::optional<QString> ended;
    for (;;) {
        const bool finished = process.waitForFinished(50) || process.state() == QProcess::NotRunning;
        out += process.readAllStandardOutput();
        const QByteArray moreErr = process.readAllStandardError();
        // A few bytes past the bound show whether the character there goes on.
        err += moreErr.left(std::max<qint64>(0, kShortcutMaxErrorBytes + 4 - err.size()));
        if (finished && out.size() <= kShortcutMaxOutputBytes)
            break;
        if (out.size() > kShortcutMaxOutputBytes)
            ended = loc("la sortie du raccourci dépasse %1 Mio").arg(kShortcutMaxOutputBytes / (1024 * 1024));
        else if (running.elapsed() > kShortcutTimeLimitSeconds * 1000LL)
            ended = loc("le raccourci a dépassé %1 s").arg(kShortcutTimeLimitSeconds);
        else if (shortcutStopGeneration() != generation)
            ended = loc("le raccourci a été interrompu (pont arrêté)");
        if (ended) {
            if (const qint64 pid = process.processId(); pid > 0)
                ::kill(-static_cast<pid_t>(pid), SIGKILL);
            process.kill();
            process.waitForFinished(5000);
            throw MessageError(*ended);
        }
    }
    int status = process.exitCode();
    if (process.exitStatus() == QProcess::CrashExit && status == 0)
        status = -1;
    if (status == 0)
        return decodeStrictUtf8(out).trimmed();
    const QString message =
        err.isEmpty()
            ? QStringLiteral("exit %1").arg(status)
            : decodeStrictUtf8(err.left(Characters::utf8PrefixLength(err, kShortcutMaxErrorBytes))).trimmed();
    throw ShortcutsCLIError(status, message);
}

QString runShortcutsCLI(const QStringList& args, const std::optional<QString>& stdinText) {
    return runShortcutsCLI(currentShortcutsCommand(), args, stdinText);
}

QStringList parseShortcutList(const QString& output) {
    QStringList names;
    for (const QString& piece : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        qsizetype begin = 0;
        qsizetype end = piece.size();
        auto isBlank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
        while (begin < end && isBlank(piece.at(begin)))
            ++begin;
        while (end > begin && isBlank(piece.at(end - 1)))
            --end;
        if (end > begin)
            names << piece.mid(begin, end - begin);
    }
    return names;
}

QCoro::Task<> handleOpenApp(const BridgeTask& taskRef, const BridgeTask::AppOpenArgs& argsRef,
                            const APIService& apiRef) {
    const QString taskId = taskRef.id;
    const QString name = argsRef.name;
    const APIService api = apiRef;
    BridgeOkResult result;
    try {
        // (Named futures: g++ 12 destroys a lambda temporary inside co_await twice.)
        QFuture<std::optional<QString>> looking = QtConcurrent::run([name] { return locateApp(name); });
        const std::optional<QString> app = co_await looking;
        if (!app) {
            result.error = loc("Aucune application nommée '%1' n'a été trouvée.").arg(name);
        } else {
            const std::optional<QString> failure = co_await DesktopOpener::shared().launchApplication(*app);
            result.ok = !failure;
            result.error = failure;
        }
    } catch (...) {
        result.ok = false;
        result.error = describeException(std::current_exception());
    }
    co_await TaskReports::success(api, taskId, result.toJson());
}

QCoro::Task<> handleRunShortcut(const BridgeTask& taskRef, const BridgeTask::ShortcutRunArgs& argsRef,
                                const APIService& apiRef) {
    const QString taskId = taskRef.id;
    const QStringList args{QStringLiteral("run"), argsRef.name};
    const std::optional<QString> input = argsRef.input;
    const APIService api = apiRef;
    const ShortcutsCommand command = currentShortcutsCommand();
    QFuture<ToolOutcome> running =
        QtConcurrent::run([command, args, input, generation = shortcutStopGeneration()] {
            return runTool(command, args, input, generation);
        });
    const ToolOutcome outcome = co_await running;
    if (outcome.failure) {
        co_await TaskReports::error(api, taskId, QStringLiteral("shortcut_run_failed: ") + *outcome.failure);
        co_return;
    }
    BridgeShortcutRunResult result;
    if (!outcome.output.isEmpty())
        result.output = outcome.output;
    co_await TaskReports::success(api, taskId, result.toJson());
}

QCoro::Task<> handleListShortcuts(const BridgeTask& taskRef, const APIService& apiRef) {
    const QString taskId = taskRef.id;
    const APIService api = apiRef;
    const ShortcutsCommand command = currentShortcutsCommand();
    const QStringList args{QStringLiteral("list")};
    QFuture<ToolOutcome> running = QtConcurrent::run([command, args, generation = shortcutStopGeneration()] {
        return runTool(command, args, std::nullopt, generation);
    });
    const ToolOutcome outcome = co_await running;
    if (outcome.failure) {
        co_await TaskReports::error(api, taskId, QStringLiteral("shortcut_list_failed: ") + *outcome.failure);
        co_return;
    }
    BridgeShortcutListResult result;
    result.shortcuts = parseShortcutList(outcome.output);
    co_await TaskReports::success(api, taskId, result.toJson());
}

} // namespace ScreenControlBridgeHandler

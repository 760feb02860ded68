#include "localllm/CommandRunner.h"

#include "platform/Characters.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/QuitSignal.h"

#include <QProcess>
#include <QScopeGuard>
#include <QSet>

#include <cerrno>
#include <coroutine>
#include <memory>
#include <vector>

#include <signal.h>
#include <unistd.h>

namespace {

// Ends every process of the group that the command leads.
void killGroup(qint64 group) {
    if (group > 0 && ::kill(static_cast<pid_t>(-group), SIGKILL) != 0 && errno != ESRCH)
        qCWarning(lcInstaller) << "could not end the command's process group" << group << errno;
}

// The group of one command: ended when the command fails, is stopped, or when the
// run is left while the command still runs.
struct GroupGuard {
    qint64 group = 0;
    bool ended = false;
    ~GroupGuard() {
        if (!ended)
            killGroup(group);
    }
};

// The commands running now, on the GUI thread: the program's end ends them.
struct Live {
    QProcess* process;
    GroupGuard* guard;
};
// Never destroyed: a command ending late (at a test program's exit) still finds it.
std::vector<Live>& liveCommands() {
    static auto* const live = new std::vector<Live>;
    return *live;
}

// Suspends until the process has finished or has failed to start. The coroutine
// is resumed from the event loop, never from inside QProcess's own signal, so the
// process may be destroyed right after.
struct ProcessEnd {
    QProcess& process;

    bool await_ready() const noexcept { return process.state() == QProcess::NotRunning; }

    void await_suspend(std::coroutine_handle<> handle) {
        auto resumed = std::make_shared<bool>(false);
        auto connections = std::make_shared<std::vector<QMetaObject::Connection>>();
        auto resume = [handle, resumed, connections] {
            if (*resumed)
                return;
            *resumed = true;
            for (const auto& connection : *connections)
                QObject::disconnect(connection);
            handle.resume();
        };
        connections->push_back(
            QObject::connect(&process, &QProcess::finished, &process, resume, Qt::QueuedConnection));
        connections->push_back(QObject::connect(
            &process, &QProcess::errorOccurred, &process,
            [resume](QProcess::ProcessError error) {
                if (error == QProcess::FailedToStart)
                    resume();
            },
            Qt::QueuedConnection));
    }

    void await_resume() const noexcept {}
};

} // namespace

QStringList OutputLineSplitter::feed(const QByteArray& bytes) {
    QStringList lines;
    pending_.append(bytes);
    qsizetype start = 0;
    for (qsizetype end = pending_.indexOf('\n', start); end >= 0; end = pending_.indexOf('\n', start)) {
        if (end > start)
            lines.append(QString::fromUtf8(pending_.constData() + start, end - start));
        start = end + 1;
    }
    pending_.remove(0, start);
    if (pending_.size() > maxPendingBytes) {
        // The end of the bytes so far is no known boundary: the next read may go on
        // with the character there.
        qsizetype cut = Characters::utf8PrefixLength(pending_, pending_.size() - 1);
        if (cut == 0)
            cut = pending_.size(); // one character longer than the bound
        lines.append(QString::fromUtf8(pending_.constData(), cut));
        pending_.remove(0, cut);
    }
    return lines;
}

QStringList OutputLineSplitter::finish() {
    QStringList lines;
    if (!pending_.isEmpty())
        lines.append(QString::fromUtf8(pending_));
    pending_.clear();
    return lines;
}

CommandLaunchError::CommandLaunchError(QString command, QString reason)
    : command_(std::move(command))
    , reason_(std::move(reason)) {}

QString CommandLaunchError::description() const {
    return loc("Impossible de lancer %1 : %2").arg(command_, reason_);
}

struct ProcessCommandRunner::Running {
    QSet<qint64> groups;
};

ProcessCommandRunner::ProcessCommandRunner()
    : running_(std::make_shared<Running>()) {}

ProcessCommandRunner::~ProcessCommandRunner() = default;

void ProcessCommandRunner::endAllAtProgramEnd() {
    // One command at a time, taken out of the list before it is ended: waiting
    // for one delivers its last lines, whose handler may end another run (which
    // then leaves the list). Nothing walks a copy.
    while (!liveCommands().empty()) {
        const Live command = liveCommands().back();
        liveCommands().pop_back();
        killGroup(command.guard->group);
        command.process->waitForFinished(2000);
    }
}

void ProcessCommandRunner::stopAll() {
    const QSet<qint64> groups = running_->groups;
    for (qint64 group : groups)
        killGroup(group);
}

QCoro::Task<int> ProcessCommandRunner::run(QString program, QStringList arguments, LineHandler onLine) {
    const std::shared_ptr<Running> running = running_;
    QProcess process;
    GroupGuard guard;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    // A session of its own makes the command the leader of a new process group,
    // which holds everything it starts.
    process.setChildProcessModifier([] {
        QuitSignal::releaseInChild();
        ::setsid();
    });
    // A command still running when the program ends (a model download, an
    // installation) is ended with everything it started rather than left behind
    // (endAllAtProgramEnd()).
    liveCommands().push_back({&process, &guard});
    const auto forget = qScopeGuard([&process] {
        std::erase_if(liveCommands(), [&process](const Live& live) { return live.process == &process; });
    });

    OutputLineSplitter splitter;
    auto deliver = [&](const QStringList& lines) {
        for (const QString& line : lines)
            if (onLine)
                onLine(line);
    };
    QObject::connect(&process, &QProcess::readyReadStandardOutput,
                     [&] { deliver(splitter.feed(process.readAllStandardOutput())); });

    bool launched = false;
    QObject::connect(&process, &QProcess::started, [&] {
        launched = true;
        guard.group = process.processId();
        running->groups.insert(guard.group);
    });

    process.start(QIODevice::ReadOnly);
    co_await ProcessEnd{process};
    running->groups.remove(guard.group);

    if (!launched) {
        QString command = program;
        if (!arguments.isEmpty())
            command += QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
        throw CommandLaunchError(command, process.errorString());
    }

    deliver(splitter.feed(process.readAllStandardOutput()));
    deliver(splitter.finish());
    const int code = process.exitStatus() == QProcess::CrashExit ? -1 : process.exitCode();
    // A command that succeeded keeps its group's survivors (a server it started on
    // purpose); one that failed or was stopped takes them with it.
    guard.ended = code == 0;
    co_return code;
}

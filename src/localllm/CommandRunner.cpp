#include "localllm/CommandRunner.h"

#include "platform/Localization.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QProcess>
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

// The length of the longest prefix of bytes that ends on a UTF-8 character boundary.
qsizetype completeUtf8Prefix(const QByteArray& bytes) {
    const qsizetype size = bytes.size();
    // Look back over at most three continuation bytes for the lead byte of the last character.
    for (qsizetype back = 1; back <= 4 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(bytes[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // continuation byte
        qsizetype length = 1;
        if ((byte & 0xE0) == 0xC0)
            length = 2;
        else if ((byte & 0xF0) == 0xE0)
            length = 3;
        else if ((byte & 0xF8) == 0xF0)
            length = 4;
        return length > back ? size - back : size;
    }
    return size;
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
        qsizetype cut = completeUtf8Prefix(pending_);
        if (cut == 0)
            cut = pending_.size();
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
    process.setChildProcessModifier([] { ::setsid(); });
    // A command still running when the program quits (a model download, an
    // installation) is ended with everything it started rather than left behind.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QObject::connect(app, &QCoreApplication::aboutToQuit, &process, [&process, &guard] {
            killGroup(guard.group);
            process.waitForFinished(2000);
        });
    }

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

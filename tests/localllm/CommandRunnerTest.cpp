// Real processes through the real runner: how their output becomes lines and how
// exit statuses and launch failures come back.
#include "localllm/CommandRunner.h"
#include "bridge/ScreenControlBridgeHandler.h"
#include "localllm/LocalLLMInstaller.h"
#include "platform/QuitSignal.h"

#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <optional>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    QStringList lines;
    int code = -100;
    std::exception_ptr error;
};

Outcome shell(const QString& script) {
    Outcome outcome;
    ProcessCommandRunner runner;
    try {
        outcome.code = runTask(
            runner.run("/bin/sh", {"-c", script}, [&](const QString& line) { outcome.lines.append(line); }));
    } catch (...) {
        outcome.error = std::current_exception();
    }
    return outcome;
}

// Whether the process runs (a zombie waiting for its reaper has ended).
bool running(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 || text.mid(close + 2, 1) != "Z";
}

// Starts a shell that leaves a grandchild ("sleep 300") and reports its pid.
struct Family {
    ProcessCommandRunner runner;
    std::optional<int> code;
    qint64 grandchild = 0;
    QCoro::Task<> task;

    explicit Family(const QString& afterSpawn)
        : task(start(afterSpawn)) {}

    QCoro::Task<> start(QString afterSpawn) {
        const QStringList arguments{QStringLiteral("-c"),
                                    QStringLiteral("sleep 300 & echo $!; ") + afterSpawn};
        code = co_await runner.run(QStringLiteral("/bin/sh"), arguments,
                                   [this](const QString& line) { grandchild = line.toLongLong(); });
    }
};
} // namespace

TEST(OutputLineSplitter, KeepsLinesAndCharactersWholeAcrossReads) {
    OutputLineSplitter splitter;
    EXPECT_EQ(splitter.feed("a\n\nb\n"), QStringList({"a", "b"}));
    EXPECT_EQ(splitter.feed("hel"), QStringList());
    EXPECT_EQ(splitter.feed("lo\r\nw\xC3"), QStringList({"hello\r"}));
    EXPECT_EQ(splitter.feed("\xA9"), QStringList());
    EXPECT_EQ(splitter.finish(), QStringList({"w\u00E9"}));
    EXPECT_EQ(splitter.finish(), QStringList());

    // Bytes that are not UTF-8 are kept as replacement characters, not dropped.
    EXPECT_EQ(splitter.feed("x\xFFy\n"), QStringList({"x\uFFFDy"}));

    // An endless line is handed out in pieces, never splitting a character: the one
    // before an unfinished code point waits too, since a mark may follow it.
    QByteArray endless(OutputLineSplitter::maxPendingBytes - 1, 'a');
    endless += "\xE2\x82"; // a three-byte character across the limit
    const QStringList pieces = splitter.feed(endless);
    ASSERT_EQ(pieces.size(), 1);
    EXPECT_EQ(pieces[0], QString(OutputLineSplitter::maxPendingBytes - 2, 'a'));
    EXPECT_EQ(splitter.feed("\xAC!\n"), QStringList({"a\u20AC!"}));
    QByteArray accented =
        QString("e\u0301").repeated(OutputLineSplitter::maxPendingBytes / 3 + 1).toUtf8() + "e";
    EXPECT_EQ(splitter.feed(accented),
              QStringList({QString("e\u0301").repeated(OutputLineSplitter::maxPendingBytes / 3 + 1)}));
    EXPECT_EQ(splitter.feed("\xCC\x81\n"), QStringList({"e\u0301"}));
}

TEST(ProcessCommandRunner, StreamsMergedOutputLineByLine) {
    Outcome out = shell("printf 'a\\n\\nb\\n'");
    EXPECT_EQ(out.lines, QStringList({"a", "b"}));
    EXPECT_EQ(out.code, 0);

    // A line and a two-byte character split across two writes arrive whole.
    out = shell("printf 'caf\\303'; sleep 0.3; printf '\\251 ouvert\\nfin'");
    EXPECT_EQ(out.lines, QStringList({"caf\u00E9 ouvert", "fin"}));

    // Standard error shares the stream; carriage returns are kept; standard input is empty.
    out = shell("echo out; echo err 1>&2; printf 'cr\\r\\n'; cat; echo after");
    EXPECT_EQ(out.lines, QStringList({"out", "err", "cr\r", "after"}));
}

TEST(ProcessCommandRunner, ReportsExitStatusesAndLaunchFailures) {
    Outcome out = shell("echo bye; exit 3");
    EXPECT_EQ(out.code, 3);
    EXPECT_EQ(out.lines, QStringList({"bye"}));

    out = shell("kill -9 $$");
    EXPECT_NE(out.code, 0) << "a crash is a failure";

    ProcessCommandRunner runner;
    const auto error = runTaskCatching(runner.run("/nonexistent/ombrix-tool", {"x"}, nullptr));
    EXPECT_TRUE(errorText(error).startsWith("Impossible de lancer /nonexistent/ombrix-tool x : "))
        << errorText(error).toStdString();

    // Through the installer: a status becomes commandFailed unless allowed; a launch failure is never
    // allowed.
    LocalLLMInstaller::setCommandRunner(std::make_shared<ProcessCommandRunner>());
    EXPECT_EQ(errorText(runTaskCatching(LocalLLMInstaller::run("/bin/sh", {"-c", "exit 3"}, nullptr, false))),
              "Échec (3) : /bin/sh -c exit 3");
    EXPECT_FALSE(runTaskCatching(LocalLLMInstaller::run("/bin/sh", {"-c", "exit 3"}, nullptr, true)));
    EXPECT_TRUE(runTaskCatching(LocalLLMInstaller::run("/nonexistent/ombrix-tool", {}, nullptr, true)));
    LocalLLMInstaller::setCommandRunner(nullptr);
}

TEST(ProcessCommandRunner, ACommandStillRunningWhenTheProgramQuitsIsEnded) {
    Family family(QStringLiteral("wait"));
    ASSERT_TRUE(spinUntil([&] { return family.grandchild > 0; }));
    ASSERT_FALSE(family.code.has_value());
    // What the program's end does: the command and its child end.
    ProcessCommandRunner::endAllAtProgramEnd();
    ASSERT_TRUE(spinUntil([&] { return family.code.has_value(); }));
    EXPECT_NE(*family.code, 0);
    EXPECT_TRUE(spinUntil([&] { return !running(family.grandchild); }));
}

TEST(ProcessCommandRunner, StoppingOrFailingEndsEverythingTheCommandStarted) {
    // Stopped while it waits for its child.
    {
        Family family(QStringLiteral("wait"));
        ASSERT_TRUE(spinUntil([&] { return family.grandchild > 0; }));
        EXPECT_TRUE(running(family.grandchild));
        family.runner.stopAll();
        ASSERT_TRUE(spinUntil([&] { return family.code.has_value(); }));
        EXPECT_NE(*family.code, 0);
        EXPECT_TRUE(spinUntil([&] { return !running(family.grandchild); }));
    }
    // Failing (exit 3) with its child still running.
    {
        Family family(QStringLiteral("exit 3"));
        ASSERT_TRUE(spinUntil([&] { return family.code.has_value(); }));
        EXPECT_EQ(*family.code, 3);
        ASSERT_GT(family.grandchild, 0);
        EXPECT_TRUE(spinUntil([&] { return !running(family.grandchild); }));
    }
}

// The program blocks its quit signals in every thread (they wait for the GUI
// thread): what it starts must not inherit that, or SIGTERM and Control+C would no
// longer end a command, an installation or an application it opened. Run in a
// child test program, which blocks them as the program does.
constexpr const char* kBlockingChild = "OMBRIX_QUIT_SIGNALS_BLOCKED_CHILD";

namespace {
// The signals blocked in a process, from its "SigBlk:" line in /proc/<pid>/status.
quint64 blockedSignals(const QString& statusText) {
    for (const QString& line : statusText.split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("SigBlk:")))
            return line.mid(7).trimmed().toULongLong(nullptr, 16);
    return ~quint64(0);
}
constexpr quint64 kQuitBits = (quint64(1) << (SIGTERM - 1)) | (quint64(1) << (SIGINT - 1));
} // namespace

TEST(QuitSignalsChild, WhatTheProgramStartsGetsTheQuitSignalsBack) {
    if (qEnvironmentVariableIsEmpty(kBlockingChild))
        GTEST_SKIP()
            << "run as a child by ProcessCommandRunner.ProgramsStartedGetTheQuitSignalsTheProgramBlocks";
    QuitSignal::blockInEveryThread();
    ASSERT_TRUE(QuitSignal::blocked());
    QFile own(QStringLiteral("/proc/self/status"));
    ASSERT_TRUE(own.open(QIODevice::ReadOnly));
    ASSERT_EQ(blockedSignals(QString::fromLatin1(own.readAll())) & kQuitBits, kQuitBits);

    // A command of the runner (QProcess, which starts its child without fork()'s handlers).
    ProcessCommandRunner runner;
    QString status;
    const int code = runTask(runner.run(QStringLiteral("/bin/cat"), {QStringLiteral("/proc/self/status")},
                                        [&](const QString& line) { status += line + QLatin1Char('\n'); }));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(blockedSignals(status) & kQuitBits, 0u) << status.toStdString();

    // A shortcut run (QProcess, on a worker thread of the bridge's).
    const QString shortcut = ScreenControlBridgeHandler::runShortcutsCLI(
        ScreenControlBridgeHandler::ShortcutsCommand{QStringLiteral("/bin/cat"), {}},
        {QStringLiteral("/proc/self/status")}, std::nullopt);
    EXPECT_EQ(blockedSignals(shortcut) & kQuitBits, 0u) << shortcut.toStdString();

    // A detached program, as Qt's desktop services start one (fork()).
    QTemporaryDir dir;
    QProcess detached;
    detached.setProgram(QStringLiteral("/bin/cat"));
    detached.setArguments({QStringLiteral("/proc/self/status")});
    detached.setStandardOutputFile(dir.filePath(QStringLiteral("status")));
    ASSERT_TRUE(detached.startDetached());
    QFile written(dir.filePath(QStringLiteral("status")));
    ASSERT_TRUE(spinUntil([&] {
        written.close();
        return written.open(QIODevice::ReadOnly) && written.readAll().contains("SigBlk:");
    }));
    written.seek(0);
    EXPECT_EQ(blockedSignals(QString::fromLatin1(written.readAll())) & kQuitBits, 0u);
}

TEST(ProcessCommandRunner, ProgramsStartedGetTheQuitSignalsTheProgramBlocks) {
    QProcessEnvironment environment = childEnvironment();
    environment.insert(kBlockingChild, QStringLiteral("1"));
    runPassingChildTest(QStringLiteral("QuitSignalsChild.WhatTheProgramStartsGetsTheQuitSignalsBack"),
                        environment);
}

#pragma once

#include "platform/Errors.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <functional>
#include <memory>

// Receives one line of a command's output (without its line feed).
using LineHandler = std::function<void(const QString&)>;

// Splits a byte stream into lines. Bytes are kept until their line feed arrives, so
// a line (or a multi-byte character) cut between two reads comes out whole. Empty
// lines are dropped; carriage returns are kept. Text that is not valid UTF-8 is
// decoded with replacement characters rather than dropped.
class OutputLineSplitter {
public:
    // A line longer than this without a line feed is handed out in pieces (cut on a
    // character boundary), so that a command writing endlessly on one line cannot
    // grow the buffer without bound.
    static constexpr qsizetype maxPendingBytes = 64 * 1024;

    // The lines completed by these bytes, in order.
    QStringList feed(const QByteArray& bytes);
    // What is left after the last line feed (at most one line), then empty.
    QStringList finish();

private:
    QByteArray pending_;
};

// A command that could not be started (missing program, not executable).
class CommandLaunchError : public OmbrixError {
public:
    CommandLaunchError(QString command, QString reason);
    QString description() const override;
    QString command() const { return command_; }

private:
    QString command_;
    QString reason_;
};

// Runs an external program with its standard output and standard error merged,
// handing each output line to onLine in output order, on the calling thread.
// Returns the exit status; throws CommandLaunchError when the program cannot start.
// There is no time-out: the command runs until it exits or is stopped.
class CommandRunner {
public:
    virtual ~CommandRunner() = default;
    virtual QCoro::Task<int> run(QString program, QStringList arguments, LineHandler onLine) = 0;
    // Ends every command still running (and whatever it started); each one's run()
    // then returns a non-zero status.
    virtual void stopAll() {}
};

// The real runner: a QProcess awaited without blocking the event loop. Standard
// input is the null device, so a command that asks a question does not hang.
// Each command starts in a session (and process group) of its own; stopping it,
// its failure (a non-zero status or a crash) and the program's end end the whole
// group, so no child it started (uv's Python, a download) outlives it.
class ProcessCommandRunner : public CommandRunner {
public:
    ProcessCommandRunner();
    ~ProcessCommandRunner() override;
    QCoro::Task<int> run(QString program, QStringList arguments, LineHandler onLine) override;
    void stopAll() override;
    // At the program's end (Lifetime): every command still running, of any runner,
    // is ended with its whole group and waited for (at most 2 s each).
    static void endAllAtProgramEnd();

    struct Running;

private:
    std::shared_ptr<Running> running_;
};

#pragma once

#include "localllm/CommandRunner.h"

#include <QElapsedTimer>
#include <QList>

#include <QCoro/QCoroTimer>

#include <chrono>
#include <functional>

// A command runner that runs nothing: it records each command and answers from a
// script (output lines, exit status, a launch failure, a side effect on files).
class FakeCommandRunner : public CommandRunner {
public:
    struct Reply {
        QStringList lines;
        int exitCode = 0;
        bool launchFails = false;
        std::function<void()> effect;
    };
    struct Recorded {
        QString program;
        QStringList arguments;
        qint64 atMs = 0;
        QString line() const { return arguments.isEmpty() ? program : program + ' ' + arguments.join(' '); }
    };

    std::function<Reply(const QString& program, const QStringList& arguments)> script;
    QList<Recorded> commands;
    bool hold = false;            // while true, a command does not finish
    bool holdAfterOutput = false; // while true, a command that has written its lines does not finish

    FakeCommandRunner() { clock_.start(); }

    QStringList lines() const {
        QStringList all;
        for (const auto& command : commands)
            all.append(command.line());
        return all;
    }

    QCoro::Task<int> run(QString program, QStringList arguments, LineHandler onLine) override {
        commands.append({program, arguments, clock_.elapsed()});
        while (hold)
            co_await QCoro::sleepFor(std::chrono::milliseconds(5));
        Reply reply = script ? script(program, arguments) : Reply{};
        if (reply.effect)
            reply.effect();
        if (reply.launchFails)
            throw CommandLaunchError(program, QStringLiteral("No such file or directory"));
        for (const QString& line : reply.lines)
            onLine(line);
        while (holdAfterOutput)
            co_await QCoro::sleepFor(std::chrono::milliseconds(5));
        co_return reply.exitCode;
    }

private:
    QElapsedTimer clock_;
};

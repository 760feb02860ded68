// Quitting with keychain work under way: the program as shipped (its own main(),
// through ombrix_quit_probe) against a throw-away GNOME keyring of its own, which
// these tests stop or lock.
#include "session/KeychainStore.h"
#include "support/PrivateKeyring.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

// SIGTERM makes the program exit whatever the keyring does: the keyring here never
// answers, and the program waits for it only KeychainWorker::kQuitBudget (3 s).
// The bound is wide, for a loaded machine; the exit times are in docs/benchmarks.md.
constexpr qint64 kExitBoundMs = 20000;
const QString kTokenService = QString::fromLatin1(KeychainStore::tokenService);
const QString kTokenAccount = QString::fromLatin1(KeychainStore::tokenAccount);

// The probe with its own runtime folder (its single-instance socket meets no other
// program), asking for these token saves once launched.
class Probe {
public:
    Probe(const QString& tokens, bool quitAtOnce) {
        QProcessEnvironment env = childEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
        env.insert(QStringLiteral("OMBRIX_PROBE_TOKENS"), tokens);
        env.insert(QStringLiteral("OMBRIX_PROBE_QUIT"),
                   quitAtOnce ? QStringLiteral("1") : QStringLiteral("0"));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(OMBRIX_QUIT_PROBE), {});
    }
    ~Probe() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    // Waits until the launch has asked for the saves.
    bool launched() {
        return spinUntil([&] {
            errors_ += process.readAllStandardError();
            return errors_.contains("token saves asked");
        });
    }
    bool ended(int timeoutMs) {
        const bool done = spinUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
        errors_ += process.readAllStandardError();
        return done;
    }
    QString errors() const { return QString::fromUtf8(errors_); }

    QProcess process;

private:
    QTemporaryDir runtime_;
    QByteArray errors_;
};

// Sends SIGTERM and measures how long the program takes to end.
qint64 terminateAndTime(Probe& probe) {
    QElapsedTimer clock;
    clock.start();
    probe.process.terminate();
    EXPECT_TRUE(probe.ended(kEventWaitMs)) << probe.errors().toStdString();
    return clock.elapsed();
}

// Stops the keyring's daemon for the scope (SIGSTOP), and lets it go on after.
class StoppedDaemon {
public:
    explicit StoppedDaemon(qint64 pid)
        : pid_(pid) {
        if (pid_ > 0)
            ::kill(pid_t(pid_), SIGSTOP);
    }
    ~StoppedDaemon() {
        if (pid_ > 0)
            ::kill(pid_t(pid_), SIGCONT);
    }

private:
    qint64 pid_;
};

} // namespace

TEST(KeychainAtQuit, TheSavesAskedBeforeQuittingAreCarriedOutInOrder) {
    OMBRIX_RUN_WITH_PRIVATE_KEYRING(false);
    Probe probe(QStringLiteral("jeton-1 jeton-2 jeton-3"), true);
    ASSERT_TRUE(probe.ended(kEventWaitMs)) << probe.errors().toStdString();
    EXPECT_EQ(probe.process.exitStatus(), QProcess::NormalExit) << probe.errors().toStdString();
    EXPECT_EQ(probe.process.exitCode(), 0) << probe.errors().toStdString();
    EXPECT_TRUE(probe.errors().contains(QStringLiteral("3 token saves asked")))
        << probe.errors().toStdString();
    EXPECT_FALSE(probe.errors().contains(QStringLiteral("left undone"))) << probe.errors().toStdString();
    EXPECT_EQ(lookUpSecret(kTokenService, kTokenAccount), QStringLiteral("jeton-3"));
}

TEST(KeychainAtQuit, SigtermEndsTheProgramWhileTheKeyringDoesNotAnswer) {
    OMBRIX_RUN_WITH_PRIVATE_KEYRING(false);
    const qint64 daemon = secretServicePid();
    ASSERT_GT(daemon, 0);
    {
        // The start-up read and both saves wait on a daemon that no longer answers.
        StoppedDaemon stopped(daemon);
        Probe probe(QStringLiteral("jeton-a jeton-b"), false);
        ASSERT_TRUE(probe.launched()) << probe.errors().toStdString();
        spinFor(300);
        EXPECT_LT(terminateAndTime(probe), kExitBoundMs);
        EXPECT_EQ(probe.process.exitStatus(), QProcess::NormalExit) << probe.errors().toStdString();
        // Both writes are reported as not done.
        EXPECT_EQ(probe.errors().count(QStringLiteral("keychain write left undone at quit: token save")), 2)
            << probe.errors().toStdString();
    }
    // The daemon answers again: nothing half-written.
    EXPECT_EQ(lookUpSecret(kTokenService, kTokenAccount), std::nullopt);
}

TEST(KeychainAtQuit, SigtermEndsTheProgramWhileAnUnlockPromptIsOpen) {
    OMBRIX_RUN_WITH_PRIVATE_KEYRING(true);
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "no X display: the keyring cannot show its prompt";
    ASSERT_TRUE(lockDefaultCollection());
    // The start-up read asks the keyring to unlock; its prompt stays open.
    Probe probe(QStringLiteral("jeton-x"), false);
    ASSERT_TRUE(probe.launched()) << probe.errors().toStdString();
    spinFor(1500);
    EXPECT_LT(terminateAndTime(probe), kExitBoundMs);
    EXPECT_EQ(probe.process.exitStatus(), QProcess::NormalExit) << probe.errors().toStdString();
    // Nothing to restore: the keyring is this child's own (the daemon may even have
    // ended with the prompt's caller gone).
}

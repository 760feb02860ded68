// The program's end while threads of its own still run: the program as shipped
// (its quit probe) quits, by "Quitter" or by SIGTERM, while a search walk runs on
// shared folders, one on a file system that answers every call late and one on a
// file system that answers nothing. It says its end quickly, with everything kept
// on disk, and ends with status 0: never a crash on what the walk's threads use.
#include "support/TestFuse.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace {

using namespace std::chrono_literals;

// The end is bounded by the keychain's and the pools' waits (3 s each at most);
// the bound is wide, for a loaded machine under the sanitizers.
constexpr qint64 kEndBoundMs = 60000;

} // namespace

TEST(ProgramEnd, QuitsDuringASearchWalkOnASlowAndAHungShareEndCleanly) {
    if (!fuseAvailable())
        GTEST_SKIP() << "FUSE file systems cannot be mounted here";
    const int rounds = roundsOr("OMBRIX_SOAK_WALK_QUITS", 3);
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    // Names the walk finds ("note"): each found entry is described, its volume
    // looked up (is it a network mount?) on the walking thread.
    TestFuse::Options slowOptions;
    for (int i = 0; i < 400; ++i)
        slowOptions.files.insert(QStringLiteral("partage/dossier-%1/note-%2.txt").arg(i % 20).arg(i), "x");
    slowOptions.delay = 1ms;
    slowOptions.maxDelay = 4ms;
    auto slow = std::make_unique<TestFuse>(scratch.path() + QStringLiteral("/lent"), slowOptions);
    ASSERT_TRUE(slow->mounted()) << slow->failure();
    TestFuse::Options hungOptions;
    hungOptions.folders = {QStringLiteral("partage")};
    hungOptions.answersNothing = true;

    qint64 longestEndMs = 0;
    int blockedByTheHungShare = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round + 1));
        // A hung share of its own per round: its server is killed at the round's
        // end, which lets go of the calls blocked on it.
        auto hung =
            std::make_unique<TestFuse>(scratch.path() + QStringLiteral("/bloque-%1").arg(round), hungOptions);
        ASSERT_TRUE(hung->mounted()) << hung->failure();
        const bool bySigterm = round % 2 == 1;
        QTemporaryDir home;
        QTemporaryDir runtime;
        QProcessEnvironment environment = childEnvironment(home.path(), runtime.path());
        environment.insert("OMBRIX_PROBE_SEARCH",
                           slow->mountPoint() + "/partage:" + hung->mountPoint() + "/partage");
        // Quit at moments spread over the walk.
        const int afterMs = (round * 137) % 700;
        if (!bySigterm)
            environment.insert("OMBRIX_PROBE_QUIT_AFTER_MS", QString::number(afterMs));
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.start(QStringLiteral(OMBRIX_QUIT_PROBE), {});
        const auto stop = qScopeGuard([&] {
            if (probe.state() != QProcess::NotRunning) {
                probe.kill();
                hung.reset();
                probe.waitForFinished();
            }
        });
        QByteArray said;
        const auto read = [&] {
            said += probe.readAllStandardError();
            return said;
        };
        ASSERT_TRUE(spinUntil(
            [&] { return read().contains("search walk running") || probe.state() == QProcess::NotRunning; },
            60000))
            << said.toStdString();
        ASSERT_EQ(probe.state(), QProcess::Running) << said.toStdString();
        QElapsedTimer clock;
        clock.start();
        if (bySigterm) {
            spinFor(afterMs);
            clock.restart();
            probe.terminate();
        }
        // The program says its end once everything is kept; a thread still blocked on
        // the hung share holds the process until that share answers (the kernel does
        // not let a call that reached the file system's server go): its server is
        // killed then, and the process is gone.
        ASSERT_TRUE(spinUntil(
            [&] { return read().contains("Ombrix arrêté") || probe.state() == QProcess::NotRunning; },
            kEndBoundMs))
            << said.toStdString();
        const qint64 endMs = clock.elapsed() - (bySigterm ? 0 : afterMs);
        longestEndMs = std::max(longestEndMs, endMs);
        if (probe.state() != QProcess::NotRunning && !probe.waitForFinished(200))
            ++blockedByTheHungShare;
        hung.reset();
        ASSERT_TRUE(spinUntil([&] { return probe.state() == QProcess::NotRunning; }, kEndBoundMs))
            << read().toStdString();
        read();
        EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit) << said.toStdString();
        EXPECT_EQ(probe.exitCode(), 0) << said.toStdString();
        EXPECT_TRUE(said.contains("Ombrix arrêté")) << said.toStdString();
    }
    EXPECT_GT(slow->calls(), 0) << "the walk never reached the slow share";
    std::printf("quits during a walk: %d, longest end %lld ms, held by the hung share after their end: %d\n",
                rounds, static_cast<long long>(longestEndMs), blockedByTheHungShare);
}

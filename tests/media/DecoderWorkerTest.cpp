// The decoder workers: sealed (no path opened, no socket made), killed on a crash,
// a deadline or their memory bound with a French error naming the file, replaced
// by a fresh worker for the next request, reused while warm, bounded in number and
// gone once idle. A hostile PDF module (tests/media/hostile) plays the decoder
// taken over by a file.
#include "support/MediaFixtures.h"
#include "support/TestSupport.h"

#include "content/Decoding.h"
#include "content/DocumentExtractor.h"
#include "content/Thumbnails.h"
#include "platform/Modules.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class DecoderWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        Modules::setSearchPathForTesting(
            {QCoreApplication::applicationDirPath() + QStringLiteral("/hostile")});
    }
    void TearDown() override {
        Modules::setSearchPathForTesting({});
        Decoding::setIdleTimeoutForTesting(std::chrono::seconds(60));
        Decoding::stopIdleWorkersForTesting();
    }

    // A "PDF" whose bytes tell the hostile module what to do.
    QString pdf(const QString& name, const QByteArray& order) {
        const QString path = folder_.filePath(name);
        EXPECT_TRUE(fixtures::writeFile(path, "%PDF-1.4\n" + order + "\n%%EOF\n"));
        return path;
    }

    // The error extracting the file's text gives, and how long it took.
    std::optional<DecodeError> failure(const QString& path, qint64* elapsedMs = nullptr) {
        QElapsedTimer clock;
        clock.start();
        try {
            DocumentExtractor::extract(path, 1000);
        } catch (const DecodeError& error) {
            if (elapsedMs)
                *elapsedMs = clock.elapsed();
            return error;
        }
        return std::nullopt;
    }

    QTemporaryDir folder_;
};

TEST_F(DecoderWorkerTest, aSealedWorkerReachesNothingAndEachFailureEndsOnlyItsWorker) {
    const QString probe = pdf(QStringLiteral("probe.pdf"), "PROBE");
    // The module's attempts, made while it decodes: all refused.
    EXPECT_EQ(DocumentExtractor::extract(probe, 1000).text.trimmed(),
              QStringLiteral("open: refusé, openat: refusé, socket: refusé, unix: refusé"));

    // A crash.
    const std::optional<DecodeError> crashed = failure(pdf(QStringLiteral("crash.pdf"), "CRASH"));
    ASSERT_TRUE(crashed);
    EXPECT_EQ(
        crashed->description(),
        QStringLiteral("Le fichier « crash.pdf » n'a pas pu être décodé : il a fait échouer le décodeur."));
    EXPECT_EQ(DocumentExtractor::extract(probe, 1000).text.left(13), QStringLiteral("open: refusé,"));

    // No end: the task's remaining time bounds the request.
    qint64 elapsed = 0;
    std::optional<DecodeError> spun;
    {
        const Decoding::TaskDeadline within{QDeadlineTimer(1500)};
        spun = failure(pdf(QStringLiteral("spin.pdf"), "SPIN"), &elapsed);
    }
    ASSERT_TRUE(spun);
    EXPECT_EQ(spun->description(),
              QStringLiteral("Le fichier « spin.pdf » n'a pas pu être décodé : trop long."));
    EXPECT_GE(elapsed, 1400);
    EXPECT_LT(elapsed, 15000);
    EXPECT_EQ(DocumentExtractor::extract(probe, 1000).text.left(13), QStringLiteral("open: refusé,"));

    // Memory without end: killed before 1 GiB.
    const std::optional<DecodeError> hoarded = failure(pdf(QStringLiteral("hoard.pdf"), "HOARD"));
    ASSERT_TRUE(hoarded);
    Decoding::stopIdleWorkersForTesting();
    const qint64 peak = Decoding::peakWorkerMemoryForTesting();
    if (hoarded->reason() == DecodeError::Reason::TooLarge) {
        EXPECT_EQ(hoarded->description(),
                  QStringLiteral("Le fichier « hoard.pdf » n'a pas pu être décodé : trop volumineux."));
        // (The kernel's resident count that the watchdog reads is approximate.)
        EXPECT_GT(peak, Decoding::kMemoryKillBytes * 9 / 10);
    } else { // a machine too busy to hand out 768 MiB within the request's 30 s
        EXPECT_EQ(hoarded->reason(), DecodeError::Reason::TooLong);
    }
    EXPECT_LT(peak, Decoding::kMemoryBoundBytes);
    EXPECT_EQ(DocumentExtractor::extract(probe, 1000).text.left(13), QStringLiteral("open: refusé,"));
}

TEST_F(DecoderWorkerTest, workersAreReusedBoundedInNumberAndGoneWhenIdle) {
    const QString probe = pdf(QStringLiteral("probe.pdf"), "PROBE");
    Decoding::stopIdleWorkersForTesting();
    ASSERT_EQ(Decoding::liveWorkers(), 0);
    // Warm: one worker serves requests one after the other.
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(DocumentExtractor::extract(probe, 1000).text.isEmpty());
    EXPECT_EQ(Decoding::liveWorkers(), 1);

    // Many requests at once never run more than min(4, CPUs) workers.
    const QString spin = pdf(QStringLiteral("spin.pdf"), "SPIN");
    const int bound = std::min(4, QThread::idealThreadCount());
    std::atomic<int> answered{0};
    std::vector<std::thread> tasks;
    for (int i = 0; i < bound + 3; ++i) {
        tasks.emplace_back([&] {
            // Long enough for every worker to have started on a busy machine.
            const Decoding::TaskDeadline within{QDeadlineTimer(5000)};
            if (failure(spin))
                ++answered;
        });
    }
    int most = 0;
    QElapsedTimer clock;
    clock.start();
    while (answered < bound + 3 && clock.elapsed() < 30000) {
        most = std::max(most, Decoding::liveWorkers());
        QThread::msleep(5);
    }
    for (std::thread& task : tasks)
        task.join();
    EXPECT_EQ(answered, bound + 3);
    EXPECT_EQ(most, bound);

    // Idle workers end on their own.
    Decoding::setIdleTimeoutForTesting(std::chrono::milliseconds(200));
    EXPECT_FALSE(DocumentExtractor::extract(probe, 1000).text.isEmpty());
    clock.restart();
    while (Decoding::liveWorkers() > 0 && clock.elapsed() < 10000)
        QThread::msleep(20);
    EXPECT_EQ(Decoding::liveWorkers(), 0);
}

} // namespace

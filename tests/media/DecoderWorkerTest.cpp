// The decoder workers: sealed (no path opened, no socket made, none of the ways out
// a decoder taken over would try, started bare), killed on a crash,
// a deadline or their memory bound with a French error naming the file, replaced
// by a fresh worker for the next request, reused while warm, bounded in number and
// gone once idle; and what a worker taken over still does to the files it decodes
// next. A hostile PDF module (tests/media/hostile) plays the decoder taken over by
// a file.
#include "support/MediaFixtures.h"
#include "support/TestSupport.h"

#include "content/Decoding.h"
#include "content/DocumentExtractor.h"
#include "content/OcrEngine.h"
#include "content/Thumbnails.h"
#include "platform/Modules.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

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
        Decoding::setProgressCapForTesting(std::nullopt);
        Decoding::setIdleTimeoutForTesting(std::chrono::seconds(60));
        Decoding::stopIdleWorkersForTesting();
    }

    // A "PDF" whose bytes tell the hostile module what to do.
    QString pdf(const QString& name, const QByteArray& order) {
        const QString path = folder_.filePath(name);
        EXPECT_TRUE(fixtures::writeFile(path, "%PDF-1.4\n" + order + "\n%%EOF\n"));
        return path;
    }

    // The error extracting the file's text gives.
    std::optional<DecodeError> failure(const QString& path) {
        try {
            DocumentExtractor::extract(path, 1000);
        } catch (const DecodeError& error) {
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
    const QString spinning = pdf(QStringLiteral("spin.pdf"), "SPIN");
    QElapsedTimer clock; // started before the task's time, so that it sees all of it
    clock.start();
    std::optional<DecodeError> spun;
    {
        const Decoding::TaskDeadline within{QDeadlineTimer(1500)};
        spun = failure(spinning);
    }
    const qint64 elapsed = clock.elapsed();
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

// The decoder workers this process has started, by pid.
QList<pid_t> workerProcesses() {
    QList<pid_t> workers;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = pid_t(entry.toInt(&number));
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!number || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (line.contains("(ombrix-decoder)") && fields.size() > 1 && fields.at(1).toInt() == ::getpid())
            workers << pid;
    }
    return workers;
}

TEST_F(DecoderWorkerTest, aTakenOverWorkerBreaksNoRowOfTheSealAndStartsBare) {
    // The program's secrets that a worker must not inherit.
    const QList<QByteArray> secrets = {"SSH_AUTH_SOCK", "DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS"};
    QMap<QByteArray, std::optional<QByteArray>> saved;
    for (const QByteArray& name : secrets) {
        saved[name] = qEnvironmentVariableIsSet(name.constData()) ? std::optional(qgetenv(name.constData()))
                                                                  : std::nullopt;
        qputenv(name.constData(), "/tmp/secret-" + name);
    }
    const auto restore = qScopeGuard([&] {
        for (const QByteArray& name : secrets) {
            if (saved[name])
                qputenv(name.constData(), *saved[name]);
            else
                qunsetenv(name.constData());
        }
    });
    Decoding::stopIdleWorkersForTesting();
    // Another process of the user, and a file of the user.
    QProcess other;
    other.start(QStringLiteral("sleep"), {QStringLiteral("300")});
    ASSERT_TRUE(other.waitForStarted());
    const QString precious = folder_.filePath(QStringLiteral("précieux.txt"));
    ASSERT_TRUE(fixtures::writeFile(precious, "à garder"));
    const QByteArray preciousPath = QFile::encodeName(precious);
    ASSERT_EQ(::chmod(preciousPath.constData(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(::stat(preciousPath.constData(), &before), 0);

    const QString order =
        pdf(QStringLiteral("seal.pdf"), "SEAL " + QByteArray::number(other.processId()) + ' ' + preciousPath);
    const QStringList report =
        DocumentExtractor::extract(order, 4000).text.trimmed().split(QLatin1Char('\n'));
    // Each row of the attempts, refused.
    const std::pair<const char*, const char*> rows[] = {
        {"io_uring_setup", "refusé"},
        {"process_vm_readv", "refusé"},
        {"process_vm_writev", "refusé"},
        {"/proc/program/mem", "refusé"},
        {"pidfd_open", "refusé"},
        {"pidfd_getfd", "refusé"},
        {"kill program", "refusé"},
        {"tgkill program", "refusé"},
        {"tkill program", "refusé"},
        {"rt_sigqueueinfo program", "refusé"},
        {"pidfd_send_signal", "refusé"},
        {"kill other", "refusé"},
        {"fork", "refusé"},
        {"prctl PR_SET_PDEATHSIG", "refusé"},
        {"prctl PR_SET_DUMPABLE", "refusé"},
        {"/dev/tty", "refusé"},
        {"ioctl TIOCSTI", "refusé"},
        {"fchmod", "refusé"},
        {"fchmodat", "refusé"},
        {"fchmodat2", "refusé"},
        {"utimensat", "refusé"},
        {"setxattr", "refusé"},
        {"open for writing", "refusé"},
        {"memfd_create", "refusé"},
#if defined(__SANITIZE_ADDRESS__)
        {"pipe2", "permis"}, // the sanitizers' own use
#else
        {"pipe2", "refusé"},
#endif
        {"setrlimit RLIMIT_NOFILE", "refusé"},
        {"descriptors", "bornés"},
        {"environment", "aucune"},
    };
    ASSERT_EQ(report.size(), qsizetype(std::size(rows))) << report.join(QLatin1Char('\n')).toStdString();
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(report.at(qsizetype(i)), QString::fromUtf8(rows[i].first) + QStringLiteral(": ") +
                                               QString::fromUtf8(rows[i].second));

    // The file, the other process and this one untouched.
    struct stat after {};
    ASSERT_EQ(::stat(preciousPath.constData(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(::listxattr(preciousPath.constData(), nullptr, 0), 0);
    EXPECT_EQ(other.state(), QProcess::Running);
    other.kill();
    other.waitForFinished();

    // The worker runs bare: a session of its own without a terminal, /dev/null for
    // stdin and stdout, a pipe for stderr, its socket and nothing else, and none of
    // the program's secrets.
    const QList<pid_t> workers = workerProcesses();
    ASSERT_EQ(workers.size(), 1);
    const QString proc = QStringLiteral("/proc/%1/").arg(workers.first());
    QFile stat(proc + QStringLiteral("stat"));
    ASSERT_TRUE(stat.open(QIODevice::ReadOnly));
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    EXPECT_EQ(fields.at(3).toInt(), workers.first()); // session
    EXPECT_EQ(fields.at(4).toInt(), 0);               // controlling terminal
    const auto target = [&](const QString& fd) {
        char link[256] = {};
        const ssize_t length = ::readlink(QFile::encodeName(proc + QStringLiteral("fd/") + fd), link, 255);
        return QString::fromUtf8(link, std::max<ssize_t>(length, 0));
    };
    EXPECT_EQ(target(QStringLiteral("0")), QStringLiteral("/dev/null"));
    EXPECT_EQ(target(QStringLiteral("1")), QStringLiteral("/dev/null"));
    EXPECT_TRUE(target(QStringLiteral("2")).startsWith(QStringLiteral("pipe:")));
    EXPECT_TRUE(target(QStringLiteral("3")).startsWith(QStringLiteral("socket:")));
    // Past its socket, only what it made itself (Qt's event dispatcher's eventfd).
    for (const QString& fd :
         QDir(proc + QStringLiteral("fd")).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        if (fd.toInt() > 3) {
            EXPECT_TRUE(target(fd).startsWith(QStringLiteral("anon_inode:"))) << target(fd).toStdString();
        }
    }
    QFile environment(proc + QStringLiteral("environ"));
    ASSERT_TRUE(environment.open(QIODevice::ReadOnly));
    const QByteArray variables = environment.readAll();
    for (const QByteArray& name : secrets)
        EXPECT_FALSE(variables.startsWith(name + '=') || variables.contains('\0' + name + '='))
            << name.data();
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
    while (answered < bound + 3 && clock.elapsed() < kEventWaitMs) {
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
    while (Decoding::liveWorkers() > 0 && clock.elapsed() < kEventWaitMs)
        QThread::msleep(20);
    EXPECT_EQ(Decoding::liveWorkers(), 0);
}

// What the seal leaves to a worker taken over: the files it decodes after the one
// that took it over. A warm worker serves the requests that follow, so it reads
// each of them and answers with what it likes, in the protocol's form and numbered
// for the request it answers (nothing fails): the words of one file reach the
// answer for the next. A fresh worker answers the same files truly.
TEST_F(DecoderWorkerTest, aWorkerTakenOverByOneFileForgesTheAnswersOfTheFilesItDecodesNext) {
    const QString second = pdf(QStringLiteral("second.pdf"), "TEXT:IBAN FR76 1234");
    const QString third = pdf(QStringLiteral("troisième.pdf"), "TEXT:rendez-vous jeudi");
    Decoding::stopIdleWorkersForTesting();
    const int started = Decoding::startedWorkersForTesting();
    EXPECT_EQ(DocumentExtractor::extract(pdf(QStringLiteral("piège.pdf"), "TAKEOVER"), 1000).text.trimmed(),
              QStringLiteral("rien à signaler"));
    EXPECT_EQ(DocumentExtractor::extract(second, 1000).text.trimmed(),
              QStringLiteral("réponse forgée pour « IBAN FR76 1234 »"));
    EXPECT_EQ(DocumentExtractor::extract(third, 1000).text.trimmed(),
              QStringLiteral("réponse forgée pour « rendez-vous jeudi » ; lu avant : IBAN FR76 1234"));
    // One worker served the three, and it is still there for the next file.
    EXPECT_EQ(Decoding::startedWorkersForTesting(), started + 1);
    EXPECT_EQ(Decoding::liveWorkers(), 1);

    Decoding::stopIdleWorkersForTesting();
    EXPECT_EQ(DocumentExtractor::extract(second, 1000).text.trimmed(), QStringLiteral("IBAN FR76 1234"));
    EXPECT_EQ(DocumentExtractor::extract(third, 1000).text.trimmed(), QStringLiteral("rendez-vous jeudi"));
    EXPECT_EQ(Decoding::startedWorkersForTesting(), started + 2);
}

// What this process logs of its decoder workers' error output.
QStringList workerLog;
std::mutex workerLogMutex;

void keepWorkerLog(QtMsgType, const QMessageLogContext&, const QString& message) {
    if (message.startsWith(QStringLiteral("decoder worker"))) {
        std::lock_guard lock(workerLogMutex);
        workerLog << message;
    }
}

TEST_F(DecoderWorkerTest, aWorkerKeepsWithinItsBoundsWhileItWaitsAndItsErrorOutputIsLoggedHarmless) {
    Decoding::stopIdleWorkersForTesting();
    // Error output without end, escape sequences in it: the answer comes all the
    // same, and what is logged holds no control character.
    const QtMessageHandler previous = qInstallMessageHandler(keepWorkerLog);
    const auto restore = qScopeGuard([&] { qInstallMessageHandler(previous); });
    EXPECT_EQ(DocumentExtractor::extract(pdf(QStringLiteral("stderr.pdf"), "STDERR"), 1000).text.trimmed(),
              QStringLiteral("open: refusé, openat: refusé, socket: refusé, unix: refusé"));
    Decoding::stopIdleWorkersForTesting();
    {
        std::lock_guard lock(workerLogMutex);
        EXPECT_TRUE(workerLog.join(QLatin1Char('\n')).contains(QStringLiteral("presse-papiers")));
        for (const QString& line : std::as_const(workerLog)) {
            for (const QChar c : line)
                EXPECT_FALSE(c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f))
                    << line.toStdString();
        }
    }
    qInstallMessageHandler(previous);

    // Threads started once it has answered: the idle worker is ended, long before
    // its idle time, and the next request gets a fresh one.
    const QString later = pdf(QStringLiteral("later.pdf"), "THREADS:IDLE");
    EXPECT_FALSE(DocumentExtractor::extract(later, 1000).text.isEmpty());
    QElapsedTimer clock;
    clock.start();
    while (Decoding::liveWorkers() > 0 && clock.elapsed() < kEventWaitMs)
        QThread::msleep(20);
    EXPECT_EQ(Decoding::liveWorkers(), 0);
    const int started = Decoding::startedWorkersForTesting();
    EXPECT_FALSE(DocumentExtractor::extract(pdf(QStringLiteral("probe.pdf"), "PROBE"), 1000).text.isEmpty());
    EXPECT_EQ(Decoding::startedWorkersForTesting(), started + 1);
}

TEST_F(DecoderWorkerTest, aWorkerThatSaysAnythingButItsAnswerIsEndedAndTheNextRequestGetsAFreshOne) {
    using Reason = DecodeError::Reason;
    enum class Ask { Text, Thumbnail, Ocr };
    struct Row {
        const char* order; // what the hostile module does (tests/media/hostile/HostileFrames.cpp)
        Ask ask;
        Reason reason;
        int taskMs;             // the task's remaining time, if any
        qint64 maxChars = 1000; // the characters asked for (an answer's bound follows)
    };
    const Row rows[] = {
        {"FRAME:EXTRA", Ask::Text, Reason::Crashed, 0},      // an answer for the next file behind its own
        {"FRAME:WRONG", Ask::Text, Reason::Crashed, 0},      // another request's number
        {"FRAME:DESCRIPTOR", Ask::Text, Reason::Crashed, 0}, // a descriptor with the answer
        {"FRAME:NESTED", Ask::Text, Reason::Crashed, 0, 16'000'000},     // 1.5 MB of nested maps
        {"FRAME:OVERSIZE", Ask::Text, Reason::Crashed, 0},               // a 2 GiB string in a small frame
        {"FRAME:IMAGE", Ask::Thumbnail, Reason::Crashed, 0},             // a 1 GiB image in a small frame
        {"FRAME:HUGE", Ask::Text, Reason::TooLarge, 0},                  // 1.4 GiB announced
        {"FRAME:DRIBBLE", Ask::Text, Reason::TooLong, 3000, 16'000'000}, // 60 MiB announced, a byte at a time
        {"PAGES", Ask::Ocr, Reason::TooLong, 0},            // progress at every page, without end
        {"FRAME:WIDE", Ask::Thumbnail, Reason::Crashed, 0}, // a thumbnail wider than the box asked
        {"FRAME:LONG", Ask::Text, Reason::TooLarge, 0},     // 64 KiB of text for 1000 characters
        {"THREADS", Ask::Text, Reason::TooLarge, 0},        // threads without end
    };
    // However often it says it is making progress, a request ends at its cap.
    Decoding::setProgressCapForTesting(std::chrono::milliseconds(3000));
    const QString probe = pdf(QStringLiteral("probe.pdf"), "FRAME:NONE");
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.order);
        const QString name = QString::fromLatin1(row.order).section(QLatin1Char(':'), -1).toLower() + ".pdf";
        const QString path = pdf(name, row.order);
        // The frames are written for a worker's first request.
        Decoding::stopIdleWorkersForTesting();
        std::optional<DecodeError> error;
        {
            std::optional<Decoding::TaskDeadline> within;
            if (row.taskMs > 0)
                within.emplace(QDeadlineTimer(row.taskMs));
            try {
                switch (row.ask) {
                case Ask::Text:
                    ADD_FAILURE() << DocumentExtractor::extract(path, row.maxChars).text.toStdString();
                    break;
                case Ask::Thumbnail:
                    ADD_FAILURE() << Thumbnails::make(path, 64).width();
                    break;
                case Ask::Ocr:
                    ADD_FAILURE() << OcrEngine::recognize(path).text.toStdString();
                    break;
                }
            } catch (const DecodeError& failure) {
                error = failure;
            }
        }
        ASSERT_TRUE(error);
        EXPECT_EQ(error->reason(), row.reason);
        const QString why = row.reason == Reason::Crashed ? QStringLiteral("il a fait échouer le décodeur")
                            : row.reason == Reason::TooLarge ? QStringLiteral("trop volumineux")
                                                             : QStringLiteral("trop long");
        EXPECT_EQ(error->description(),
                  QStringLiteral("Le fichier « %1 » n'a pas pu être décodé : %2.").arg(name, why));
        // That worker is gone; the next request starts a fresh one and gets its own answer.
        EXPECT_EQ(Decoding::liveWorkers(), 0);
        const int started = Decoding::startedWorkersForTesting();
        EXPECT_EQ(DocumentExtractor::extract(probe, 1000).text, QStringLiteral("page 1\n"));
        EXPECT_EQ(Decoding::startedWorkersForTesting(), started + 1);
    }
    // Nothing announced was taken on trust: the program's own memory stayed put.
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_LT((after.ru_maxrss - before.ru_maxrss) * 1024, DecoderProtocol::kMaxFrameBytes);
}

} // namespace

// Shared folders on a file system that stops answering (a network mount that
// hung): their work is written off once they give no sign of life, then refused at
// once, and nothing else waits for them: not the other shares' tasks, not the
// photo walks, not the local tools, not the Settings window. And a share that
// answers late: its listing, come back after its task was answered, hands out no id.
#include "BridgeTaskHarness.h"
#include "bridge/PhotosBridgeHandler.h"
#include "bridge/SharedDocuments.h"
#include "content/DesktopOpener.h"
#include "content/PhotoLibrary.h"
#include "content/PhotoOpener.h"
#include "localllm/LocalToolRegistry.h"
#include "platform/SecretStore.h"
#include "platform/ShareWork.h"
#include "session/AppSession.h"
#include "session/Models.h"
#include "settings/widgets/BridgeSettingsTab.h"
#include "support/DocumentFiles.h"
#include "support/FakeMetadataIndex.h"
#include "support/GuiStall.h"
#include "support/TestFuse.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QQueue>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

using namespace bridgetest;

const std::string kNotAnswering = "Le dossier partagé ne répond pas";

// A folder "partage" of kLateFiles small files, whose listings the server holds.
constexpr int kLateFiles = 1500;

TestFuse::Options lateTree() {
    TestFuse::Options options;
    for (int i = 0; i < kLateFiles; ++i)
        options.files.insert(QStringLiteral("partage/f%1.txt").arg(i), "hello");
    options.holdListings = true;
    options.name = QStringLiteral("late");
    return options;
}

TestFuse::Options answersNothing() {
    TestFuse::Options options;
    options.answersNothing = true;
    options.name = QStringLiteral("stalled");
    return options;
}

class StalledShareTest : public ::testing::Test, protected TaskRoad {
protected:
    void SetUp() override {
        freshBridge();
        routeQueuedPolls(backend, kPollPath, polls);
        backend.routePrefix("PATCH", kUpdatePrefix,
                            [](const RecordedRequest&) { return ScriptedResponse::noContent(); });
    }
    void TearDown() override { endBridge(); }

    // A shared folder's record written by hand: making it would look at the folder.
    static BookmarkEntry handWritten(const QString& path, const QString& name) {
        BookmarkEntry entry;
        entry.id = QUuid::createUuid();
        entry.bookmarkData = json::dump(Json{{"path", path.toStdString()}, {"device", 4242}, {"inode", 1}});
        entry.displayName = name;
        return entry;
    }
};

// Far below the bridge's 2-minute task limit, and far above what a loaded machine
// adds to the few seconds a hung share is given (ShareWork::kSilence).
constexpr qint64 kWellUnderTheTaskLimit = 40'000;

TEST(ShareWorkTest, ALaneHoldsUpOnlyItsShareAndDropsWorkNoLongerWanted) {
    // (Shared with the lane's threads, which may outlive a failed test.)
    const auto release = std::make_shared<std::atomic<bool>>(false);
    const auto started = std::make_shared<std::atomic<int>>(0);
    const auto hang = [release, started] {
        ++*started;
        while (!*release)
            std::this_thread::sleep_for(5ms);
        return 1;
    };
    // A share that keeps answering (its path's statfs returns) is never taken for
    // silent, however short the silence: its work keeps its own limit. (Each probe,
    // a thread's start and a statfs, has two thirds of the silence to come back, which
    // a loaded machine can stretch to a few hundred milliseconds.)
    ShareWork::setSilenceForTesting(1500ms);
    const QString slow = QStringLiteral("/srv/lent");
    ShareWork::Purpose shortLimit;
    shortLimit.deadline = QDeadlineTimer(std::chrono::milliseconds(4000));
    QElapsedTimer clock;
    clock.start();
    std::vector<QCoro::Task<int>> hanging;
    for (int i = 0; i < ShareWork::kLaneThreads + 2; ++i)
        hanging.push_back(ShareWork::run(QStringList{slow}, hang, shortLimit));
    // Queued behind the lane's threads: dropped before it starts once unwanted.
    const auto wanted = std::make_shared<std::atomic<bool>>(true);
    ShareWork::Purpose unwanted;
    unwanted.wanted = [wanted] { return wanted->load(); };
    const auto ranUnwanted = std::make_shared<std::atomic<bool>>(false);
    QCoro::Task<int> dropped = ShareWork::run(
        QStringList{slow},
        [ranUnwanted] {
            *ranUnwanted = true;
            return 2;
        },
        unwanted);
    *wanted = false;
    // Queued behind them with a limit of its own far off.
    const auto ranLong = std::make_shared<std::atomic<bool>>(false);
    QCoro::Task<int> waitingLong = ShareWork::run(QStringList{slow}, [ranLong] {
        *ranLong = true;
        return 3;
    });
    // Meanwhile other shares are served at once, each on its own lane.
    for (int i = 0; i < 2 * ShareWork::kLaneThreads; ++i)
        EXPECT_EQ(
            runTask(ShareWork::run(QStringList{QStringLiteral("/srv/sain%1").arg(i % 2)}, [i] { return i; })),
            i);
    // What the work throws reaches the caller as it is.
    EXPECT_EQ(describeException(runTaskCatching(
                  ShareWork::run(QStringList{QStringLiteral("/srv/sain")},
                                 []() -> int { throw MessageError(QStringLiteral("illisible")); }))),
              "illisible");
    EXPECT_EQ(describeException(runTaskCatching(std::move(dropped))).toStdString(), kNotAnswering);
    // The hanging work is answered at its limit, not at the silence.
    for (QCoro::Task<int>& piece : hanging)
        EXPECT_EQ(describeException(runTaskCatching(std::move(piece))).toStdString(), kNotAnswering);
    EXPECT_GE(clock.elapsed(), 3990);
    EXPECT_FALSE(ShareWork::isSilent(slow));
    // The lane never held more threads than its bound; what waited beyond it and
    // what was no longer wanted never ran.
    EXPECT_EQ(started->load(), ShareWork::kLaneThreads);
    EXPECT_FALSE(*ranUnwanted);
    EXPECT_EQ(ShareWork::stuckThreads(slow), ShareWork::kLaneThreads);
    // Every thread of the lane holds work written off (the share answers its probe,
    // not the work): what waited for the lane is dropped, new work refused at once;
    // neither runs once the threads come back.
    const auto ranRefused = std::make_shared<std::atomic<bool>>(false);
    QCoro::Task<int> refused = ShareWork::run(QStringList{slow}, [ranRefused] {
        *ranRefused = true;
        return 4;
    });

    // The work comes back: the lane's threads are free again and its work runs.
    *release = true;
    EXPECT_TRUE(spinUntil([&] { return ShareWork::busyThreads(slow) == 0; }));
    for (QCoro::Task<int>* piece : {&waitingLong, &refused}) {
        const std::exception_ptr failure = runTaskCatching(std::move(*piece));
        EXPECT_EQ(failure ? describeException(failure).toStdString() : "ran", kNotAnswering);
    }
    EXPECT_FALSE(*ranLong || *ranRefused);
    EXPECT_EQ(runTask(ShareWork::run(QStringList{slow}, [] { return 7; })), 7);
    ShareWork::setSilenceForTesting(std::nullopt);
}

TEST_F(StalledShareTest, HungSharesHoldUpNothingButTheirOwnWork) {
    if (!fuseAvailable())
        GTEST_SKIP() << "no /dev/fuse: FUSE file systems cannot be mounted here";
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString healthy = scratch.path() + QStringLiteral("/sain");
    DocumentFiles::write(healthy + QStringLiteral("/note.txt"), "bonjour");
    TestFuse mount(scratch.path() + QStringLiteral("/montage"), answersNothing());
    ASSERT_TRUE(mount.mounted()) << mount.failure();

    // Ten hung shares come first in the list: whatever walks the list meets them.
    QList<BookmarkEntry> stalled;
    for (int i = 0; i < 10; ++i) {
        stalled.append(handWritten(scratch.path() + QStringLiteral("/montage/partage-%1").arg(i),
                                   QStringLiteral("partage-%1").arg(i)));
        BookmarkStore::shared().insert(stalled.last());
    }
    const QString healthyId = uuidText(BookmarkStore::shared().add(healthy).id);
    BridgeService::shared().start(QStringLiteral("tok-stalled"));

    // The healthy share's tasks are answered, the first read asking every share.
    QElapsedTimer clock;
    clock.start();
    const Json listed = run("list_dir", {{"folder_id", json::str(healthyId)}});
    ASSERT_EQ(listed["status"], "done") << listed.dump();
    const Json read = run("read", {{"document_id", listed["result"]["items"][0]["id"]}});
    EXPECT_EQ(read["status"], "done") << read.dump();
    EXPECT_EQ(read["result"]["content"], "bonjour");
    qInfo("list_dir then read of the healthy share: %lld ms", static_cast<long long>(clock.elapsed()));
    EXPECT_LT(clock.elapsed(), kWellUnderTheTaskLimit);
    // Whole-list tasks answer from the healthy share and name the hung ones.
    clock.restart();
    const Json found = run("search", {{"query", "note"}});
    ASSERT_EQ(found["status"], "done") << found.dump();
    EXPECT_EQ(found["result"]["items"].size(), 1u);
    EXPECT_EQ(found["result"]["not_answering"].size(), 10u);
    const Json folders = run("list_folders", Json::object());
    ASSERT_EQ(folders["result"]["folders"].size(), 1u) << folders.dump();
    EXPECT_EQ(folders["result"]["folders"][0]["id"], json::str(healthyId));
    ASSERT_EQ(folders["result"]["not_answering"].size(), 10u);
    EXPECT_EQ(folders["result"]["not_answering"][0],
              (Json{{"id", json::str(uuidText(stalled[0].id))}, {"name", "partage-0"}}));
    qInfo("search then list_folders: %lld ms", static_cast<long long>(clock.elapsed()));
    EXPECT_LT(clock.elapsed(), kWellUnderTheTaskLimit);

    // The hung shares' own tasks are answered that they do not answer (at once now),
    // and each holds no more than its lane's threads.
    const QString lostId = QStringLiteral("AAAAAAAA-0000-0000-0000-000000000001");
    BridgeService::shared().idCache().put(lostId,
                                          scratch.path() + QStringLiteral("/montage/partage-3/rapport.txt"));
    for (int i = 0; i < 10; ++i) {
        const Json body = i == 3 ? run("read", {{"document_id", json::str(lostId)}})
                                 : run("list_dir", {{"folder_id", json::str(uuidText(stalled[i].id))}});
        EXPECT_EQ(body.value("error_message", std::string()), kNotAnswering) << i << body.dump();
        EXPECT_LE(ShareWork::stuckThreads(SharedDocuments::shareOf(stalled[i])), ShareWork::kLaneThreads);
    }
    // Work naming a hung share and the healthy one: only the hung one goes silent,
    // the healthy one keeps being served.
    QString healthyShare;
    for (const BookmarkEntry& entry : BookmarkStore::shared().entries())
        if (uuidText(entry.id) == healthyId)
            healthyShare = SharedDocuments::shareOf(entry);
    const QString hungShare = scratch.path() + QStringLiteral("/montage/autre-partage");
    EXPECT_EQ(
        describeException(runTaskCatching(ShareWork::run(
                              QStringList{healthyShare, hungShare},
                              [hungShare] { return QFileInfo::exists(hungShare + QStringLiteral("/x")); })))
            .toStdString(),
        kNotAnswering);
    EXPECT_TRUE(ShareWork::isSilent(hungShare));
    EXPECT_FALSE(ShareWork::isSilent(healthyShare));
    // The desktop checks a document on its share's lane, known silent: refused at
    // once, and no lane of the document's own folder is opened.
    const QString folderOnHung = SharedDocuments::shareOf(stalled[5]) + QStringLiteral("/dossier");
    EXPECT_FALSE(runTask(GioDesktopOpener().openDocument(folderOnHung + QStringLiteral("/lettre.txt"),
                                                         QStringList{SharedDocuments::shareOf(stalled[5])})));
    EXPECT_EQ(ShareWork::busyThreads(folderOnHung), 0);

    // And the healthy share is still served promptly.
    clock.restart();
    EXPECT_EQ(run("read", {{"document_id", listed["result"]["items"][0]["id"]}})["status"], "done");
    EXPECT_EQ(run("list_dir", {{"folder_id", json::str(healthyId)}})["status"], "done");
    qInfo("read then list_dir of the healthy share, the hung ones known: %lld ms",
          static_cast<long long>(clock.elapsed()));
    EXPECT_LT(clock.elapsed(), kWellUnderTheTaskLimit);

    // A Pictures folder on the hung mount: the photo task, the model's photo tool
    // and the photo opener answer that it does not answer, and no thread of Qt's
    // pool (which the program's end waits for) stays behind.
    const QString userDirs = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/user-dirs.dirs");
    const QString pictures = scratch.path() + QStringLiteral("/montage/Images");
    DocumentFiles::write(userDirs, "XDG_PICTURES_DIR=\"" + pictures.toUtf8() + "\"\n");
    ASSERT_EQ(PhotoLibrary::rootFolder(), pictures);
    PhotosBridgeHandler::setConsentAsker([]() -> QCoro::Task<std::optional<bool>> { co_return true; });
    const Json photos = run("photos_recent", Json::object());
    EXPECT_EQ(photos.value("error_message", std::string()), kNotAnswering) << photos.dump();
    const QString recent =
        runTask(LocalToolRegistry::dispatch(QStringLiteral("list_recent_photos"), QStringLiteral("{}")));
    EXPECT_TRUE(recent.endsWith(QString::fromStdString(kNotAnswering))) << recent.toStdString();
    QString alert;
    PhotoOpener::setAlertPresenter([&](const QString&, const QString& text) { alert = text; });
    runTask(PhotoOpener::open(QStringLiteral("photo-inconnue")));
    PhotoOpener::setAlertPresenter({});
    EXPECT_EQ(alert.toStdString(), kNotAnswering);
    PhotosBridgeHandler::setConsentAsker({});
    QFile::remove(userDirs);
    EXPECT_EQ(QThreadPool::globalInstance()->activeThreadCount(), 0);

    // The chat's tool lists the healthy folder, and each hung one as not answering.
    const QString tool =
        runTask(LocalToolRegistry::dispatch(QStringLiteral("list_local_folders"), QStringLiteral("{}")));
    EXPECT_TRUE(tool.startsWith(QStringLiteral("1. partage-0 (did not answer, id: ") +
                                uuidText(stalled[0].id) +
                                QStringLiteral(")\n2. partage-1 (did not answer")) &&
                tool.contains(QStringLiteral("\n11. sain (")))
        << tool.toStdString();
    // The Bridge tab is shown without the GUI thread waiting for the hung shares;
    // its rows show the paths the folders were shared at.
    std::unique_ptr<BridgeSettingsTab> tab;
    const auto showTab = [&] {
        tab = std::make_unique<BridgeSettingsTab>(AppSession::shared(), BookmarkStore::shared(),
                                                  BridgeService::shared());
        tab->resize(560, 520);
        tab->show();
    };
    showTab(); // the first one loads the fonts and icons
    spinFor(100);
    tab.reset();
    GuiStallMeter meter;
    meter.start();
    showTab();
    ASSERT_TRUE(spinUntil([&] { return tab->folderRows().size() == 11; }));
    spinFor(200); // and the events it caused
    const GuiStall stall = meter.stop();
    // (docs/benchmarks.md keeps the figures; a wait on a hung share would sleep for
    // good, or at least for the share's silence of seconds.)
    EXPECT_TRUE(guiStayedResponsive(stall, 1500, 1500));
    ASSERT_EQ(tab->folderRows().size(), 11);
    EXPECT_TRUE(tab->folderRows()[0]
                    ->findChild<QLabel*>(QStringLiteral("path"))
                    ->toolTip()
                    .contains(scratch.path() + QStringLiteral("/montage/partage-0")));

    // Adding a folder of the hung mount answers with the share's silence, later.
    tab->controller().beginAddingFolders();
    runTask(tab->controller().addFolders({scratch.path() + QStringLiteral("/montage/autre")}));
    EXPECT_EQ(tab->controller().addError(), QString::fromStdString(kNotAnswering));
    EXPECT_EQ(BookmarkStore::shared().entries().size(), 11);
}

TEST_F(StalledShareTest, ALateListingHandsOutNoIdAndLeavesTheNewerOnesResolvable) {
    if (!fuseAvailable())
        GTEST_SKIP() << "no /dev/fuse: FUSE file systems cannot be mounted here";
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString healthy = scratch.path() + QStringLiteral("/sain");
    DocumentFiles::write(healthy + QStringLiteral("/note.txt"), "bonjour");
    TestFuse mount(scratch.path() + QStringLiteral("/montage"), lateTree());
    ASSERT_TRUE(mount.mounted()) << mount.failure();
    const QString lateId =
        uuidText(BookmarkStore::shared().add(scratch.path() + QStringLiteral("/montage/partage")).id);
    const QString healthyId = uuidText(BookmarkStore::shared().add(healthy).id);
    BridgeService::shared().setTaskTimeLimitForTesting(std::chrono::milliseconds(1500));
    BridgeService::shared().start(QStringLiteral("tok-late"));

    // The late share's listing is held past its task's limit: the task is answered
    // with the time-out, once.
    const Json late = run("list_dir", {{"folder_id", json::str(lateId)}});
    EXPECT_EQ(late.value("error_message", std::string()), "La tâche a dépassé le temps imparti (2 s).")
        << late.dump();
    BridgeService::shared().setTaskTimeLimitForTesting(std::nullopt); // the others keep the real one
    // A newer listing is answered meanwhile.
    const Json listed = run("list_dir", {{"folder_id", json::str(healthyId)}});
    ASSERT_EQ(listed["status"], "done") << listed.dump();
    // Then the late listing comes back, with its 1,500 entries.
    const QString lateShare =
        BookmarkResolver::recordedPath(BookmarkStore::shared().entries()[0].bookmarkData);
    mount.answerListings();
    EXPECT_TRUE(spinUntil([&] { return ShareWork::busyThreads(lateShare) == 0; }, 60000));
    // The newer listing's ids still resolve: the late one handed out nothing.
    const Json read = run("read", {{"document_id", listed["result"]["items"][0]["id"]}});
    const Json expected = {{"status", "done"},
                           {"result", {{"content", "bonjour"}, {"truncated", false}, {"bytes_read", 7}}}};
    EXPECT_EQ(read.dump(), expected.dump());
    EXPECT_LT(BridgeService::shared().idCache().count(), kLateFiles);
    const auto updatesOf = [&](const QString& task) {
        return std::count_if(
            backend.requests().cbegin(), backend.requests().cend(),
            [&](const RecordedRequest& r) { return r.method == "PATCH" && r.path == kUpdatePrefix + task; });
    };
    EXPECT_EQ(updatesOf(QStringLiteral("task-1")), 1);
    // The share answers at once again.
    const Json again = run("list_dir", {{"folder_id", json::str(lateId)}});
    ASSERT_EQ(again["status"], "done") << again.dump();
    EXPECT_EQ(again["result"]["items"].size(), std::size_t(kLateFiles));
}

// The calls of a piece of work: taken once the server has been quiet a moment, so
// that what the kernel sends late (the release of a closed file) is not counted in
// the next piece.
std::array<std::int64_t, std::size_t(TestFuse::Op::Count) + 1> settledCalls(const TestFuse& mount) {
    std::int64_t last = mount.calls();
    for (int quiet = 0, rounds = 0; quiet < 3 && rounds < 100; ++rounds) {
        spinFor(100);
        const std::int64_t now = mount.calls();
        quiet = now == last ? quiet + 1 : 0;
        last = now;
    }
    std::array<std::int64_t, std::size_t(TestFuse::Op::Count) + 1> calls{};
    for (std::size_t kind = 0; kind <= std::size_t(TestFuse::Op::Count); ++kind)
        calls[kind] = mount.calls(TestFuse::Op(kind));
    return calls;
}

// Calls of one kind (Op::Count: of every kind) between two counts.
std::int64_t callsBetween(const std::array<std::int64_t, std::size_t(TestFuse::Op::Count) + 1>& before,
                          const std::array<std::int64_t, std::size_t(TestFuse::Op::Count) + 1>& after,
                          TestFuse::Op kind = TestFuse::Op::Count) {
    return after[std::size_t(kind)] - before[std::size_t(kind)];
}

TEST_F(StalledShareTest, ASearchResultListingAndReadingAskTheShareEachCallOnce) {
    if (!fuseAvailable())
        GTEST_SKIP() << "no /dev/fuse: FUSE file systems cannot be mounted here";
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    constexpr int kFound = 4;
    constexpr int kListed = 20;
    // A share three folders below its mount point.
    TestFuse::Options tree;
    for (int i = 1; i <= kFound; ++i)
        tree.files.insert(QStringLiteral("un/deux/partage/rapport-%1.txt").arg(i),
                          "rapport " + QByteArray::number(i));
    for (int i = 1; i <= kListed; ++i)
        tree.files.insert(QStringLiteral("un/deux/partage/liste/e%1.txt").arg(i, 2, 10, QLatin1Char('0')),
                          "entrée");
    TestFuse mount(scratch.path() + QStringLiteral("/montage"), tree);
    ASSERT_TRUE(mount.mounted()) << mount.failure();
    const QString folderId =
        uuidText(BookmarkStore::shared().add(scratch.path() + QStringLiteral("/montage/un/deux/partage")).id);
    BridgeService::shared().start(QStringLiteral("tok-counted"));
    using Op = TestFuse::Op;

    // What a result costs: a search that finds four files against one that finds
    // nothing in the same walk.
    auto mark = settledCalls(mount);
    const Json none = run("search", {{"query", "introuvable"}});
    ASSERT_EQ(none["status"], "done") << none.dump();
    EXPECT_TRUE(none["result"]["items"].empty());
    auto now = settledCalls(mount);
    const std::int64_t walkAlone = callsBetween(mark, now);
    mark = now;
    const Json found = run("search", {{"query", "rapport"}});
    ASSERT_EQ(found["status"], "done") << found.dump();
    ASSERT_EQ(found["result"]["items"].size(), std::size_t(kFound)) << found.dump();
    EXPECT_EQ(found["result"]["items"][0]["is_remote"], false);
    now = settledCalls(mount);
    const std::int64_t withResults = callsBetween(mark, now);
    qInfo("search: %lld file calls finding nothing, %lld finding %d files", static_cast<long long>(walkAlone),
          static_cast<long long>(withResults), kFound);
    EXPECT_LE(withResults - walkAlone, 3 * kFound);

    // A listing asks each entry once, and the way to the folder once.
    mark = now;
    const Json listed = run("list_dir", {{"folder_id", json::str(folderId)}, {"sub_path", "liste"}});
    ASSERT_EQ(listed["status"], "done") << listed.dump();
    EXPECT_EQ(listed["result"]["items"].size(), std::size_t(kListed));
    now = settledCalls(mount);
    qInfo("list_dir of %d entries: %lld file calls", kListed,
          static_cast<long long>(callsBetween(mark, now)));
    EXPECT_LE(callsBetween(mark, now, Op::Lookup), kListed + 4); // un, deux, partage, liste
    EXPECT_LE(callsBetween(mark, now, Op::Getattr), 2);
    EXPECT_LE(callsBetween(mark, now, Op::Opendir), 1);
    EXPECT_LE(callsBetween(mark, now), kListed + 12);

    // A read opens, reads, flushes and releases the document once.
    mark = now;
    const Json read = run("read", {{"document_id", found["result"]["items"][0]["id"]}});
    ASSERT_EQ(read["status"], "done") << read.dump();
    EXPECT_TRUE(QString::fromStdString(read["result"]["content"].get<std::string>()).startsWith("rapport "));
    now = settledCalls(mount);
    qInfo("read: %lld file calls", static_cast<long long>(callsBetween(mark, now)));
    for (const Op kind : {Op::Open, Op::Read, Op::Flush, Op::Release})
        EXPECT_LE(callsBetween(mark, now, kind), 1) << int(kind);
    EXPECT_LE(callsBetween(mark, now, Op::Lookup), 4);
    EXPECT_LE(callsBetween(mark, now, Op::Getattr), 2);
}

// Hangs the mount from the first call of `kind` on (checked every few ms while the
// test waits: the share's calls answer after a delay, so that call is still held).
class HangAtFirst {
public:
    HangAtFirst(TestFuse& mount, TestFuse::Op kind) {
        const std::int64_t before = mount.calls(kind);
        QObject::connect(&timer_, &QTimer::timeout, [&mount, kind, before] {
            if (mount.calls(kind) > before)
                mount.hang();
        });
        timer_.start(2);
    }

private:
    QTimer timer_;
};

TEST_F(StalledShareTest, EveryAnswerSaysWhatHappenedWhenAShareStopsAnswering) {
    if (!fuseAvailable())
        GTEST_SKIP() << "no /dev/fuse: FUSE file systems cannot be mounted here";
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    // (In the test's home, where the test may delete it.)
    const QString healthy = QDir::homePath() + QStringLiteral("/Documents-sains");
    DocumentFiles::write(healthy + QStringLiteral("/rapport-sain.txt"), "bonjour");
    QImage picture(40, 20, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    QByteArray png;
    QBuffer buffer(&png);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "PNG"));
    // Two slow shares (each call held a moment, so that a call can be caught while
    // it is held): one hangs in the middle of the search's walk, the other while
    // its image is read.
    TestFuse::Options walkedTree;
    walkedTree.files.insert(QStringLiteral("un/deux/partage/rapport-1.txt"), "un");
    walkedTree.files.insert(QStringLiteral("un/deux/partage/suite/rapport-2.txt"), "deux");
    walkedTree.delay = 100ms;
    TestFuse walked(scratch.path() + QStringLiteral("/montage"), walkedTree);
    TestFuse::Options drawnTree;
    drawnTree.files.insert(QStringLiteral("un/deux/partage/photo.png"), png);
    drawnTree.delay = 100ms;
    TestFuse drawn(scratch.path() + QStringLiteral("/images"), drawnTree);
    ASSERT_TRUE(walked.mounted() && drawn.mounted()) << walked.failure() << drawn.failure();
    const BookmarkEntry hung =
        BookmarkStore::shared().add(scratch.path() + QStringLiteral("/montage/un/deux/partage"));
    const QString picturesId =
        uuidText(BookmarkStore::shared().add(scratch.path() + QStringLiteral("/images/un/deux/partage")).id);
    const QString healthyId = uuidText(BookmarkStore::shared().add(healthy).id);
    BridgeService::shared().start(QStringLiteral("tok-answers"));

    // The search answers what the healthy share found, and names the share that
    // stopped answering during its walk (at its first listing).
    Json found;
    {
        const HangAtFirst hanging(walked, TestFuse::Op::Readdir);
        found = run("search", {{"query", "rapport"}});
    }
    ASSERT_EQ(found["status"], "done") << found.dump();
    ASSERT_EQ(found["result"]["items"].size(), 1u) << found.dump();
    EXPECT_EQ(found["result"]["items"][0]["name"], "rapport-sain.txt");
    EXPECT_EQ(found["result"]["not_answering"],
              Json::array({Json{{"id", json::str(uuidText(hung.id))}, {"name", "partage"}}}));

    // The local model's tools name the folder that did not answer.
    const QString search = runTask(LocalToolRegistry::dispatch(
        QStringLiteral("search_local_documents"), QStringLiteral(R"({"query": "introuvable"})")));
    EXPECT_EQ(search.toStdString(),
              "No local documents matched.\nShared folders that did not answer (not searched): partage.");
    const QString folders =
        runTask(LocalToolRegistry::dispatch(QStringLiteral("list_local_folders"), QStringLiteral("{}")));
    EXPECT_TRUE(folders.startsWith(QStringLiteral("1. partage (did not answer, id: ") + uuidText(hung.id) +
                                   QStringLiteral(")\n2. partage (")))
        << folders.toStdString();

    // A thumbnail whose image read hangs answers that, not an empty thumbnail.
    const Json pictures = run("list_dir", {{"folder_id", json::str(picturesId)}});
    ASSERT_EQ(pictures["status"], "done") << pictures.dump();
    Json thumbnail;
    {
        const HangAtFirst hanging(drawn, TestFuse::Op::Read);
        thumbnail = run("thumbnail", {{"document_id", pictures["result"]["items"][0]["id"]}});
    }
    EXPECT_EQ(thumbnail.value("error_message", std::string()), kNotAnswering) << thumbnail.dump();

    // A shared folder deleted beside the hung shares answers for itself.
    const Json listed = run("list_dir", {{"folder_id", json::str(healthyId)}});
    ASSERT_EQ(listed["status"], "done") << listed.dump();
    removeTestFolder(healthy);
    const Json documentId = listed["result"]["items"][0]["id"];
    EXPECT_EQ(run("read", {{"document_id", documentId}}).value("error_message", std::string()),
              "Document hors des dossiers partagés.");
    EXPECT_EQ(run("thumbnail", {{"document_id", documentId}}).value("error_message", std::string()),
              "Le document n'est plus dans un dossier partagé.");
}

} // namespace

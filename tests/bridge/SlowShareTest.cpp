// Shared folders on slow mounts (each file call answered after a delay, by a server
// that answers in parallel or one call at a time, the folder a few levels below the
// mount point): they are served, never taken for silent; work no longer wanted on
// them stops at its next call; and a hung mount that was detached leaves its path
// to the folder now there.
#include "BridgeTaskHarness.h"
#include "bridge/SharedDocuments.h"
#include "platform/ShareWork.h"
#include "support/DocumentFiles.h"
#include "support/TestFuse.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace bridgetest;

const std::string kNotAnswering = "Le dossier partagé ne répond pas";

// Far above what a slow share's task needs here (a few dozen calls of 300 ms), far
// below the bridge's 2-minute task limit.
constexpr int kTaskWaitMs = 100'000;

class SlowShareTest : public ::testing::Test, protected TaskRoad {
protected:
    void SetUp() override {
        freshBridge();
        routeQueuedPolls(backend, kPollPath, polls);
        backend.routePrefix("PATCH", kUpdatePrefix,
                            [](const RecordedRequest&) { return ScriptedResponse::noContent(); });
    }
    void TearDown() override {
        ShareWork::setSilenceForTesting(std::nullopt);
        BridgeService::shared().setTaskTimeLimitForTesting(std::nullopt);
        endBridge();
    }

    // Hands a task out on the next poll without waiting for its answer.
    QString send(const char* kind, const Json& args) {
        const QString id = QStringLiteral("task-%1").arg(++taskCount);
        const Json task = {{"id", json::str(id)}, {"kind", kind}, {"args", args}};
        polls.enqueue(ScriptedResponse::json(200, json::dump(task)));
        return id;
    }
    // The task's update, waited for as long as a slow share needs.
    Json answerOf(const QString& id) {
        const QString path = kUpdatePrefix + id;
        std::optional<Json> body;
        spinUntil(
            [&] {
                for (const RecordedRequest& request : backend.requests())
                    if (request.method == "PATCH" && request.path == path)
                        body = json::parse(request.body);
                return body.has_value();
            },
            kTaskWaitMs);
        return body.value_or(Json{{"status", "no update"}});
    }
    Json slowRun(const char* kind, const Json& args = Json::object()) {
        QElapsedTimer clock;
        clock.start();
        const std::int64_t before = fuse ? fuse->calls() : 0;
        Json answer = answerOf(send(kind, args));
        qInfo("%s: %lld ms, %lld file calls", kind, static_cast<long long>(clock.elapsed()),
              static_cast<long long>(fuse ? fuse->calls() - before : 0));
        return answer;
    }
    // The file system whose calls slowRun reports.
    const TestFuse* fuse = nullptr;

    void serveSlowShare(TestFuse::Options options, bool everyTask);
    int updatesOf(const QString& id) const {
        return int(std::count_if(
            backend.requests().cbegin(), backend.requests().cend(),
            [&](const RecordedRequest& r) { return r.method == "PATCH" && r.path == kUpdatePrefix + id; }));
    }

    // Shares `path` as the Settings window does: the checks on the share's lane.
    QString share(const QString& path) {
        const BookmarkEntry entry =
            runTask(ShareWork::run(QStringList{path}, [path] { return BookmarkStore::prepare(path); }));
        BookmarkStore::shared().insert(entry);
        return uuidText(entry.id);
    }
};

// The server's call count stops growing: nothing works on the share any more.
bool callsSettle(const TestFuse& mount) {
    std::int64_t last = -1;
    return spinUntil(
        [&] {
            const std::int64_t now = mount.calls();
            const bool settled = now == last && mount.pending() == 0;
            last = now;
            spinFor(500);
            return settled;
        },
        30000);
}

TEST(ShareWorkCallsTest, ReturnedCallsAreSignsOfLifeAndWorkNoLongerWantedStops) {
    ShareWork::setSilenceForTesting(1000ms);
    // Work whose calls keep returning (each far under the silence, even on a loaded
    // machine) is never taken for silent, however long it runs, though its share
    // answers nothing else.
    const QString slow = QStringLiteral("/srv/appels-lents");
    const auto calls = std::make_shared<std::atomic<int>>(0);
    EXPECT_EQ(runTask(ShareWork::run(QStringList{slow},
                                     [calls] {
                                         for (int i = 0; i < 40; ++i) {
                                             std::this_thread::sleep_for(50ms);
                                             ShareWork::callReturned();
                                             ++*calls;
                                         }
                                         return calls->load();
                                     })),
              40);
    EXPECT_FALSE(ShareWork::isSilent(slow));

    // Work whose caller no longer wants it stops at its next call, and its thread is
    // free; the caller is answered that the share does not answer.
    const auto wanted = std::make_shared<std::atomic<bool>>(true);
    ShareWork::Purpose purpose;
    purpose.wanted = [wanted] { return wanted->load(); };
    const auto stoppedAt = std::make_shared<std::atomic<int>>(-1);
    const auto walked = std::make_shared<std::atomic<int>>(0);
    QCoro::Task<int> walking = ShareWork::run(
        QStringList{slow},
        [stoppedAt, walked] {
            for (int i = 0;; ++i) {
                try {
                    ShareWork::checkWanted();
                } catch (const ShareWork::Stopped&) {
                    *stoppedAt = i;
                    throw;
                }
                std::this_thread::sleep_for(20ms);
                ShareWork::callReturned();
                ++*walked;
            }
            return 0;
        },
        purpose);
    EXPECT_TRUE(spinUntil([&] { return *walked >= 2; }));
    *wanted = false;
    EXPECT_EQ(describeException(runTaskCatching(std::move(walking))).toStdString(), kNotAnswering);
    EXPECT_TRUE(spinUntil([&] { return ShareWork::busyThreads(slow) == 0; }, 10000));
    EXPECT_GT(stoppedAt->load(), 0);

    // Unsharing the folder: the caller is told at once, the work stops at its next call.
    const auto release = std::make_shared<std::atomic<bool>>(false);
    const auto after = std::make_shared<std::atomic<bool>>(false);
    QCoro::Task<int> listing = ShareWork::run(QStringList{slow}, [release, after] {
        while (!*release)
            std::this_thread::sleep_for(5ms);
        ShareWork::callReturned();
        ShareWork::checkWanted();
        *after = true;
        return 1;
    });
    EXPECT_TRUE(spinUntil([&] { return ShareWork::busyThreads(slow) == 1; }, 10000));
    ShareWork::unshared(slow);
    EXPECT_EQ(describeException(runTaskCatching(std::move(listing))).toStdString(),
              "Ce dossier n'est plus partagé sur le Mac.");
    *release = true;
    EXPECT_TRUE(spinUntil([&] { return ShareWork::busyThreads(slow) == 0; }, 10000));
    EXPECT_FALSE(*after);
    // Shared again, it is served.
    EXPECT_EQ(runTask(ShareWork::run(QStringList{slow}, [] { return 2; })), 2);
}

// A slow share three levels below its mount point, served by `options`: its tasks
// are answered, and it is never named among the folders that do not answer.
void SlowShareTest::serveSlowShare(TestFuse::Options options, bool everyTask) {
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    options.files.insert(QStringLiteral("a/b/c/partage/note.txt"), "bonjour");
    options.files.insert(QStringLiteral("a/b/c/partage/docs/rapport.txt"), "rapport");
    TestFuse mount(scratch.path() + QStringLiteral("/montage"), options);
    ASSERT_TRUE(mount.mounted()) << mount.failure();
    const QString path = scratch.path() + QStringLiteral("/montage/a/b/c/partage");
    const QString folderId = share(path);
    fuse = &mount;
    BridgeService::shared().start(QStringLiteral("tok-slow"));

    const Json folders = slowRun("list_folders");
    ASSERT_EQ(folders["status"], "done") << folders.dump();
    EXPECT_EQ(folders["result"]["folders"].size(), 1u) << folders.dump();
    EXPECT_FALSE(folders["result"].contains("not_answering")) << folders.dump();
    const Json listed = slowRun("list_dir", {{"folder_id", json::str(folderId)}});
    ASSERT_EQ(listed["status"], "done") << listed.dump();
    ASSERT_EQ(listed["result"]["items"].size(), 2u) << listed.dump();
    EXPECT_EQ(listed["result"]["items"][1]["name"], "note.txt");
    if (everyTask) {
        const Json read = slowRun("read", {{"document_id", listed["result"]["items"][1]["id"]}});
        EXPECT_EQ(read["status"], "done") << read.dump();
        EXPECT_EQ(read["result"]["content"], "bonjour") << read.dump();
        const Json found = slowRun("search", {{"query", "rapport"}});
        ASSERT_EQ(found["status"], "done") << found.dump();
        EXPECT_EQ(found["result"]["items"].size(), 1u) << found.dump();
        EXPECT_FALSE(found["result"].contains("not_answering")) << found.dump();
    }
    EXPECT_FALSE(ShareWork::isSilent(path));
    fuse = nullptr;
}

TEST_F(SlowShareTest, ASlowShareAnsweringInParallelIsServedAndNeverTakenForSilent) {
    if (!fuseAvailable())
        GTEST_SKIP() << "no /dev/fuse: FUSE file systems cannot be mounted here";
    // Each call answered in 300 to 800 ms, many at once.
    TestFuse::Options options;
    options.delay = 300ms;
    options.maxDelay = 800ms;
    serveSlowShare(options, false);
}

TEST_F(SlowShareTest, ASlowShareAnsweringOneCallAtATimeIsServedAndNeverTakenForSilent) {
    if (!fuseAvailable())
        GTEST_SKIP() << "no /dev/fuse: FUSE file systems cannot be mounted here";
    // Each call answered in 300 ms, one after the other.
    TestFuse::Options options;
    options.delay = 300ms;
    options.serialised = true;
    serveSlowShare(options, true);
}

TEST_F(SlowShareTest, OneSlowCallFailsNeitherItsTaskNorTheNext) {
    if (!fuseAvailable())
        GTEST_SKIP() << "no /dev/fuse: FUSE file systems cannot be mounted here";
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    TestFuse::Options options;
    options.files.insert(QStringLiteral("partage/note.txt"), "bonjour");
    options.delay = 300ms;
    options.serialised = true;
    TestFuse mount(scratch.path() + QStringLiteral("/montage"), options);
    ASSERT_TRUE(mount.mounted()) << mount.failure();
    const QString folderId = share(scratch.path() + QStringLiteral("/montage/partage"));
    BridgeService::shared().start(QStringLiteral("tok-slow"));
    const Json listed = slowRun("list_dir", {{"folder_id", json::str(folderId)}});
    ASSERT_EQ(listed["status"], "done") << listed.dump();

    // One call of 4 s (longer than a share that answers nothing is given), the server
    // answering nothing else meanwhile.
    mount.slowOnce(4s);
    const Json read = slowRun("read", {{"document_id", listed["result"]["items"][0]["id"]}});
    EXPECT_EQ(read["status"], "done") << read.dump();
    EXPECT_EQ(read["result"]["content"], "bonjour") << read.dump();
    const Json again = slowRun("list_dir", {{"folder_id", json::str(folderId)}});
    EXPECT_EQ(again["status"], "done") << again.dump();
}

TEST_F(SlowShareTest, WorkNoLongerWantedStopsAtItsNextCall) {
    if (!fuseAvailable())
        GTEST_SKIP() << "no /dev/fuse: FUSE file systems cannot be mounted here";
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    // A walk of minutes at 100 ms per call: 60 folders of two folders of two files.
    TestFuse::Options options;
    for (int i = 0; i < 60; ++i)
        for (int j = 0; j < 2; ++j)
            for (int k = 0; k < 2; ++k)
                options.files.insert(QStringLiteral("arbre/d%1/e%2/f%3.txt").arg(i).arg(j).arg(k), "x");
    for (int i = 0; i < 13; ++i)
        options.files.insert(QStringLiteral("liste/n%1.txt").arg(i), "x");
    options.delay = 100ms;
    TestFuse mount(scratch.path() + QStringLiteral("/montage"), options);
    ASSERT_TRUE(mount.mounted()) << mount.failure();
    const QString walked = scratch.path() + QStringLiteral("/montage/arbre");
    share(walked);
    BridgeService::shared().start(QStringLiteral("tok-slow"));

    // A search answered at its limit: its walk stops, its lane's threads are free and
    // the server hears nothing more of it.
    BridgeService::shared().setTaskTimeLimitForTesting(3000ms);
    const QString searchId = send("search", {{"query", "introuvable"}});
    const Json searched = answerOf(searchId);
    EXPECT_EQ(searched.value("error_message", std::string()), "La tâche a dépassé le temps imparti (3 s).")
        << searched.dump();
    BridgeService::shared().setTaskTimeLimitForTesting(std::nullopt);
    QElapsedTimer freed;
    freed.start();
    EXPECT_TRUE(spinUntil([&] { return ShareWork::busyThreads(walked) == 0; }, 20000));
    qInfo("the walk's lane free %lld ms after the answer", static_cast<long long>(freed.elapsed()));
    EXPECT_TRUE(callsSettle(mount));
    EXPECT_LT(mount.calls(TestFuse::Op::Opendir), 100) << "the walk went on";
    EXPECT_EQ(updatesOf(searchId), 1);

    // A folder unshared while it is listed: the listing stops, nothing of it reaches
    // the backend or the id cache.
    const QString listedPath = scratch.path() + QStringLiteral("/montage/liste");
    const QString listedId = share(listedPath);
    const int cached = BridgeService::shared().idCache().count();
    mount.resetCalls();
    const QString listId = send("list_dir", {{"folder_id", json::str(listedId)}});
    ASSERT_TRUE(spinUntil([&] { return mount.calls(TestFuse::Op::Readdir) > 0; }, 30000));
    BookmarkStore::shared().remove(QUuid::fromString(listedId));
    const Json listing = answerOf(listId);
    EXPECT_EQ(listing.value("error_message", std::string()), "Ce dossier n'est plus partagé sur le Mac.")
        << listing.dump();
    EXPECT_TRUE(spinUntil([&] { return ShareWork::busyThreads(listedPath) == 0; }, 20000));
    EXPECT_TRUE(callsSettle(mount));
    EXPECT_EQ(updatesOf(listId), 1);
    EXPECT_EQ(BridgeService::shared().idCache().count(), cached);
}

TEST_F(SlowShareTest, AHungMountDetachedLeavesItsPathToTheFolderNowThere) {
    if (!fuseAvailable())
        GTEST_SKIP() << "no /dev/fuse: FUSE file systems cannot be mounted here";
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    TestFuse::Options options;
    options.files.insert(QStringLiteral("partage/note.txt"), "avant");
    TestFuse mount(scratch.path() + QStringLiteral("/montage"), options);
    ASSERT_TRUE(mount.mounted()) << mount.failure();
    const QString path = scratch.path() + QStringLiteral("/montage/partage");
    const QString oldId = share(path);
    BridgeService::shared().start(QStringLiteral("tok-detached"));
    ASSERT_EQ(slowRun("list_dir", {{"folder_id", json::str(oldId)}})["status"], "done");

    // The mount hangs: its share is found silent (sooner than as shipped).
    ShareWork::setSilenceForTesting(1000ms);
    mount.hang();
    const Json hung = slowRun("list_dir", {{"folder_id", json::str(oldId)}});
    EXPECT_EQ(hung.value("error_message", std::string()), kNotAnswering) << hung.dump();
    ASSERT_TRUE(ShareWork::isSilent(path));
    ShareWork::setSilenceForTesting(std::nullopt);

    // It is detached (its server still hung) and a plain folder is made at the path:
    // sharing it again, and listing it, are served at once.
    mount.detach();
    DocumentFiles::write(path + QStringLiteral("/note.txt"), "après");
    BookmarkStore::shared().remove(QUuid::fromString(oldId));
    const QString newId = share(path);
    const Json listed = slowRun("list_dir", {{"folder_id", json::str(newId)}});
    ASSERT_EQ(listed["status"], "done") << listed.dump();
    ASSERT_EQ(listed["result"]["items"].size(), 1u);
    const Json read = slowRun("read", {{"document_id", listed["result"]["items"][0]["id"]}});
    EXPECT_EQ(read["result"]["content"], "après") << read.dump();
    EXPECT_FALSE(ShareWork::isSilent(path));
}

} // namespace

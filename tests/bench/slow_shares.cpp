// Tasks on a slow share: a FUSE file system (tests/support/TestFuse) whose every
// call answers after a set delay, nothing cached by the kernel, served in parallel.
// The share holds 20 files (4 of them named "rapport"); list_dir of it, read of one
// file and a search for "rapport" are served through the bridge against the fake
// backend. For each delay: the time each task took and the file calls it made,
// beside the floor (the calls it needs times the delay).
//
//   build/tests/bench_slow_shares [delay ms...]   (default: 100 300 800)
#include "app/Composition.h"
#include "bridge/BookmarkStore.h"
#include "bridge/BridgeService.h"
#include "platform/DefaultsStore.h"
#include "platform/Resources.h"
#include "platform/SecretStore.h"
#include "platform/ShareWork.h"
#include "session/AppSession.h"
#include "support/FakeMetadataIndex.h"
#include "support/TestFuse.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

// The calls a task needs at the least, the folder at the mount point: list_dir
// opens the folder, reads its entries (two readdir, the last one empty), closes it
// and learns the status of each entry (one lookup); read looks the file up, opens,
// reads it (smaller than one read) and closes it; search lists the folder as
// list_dir does and describes each match (one lookup).
constexpr int kFiles = 20;
constexpr int kMatches = 4;
constexpr int kListDirFloor = 4 + kFiles;
constexpr int kReadFloor = 4;
constexpr int kSearchFloor = 4 + kMatches;

struct Measure {
    qint64 ms = 0;
    std::int64_t calls = 0;
    std::string status;
};

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/ombrix-bench-XXXXXX"));
    pointHomeAt(home.path());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "ombrix.*.info=false");
    QApplication app(argc, argv);
    initOmbrixResources();
    Composition::install();
    DefaultsStore::setShared(std::make_shared<MemoryDefaultsStore>());
    SecretStore::setShared(std::make_shared<MemorySecretStore>());
    if (!fuseAvailable()) {
        std::printf("no /dev/fuse: nothing measured\n");
        return 0;
    }
    QList<int> delays;
    for (int i = 1; i < argc; ++i)
        delays.append(std::max(0, std::atoi(argv[i])));
    if (delays.isEmpty())
        delays = {100, 300, 800};

    auto index = std::make_shared<FakeMetadataIndex>();
    index->setAvailable(false); // searches walk the share
    ScopedMetadataIndex installed(index);
    FakeBackend backend;
    QQueue<ScriptedResponse> polls;
    routeQueuedPolls(backend, QStringLiteral("/api/v1/bridge/tasks/next"), polls);
    backend.routePrefix("PATCH", QStringLiteral("/api/v1/bridge/tasks/"),
                        [](const RecordedRequest&) { return ScriptedResponse::noContent(); });
    AppSession::shared().setBridgeEnabled(true);
    BridgeService::shared().start(QStringLiteral("bench-token"));
    int served = 0;

    std::printf("%-6s %-9s %10s %6s %8s %10s  %s\n", "delay", "task", "ms", "calls", "floor", "floor ms",
                "answer");
    for (const int delay : std::as_const(delays)) {
        QTemporaryDir scratch;
        TestFuse::Options options;
        for (int i = 0; i < kFiles; ++i)
            options.files.insert(i < kMatches ? QStringLiteral("partage/rapport-%1.txt").arg(i)
                                              : QStringLiteral("partage/note-%1.txt").arg(i),
                                 "Quelques mots du document.");
        options.delay = std::chrono::milliseconds(delay);
        TestFuse mount(scratch.path() + QStringLiteral("/montage"), options);
        if (!mount.mounted()) {
            std::printf("%s\n", mount.failure().c_str());
            return 1;
        }
        const QString path = scratch.path() + QStringLiteral("/montage/partage");
        const BookmarkEntry entry =
            runTask(ShareWork::run(QStringList{path}, [path] { return BookmarkStore::prepare(path); }));
        BookmarkStore::shared().insert(entry);

        const auto measure = [&](const char* kind, const Json& args, Json* answer) {
            const QString id = QStringLiteral("bench-%1").arg(++served);
            polls.enqueue(ScriptedResponse::json(
                200, json::dump(Json{{"id", json::str(id)}, {"kind", kind}, {"args", args}})));
            const std::int64_t before = mount.calls();
            QElapsedTimer clock;
            clock.start();
            std::optional<Json> body;
            spinUntil(
                [&] {
                    for (const RecordedRequest& request : backend.requests())
                        if (request.method == "PATCH" && request.path.endsWith(QLatin1Char('/') + id))
                            body = json::parse(request.body);
                    return body.has_value();
                },
                600000);
            Measure made;
            made.ms = clock.elapsed();
            made.calls = mount.calls() - before;
            made.status = body ? body->value("status", std::string("?")) : std::string("no answer");
            if (body && made.status == "error")
                made.status += ": " + body->value("error_message", std::string());
            if (answer && body)
                *answer = *body;
            return made;
        };
        const auto print = [&](const char* kind, const Measure& made, int floor) {
            std::printf("%-6d %-9s %10lld %6lld %8d %10d  %s\n", delay, kind, static_cast<long long>(made.ms),
                        static_cast<long long>(made.calls), floor, floor * delay, made.status.c_str());
            std::fflush(stdout);
        };
        Json listed;
        print("list_dir", measure("list_dir", {{"folder_id", json::str(uuidText(entry.id))}}, &listed),
              kListDirFloor);
        Json document = Json::string_t();
        if (listed.contains("result") && !listed["result"]["items"].empty())
            document = listed["result"]["items"][0]["id"];
        print("read", measure("read", {{"document_id", document}}, nullptr), kReadFloor);
        print("search", measure("search", {{"query", "rapport"}}, nullptr), kSearchFloor);
        BookmarkStore::shared().remove(entry.id);
    }
    BridgeService::resetSharedForTesting();
    return 0;
}

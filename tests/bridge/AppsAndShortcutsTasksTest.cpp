// app_open, shortcut_run and shortcut_list end to end: fixture .desktop entries,
// fake shortcut tools written in the test, the updates received by the fake backend.
#include "MediaTaskHarness.h"

#include "bridge/BridgeService.h"
#include "bridge/ScreenControlBridgeHandler.h"
#include "session/AppSession.h"
#include "support/MediaFixtures.h"
#include "support/RecordingDesktopOpener.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using namespace ScreenControlBridgeHandler;

class AppsAndShortcutsTasksTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults = installMemoryDefaults();
        opener = RecordingDesktopOpener::install();
        savedDataDirs = qgetenv("XDG_DATA_DIRS");
        qputenv("XDG_DATA_DIRS", system.path().toUtf8());
        apps = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
               QStringLiteral("/applications");
        ASSERT_TRUE(fixtures::writeFile(apps + "/org.example.Editor.desktop",
                                        "[Desktop Entry]\nType=Application\nName=Éditeur\nExec=true\n"));
    }
    void TearDown() override {
        qputenv("XDG_DATA_DIRS", savedDataDirs);
        removeTestFolder(apps);
        opener.reset();
    }
    // A fake shortcuts tool, configured as the program's.
    void tool(const QByteArray& script) {
        const QString path = scripts.filePath(QStringLiteral("shortcuts-%1").arg(++tools));
        ASSERT_TRUE(fixtures::writeFile(path, "#!/bin/sh\n" + script));
        ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        defaults->setString(QString::fromLatin1(kShortcutsExecutableKey), path);
    }
    Json openApp(const char* json) {
        harness.backend.clearRequests();
        const BridgeTask task = MediaTaskHarness::task(json);
        runTask(handleOpenApp(task, MediaTaskHarness::args<BridgeTask::AppOpenArgs>(task), harness.api));
        return harness.onlyUpdate();
    }
    Json runShortcut(const char* json) {
        harness.backend.clearRequests();
        const BridgeTask task = MediaTaskHarness::task(json);
        runTask(
            handleRunShortcut(task, MediaTaskHarness::args<BridgeTask::ShortcutRunArgs>(task), harness.api));
        return harness.onlyUpdate();
    }
    Json listShortcuts() {
        harness.backend.clearRequests();
        runTask(
            handleListShortcuts(MediaTaskHarness::task(R"({"id":"L","kind":"shortcut_list"})"), harness.api));
        return harness.onlyUpdate();
    }

    std::shared_ptr<MemoryDefaultsStore> defaults;
    std::shared_ptr<RecordingDesktopOpener> opener;
    MediaTaskHarness harness;
    QTemporaryDir system;
    QTemporaryDir scripts;
    QByteArray savedDataDirs;
    QString apps;
    int tools = 0;
};

TEST_F(AppsAndShortcutsTasksTest, appOpenAnswersInOkNeverWithAnError) {
    EXPECT_EQ(openApp(R"({"id":"A","kind":"app_open","args":{"name":"Éditeur"}})").dump(),
              MediaTaskHarness::done(Json{{"ok", true}}).dump());
    EXPECT_EQ(opener->launchedApplications, QStringList{apps + "/org.example.Editor.desktop"});

    opener->launchFailure = QStringLiteral("L'application a refusé de démarrer.");
    EXPECT_EQ(
        openApp(R"({"id":"A","kind":"app_open","args":{"name":"org.example.Editor"}})").dump(),
        MediaTaskHarness::done(Json{{"ok", false}, {"error", "L'application a refusé de démarrer."}}).dump());

    // Unknown names and names that look like paths are not found; nothing is launched.
    opener->launchedApplications.clear();
    EXPECT_EQ(openApp(R"({"id":"A","kind":"app_open","args":{"name":"Tableur"}})").dump(),
              MediaTaskHarness::done(
                  Json{{"ok", false}, {"error", "Aucune application nommée 'Tableur' n'a été trouvée."}})
                  .dump());
    EXPECT_EQ(openApp(R"({"id":"A","kind":"app_open","args":{"name":"../applications/org.example.Editor"}})")
                  .dump(),
              MediaTaskHarness::done(
                  Json{{"ok", false},
                       {"error", "Aucune application nommée '../applications/org.example.Editor' "
                                 "n'a été trouvée."}})
                  .dump());
    EXPECT_EQ(openApp(R"({"id":"A","kind":"app_open","args":{"name":"Éditeur\u0000"}})")["result"]["ok"],
              false);
    EXPECT_TRUE(opener->launchedApplications.isEmpty());
}

TEST_F(AppsAndShortcutsTasksTest, shortcutRunPassesNameAndInputAndReportsTheOutput) {
    // The name arrives as one argument, blanks and quotes included; the input on stdin.
    tool("[ \"$1\" = run ] || exit 9\nprintf '%s|' \"$2\"; cat\n");
    EXPECT_EQ(
        runShortcut(
            R"({"id":"S","kind":"shortcut_run","args":{"name":"Dire \"oui\" à l'été","input":"  bonjour\n"}})")
            .dump(),
        MediaTaskHarness::done(Json{{"output", "Dire \"oui\" à l'été|  bonjour"}}).dump());
    // Nothing printed, or only blanks: a result without output.
    tool("printf ' \\n\\t\\n'\n");
    EXPECT_EQ(runShortcut(R"({"id":"S","kind":"shortcut_run","args":{"name":"vide"}})").dump(),
              MediaTaskHarness::done(Json::object()).dump());
    // A large output comes back whole.
    tool("head -c 2000000 /dev/zero | tr '\\0' z\n");
    EXPECT_EQ(runShortcut(R"({"id":"S","kind":"shortcut_run","args":{"name":"gros"}})")["result"]["output"]
                  .get<std::string>()
                  .size(),
              2000000u);
}

TEST_F(AppsAndShortcutsTasksTest, shortcutFailuresCarryTheirPrefix) {
    tool("exit 1\n");
    EXPECT_EQ(runShortcut(R"({"id":"S","kind":"shortcut_run","args":{"name":"x"}})").dump(),
              MediaTaskHarness::error(QStringLiteral("shortcut_run_failed: exit 1")).dump());
    tool("echo '  Raccourci introuvable  ' >&2; exit 4\n");
    EXPECT_EQ(runShortcut(R"({"id":"S","kind":"shortcut_run","args":{"name":"x"}})").dump(),
              MediaTaskHarness::error(QStringLiteral("shortcut_run_failed: Raccourci introuvable")).dump());
    EXPECT_EQ(listShortcuts().dump(),
              MediaTaskHarness::error(QStringLiteral("shortcut_list_failed: Raccourci introuvable")).dump());
    // Standard error is kept to 64 KiB, cut before a character that crosses the bound.
    tool("head -c 65535 /dev/zero | tr '\\0' x >&2; printf '\\303\\251 suite' >&2; exit 2\n");
    EXPECT_EQ(runShortcut(R"({"id":"S","kind":"shortcut_run","args":{"name":"x"}})").dump(),
              MediaTaskHarness::error(QStringLiteral("shortcut_run_failed: ") + QString(65535, 'x')).dump());
    defaults->setString(QString::fromLatin1(kShortcutsExecutableKey),
                        scripts.filePath(QStringLiteral("absent")));
    const std::string missing = listShortcuts()["error_message"].get<std::string>();
    EXPECT_EQ(missing.rfind("shortcut_list_failed: Impossible de lancer l'outil des raccourcis : ", 0), 0u)
        << missing;
}

TEST_F(AppsAndShortcutsTasksTest, shortcutListKeepsTheToolsOrder) {
    tool("[ \"$1\" = list ] || exit 9\nprintf 'Zèbre\\n\\n   Matin calme\\t\\n\\t\\nAlpha\\nZèbre\\n'\n");
    EXPECT_EQ(
        listShortcuts().dump(),
        MediaTaskHarness::done(Json{{"shortcuts", Json::array({"Zèbre", "Matin calme", "Alpha", "Zèbre"})}})
            .dump());
    // The built-in runner over the shortcuts folder, when nothing is configured.
    defaults->remove(QString::fromLatin1(kShortcutsExecutableKey));
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                           QStringLiteral("/ombrix/shortcuts");
    ASSERT_TRUE(fixtures::writeFile(folder + "/Bonjour", "#!/bin/sh\necho \"Bonjour $(cat)\"\n"));
    ASSERT_TRUE(QFile::setPermissions(folder + "/Bonjour", QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    EXPECT_EQ(listShortcuts().dump(),
              MediaTaskHarness::done(Json{{"shortcuts", Json::array({"Bonjour"})}}).dump());
    EXPECT_EQ(
        runShortcut(R"({"id":"S","kind":"shortcut_run","args":{"name":"Bonjour","input":"Anne"}})").dump(),
        MediaTaskHarness::done(Json{{"output", "Bonjour Anne"}}).dump());
    removeTestFolder(folder);
}

} // namespace

TEST_F(AppsAndShortcutsTasksTest, shortcutRunsAreBoundedAndEndWithTheSession) {
    // Past the output cap the run is ended and reported.
    tool("head -c 5000000 /dev/zero | tr '\\0' z\nsleep 1000\n");
    EXPECT_EQ(
        runShortcut(R"({"id":"S","kind":"shortcut_run","args":{"name":"bavard"}})").dump(),
        MediaTaskHarness::error(QStringLiteral("shortcut_run_failed: la sortie du raccourci dépasse 4 Mio"))
            .dump());

    // A shortcut that never ends, and a process it started, end when the user signs out.
    const QString pidFile = scripts.filePath(QStringLiteral("child.pid"));
    tool("sleep 1000 &\necho $! > '" + pidFile.toUtf8() + "'\nwait\n");
    runTask(AppSession::shared().setToken(QStringLiteral("tok")));
    ASSERT_TRUE(BridgeService::shared().isRunning());
    harness.backend.clearRequests();
    const BridgeTask task =
        MediaTaskHarness::task(R"({"id":"S","kind":"shortcut_run","args":{"name":"sans fin"}})");
    const auto args = MediaTaskHarness::args<BridgeTask::ShortcutRunArgs>(task);
    QCoro::Task<> running = handleRunShortcut(task, args, harness.api);
    ASSERT_TRUE(spinUntil([&] { return QFileInfo(pidFile).size() > 0; }));
    QFile file(pidFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray child = file.readAll().trimmed();
    runTask(AppSession::shared().setToken(QString())); // sign-out
    runTask(std::move(running));
    EXPECT_EQ(harness.onlyUpdate().dump(),
              MediaTaskHarness::error(
                  QStringLiteral("shortcut_run_failed: le raccourci a été interrompu (pont arrêté)"))
                  .dump());
    // The child is gone (or a zombie waiting for its reaper).
    QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(child)));
    const bool gone = spinUntil([&] {
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray fields = stat.readAll();
        stat.close();
        return fields.contains(") Z ");
    });
    EXPECT_TRUE(gone);
    AppSession::resetSharedForTesting();
    BridgeService::resetSharedForTesting();
}

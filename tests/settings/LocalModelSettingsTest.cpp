// The local model tab's logic: the model chooser's texts, the health checks
// against a scripted local server, server control and installation through a
// recording command runner, the catalogue's download and delete in a temporary
// Hugging Face cache, and the test inference.
#include "settings/LocalModelSettings.h"
#include "settings/LocalModelPicker.h"

#include "localllm/FakeCommandRunner.h"
#include "session/AppSession.h"
#include "support/FakeLocalModelServer.h"
#include "support/RecordingDesktopOpener.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>

using Controller = LocalModelSettingsController;
using Health = LocalModelSettingsController::HealthStatus;

namespace {

LocalLLMModel model(const QString& id, const QString& name, double size, double ram, int speed) {
    LocalLLMModel m;
    m.id = id;
    m.displayName = name;
    m.sizeGB = size;
    m.ramGB = ram;
    m.approxTokensPerSec = speed;
    m.description = name + " en bref.";
    return m;
}

void writeBytes(const QString& path, qint64 size) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(size, 'w'));
}

QString cacheFolder(const QString& id) {
    QString name = id;
    name.replace('/', "--");
    return LocalLLMCatalog::hubPath() + "/models--" + name;
}

// Puts a model with one weights file of `bytes` bytes (and a config) into the cache.
void cacheModel(const QString& id, qint64 bytes) {
    const QString folder = cacheFolder(id);
    writeBytes(folder + "/blobs/weights", bytes);
    QDir().mkpath(folder + "/snapshots/rev");
    std::filesystem::create_symlink("../../blobs/weights",
                                    (folder + "/snapshots/rev/model.safetensors").toStdString());
    std::filesystem::create_symlink("../../blobs/weights",
                                    (folder + "/snapshots/rev/config.json").toStdString());
}

class LocalModelTab : public ::testing::Test {
protected:
    void SetUp() override {
        installMemoryDefaults();
        AppSession::resetSharedForTesting();
        removeTestFolder(QDir::homePath() + "/.cache");
        removeTestFolder(QDir::homePath() + "/.config/systemd");
        removeTestFolder(QDir::homePath() + "/.ombrix-local-llm");
        runner = std::make_shared<FakeCommandRunner>();
        LocalLLMInstaller::setCommandRunner(runner);
        session().setLocalLLMEndpoint(server.endpoint());
        session().setLocalLLMEnabled(true);
        controller = std::make_unique<Controller>();
        Controller::Timing timing;
        timing.pollPauseMs = 20;
        timing.healthTimeoutMs = 2000;
        timing.testTimeoutMs = 2000;
        timing.restartPollSeconds = 1;
        timing.applyPollSeconds = 1;
        timing.installPollSeconds = 1;
        controller->setTiming(timing);
        controller->setMachineRamGB(16);
    }
    void TearDown() override {
        controller.reset();
        LocalLLMInstaller::setCommandRunner(nullptr);
        AppSession::resetSharedForTesting();
    }
    static AppSession& session() { return AppSession::shared(); }

    FakeLocalModelServer server;
    std::shared_ptr<FakeCommandRunner> runner;
    std::unique_ptr<Controller> controller;
};

} // namespace

TEST(ModelCatalogPicker, LabelsTitlesAndTheRamRule) {
    const QList<LocalLLMModel> models{model("org/small", "Petit", 2.25, 3.0, 55),
                                      model("org/big", "Grand", 8.3, 12.0, 20)};
    const QSet<QString> downloaded{"org/small"};
    EXPECT_EQ(ModelCatalogPicker::factsLine(models[0]), "2.3 GB · 55 tok/s · 3 GB RAM");
    EXPECT_EQ(ModelCatalogPicker::rowLabel(models[0], downloaded, 16),
              "Petit · 2.3 GB · 55 tok/s · 3 GB RAM · téléchargé");
    // Exactly 4 GiB of headroom is enough; any less warns.
    EXPECT_EQ(ModelCatalogPicker::rowLabel(models[1], downloaded, 16),
              "Grand · 8.3 GB · 20 tok/s · 12 GB RAM");
    EXPECT_EQ(ModelCatalogPicker::rowLabel(models[1], downloaded, 15.99),
              "Grand · 8.3 GB · 20 tok/s · 12 GB RAM · ⚠︎ dépasse la RAM");

    struct Case {
        QString selection;
        QString title;
        QString subtitle;
        QString afterCustomEntry;
    };
    const QList<Case> cases{
        {"org/small", "Petit", "2.3 GB · 55 tok/s · 3 GB RAM · téléchargé", ""},
        {"org/big", "Grand", "8.3 GB · 20 tok/s · 12 GB RAM", ""},
        {"ORG/small", "Personnalisé", "ORG/small", "ORG/small"},
        {"", "Choisir un modèle", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ModelCatalogPicker::currentModelTitle(c.selection, models), c.title)
            << c.selection.toStdString();
        EXPECT_EQ(ModelCatalogPicker::currentModelSubtitle(c.selection, models, downloaded), c.subtitle);
        EXPECT_EQ(ModelCatalogPicker::customEntrySelection(c.selection, models), c.afterCustomEntry);
    }
    EXPECT_EQ(ModelCatalogPicker::currentModelTitle("org/small", {}), "Personnalisé"); // empty catalogue

    QTemporaryDir dir;
    QFile meminfo(dir.filePath("meminfo"));
    ASSERT_TRUE(meminfo.open(QIODevice::WriteOnly));
    meminfo.write("MemTotal:       16777216 kB\nMemFree:  1 kB\n");
    meminfo.close();
    EXPECT_DOUBLE_EQ(ModelCatalogPicker::machineRamGB(meminfo.fileName()), 16.0);
    EXPECT_EQ(ModelCatalogPicker::machineRamGB(dir.filePath("absent")), 0.0);
}

TEST_F(LocalModelTab, HealthChecksReadTheServersAnswer) {
    struct Case {
        QString name;
        std::function<void()> arrange;
        Health expected;
        QStringList models;
    };
    const QList<Case> cases{
        {"mixed data",
         [&] {
             server.setModelsResponse(ScriptedResponse::json(
                 200, R"({"data":[{"id":"a"},{"id":5},{"name":"x"},"s",{"id":"b"}]})"));
         },
         Health::ok(),
         {"a", "b"}},
        {"not found",
         [&] { server.setModelsResponse(ScriptedResponse::text(404, "no")); },
         Health::down("HTTP 404"),
         {}},
        {"not JSON",
         [&] { server.setModelsResponse(ScriptedResponse::text(200, "<html>")); },
         Health::ok(),
         {}},
        {"invalid URL",
         [&] { session().setLocalLLMEndpoint("pas une url"); },
         Health::down("URL invalide"),
         {}},
        {"oversized body",
         [&] {
             server.setModelsResponse(ScriptedResponse::json(
                 200, "{\"data\":[" + QByteArray(Controller::kMaxAnswerBytes + 10, ' ') + "]}"));
         },
         Health::ok(),
         {}},
    };
    for (const Case& c : cases) {
        session().setLocalLLMEndpoint(server.endpoint());
        c.arrange();
        runTask(controller->checkHealth());
        EXPECT_EQ(controller->healthStatus(), c.expected) << c.name.toStdString();
        EXPECT_EQ(controller->availableModels(), c.models) << c.name.toStdString();
    }
    EXPECT_EQ(controller->healthLabel(), "Serveur en ligne");

    session().setLocalLLMEndpoint(FakeLocalModelServer::closedEndpoint());
    runTask(controller->checkHealth());
    EXPECT_EQ(controller->healthStatus().kind(), Health::Kind::Down);
    EXPECT_FALSE(controller->healthStatus().message().isEmpty());
    EXPECT_TRUE(controller->healthLabel().startsWith("Hors ligne : "));

    server.clearRequests();
    session().setLocalLLMEndpoint(server.endpoint() + "/");
    runTask(controller->checkHealth());
    ASSERT_EQ(server.requestCount(), 1);
    EXPECT_EQ(server.lastRequest().path, "/v1//models");
}

TEST_F(LocalModelTab, OnlyTheLatestCheckPublishesAndHidingPublishesNothing) {
    auto slow = ScriptedResponse::text(503, "lent");
    slow.holdMs = 400;
    server.setModelsResponse(slow);
    auto first = controller->checkHealth();
    ASSERT_TRUE(server.waitForRequests(1));
    server.setModels({"m"});
    runTask(controller->checkHealth());
    EXPECT_EQ(controller->healthStatus(), Health::ok());
    spinFor(600); // the first answer would have arrived by now
    EXPECT_EQ(controller->healthStatus(), Health::ok());
    EXPECT_EQ(controller->availableModels(), QStringList{"m"});

    server.setModelsResponse(slow);
    server.clearRequests();
    auto shown = controller->checkHealth();
    ASSERT_TRUE(server.waitForRequests(1));
    controller->onHidden();
    spinFor(600);
    EXPECT_NE(controller->healthStatus().kind(), Health::Kind::Down)
        << controller->healthLabel().toStdString();
}

TEST_F(LocalModelTab, PollingStopsWhenTheServerAnswers) {
    int asked = 0;
    server.setFallback([&](const RecordedRequest&) {
        return ++asked < 3 ? ScriptedResponse::text(503, "") : ScriptedResponse::json(200, R"({"data":[]})");
    });
    server.setModelsResponse(ScriptedResponse{}); // overridden below by the fallback route
    server.route("GET", "/v1/models", [&](const RecordedRequest& r) {
        Q_UNUSED(r);
        return ++asked < 3 ? ScriptedResponse::text(503, "") : ScriptedResponse::json(200, R"({"data":[]})");
    });
    runTask(controller->pollHealthUntilUp(5));
    EXPECT_EQ(controller->healthStatus(), Health::ok());
    EXPECT_EQ(asked, 3);

    // A server that never comes up: the poll ends at its deadline with the last result.
    server.setModelsResponse(ScriptedResponse::text(500, ""));
    runTask(controller->pollHealthUntilUp(0));
    EXPECT_EQ(controller->healthStatus(), Health::checking()); // no check starts after the deadline
    runTask(controller->pollHealthUntilUp(1));
    EXPECT_EQ(controller->healthStatus(), Health::down("HTTP 500"));
}

TEST_F(LocalModelTab, ServerOperationsRunTheirCommandsAndExcludeOneAnother) {
    server.setModels({"org/m"});
    session().setLocalLLMModel("org/m");
    runTask(controller->restartServer());
    EXPECT_FALSE(controller->isRestarting());
    EXPECT_TRUE(QFileInfo::exists(LocalLLMInstaller::unitFilePath()));
    EXPECT_EQ(controller->installLog().first(), "▶︎ mise à jour du LaunchAgent (modèle org/m)");
    EXPECT_TRUE(controller->installLog().contains("✓ Modèle appliqué."));
    const QStringList systemctl = runner->lines();
    ASSERT_FALSE(systemctl.isEmpty());
    EXPECT_TRUE(systemctl.first().startsWith("/usr/bin/systemctl --user stop"));
    EXPECT_EQ(controller->healthStatus(), Health::ok());

    // An apply clears the log first; a restart appends to it.
    runTask(controller->applyModel());
    EXPECT_EQ(controller->installLog().first(), "▶︎ mise à jour du LaunchAgent (modèle org/m)");
    const qsizetype afterApply = controller->installLog().size();
    runTask(controller->restartServer());
    EXPECT_GT(controller->installLog().size(), afterApply);

    // While one operation runs, the others are refused.
    runner->commands.clear();
    runner->hold = true;
    auto restart = controller->restartServer();
    EXPECT_TRUE(spinUntil([&] { return !runner->commands.isEmpty(); }));
    EXPECT_FALSE(controller->canApply());
    EXPECT_FALSE(controller->canInstall());
    runTask(controller->applyModel());
    runTask(controller->runInstall());
    EXPECT_FALSE(controller->isApplying());
    EXPECT_FALSE(controller->isInstalling());
    runner->hold = false;
    EXPECT_TRUE(spinUntil([&] { return !controller->isRestarting(); }));

    // A failing reload ends in the error text and clears the flag.
    runner->script = [](const QString&, const QStringList& arguments) {
        FakeCommandRunner::Reply reply;
        if (arguments.contains("daemon-reload"))
            reply.exitCode = 1;
        return reply;
    };
    runTask(controller->restartServer());
    EXPECT_FALSE(controller->isRestarting());
    ASSERT_TRUE(controller->installError().has_value());
    EXPECT_TRUE(controller->installError()->startsWith("Échec (1) : /usr/bin/systemctl"));
}

TEST_F(LocalModelTab, InstallationKeepsItsLast200Lines) {
    server.setModels({"m"});
    QDir().mkpath(QDir::homePath() + "/.local/bin");
    for (const QString& tool : {QString(".local/bin/uv"), QString(".local/bin/mlx_lm.server")}) {
        QFile file(QDir::homePath() + "/" + tool);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    runner->script = [](const QString&, const QStringList& arguments) {
        FakeCommandRunner::Reply reply;
        if (arguments.contains("daemon-reload"))
            for (int i = 1; i <= 250; ++i)
                reply.lines << QString("ligne %1").arg(i);
        return reply;
    };
    // Everything the installation says, as the installer hands it out.
    QStringList all;
    runTask(LocalLLMInstaller::install(QString(), [&](const QString& line) { all << line; }));
    ASSERT_GT(all.size(), 250);

    runTask(controller->runInstall());
    EXPECT_FALSE(controller->isInstalling());
    EXPECT_FALSE(controller->installError().has_value());
    EXPECT_EQ(controller->installLog(), all.mid(all.size() - Controller::kInstallLogLines));
    EXPECT_EQ(controller->installStatus().components.size(), 4);
}

TEST(ProgressLog, KeepsItsNewestLinesWithinItsLinesAndBytes) {
    EXPECT_EQ(ProgressLog::utf8Size(QString("aé€😀")), QString("aé€😀").toUtf8().size());
    ProgressLog log;
    // Lines: the oldest go first.
    for (int i = 1; i <= 5; ++i)
        log.append(QString("ligne %1").arg(i), 3);
    EXPECT_EQ(log.lines(), (QStringList{"ligne 3", "ligne 4", "ligne 5"}));
    EXPECT_EQ(log.appended(), 5u);
    const quint64 epoch = log.epoch();

    // Bytes, counted as UTF-8: three lines of 100 KiB do not fit in 256 KiB.
    const QString wide = QString(50 * 1024, QChar(0xE9)); // "é": 2 bytes each
    for (int i = 0; i < 3; ++i)
        log.append(wide, 1000);
    EXPECT_EQ(log.lines(), (QStringList{wide, wide}));
    EXPECT_EQ(log.bytes(), 200 * 1024);

    // A line longer than the whole log keeps its end, cut before a whole character
    // (an emoji's pair, an accent with its letter), marked as cut.
    const QString end = "fin de la ligne";
    // A run of flags pairs its regional indicators from the run's start: here the cut
    // falls between the two halves of a flag.
    for (const QString& filler : {QString("😀"), QString("e\u0301"), QString("🇫🇷")}) {
        SCOPED_TRACE(filler.toStdString());
        const QString huge =
            filler.repeated(ProgressLog::kMaxBytes / ProgressLog::utf8Size(filler) + 7) + end;
        log.append(huge, 1000);
        const QString kept = log.lines().last();
        EXPECT_EQ(log.lines().size(), 1);
        EXPECT_LE(log.bytes(), ProgressLog::kMaxBytes);
        EXPECT_GT(log.bytes(), ProgressLog::kMaxBytes - 8);
        EXPECT_TRUE(kept.startsWith("…" + filler));
        EXPECT_TRUE(kept.endsWith(end));
        EXPECT_TRUE(huge.endsWith(kept.mid(1)));
    }
    log.clear();
    EXPECT_TRUE(log.isEmpty());
    EXPECT_EQ(log.bytes(), 0);
    EXPECT_EQ(log.appended(), 0u);
    EXPECT_NE(log.epoch(), epoch);
}

TEST_F(LocalModelTab, DownloadsOneAtATimeAndReportsFailures) {
    QDir().mkpath(QDir::homePath() + "/.local/bin");
    QFile uv(QDir::homePath() + "/.local/bin/uv");
    ASSERT_TRUE(uv.open(QIODevice::WriteOnly));
    const LocalLLMModel good = model("org/good", "Bon", 1, 2, 10);
    const LocalLLMModel bad = model("org/bad", "Mauvais", 1, 2, 10);
    runner->script = [&](const QString&, const QStringList& arguments) {
        FakeCommandRunner::Reply reply;
        reply.lines = {"Fetching…"};
        if (arguments.contains("org/bad"))
            reply.exitCode = 3;
        else
            reply.effect = [] { cacheModel("org/good", 10); };
        return reply;
    };
    runner->hold = true;
    auto running = controller->download(good);
    EXPECT_EQ(controller->downloadingId(), "org/good");
    EXPECT_EQ(controller->rowControl(good), Controller::RowControl::Downloading);
    EXPECT_FALSE(controller->rowActionsEnabled());
    runTask(controller->download(bad)); // refused while one runs
    runner->hold = false;
    EXPECT_TRUE(spinUntil([&] { return !controller->downloadingId(); }));
    EXPECT_EQ(controller->downloadedModelIds(), QSet<QString>{"org/good"});
    EXPECT_EQ(controller->rowControl(good), Controller::RowControl::Downloaded);
    EXPECT_EQ(runner->commands.size(), 1);

    runTask(controller->download(bad));
    ASSERT_TRUE(controller->installError().has_value());
    EXPECT_TRUE(controller->installError()->startsWith("Échec (3) : "));
    EXPECT_EQ(controller->catalogErrorLine(), "✗ " + *controller->installError());
}

TEST_F(LocalModelTab, APartialDownloadIsNotShownAsDownloaded) {
    QDir().mkpath(QDir::homePath() + "/.local/bin");
    QFile uv(QDir::homePath() + "/.local/bin/uv");
    ASSERT_TRUE(uv.open(QIODevice::WriteOnly));
    const LocalLLMModel partial = model("org/partial", "Partiel", 1, 2, 10);
    // An interrupted download: a config, one shard of two, a blob still being written.
    const QString snapshot = cacheFolder("org/partial") + "/snapshots/rev";
    writeBytes(snapshot + "/config.json", 2);
    writeBytes(snapshot + "/model-00001-of-00002.safetensors", 10);
    QFile index(snapshot + "/model.safetensors.index.json");
    ASSERT_TRUE(index.open(QIODevice::WriteOnly));
    index.write(
        R"({"weight_map":{"a":"model-00001-of-00002.safetensors","b":"model-00002-of-00002.safetensors"}})");
    index.close();
    writeBytes(cacheFolder("org/partial") + "/blobs/feed.incomplete", 10);

    runTask(controller->onShown());
    EXPECT_FALSE(controller->downloadedModelIds().contains("org/partial"));
    EXPECT_EQ(controller->rowControl(partial), Controller::RowControl::DownloadButton);

    // While it downloads again, the row shows the download, also after the tab is shown again.
    runner->script = [&](const QString&, const QStringList&) {
        FakeCommandRunner::Reply reply;
        reply.lines = {"Fetching 4 files: 50%"};
        reply.exitCode = 1; // interrupted again
        return reply;
    };
    runner->hold = true;
    auto downloading = controller->download(partial);
    controller->onHidden();
    runTask(controller->onShown());
    EXPECT_EQ(controller->rowControl(partial), Controller::RowControl::Downloading);
    runner->hold = false;
    ASSERT_TRUE(spinUntil([&] { return !controller->downloadingId(); }));
    EXPECT_EQ(controller->rowControl(partial), Controller::RowControl::DownloadButton);
    EXPECT_TRUE(controller->installError().has_value());

    // Once whole, it counts as downloaded.
    QFile::remove(cacheFolder("org/partial") + "/blobs/feed.incomplete");
    writeBytes(snapshot + "/model-00002-of-00002.safetensors", 10);
    runTask(controller->onShown());
    EXPECT_EQ(controller->rowControl(partial), Controller::RowControl::Downloaded);
}

TEST_F(LocalModelTab, DeletingFreesTheCacheWithoutFollowingLinks) {
    cacheModel("org/a", 1'499'999);
    cacheModel("org/b", 1'500'001);
    // A link out of the model's folder is neither measured nor removed through.
    writeBytes(QDir::homePath() + "/keep/precious.bin", 5'000'000);
    std::filesystem::create_directory_symlink(
        (QDir::homePath() + "/keep").toStdString(),
        (cacheFolder("org/a") + "/snapshots/rev/outside").toStdString());
    session().setLocalLLMModel("org/a");
    session().setSelectedLocalModel("org/a");

    controller->requestDelete(model("org/a", "Modèle A", 8.25, 1, 1));
    EXPECT_EQ(controller->deleteDialogTitle(), "Supprimer Modèle A ?");
    EXPECT_EQ(controller->deleteButtonTitle(), "Supprimer 8.3 GB");
    runTask(controller->confirmDelete());
    EXPECT_FALSE(controller->pendingDeleteModel().has_value());
    EXPECT_EQ(controller->installLog(), QStringList{"✓ Modèle A supprimé (1 MB libérés)"});
    EXPECT_TRUE(QFileInfo::exists(QDir::homePath() + "/keep/precious.bin"));
    EXPECT_FALSE(QFileInfo::exists(cacheFolder("org/a")));
    EXPECT_EQ(session().localLLMModel(), "");
    EXPECT_EQ(session().selectedLocalModel(), "");

    session().setLocalLLMModel("org/other");
    runTask(controller->deleteModel(model("org/b", "Modèle B", 1, 1, 1)));
    EXPECT_EQ(controller->installLog(), QStringList{"✓ Modèle B supprimé (2 MB libérés)"});
    EXPECT_EQ(session().localLLMModel(), "org/other");
    EXPECT_TRUE(controller->downloadedModelIds().isEmpty());

    for (const QString& hostile : {QString("-rf"), QString("../x"), QString("a/b/c"), QString("org/-x"),
                                   QString("org/.."), QString("org/a b")}) {
        runTask(controller->deleteModel(model(hostile, "X", 1, 1, 1)));
        ASSERT_TRUE(controller->installError().has_value()) << hostile.toStdString();
        EXPECT_TRUE(
            controller->installError()->startsWith("Suppression échouée : Identifiant de modèle refusé"));
        runTask(controller->download(model(hostile, "X", 1, 1, 1)));
        EXPECT_TRUE(controller->installError()->startsWith("Identifiant de modèle refusé"));
    }
    EXPECT_TRUE(runner->commands.isEmpty());
    EXPECT_TRUE(LocalLLMCatalog::isSafeModelId("mlx-community/Qwen3-14B-4bit"));
}

TEST_F(LocalModelTab, TestInferenceShowsTheReplyOrTheFailure) {
    session().setLocalLLMModel("org/m");
    struct Case {
        QString name;
        ScriptedResponse response;
        QString output; // the text after "✓ <n> ms"
        QString error;
    };
    QByteArray longBody(299, 'e');
    longBody += "é"; // two bytes across the 300th
    longBody += QByteArray(99, 'e');
    QByteArray accentBody(298, 'e');
    accentBody += "e\u0301"; // a letter and its accent across the 300th byte
    accentBody += QByteArray(99, 'e');
    QByteArray flagBody(290, 'f');
    flagBody += QStringLiteral("🏴󠁧󠁢󠁥󠁮󠁧󠁿").toUtf8(); // a 28-byte tag sequence
    QByteArray brokenBody(10, 'b');
    brokenBody += "\xFF";
    brokenBody += QByteArray(300, 'b');
    const QList<Case> cases{
        {"content", ScriptedResponse::json(200, R"({"choices":[{"message":{"content":"  Bonjour !\n"}}]})"),
         " — Bonjour !", ""},
        {"no choices", ScriptedResponse::json(200, R"({"choices":[]})"), " (réponse non décodée)", ""},
        {"not JSON", ScriptedResponse::text(200, "oui"), " (réponse non décodée)", ""},
        {"404", ScriptedResponse::text(404, "Not here"), "", "HTTP 404 : Not here"},
        {"500 cut in a character", ScriptedResponse::text(500, longBody), "",
         "HTTP 500 : " + QString(299, 'e')},
        {"500 cut in an accented letter", ScriptedResponse::text(500, accentBody), "",
         "HTTP 500 : " + QString(298, 'e')},
        {"500 cut in a flag", ScriptedResponse::text(500, flagBody), "", "HTTP 500 : " + QString(290, 'f')},
        {"500 not UTF-8", ScriptedResponse::text(500, brokenBody), "", "HTTP 500 : "},
        {"500 long", ScriptedResponse::text(500, QByteArray(400, 'x')), "",
         "HTTP 500 : " + QString(300, 'x')},
    };
    for (const Case& c : cases) {
        server.setChatResponse(c.response);
        runTask(controller->runTest());
        EXPECT_FALSE(controller->isTesting());
        if (c.error.isEmpty()) {
            ASSERT_TRUE(controller->testOutput().has_value()) << c.name.toStdString();
            EXPECT_TRUE(controller->testOutput()->startsWith("✓ ")) << c.name.toStdString();
            EXPECT_TRUE(controller->testOutput()->contains(QRegularExpression("^✓ \\d+ ms")))
                << c.name.toStdString();
            EXPECT_TRUE(controller->testOutput()->endsWith(c.output)) << c.name.toStdString();
            EXPECT_FALSE(controller->testError().has_value());
        } else {
            EXPECT_EQ(controller->testError(), c.error) << c.name.toStdString();
            EXPECT_FALSE(controller->testOutput().has_value());
        }
    }
    const Json body = server.lastChatBody();
    EXPECT_EQ(body.at("model"), "org/m");
    EXPECT_EQ(body.at("max_tokens"), 64);
    EXPECT_EQ(body.at("messages").at(1).at("content"), "Dis bonjour en français. /no_think");

    session().setLocalLLMEndpoint("::");
    runTask(controller->runTest());
    EXPECT_EQ(controller->testError(), "URL invalide");
    session().setLocalLLMEnabled(false);
    EXPECT_FALSE(controller->canTest());
}

TEST_F(LocalModelTab, LogsOpenTheFileOrRevealItsFolder) {
    auto opener = RecordingDesktopOpener::install();
    QStringList revealed;
    controller->setFolderRevealer([&](const QString& folder) { revealed << folder; });
    runTask(controller->openLogs());
    EXPECT_EQ(revealed, QStringList{QDir::homePath() + "/.ombrix-local-llm"});
    EXPECT_TRUE(opener->openedDocuments.isEmpty());
    writeBytes(QDir::homePath() + "/.ombrix-local-llm/server.log", 3);
    runTask(controller->openLogs());
    EXPECT_EQ(opener->openedDocuments, QStringList{QDir::homePath() + "/.ombrix-local-llm/server.log"});
}

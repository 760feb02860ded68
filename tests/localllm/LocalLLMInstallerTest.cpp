// The installer's command sequences and log lines, through a recording runner:
// nothing here runs brew, uv or systemctl.
#include "localllm/LocalLLMInstaller.h"

#include "FakeCommandRunner.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace LocalLLMInstaller;

namespace {

const QString kStarted = QStringLiteral("\u25B6\uFE0E ");
const QString kFound = QStringLiteral("\u2713 ");
const QString kSystemctl = QStringLiteral("/usr/bin/systemctl --user ");
const QString kUnit = QStringLiteral("com.ombrix.local-llm.service");

QString home() {
    return QDir::homePath();
}

void touch(const QString& relative) {
    const QString path = home() + '/' + relative;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

QString readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool systemHasAny(const QStringList& paths) {
    for (const QString& path : paths)
        if (!path.startsWith(home()) && QFileInfo::exists(path))
            return true;
    return false;
}

// A uv tool folder for mlx-lm whose interpreter is a script: it imports mlx.core
// (exits 0) or fails as an MLX without its compute backend does.
void fakeToolPython(bool imports) {
    const QString path = mlxToolPython();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(
        imports ? "#!/bin/sh\nexit 0\n"
                : "#!/bin/sh\necho 'ImportError: libmlx.so: cannot open shared object file' >&2\nexit 1\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void writeText(const QString& path, const QByteArray& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

QStringList reloadCommands() {
    return {kSystemctl + "stop " + kUnit, kSystemctl + "daemon-reload", kSystemctl + "enable --now " + kUnit,
            kSystemctl + "restart " + kUnit};
}

InstallError installError(const std::exception_ptr& error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const InstallError& installError) {
        return installError;
    } catch (...) {
    }
    ADD_FAILURE() << "expected an InstallError, got: " << errorText(error).toStdString();
    return InstallError::alreadyRunning();
}

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* folder : {".local", ".linuxbrew", ".config/systemd", ".ombrix-local-llm"})
            removeTestFolder(home() + '/' + folder);
        removeTestFolder(QFileInfo(mlxToolPython()).absolutePath() + "/..");
        // No NVIDIA driver on the test machine, whatever the real one has.
        setNvidiaVersionPath(home() + "/no-nvidia-driver");
        if (systemHasAny(brewCandidates()) || systemHasAny(uvCandidates()))
            GTEST_SKIP() << "this machine has Homebrew or uv installed system-wide";
        runner = std::make_shared<FakeCommandRunner>();
        setCommandRunner(runner);
    }
    void TearDown() override {
        setCommandRunner(nullptr);
        setNvidiaVersionPath(QStringLiteral("/proc/driver/nvidia/version"));
    }

    QStringList install() {
        QStringList log;
        error = runTaskCatching(LocalLLMInstaller::install(QStringLiteral("Qwen/Qwen3-14B-MLX-4bit"),
                                                           [&](const QString& line) { log.append(line); }));
        return log;
    }

    std::shared_ptr<FakeCommandRunner> runner;
    std::exception_ptr error;
};

} // namespace

TEST_F(InstallerTest, EverythingPresentWritesTheUnitAndReloadsIt) {
    touch(".local/bin/uv");
    touch(".local/bin/mlx_lm.server");
    fakeToolPython(true);
    runner->script = [](const QString&, const QStringList& arguments) {
        FakeCommandRunner::Reply reply;
        if (arguments.contains("enable"))
            reply.lines = {"Created symlink default.target.wants/com.ombrix.local-llm.service."};
        return reply;
    };

    const QStringList log = install();

    ASSERT_FALSE(error) << errorText(error).toStdString();
    EXPECT_EQ(log,
              QStringList({kFound + "uv déjà présent", kFound + "mlx-lm déjà installé",
                           kStarted + "écriture du LaunchAgent", kStarted + "(re)chargement du LaunchAgent",
                           "Created symlink default.target.wants/com.ombrix.local-llm.service.",
                           kFound + "Installation terminée. Le serveur démarre en arrière-plan."}));
    // No Homebrew on this machine, and none needed: uv is already there.
    EXPECT_EQ(runner->lines(), reloadCommands());
    EXPECT_GE(runner->commands[1].atMs - runner->commands[0].atMs, 450) << "a pause after stopping";
    EXPECT_EQ(readFile(unitFilePath()), unitFileText(home()));
    EXPECT_TRUE(QFileInfo(home() + "/.ombrix-local-llm").isDir());
    EXPECT_EQ(unitFilePath(), home() + "/.config/systemd/user/com.ombrix.local-llm.service");
}

TEST_F(InstallerTest, MissingUvIsInstalledWithHomebrewBeforeMlx) {
    touch(".linuxbrew/bin/brew");
    const QString brew = home() + "/.linuxbrew/bin/brew";
    const QString uv = home() + "/.linuxbrew/bin/uv";
    runner->script = [&](const QString& program, const QStringList&) {
        FakeCommandRunner::Reply reply;
        if (program == brew) {
            reply.lines = {"==> Fetching uv", "==> Pouring uv"};
            reply.effect = [] { touch(".linuxbrew/bin/uv"); };
        } else if (program == uv) {
            reply.lines = {"Installed 2 executables: mlx_lm.generate, mlx_lm.server"};
        }
        return reply;
    };

    const QStringList log = install();

    ASSERT_FALSE(error) << errorText(error).toStdString();
    EXPECT_EQ(log.mid(0, 7), QStringList({kStarted + "brew install uv", "==> Fetching uv", "==> Pouring uv",
                                          kStarted + "backend MLX : mlx[cpu] — aucun pilote NVIDIA trouvé (" +
                                              home() + "/no-nvidia-driver absent) : calcul sur le processeur",
                                          kStarted + "uv tool install --python 3.11 mlx-lm --with mlx[cpu]",
                                          "Installed 2 executables: mlx_lm.generate, mlx_lm.server",
                                          kStarted + "écriture du LaunchAgent"}));
    EXPECT_EQ(runner->lines(),
              QStringList({brew + " install uv", uv + " tool install --python 3.11 mlx-lm --with mlx[cpu]"}) +
                  reloadCommands());
}

TEST_F(InstallerTest, FailuresStopTheInstallationAtTheirStep) {
    // No Homebrew and no uv: nothing is run.
    QStringList log = install();
    EXPECT_EQ(installError(error).kind(), InstallError::Kind::brewMissing);
    EXPECT_EQ(errorText(error), "Homebrew est requis. Installe-le depuis https://brew.sh puis relance.");
    EXPECT_TRUE(log.isEmpty());
    EXPECT_TRUE(runner->commands.isEmpty());

    // Homebrew exits with 1: the mlx step and the unit never happen.
    touch(".linuxbrew/bin/brew");
    runner->script = [](const QString&, const QStringList&) {
        return FakeCommandRunner::Reply{{"Error: uv: no bottle available!"}, 1, false, {}};
    };
    log = install();
    EXPECT_EQ(installError(error).kind(), InstallError::Kind::commandFailed);
    EXPECT_EQ(errorText(error), "Échec (1) : " + home() + "/.linuxbrew/bin/brew install uv");
    EXPECT_EQ(log, QStringList({kStarted + "brew install uv", "Error: uv: no bottle available!"}));
    EXPECT_EQ(runner->commands.size(), 1);
    EXPECT_FALSE(QFileInfo::exists(unitFilePath()));

    // Homebrew succeeds but uv is still nowhere: a clear error, not an empty command.
    runner->commands.clear();
    runner->script = nullptr;
    log = install();
    EXPECT_EQ(installError(error).kind(), InstallError::Kind::uvMissing);
    EXPECT_EQ(errorText(error), "uv reste introuvable après son installation. Installe-le puis relance.");
    EXPECT_EQ(runner->lines(), QStringList({home() + "/.linuxbrew/bin/brew install uv"}));
    EXPECT_EQ(log, QStringList({kStarted + "brew install uv"}));
}

TEST_F(InstallerTest, ReloadToleratesAServiceNotYetLoadedButNotAFailedEnable) {
    // First load: stopping fails (exit 5, then a stop that cannot even start); the reload goes on.
    for (bool launchFails : {false, true}) {
        runner->commands.clear();
        runner->script = [launchFails](const QString&, const QStringList& arguments) {
            FakeCommandRunner::Reply reply;
            if (arguments.contains("stop") || arguments.contains("restart")) {
                reply.lines = {"Failed to stop com.ombrix.local-llm.service: Unit not loaded."};
                reply.exitCode = 5;
                reply.launchFails = launchFails;
            }
            return reply;
        };
        QStringList log;
        const auto error = runTaskCatching(reloadLaunchAgent([&](const QString& line) { log.append(line); }));
        EXPECT_FALSE(error) << errorText(error).toStdString();
        EXPECT_EQ(runner->lines(), reloadCommands());
        if (!launchFails) {
            EXPECT_EQ(log.size(), 2);
        }
    }

    // daemon-reload or enable failing stops the reload, and restart is not run.
    for (const QString& failing : {QStringLiteral("daemon-reload"), QStringLiteral("enable")}) {
        runner->commands.clear();
        runner->script = [failing](const QString&, const QStringList& arguments) {
            FakeCommandRunner::Reply reply;
            if (arguments.contains(failing))
                reply.exitCode = 1;
            return reply;
        };
        const auto error = runTaskCatching(reloadLaunchAgent(nullptr));
        EXPECT_EQ(installError(error).kind(), InstallError::Kind::commandFailed);
        const QString failed =
            failing == "enable" ? kSystemctl + "enable --now " + kUnit : kSystemctl + failing;
        EXPECT_EQ(errorText(error), "Échec (1) : " + failed);
        EXPECT_EQ(runner->lines().last(), failed);
        EXPECT_FALSE(runner->lines().contains(kSystemctl + "restart " + kUnit));
    }
}

TEST_F(InstallerTest, FailingEnableFailsTheInstallation) {
    touch(".local/bin/uv");
    touch(".local/bin/mlx_lm.server");
    runner->script = [](const QString&, const QStringList& arguments) {
        return FakeCommandRunner::Reply{{}, arguments.contains("enable") ? 1 : 0, false, {}};
    };
    const QStringList log = install();
    EXPECT_EQ(errorText(error), "Échec (1) : " + kSystemctl + "enable --now " + kUnit);
    EXPECT_EQ(log.last(), kStarted + "(re)chargement du LaunchAgent");
    EXPECT_TRUE(QFileInfo::exists(unitFilePath())) << "lines and files already produced stay";
}

TEST_F(InstallerTest, ASecondInstallationIsRefusedWhileOneRuns) {
    touch(".local/bin/uv");
    touch(".local/bin/mlx_lm.server");
    runner->hold = true;
    bool firstDone = false;
    std::exception_ptr firstError;
    // The lambda is named: its coroutine reads the captures through the closure,
    // which must outlive the task.
    auto installFirst = [&]() -> QCoro::Task<> {
        try {
            co_await LocalLLMInstaller::install(QString(), nullptr);
        } catch (...) {
            firstError = std::current_exception();
        }
        firstDone = true;
    };
    QCoro::Task<> first = installFirst();
    ASSERT_TRUE(spinUntil([&] { return !runner->commands.isEmpty(); }));

    install();
    EXPECT_EQ(installError(error).kind(), InstallError::Kind::alreadyRunning);
    EXPECT_EQ(errorText(error), "Une installation est déjà en cours.");
    EXPECT_EQ(runner->commands.size(), 1);

    runner->hold = false;
    ASSERT_TRUE(spinUntil([&] { return firstDone; }));
    EXPECT_FALSE(firstError);

    // Once it has ended, installing again is allowed.
    install();
    EXPECT_FALSE(error) << errorText(error).toStdString();
}

TEST_F(InstallerTest, DetectReportsEachComponentWithItsPath) {
    const Status nothing{{{"brew", "Homebrew", false, std::nullopt},
                          {"uv", "uv", false, std::nullopt},
                          {"mlx", "mlx-lm", false, std::nullopt},
                          {"plist", "LaunchAgent", false, std::nullopt}}};
    EXPECT_EQ(detect(), nothing);

    touch(".linuxbrew/bin/brew");
    touch(".local/bin/uv");
    touch(".linuxbrew/bin/uv"); // probed after ~/.local/bin
    touch(".local/bin/mlx_lm.server");
    writeLaunchAgent();
    const Status everything{{{"brew", "Homebrew", true, home() + "/.linuxbrew/bin/brew"},
                             {"uv", "uv", true, home() + "/.local/bin/uv"},
                             {"mlx", "mlx-lm", true, home() + "/.local/bin/mlx_lm.server"},
                             {"plist", "LaunchAgent", true, unitFilePath()}}};
    EXPECT_EQ(detect(), everything);
}

TEST_F(InstallerTest, DownloadGeneratesOneTokenWithUv) {
    auto error = runTaskCatching(downloadModel("Qwen/Qwen3-14B-MLX-4bit", nullptr));
    EXPECT_EQ(installError(error).kind(), InstallError::Kind::brewMissing);
    EXPECT_TRUE(runner->commands.isEmpty());

    touch(".local/bin/uv");
    runner->script = [](const QString&, const QStringList&) {
        return FakeCommandRunner::Reply{{"Fetching 9 files: 100%", "hi"}, 0, false, {}};
    };
    QStringList log;
    error = runTaskCatching(
        downloadModel("Qwen/Qwen3-14B-MLX-4bit", [&](const QString& line) { log.append(line); }));
    EXPECT_FALSE(error);
    ASSERT_EQ(log.size(), 4);
    EXPECT_EQ(log.value(0), kStarted + "Téléchargement du modèle Qwen/Qwen3-14B-MLX-4bit");
    EXPECT_TRUE(log.value(1).startsWith(kStarted + "backend MLX : mlx[cpu] — "));
    EXPECT_EQ(log.mid(2), QStringList({"Fetching 9 files: 100%", "hi"}));
    EXPECT_EQ(runner->lines(),
              QStringList({home() + "/.local/bin/uv tool run --from mlx-lm --with mlx[cpu] mlx_lm.generate "
                                    "--model Qwen/Qwen3-14B-MLX-4bit --prompt hi --max-tokens 1"}));
}

TEST_F(InstallerTest, TheMlxBackendFollowsTheNvidiaDriverAndMustImport) {
    const QString driver = home() + "/nvidia-version";
    struct Case {
        const char* name;
        QByteArray file; // empty: no file
        QString requirement;
    };
    const QList<Case> cases = {
        {"no driver", QByteArray(), "mlx[cpu]"},
        {"CUDA 12 driver",
         "NVRM version: NVIDIA UNIX x86_64 Kernel Module  535.183.01  Sun May 12 19:39:15 UTC 2024\n"
         "GCC version:  gcc version 12.2.0 (Debian 12.2.0-14)\n",
         "mlx[cuda12]"},
        {"CUDA 13 open driver",
         "NVRM version: NVIDIA UNIX Open Kernel Module for x86_64  580.65.06  Release Build  (dvs-builder)\n",
         "mlx[cuda13]"},
        {"driver too old", "NVRM version: NVIDIA UNIX x86_64 Kernel Module  470.256.02  Thu May  2 2024\n",
         "mlx[cpu]"},
        {"unreadable version", "NVRM version: something else entirely\n", "mlx[cpu]"},
    };
    touch(".local/bin/uv");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(driver);
        if (!c.file.isEmpty())
            writeText(driver, c.file);
        setNvidiaVersionPath(driver);
        EXPECT_EQ(mlxBackend(driver).requirement, c.requirement);

        // Both the installation and the download ask uv for mlx-lm with that backend,
        // and the log says which one and why.
        runner->commands.clear();
        const QStringList log = install();
        ASSERT_FALSE(error) << errorText(error).toStdString();
        EXPECT_EQ(runner->commands.value(0).arguments,
                  QStringList({"tool", "install", "--python", "3.11", "mlx-lm", "--with", c.requirement}));
        EXPECT_EQ(log.value(1),
                  kStarted + "backend MLX : " + c.requirement + " — " + mlxBackend(driver).reason);
        runner->commands.clear();
        ASSERT_FALSE(runTaskCatching(downloadModel("org/model", nullptr)));
        EXPECT_EQ(runner->commands.value(0).arguments.mid(0, 6),
                  QStringList({"tool", "run", "--from", "mlx-lm", "--with", c.requirement}));
    }
    EXPECT_TRUE(mlxBackend(driver).reason.contains("illisible"));

    // Detection: an mlx-lm server whose backend does not import is not counted, and
    // the installation replaces it (--force); one that imports is kept.
    touch(".local/bin/mlx_lm.server");
    fakeToolPython(false);
    Status status = runTask(detectWithBackend());
    EXPECT_EQ(status.components.at(2), (Component{"mlx", "mlx-lm", false, std::nullopt}));
    EXPECT_EQ(detect().components.at(2).installed, true) << "the files alone are there";
    runner->commands.clear();
    install();
    EXPECT_TRUE(runner->commands.value(0).arguments.endsWith("--force"))
        << runner->lines().join('\n').toStdString();

    fakeToolPython(true);
    status = runTask(detectWithBackend());
    EXPECT_EQ(status.components.at(2),
              (Component{"mlx", "mlx-lm", true, home() + "/.local/bin/mlx_lm.server"}));
    runner->commands.clear();
    install();
    EXPECT_EQ(runner->lines(), reloadCommands());

    // A backend probe that never answers is ended at its bound.
    writeText(mlxToolPython(), "#!/bin/sh\nsleep 300\n");
    EXPECT_FALSE(runTask(backendImports(mlxToolPython(), 300)));
}

TEST(InstallerUnit, TextMatchesTheGoldenFileAndQuotesUnusualHomes) {
    QFile golden(QStringLiteral(OMBRIX_TEST_DATA_DIR "/localllm/com.ombrix.local-llm.service"));
    ASSERT_TRUE(golden.open(QIODevice::ReadOnly));
    EXPECT_EQ(unitFileText("/home/x"), QString::fromUtf8(golden.readAll()));

    // A home with a space, a percent sign and a dollar sign stays one word, literally.
    const QString text = unitFileText("/home/Jo 100%$");
    EXPECT_TRUE(text.contains("ExecStart=\"/home/Jo 100%%$/.local/bin/mlx_lm.server\" --host 127.0.0.1"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("Environment=\"HOME=/home/Jo 100%%$\"\n"));
    EXPECT_TRUE(text.contains("StandardError=append:/home/Jo 100%%$/.ombrix-local-llm/server.log\n"));
}

TEST(InstallerUnit, SystemdReadsTheServerPathOfEveryHome) {
    const QString analyze = QStandardPaths::findExecutable("systemd-analyze");
    if (analyze.isEmpty())
        GTEST_SKIP() << "systemd-analyze is not installed";
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    // Folder names a home may have; systemd takes some of their characters as its own.
    const QStringList names = {"plain",       "a$b",        "$HOME",   "with space",
                               "per%cent%h",  "semi;colon", "quo\"te", "apo'strophe",
                               "back\\slash", "tab\there",  "é ${x}"};
    for (const QString& name : names) {
        const QString home = root.path() + "/" + name;
        const QString server = home + "/.local/bin/mlx_lm.server";
        ASSERT_TRUE(QDir().mkpath(home + "/.local/bin"));
        QFile program(server);
        ASSERT_TRUE(program.open(QIODevice::WriteOnly));
        program.write("#!/bin/sh\n");
        program.close();
        program.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const QString unit = root.path() + "/" + QString::number(names.indexOf(name)) + ".service";
        QFile file(unit);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(unitFileText(home).toUtf8());
        file.close();

        // verify fails when the program it reads does not exist or is not taken.
        QProcess verify;
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start(analyze, {"verify", unit});
        ASSERT_TRUE(verify.waitForFinished(kEventWaitMs));
        EXPECT_EQ(verify.exitCode(), 0) << name.toStdString() << ": " << verify.readAll().toStdString();
    }
}

TEST(InstallerUnit, WritingReplacesThePreviousFileAtomically) {
    removeTestFolder(QDir::homePath() + "/.config/systemd");
    QDir().mkpath(QFileInfo(unitFilePath()).absolutePath());
    {
        QFile old(unitFilePath());
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(
            "[Service]\nExecStart=/old/server with a much longer line than the new file has in total\n");
    }
    writeLaunchAgent();
    EXPECT_EQ(readFile(unitFilePath()), unitFileText(QDir::homePath()));
    EXPECT_EQ(QDir(QFileInfo(unitFilePath()).absolutePath()).entryList(QDir::Files),
              QStringList({"com.ombrix.local-llm.service"}));
}

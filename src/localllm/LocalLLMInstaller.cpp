#include "localllm/LocalLLMInstaller.h"

#include "localllm/LocalLLMCatalog.h"

#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/QuitSignal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSaveFile>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroProcess>
#include <QCoro/QCoroTimer>

#include <chrono>

#include <gnu/libc-version.h>
#include <signal.h>
#include <unistd.h>

namespace LocalLLMInstaller {

namespace {

const QString started = QStringLiteral("\u25B6\uFE0E ");
const QString found = QStringLiteral("\u2713 ");
constexpr auto reloadPause = std::chrono::milliseconds(500);

std::shared_ptr<CommandRunner>& runnerSlot() {
    static std::shared_ptr<CommandRunner> runner;
    return runner;
}

bool installing = false;

QString& nvidiaVersionSlot() {
    static QString path = QStringLiteral("/proc/driver/nvidia/version");
    return path;
}

// "2.36" of the running glibc, and whether it is older than MLX's wheels need.
std::pair<QString, bool> glibcVersion() {
    const QString version = QString::fromLatin1(gnu_get_libc_version());
    const QStringList parts = version.split(QLatin1Char('.'));
    const int major = parts.value(0).toInt();
    const int minor = parts.value(1).toInt();
    const bool tooOld = major < minGlibcMajor || (major == minGlibcMajor && minor < minGlibcMinor);
    return {version, tooOld};
}

// "mlx-lm" with this machine's backend: the words handed to uv after the package.
QStringList withBackend(const MlxBackend& backend) {
    return {QStringLiteral("--with"), backend.requirement};
}

// Clears the installation flag however the installation ends.
struct InstallingGuard {
    InstallingGuard() { installing = true; }
    ~InstallingGuard() { installing = false; }
    InstallingGuard(const InstallingGuard&) = delete;
    InstallingGuard& operator=(const InstallingGuard&) = delete;
};

QString home() {
    return QDir::homePath();
}

QString userPath(const QString& relative) {
    return home() + QLatin1Char('/') + relative;
}

void say(const LineHandler& onLine, const QString& line) {
    if (onLine)
        onLine(line);
}

// A value inside a unit file: "%" starts a specifier there.
QString escapeSpecifiers(QString text) {
    return text.replace(QLatin1Char('%'), QStringLiteral("%%"));
}

// Where a word of the unit goes: systemd reads "$" in ExecStart's arguments as the
// start of a variable, but not in its program path nor in Environment=.
enum class Word { Program, Argument, Assignment };

// One word of a command line or environment assignment, quoted when it needs to
// be. Inside quotes systemd undoes C escapes: backslashes, quotes and control
// characters are written as escapes.
QString quoteWord(const QString& word, Word role) {
    QString text = escapeSpecifiers(word);
    if (role == Word::Argument)
        text.replace(QLatin1Char('$'), QStringLiteral("$$"));
    bool plain = !text.isEmpty();
    QString quoted;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (c.isSpace() || u == '"' || u == '\'' || u == '\\' || u == ';' || u < 0x20 || u == 0x7f)
            plain = false;
        if (u == '\\' || u == '"')
            quoted += QLatin1Char('\\') + c;
        else if (u < 0x20 || u == 0x7f)
            quoted += QStringLiteral("\\x%1").arg(static_cast<int>(u), 2, 16, QLatin1Char('0'));
        else
            quoted += c;
    }
    if (plain && role != Word::Assignment)
        return text;
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// Whether systemd takes the path as a program: it refuses quotes, backslashes and
// control characters there, however escaped.
bool isProgramPathSystemdTakes(const QString& path) {
    for (QChar c : path) {
        const char16_t u = c.unicode();
        if (u == '"' || u == '\'' || u == '\\' || u < 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

void makeFolder(const QString& path) {
    if (!QDir().mkpath(path))
        throw MessageError(loc("Impossible de créer le dossier %1.").arg(path));
}

} // namespace

InstallError InstallError::commandFailed(QString command, int code) {
    InstallError error(Kind::commandFailed);
    error.command_ = std::move(command);
    error.code_ = code;
    return error;
}

QString InstallError::description() const {
    switch (kind_) {
    case Kind::brewMissing:
        return loc("Homebrew est requis. Installe-le depuis https://brew.sh puis relance.");
    case Kind::commandFailed:
        return loc("Échec (%1) : %2").arg(QString::number(code_), command_);
    case Kind::uvMissing:
        return loc("uv reste introuvable après son installation. Installe-le puis relance.");
    case Kind::alreadyRunning:
        return loc("Une installation est déjà en cours.");
    }
    return QString();
}

QStringList brewCandidates() {
    return {QStringLiteral("/opt/homebrew/bin/brew"), QStringLiteral("/usr/local/bin/brew"),
            QStringLiteral("/home/linuxbrew/.linuxbrew/bin/brew"),
            userPath(QStringLiteral(".linuxbrew/bin/brew"))};
}

QStringList uvCandidates() {
    return {QStringLiteral("/opt/homebrew/bin/uv"), QStringLiteral("/usr/local/bin/uv"),
            userPath(QStringLiteral(".local/bin/uv")), QStringLiteral("/home/linuxbrew/.linuxbrew/bin/uv"),
            userPath(QStringLiteral(".linuxbrew/bin/uv"))};
}

QStringList mlxServerCandidates() {
    return {userPath(QStringLiteral(".local/bin/mlx_lm.server"))};
}

QString unitFilePath() {
    return userPath(QStringLiteral(".config/systemd/user/")) + QString::fromLatin1(unitName);
}

QString serverLogPath() {
    return userPath(QStringLiteral(".ombrix-local-llm/server.log"));
}

QString unitFileText(const QString& homeFolder) {
    const QString server = homeFolder + QStringLiteral("/.local/bin/mlx_lm.server");
    const QString log = escapeSpecifiers(homeFolder + QStringLiteral("/.ombrix-local-llm/server.log"));
    const QStringList command = {server, QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                                 QStringLiteral("--port"), QStringLiteral("8080")};
    QStringList words;
    if (isProgramPathSystemdTakes(server)) {
        for (const QString& word : command)
            words.append(quoteWord(word, words.isEmpty() ? Word::Program : Word::Argument));
    } else {
        // The shell starts the server by the path it gets as an argument.
        words = QStringList{quoteWord(QStringLiteral("/bin/sh"), Word::Program),
                            quoteWord(QStringLiteral("-c"), Word::Argument),
                            quoteWord(QStringLiteral("exec \"$0\" \"$@\""), Word::Argument)};
        for (const QString& word : command)
            words.append(quoteWord(word, Word::Argument));
    }

    QString text;
    text += QStringLiteral("[Unit]\n");
    text += QStringLiteral("Description=%1\n").arg(QString::fromLatin1(serviceLabel));
    text += QStringLiteral("\n[Service]\n");
    text += QStringLiteral("Type=simple\n");
    text += QStringLiteral("ExecStart=") + words.join(QLatin1Char(' ')) + QLatin1Char('\n');
    text +=
        QStringLiteral("Environment=") +
        quoteWord(QStringLiteral("PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin"), Word::Assignment) +
        QLatin1Char('\n');
    text += QStringLiteral("Environment=") +
            quoteWord(QStringLiteral("HOME=") + homeFolder, Word::Assignment) + QLatin1Char('\n');
    text += QStringLiteral("Restart=on-failure\n");
    text += QStringLiteral("RestartSec=10\n");
    text += QStringLiteral("StandardOutput=append:") + log + QLatin1Char('\n');
    text += QStringLiteral("StandardError=append:") + log + QLatin1Char('\n');
    text += QStringLiteral("\n[Install]\n");
    text += QStringLiteral("WantedBy=default.target\n");
    return text;
}

QString nvidiaVersionPath() {
    return nvidiaVersionSlot();
}

void setNvidiaVersionPath(const QString& path) {
    nvidiaVersionSlot() = path;
}

MlxBackend mlxBackend(const QString& nvidiaVersionFile) {
    const QString cpu = QStringLiteral("mlx[cpu]");
    QFile file(nvidiaVersionFile);
    if (!file.open(QIODevice::ReadOnly))
        return {
            cpu,
            loc("aucun pilote NVIDIA trouvé (%1 absent) : calcul sur le processeur").arg(nvidiaVersionFile)};
    const QString text = QString::fromUtf8(file.read(64 * 1024));
    // "NVRM version: NVIDIA UNIX x86_64 Kernel Module  535.183.01  Sun …", or
    // "… Open Kernel Module for x86_64  580.65.06  Release Build …".
    static const QRegularExpression versionPattern(
        QStringLiteral(R"(Kernel Module(?: for \S+)?\s+(\d{1,4})\.(\d{1,4})(?:\.(\d{1,4}))?)"));
    const QRegularExpressionMatch match = versionPattern.match(text);
    if (!match.hasMatch())
        return {cpu, loc("version du pilote NVIDIA illisible dans %1 : calcul sur le processeur")
                         .arg(nvidiaVersionFile)};
    const int major = match.captured(1).toInt();
    const QString version = match.captured(0).section(QRegularExpression(QStringLiteral("\\s+")), -1);
    if (major >= 580)
        return {QStringLiteral("mlx[cuda13]"),
                loc("pilote NVIDIA %1 trouvé (580 ou plus) : CUDA 13").arg(version)};
    if (major >= 525)
        return {QStringLiteral("mlx[cuda12]"),
                loc("pilote NVIDIA %1 trouvé (525 à 579) : CUDA 12").arg(version)};
    return {cpu, loc("pilote NVIDIA %1 trop ancien pour CUDA 12 (525 ou plus) : calcul sur le processeur")
                     .arg(version)};
}

namespace {
// The backend chosen (the driver's file is read on a worker thread), said in the
// log with its reason, and a glibc too old for MLX.
QCoro::Task<MlxBackend> chooseBackend(LineHandler onLine) {
    const QString versionFile = nvidiaVersionPath();
    QFuture<MlxBackend> reading = QtConcurrent::run([versionFile] { return mlxBackend(versionFile); });
    const MlxBackend backend = co_await reading;
    say(onLine, started + loc("backend MLX : %1 — %2").arg(backend.requirement, backend.reason));
    const auto [glibc, tooOld] = glibcVersion();
    if (tooOld)
        say(onLine, QStringLiteral("\u26A0\uFE0E ") +
                        loc("glibc %1 : MLX demande la glibc %2.%3 ou plus ; il risque de ne pas démarrer.")
                            .arg(glibc)
                            .arg(minGlibcMajor)
                            .arg(minGlibcMinor));
    co_return backend;
}
} // namespace

QString mlxToolPython() {
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QString tools = environment.value(QStringLiteral("UV_TOOL_DIR"));
    if (tools.isEmpty()) {
        const QString data = environment.value(QStringLiteral("XDG_DATA_HOME"));
        tools =
            (data.isEmpty() ? userPath(QStringLiteral(".local/share")) : data) + QStringLiteral("/uv/tools");
    }
    return tools + QStringLiteral("/mlx-lm/bin/python");
}

QCoro::Task<bool> backendImports(QString python, int timeoutMs) {
    QProcess process;
    process.setProgram(python);
    process.setArguments({QStringLiteral("-c"), QStringLiteral("import mlx.core")});
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setChildProcessModifier([] {
        QuitSignal::releaseInChild();
        ::setsid();
    });
    auto awaitable = qCoro(process);
    const bool launched = co_await awaitable.start(QIODevice::ReadOnly, std::chrono::milliseconds(timeoutMs));
    if (!launched)
        co_return false;
    const qint64 group = process.processId();
    const bool finished = co_await awaitable.waitForFinished(std::chrono::milliseconds(timeoutMs));
    if (!finished) {
        qCWarning(lcInstaller) << "the MLX backend probe did not answer in time";
        ::kill(static_cast<pid_t>(-group), SIGKILL);
        co_await awaitable.waitForFinished(std::chrono::milliseconds(2000));
        co_return false;
    }
    const bool imports = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!imports) {
        ::kill(static_cast<pid_t>(-group), SIGKILL);
        qCInfo(lcInstaller) << "mlx.core does not import:" << process.readAll().right(400);
    }
    co_return imports;
}

QCoro::Task<Status> detectWithBackend() {
    struct Found {
        Status status;
        bool interpreter = false;
    };
    const QString python = mlxToolPython();
    QFuture<Found> detecting = QtConcurrent::run([python] {
        const QFileInfo interpreter(python);
        return Found{detect(), interpreter.exists() && interpreter.isExecutable()};
    });
    Found found = co_await detecting;
    Status status = found.status;
    Component& mlx = status.components[2];
    if (!mlx.installed)
        co_return status;
    // No interpreter of the tool: mlx-lm was not installed by uv, or only in part.
    bool imports = false;
    if (found.interpreter)
        imports = co_await backendImports(python);
    if (!imports) {
        mlx.installed = false;
        mlx.detail.reset();
    }
    co_return status;
}

std::optional<QString> firstExisting(const QStringList& paths) {
    for (const QString& path : paths)
        if (QFileInfo::exists(path))
            return path;
    return std::nullopt;
}

Status detect() {
    auto row = [](const char* id, const char* label, const std::optional<QString>& path) {
        return Component{QString::fromLatin1(id), QString::fromLatin1(label), path.has_value(), path};
    };
    std::optional<QString> unit;
    if (QFileInfo::exists(unitFilePath()))
        unit = unitFilePath();
    return Status{{row("brew", "Homebrew", firstExisting(brewCandidates())),
                   row("uv", "uv", firstExisting(uvCandidates())),
                   row("mlx", "mlx-lm", firstExisting(mlxServerCandidates())),
                   row("plist", "LaunchAgent", unit)}};
}

std::shared_ptr<CommandRunner> commandRunner() {
    auto& runner = runnerSlot();
    if (!runner)
        runner = std::make_shared<ProcessCommandRunner>();
    return runner;
}

void setCommandRunner(std::shared_ptr<CommandRunner> runner) {
    runnerSlot() = std::move(runner);
}

QCoro::Task<> run(QString path, QStringList arguments, LineHandler onLine, bool allowFailure) {
    auto runner = commandRunner();
    const int code = co_await runner->run(path, arguments, onLine);
    if (code != 0 && !allowFailure) {
        QStringList command{path};
        command.append(arguments);
        qCWarning(lcInstaller) << "command failed with" << code << ":" << path;
        throw InstallError::commandFailed(command.join(QLatin1Char(' ')), code);
    }
}

QCoro::Task<> install(QString model, LineHandler onLine) {
    Q_UNUSED(model);
    if (installing)
        throw InstallError::alreadyRunning();
    InstallingGuard guard;

    const Status status = co_await detectWithBackend();
    const bool uvInstalled = status.components.at(1).installed;
    const bool mlxInstalled = status.components.at(2).installed;
    // An mlx-lm whose server is there but whose backend does not import is replaced.
    const bool mlxBroken = !mlxInstalled && firstExisting(mlxServerCandidates()).has_value();

    if (!uvInstalled) {
        // Homebrew is only needed to install uv.
        const auto brew = firstExisting(brewCandidates());
        if (!brew)
            throw InstallError::brewMissing();
        say(onLine, started + QStringLiteral("brew install uv"));
        const QStringList arguments{QStringLiteral("install"), QStringLiteral("uv")};
        co_await run(*brew, arguments, onLine, false);
    } else {
        say(onLine, found + loc("uv déjà présent"));
    }

    const auto uv = firstExisting(uvCandidates());
    if (!uv)
        throw InstallError::uvMissing();

    if (!mlxInstalled) {
        const MlxBackend backend = co_await chooseBackend(onLine);
        QStringList arguments{QStringLiteral("tool"), QStringLiteral("install"), QStringLiteral("--python"),
                              QStringLiteral("3.11"), QStringLiteral("mlx-lm")};
        arguments += withBackend(backend);
        if (mlxBroken)
            arguments += QStringLiteral("--force");
        say(onLine, started + QStringLiteral("uv ") + arguments.join(QLatin1Char(' ')));
        co_await run(*uv, arguments, onLine, false);
    } else {
        say(onLine, found + loc("mlx-lm déjà installé"));
    }

    say(onLine, started + loc("écriture du LaunchAgent"));
    writeLaunchAgent(model);

    say(onLine, started + loc("(re)chargement du LaunchAgent"));
    co_await reloadLaunchAgent(onLine);

    say(onLine, found + loc("Installation terminée. Le serveur démarre en arrière-plan."));
}

QCoro::Task<> downloadModel(QString id, LineHandler onLine) {
    if (!LocalLLMCatalog::isSafeModelId(id))
        throw MessageError(LocalLLMCatalog::unsafeModelIdMessage(id));
    const auto uv = firstExisting(uvCandidates());
    if (!uv)
        throw InstallError::brewMissing();
    say(onLine, started + loc("Téléchargement du modèle ") + id);
    const MlxBackend backend = co_await chooseBackend(onLine);
    QStringList arguments{QStringLiteral("tool"), QStringLiteral("run"), QStringLiteral("--from"),
                          QStringLiteral("mlx-lm")};
    arguments += withBackend(backend);
    arguments += QStringList{QStringLiteral("mlx_lm.generate"),
                             QStringLiteral("--model"),
                             id,
                             QStringLiteral("--prompt"),
                             QStringLiteral("hi"),
                             QStringLiteral("--max-tokens"),
                             QStringLiteral("1")};
    co_await run(*uv, arguments, onLine, false);
}

void writeLaunchAgent(const QString& model) {
    Q_UNUSED(model);
    const QString unitPath = unitFilePath();
    makeFolder(QFileInfo(unitPath).absolutePath());
    makeFolder(QFileInfo(serverLogPath()).absolutePath());

    QSaveFile file(unitPath);
    if (!file.open(QIODevice::WriteOnly))
        throw MessageError(loc("Impossible d'écrire %1 : %2").arg(unitPath, file.errorString()));
    const QByteArray bytes = unitFileText(home()).toUtf8();
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw MessageError(loc("Impossible d'écrire %1 : %2").arg(unitPath, file.errorString()));
}

QCoro::Task<> reloadLaunchAgent(LineHandler onLine) {
    const QString systemctl = QString::fromLatin1(systemctlPath);
    const QString unit = QString::fromLatin1(unitName);
    const QString user = QStringLiteral("--user");

    // The service may not be loaded yet (first installation): any failure is fine.
    try {
        const QStringList arguments{user, QStringLiteral("stop"), unit};
        co_await run(systemctl, arguments, onLine, true);
    } catch (const std::exception& error) {
        qCInfo(lcInstaller) << "stopping the service failed:" << error.what();
    }

    co_await QCoro::sleepFor(reloadPause);

    const QStringList reload{user, QStringLiteral("daemon-reload")};
    co_await run(systemctl, reload, onLine, false);
    const QStringList enable{user, QStringLiteral("enable"), QStringLiteral("--now"), unit};
    co_await run(systemctl, enable, onLine, false);

    try {
        const QStringList arguments{user, QStringLiteral("restart"), unit};
        co_await run(systemctl, arguments, onLine, true);
    } catch (const std::exception& error) {
        qCInfo(lcInstaller) << "restarting the service failed:" << error.what();
    }
}

} // namespace LocalLLMInstaller

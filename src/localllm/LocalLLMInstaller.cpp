#include "localllm/LocalLLMInstaller.h"

#include "localllm/LocalLLMCatalog.h"

#include "platform/Localization.h"
#include "platform/Log.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <QCoro/QCoroTimer>

#include <chrono>

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

    const Status status = detect();
    const bool uvInstalled = status.components.at(1).installed;
    const bool mlxInstalled = status.components.at(2).installed;

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
        say(onLine, started + QStringLiteral("uv tool install --python 3.11 mlx-lm"));
        const QStringList arguments{QStringLiteral("tool"), QStringLiteral("install"),
                                    QStringLiteral("--python"), QStringLiteral("3.11"),
                                    QStringLiteral("mlx-lm")};
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
    const QStringList arguments{QStringLiteral("tool"),
                                QStringLiteral("run"),
                                QStringLiteral("--from"),
                                QStringLiteral("mlx-lm"),
                                QStringLiteral("mlx_lm.generate"),
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

#include "content/DesktopOpener.h"

#include "content/ContentFiles.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/QuitSignal.h"
#include "platform/ShareWork.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroProcess>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::shared_ptr<DesktopOpener>& sharedOpener() {
    static std::shared_ptr<DesktopOpener> opener = std::make_shared<GioDesktopOpener>();
    return opener;
}

// Types whose default handler may run them: programs, installers, launchers and
// the scripts of an interpreter. Matched exactly (with their aliases), except the
// shell scripts, whose kinds all derive from one type: the script types also derive
// from "application/x-executable", and so do JSON and JavaScript, which are data.
const char* const kRunnableTypes[] = {
    "application/x-executable",
    "application/x-sharedlib",
    "application/x-pie-executable",
    "application/x-core",
    "application/x-object",
    "application/x-desktop",
    "application/x-ms-dos-executable",
    "application/x-msdownload",
    "application/x-msi",
    "application/x-ms-shortcut",
    "application/vnd.microsoft.portable-executable",
    "application/x-java-archive",
    "application/x-java-jnlp-file",
    "application/vnd.appimage",
    "application/x-iso9660-appimage",
    "application/x-flatpak",
    "application/vnd.flatpak",
    "application/vnd.flatpak.ref",
    "application/vnd.flatpak.repo",
    "application/vnd.snap",
    "application/x-snap",
    "application/x-deb",
    "application/vnd.debian.binary-package",
    "application/x-rpm",
    "application/x-bat",
    "application/x-msdos-program",
    "application/x-powershell",
    "text/x-python",
    "text/x-python3",
    "application/x-perl",
    "application/x-ruby",
    "text/x-lua",
    "application/x-awk",
    "application/x-php",
    "text/x-tcl",
    "text/vbscript",
    "text/vbscript.encode",
    "application/x-vbscript",
    "application/x-wine-extension-msp",
};

// Extensions that a desktop hands to a launcher or an interpreter, whatever type
// the database gives them (lower case).
const char* const kLauncherExtensions[] = {
    "desktop",     "jnlp", "snap", "ps1",  "psm1",     "psd1", "vbs", "vbe",     "wsf",
    "wsh",         "bat",  "cmd",  "com",  "exe",      "scr",  "pif", "cpl",     "msi",
    "msp",         "msc",  "jar",  "lnk",  "appimage", "deb",  "rpm", "flatpak", "flatpakref",
    "flatpakrepo", "run",  "sh",   "bash", "zsh",      "csh",  "ksh", "fish",    "command",
    "py",          "pyw",  "pl",   "rb",   "lua",      "php",  "apk", "reg",     "hta",
};

bool isRunnableType(const QMimeType& type) {
    if (!type.isValid())
        return false;
    QStringList names = type.aliases();
    names.prepend(type.name());
    for (const char* runnable : kRunnableTypes)
        if (names.contains(QLatin1String(runnable)))
            return true;
    return type.inherits(QStringLiteral("application/x-shellscript"));
}

bool hasLauncherExtension(const QString& name) {
    const QString extension = QFileInfo(name).suffix().toLower();
    for (const char* launcher : kLauncherExtensions)
        if (extension == QLatin1String(launcher))
            return true;
    return false;
}

constexpr int kGioTimeoutMs = 60000;

struct GioOutcome {
    bool started = false;
    bool finished = false;
    int exitCode = -1;
    QString errorText;
};

QCoro::Task<GioOutcome> runGio(QStringList arguments) {
    GioOutcome outcome;
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    if (gio.isEmpty())
        co_return outcome;
    QProcess process;
    process.setProgram(gio);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    // gio starts the application the user opens the document with: it starts as
    // the user's own, the program's quit signals not blocked.
    process.setChildProcessModifier(QuitSignal::releaseInChild);
    outcome.started = co_await qCoro(process).start();
    if (!outcome.started) {
        outcome.errorText = process.errorString();
        co_return outcome;
    }
    outcome.finished = co_await qCoro(process).waitForFinished(kGioTimeoutMs);
    if (!outcome.finished) {
        process.kill();
        process.waitForFinished(1000);
        co_return outcome;
    }
    outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    outcome.errorText = QString::fromUtf8(process.readAllStandardError()).trimmed();
    co_return outcome;
}

} // namespace

DesktopOpener& DesktopOpener::shared() {
    return *sharedOpener();
}

void DesktopOpener::setShared(std::shared_ptr<DesktopOpener> opener) {
    sharedOpener() = opener ? std::move(opener) : std::make_shared<GioDesktopOpener>();
}

bool DesktopOpener::couldRunCode(const QString& path, const QStringList& names) {
    struct stat info {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0)
        return true; // missing, or a dangling link
    if (S_ISDIR(info.st_mode))
        return false;
    if (!S_ISREG(info.st_mode))
        return true; // FIFO, socket, device
    if (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH))
        return true;
    // Read once, here: the type database reading the file itself would hold its
    // lock, for every thread, for as long as the file's share takes to answer.
    const QByteArray head = ContentFiles::leadingBytes(path);
    if (head.startsWith("#!") ||
        head.startsWith("\x7f"
                        "ELF") ||
        head.startsWith("MZ"))
        return true; // a script with its interpreter, a program
    QStringList judged = names;
    if (judged.isEmpty()) {
        const QFileInfo given(path);
        judged << given.fileName() << QFileInfo(given.canonicalFilePath()).fileName();
    }
    const QMimeDatabase mimes;
    if (isRunnableType(mimes.mimeTypeForData(head)))
        return true;
    // The handler is chosen by name as well: "notes.sh" holding plain text still counts.
    for (const QString& name : std::as_const(judged)) {
        if (hasLauncherExtension(name))
            return true;
        for (const QMimeType& type : mimes.mimeTypesForFileName(name))
            if (isRunnableType(type))
                return true;
    }
    return false;
}

QCoro::Task<bool> GioDesktopOpener::openDocument(QString path, QStringList shares) {
    // (The check reads the file: never on the GUI thread, nor on Qt's pool, which the
    // program's end waits for: the file may lie on a mount that hangs, so it is read
    // on the lane of the shares holding it, or of its folder. The task is named: g++ 12
    // mishandles lambda temporaries inside co_await.)
    if (shares.isEmpty())
        shares.append(QFileInfo(path).absolutePath());
    QCoro::Task<bool> checking = ShareWork::run(shares, [path] { return couldRunCode(path); });
    bool runnable = true;
    try {
        runnable = co_await std::move(checking);
    } catch (const ShareWork::NotAnswering&) {
        qCInfo(lcBridge) << "the document's folder does not answer: not opened";
    }
    if (runnable)
        co_return false;
    QStringList arguments{QStringLiteral("open"), QStringLiteral("--"), path};
    const GioOutcome outcome = co_await runGio(std::move(arguments));
    if (!outcome.started && outcome.errorText.isEmpty())
        co_return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); // no gio on this system
    if (!outcome.finished || outcome.exitCode != 0) {
        qCInfo(lcBridge) << "gio open failed with exit" << outcome.exitCode;
        co_return false;
    }
    co_return true;
}

QCoro::Task<std::optional<QString>> GioDesktopOpener::launchApplication(QString desktopFilePath) {
    QStringList arguments{QStringLiteral("launch"), desktopFilePath};
    const GioOutcome outcome = co_await runGio(std::move(arguments));
    if (!outcome.started) {
        if (outcome.errorText.isEmpty())
            co_return loc("Impossible de lancer l'application : la commande gio est introuvable.");
        co_return loc("Impossible de lancer l'application : ") + outcome.errorText;
    }
    if (!outcome.finished)
        co_return loc("Le lancement de l'application n'a pas abouti.");
    if (outcome.exitCode != 0) {
        if (!outcome.errorText.isEmpty())
            co_return outcome.errorText;
        co_return loc("Impossible de lancer l'application (code %1).").arg(outcome.exitCode);
    }
    co_return std::nullopt;
}

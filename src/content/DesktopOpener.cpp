#include "content/DesktopOpener.h"

#include "platform/Localization.h"
#include "platform/Log.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <QCoro/QCoroProcess>

namespace {

std::shared_ptr<DesktopOpener>& sharedOpener() {
    static std::shared_ptr<DesktopOpener> opener = std::make_shared<GioDesktopOpener>();
    return opener;
}

// Types whose default handler may execute them.
const char* const kRunnableTypes[] = {
    "application/x-executable",
    "application/x-sharedlib",
    "application/x-pie-executable",
    "application/x-shellscript",
    "application/x-desktop",
    "application/x-ms-dos-executable",
    "application/x-msdownload",
    "application/x-msi",
    "application/x-ms-shortcut",
    "application/vnd.microsoft.portable-executable",
    "application/x-java-archive",
    "application/vnd.appimage",
    "application/x-iso9660-appimage",
    "application/x-flatpak",
    "application/vnd.flatpak.ref",
    "application/vnd.flatpak.repo",
    "application/x-deb",
    "application/vnd.debian.binary-package",
    "application/x-rpm",
    "application/x-bat",
};

bool isRunnableType(const QMimeType& type) {
    if (!type.isValid())
        return false;
    for (const char* runnable : kRunnableTypes)
        if (type.inherits(QLatin1String(runnable)))
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

bool DesktopOpener::couldRunCode(const QString& path) {
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath(); // empty when missing or a dangling link
    if (canonical.isEmpty())
        return true;
    const QFileInfo target(canonical);
    if (target.isDir())
        return false;
    if (!target.isFile())
        return true; // FIFO, socket, device
    if (target.permissions() & (QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther))
        return true;
    const QMimeDatabase mimes;
    const QString name = info.fileName();
    if (name.endsWith(QLatin1String(".desktop"), Qt::CaseInsensitive))
        return true;
    if (isRunnableType(mimes.mimeTypeForFile(target.absoluteFilePath(), QMimeDatabase::MatchContent)))
        return true;
    // The handler is chosen by name as well: "notes.sh" holding plain text still counts.
    for (const QMimeType& type : mimes.mimeTypesForFileName(name))
        if (isRunnableType(type))
            return true;
    return isRunnableType(mimes.mimeTypeForFile(target.absoluteFilePath(), QMimeDatabase::MatchExtension));
}

QCoro::Task<bool> GioDesktopOpener::openDocument(QString path) {
    if (couldRunCode(path))
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

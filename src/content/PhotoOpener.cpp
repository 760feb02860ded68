#include "content/PhotoOpener.h"

#include "content/DesktopOpener.h"
#include "content/PhotoLibrary.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/ShareWork.h"
#include "session/Models.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QUrl>
#include <QtConcurrent>

#include <QCoro/QCoroFuture>

namespace PhotoOpener {

namespace {

AlertPresenter& alertPresenter() {
    static AlertPresenter presenter;
    return presenter;
}

void showAlert(const QString& informativeText) {
    const QString message = loc("Photo");
    if (alertPresenter())
        alertPresenter()(message, informativeText);
    else
        qCWarning(lcContent) << message << informativeText;
}

struct Export {
    bool found = false;
    std::optional<QByteArray> data;
    QString typeIdentifier;
};

Export exportPhoto(const QString& id) {
    Export result;
    const std::optional<PhotoLibrary::Asset> asset = PhotoLibrary::assetWithIdentifier(id);
    if (!asset)
        return result;
    result.found = true;
    result.typeIdentifier = asset->typeIdentifier;
    QFile file(asset->path);
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray bytes = file.readAll();
        if (!bytes.isEmpty())
            result.data = std::move(bytes);
    }
    return result;
}

// Writes the copy atomically, readable and writable by the user only. The error's
// description when it fails.
std::optional<QString> writePrivately(const QString& path, const QByteArray& data) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        file.cancelWriting();
        return file.errorString();
    }
    if (file.write(data) != data.size() || !file.commit())
        return file.errorString();
    return std::nullopt;
}

} // namespace

void setAlertPresenter(AlertPresenter presenter) {
    alertPresenter() = std::move(presenter);
}

QString extensionFor(const std::optional<QString>& typeIdentifier) {
    if (!typeIdentifier)
        return QStringLiteral("jpg");
    if (*typeIdentifier == QLatin1String("public.heic") || *typeIdentifier == QLatin1String("public.heif"))
        return QStringLiteral("heic");
    if (*typeIdentifier == QLatin1String("public.png"))
        return QStringLiteral("png");
    if (*typeIdentifier == QLatin1String("public.tiff"))
        return QStringLiteral("tiff");
    if (*typeIdentifier == QLatin1String("com.compuserve.gif"))
        return QStringLiteral("gif");
    return QStringLiteral("jpg");
}

QCoro::Task<> open(QString percentEncodedIdentifier) {
    try {
        // Text that does not decode to UTF-8 is used as it came.
        QString id = QUrl::fromPercentEncoding(percentEncodedIdentifier.toUtf8());
        if (id.contains(QChar::ReplacementCharacter) &&
            !percentEncodedIdentifier.contains(QChar::ReplacementCharacter))
            id = percentEncodedIdentifier;
        // (The future is a named local: g++ 12 destroys a lambda temporary inside a
        // co_await expression twice.)
        // The library's walk and the photo's read run on the Pictures folder's lane,
        // with its limit: never on Qt's pool, which the program's end waits for.
        QCoro::Task<Export> exporting =
            ShareWork::run(QStringList{PhotoLibrary::rootFolder()}, [id] { return exportPhoto(id); });
        std::optional<Export> exported;
        std::optional<QString> silent;
        try {
            exported = co_await std::move(exporting);
        } catch (const ShareWork::NotAnswering& error) {
            silent = error.description();
        }
        if (silent) {
            showAlert(*silent);
            co_return;
        }
        const Export photo = *exported;
        if (!photo.found) {
            showAlert(loc("Photo introuvable dans la bibliothèque."));
            co_return;
        }
        if (!photo.data) {
            showAlert(loc("Impossible d'exporter la photo."));
            co_return;
        }
        const QString path = QDir::temp().filePath(QStringLiteral("ombrix-") + newUuidText() +
                                                   QLatin1Char('.') + extensionFor(photo.typeIdentifier));
        const QByteArray data = *photo.data;
        QFuture<std::optional<QString>> writing =
            QtConcurrent::run([path, data] { return writePrivately(path, data); });
        const std::optional<QString> failure = co_await writing;
        if (failure) {
            showAlert(loc("Écriture temporaire échouée: ") + *failure);
            co_return;
        }
        co_await DesktopOpener::shared().openDocument(path);
    } catch (...) {
        qCWarning(lcContent) << "opening a photo failed:" << describeException(std::current_exception());
    }
}

} // namespace PhotoOpener

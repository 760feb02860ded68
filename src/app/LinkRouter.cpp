#include "app/LinkRouter.h"

#include "bridge/BookmarkStore.h"
#include "bridge/BridgeService.h"
#include "bridge/SharedDocuments.h"
#include "content/DesktopOpener.h"
#include "content/PhotoOpener.h"
#include "platform/Log.h"
#include "platform/ShareWork.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <QCoro/QCoroFuture>

namespace LinkRouter {

namespace {

std::function<void(const QUrl&)>& systemOpener() {
    static std::function<void(const QUrl&)> opener = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    return opener;
}

// The scheme as written (case kept), empty when the text has none.
QString schemeOf(const QString& href) {
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.\\-]*):"));
    const QRegularExpressionMatch match = scheme.match(href);
    return match.hasMatch() ? match.captured(1) : QString();
}

// The host as written between "//" and the path (QUrl lowers its case).
QString hostAsWritten(const QString& href) {
    static const QRegularExpression authority(QStringLiteral("^[A-Za-z][A-Za-z0-9+.\\-]*://([^/?#]*)"));
    const QRegularExpressionMatch match = authority.match(href);
    return match.hasMatch() ? match.captured(1) : QString();
}

// The document, or its folder when handing the document over could run code.
QString pathToOpen(const QString& path) {
    if (!DesktopOpener::couldRunCode(path))
        return path;
    return QFileInfo(path).absolutePath();
}

} // namespace

Decision decide(const QString& href) {
    const QString scheme = schemeOf(href);
    if (scheme.isEmpty())
        return {};
    if (scheme != QLatin1String("ombrix")) {
        const QString lower = scheme.toLower();
        if (lower != QLatin1String("http") && lower != QLatin1String("https") &&
            lower != QLatin1String("mailto"))
            return {};
        const QUrl url(href, QUrl::StrictMode);
        if (!url.isValid())
            return {};
        return {Decision::Kind::OpenSystem, url, QString()};
    }

    const QUrl url(href, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return {};
    // Path components, each decoded once: an encoded "/" stays inside its component.
    const QStringList parts = url.path(QUrl::FullyEncoded).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() < 2)
        return {};
    const QString action = QUrl::fromPercentEncoding(parts[0].toUtf8());
    const QString id = QUrl::fromPercentEncoding(parts[1].toUtf8());
    const QString host = hostAsWritten(href);
    if (host == QLatin1String("local_file") && action == QLatin1String("open"))
        return {Decision::Kind::OpenFile, QUrl(), id};
    if (host == QLatin1String("local_photo") && action == QLatin1String("view"))
        return {Decision::Kind::OpenPhoto, QUrl(), id};
    return {};
}

QCoro::Task<> open(QString href) {
    const Decision decision = decide(href);
    switch (decision.kind) {
    case Decision::Kind::Swallow:
        co_return;
    case Decision::Kind::OpenSystem:
        systemOpener()(decision.url);
        co_return;
    case Decision::Kind::OpenPhoto:
        co_await PhotoOpener::open(decision.id);
        co_return;
    case Decision::Kind::OpenFile:
        break;
    }
    const std::optional<QString> path = BridgeService::shared().idCache().get(decision.id);
    if (!path)
        co_return; // dropped from the cache, or from before a restart: nothing to open
    const QString document = *path;
    // Judged on the share's own threads: the document may sit on a mount that hangs.
    const QStringList shares =
        SharedDocuments::sharesHolding(BookmarkPersistence::load(), QFile::encodeName(document));
    QCoro::Task<QString> judging = ShareWork::run(shares, [document] { return pathToOpen(document); });
    QString target;
    try {
        target = co_await std::move(judging);
    } catch (const ShareWork::NotAnswering&) {
        qCInfo(lcChat) << "a linked document's shared folder does not answer";
        co_return;
    }
    if (target != document)
        qCInfo(lcChat) << "a linked document that could run code is shown in its folder";
    const bool opened = co_await DesktopOpener::shared().openDocument(target, shares);
    if (!opened)
        qCInfo(lcChat) << "a linked document could not be opened";
}

void setSystemOpener(std::function<void(const QUrl&)> opener) {
    systemOpener() =
        opener ? std::move(opener)
               : std::function<void(const QUrl&)>([](const QUrl& url) { QDesktopServices::openUrl(url); });
}

} // namespace LinkRouter

#include "app/PopoverHeader.h"

#include "platform/Localization.h"
#include "session/APIConfig.h"
#include "session/AppSession.h"

#include <QDesktopServices>
#include <QPointer>

namespace PopoverHeader {

QString taskCaseName(BridgeTaskKind kind) {
    switch (kind) {
    case BridgeTaskKind::Search:
        return QStringLiteral("search");
    case BridgeTaskKind::Read:
        return QStringLiteral("read");
    case BridgeTaskKind::ListFolders:
        return QStringLiteral("listFolders");
    case BridgeTaskKind::ListDir:
        return QStringLiteral("listDir");
    case BridgeTaskKind::PhotosRecent:
        return QStringLiteral("photosRecent");
    case BridgeTaskKind::PhotosByDate:
        return QStringLiteral("photosByDate");
    case BridgeTaskKind::AppOpen:
        return QStringLiteral("appOpen");
    case BridgeTaskKind::ShortcutRun:
        return QStringLiteral("shortcutRun");
    case BridgeTaskKind::ShortcutList:
        return QStringLiteral("shortcutList");
    case BridgeTaskKind::OcrImage:
        return QStringLiteral("ocrImage");
    case BridgeTaskKind::OpenDocument:
        return QStringLiteral("openDocument");
    case BridgeTaskKind::Thumbnail:
        return QStringLiteral("thumbnail");
    case BridgeTaskKind::LLMInfer:
        return QStringLiteral("llmInfer");
    }
    return QString();
}

BridgeDot bridgeDot(const BridgeService::Status& status) {
    using Kind = BridgeService::Status::Kind;
    switch (status.kind) {
    case Kind::Busy:
        return {QStringLiteral("blue"), 1.0, loc("Tâche locale en cours: %1").arg(taskCaseName(status.task))};
    case Kind::Error:
        return {QStringLiteral("red"), 1.0, loc("Connexion locale en erreur: %1").arg(status.message)};
    case Kind::Off:
        return {QStringLiteral("grey"), 0.4, loc("Mac non connecté")};
    case Kind::Idle:
        return {QStringLiteral("green"), 1.0, loc("Mac connecté")};
    case Kind::Polling:
        return {QStringLiteral("green"), 1.0, loc("Mac connecté, en attente")};
    }
    return {};
}

bool newDiscussionEnabled(Mode mode) {
    return mode == Mode::Chat;
}

} // namespace PopoverHeader

RecentsMenuModel::RecentsMenuModel(QObject* parent)
    : QObject(parent)
    , openUrl_([](const QUrl& url) { QDesktopServices::openUrl(url); }) {}

QCoro::Task<> RecentsMenuModel::load() {
    if (loading_)
        co_return;
    const auto token = AppSession::shared().userToken();
    if (!token || token->isEmpty()) {
        items_.clear();
        emit changed();
        co_return;
    }
    QPointer<RecentsMenuModel> self(this);
    loading_ = true;
    emit changed();
    QList<APIService::RecentDiscussion> loaded;
    try {
        const APIService api(*token);
        loaded = co_await api.fetchRecentDiscussions(5);
    } catch (...) {
        loaded.clear();
    }
    if (!self)
        co_return;
    items_ = loaded;
    loading_ = false;
    emit changed();
}

QList<RecentsMenuModel::Entry> RecentsMenuModel::entries() const {
    QList<Entry> list;
    if (loading_ && items_.isEmpty()) {
        list.append({Entry::Kind::Placeholder, loc("Chargement…")});
    } else if (!items_.isEmpty()) {
        for (const auto& item : items_) {
            const QString name = item.name.value_or(QString());
            list.append({Entry::Kind::Discussion, name.isEmpty() ? loc("Discussion %1").arg(item.id) : name,
                         item.id});
        }
    } else {
        list.append({Entry::Kind::Placeholder, loc("Aucune discussion récente")});
    }
    list.append({Entry::Kind::Separator, QString()});
    list.append({Entry::Kind::OpenAll, loc("Ouvrir toutes les discussions…")});
    return list;
}

std::optional<QUrl> RecentsMenuModel::discussionUrl(std::optional<qint64> id) {
    QString text = APIConfig::baseURL() + QStringLiteral("/discussions");
    if (id)
        text += QStringLiteral("/%1").arg(*id);
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return std::nullopt;
    return url;
}

void RecentsMenuModel::open(const Entry& entry) const {
    std::optional<QUrl> url;
    if (entry.kind == Entry::Kind::Discussion)
        url = discussionUrl(entry.id);
    else if (entry.kind == Entry::Kind::OpenAll)
        url = discussionUrl(std::nullopt);
    if (url && openUrl_)
        openUrl_(*url);
}

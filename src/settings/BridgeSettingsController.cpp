#include "settings/BridgeSettingsController.h"

#include "bridge/BookmarkStore.h"
#include "bridge/SharedDocuments.h"
#include "platform/Errors.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/ShareWork.h"
#include "platform/Tasks.h"
#include "session/AppSession.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <vector>

BridgeStatusRow BridgeStatusRow::of(const BridgeService::Status& status) {
    using Kind = BridgeService::Status::Kind;
    switch (status.kind) {
    case Kind::Busy:
        return {loc("Exécution : ") + kindLabel(status.task), StatusTint::Orange};
    case Kind::Error:
        return {loc("Erreur"), StatusTint::Red};
    case Kind::Off:
        return {loc("Non connecté"), StatusTint::Gray};
    case Kind::Idle:
        return {loc("Connecté"), StatusTint::Green};
    case Kind::Polling:
        return {loc("Connecté, en attente"), StatusTint::Green};
    }
    return {loc("Non connecté"), StatusTint::Gray};
}

QString BridgeStatusRow::kindLabel(BridgeTaskKind kind) {
    switch (kind) {
    case BridgeTaskKind::Search:
        return loc("recherche");
    case BridgeTaskKind::Read:
        return loc("lecture");
    case BridgeTaskKind::ListFolders:
        return loc("liste des dossiers");
    case BridgeTaskKind::ListDir:
        return loc("exploration d'un dossier");
    case BridgeTaskKind::PhotosRecent:
        return loc("photos récentes");
    case BridgeTaskKind::PhotosByDate:
        return loc("photos par date");
    case BridgeTaskKind::AppOpen:
        return loc("ouvrir une app");
    case BridgeTaskKind::ShortcutRun:
        return loc("lancer un Shortcut");
    case BridgeTaskKind::ShortcutList:
        return loc("lister les Shortcuts");
    case BridgeTaskKind::OcrImage:
        return loc("OCR d'une image");
    case BridgeTaskKind::OpenDocument:
        return loc("ouvrir un document");
    case BridgeTaskKind::Thumbnail:
        return loc("miniature");
    case BridgeTaskKind::LLMInfer:
        return loc("inférence LLM locale");
    }
    return QString();
}

BridgeSettingsController::BridgeSettingsController(AppSession& session, BookmarkStore& bookmarks,
                                                   BridgeService& bridge, QObject* parent)
    : QObject(parent)
    , session_(&session)
    , bookmarks_(&bookmarks)
    , bridge_(&bridge) {
    connect(&session, &AppSession::bridgeEnabledChanged, this, &BridgeSettingsController::changed);
    connect(&session, &AppSession::userTokenChanged, this, &BridgeSettingsController::changed);
    connect(&bookmarks, &BookmarkStore::entriesChanged, this, &BridgeSettingsController::changed);
    connect(&bookmarks, &BookmarkStore::entriesChanged, this, [this] {
        emit foldersChanged();
        detachTask(refreshFolderPaths());
    });
    for (auto signal : {&BridgeService::statusChanged, &BridgeService::tasksServedChanged,
                        &BridgeService::lastTaskAtChanged, &BridgeService::lastErrorMessageChanged})
        connect(&bridge, signal, this, &BridgeSettingsController::changed);
    detachTask(refreshFolderPaths());
}

bool BridgeSettingsController::bridgeEnabled() const {
    return session_ && session_->bridgeEnabled();
}

bool BridgeSettingsController::toggleEnabled() const {
    return session_ && session_->isAuthenticated();
}

void BridgeSettingsController::setBridgeEnabled(bool on) {
    if (toggleEnabled())
        session_->setBridgeEnabled(on);
}

QString BridgeSettingsController::hint() const {
    if (toggleEnabled())
        return loc(
            "Ombrix peut rechercher et lire les fichiers des dossiers partagés seulement quand ce pont est "
            "actif. La présence du Mac reste visible une fois l'app appairée.");
    return loc("Appaire-toi d'abord dans l'onglet Général.");
}

BridgeStatusRow BridgeSettingsController::statusRow() const {
    return BridgeStatusRow::of(bridge_ ? bridge_->status() : BridgeService::Status::off());
}

std::optional<QString> BridgeSettingsController::tasksServedText() const {
    if (!bridge_ || bridge_->tasksServed() <= 0)
        return std::nullopt;
    return QString::number(bridge_->tasksServed());
}

std::optional<QDateTime> BridgeSettingsController::lastTaskAt() const {
    return bridge_ ? bridge_->lastTaskAt() : std::nullopt;
}

std::optional<QString> BridgeSettingsController::lastErrorMessage() const {
    return bridge_ ? bridge_->lastErrorMessage() : std::nullopt;
}

QList<BridgeSettingsController::FolderRow> BridgeSettingsController::folders() const {
    QList<FolderRow> rows;
    if (!bookmarks_)
        return rows;
    const QString home = QDir::homePath();
    for (const BookmarkEntry& entry : bookmarks_->entries()) {
        QString path = paths_.value(entry.id);
        if (path.isEmpty()) {
            const QString recorded = BookmarkResolver::recordedPath(entry.bookmarkData);
            path = recorded.isEmpty() ? entry.displayName : abbreviateHome(recorded, home);
        }
        rows.append({entry.id, entry.displayName, path});
    }
    return rows;
}

QCoro::Task<> BridgeSettingsController::refreshFolderPaths() {
    if (!bookmarks_)
        co_return;
    QPointer<BridgeSettingsController> self(this);
    const quint64 generation = ++pathsGeneration_;
    const QList<BookmarkEntry> entries = bookmarks_->entries();
    const QString home = QDir::homePath();
    // Every folder is asked at once, each on its share's threads.
    std::vector<QCoro::Task<QString>> asked;
    for (const BookmarkEntry& entry : entries)
        asked.push_back(ShareWork::run(QStringList{SharedDocuments::shareOf(entry)},
                                       [entry, home] { return displayPath(entry, home); }));
    QHash<QUuid, QString> paths;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        try {
            paths.insert(entries.at(i).id, co_await std::move(asked.at(i)));
        } catch (...) {
            // A share that does not answer keeps the path it was shared at.
        }
    }
    if (!self || generation != pathsGeneration_)
        co_return; // gone, or a newer round runs
    if (paths == paths_)
        co_return;
    paths_ = paths;
    emit foldersChanged();
}

void BridgeSettingsController::removeFolder(const QUuid& id) {
    if (bookmarks_)
        bookmarks_->remove(id);
}

void BridgeSettingsController::beginAddingFolders() {
    addError_.reset();
    emit changed();
}

QCoro::Task<> BridgeSettingsController::addFolders(const QStringList& chosen) {
    const QStringList paths = chosen; // the caller's list may go at the first wait
    QPointer<BridgeSettingsController> self(this);
    for (const QString& path : std::as_const(paths)) {
        std::optional<BookmarkEntry> prepared;
        std::optional<QString> refusal;
        try {
            // The chosen folder is examined on its own threads: it may be on a
            // mount that hangs.
            QCoro::Task<BookmarkEntry> preparing =
                ShareWork::run(QStringList{path}, [path] { return BookmarkStore::prepare(path); });
            prepared = co_await std::move(preparing);
        } catch (...) {
            refusal = describeException(std::current_exception());
        }
        if (!self || !bookmarks_)
            co_return;
        if (refusal) {
            addError_ = refusal;
            continue;
        }
        // A folder already in the list (the same folder, whatever the spelling of
        // its path) is not added a second time.
        const QList<BookmarkEntry>& entries = bookmarks_->entries();
        if (std::any_of(entries.cbegin(), entries.cend(), [&](const BookmarkEntry& entry) {
                return BookmarkResolver::sameFolder(entry.bookmarkData, prepared->bookmarkData);
            }))
            continue;
        bookmarks_->insert(*prepared);
    }
    if (self)
        emit changed();
}

QString BridgeSettingsController::emptyText() {
    return loc("Aucun dossier partagé. Ajoute-en un pour que Ombrix puisse y chercher.");
}

QString BridgeSettingsController::footer() {
    return loc("Les dossiers sensibles (~/.ssh, Keychains, …) sont refusés même si tu les sélectionnes.");
}

QString BridgeSettingsController::abbreviateHome(const QString& path, const QString& home) {
    QString base = home;
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    if (base.isEmpty() || base == QLatin1String("/"))
        return path;
    if (path == base)
        return QStringLiteral("~");
    if (path.startsWith(base + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(base.size());
    return path;
}

QString BridgeSettingsController::displayPath(const BookmarkEntry& entry, const QString& home) {
    const auto resolved = BookmarkResolver::tryResolve(entry.bookmarkData);
    if (!resolved)
        return entry.displayName;
    return abbreviateHome(resolved->path(), home);
}

QString BridgeSettingsController::elapsedText(const QDateTime& since, const QDateTime& now) {
    const qint64 seconds = std::max<qint64>(0, since.secsTo(now));
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    if (seconds < 86400)
        return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
    return QStringLiteral("%1 j %2 h").arg(seconds / 86400).arg(seconds % 86400 / 3600);
}

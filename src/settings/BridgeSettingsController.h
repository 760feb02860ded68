#pragma once

#include "bridge/BridgeService.h"
#include "wire/BridgeTask.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <QCoro/QCoroTask>

#include <optional>

class AppSession;
class BookmarkStore;
struct BookmarkEntry;

// The colour roles of the bridge status dot.
enum class StatusTint { Orange, Red, Gray, Green };

// What the status row shows for a bridge status: "Erreur" never carries the
// message (it is shown on its own line).
struct BridgeStatusRow {
    QString label;
    StatusTint tint;

    static BridgeStatusRow of(const BridgeService::Status& status);
    // This tab's own phrase for a task kind ("recherche", "lecture", …).
    static QString kindLabel(BridgeTaskKind kind);
};

// The "Bridge local" tab: the bridge switch and its hint, the live status with the
// counters, and the shared folders. GUI thread only; `changed()` follows the
// session, the bridge, the folder list and the tab's own error line.
//
// Nothing here touches a shared folder on the GUI thread (one may sit on a mount
// that hangs): the folders' paths are resolved, and chosen folders checked, on
// the shares' own threads (ShareWork).
class BridgeSettingsController : public QObject {
    Q_OBJECT
public:
    struct FolderRow {
        QUuid id;
        QString name;
        QString path; // the display path
    };

    BridgeSettingsController(AppSession& session, BookmarkStore& bookmarks, BridgeService& bridge,
                             QObject* parent = nullptr);

    // ---- Section "Bridge local" -------------------------------------------------
    bool bridgeEnabled() const;
    bool toggleEnabled() const; // only when signed in
    void setBridgeEnabled(bool on);
    QString hint() const;

    // ---- Section "Connexion" --------------------------------------------------------
    BridgeStatusRow statusRow() const;
    // The count of tasks served, when there is one to show.
    std::optional<QString> tasksServedText() const;
    std::optional<QDateTime> lastTaskAt() const;
    std::optional<QString> lastErrorMessage() const;

    // ---- Section "Dossiers partagés" ------------------------------------------------
    // Without waiting: a path not resolved yet (or whose share does not answer) is
    // the one the folder was shared at.
    QList<FolderRow> folders() const;
    // Resolves every folder's path line on its share's threads; foldersChanged()
    // when a line changes. Run when the tab is made and when the list changes.
    QCoro::Task<> refreshFolderPaths();
    void removeFolder(const QUuid& id);
    // The folder chooser opens: the last error goes away.
    void beginAddingFolders();
    // The folders chosen, in the chooser's order, checked off the GUI thread. Each
    // acceptable folder is added; one already shared is skipped; the last refusal
    // is kept as the error line.
    QCoro::Task<> addFolders(const QStringList& paths);
    std::optional<QString> addError() const { return addError_; }

    static QString emptyText();
    static QString footer();

    // "~" in place of a leading home folder (followed by "/" or the end).
    static QString abbreviateHome(const QString& path, const QString& home);
    // The path line of a shared folder: the resolved path with the home folder
    // abbreviated, or the display name when the bookmark no longer resolves.
    // Blocks (the folder is looked up).
    static QString displayPath(const BookmarkEntry& entry, const QString& home);
    // The time since `since`, French, to the second ("42 s", "3 min 5 s", "2 h 7 min",
    // "3 j 4 h").
    static QString elapsedText(const QDateTime& since, const QDateTime& now);

signals:
    void changed();
    // The folder rows changed (the list, or a path line).
    void foldersChanged();

private:
    QPointer<AppSession> session_;
    QPointer<BookmarkStore> bookmarks_;
    QPointer<BridgeService> bridge_;
    std::optional<QString> addError_;
    QHash<QUuid, QString> paths_; // path lines resolved so far
    quint64 pathsGeneration_ = 0;
};

#pragma once

#include "bridge/BookmarkStore.h"
#include "session/APIService.h"
#include "wire/BridgeResults.h"
#include "wire/BridgeTask.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <optional>

// The bridge tasks over the shared folders' documents: search, read,
// list_folders and list_dir. Each handler reads the shared folders afresh, sends
// the task's one update itself and never throws; access to a shared folder is
// opened only around the work and closed on every path. Document ids are fresh
// UUID texts kept in BridgeService::shared().idCache().
//
// Nothing outside a shared folder is ever reached: containment is tested on
// canonical paths (links resolved), so a link inside a share that leads out of it
// is not searched, listed, read or given an id.
namespace DocumentBridgeHandler {

// The handlers' messages.
inline constexpr const char* kNoSharedFolder = "Aucun dossier partagé n'est configuré sur le Mac.";
inline constexpr const char* kUnknownDocument =
    "Document introuvable (la session a pu être nettoyée; relance la recherche).";
inline constexpr const char* kOutsideSharedFolders = "Document hors des dossiers partagés.";
inline constexpr const char* kMalformedFolderId = "folder_id mal formé.";
inline constexpr const char* kFolderNoLongerShared = "Ce dossier n'est plus partagé sur le Mac.";
inline constexpr const char* kUnresolvableBookmark =
    "Impossible de résoudre le bookmark (dossier déplacé ?).";
inline constexpr const char* kInvalidSubPath = "sub_path invalide.";
inline constexpr const char* kSubPathEscapes = "sub_path échappe du dossier partagé.";
inline constexpr const char* kCannotListFolder = "Lecture du dossier impossible: ";

inline constexpr qint64 kDefaultSearchLimit = 10;
inline constexpr double kSearchTimeout = 5.0;
inline constexpr qint64 kDefaultMaxChars = 8000;

// The roots whose path contains one of the hints (case ignored; an empty hint
// matches nothing); all roots when there is no hint or none matches.
QList<QUrl> rootsForHints(const QList<QUrl>& roots, const std::optional<QStringList>& hints);

// The components of a sub path ("a//b/" gives a, b); nothing when it begins with
// "/" or has a ".." component.
std::optional<QStringList> subPathComponents(const QString& subPath);

// Whether the text is a UUID in its 36-character form (either case).
bool isUuidText(const QString& text);

// The MIME type of a listed file, by its lower-cased extension;
// "application/octet-stream" when unknown.
QString listedFileMime(const QString& name);

QCoro::Task<> handleSearch(const BridgeTask& task, const BridgeTask::SearchArgs& args, const APIService& api);
QCoro::Task<> handleRead(const BridgeTask& task, const BridgeTask::ReadArgs& args, const APIService& api);
QCoro::Task<> handleListFolders(const BridgeTask& task, const APIService& api);
QCoro::Task<> handleListDir(const BridgeTask& task, const BridgeTask::ListDirArgs& args,
                            const APIService& api);

} // namespace DocumentBridgeHandler

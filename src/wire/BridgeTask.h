#pragma once

#include "platform/Json.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// What the backend asks the bridge to do. The wire string of each kind is its
// only spelling: matched exactly, case included, with no alias.
enum class BridgeTaskKind {
    Search,
    Read,
    ListFolders,
    ListDir,
    PhotosRecent,
    PhotosByDate,
    AppOpen,
    ShortcutRun,
    ShortcutList,
    OcrImage,
    OpenDocument,
    Thumbnail,
    LLMInfer,
};

// "search", "read", "list_folders", … "llm_infer".
QString wireName(BridgeTaskKind kind);
// The kind whose wire string is exactly this text, or nothing.
std::optional<BridgeTaskKind> bridgeTaskKindFromWire(const QString& wire);
// The thirteen kinds in declaration order.
const QList<BridgeTaskKind>& allBridgeTaskKinds();

// One task fetched by the long poll. Decoded only, never encoded.
struct BridgeTask {
    struct SearchArgs {
        QString query;
        std::optional<QStringList> folderHints;
        std::optional<qint64> limit;
        bool operator==(const SearchArgs&) const = default;
    };
    struct ReadArgs {
        QString documentId;
        std::optional<qint64> maxChars;
        bool operator==(const ReadArgs&) const = default;
    };
    struct ListFoldersArgs {
        bool operator==(const ListFoldersArgs&) const = default;
    };
    struct ListDirArgs {
        QString folderId;
        std::optional<QString> subPath;
        bool operator==(const ListDirArgs&) const = default;
    };
    struct PhotosRecentArgs {
        std::optional<qint64> limit;
        bool operator==(const PhotosRecentArgs&) const = default;
    };
    struct PhotosByDateArgs {
        qint64 year = 0;
        std::optional<qint64> month;
        std::optional<qint64> limit;
        bool operator==(const PhotosByDateArgs&) const = default;
    };
    struct AppOpenArgs {
        QString name;
        bool operator==(const AppOpenArgs&) const = default;
    };
    struct ShortcutRunArgs {
        QString name;
        std::optional<QString> input;
        bool operator==(const ShortcutRunArgs&) const = default;
    };
    struct ShortcutListArgs {
        bool operator==(const ShortcutListArgs&) const = default;
    };
    struct OcrImageArgs {
        QString documentId;
        bool operator==(const OcrImageArgs&) const = default;
    };
    struct OpenDocumentArgs {
        QString documentId;
        bool operator==(const OpenDocumentArgs&) const = default;
    };
    struct ThumbnailArgs {
        QString documentId;
        std::optional<qint64> maxEdge;
        bool operator==(const ThumbnailArgs&) const = default;
    };
    struct LLMInferArgs {
        QString openaiBodyJson; // the text of a chat-completions request body
        bool operator==(const LLMInferArgs&) const = default;
    };

    // One alternative per kind, in the order of BridgeTaskKind: args.index() is
    // always static_cast<size_t>(kind). list_folders and shortcut_list carry nothing.
    using Args = std::variant<SearchArgs, ReadArgs, ListFoldersArgs, ListDirArgs, PhotosRecentArgs,
                              PhotosByDateArgs, AppOpenArgs, ShortcutRunArgs, ShortcutListArgs, OcrImageArgs,
                              OpenDocumentArgs, ThumbnailArgs, LLMInferArgs>;

    QString id;
    BridgeTaskKind kind = BridgeTaskKind::Search;
    Args args;

    // Strict decoding: "id" and "kind" required strings, "args" required for
    // every kind with arguments (optional for photos_recent, never read for
    // list_folders and shortcut_list); integers must be JSON integers; unknown
    // keys are ignored; nothing is defaulted, trimmed or clamped.
    // Throws JsonDecodingError.
    static BridgeTask fromJson(const Json& object);
    // fromJson() of a parsed JSON text (a malformed text throws JsonDecodingError).
    static BridgeTask fromJsonBytes(const QByteArray& bytes);
};

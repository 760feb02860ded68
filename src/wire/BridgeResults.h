#pragma once

#include "platform/Json.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The result object of each bridge task kind, as it travels under "result" in a
// "done" update. Fields are named after their JSON keys; toJson() writes them in
// declaration order, and an absent optional is left out (never null). Results
// are only encoded, never decoded.

// A shared folder that did not answer in time (a hung mount): named in the results
// of the tasks that look across the shared folders (search, list_folders) under
// "not_answering", which is left out when every folder answered.
struct BridgeSilentFolder {
    QString id;   // the folder's id, as list_folders gives it
    QString name; // its display name
    Json toJson() const;
    bool operator==(const BridgeSilentFolder&) const = default;
};

struct BridgeSearchResult {
    struct Item {
        QString id;
        QString name;
        QString mime;
        qint64 size = 0;
        std::optional<QString> modified_at; // ISO 8601, UTC, "Z", no fraction
        QString parent;
        bool is_remote = false;
        Json toJson() const;
        bool operator==(const Item&) const = default;
    };
    QList<Item> items;
    QList<BridgeSilentFolder> not_answering;
    Json toJson() const;
};

struct BridgeReadResult {
    QString content;
    bool truncated = false;
    qint64 bytes_read = 0;
    Json toJson() const;
};

struct BridgeListFoldersResult {
    struct Folder {
        QString id;
        QString name;
        QString path_display;
        bool is_remote = false;
        Json toJson() const;
        bool operator==(const Folder&) const = default;
    };
    QList<Folder> folders;
    QList<BridgeSilentFolder> not_answering;
    Json toJson() const;
};

struct BridgeListDirResult {
    struct Item {
        QString id;
        QString name;
        QString type;
        QString mime;
        qint64 size = 0;
        std::optional<QString> modified_at;
        QString sub_path;
        Json toJson() const;
        bool operator==(const Item&) const = default;
    };
    QList<Item> items;
    QString folder_id;
    QString sub_path;
    Json toJson() const;
};

struct BridgePhotosResult {
    struct Item {
        struct Location {
            double lat = 0; // degrees
            double lng = 0;
            Json toJson() const;
            bool operator==(const Location&) const = default;
        };
        QString id;
        QString name;
        std::optional<QString> taken_at;
        QString mime;
        std::optional<Location> location;
        Json toJson() const;
        bool operator==(const Item&) const = default;
    };
    QList<Item> items;
    Json toJson() const;
};

struct BridgeOkResult {
    bool ok = false;
    std::optional<QString> error;
    Json toJson() const;
};

struct BridgeShortcutListResult {
    QStringList shortcuts;
    Json toJson() const;
};

struct BridgeShortcutRunResult {
    std::optional<QString> output;
    Json toJson() const;
};

struct BridgeOcrResult {
    QString text;
    QStringList languages; // the recognition languages applied
    qint64 bytes_processed = 0;
    Json toJson() const;
};

struct BridgeThumbnailResult {
    QString data_base64;
    QString mime;
    qint64 width = 0;
    qint64 height = 0;
    Json toJson() const;
};

struct BridgeLLMInferResult {
    QString response_json; // the text of a chat-completion response object
    QString model_used;
    qint64 latency_ms = 0;
    Json toJson() const;
};

// The three bodies of a task update. Each encodes compactly, members in order,
// with "/" written as "\/". encode() throws (before anything is sent) when the
// value holds a number that is not finite.
struct BridgeSuccessBody {
    Json result; // a result record's toJson()
    QByteArray encode() const;
};

struct BridgeErrorBody {
    QString error_message;
    QByteArray encode() const;
};

struct BridgeStreamBody {
    QString delta;
    QByteArray encode() const;
};

// A value that cannot be written as JSON (a number that is not finite).
class JsonEncodingError : public OmbrixError {
public:
    QString description() const override;
};

// Compact JSON text of an update body: members in order, raw UTF-8, "/" escaped.
QByteArray encodeBridgeUpdate(const Json& body);

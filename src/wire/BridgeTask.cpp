#include "wire/BridgeTask.h"

#include <array>

namespace {

struct KindName {
    BridgeTaskKind kind;
    const char* wire;
};

constexpr std::array<KindName, 13> kKinds{{
    {BridgeTaskKind::Search, "search"},
    {BridgeTaskKind::Read, "read"},
    {BridgeTaskKind::ListFolders, "list_folders"},
    {BridgeTaskKind::ListDir, "list_dir"},
    {BridgeTaskKind::PhotosRecent, "photos_recent"},
    {BridgeTaskKind::PhotosByDate, "photos_by_date"},
    {BridgeTaskKind::AppOpen, "app_open"},
    {BridgeTaskKind::ShortcutRun, "shortcut_run"},
    {BridgeTaskKind::ShortcutList, "shortcut_list"},
    {BridgeTaskKind::OcrImage, "ocr_image"},
    {BridgeTaskKind::OpenDocument, "open_document"},
    {BridgeTaskKind::Thumbnail, "thumbnail"},
    {BridgeTaskKind::LLMInfer, "llm_infer"},
}};

std::optional<QStringList> optionalStringList(const Json& object, const char* key) {
    json::requireObject(object, key);
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return std::nullopt;
    if (!it->is_array())
        throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch, QString::fromUtf8(key));
    QStringList list;
    for (const Json& element : *it) {
        if (element.is_null())
            throw JsonDecodingError(JsonDecodingError::Kind::Missing, QString::fromUtf8(key));
        if (!element.is_string())
            throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch, QString::fromUtf8(key));
        list.append(json::qstr(element));
    }
    return list;
}

// The "args" object of a kind that needs one: present, not null, an object.
const Json& requiredArgs(const Json& task) {
    return json::requireObject(json::require(task, "args"), "args");
}

BridgeTask::Args decodeArgs(BridgeTaskKind kind, const Json& task) {
    using T = BridgeTask;
    switch (kind) {
    case BridgeTaskKind::Search: {
        const Json& a = requiredArgs(task);
        T::SearchArgs args;
        args.query = json::requireString(a, "query");
        args.folderHints = optionalStringList(a, "folder_hints");
        args.limit = json::optionalInt(a, "limit");
        return args;
    }
    case BridgeTaskKind::Read: {
        const Json& a = requiredArgs(task);
        T::ReadArgs args;
        args.documentId = json::requireString(a, "document_id");
        args.maxChars = json::optionalInt(a, "max_chars");
        return args;
    }
    case BridgeTaskKind::ListFolders:
        return T::ListFoldersArgs{};
    case BridgeTaskKind::ListDir: {
        const Json& a = requiredArgs(task);
        T::ListDirArgs args;
        args.folderId = json::requireString(a, "folder_id");
        args.subPath = json::optionalString(a, "sub_path");
        return args;
    }
    case BridgeTaskKind::PhotosRecent: {
        T::PhotosRecentArgs args;
        auto it = task.find("args");
        if (it != task.end() && !it->is_null())
            args.limit = json::optionalInt(json::requireObject(*it, "args"), "limit");
        return args;
    }
    case BridgeTaskKind::PhotosByDate: {
        const Json& a = requiredArgs(task);
        T::PhotosByDateArgs args;
        args.year = json::requireInt(a, "year");
        args.month = json::optionalInt(a, "month");
        args.limit = json::optionalInt(a, "limit");
        return args;
    }
    case BridgeTaskKind::AppOpen: {
        const Json& a = requiredArgs(task);
        return T::AppOpenArgs{json::requireString(a, "name")};
    }
    case BridgeTaskKind::ShortcutRun: {
        const Json& a = requiredArgs(task);
        T::ShortcutRunArgs args;
        args.name = json::requireString(a, "name");
        args.input = json::optionalString(a, "input");
        return args;
    }
    case BridgeTaskKind::ShortcutList:
        return T::ShortcutListArgs{};
    case BridgeTaskKind::OcrImage:
        return T::OcrImageArgs{json::requireString(requiredArgs(task), "document_id")};
    case BridgeTaskKind::OpenDocument:
        return T::OpenDocumentArgs{json::requireString(requiredArgs(task), "document_id")};
    case BridgeTaskKind::Thumbnail: {
        const Json& a = requiredArgs(task);
        T::ThumbnailArgs args;
        args.documentId = json::requireString(a, "document_id");
        args.maxEdge = json::optionalInt(a, "max_edge");
        return args;
    }
    case BridgeTaskKind::LLMInfer:
        return T::LLMInferArgs{json::requireString(requiredArgs(task), "openai_body_json")};
    }
    throw JsonDecodingError(JsonDecodingError::Kind::Malformed, QStringLiteral("kind"));
}

} // namespace

QString wireName(BridgeTaskKind kind) {
    for (const auto& k : kKinds)
        if (k.kind == kind)
            return QString::fromLatin1(k.wire);
    return QString();
}

std::optional<BridgeTaskKind> bridgeTaskKindFromWire(const QString& wire) {
    for (const auto& k : kKinds)
        if (wire == QLatin1String(k.wire))
            return k.kind;
    return std::nullopt;
}

const QList<BridgeTaskKind>& allBridgeTaskKinds() {
    static const QList<BridgeTaskKind> kinds = [] {
        QList<BridgeTaskKind> list;
        for (const auto& k : kKinds)
            list.append(k.kind);
        return list;
    }();
    return kinds;
}

BridgeTask BridgeTask::fromJson(const Json& object) {
    json::requireObject(object, "task");
    BridgeTask task;
    task.id = json::requireString(object, "id");
    const QString kindText = json::requireString(object, "kind");
    const auto kind = bridgeTaskKindFromWire(kindText);
    if (!kind)
        throw JsonDecodingError(JsonDecodingError::Kind::Malformed, QStringLiteral("kind"));
    task.kind = *kind;
    task.args = decodeArgs(*kind, object);
    return task;
}

BridgeTask BridgeTask::fromJsonBytes(const QByteArray& bytes) {
    return fromJson(json::parse(bytes));
}

#include "wire/BridgeResults.h"

#include "platform/Localization.h"

#include <cmath>

namespace {

Json strings(const QStringList& list) {
    Json array = Json::array();
    for (const QString& s : list)
        array.push_back(json::str(s));
    return array;
}

template <typename T> Json records(const QList<T>& list) {
    Json array = Json::array();
    for (const T& item : list)
        array.push_back(item.toJson());
    return array;
}

void putOptional(Json& object, const char* key, const std::optional<QString>& value) {
    if (value)
        object[key] = json::str(*value);
}

bool allFinite(const Json& value) {
    if (value.is_number_float())
        return std::isfinite(value.get<double>());
    if (value.is_structured()) {
        for (const Json& element : value)
            if (!allFinite(element))
                return false;
    }
    return true;
}

} // namespace

Json BridgeSearchResult::Item::toJson() const {
    Json o = Json::object();
    o["id"] = json::str(id);
    o["name"] = json::str(name);
    o["mime"] = json::str(mime);
    o["size"] = size;
    putOptional(o, "modified_at", modified_at);
    o["parent"] = json::str(parent);
    o["is_remote"] = is_remote;
    return o;
}

Json BridgeSilentFolder::toJson() const {
    return Json{{"id", json::str(id)}, {"name", json::str(name)}};
}

Json BridgeSearchResult::toJson() const {
    Json o = Json{{"items", records(items)}};
    if (!not_answering.isEmpty())
        o["not_answering"] = records(not_answering);
    return o;
}

Json BridgeReadResult::toJson() const {
    Json o = Json::object();
    o["content"] = json::str(content);
    o["truncated"] = truncated;
    o["bytes_read"] = bytes_read;
    return o;
}

Json BridgeListFoldersResult::Folder::toJson() const {
    Json o = Json::object();
    o["id"] = json::str(id);
    o["name"] = json::str(name);
    o["path_display"] = json::str(path_display);
    o["is_remote"] = is_remote;
    return o;
}

Json BridgeListFoldersResult::toJson() const {
    Json o = Json{{"folders", records(folders)}};
    if (!not_answering.isEmpty())
        o["not_answering"] = records(not_answering);
    return o;
}

Json BridgeListDirResult::Item::toJson() const {
    Json o = Json::object();
    o["id"] = json::str(id);
    o["name"] = json::str(name);
    o["type"] = json::str(type);
    o["mime"] = json::str(mime);
    o["size"] = size;
    putOptional(o, "modified_at", modified_at);
    o["sub_path"] = json::str(sub_path);
    return o;
}

Json BridgeListDirResult::toJson() const {
    Json o = Json::object();
    o["items"] = records(items);
    o["folder_id"] = json::str(folder_id);
    o["sub_path"] = json::str(sub_path);
    return o;
}

Json BridgePhotosResult::Item::Location::toJson() const {
    Json o = Json::object();
    o["lat"] = lat;
    o["lng"] = lng;
    return o;
}

Json BridgePhotosResult::Item::toJson() const {
    Json o = Json::object();
    o["id"] = json::str(id);
    o["name"] = json::str(name);
    putOptional(o, "taken_at", taken_at);
    o["mime"] = json::str(mime);
    if (location)
        o["location"] = location->toJson();
    return o;
}

Json BridgePhotosResult::toJson() const {
    return Json{{"items", records(items)}};
}

Json BridgeOkResult::toJson() const {
    Json o = Json::object();
    o["ok"] = ok;
    putOptional(o, "error", error);
    return o;
}

Json BridgeShortcutListResult::toJson() const {
    return Json{{"shortcuts", strings(shortcuts)}};
}

Json BridgeShortcutRunResult::toJson() const {
    Json o = Json::object();
    putOptional(o, "output", output);
    return o;
}

Json BridgeOcrResult::toJson() const {
    Json o = Json::object();
    o["text"] = json::str(text);
    o["languages"] = strings(languages);
    o["bytes_processed"] = bytes_processed;
    return o;
}

Json BridgeThumbnailResult::toJson() const {
    Json o = Json::object();
    o["data_base64"] = json::str(data_base64);
    o["mime"] = json::str(mime);
    o["width"] = width;
    o["height"] = height;
    return o;
}

Json BridgeLLMInferResult::toJson() const {
    Json o = Json::object();
    o["response_json"] = json::str(response_json);
    o["model_used"] = json::str(model_used);
    o["latency_ms"] = latency_ms;
    return o;
}

QString JsonEncodingError::description() const {
    return loc("Les données n’ont pas pu être écrites, car leur format est incorrect.");
}

QByteArray encodeBridgeUpdate(const Json& body) {
    if (!allFinite(body))
        throw JsonEncodingError();
    // "/" can only occur inside JSON strings, so escaping every one is safe.
    QByteArray text = json::dump(body);
    text.replace("/", "\\/");
    return text;
}

QByteArray BridgeSuccessBody::encode() const {
    Json body = Json::object();
    body["status"] = "done";
    body["result"] = result;
    return encodeBridgeUpdate(body);
}

QByteArray BridgeErrorBody::encode() const {
    Json body = Json::object();
    body["status"] = "error";
    body["error_message"] = json::str(error_message);
    return encodeBridgeUpdate(body);
}

QByteArray BridgeStreamBody::encode() const {
    Json body = Json::object();
    body["status"] = "streaming";
    body["delta"] = json::str(delta);
    return encodeBridgeUpdate(body);
}

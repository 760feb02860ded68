#include "localllm/BridgeHeartbeat.h"

#include <cmath>

namespace {
void putNumber(Json& object, const char* key, const std::optional<double>& value) {
    if (value && std::isfinite(*value))
        object[key] = *value;
}
} // namespace

Json BridgeHeartbeat::toJson() const {
    Json object = Json::object();
    if (loaded_model)
        object["loaded_model"] = loaded_model->toStdString();
    putNumber(object, "ram_used_gb", ram_used_gb);
    putNumber(object, "ram_total_gb", ram_total_gb);
    putNumber(object, "tok_per_sec_recent", tok_per_sec_recent);
    if (downloaded_models) {
        Json ids = Json::array();
        for (const QString& id : *downloaded_models)
            ids.push_back(id.toStdString());
        object["downloaded_models"] = std::move(ids);
    }
    return object;
}

QByteArray BridgeHeartbeat::headerValue() const {
    // ensure_ascii escapes everything outside ASCII (as UTF-16 \u escapes); invalid
    // UTF-16 from QString has already become U+FFFD, so dumping cannot throw.
    const std::string ascii = toJson().dump(-1, ' ', true, Json::error_handler_t::replace);
    QByteArray text;
    text.reserve(static_cast<qsizetype>(ascii.size()) + 8);
    // A "/" only ever occurs inside a JSON string and is never part of an escape
    // sequence, so escaping every one of them keeps the text valid.
    for (char c : ascii) {
        if (c == '/')
            text += "\\/";
        else
            text += c;
    }
    return text;
}

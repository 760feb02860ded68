#include "platform/Json.h"

#include "platform/Localization.h"

QString JsonDecodingError::description() const {
    switch (kind_) {
    case Kind::Malformed:
        return loc("Les données n’ont pas pu être lues, car leur format est incorrect.");
    case Kind::Missing:
        return loc("Les données n’ont pas pu être lues, car elles sont manquantes.") +
               (path_.isEmpty() ? QString() : QStringLiteral(" (") + path_ + QStringLiteral(")"));
    case Kind::TypeMismatch:
        return loc("Les données n’ont pas pu être lues, car leur type est incorrect.") +
               (path_.isEmpty() ? QString() : QStringLiteral(" (") + path_ + QStringLiteral(")"));
    }
    return QString();
}

namespace json {

Json parse(const QByteArray& bytes) {
    Json value = Json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    if (value.is_discarded())
        throw JsonDecodingError(JsonDecodingError::Kind::Malformed, QString());
    return value;
}

const Json& requireObject(const Json& value, const char* what) {
    if (!value.is_object())
        throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch, QString::fromUtf8(what));
    return value;
}

const Json& require(const Json& object, const char* key) {
    requireObject(object, key);
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        throw JsonDecodingError(JsonDecodingError::Kind::Missing, QString::fromUtf8(key));
    return *it;
}

namespace {
[[noreturn]] void mismatch(const char* key) {
    throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch, QString::fromUtf8(key));
}
const Json* optionalMember(const Json& object, const char* key) {
    requireObject(object, key);
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return nullptr;
    return &*it;
}
qint64 asInt(const Json& v, const char* key) {
    if (v.is_number_integer()) {
        if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
            mismatch(key);
        return v.get<qint64>();
    }
    mismatch(key);
}
double asDouble(const Json& v, const char* key) {
    if (!v.is_number())
        mismatch(key);
    return v.get<double>();
}
} // namespace

QString requireString(const Json& object, const char* key) {
    const Json& v = require(object, key);
    if (!v.is_string())
        mismatch(key);
    return qstr(v);
}

qint64 requireInt(const Json& object, const char* key) {
    return asInt(require(object, key), key);
}

double requireDouble(const Json& object, const char* key) {
    return asDouble(require(object, key), key);
}

bool requireBool(const Json& object, const char* key) {
    const Json& v = require(object, key);
    if (!v.is_boolean())
        mismatch(key);
    return v.get<bool>();
}

std::optional<QString> optionalString(const Json& object, const char* key) {
    const Json* v = optionalMember(object, key);
    if (!v)
        return std::nullopt;
    if (!v->is_string())
        mismatch(key);
    return qstr(*v);
}

std::optional<qint64> optionalInt(const Json& object, const char* key) {
    const Json* v = optionalMember(object, key);
    if (!v)
        return std::nullopt;
    return asInt(*v, key);
}

std::optional<double> optionalDouble(const Json& object, const char* key) {
    const Json* v = optionalMember(object, key);
    if (!v)
        return std::nullopt;
    return asDouble(*v, key);
}

std::optional<bool> optionalBool(const Json& object, const char* key) {
    const Json* v = optionalMember(object, key);
    if (!v)
        return std::nullopt;
    if (!v->is_boolean())
        mismatch(key);
    return v->get<bool>();
}

QString qstr(const Json& stringValue) {
    const auto& s = stringValue.get_ref<const std::string&>();
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

std::string str(const QString& text) {
    return text.toStdString();
}

QByteArray dump(const Json& value) {
    return QByteArray::fromStdString(value.dump(-1, ' ', false, Json::error_handler_t::replace));
}

} // namespace json

#pragma once

#include "platform/Errors.h"

#include <QByteArray>
#include <QString>

#include <nlohmann/json.hpp>

#include <optional>

// Wire JSON keeps its members in the order they were written.
using Json = nlohmann::ordered_json;

// A JSON text or a typed record that could not be decoded: malformed JSON, a
// missing or null required key, or a value of the wrong JSON type.
class JsonDecodingError : public OmbrixError {
public:
    enum class Kind { Malformed, Missing, TypeMismatch };
    JsonDecodingError(Kind kind, QString path)
        : kind_(kind)
        , path_(std::move(path)) {}
    QString description() const override;
    Kind kind() const { return kind_; }
    QString path() const { return path_; }

private:
    Kind kind_;
    QString path_;
};

// Strict decoding helpers: required keys must be present and not null; integers
// must be JSON integers (never fractional numbers or digit strings); unknown keys
// are ignored; nothing is defaulted.
namespace json {
Json parse(const QByteArray& bytes); // throws JsonDecodingError(Malformed)
const Json& requireObject(const Json& value, const char* what = "");
const Json& require(const Json& object, const char* key);
QString requireString(const Json& object, const char* key);
qint64 requireInt(const Json& object, const char* key);
double requireDouble(const Json& object, const char* key);
bool requireBool(const Json& object, const char* key);
std::optional<QString> optionalString(const Json& object, const char* key);
std::optional<qint64> optionalInt(const Json& object, const char* key);
std::optional<double> optionalDouble(const Json& object, const char* key);
std::optional<bool> optionalBool(const Json& object, const char* key);

QString qstr(const Json& stringValue); // the value must be a string
std::string str(const QString& text);
QByteArray dump(const Json& value); // compact UTF-8
} // namespace json

#pragma once

#include "platform/Errors.h"

#include <QByteArray>
#include <QString>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <optional>

// Wire JSON keeps its members in the order they were written.
using Json = nlohmann::ordered_json;

// A JSON text or a typed record that could not be decoded: malformed JSON, a
// missing or null required key, or a value of the wrong JSON type.
class JsonDecodingError : public OmbrixError {
public:
    enum class Kind { Malformed, Missing, TypeMismatch, TooDeep, TooLarge };
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
// must be whole numbers (5, 5.0 and 5e0 alike; never a true fraction or a digit
// string); unknown keys are ignored; nothing is defaulted.
namespace json {
// The deepest nesting of arrays and objects a parsed text may hold. Copying and
// comparing a value recurse once per level, so a deeper text is refused while it
// is read, before anything is built from it.
inline constexpr int maxDepth = 64;
// The most values (scalars, arrays and objects, members' values included) a parsed
// text may hold. A value costs the tree being built up to about 90 bytes (an empty
// object inside an object: its member, its own map, the vectors' growth), whatever
// the few bytes of text it takes; the budget keeps the peak of any text under the
// 16 MiB a poll answer may have below 8 times its size (tests/bench/json_memory.cpp).
// A text with more is refused while it is read (TooLarge).
inline constexpr std::size_t maxValues = 750'000;
// Every JSON text that comes from outside the program (the backend, the local
// model server, files) is read here: nesting checked while parsing (TooDeep past
// maxDepth), the number of values too (TooLarge past maxValues), time and memory
// linear in the size of the text (an object's members are collected and
// de-duplicated once, at its end; a repeated key keeps its first place and its
// last value). Members keep the order of the text.
Json parse(const QByteArray& bytes); // throws JsonDecodingError (Malformed, TooDeep, TooLarge)
Json parse(const char* begin, const char* end);
// parse() with a budget of `budget` values instead of maxValues (how values are
// counted is the same whatever the budget: tests show it with a small one).
Json parseWithBudget(const QByteArray& bytes, std::size_t budget);
// parse() for readers that treat a bad text as absent.
std::optional<Json> tryParse(const QByteArray& bytes);
// tryParse() of a text the program wrote itself into a file whose size the writer
// and the reader bound alike (the settings file): the depth is checked, the number
// of values is not (a long conversation holds millions).
std::optional<Json> tryParseOwn(const QByteArray& bytes);
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

// The members of a damaged container's body (the text between its brackets), as
// pieces cut where one member ends and the next begins: `separator` starts with the
// member's closing brace and ends with what opens the next (the comma between them
// belongs to neither). Each piece goes to `read`; while `read` refuses it, it is
// joined back with the next ones, up to `maxJoined` pieces, since a text inside a
// member may itself hold the separator. A piece that no joining makes readable goes
// to `unread`, with whether it was the body's only piece.
void readPieces(const QByteArray& body, const QByteArray& separator, int maxJoined,
                const std::function<bool(const QByteArray&)>& read,
                const std::function<void(const QByteArray&, bool only)>& unread);
} // namespace json

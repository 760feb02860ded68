#include "platform/Json.h"

#include "platform/Localization.h"

#include <QList>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

QString JsonDecodingError::description() const {
    switch (kind_) {
    case Kind::Malformed:
        return loc("Les données n’ont pas pu être lues, car leur format est incorrect.");
    case Kind::Missing:
        return loc("Les données n’ont pas pu être lues, car elles sont manquantes.") +
               (path_.isEmpty() ? QString() : QStringLiteral(" (") + path_ + QStringLiteral(")"));
    case Kind::TooDeep:
        return loc("Les données n’ont pas pu être lues, car elles sont trop imbriquées.");
    case Kind::TooLarge:
        return loc("Les données n’ont pas pu être lues, car elles sont trop volumineuses.");
    case Kind::TypeMismatch:
        return loc("Les données n’ont pas pu être lues, car leur type est incorrect.") +
               (path_.isEmpty() ? QString() : QStringLiteral(" (") + path_ + QStringLiteral(")"));
    }
    return QString();
}

namespace json {

namespace {

// Builds the value from the parser's events. nlohmann's own builder inserts each
// member through the ordered map's linear search (quadratic in the number of keys)
// and has no depth limit; this one appends members and removes repeated keys once
// per object.
class BoundedBuilder {
public:
    Json root;
    bool tooDeep = false;
    bool tooLarge = false;
    std::size_t budget = maxValues;

    bool null() { return put(Json(nullptr)); }
    bool boolean(bool value) { return put(Json(value)); }
    bool number_integer(Json::number_integer_t value) { return put(Json(value)); }
    bool number_unsigned(Json::number_unsigned_t value) { return put(Json(value)); }
    bool number_float(Json::number_float_t value, const Json::string_t&) { return put(Json(value)); }
    bool string(Json::string_t& value) { return put(Json(std::move(value))); }
    bool binary(Json::binary_t&) { return false; } // not produced by JSON text
    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool key(Json::string_t& value) {
        stack_.back().key = std::move(value);
        return true;
    }
    bool end_object() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        return put(objectOf(std::move(frame.members)));
    }
    bool end_array() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        Json array(Json::value_t::array);
        array.get_ref<Json::array_t&>() = std::move(frame.elements);
        return put(std::move(array));
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

private:
    struct Frame {
        bool object = false;
        std::string key;
        std::vector<std::pair<std::string, Json>> members;
        std::vector<Json> elements;
    };
    std::vector<Frame> stack_;
    std::size_t values_ = 0;

    bool open(bool object) {
        if (stack_.size() >= static_cast<size_t>(maxDepth)) {
            tooDeep = true;
            return false;
        }
        stack_.emplace_back().object = object;
        return true;
    }

    bool put(Json&& value) {
        if (++values_ > budget) {
            tooLarge = true;
            return false;
        }
        if (stack_.empty()) {
            root = std::move(value);
        } else if (Frame& top = stack_.back(); top.object) {
            top.members.emplace_back(std::move(top.key), std::move(value));
        } else {
            top.elements.push_back(std::move(value));
        }
        return true;
    }

    static Json objectOf(std::vector<std::pair<std::string, Json>>&& members) {
        // Repeated keys: the first place, the last value (what the text means to
        // most readers, and what nlohmann's own parser gives).
        std::vector<bool> dropped(members.size(), false);
        bool anyDropped = false;
        if (members.size() > 1) {
            std::vector<size_t> order(members.size());
            std::iota(order.begin(), order.end(), size_t(0));
            std::stable_sort(order.begin(), order.end(),
                             [&](size_t a, size_t b) { return members[a].first < members[b].first; });
            for (size_t i = 0; i < order.size();) {
                size_t j = i + 1;
                while (j < order.size() && members[order[j]].first == members[order[i]].first)
                    ++j;
                if (j - i > 1) {
                    members[order[i]].second = std::move(members[order[j - 1]].second);
                    for (size_t k = i + 1; k < j; ++k)
                        dropped[order[k]] = true;
                    anyDropped = true;
                }
                i = j;
            }
        }
        Json object(Json::value_t::object);
        auto& map = static_cast<Json::object_t::Container&>(object.get_ref<Json::object_t&>());
        map.reserve(members.size());
        for (size_t i = 0; i < members.size(); ++i)
            if (!anyDropped || !dropped[i])
                map.emplace_back(std::move(members[i].first), std::move(members[i].second));
        return object;
    }
};

} // namespace

namespace {
Json parseWithBudget(const char* begin, const char* end, std::size_t budget) {
    BoundedBuilder builder;
    builder.budget = budget;
    const bool ok =
        Json::sax_parse(begin, end, &builder, nlohmann::detail::input_format_t::json, true, false);
    if (builder.tooDeep)
        throw JsonDecodingError(JsonDecodingError::Kind::TooDeep, QString());
    if (builder.tooLarge)
        throw JsonDecodingError(JsonDecodingError::Kind::TooLarge, QString());
    if (!ok)
        throw JsonDecodingError(JsonDecodingError::Kind::Malformed, QString());
    return std::move(builder.root);
}
} // namespace

Json parse(const char* begin, const char* end) {
    return parseWithBudget(begin, end, maxValues);
}

Json parseWithBudget(const QByteArray& bytes, std::size_t budget) {
    return parseWithBudget(bytes.constBegin(), bytes.constEnd(), budget);
}

Json parse(const QByteArray& bytes) {
    return parse(bytes.constBegin(), bytes.constEnd());
}

std::optional<Json> tryParse(const QByteArray& bytes) {
    try {
        return parse(bytes);
    } catch (const JsonDecodingError&) {
        return std::nullopt;
    }
}

std::optional<Json> tryParseOwn(const QByteArray& bytes) {
    try {
        return parseWithBudget(bytes.constBegin(), bytes.constEnd(), std::numeric_limits<std::size_t>::max());
    } catch (const JsonDecodingError&) {
        return std::nullopt;
    }
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
    // A whole number written with a fraction of zero or an exponent (5.0, 2.023e3)
    // is an integer; a true fraction, or a value outside 64 bits, is not.
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -0x1p63 && d < 0x1p63)
            return static_cast<qint64>(d);
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

void readPieces(const QByteArray& body, const QByteArray& separator, int maxJoined,
                const std::function<bool(const QByteArray&)>& read,
                const std::function<void(const QByteArray&, bool only)>& unread) {
    QList<QByteArray> pieces;
    qsizetype from = 0;
    for (qsizetype at = body.indexOf(separator); at >= 0; at = body.indexOf(separator, at + 1)) {
        pieces.append(body.mid(from, at + 1 - from));
        from = at + 2;
    }
    pieces.append(body.mid(from));
    for (qsizetype i = 0; i < pieces.size();) {
        QByteArray candidate = pieces[i];
        qsizetype used = 1;
        bool readable = false;
        for (; i + used <= pieces.size() && used <= maxJoined; ++used) {
            if (used > 1)
                candidate += ',' + pieces[i + used - 1];
            if (read(candidate)) {
                readable = true;
                break;
            }
        }
        if (readable) {
            i += used;
            continue;
        }
        unread(pieces[i], pieces.size() == 1);
        ++i;
    }
}

} // namespace json

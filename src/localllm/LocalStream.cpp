#include "localllm/LocalStream.h"

#include "platform/Characters.h"
#include "platform/Localization.h"

namespace LocalStream {

HttpRequest chatRequest(const QUrl& url, QByteArray body) {
    HttpRequest request;
    request.url = url;
    request.method = "POST";
    request.setHeader("Content-Type", "application/json");
    request.setHeader("Accept", "text/event-stream");
    request.body = std::move(body);
    request.timeoutMs = 240 * 1000;
    return request;
}

std::unique_ptr<LocalHttp::ReplyReader> openChat(const HttpRequest& request) {
    return std::make_unique<LocalHttp::ReplyReader>(LocalHttp::start(request, 0),
                                                    LocalHttp::ReplyReader::kDefaultMaxLine, 256 * 1024);
}

ServerError::ServerError(QString message)
    : StreamError(loc("Erreur du serveur local : ") + message)
    , message_(std::move(message)) {}

ReplyTooLongError::ReplyTooLongError()
    : StreamError(loc("La réponse du serveur local dépasse %1 caractères.").arg(kMaxReplyText)) {}

StreamCutError::StreamCutError()
    : StreamError(loc("La réponse du serveur local a été coupée avant sa fin.")) {}

void checkReplySize(qsizetype textSize) {
    if (textSize > kMaxReplyText)
        throw ReplyTooLongError();
}

Line classify(const QByteArray& line) {
    static const QByteArray prefix = "data: ";
    if (!line.startsWith(prefix))
        return {};
    const QByteArray payload = line.mid(prefix.size());
    if (payload == "[DONE]")
        return Line{Line::Kind::Done, Json()};
    std::optional<Json> event = json::tryParse(payload);
    if (!event || !event->is_object())
        return {};
    return Line{Line::Kind::Event, std::move(*event)};
}

std::optional<qint64> integer(const Json& value) {
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
            return std::nullopt;
        return static_cast<qint64>(value.get<std::uint64_t>());
    }
    if (value.is_number_integer())
        return value.get<qint64>();
    return std::nullopt;
}

std::optional<QString> nonEmptyString(const Json& object, const char* key) {
    if (!object.is_object())
        return std::nullopt;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string() || it->get_ref<const std::string&>().empty())
        return std::nullopt;
    return json::qstr(*it);
}

bool isArrayOfObjects(const Json& value) {
    if (!value.is_array())
        return false;
    for (const Json& element : value)
        if (!element.is_object())
            return false;
    return true;
}

namespace {
constexpr qsizetype kMaxErrorMessage = 500;

// The server's message of an error event: its "message" text, else the object.
QString errorMessage(const Json& error) {
    QString message;
    if (const auto text = nonEmptyString(error, "message"))
        message = *text;
    else
        message = QString::fromStdString(error.dump(-1, ' ', false, Json::error_handler_t::replace));
    return leftCharacters(message, kMaxErrorMessage);
}

// The value of the four hexadecimal digits at i, if they are.
std::optional<uint> hex4(const QByteArray& text, qsizetype i) {
    if (i + 4 > text.size())
        return std::nullopt;
    uint value = 0;
    for (qsizetype k = i; k < i + 4; ++k) {
        const char c = text.at(k);
        if (c >= '0' && c <= '9')
            value = value * 16 + static_cast<uint>(c - '0');
        else if (c >= 'a' && c <= 'f')
            value = value * 16 + static_cast<uint>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            value = value * 16 + static_cast<uint>(c - 'A' + 10);
        else
            return std::nullopt;
    }
    return value;
}

bool isHigh(uint u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLow(uint u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

QByteArray escape(uint u) {
    return "\\u" + QByteArray::number(u, 16).rightJustified(4, '0');
}
} // namespace

QByteArray EventReader::joinSurrogates(const QByteArray& line) {
    const std::optional<uint> carried = std::exchange(carriedHigh_, std::nullopt);
    if (!line.contains("\\ud") && !line.contains("\\uD"))
        return line;
    bool joined = false;
    QByteArray out;
    out.reserve(line.size() + 12);
    qsizetype i = 0;
    while (i < line.size()) {
        const char c = line.at(i);
        if (c != '\\' || i + 1 >= line.size()) {
            out += c;
            ++i;
            continue;
        }
        const std::optional<uint> unit = line.at(i + 1) == 'u' ? hex4(line, i + 2) : std::nullopt;
        if (!unit || (!isHigh(*unit) && !isLow(*unit))) {
            out += line.mid(i, 2); // any other escape, kept whole
            i += 2;
            continue;
        }
        if (isHigh(*unit)) {
            const qsizetype after = i + 6;
            if (line.mid(after, 2) == "\\u" && hex4(line, after + 2) && isLow(*hex4(line, after + 2))) {
                out += line.mid(i, 12); // a whole pair
                i += 12;
                continue;
            }
            if (line.mid(after, 1) == "\"") {
                carriedHigh_ = *unit; // the string ends half-way: wait for the rest
                i = after;
                continue;
            }
            out += "\\ufffd";
            i = after;
            continue;
        }
        if (carried && !joined) {
            out += escape(*carried) + escape(*unit);
            joined = true;
        } else {
            out += "\\ufffd";
        }
        i += 6;
    }
    return out;
}

QCoro::Task<std::optional<Json>> EventReader::next() {
    while (true) {
        std::optional<QByteArray> line;
        try {
            line = co_await reader_.nextLine();
        } catch (const NetworkError&) {
            // A connection that breaks after the stream said it was over takes
            // nothing from the answer.
            if (complete_)
                co_return std::nullopt;
            throw;
        }
        if (!line)
            co_return std::nullopt;
        // Only event lines take part in joining: the blank line after each does not.
        Line parsed = classify(line->startsWith("data: ") ? joinSurrogates(*line) : *line);
        if (parsed.kind == Line::Kind::Done) {
            complete_ = true;
            co_return std::nullopt;
        }
        if (parsed.kind != Line::Kind::Event)
            continue;
        const auto error = parsed.event.find("error");
        if (error != parsed.event.end() && error->is_object() && !firstChoice(parsed.event))
            throw ServerError(errorMessage(*error));
        if (const auto choices = parsed.event.find("choices");
            choices != parsed.event.end() && choices->is_array()) {
            for (const Json& choice : *choices) {
                if (!choice.is_object())
                    continue;
                const auto reason = choice.find("finish_reason");
                if (reason != choice.end() && reason->is_string() &&
                    !reason->get_ref<const std::string&>().empty())
                    complete_ = true;
            }
        }
        co_return std::move(parsed.event);
    }
}

void EventReader::requireComplete() const {
    if (!complete_)
        throw StreamCutError();
}

const Json* firstChoice(const Json& event) {
    const auto choices = event.find("choices");
    if (choices == event.end() || !isArrayOfObjects(*choices) || choices->empty())
        return nullptr;
    return &choices->front();
}

void ToolCallTable::merge(const Json& fragment) {
    if (!fragment.is_object())
        return;
    qint64 index = 0;
    if (const auto it = fragment.find("index"); it != fragment.end())
        index = integer(*it).value_or(0);
    const auto [at, added] = records_.try_emplace(index);
    ToolCallRecord& record = at->second;
    if (added)
        textSize_ += kRecordCost + record.type.size();
    const auto replace = [this](QString& field, QString value) {
        textSize_ += value.size() - field.size();
        field = std::move(value);
    };
    if (auto id = nonEmptyString(fragment, "id"))
        replace(record.id, *id);
    if (auto type = nonEmptyString(fragment, "type"))
        replace(record.type, *type);
    const auto function = fragment.find("function");
    if (function != fragment.end() && function->is_object()) {
        if (auto name = nonEmptyString(*function, "name"))
            replace(record.name, *name);
        const auto arguments = function->find("arguments");
        if (arguments != function->end() && arguments->is_string()) {
            const QString text = json::qstr(*arguments);
            record.args += text;
            textSize_ += text.size();
        }
    }
}

void ToolCallTable::mergeAll(const Json& fragments) {
    for (const Json& fragment : fragments)
        merge(fragment);
}

qsizetype characterCount(const QString& text) {
    return Characters::count(text);
}

QString leftCharacters(const QString& text, qsizetype n) {
    return Characters::left(text, n);
}

QCoro::Task<QString> readErrorText(LocalHttp::ReplyReader& reader) {
    QString text;
    qsizetype characters = 0;
    while (characters < 501) {
        // An overlong line is kept by its start: the text is long enough anyway.
        const std::optional<QByteArray> line = co_await reader.nextLine(true);
        if (!line)
            break;
        const QString piece = QString::fromUtf8(*line);
        text += piece;
        characters += characterCount(piece);
    }
    co_return text;
}

} // namespace LocalStream

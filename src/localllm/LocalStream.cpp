#include "localllm/LocalStream.h"

#include <QTextBoundaryFinder>

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
    auto reader = std::make_unique<LocalHttp::ReplyReader>(LocalHttp::start(request, 0));
    reader->reply()->setReadBufferSize(256 * 1024);
    return reader;
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

QCoro::Task<std::optional<Json>> nextEvent(LocalHttp::ReplyReader& reader) {
    while (true) {
        const std::optional<QByteArray> line = co_await reader.nextLine();
        if (!line)
            co_return std::nullopt;
        Line parsed = classify(*line);
        if (parsed.kind == Line::Kind::Done)
            co_return std::nullopt;
        if (parsed.kind == Line::Kind::Event)
            co_return std::move(parsed.event);
    }
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
    ToolCallRecord& record = records_[index];
    if (auto id = nonEmptyString(fragment, "id"))
        record.id = *id;
    if (auto type = nonEmptyString(fragment, "type"))
        record.type = *type;
    const auto function = fragment.find("function");
    if (function != fragment.end() && function->is_object()) {
        if (auto name = nonEmptyString(*function, "name"))
            record.name = *name;
        const auto arguments = function->find("arguments");
        if (arguments != function->end() && arguments->is_string())
            record.args += json::qstr(*arguments);
    }
}

void ToolCallTable::mergeAll(const Json& fragments) {
    for (const Json& fragment : fragments)
        merge(fragment);
}

namespace {
// Positions of the grapheme boundaries after the first n characters (or the end).
qsizetype boundaryAfter(const QString& text, qsizetype n, qsizetype* counted) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    qsizetype position = 0;
    while (count < n) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            break;
        position = next;
        ++count;
    }
    if (counted)
        *counted = count;
    return position;
}
} // namespace

qsizetype characterCount(const QString& text) {
    if (text.isEmpty())
        return 0;
    qsizetype counted = 0;
    boundaryAfter(text, text.size(), &counted);
    return counted;
}

QString leftCharacters(const QString& text, qsizetype n) {
    return text.left(boundaryAfter(text, n, nullptr));
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

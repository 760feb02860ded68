#include "session/ServerSentEvents.h"

#include "platform/Characters.h"
#include "platform/Errors.h"
#include "platform/Localization.h"

#include "platform/Json.h"
#include "session/APIError.h"

bool LineSplitter::feed(QByteArrayView bytes, const std::function<void(const QByteArray&)>& onLine) {
    qsizetype start = 0;
    const qsizetype size = bytes.size();
    if (afterCR_ && size > 0) {
        afterCR_ = false;
        if (bytes.at(0) == '\n')
            start = 1;
    }
    for (qsizetype i = start; i < size; ++i) {
        const char c = bytes.at(i);
        if (c != '\n' && c != '\r')
            continue;
        pending_.append(bytes.sliced(start, i - start));
        if (pending_.size() > maxLineBytes_)
            return false;
        const QByteArray line = std::exchange(pending_, QByteArray());
        start = i + 1;
        if (c == '\r') {
            if (start < size) {
                if (bytes.at(start) == '\n') {
                    ++start;
                    ++i;
                }
            } else {
                afterCR_ = true;
            }
        }
        onLine(line);
    }
    pending_.append(bytes.sliced(start));
    return pending_.size() <= maxLineBytes_;
}

ServerSentEventReader::ServerSentEventReader(std::function<void(const Event&)> onEvent)
    : onEvent_(std::move(onEvent)) {}

void ServerSentEventReader::feed(QByteArrayView bytes) {
    if (!splitter_.feed(bytes, [this](const QByteArray& l) { line(l); }))
        throw APIError::decoding();
}

void ServerSentEventReader::line(const QByteArray& line) {
    if (line.isEmpty()) {
        Event event{std::exchange(name_, QStringLiteral("message")), std::exchange(data_, QByteArray())};
        if (onEvent_)
            onEvent_(event);
        return;
    }
    if (line.startsWith("event: ")) {
        name_ = QString::fromUtf8(line.mid(7));
    } else if (line.startsWith("data: ")) {
        // An empty buffer takes the piece as it is; otherwise a line feed joins them.
        if (!data_.isEmpty())
            data_.append('\n');
        data_.append(line.mid(6));
        if (data_.size() > kMaxEventBytes)
            throw APIError::decoding();
    }
}

namespace {
// The JSON object of an event's data, or nothing when it is not one.
std::optional<Json> objectOf(const QByteArray& data) {
    std::optional<Json> value = json::tryParse(data);
    if (!value || !value->is_object())
        return std::nullopt;
    return value;
}

std::optional<qint64> integerMember(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer())
        return std::nullopt;
    if (it->is_number_unsigned() && it->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
        return std::nullopt;
    return it->get<qint64>();
}

std::optional<QString> nonEmptyString(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string() || it->get_ref<const std::string&>().empty())
        return std::nullopt;
    return json::qstr(*it);
}
} // namespace

ChatEventStream::ChatEventStream(std::function<void(const QString&)> onDelta)
    : onDelta_(std::move(onDelta))
    , reader_([this](const ServerSentEventReader::Event& e) { dispatch(e); }) {}

void ChatEventStream::feed(QByteArrayView bytes) {
    reader_.feed(bytes);
    if (streamed_.size() > kMaxReplyCharacters || (finalText_ && finalText_->size() > kMaxReplyCharacters))
        throw MessageError(loc("La réponse du serveur dépasse %1 caractères ; elle a été arrêtée.")
                               .arg(kMaxReplyCharacters));
}

void ChatEventStream::dispatch(const ServerSentEventReader::Event& event) {
    if (event.name == QLatin1String("initial")) {
        if (auto object = objectOf(event.data))
            if (auto id = integerMember(*object, "discussion_id"))
                discussionId_ = id;
    } else if (event.name == QLatin1String("message")) {
        const QString piece = QString::fromUtf8(event.data);
        streamed_ += piece;
        if (onDelta_)
            onDelta_(piece);
    } else if (event.name == QLatin1String("final")) {
        if (auto object = objectOf(event.data)) {
            if (auto id = integerMember(*object, "discussion_id"))
                discussionId_ = id;
            if (auto text = nonEmptyString(*object, "text"))
                finalText_ = text;
            else if (auto message = nonEmptyString(*object, "response_message"))
                finalText_ = message;
        }
    }
}

namespace {
// The whole characters of UTF-8 bytes cut at the end of `kept`; `past` holds the
// bytes that came after, which show whether the last character goes on.
QString wholeCharacters(const QByteArray& kept, QByteArrayView past) {
    const QByteArray bytes = kept + past.toByteArray();
    return QString::fromUtf8(bytes.first(Characters::utf8PrefixLength(bytes, kept.size())));
}
} // namespace

void ErrorBodyCollector::addLine(const QByteArray& line) {
    if (done_)
        return;
    const QString text = QString::fromUtf8(line);
    text_ += text;
    characters_ += Characters::count(text);
    if (characters_ >= kStopAtCharacters)
        done_ = true;
}

void ErrorBodyCollector::feed(QByteArrayView bytes) {
    if (done_)
        return;
    // Nothing past the first kMaxBytes of the body is read, however it is cut
    // into lines (a stream of empty lines would otherwise never end the read).
    const qsizetype room = kMaxBytes - received_;
    const bool beyond = bytes.size() > room;
    QByteArrayView past;
    if (beyond) {
        past = bytes.sliced(room).first(std::min<qsizetype>(4, bytes.size() - room));
        bytes = bytes.first(room);
    }
    received_ += bytes.size();
    const bool lineFits = splitter_.feed(bytes, [this](const QByteArray& l) { addLine(l); });
    if (done_ || (lineFits && !beyond))
        return;
    text_ += wholeCharacters(splitter_.pending(), past);
    done_ = true;
}

void ErrorBodyCollector::finish() {
    if (!done_ && !splitter_.pending().isEmpty())
        addLine(splitter_.pending());
    done_ = true;
}

#include "localllm/LocalToolRegistry.h"

#include "bridge/BridgeService.h"
#include "localllm/LocalTools.h"
#include "platform/Log.h"
#include "session/Models.h"

#include <QUrl>
#include <QUuid>

#include <cmath>
#include <limits>

namespace {

Json wrap(const char* name, const std::string& description, Json parameters) {
    return Json{{"type", "function"},
                {"function",
                 Json{{"name", name}, {"description", description}, {"parameters", std::move(parameters)}}}};
}

Json property(const char* type, const char* description) {
    return Json{{"type", type}, {"description", description}};
}

Json objectSchema(Json properties, std::optional<std::vector<std::string>> required = std::nullopt) {
    Json schema{{"type", "object"}, {"properties", std::move(properties)}};
    if (required)
        schema["required"] = *required;
    return schema;
}

Json noProperties() {
    return objectSchema(Json::object());
}

const std::string searchDescription =
    "Search the user's Mac for local documents (PDFs, Office docs, notes, text). Files never leave the Mac, "
    "only "
    "search results come back.\n\n"
    "Call this tool whenever the user asks for one of their own files. Search first, then answer \u2014 do "
    "not "
    "offer to generate a template or ask clarifying questions before at least one search attempt.\n\n"
    "Tokens are whitespace-AND-ed (case- and diacritic-insensitive, filename or body). If the first search "
    "is "
    "empty, retry with fewer tokens before telling the user you found nothing.\n\n"
    "Formatting: ONE bullet per document. Filename as `[Filename](ombrix://local_file/open/<document_id>)`, "
    "then "
    "metadata on the SAME line after \" \u2014 \". Never surface the raw `document_id` as plain text.";

Json parseArguments(const QString& text) {
    try {
        Json parsed = json::parse(text.toUtf8());
        if (parsed.is_object())
            return parsed;
    } catch (const std::exception&) {
        // Anything that is not an object is no arguments.
    }
    return Json::object();
}

} // namespace

namespace LocalToolRegistry {

bool isToolCapable(const QString& model) {
    const QString lowered = model.toLower();
    return lowered.contains(QLatin1String("qwen3")) || lowered.contains(QLatin1String("qwen2.5"));
}

Json schemas() {
    Json tools = Json::array();
    tools.push_back(
        wrap("search_local_documents", searchDescription,
             objectSchema(Json{{"query", property("string", "Whitespace-separated tokens.")},
                               {"folder_hints", Json{{"type", "array"},
                                                     {"items", Json{{"type", "string"}}},
                                                     {"description", "Optional folder names to prefer."}}},
                               {"limit", property("integer", "Max results. Default 10.")}},
                          std::vector<std::string>{"query"})));
    tools.push_back(
        wrap("read_local_document",
             "Read plain-text content of a local document previously returned by search_local_documents. "
             "Pass the opaque "
             "`document_id` \u2014 never a file path.",
             objectSchema(
                 Json{{"document_id", property("string", "Opaque id from search_local_documents.")},
                      {"max_chars",
                       property("integer",
                                "Truncate body past this many characters. Default 8000, hard cap ~10k.")}},
                 std::vector<std::string>{"document_id"})));
    tools.push_back(wrap("list_local_folders",
                         "List the folders the user has granted the Mac bridge access to.", noProperties()));
    tools.push_back(
        wrap("browse_local_folder",
             "List files and subdirectories inside a specific local folder. Use after list_local_folders. "
             "Subfolders can be browsed in turn with the same tool.",
             objectSchema(Json{{"folder_id", property("string", "Opaque id from list_local_folders.")},
                               {"sub_path", property("string", "Optional relative path inside the folder.")}},
                          std::vector<std::string>{"folder_id"})));
    tools.push_back(
        wrap("list_recent_photos",
             "List the N most recent photos in the user's Photos library (metadata only; bytes stay on the "
             "Mac).",
             objectSchema(Json{{"limit", property("integer", "Max results, 1..30. Default 10.")}})));
    tools.push_back(
        wrap("list_photos_from_date",
             "List photos from a specific year (optionally narrowed to a month). Returns metadata only.",
             objectSchema(Json{{"year", property("integer", "e.g. 2025")},
                               {"month", property("integer", "Optional 1..12; omit for the whole year.")},
                               {"limit", property("integer", "Max results, 1..30. Default 10.")}},
                          std::vector<std::string>{"year"})));
    tools.push_back(
        wrap("open_app",
             "Open a Mac application by display name (e.g. 'Notes', 'Safari', 'Keynote'). Brings it to the "
             "foreground.",
             objectSchema(Json{{"name", property("string", "Application display name or bundle id.")}},
                          std::vector<std::string>{"name"})));
    tools.push_back(
        wrap("list_shortcuts",
             "List the user's Shortcuts (from Shortcuts.app). Useful before calling run_shortcut.",
             noProperties()));
    tools.push_back(wrap(
        "run_shortcut",
        "Run a Shortcut by exact name. Optional `input` is piped to stdin. First run triggers macOS "
        "Automation "
        "permission prompt.",
        objectSchema(Json{{"name", property("string", "Exact shortcut name as shown in Shortcuts.app.")},
                          {"input", property("string", "Optional text to pipe to the shortcut's input.")}},
                     std::vector<std::string>{"name"})));
    tools.push_back(
        wrap("ocr_local_image",
             "Run VisionKit OCR over a local image (PNG/JPEG/HEIC/TIFF) or scanned PDF. Pass a "
             "`document_id` from a previous search_local_documents result \u2014 same security rules as "
             "read_local_document.",
             objectSchema(Json{{"document_id", property("string", "Opaque id from search_local_documents.")}},
                          std::vector<std::string>{"document_id"})));
    return tools;
}

QCoro::Task<QString> dispatch(QString name, QString argumentsJSON) {
    const Json args = parseArguments(argumentsJSON);
    qCDebug(lcLocalLLM) << "tool call" << name;
    QString result;
    try {
        if (name == QLatin1String("search_local_documents")) {
            result = co_await LocalTools::searchLocalDocuments(args);
        } else if (name == QLatin1String("read_local_document")) {
            result = co_await LocalTools::readLocalDocument(args);
        } else if (name == QLatin1String("list_local_folders")) {
            // (Named: g++ 12 loses the value of this temporary awaited directly.)
            QCoro::Task<QString> listing = LocalTools::listLocalFolders();
            result = co_await std::move(listing);
        } else if (name == QLatin1String("browse_local_folder")) {
            result = co_await LocalTools::browseLocalFolder(args);
        } else if (name == QLatin1String("list_recent_photos")) {
            const qint64 limit = LocalTools::integerArgument(args, "limit").value_or(10);
            result = co_await LocalTools::fetchPhotos(limit, std::nullopt);
        } else if (name == QLatin1String("list_photos_from_date")) {
            result = co_await LocalTools::listPhotosFromDate(args);
        } else if (name == QLatin1String("open_app")) {
            result = co_await LocalTools::openApp(args);
        } else if (name == QLatin1String("list_shortcuts")) {
            result = co_await LocalTools::listShortcuts();
        } else if (name == QLatin1String("run_shortcut")) {
            result = co_await LocalTools::runShortcut(args);
        } else if (name == QLatin1String("ocr_local_image")) {
            result = co_await LocalTools::ocrLocalImage(args);
        } else {
            result = QStringLiteral("Unknown tool: ") + name;
        }
    } catch (...) {
        // The tools turn their own failures into text; this is the last guard of the chat's tool loop.
        const QString description = describeException(std::current_exception());
        qCWarning(lcLocalLLM) << "tool" << name << "failed:" << description;
        result = QStringLiteral("Tool failed: ") + description;
    }
    co_return result;
}

} // namespace LocalToolRegistry

namespace LocalTools {

QDeadlineTimer toolDeadline(BridgeTaskKind kind) {
    return QDeadlineTimer(BridgeService::shared().timeLimit(kind));
}

std::optional<QString> stringArgument(const Json& args, const char* key) {
    const auto found = args.find(key);
    if (found == args.end() || !found->is_string())
        return std::nullopt;
    return json::qstr(*found);
}

std::optional<qint64> integerArgument(const Json& args, const char* key) {
    const auto found = args.find(key);
    if (found == args.end())
        return std::nullopt;
    if (found->is_number_unsigned()) {
        const auto value = found->get<std::uint64_t>();
        constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<qint64>::max());
        return static_cast<qint64>(value > max ? max : value);
    }
    if (found->is_number_integer())
        return found->get<qint64>();
    return std::nullopt;
}

std::optional<QStringList> stringListArgument(const Json& args, const char* key) {
    const auto found = args.find(key);
    if (found == args.end() || !found->is_array())
        return std::nullopt;
    QStringList list;
    for (const Json& member : *found) {
        if (!member.is_string())
            return std::nullopt;
        list.append(json::qstr(member));
    }
    return list;
}

QString numberedLines(const QStringList& items) {
    QStringList lines;
    lines.reserve(items.size());
    for (qsizetype i = 0; i < items.size(); ++i)
        lines.append(QString::number(i + 1) + QStringLiteral(". ") + items[i]);
    return lines.join(QLatin1Char('\n'));
}

QString kilobytes(qint64 bytes) {
    // bytes * 10 / 1024 is exact in binary floating point for any file size.
    const auto tenths = static_cast<qint64>(std::llround(static_cast<double>(bytes) * 10.0 / 1024.0));
    const qint64 whole = tenths / 10;
    const qint64 fraction = tenths % 10;
    QString text =
        QString::number(whole) + QLatin1Char('.') + QString::number(fraction < 0 ? -fraction : fraction);
    if (tenths < 0 && whole == 0)
        text.prepend(QLatin1Char('-'));
    return text;
}

QString newDocumentId() {
    return uuidText(QUuid::createUuid());
}

QString photoLinkId(const QString& id) {
    // The characters a URL path keeps as they are, less "/".
    return QString::fromLatin1(QUrl::toPercentEncoding(id, QByteArrayLiteral("!$&'()*+,;=:@")));
}

} // namespace LocalTools

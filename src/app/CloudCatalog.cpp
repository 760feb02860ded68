#include "app/CloudCatalog.h"

#include "platform/Log.h"
#include "session/APIConfig.h"
#include "session/OmbrixHTTP.h"

#include <QFuture>
#include <QtConcurrent>

#include <QCoro/QCoroFuture>

#include <memory>

namespace {

std::unique_ptr<CloudCatalog>& sharedCatalog() {
    static std::unique_ptr<CloudCatalog> catalog;
    return catalog;
}

template <typename T> void putOptional(Json& object, const char* key, const std::optional<T>& value) {
    if (!value)
        return;
    if constexpr (std::is_same_v<T, QString>)
        object[key] = json::str(*value);
    else
        object[key] = *value;
}

} // namespace

CloudModel CloudModel::fromJson(const Json& object) {
    json::requireObject(object, "model");
    CloudModel model;
    model.id = json::requireInt(object, "id");
    model.slug = json::requireString(object, "slug");
    model.display_name = json::optionalString(object, "display_name");
    model.kind = json::optionalString(object, "kind");
    model.tier = json::optionalString(object, "tier");
    model.status = json::optionalString(object, "status");
    model.context_window = json::optionalInt(object, "context_window");
    model.supports_tools = json::optionalBool(object, "supports_tools");
    model.supports_streaming = json::optionalBool(object, "supports_streaming");
    model.supports_audio_input = json::optionalBool(object, "supports_audio_input");
    model.supports_image_input = json::optionalBool(object, "supports_image_input");
    model.supports_file_input = json::optionalBool(object, "supports_file_input");
    return model;
}

Json CloudModel::toJson() const {
    Json object = Json::object();
    object["id"] = id;
    object["slug"] = json::str(slug);
    putOptional(object, "display_name", display_name);
    putOptional(object, "kind", kind);
    putOptional(object, "tier", tier);
    putOptional(object, "status", status);
    putOptional(object, "context_window", context_window);
    putOptional(object, "supports_tools", supports_tools);
    putOptional(object, "supports_streaming", supports_streaming);
    putOptional(object, "supports_audio_input", supports_audio_input);
    putOptional(object, "supports_image_input", supports_image_input);
    putOptional(object, "supports_file_input", supports_file_input);
    return object;
}

CloudProvider CloudProvider::fromJson(const Json& object) {
    json::requireObject(object, "provider");
    CloudProvider provider;
    provider.id = json::requireInt(object, "id");
    provider.slug = json::requireString(object, "slug");
    provider.name = json::requireString(object, "name");
    provider.display_name = json::optionalString(object, "display_name");
    const Json& models = json::require(object, "models");
    if (!models.is_array())
        throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch, QStringLiteral("models"));
    for (const Json& model : models)
        provider.models.append(CloudModel::fromJson(model));
    return provider;
}

Json CloudProvider::toJson() const {
    Json object = Json::object();
    object["id"] = id;
    object["slug"] = json::str(slug);
    object["name"] = json::str(name);
    putOptional(object, "display_name", display_name);
    Json array = Json::array();
    for (const CloudModel& model : models)
        array.push_back(model.toJson());
    object["models"] = std::move(array);
    return object;
}

CloudCatalog::CloudCatalog()
    : clock_([] { return QDateTime::currentDateTimeUtc(); }) {}

CloudCatalog& CloudCatalog::shared() {
    auto& catalog = sharedCatalog();
    if (!catalog)
        catalog = std::make_unique<CloudCatalog>();
    return *catalog;
}

void CloudCatalog::resetSharedForTesting() {
    sharedCatalog().reset();
}

QString CloudCatalog::iconFor(const QString& slug) {
    if (slug == QLatin1String("openai"))
        return QStringLiteral("sparkles");
    if (slug == QLatin1String("anthropic"))
        return QStringLiteral("a.circle");
    if (slug == QLatin1String("gemini"))
        return QStringLiteral("g.circle");
    if (slug == QLatin1String("mistral"))
        return QStringLiteral("m.circle");
    if (slug == QLatin1String("deepseek"))
        return QStringLiteral("d.circle");
    return QStringLiteral("cube");
}

QList<CloudProvider> CloudCatalog::decodeDocument(const QByteArray& body) {
    const Json document = json::parse(body);
    if (!document.is_array())
        throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch, QStringLiteral("providers"));
    QList<CloudProvider> providers;
    for (const Json& provider : document)
        providers.append(CloudProvider::fromJson(provider));
    return providers;
}

QCoro::Task<> CloudCatalog::refreshIfStale() {
    if (lastFetch_ && lastFetch_->msecsTo(clock_()) < static_cast<qint64>(kFreshSeconds * 1000))
        co_return;
    co_await refresh();
}

QCoro::Task<> CloudCatalog::refresh() {
    HttpRequest request;
    request.url = APIConfig::endpoint(QStringLiteral("/providers.json"));
    if (!request.url.isValid())
        co_return;
    request.timeoutMs = kTimeoutMs;
    // A larger document is refused while it arrives, not once read whole.
    request.maxBodyBytes = kMaxDocumentBytes;
    HttpResponse response;
    try {
        // The plain shared session, without any header of the product's.
        response = co_await HttpSession::shared().data(request);
    } catch (const std::exception& error) {
        qCInfo(lcChat) << "cloud catalogue fetch failed:" << error.what();
        co_return;
    }
    if (response.status < 200 || response.status > 299) {
        qCInfo(lcChat) << "cloud catalogue fetch answered" << response.status;
        co_return;
    }
    if (response.body.size() > kMaxDocumentBytes) {
        qCInfo(lcChat) << "cloud catalogue too large:" << response.body.size() << "bytes";
        co_return;
    }
    // Decoded off the GUI thread; an empty result stands for a failure.
    const QByteArray body = response.body;
    QFuture<std::optional<QList<CloudProvider>>> decoding =
        QtConcurrent::run([body]() -> std::optional<QList<CloudProvider>> {
            try {
                return decodeDocument(body);
            } catch (const std::exception& error) {
                qCInfo(lcChat) << "cloud catalogue does not decode:" << error.what();
                return std::nullopt;
            }
        });
    std::optional<QList<CloudProvider>> decoded = co_await decoding;
    if (!decoded)
        co_return;
    providers_ = std::move(*decoded);
    lastFetch_ = clock_();
    emit providersChanged();
}

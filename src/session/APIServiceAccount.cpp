#include "session/APIConfig.h"
#include "session/APIService.h"

namespace {

// The body of a 2xx answer as a typed record (a parser or decoding failure is
// thrown as a JsonDecodingError).
template <typename T> T decodeBody(const QByteArray& body) {
    return T::fromJson(json::parse(body));
}

} // namespace

// ---- Preferences ------------------------------------------------------------------

APIService::UserPrefs APIService::UserPrefs::fromJson(const Json& object) {
    json::requireObject(object, "user");
    UserPrefs prefs;
    prefs.id = json::requireInt(object, "id");
    prefs.email = json::optionalString(object, "email");
    prefs.default_voice_mode = json::optionalString(object, "default_voice_mode");
    prefs.default_provider = json::optionalString(object, "default_provider");
    prefs.default_model = json::optionalString(object, "default_model");
    prefs.transcribe_audio = json::optionalBool(object, "transcribe_audio");
    prefs.audio_output = json::optionalBool(object, "audio_output");
    prefs.default_audio_voice = json::optionalString(object, "default_audio_voice");
    return prefs;
}

QCoro::Task<APIService::UserPrefs> APIService::fetchUserPrefs() const {
    Call call;
    call.path = QStringLiteral("/me.json");
    call.timeoutMs = 15000;
    const HttpResponse response = co_await send(std::move(call));
    co_return decodeBody<UserPrefs>(response.body);
}

QCoro::Task<> APIService::patchUserPrefs(qint64 userId, std::optional<QString> voiceMode,
                                         std::optional<QString> provider, std::optional<bool> transcribeAudio,
                                         std::optional<bool> audioOutput,
                                         std::optional<QString> audioVoice) const {
    requireToken();
    Json user = Json::object();
    if (voiceMode)
        user["default_voice_mode"] = json::str(*voiceMode);
    if (provider)
        user["default_provider"] = json::str(*provider);
    if (transcribeAudio)
        user["transcribe_audio"] = *transcribeAudio;
    if (audioOutput)
        user["audio_output"] = *audioOutput;
    if (audioVoice)
        user["default_audio_voice"] = json::str(*audioVoice);
    Json body = Json::object();
    body["user"] = std::move(user);

    Call call;
    call.method = "PATCH";
    call.absoluteUrl = APIConfig::userURL(userId);
    call.body = jsonBody(body);
    call.contentType = "application/json";
    call.timeoutMs = 15000;
    co_await send(std::move(call));
}

// ---- Account ------------------------------------------------------------------------

APIService::PairingClaimResponse APIService::PairingClaimResponse::fromJson(const Json& object) {
    json::requireObject(object, "pairing");
    return PairingClaimResponse{json::requireString(object, "user_token"),
                                json::requireString(object, "email")};
}

APIService::RecentDiscussion APIService::RecentDiscussion::fromJson(const Json& object) {
    json::requireObject(object, "discussion");
    RecentDiscussion discussion;
    discussion.id = json::requireInt(object, "id");
    discussion.name = json::optionalString(object, "name");
    discussion.updated_at = json::optionalString(object, "updated_at");
    discussion.queries_count = json::optionalInt(object, "queries_count");
    return discussion;
}

APIService::VoiceSampleResponse APIService::VoiceSampleResponse::fromJson(const Json& object) {
    json::requireObject(object, "sample");
    return VoiceSampleResponse{json::requireString(object, "audio_base64"),
                               json::requireString(object, "format")};
}

QCoro::Task<APIService::PairingClaimResponse> APIService::claimPairing(QString code) {
    Json body = Json::object();
    body["pairing_code"] = json::str(code);
    body["client_kind"] = "mac";
    Call call = jsonPost(QStringLiteral("/pairings/claim"), body);
    call.accept = "application/json";
    call.timeoutMs = 20000;
    HttpRequest request = requestFor(call);
    // No token yet, and a refusal here signs nobody out: no 401 notice.
    const HttpResponse response = co_await HttpSession::pinned().data(std::move(request));
    if (response.status < 200 || response.status > 299) {
        std::optional<QString> message;
        const std::optional<Json> value = json::tryParse(response.body);
        if (value && value->is_object()) {
            auto it = value->find("error");
            if (it != value->end() && it->is_string())
                message = json::qstr(*it);
        }
        if (!message)
            message = decodeUtf8Strict(response.body);
        throw APIError::http(response.status, message);
    }
    co_return decodeBody<PairingClaimResponse>(response.body);
}

QCoro::Task<> APIService::revokeCurrentSession() const {
    Call call;
    call.method = "DELETE";
    call.path = QStringLiteral("/session");
    call.timeoutMs = 15000;
    co_await send(std::move(call));
}

QCoro::Task<QList<APIService::RecentDiscussion>> APIService::fetchRecentDiscussions(int limit) const {
    requireToken();
    Call call;
    call.absoluteUrl = APIConfig::recentDiscussionsURL(limit);
    call.timeoutMs = 12000;
    const HttpResponse response = co_await send(std::move(call));
    const Json value = json::parse(response.body);
    if (!value.is_array())
        throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch, QStringLiteral("discussions"));
    QList<RecentDiscussion> discussions;
    for (const Json& element : value)
        discussions.append(RecentDiscussion::fromJson(element));
    co_return discussions;
}

QCoro::Task<APIService::VoiceSampleResponse> APIService::fetchVoiceSample(QString slug) const {
    requireToken();
    Call call;
    call.method = "POST";
    call.path = QStringLiteral("/voices/") + pathSegment(slug) + QStringLiteral("/sample");
    call.accept = "application/json";
    call.timeoutMs = 30000;
    const HttpResponse response = co_await send(std::move(call));
    co_return decodeBody<VoiceSampleResponse>(response.body);
}

// ---- Proactive settings and secure access -------------------------------------------------

APIService::ProactiveModeReadiness APIService::ProactiveModeReadiness::fromJson(const Json& object) {
    json::requireObject(object, "mode_readiness");
    return ProactiveModeReadiness{json::requireBool(object, "ready"), json::optionalString(object, "reason")};
}

APIService::SecureAccessSession APIService::SecureAccessSession::fromJson(const Json& object) {
    json::requireObject(object, "secure_access_session");
    SecureAccessSession s;
    s.active = json::requireBool(object, "active");
    s.activated_at = json::optionalString(object, "activated_at");
    s.expires_at = json::optionalString(object, "expires_at");
    s.remaining_seconds = json::optionalInt(object, "remaining_seconds");
    s.duration_minutes = json::optionalInt(object, "duration_minutes");
    s.device_id = json::optionalString(object, "device_id");
    s.device_label = json::optionalString(object, "device_label");
    s.device_online = json::optionalBool(object, "device_online");
    s.revocable = json::optionalBool(object, "revocable");
    s.renewable = json::optionalBool(object, "renewable");
    return s;
}

APIService::PreferredLocalHost APIService::PreferredLocalHost::fromJson(const Json& object) {
    json::requireObject(object, "preferred_local_host");
    PreferredLocalHost h;
    h.kind = json::requireString(object, "kind");
    h.id = json::requireString(object, "id");
    h.label = json::requireString(object, "label");
    h.online = json::optionalBool(object, "online");
    h.last_seen_at = json::optionalString(object, "last_seen_at");
    return h;
}

APIService::ProactiveSettingsResponse APIService::ProactiveSettingsResponse::fromJson(const Json& object) {
    json::requireObject(object, "proactive_settings");
    ProactiveSettingsResponse r;
    r.enabled = json::requireBool(object, "enabled");
    r.execution_mode = json::requireString(object, "execution_mode");
    r.execution_mode_source = json::requireString(object, "execution_mode_source");
    r.execution_mode_set_at = json::optionalString(object, "execution_mode_set_at");
    r.local_runtime_status = json::requireString(object, "local_runtime_status");
    r.secure_access_status = json::requireString(object, "secure_access_status");
    r.secure_access_activated_at = json::optionalString(object, "secure_access_activated_at");
    r.secure_access_expires_at = json::optionalString(object, "secure_access_expires_at");
    r.secure_access_last_verified_at = json::optionalString(object, "secure_access_last_verified_at");
    auto session = object.find("secure_access_session");
    if (session != object.end() && !session->is_null())
        r.secure_access_session = SecureAccessSession::fromJson(*session);
    auto host = object.find("preferred_local_host");
    if (host != object.end() && !host->is_null())
        r.preferred_local_host = PreferredLocalHost::fromJson(*host);
    const Json& readiness = json::requireObject(json::require(object, "mode_readiness"), "mode_readiness");
    for (auto it = readiness.begin(); it != readiness.end(); ++it)
        r.mode_readiness[QString::fromStdString(it.key())] = ProactiveModeReadiness::fromJson(it.value());
    const Json& entries =
        json::requireObject(json::require(object, "settings_entry_points"), "settings_entry_points");
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (!it.value().is_string())
            throw JsonDecodingError(JsonDecodingError::Kind::TypeMismatch,
                                    QStringLiteral("settings_entry_points"));
        r.settings_entry_points[QString::fromStdString(it.key())] = json::qstr(it.value());
    }
    return r;
}

QCoro::Task<APIService::ProactiveSettingsResponse> APIService::fetchProactiveSettings() const {
    Call call;
    call.path = QStringLiteral("/proactive/settings");
    call.timeoutMs = 15000;
    const HttpResponse response = co_await send(std::move(call));
    co_return decodeBody<ProactiveSettingsResponse>(response.body);
}

std::optional<QString> APIService::parsedErrorBody(const QByteArray& body) {
    if (body.isEmpty())
        return std::nullopt;
    const std::optional<Json> parsed = json::tryParse(body);
    if (parsed && parsed->is_object() && !parsed->empty()) {
        const Json& value = *parsed;
        for (const char* key : {"message", "error"}) {
            auto it = value.find(key);
            if (it != value.end() && it->is_string() && !it->get_ref<const std::string&>().empty())
                return json::qstr(*it);
        }
    }
    return decodeUtf8Strict(body);
}

QCoro::Task<APIService::ProactiveSettingsResponse>
APIService::mutateSecureAccess(QUrl url, QByteArray httpMethod, std::optional<Json> body) const {
    requireToken();
    if (!isUnderApiBase(url))
        throw APIError::decoding(); // the token is for the backend alone
    Call call;
    call.method = httpMethod;
    call.absoluteUrl = url;
    call.contentType = "application/json";
    if (body)
        call.body = jsonBody(*body);
    call.timeoutMs = 15000;
    HttpRequest request = buildRequest(call);
    const HttpResponse response = co_await HttpSession::pinned().ombrixData(std::move(request));
    if (response.status < 200 || response.status > 299)
        throw APIError::http(response.status, parsedErrorBody(response.body));
    co_return decodeBody<ProactiveSettingsResponse>(response.body);
}

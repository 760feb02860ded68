#include "corvane/CorvanePanelModel.h"

#include "localllm/LocalLLMTelemetry.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/APIConfig.h"
#include "session/AppSession.h"

namespace {

QString trimmedToken(const std::optional<QString>& token) {
    return token.value_or(QString()).trimmed();
}

// The French text of a failure. A reply that does not decode is reported as the
// backend client reports it, not with the decoder's own wording.
QString failureText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const JsonDecodingError&) {
        return APIError::decoding().description();
    } catch (...) {
        return describeException(std::current_exception());
    }
}

QCoro::Task<BridgeHeartbeat> telemetrySnapshot() {
    BridgeHeartbeat heartbeat = co_await LocalLLMTelemetry::shared().snapshot();
    co_return heartbeat;
}

} // namespace

CorvanePanelModel::CorvanePanelModel(QObject* parent)
    : QObject(parent)
    , heartbeatSource_(&telemetrySnapshot)
    , currentToken_([] { return AppSession::shared().userToken(); }) {}

CorvanePanelModel::~CorvanePanelModel() = default;

CorvanePanelModel& CorvanePanelModel::shared() {
    static CorvanePanelModel* model = [] {
        auto* made = new CorvanePanelModel();
        made->followSession(AppSession::shared());
        return made;
    }();
    return *model;
}

void CorvanePanelModel::followSession(AppSession& session) {
    disconnect(sessionConnection_);
    sessionConnection_ = connect(&session, &AppSession::userTokenChanged, this, [this, s = &session] {
        // Signed out, or another account's token: nothing of the previous one may stay.
        const QString token = trimmedToken(s->userToken());
        if (token.isEmpty() || (lastLoadedToken_ && *lastLoadedToken_ != token))
            clear();
    });
}

void CorvanePanelModel::resetForTesting() {
    clear();
    loadsInFlight_ = 0;
    mutationInFlight_ = false;
    heartbeatSource_ = &telemetrySnapshot;
    currentToken_ = [] { return AppSession::shared().userToken(); };
    emit changed();
}

void CorvanePanelModel::setLastError(const std::optional<QString>& message) {
    lastError_ = message;
    // Stands until an operation started after it succeeds.
    errorSequence_ = nextSequence_;
    emit changed();
}

void CorvanePanelModel::clear() {
    settings_.reset();
    localHeartbeat_.reset();
    lastError_.reset();
    lastLoadedToken_.reset();
    lastLoadedAt_.reset();
    // Whatever is still in flight started before this and must not refill the panel.
    clearedSequence_ = nextSequence_;
    snapshotSequence_ = nextSequence_;
    errorSequence_ = nextSequence_;
    emit changed();
}

bool CorvanePanelModel::mayPublish(quint64 sequence, const QString& token) const {
    if (sequence <= clearedSequence_)
        return false;
    return trimmedToken(currentToken_ ? currentToken_() : std::nullopt) == token;
}

void CorvanePanelModel::publishSuccess(quint64 sequence, const QString& token,
                                       std::optional<quint64> answeredAt, Settings settings,
                                       BridgeHeartbeat heartbeat) {
    if (!mayPublish(sequence, token)) {
        qCDebug(lcCorvane) << "dropped the reply of a signed-out session";
        return;
    }
    // A load may have been answered before the change it overlapped reached the backend:
    // the change's answer (stamped when it arrived) wins over every load that started
    // before it arrived, and gives way only to one that started later.
    const bool newer = answeredAt ? *answeredAt >= snapshotSequence_ : sequence > snapshotSequence_;
    if (newer) {
        snapshotSequence_ = answeredAt.value_or(sequence);
        settings_ = std::move(settings);
        localHeartbeat_ = std::move(heartbeat);
        lastLoadedToken_ = token;
        lastLoadedAt_ = QDateTime::currentDateTimeUtc();
    } else {
        qCDebug(lcCorvane) << "dropped an older proactive-settings reply";
    }
    // A failure of an operation started later still stands.
    if (sequence > errorSequence_) {
        errorSequence_ = sequence;
        lastError_.reset();
    }
}

void CorvanePanelModel::publishFailure(quint64 sequence, const QString& token, const QString& message) {
    if (!mayPublish(sequence, token)) {
        qCDebug(lcCorvane) << "dropped the failure of a signed-out session";
        return;
    }
    // Sequenced like a success: an operation older than the snapshot on screen, or
    // than the outcome that last set the error, no longer says anything true.
    if (sequence <= snapshotSequence_ || sequence < errorSequence_) {
        qCDebug(lcCorvane) << "dropped the failure of an older proactive-settings request";
        return;
    }
    errorSequence_ = sequence;
    lastError_ = message;
}

QCoro::Task<> CorvanePanelModel::refresh(std::optional<QString> token, bool force) {
    const QString trimmed = trimmedToken(token);
    if (trimmed.isEmpty()) {
        clear();
        co_return;
    }
    if (!force && lastLoadedToken_ == trimmed && settings_)
        co_return;

    const quint64 sequence = ++nextSequence_;
    ++loadsInFlight_;
    emit changed();

    // Both start at once; the snapshot runs while the request is on the wire.
    QCoro::Task<BridgeHeartbeat> snapshot = heartbeatSource_();
    const APIService api(trimmed);
    std::optional<Settings> loaded;
    std::exception_ptr failure;
    try {
        Settings response = co_await api.fetchProactiveSettings();
        loaded = std::move(response);
    } catch (...) {
        failure = std::current_exception();
    }

    if (loaded) {
        BridgeHeartbeat heartbeat = co_await std::move(snapshot);
        --loadsInFlight_;
        publishSuccess(sequence, trimmed, std::nullopt, std::move(*loaded), std::move(heartbeat));
    } else {
        // The error shows at once: the snapshot (which may wait on the local model
        // server) is let go, runs to its own end and its result is dropped.
        { [[maybe_unused]] QCoro::Task<BridgeHeartbeat> dropped = std::move(snapshot); }
        --loadsInFlight_;
        publishFailure(sequence, trimmed, failureText(failure));
    }
    emit changed();
}

QUrl CorvanePanelModel::secureAccessURL(const QString& path) {
    return APIConfig::endpoint(path);
}

QCoro::Task<> CorvanePanelModel::mutate(std::optional<QString> token, QByteArray method, QString path,
                                        std::optional<Json> body) {
    if (mutationInFlight_) {
        qCDebug(lcCorvane) << "a Secure Access change is already running; request ignored";
        co_return;
    }
    const QString trimmed = trimmedToken(token);
    if (trimmed.isEmpty()) {
        setLastError(loc("Ce Mac doit être appairé avant de piloter Secure Access."));
        co_return;
    }
    const QUrl url = secureAccessURL(path);
    if (!url.isValid()) {
        setLastError(loc("L’adresse du serveur est invalide."));
        co_return;
    }

    const quint64 sequence = ++nextSequence_;
    mutationInFlight_ = true;
    emit changed();

    QCoro::Task<BridgeHeartbeat> snapshot = heartbeatSource_();
    const APIService api(trimmed);
    std::optional<Settings> changedSettings;
    std::exception_ptr failure;
    try {
        Settings response = co_await api.mutateSecureAccess(url, method, body);
        changedSettings = std::move(response);
    } catch (...) {
        failure = std::current_exception();
    }
    if (changedSettings) {
        const quint64 answeredAt = nextSequence_;
        BridgeHeartbeat heartbeat = co_await std::move(snapshot);
        mutationInFlight_ = false;
        publishSuccess(sequence, trimmed, answeredAt, std::move(*changedSettings), std::move(heartbeat));
    } else {
        { [[maybe_unused]] QCoro::Task<BridgeHeartbeat> dropped = std::move(snapshot); }
        mutationInFlight_ = false;
        publishFailure(sequence, trimmed, failureText(failure));
    }
    emit changed();
}

namespace {
Json windowBody(const QString& deviceId) {
    Json body = Json::object();
    body["device_id"] = json::str(deviceId);
    body["duration_minutes"] = CorvanePanelModel::kWindowMinutes;
    return body;
}
} // namespace

QCoro::Task<> CorvanePanelModel::activateSecureAccess(std::optional<QString> token, QString deviceId) {
    QByteArray method("POST");
    QString path = QStringLiteral("/proactive/secure_access");
    std::optional<Json> body = windowBody(deviceId);
    co_await mutate(std::move(token), std::move(method), std::move(path), std::move(body));
}

QCoro::Task<> CorvanePanelModel::refreshSecureAccess(std::optional<QString> token, QString deviceId) {
    QByteArray method("POST");
    QString path = QStringLiteral("/proactive/secure_access/refresh");
    std::optional<Json> body = windowBody(deviceId);
    co_await mutate(std::move(token), std::move(method), std::move(path), std::move(body));
}

QCoro::Task<> CorvanePanelModel::revokeSecureAccess(std::optional<QString> token) {
    QByteArray method("DELETE");
    QString path = QStringLiteral("/proactive/secure_access");
    std::optional<Json> body;
    co_await mutate(std::move(token), std::move(method), std::move(path), std::move(body));
}

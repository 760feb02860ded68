#pragma once

#include "localllm/BridgeHeartbeat.h"
#include "platform/Json.h"
#include "session/APIService.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

// The state behind the Corvane panel: the backend's last proactive-settings
// snapshot with this computer's runtime heartbeat taken at the same moment, the
// loading and mutation flags, and the last failure. Lives on the GUI thread.
//
// Every load and Secure Access change takes a sequence number when it starts, and
// its outcome is published only while its token is still the session's current
// token and nothing signed out since it started. The snapshot (settings, heartbeat,
// load time) and the error are sequenced apart:
// - a load's snapshot replaces the shown one only when the load started after the
//   one that brought it; a Secure Access change's answer is the state after the
//   change, so it outranks every load that started before it arrived and gives way
//   only to one that started later;
// - a failure leaves the snapshot alone and sets the error only when it started
//   after the operation whose snapshot is shown and after the outcome that last set
//   or cleared the error; a success clears the error only when it started after
//   the failure that set it.
// Only one Secure Access change runs at a time: another request made meanwhile is
// ignored.
class AppSession;

class CorvanePanelModel : public QObject {
    Q_OBJECT
public:
    using Settings = APIService::ProactiveSettingsResponse;
    using HeartbeatSource = std::function<QCoro::Task<BridgeHeartbeat>()>;
    using TokenSource = std::function<std::optional<QString>()>;

    static constexpr int kWindowMinutes = 30;

    // Heartbeats come from LocalLLMTelemetry::shared(); the current token is the
    // session's (AppSession::shared()).
    explicit CorvanePanelModel(QObject* parent = nullptr);
    ~CorvanePanelModel() override;

    // The process-wide model, made on first use.
    static CorvanePanelModel& shared();

    const std::optional<Settings>& settings() const { return settings_; }
    const std::optional<BridgeHeartbeat>& localHeartbeat() const { return localHeartbeat_; }
    bool isLoading() const { return loadsInFlight_ > 0; }
    bool secureAccessMutationInFlight() const { return mutationInFlight_; }
    const std::optional<QString>& lastError() const { return lastError_; }
    const std::optional<QDateTime>& lastLoadedAt() const { return lastLoadedAt_; }
    const std::optional<QString>& lastLoadedToken() const { return lastLoadedToken_; }

    // The panel's actions report their own refusals here.
    void setLastError(const std::optional<QString>& message);

    // Loads the settings and a heartbeat. An empty (trimmed) token empties the
    // snapshot; without force, a loaded snapshot for the same token is kept.
    QCoro::Task<> refresh(std::optional<QString> token, bool force);
    // Opens, renews or closes the Secure Access window of this computer.
    QCoro::Task<> activateSecureAccess(std::optional<QString> token, QString deviceId);
    QCoro::Task<> refreshSecureAccess(std::optional<QString> token, QString deviceId);
    QCoro::Task<> revokeSecureAccess(std::optional<QString> token);

    // The URL of a Secure Access request: the API base and the path.
    static QUrl secureAccessURL(const QString& path);

    void setHeartbeatSource(HeartbeatSource source) { heartbeatSource_ = std::move(source); }
    void setCurrentTokenSource(TokenSource source) { currentToken_ = std::move(source); }
    // Empties the snapshot as soon as this session's token goes away (sign-out) or
    // becomes another account's, so the panel never draws the previous account.
    // Follows one session at a time.
    void followSession(AppSession& session);
    // Back to the state at launch (tests).
    void resetForTesting();

signals:
    // Any published property changed.
    void changed();

private:
    QCoro::Task<> mutate(std::optional<QString> token, QByteArray method, QString path,
                         std::optional<Json> body);
    void clear();
    // Whether an operation started with this sequence number and token may publish.
    bool mayPublish(quint64 sequence, const QString& token) const;
    // answeredAt: for a Secure Access change, the last sequence number taken when its
    // answer arrived; nothing for a load.
    void publishSuccess(quint64 sequence, const QString& token, std::optional<quint64> answeredAt,
                        Settings settings, BridgeHeartbeat heartbeat);
    void publishFailure(quint64 sequence, const QString& token, const QString& message);

    std::optional<Settings> settings_;
    std::optional<BridgeHeartbeat> localHeartbeat_;
    int loadsInFlight_ = 0;
    bool mutationInFlight_ = false;
    std::optional<QString> lastError_;
    std::optional<QDateTime> lastLoadedAt_;
    std::optional<QString> lastLoadedToken_;

    quint64 nextSequence_ = 0;
    quint64 clearedSequence_ = 0;  // operations started up to here belong to a signed-out session
    quint64 snapshotSequence_ = 0; // loads started up to here may no longer replace the snapshot
    quint64 errorSequence_ = 0;    // the operation whose outcome set (or cleared) lastError
    QMetaObject::Connection sessionConnection_;
    HeartbeatSource heartbeatSource_;
    TokenSource currentToken_;
};

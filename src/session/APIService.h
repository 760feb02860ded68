#pragma once

#include "platform/Json.h"
#include "session/APIError.h"
#include "session/Models.h"
#include "session/OmbrixHTTP.h"
#include "wire/BridgeTask.h"

#include <QDeadlineTimer>
#include <QMap>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// The final update of one bridge task ("done" or "error"): whichever is sent first
// is the only one. The task is closed before its final update is sent: a second
// final update, and any "streaming" update after the first, is dropped unsent. A
// final update that could not be delivered (the backend did not take it) opens the
// task again, unless its time ran out meanwhile. GUI thread, but for isOpen().
class TaskAnswer {
public:
    // Claims the final answer for an update about to be sent: false when the task is
    // answered or an answer is on its way.
    bool claim();
    // The claimed answer was delivered, or not; then `onSettled` is called.
    void settle(bool delivered);
    // The task's time ran out: true when nothing was sent or is on its way (the
    // caller then sends the time-out error); the task is closed for good either way:
    // an answer on its way that is not delivered opens it no more.
    bool expire();
    // Whether a claimed answer is on its way.
    bool isSending() const { return state_.load() == kSending; }
    // Whether a final update was delivered.
    bool isDelivered() const { return state_.load() == kAnswered; }
    // Whether the task still waits for its final answer (any thread).
    bool isOpen() const { return state_.load() == kOpen; }
    // Called on each settle().
    std::function<void()> onSettled;

private:
    static constexpr int kOpen = 0;
    static constexpr int kSending = 1;
    static constexpr int kAnswered = 2; // delivered
    static constexpr int kClosed = 3;   // out of time, nothing delivered
    std::atomic<int> state_{kOpen};
    bool expired_ = false;
};

// The client of the backend's REST API: a small value holding the user token and,
// for the bridge, extra device headers. Every operation shares one envelope
// (token check, headers, time-out, pinned session, status handling); see send().
class APIService {
public:
    explicit APIService(std::optional<QString> token = std::nullopt,
                        QMap<QString, QString> bridgeHeaders = {});

    std::optional<QString> token;
    QMap<QString, QString> bridgeHeaders;
    // The one final answer of the bridge task this value serves (set by the bridge
    // for a task's handler): the task's updates of this value and its copies follow
    // it, and are dropped unsent once the task is answered.
    std::shared_ptr<class TaskAnswer> taskAnswer;
    // Set by the bridge for a task's handler: when the task's time runs out.
    QDeadlineTimer taskDeadline{QDeadlineTimer::Forever};

    // ---- The request envelope ------------------------------------------------
    struct Call {
        QByteArray method = "GET";
        QString path;                    // relative to the API base ("/me.json")
        std::optional<QUrl> absoluteUrl; // used instead of path when set
        std::optional<QByteArray> body;  // serialised body
        QByteArray contentType;          // "application/json" for JSON bodies
        QByteArray accept;               // Accept header, when the operation names one
        int timeoutMs = 60000;           // the operation's own time-out
        bool bridge = false;             // add bridgeHeaders after the token header
        bool authNotice = true;          // false: send on the pinned session without the 401 notice
    };

    // A token is usable when present, not empty and free of control characters
    // (a CR, LF or NUL would otherwise end up inside a header).
    static bool isUsableToken(const std::optional<QString>& token);
    // Throws notAuthenticated unless the token is usable; nothing else happens first.
    void requireToken() const;
    // Builds the HTTP request of a call (token header included when requireToken is true).
    HttpRequest buildRequest(const Call& call, bool withToken = true) const;
    // The whole envelope: token check, request, pinned session, status check.
    // Returns the 2xx response; throws APIError::http for any other status.
    QCoro::Task<HttpResponse> send(Call call) const;
    // send() for a call that needs no token (pairing claim).
    static QCoro::Task<HttpResponse> sendWithoutToken(Call call);

    // Serialises a JSON body the way every JSON call does: compact.
    static QByteArray jsonBody(const Json& body);
    // A POST of the JSON body to the path (relative to the API base).
    static Call jsonPost(const QString& path, const Json& body);
    // A value put into a URL path as exactly one segment: percent-encoded, so that
    // "/", "?" or "#" cannot change which resource is addressed. An empty value,
    // "." or ".." would address a parent: APIError::decoding, nothing is sent.
    static QString pathSegment(const QString& value);
    // Whether the URL lies under the API base of APIConfig (same scheme, host and
    // port, no credentials, a path below the base's without "." or "..").
    static bool isUnderApiBase(const QUrl& url);

    // ---- Bridge tasks ----------------------------------------------------------
    // The largest poll answer read. A task is small except llm_infer, whose
    // "openai_body_json" carries a whole chat request: a long conversation at the
    // largest local context (128k tokens, about 0.5 MB of text) with a few photos
    // as Base64 (2–3 MB each), escaped once more inside the task's JSON.
    static constexpr qint64 maxPollBodyBytes = 16LL * 1024 * 1024;
    // The long poll: GET /bridge/tasks/next?wait=<1…30>, time-out wait + 10 s, both
    // as an inactivity time-out and as a deadline for the whole exchange; answers
    // over maxPollBodyBytes are refused (NetworkError TooLarge). Nothing on status
    // 204; on another 2xx the task, decoded off the GUI thread.
    QCoro::Task<std::optional<BridgeTask>> pollBridgeTask(int wait) const;
    // The task's updates: PATCH /bridge/tasks/<id> with a "done" body carrying the
    // result (a result record's toJson()), an "error" body, or a "streaming" delta;
    // kTaskUpdateTimeoutMs both as an inactivity time-out and as a deadline for the
    // whole exchange.
    static constexpr int kTaskUpdateTimeoutMs = 15000;
    QCoro::Task<> reportBridgeTaskSuccess(const QString& id, const Json& result) const;
    QCoro::Task<> reportBridgeTaskError(const QString& id, const QString& message) const;
    QCoro::Task<> reportBridgeTaskDelta(const QString& id, const QString& delta) const;

    // ---- Chat --------------------------------------------------------------------
    struct ChatReply {
        QString text;                       // the final text, else the pieces run together
        std::optional<qint64> discussionId; // announced by the server, else the caller's
    };
    // The chat stream broke after its answer had begun: a transfer error, a body
    // shorter than its length, or (length unknown) one that stops inside an event.
    // What had come of the answer is kept.
    class ChatStreamLost : public NetworkError {
    public:
        explicit ChatStreamLost(QString partialText)
            : NetworkError(Kind::Interrupted)
            , partialText_(std::move(partialText)) {}
        // "La connexion au serveur a été perdue pendant la réponse."
        QString description() const override;
        const QString& partialText() const { return partialText_; }

    private:
        QString partialText_;
    };
    // Posts one message to /queries.json and reads the answer as server-sent events
    // on the unpinned shared session (no 401 notice). onDelta gets each piece as
    // soon as its event is complete, on the calling thread. A body that arrived
    // whole (its length matched) and ends inside an event loses that last event
    // only; other cuts throw ChatStreamLost.
    QCoro::Task<ChatReply> complete(QString prompt, Provider provider, std::optional<qint64> discussionId,
                                    std::optional<QString> localModel, std::optional<QString> cloudModel,
                                    std::function<void(const QString&)> onDelta = {}) const;
    // Records a turn answered by the local model; the discussion id the server
    // gave it, or nothing.
    QCoro::Task<std::optional<qint64>> importLocalTurn(QString prompt, QString responseText, QString model,
                                                       std::optional<qint64> discussionId,
                                                       std::optional<QString> ref) const;
    // The members every chat query carries, in this order.
    static const std::vector<std::pair<QString, QString>>& ombrixDesktopProductContext();

    // ---- Voice -------------------------------------------------------------------
    struct RecordingResult {
        qint64 id = 0;
        QString transcription;
        std::optional<QString> language;
        std::optional<qint64> uploadMs; // measured here: request sent to response arrived
    };
    struct VoiceReply {
        QString text;
        std::optional<QString> audioBase64;
        std::optional<QString> audioFormat;
    };
    // Uploads a recording as multipart form data to /recordings.json.
    QCoro::Task<RecordingResult> uploadRecording(QString filePath, QString language, bool transcribe,
                                                 std::optional<qint64> recordingMs) const;
    // Asks for the answer to an uploaded recording.
    QCoro::Task<VoiceReply> sendVoiceQuery(qint64 recordingId, QString transcription, Provider provider,
                                           bool audio, QString voice, std::optional<qint64> uploadMs,
                                           std::optional<QString> localModel,
                                           std::optional<QString> cloudModel) const;
    // The multipart body of an upload (exposed for tests of its exact bytes).
    static QByteArray recordingFormBody(const QByteArray& boundary, const QString& language, bool transcribe,
                                        std::optional<qint64> recordingMs, const QString& fileName,
                                        const QByteArray& fileBytes);

    // ---- Preferences ---------------------------------------------------------------
    struct UserPrefs {
        qint64 id = 0;
        std::optional<QString> email;
        std::optional<QString> default_voice_mode;
        std::optional<QString> default_provider;
        std::optional<QString> default_model;
        std::optional<bool> transcribe_audio;
        std::optional<bool> audio_output;
        std::optional<QString> default_audio_voice;
        static UserPrefs fromJson(const Json& object); // throws JsonDecodingError
    };
    QCoro::Task<UserPrefs> fetchUserPrefs() const;
    // PATCH of /users/<id>.json (outside the API root) with {"user": the given members}.
    QCoro::Task<> patchUserPrefs(qint64 userId, std::optional<QString> voiceMode,
                                 std::optional<QString> provider, std::optional<bool> transcribeAudio,
                                 std::optional<bool> audioOutput, std::optional<QString> audioVoice) const;

    // ---- Account -----------------------------------------------------------------
    struct PairingClaimResponse {
        QString user_token;
        QString email;
        static PairingClaimResponse fromJson(const Json& object);
    };
    struct RecentDiscussion {
        qint64 id = 0;
        std::optional<QString> name;
        std::optional<QString> updated_at; // the server's text, not parsed
        std::optional<qint64> queries_count;
        static RecentDiscussion fromJson(const Json& object);
    };
    struct VoiceSampleResponse {
        QString audio_base64;
        QString format;
        static VoiceSampleResponse fromJson(const Json& object);
    };
    // Exchanges a pairing code for a user token. No token is sent and a 401 is not
    // announced; an error's text is the body's "error" string when it has one.
    static QCoro::Task<PairingClaimResponse> claimPairing(QString code);
    QCoro::Task<> revokeCurrentSession() const;
    QCoro::Task<QList<RecentDiscussion>> fetchRecentDiscussions(int limit) const;
    QCoro::Task<VoiceSampleResponse> fetchVoiceSample(QString slug) const;

    // ---- Proactive settings and secure access ----------------------------------------
    struct ProactiveModeReadiness {
        bool ready = false;
        std::optional<QString> reason;
        static ProactiveModeReadiness fromJson(const Json& object);
    };
    struct SecureAccessSession {
        bool active = false;
        std::optional<QString> activated_at;
        std::optional<QString> expires_at;
        std::optional<qint64> remaining_seconds;
        std::optional<qint64> duration_minutes;
        std::optional<QString> device_id;
        std::optional<QString> device_label;
        std::optional<bool> device_online;
        std::optional<bool> revocable;
        std::optional<bool> renewable;
        static SecureAccessSession fromJson(const Json& object);
    };
    struct PreferredLocalHost {
        QString kind;
        QString id;
        QString label;
        std::optional<bool> online;
        std::optional<QString> last_seen_at;
        static PreferredLocalHost fromJson(const Json& object);
    };
    struct ProactiveSettingsResponse {
        bool enabled = false;
        QString execution_mode;
        QString execution_mode_source;
        std::optional<QString> execution_mode_set_at;
        QString local_runtime_status;
        QString secure_access_status;
        std::optional<QString> secure_access_activated_at;
        std::optional<QString> secure_access_expires_at;
        std::optional<QString> secure_access_last_verified_at;
        std::optional<SecureAccessSession> secure_access_session;
        std::optional<PreferredLocalHost> preferred_local_host;
        std::map<QString, ProactiveModeReadiness> mode_readiness;
        std::map<QString, QString> settings_entry_points;
        static ProactiveSettingsResponse fromJson(const Json& object);
    };
    QCoro::Task<ProactiveSettingsResponse> fetchProactiveSettings() const;
    // Sends one secure-access change (the caller builds the complete URL) and
    // returns the state after it. An error's text is parsedErrorBody() of the body.
    // The token goes only to the API base: a URL elsewhere (another scheme, host or
    // port, credentials, a path outside the base or with "." or ".." segments) is
    // refused with APIError::decoding before anything is sent.
    QCoro::Task<ProactiveSettingsResponse> mutateSecureAccess(QUrl url, QByteArray httpMethod,
                                                              std::optional<Json> body) const;
    // The message of an error body: a non-empty "message", else a non-empty
    // "error" of a JSON object, else the whole body as UTF-8; nothing when empty.
    static std::optional<QString> parsedErrorBody(const QByteArray& body);

private:
    static HttpRequest requestFor(const Call& call);
    QCoro::Task<> sendBridgeTaskUpdate(QString id, QByteArray bodyData, bool final) const;
};

using RecordingResult = APIService::RecordingResult;

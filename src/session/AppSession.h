#pragma once

#include "platform/DefaultsStore.h"
#include "session/Models.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUuid>

#include <QCoro/QCoroTask>

#include <array>
#include <functional>
#include <memory>
#include <optional>

// The application's one state object: screen mode, conversation, provider and model
// choices, voice and summon settings, bridge and local-model settings, and who is
// signed in. Lives on the GUI thread. Every setting is written to the settings store
// on each assignment (also when the value does not change) and each property has a
// change signal; the token lives in the keychain.
//
// Signing in and out, hydration from the backend, the debounced preference push and
// the reaction to a refused token keep the session in step with the backend; the
// bridge runs exactly while a token is present.
class AppSession : public QObject {
    Q_OBJECT
    Q_PROPERTY(Mode mode READ mode WRITE setMode NOTIFY modeChanged)
    Q_PROPERTY(QList<ChatMessage> messages READ messages WRITE setMessages NOTIFY messagesChanged)
    Q_PROPERTY(
        std::optional<qint64> discussionId READ discussionId WRITE setDiscussionId NOTIFY discussionIdChanged)
    Q_PROPERTY(bool isStreaming READ isStreaming WRITE setIsStreaming NOTIFY isStreamingChanged)
    Q_PROPERTY(std::optional<QString> lastError READ lastError WRITE setLastError NOTIFY lastErrorChanged)
    Q_PROPERTY(std::optional<QString> userToken READ userToken NOTIFY userTokenChanged)
    Q_PROPERTY(Provider provider READ provider WRITE setProvider NOTIFY providerChanged)
    Q_PROPERTY(QString selectedLocalModel READ selectedLocalModel WRITE setSelectedLocalModel NOTIFY
                   selectedLocalModelChanged)
    Q_PROPERTY(QString selectedCloudModel READ selectedCloudModel WRITE setSelectedCloudModel NOTIFY
                   selectedCloudModelChanged)
    Q_PROPERTY(VoiceMode voiceMode READ voiceMode WRITE setVoiceMode NOTIFY voiceModeChanged)
    Q_PROPERTY(AudioOutput audioOutput READ audioOutput WRITE setAudioOutput NOTIFY audioOutputChanged)
    Q_PROPERTY(bool whisperTranscription READ whisperTranscription WRITE setWhisperTranscription NOTIFY
                   whisperTranscriptionChanged)
    Q_PROPERTY(QString audioVoice READ audioVoice WRITE setAudioVoice NOTIFY audioVoiceChanged)
    Q_PROPERTY(bool doubleCommandEnabled READ doubleCommandEnabled WRITE setDoubleCommandEnabled NOTIFY
                   doubleCommandEnabledChanged)
    Q_PROPERTY(SummonBehavior summonBehavior READ summonBehavior WRITE setSummonBehavior NOTIFY
                   summonBehaviorChanged)
    Q_PROPERTY(SummonFallbackShortcut summonFallbackShortcut READ summonFallbackShortcut WRITE
                   setSummonFallbackShortcut NOTIFY summonFallbackShortcutChanged)
    Q_PROPERTY(bool globalShortcutPermissionGranted READ globalShortcutPermissionGranted WRITE
                   setGlobalShortcutPermissionGranted NOTIFY globalShortcutPermissionGrantedChanged)
    Q_PROPERTY(std::optional<QString> globalShortcutStatusMessage READ globalShortcutStatusMessage WRITE
                   setGlobalShortcutStatusMessage NOTIFY globalShortcutStatusMessageChanged)
    Q_PROPERTY(bool bridgeEnabled READ bridgeEnabled WRITE setBridgeEnabled NOTIFY bridgeEnabledChanged)
    Q_PROPERTY(
        bool localLLMEnabled READ localLLMEnabled WRITE setLocalLLMEnabled NOTIFY localLLMEnabledChanged)
    Q_PROPERTY(QString localLLMEndpoint READ localLLMEndpoint WRITE setLocalLLMEndpoint NOTIFY
                   localLLMEndpointChanged)
    Q_PROPERTY(QString localLLMModel READ localLLMModel WRITE setLocalLLMModel NOTIFY localLLMModelChanged)
    Q_PROPERTY(QString localLLMDeviceNickname READ localLLMDeviceNickname WRITE setLocalLLMDeviceNickname
                   NOTIFY localLLMDeviceNicknameChanged)
    Q_PROPERTY(std::optional<QString> userEmail READ userEmail NOTIFY userEmailChanged)

public:
    // Settings keys.
    static constexpr const char* kSelectedMode = "selectedMode";
    static constexpr const char* kChatMessages = "chatMessages";
    static constexpr const char* kChatDiscussionId = "chatDiscussionId";
    static constexpr const char* kSelectedProvider = "selectedProvider";
    static constexpr const char* kSelectedLocalModel = "selectedLocalModel";
    static constexpr const char* kSelectedCloudModel = "selectedCloudModel";
    static constexpr const char* kVoiceMode = "voiceMode";
    static constexpr const char* kAudioOutput = "audioOutput";
    static constexpr const char* kWhisperTranscription = "whisperTranscription";
    static constexpr const char* kAudioVoice = "audioVoice";
    static constexpr const char* kDoubleCommandEnabled = "doubleCommandEnabled";
    static constexpr const char* kSummonBehavior = "summonBehavior";
    static constexpr const char* kSummonFallbackShortcut = "summonFallbackShortcut";
    static constexpr const char* kBridgeEnabled = "bridgeEnabled";
    static constexpr const char* kLocalLLMEnabled = "localLLMEnabled";
    static constexpr const char* kLocalLLMEndpoint = "localLLMEndpoint";
    static constexpr const char* kLocalLLMModel = "localLLMModel";
    static constexpr const char* kLocalLLMDeviceNickname = "localLLMDeviceNickname";

    static constexpr int kServerSyncDelayMs = 500;

    // Reads the settings and starts what a session starts: the telemetry's endpoint
    // and probe switch, and the watch for refused tokens. The stored token is read
    // on the keychain's worker thread (the keyring may have to be unlocked first):
    // until it arrives the session is signed out and isLoadingStoredToken() is
    // true; then hydration and the bridge start as for a sign-in, and
    // storedTokenLoaded() is emitted. A token set meanwhile wins over the stored one.
    AppSession();
    ~AppSession() override;

    // The process-wide session, made on first use.
    static AppSession& shared();
    // Drops the process-wide session; the next shared() reads everything again.
    static void resetSharedForTesting();
    // At the program's end (Lifetime): the process-wide session, when there is one,
    // marks an answer still streaming as cut and saves the conversation.
    static void endOfProgram();
    // What the program wires to every session made from now on, run at the end of
    // its construction: the composition root (src/app/Composition.h) runs the
    // bridge and the local model telemetry from the session's state this way, so
    // that the session depends on neither.
    static void setCompositionHook(std::function<void(AppSession&)> hook);

    // The computer's name for the bridge: the pretty host name (PRETTY_HOSTNAME of
    // the machine-info file, as hostnamectl keeps it), else the host name, else "Mac".
    static QString computerName(const QString& machineInfoPath = QStringLiteral("/etc/machine-info"));
    // PRETTY_HOSTNAME of a machine-info text (shell-style quoting), empty when absent.
    static QString prettyHostName(const QByteArray& machineInfo);

    // ---- State ---------------------------------------------------------------
    Mode mode() const { return mode_; }
    const QList<ChatMessage>& messages() const { return messages_; }
    std::optional<qint64> discussionId() const { return discussionId_; }
    bool isStreaming() const { return isStreaming_; }
    std::optional<QString> lastError() const { return lastError_; }
    std::optional<QString> userToken() const { return userToken_; }
    Provider provider() const { return provider_; }
    QString selectedLocalModel() const { return selectedLocalModel_; }
    QString selectedCloudModel() const { return selectedCloudModel_; }
    VoiceMode voiceMode() const { return voiceMode_; }
    AudioOutput audioOutput() const { return audioOutput_; }
    bool whisperTranscription() const { return whisperTranscription_; }
    QString audioVoice() const { return audioVoice_; }
    bool doubleCommandEnabled() const { return doubleCommandEnabled_; }
    SummonBehavior summonBehavior() const { return summonBehavior_; }
    SummonFallbackShortcut summonFallbackShortcut() const { return summonFallbackShortcut_; }
    bool globalShortcutPermissionGranted() const { return globalShortcutPermissionGranted_; }
    std::optional<QString> globalShortcutStatusMessage() const { return globalShortcutStatusMessage_; }
    bool bridgeEnabled() const { return bridgeEnabled_; }
    bool localLLMEnabled() const { return localLLMEnabled_; }
    QString localLLMEndpoint() const { return localLLMEndpoint_; }
    QString localLLMModel() const { return localLLMModel_; }
    QString localLLMDeviceNickname() const { return localLLMDeviceNickname_; }
    std::optional<qint64> userId() const { return userId_; }
    std::optional<QString> userEmail() const { return userEmail_; }
    bool isHydrating() const { return isHydrating_; }
    bool isLoadingStoredToken() const { return isLoadingStoredToken_; }
    // Whether a preference push is waiting (for its delay, or for the push in flight).
    bool hasPendingServerSync() const { return pendingSync_.has_value(); }

    void setMode(Mode value);
    void setMessages(const QList<ChatMessage>& value);
    void setDiscussionId(std::optional<qint64> value);
    void setIsStreaming(bool value);
    void setLastError(const std::optional<QString>& value);
    void setProvider(Provider value);
    void setSelectedLocalModel(const QString& value);
    void setSelectedCloudModel(const QString& value);
    void setVoiceMode(VoiceMode value);
    void setAudioOutput(AudioOutput value);
    void setWhisperTranscription(bool value);
    void setAudioVoice(const QString& value);
    void setDoubleCommandEnabled(bool value);
    void setSummonBehavior(SummonBehavior value);
    void setSummonFallbackShortcut(SummonFallbackShortcut value);
    void setGlobalShortcutPermissionGranted(bool value);
    void setGlobalShortcutStatusMessage(const std::optional<QString>& value);
    void setBridgeEnabled(bool value);
    void setLocalLLMEnabled(bool value);
    void setLocalLLMEndpoint(const QString& value);
    void setLocalLLMModel(const QString& value);
    void setLocalLLMDeviceNickname(const QString& value);

    // ---- Operations ----------------------------------------------------------
    // True when a token is present and not empty.
    bool isAuthenticated() const;
    // Signs in with the trimmed token (saved to the keychain first; a failed save,
    // or a token holding control characters that no request could carry, sets
    // lastError and returns false, changing nothing else), or signs out when
    // the trimmed text is empty (the old session is revoked on the backend in the
    // background). A new token, and signing out, cancel a pending preference push
    // and forget the user id and e-mail, so nothing is sent or shown for one account
    // with another's token.
    // The keychain is written on its worker thread; the task resumes once it has
    // answered. Signing out takes effect at once (before the task first waits), the
    // keychain item being deleted after. Keychain writes happen in the order asked;
    // a sign-in overtaken by a later call stores its token but leaves the session
    // to that call.
    // Signing out whose keychain item could not be deleted (a locked keyring that
    // stayed locked when asked to unlock) still signs out, but returns false with
    // tokenKeptText() in lastError; the next start does not sign in with that item.
    QCoro::Task<bool> setToken(QString token);
    static QString tokenKeptText();
    // Asks for the bridge to run with the token while one is present and to stop
    // otherwise (bridgeReconcileRequested; the composition root acts on it).
    void reconcileBridge();
    // Pulls the user's preferences into the settings. Failures are swallowed (and
    // clear lastError); an answer that arrives after the token changed is dropped.
    // A synced setting the user changed while the answer was on its way keeps the
    // user's value, which is then pushed.
    QCoro::Task<> hydrateFromServer();
    // Empties the conversation and forgets the discussion id.
    void clearConversation();

    // The assistant message a reply is streaming into, and whether it shows a
    // progress line (a tool running) rather than answer text. It is saved with the
    // conversation, so that an answer cut by a crash or kill -9 is known as cut.
    struct StreamingMessage {
        QUuid id;
        bool showsProgress = false;
        bool operator==(const StreamingMessage&) const = default;
    };
    const std::optional<StreamingMessage>& streamingMessage() const { return streamingMessage_; }
    void setStreamingMessage(const std::optional<StreamingMessage>& value);
    // Ends the streaming message as cut: the answer so far (a progress line counts
    // as none) with cutAnswerWarning() under it. Quitting does it, and a launch
    // does it to a message that the last run left streaming.
    void endCutAnswer();
    static QString cutAnswerWarning();
    // The question whose answer has not started to show: nothing streams into a
    // message yet (the local server is being asked), or the answer comes whole (the
    // backend's). Saved with the conversation, so that a question cut by a quit or
    // a kill is followed by an answer holding only cutAnswerWarning().
    const std::optional<QUuid>& awaitedAnswer() const { return awaitedAnswer_; }
    void setAwaitedAnswer(const std::optional<QUuid>& question);
    // What the chat says once when part of the stored conversation could not be
    // read; `where` is the file its stored bytes were kept in (empty: not kept).
    static QString unreadableConversationText(const QString& where);
    // What the chat says once when the settings store cannot save (and why), and
    // once when it can again.
    static QString saveProblemText(DefaultsStore::SaveProblem problem);
    static QString savedAgainText();
    // The conversation is saved after its changes, not on each one: while a reply
    // streams at most every kConversationSaveMs, otherwise (and when the reply
    // ends) at the next turn of the event loop; the JSON is written off the GUI
    // thread. An emptied conversation is removed from the store at once.
    static constexpr int kConversationSaveMs = 1000;
    // Writes a change not yet saved now, on the calling thread (quit, tests).
    void saveConversationNow();
    // At quit: a cut answer is marked, the conversation handed to the store, and
    // the store flushed; returns whether everything reached the disk.
    bool saveConversationAtEnd();
    // A change of the conversation waits to be saved (or is being encoded).
    bool conversationSavePending() const { return conversationDirty_ || conversationSaving_; }
    // Chooses the screen before a summon from summonBehavior.
    void prepareForSummon();
    // The backend refused `token`: when it is still the current token, sign out with
    // "Session expirée. Recolle ton jeton dans Réglages (⌘,)." (the account's id and
    // e-mail go with it). Otherwise nothing. The keychain item is deleted only while
    // it holds that token, and a sign-in under way with a newer token goes on.
    void handleAuthFailure(const QString& token);

signals:
    void modeChanged();
    void messagesChanged();
    void discussionIdChanged();
    void isStreamingChanged();
    void lastErrorChanged();
    void userTokenChanged();
    void providerChanged();
    void selectedLocalModelChanged();
    void selectedCloudModelChanged();
    void voiceModeChanged();
    void audioOutputChanged();
    void whisperTranscriptionChanged();
    void audioVoiceChanged();
    void doubleCommandEnabledChanged();
    void summonBehaviorChanged();
    void summonFallbackShortcutChanged();
    void globalShortcutPermissionGrantedChanged();
    void globalShortcutStatusMessageChanged();
    void bridgeEnabledChanged();
    void localLLMEnabledChanged();
    void localLLMEndpointChanged();
    void localLLMModelChanged();
    void localLLMDeviceNicknameChanged();
    void userEmailChanged();
    // The bridge should now run with userToken() when there is one, else stop.
    void bridgeReconcileRequested();
    // The start-up read of the stored token has ended (userToken() holds its result
    // unless a token was set meanwhile).
    void storedTokenLoaded();

private:
    // What a preference push sends, captured when it is scheduled.
    struct ServerSync {
        QString token;
        qint64 userId = 0;
        QString voiceMode;
        QString provider;
        bool transcribeAudio = true;
        bool audioOutput = true;
        std::optional<QString> audioVoice;
    };

    // The settings that hydration and the preference push carry.
    enum SyncedSetting {
        SyncedVoiceMode,
        SyncedProvider,
        SyncedTranscription,
        SyncedAudioOutput,
        SyncedAudioVoice,
        SyncedSettingCount
    };

    void loadSettings();
    void loadConversation();
    QCoro::Task<> loadStoredToken();
    // Starts hydration and the bridge for the token now held.
    void startSignedIn();
    // Counts an assignment of a synced setting made by the user (not by hydration).
    void noteUserEdit(SyncedSetting setting);
    void serverSyncFinished();
    void persistConversation();
    // The settings store's saves failed, or work again: the chat says so once.
    void noteSaveProblem(DefaultsStore::SaveProblem problem);
    void scheduleServerSync();
    void cancelServerSync();
    void sendServerSync();
    void setUserToken(const std::optional<QString>& value);
    void setUserEmail(const std::optional<QString>& value);
    // Forgets what belongs to the account of the token being dropped or replaced.
    void forgetAccount();

    Mode mode_ = Mode::Chat;
    QList<ChatMessage> messages_;
    std::optional<StreamingMessage> streamingMessage_;
    std::optional<QUuid> awaitedAnswer_;
    std::optional<qint64> discussionId_;
    bool isStreaming_ = false;
    std::optional<QString> lastError_;
    std::optional<QString> userToken_;
    Provider provider_ = Provider::OpenAI;
    QString selectedLocalModel_;
    QString selectedCloudModel_;
    VoiceMode voiceMode_ = VoiceMode::PushToTalk;
    AudioOutput audioOutput_ = AudioOutput::Auto;
    bool whisperTranscription_ = true;
    QString audioVoice_;
    bool doubleCommandEnabled_ = true;
    SummonBehavior summonBehavior_ = SummonBehavior::LastUsed;
    SummonFallbackShortcut summonFallbackShortcut_ = SummonFallbackShortcut::CommandJ;
    bool globalShortcutPermissionGranted_ = false;
    std::optional<QString> globalShortcutStatusMessage_;
    bool bridgeEnabled_ = false;
    bool localLLMEnabled_ = false;
    QString localLLMEndpoint_;
    QString localLLMModel_;
    QString localLLMDeviceNickname_;
    std::optional<qint64> userId_;
    std::optional<QString> userEmail_;
    bool isHydrating_ = false;
    bool isLoadingStoredToken_ = true;
    // Counts the changes of the token, so that an answer of the keychain that a
    // later change overtook changes nothing.
    quint64 tokenGeneration_ = 0;
    // The last token the backend refused, and how many refusals were acted on: a
    // save of that token under way when it was refused does not sign in with it.
    quint64 refusals_ = 0;
    QString refusedToken_;

    std::array<quint64, SyncedSettingCount> userEdits_{};

    // The conversation's saving: one encoding at a time, off the GUI thread; the
    // generation makes an encoding of an older conversation be dropped.
    void scheduleConversationSave();
    void startConversationSave();
    QTimer conversationSaveTimer_;
    QElapsedTimer sinceConversationSave_;
    bool conversationDirty_ = false;
    bool conversationSaving_ = false;
    quint64 conversationGeneration_ = 0;
    // What the chat last said of the store's saves.
    DefaultsStore::SaveProblem toldSaveProblem_ = DefaultsStore::SaveProblem::None;

    QTimer syncTimer_;
    std::optional<ServerSync> pendingSync_;
    // One push at a time: a push that comes due while another is in flight waits
    // for it, so the latest state is always the last one sent.
    bool syncInFlight_ = false;
};

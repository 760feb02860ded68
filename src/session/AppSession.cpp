#include "session/AppSession.h"

#include "platform/Tasks.h"

#include "platform/AuthFailureNotifier.h"
#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/APIService.h"
#include "session/KeychainStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QFuture>
#include <QFutureWatcher>
#include <QPointer>
#include <QSysInfo>
#include <QtConcurrent/QtConcurrentRun>

#include <cmath>

namespace {
const QString kDefaultLocalLLMEndpoint = QStringLiteral("http://127.0.0.1:8080/v1");
const QString kDefaultLocalLLMModel = QStringLiteral("Qwen/Qwen3-14B-MLX-4bit");

std::unique_ptr<AppSession>& sharedSession() {
    static std::unique_ptr<AppSession> session;
    return session;
}

DefaultsStore& defaults() {
    return DefaultsStore::shared();
}
QString key(const char* name) {
    return QString::fromLatin1(name);
}

template <typename E> E storedEnum(const char* name, E fallback) {
    const auto text = defaults().string(key(name));
    if (!text)
        return fallback;
    return fromRaw<E>(*text).value_or(fallback);
}

// The stored number when it is a whole number; a fraction or another kind gives nothing.
std::optional<qint64> storedInteger(const char* name) {
    const auto number = defaults().doubleValue(key(name));
    if (!number || *number != std::trunc(*number))
        return std::nullopt;
    return defaults().integer(key(name));
}

QString storedText(const char* name, const QString& fallback = QString()) {
    return defaults().string(key(name)).value_or(fallback);
}

std::function<void(AppSession&)>& compositionHook() {
    static std::function<void(AppSession&)> hook;
    return hook;
}

} // namespace

AppSession::AppSession() {
    // 1. The conversation and the transient state start empty.
    // 2. The token: read on the keychain's thread, it arrives later (step 6).
    // 3. Nothing known of the account yet (the members' initial values).
    // 4. The settings.
    loadSettings();
    syncTimer_.setSingleShot(true);
    connect(&syncTimer_, &QTimer::timeout, this, &AppSession::sendServerSync);
    conversationSaveTimer_.setSingleShot(true);
    connect(&conversationSaveTimer_, &QTimer::timeout, this, &AppSession::startConversationSave);
    // A save that fails is said in the chat, and so is the first that works again.
    connect(&defaults(), &DefaultsStore::saveProblemChanged, this, &AppSession::noteSaveProblem);
    noteSaveProblem(defaults().saveProblem());
    // An answer that the last run left streaming or waiting for (it was killed or
    // crashed) was cut.
    if (streamingMessage_ || awaitedAnswer_)
        endCutAnswer();

    // 6. and 7. Hydration and the bridge start once the stored token has arrived;
    // until then the session is signed out and the bridge stays off.
    reconcileBridge();
    detachTask(loadStoredToken());
    // 8. Refused tokens, handled after the refused request has returned.
    connect(&AuthFailureNotifier::shared(), &AuthFailureNotifier::authFailure, this,
            &AppSession::handleAuthFailure, Qt::QueuedConnection);
    // 9. What the program wires to the session: the local model telemetry follows
    // its settings, the bridge its token.
    if (const auto& hook = compositionHook())
        hook(*this);
}

void AppSession::setCompositionHook(std::function<void(AppSession&)> hook) {
    compositionHook() = std::move(hook);
}

AppSession::~AppSession() {
    blockSignals(true); // nothing is published from a session being destroyed
    endCutAnswer();
    saveConversationNow();
}

bool AppSession::saveConversationAtEnd() {
    endCutAnswer();
    saveConversationNow();
    const bool saved = defaults().flush();
    if (!saved)
        qCWarning(lcSession) << "Conversation et réglages non enregistrés à la fermeture";
    return saved;
}

QString AppSession::saveProblemText(DefaultsStore::SaveProblem problem) {
    using Problem = DefaultsStore::SaveProblem;
    const QString head = loc("Ombrix ne peut plus enregistrer les réglages ni la conversation : ");
    switch (problem) {
    case Problem::None:
        return QString();
    case Problem::DiskFull:
        return head + loc("le disque est plein. Rien n'est perdu tant qu'Ombrix reste ouvert : "
                          "l'enregistrement reprendra dès qu'il y aura de la place.");
    case Problem::ReadOnly:
        return head + loc("le dossier est en lecture seule. Rien n'est perdu tant qu'Ombrix reste ouvert : "
                          "l'enregistrement reprendra dès que le dossier sera de nouveau modifiable.");
    case Problem::TooLarge:
        return head + loc("la conversation est trop longue. La dernière version enregistrée est gardée ; "
                          "efface la conversation pour que l'enregistrement reprenne.");
    case Problem::Failed:
        return head + loc("le disque refuse l'écriture. Rien n'est perdu tant qu'Ombrix reste ouvert : "
                          "l'enregistrement sera réessayé.");
    }
    return QString();
}

QString AppSession::savedAgainText() {
    return loc("✅ Les réglages et la conversation sont de nouveau enregistrés.");
}

void AppSession::noteSaveProblem(DefaultsStore::SaveProblem problem) {
    using Problem = DefaultsStore::SaveProblem;
    if (problem == toldSaveProblem_)
        return;
    const bool wasFailing = toldSaveProblem_ != Problem::None;
    toldSaveProblem_ = problem;
    // The notice is a message of the conversation, as the notice of a damaged
    // conversation is: saved with it once saving works again.
    const QString text = problem == Problem::None
                             ? savedAgainText()
                             : ChatMessage::withWarning(QString(), saveProblemText(problem));
    if (problem == Problem::None && !wasFailing)
        return;
    setMessages(messages_ + QList<ChatMessage>{ChatMessage(ChatMessage::Role::Assistant, text)});
}

QCoro::Task<> AppSession::loadStoredToken() {
    QPointer<AppSession> self(this);
    const quint64 generation = tokenGeneration_;
    std::optional<QString> token;
    try {
        token = co_await KeychainStore::readAsync(loc("Authentifie-toi pour accéder à Ombrix"));
    } catch (...) {
        qCWarning(lcSession) << "Lecture du jeton dans le trousseau impossible";
    }
    if (!self)
        co_return;
    isLoadingStoredToken_ = false;
    if (generation == tokenGeneration_ && token) {
        setUserToken(token);
        startSignedIn();
    }
    emit storedTokenLoaded();
}

void AppSession::startSignedIn() {
    if (isAuthenticated())
        QTimer::singleShot(0, this, [this] { detachTask(hydrateFromServer()); });
    reconcileBridge();
}

AppSession& AppSession::shared() {
    auto& session = sharedSession();
    if (!session)
        session = std::make_unique<AppSession>();
    return *session;
}

void AppSession::endOfProgram() {
    if (const auto& session = sharedSession())
        session->saveConversationAtEnd();
}

void AppSession::resetSharedForTesting() {
    sharedSession().reset();
}

void AppSession::loadSettings() {
    mode_ =
        defaults().string(key(kSelectedMode)) == QStringLiteral("microphone") ? Mode::Microphone : Mode::Chat;
    provider_ = storedEnum(kSelectedProvider, Provider::OpenAI);
    voiceMode_ = defaults().string(key(kVoiceMode)) == QStringLiteral("realtime") ? VoiceMode::Realtime
                                                                                  : VoiceMode::PushToTalk;
    audioOutput_ = storedEnum(kAudioOutput, AudioOutput::Auto);
    whisperTranscription_ = defaults().boolValue(key(kWhisperTranscription)).value_or(true);
    audioVoice_ = storedText(kAudioVoice);
    doubleCommandEnabled_ = defaults().boolValue(key(kDoubleCommandEnabled)).value_or(true);
    summonBehavior_ = storedEnum(kSummonBehavior, SummonBehavior::LastUsed);
    summonFallbackShortcut_ = defaults().string(key(kSummonFallbackShortcut)) == QStringLiteral("none")
                                  ? SummonFallbackShortcut::None
                                  : SummonFallbackShortcut::CommandJ;
    discussionId_ = storedInteger(kChatDiscussionId);
    loadConversation();
    bridgeEnabled_ = defaults().boolValue(key(kBridgeEnabled)).value_or(false);
    localLLMEnabled_ = defaults().boolValue(key(kLocalLLMEnabled)).value_or(false);
    localLLMEndpoint_ = storedText(kLocalLLMEndpoint, kDefaultLocalLLMEndpoint);
    localLLMModel_ = storedText(kLocalLLMModel, kDefaultLocalLLMModel);
    selectedLocalModel_ = storedText(kSelectedLocalModel);
    selectedCloudModel_ = storedText(kSelectedCloudModel);
    const QString nickname = storedText(kLocalLLMDeviceNickname);
    localLLMDeviceNickname_ = nickname.isEmpty() ? computerName() : nickname;
}

// ---- The stored conversation ----------------------------------------------------

namespace {

// The messages of a stored conversation, read one by one: a message that does not
// read is left out, and `whole` tells whether any was.
struct ConversationRead {
    QList<ChatMessage> messages;
    std::optional<QUuid> streaming;
    std::optional<QUuid> awaited;
    bool whole = true;
};

void takeMessage(const Json& item, ConversationRead& read) {
    try {
        read.messages.append(ChatMessage::fromJson(item));
    } catch (const std::exception&) {
        read.whole = false;
        return;
    }
    if (const auto mark = item.find("streaming"); mark != item.end() && *mark == true)
        read.streaming = read.messages.last().id;
    if (const auto mark = item.find("awaitingAnswer"); mark != item.end() && *mark == true)
        read.awaited = read.messages.last().id;
}

// How many pieces a message may have been cut into, where its content ends with the
// text that separates two messages, before the reading gives up on it.
constexpr int kMaxJoinedPieces = 8;

// The conversation is the program's own, written into the settings file whose
// size the store bounds: it is read without the budget of outside input.
ConversationRead readConversation(const QByteArray& stored) {
    ConversationRead read;
    if (const std::optional<Json> array = json::tryParseOwn(stored)) {
        if (array->is_array()) {
            for (const Json& item : *array)
                takeMessage(item, read);
            return read;
        }
    }
    // Bytes that are not UTF-8 cost themselves (each becomes U+FFFD), not their
    // message.
    read.whole = false;
    const QByteArray bytes = QString::fromUtf8(stored).toUtf8();
    if (bytes != stored) {
        if (const std::optional<Json> array = json::tryParseOwn(bytes); array && array->is_array()) {
            for (const Json& item : *array)
                takeMessage(item, read);
            return read;
        }
    }
    // The list does not parse (a damaged byte): its messages are found where one
    // object ends and the next begins (a brace, a comma, a brace and a quote), and
    // each is read on its own. A content that itself ends with that text is read by
    // joining the pieces back.
    QByteArray body = bytes.trimmed();
    if (body.startsWith('['))
        body.remove(0, 1);
    if (body.endsWith(']'))
        body.chop(1);
    json::readPieces(
        body, "},{\"", kMaxJoinedPieces,
        [&](const QByteArray& piece) {
            const std::optional<Json> item = json::tryParseOwn(piece);
            if (!item || !item->is_object())
                return false;
            takeMessage(*item, read);
            return true;
        },
        [](const QByteArray&, bool) {}); // the damaged message
    return read;
}

} // namespace

QString AppSession::unreadableConversationText(const QString& where) {
    if (where.isEmpty())
        return loc("Une partie de la conversation précédente n'a pas pu être lue.");
    return loc("Une partie de la conversation précédente n'a pas pu être lue. Elle est gardée telle "
               "qu'elle était enregistrée dans « %1 ».")
        .arg(where);
}

void AppSession::loadConversation() {
    const QString name = key(kChatMessages);
    std::optional<QByteArray> bytes = defaults().data(name);
    bool whole = true;
    if (!bytes) {
        // Stored text that does not decode whole: its messages are read from what does.
        bytes = defaults().damagedData(name);
        whole = false;
        if (!bytes)
            return;
    }
    ConversationRead read = readConversation(*bytes);
    messages_ = read.messages;
    if (read.streaming)
        streamingMessage_ = StreamingMessage{*read.streaming, false};
    awaitedAnswer_ = read.awaited;
    if (whole && read.whole)
        return;
    // The stored bytes are kept before anything is saved over them (the store
    // writes nothing over them until they are), and the chat says so once: the
    // notice is saved with the rest. It names the file once the file is there.
    const std::optional<QString> where = defaults().keepAside(name);
    qCWarning(lcSession) << "Conversation enregistrée en partie illisible:" << read.messages.size()
                         << "messages lus";
    const ChatMessage notice(ChatMessage::Role::Assistant,
                             ChatMessage::withWarning(QString(), unreadableConversationText(QString())));
    messages_.append(notice);
    scheduleConversationSave();
    if (!where)
        return;
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(&defaults(), &DefaultsStore::keptAside, this,
                          [this, connection, id = notice.id, file = *where](const QString& kept) {
                              if (kept != file)
                                  return;
                              disconnect(*connection);
                              for (ChatMessage& message : messages_) {
                                  if (message.id != id)
                                      continue;
                                  message.content =
                                      ChatMessage::withWarning(QString(), unreadableConversationText(file));
                                  scheduleConversationSave();
                                  emit messagesChanged();
                                  return;
                              }
                          });
}

// ---- The computer's name ------------------------------------------------------

QString AppSession::prettyHostName(const QByteArray& machineInfo) {
    for (const QByteArray& rawLine : machineInfo.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("PRETTY_HOSTNAME="))
            continue;
        const QByteArray value = line.mid(int(sizeof("PRETTY_HOSTNAME=") - 1));
        QByteArray out;
        char quote = 0;
        for (int i = 0; i < value.size(); ++i) {
            const char c = value[i];
            if (quote == '\'') {
                if (c == '\'')
                    quote = 0;
                else
                    out += c;
            } else if (c == '\\' && i + 1 < value.size()) {
                out += value[++i];
            } else if (c == '"') {
                quote = quote == '"' ? 0 : '"';
            } else if (c == '\'' && quote == 0) {
                quote = '\'';
            } else {
                out += c;
            }
        }
        return QString::fromUtf8(out).trimmed();
    }
    return QString();
}

QString AppSession::computerName(const QString& machineInfoPath) {
    QFile file(machineInfoPath);
    if (file.open(QIODevice::ReadOnly)) {
        const QString pretty = prettyHostName(file.read(64 * 1024));
        if (!pretty.isEmpty())
            return pretty;
    }
    const QString host = QSysInfo::machineHostName();
    if (!host.isEmpty())
        return host;
    return QStringLiteral("Mac");
}

// ---- Setters --------------------------------------------------------------------

void AppSession::setMode(Mode value) {
    mode_ = value;
    defaults().setString(key(kSelectedMode), rawValue(value));
    emit modeChanged();
}

void AppSession::setMessages(const QList<ChatMessage>& value) {
    messages_ = value;
    scheduleConversationSave();
    emit messagesChanged();
}

void AppSession::setDiscussionId(std::optional<qint64> value) {
    discussionId_ = value;
    if (value)
        defaults().setInteger(key(kChatDiscussionId), *value);
    else
        defaults().remove(key(kChatDiscussionId));
    emit discussionIdChanged();
}

void AppSession::setIsStreaming(bool value) {
    isStreaming_ = value;
    if (!value && conversationDirty_)
        scheduleConversationSave(); // the end of a reply is saved at once
    emit isStreamingChanged();
}

void AppSession::setLastError(const std::optional<QString>& value) {
    lastError_ = value;
    emit lastErrorChanged();
}

void AppSession::setProvider(Provider value) {
    provider_ = value;
    defaults().setString(key(kSelectedProvider), rawValue(value));
    emit providerChanged();
    noteUserEdit(SyncedProvider);
    scheduleServerSync();
}

void AppSession::setSelectedLocalModel(const QString& value) {
    selectedLocalModel_ = value;
    defaults().setString(key(kSelectedLocalModel), value);
    emit selectedLocalModelChanged();
}

void AppSession::setSelectedCloudModel(const QString& value) {
    selectedCloudModel_ = value;
    defaults().setString(key(kSelectedCloudModel), value);
    emit selectedCloudModelChanged();
}

void AppSession::setVoiceMode(VoiceMode value) {
    voiceMode_ = value;
    defaults().setString(key(kVoiceMode), rawValue(value));
    emit voiceModeChanged();
    noteUserEdit(SyncedVoiceMode);
    scheduleServerSync();
}

void AppSession::setAudioOutput(AudioOutput value) {
    audioOutput_ = value;
    defaults().setString(key(kAudioOutput), rawValue(value));
    emit audioOutputChanged();
    noteUserEdit(SyncedAudioOutput);
    scheduleServerSync();
}

void AppSession::setWhisperTranscription(bool value) {
    whisperTranscription_ = value;
    defaults().setBool(key(kWhisperTranscription), value);
    emit whisperTranscriptionChanged();
    noteUserEdit(SyncedTranscription);
    scheduleServerSync();
}

void AppSession::setAudioVoice(const QString& value) {
    audioVoice_ = value;
    defaults().setString(key(kAudioVoice), value);
    emit audioVoiceChanged();
    noteUserEdit(SyncedAudioVoice);
    scheduleServerSync();
}

void AppSession::setDoubleCommandEnabled(bool value) {
    doubleCommandEnabled_ = value;
    defaults().setBool(key(kDoubleCommandEnabled), value);
    emit doubleCommandEnabledChanged();
}

void AppSession::setSummonBehavior(SummonBehavior value) {
    summonBehavior_ = value;
    defaults().setString(key(kSummonBehavior), rawValue(value));
    emit summonBehaviorChanged();
}

void AppSession::setSummonFallbackShortcut(SummonFallbackShortcut value) {
    summonFallbackShortcut_ = value;
    defaults().setString(key(kSummonFallbackShortcut), rawValue(value));
    emit summonFallbackShortcutChanged();
}

void AppSession::setGlobalShortcutPermissionGranted(bool value) {
    globalShortcutPermissionGranted_ = value;
    emit globalShortcutPermissionGrantedChanged();
}

void AppSession::setGlobalShortcutStatusMessage(const std::optional<QString>& value) {
    globalShortcutStatusMessage_ = value;
    emit globalShortcutStatusMessageChanged();
}

void AppSession::setBridgeEnabled(bool value) {
    bridgeEnabled_ = value;
    defaults().setBool(key(kBridgeEnabled), value);
    emit bridgeEnabledChanged();
    reconcileBridge();
}

void AppSession::setLocalLLMEnabled(bool value) {
    localLLMEnabled_ = value;
    defaults().setBool(key(kLocalLLMEnabled), value);
    emit localLLMEnabledChanged();
    reconcileBridge();
}

void AppSession::setLocalLLMEndpoint(const QString& value) {
    localLLMEndpoint_ = value;
    defaults().setString(key(kLocalLLMEndpoint), value);
    emit localLLMEndpointChanged();
}

void AppSession::setLocalLLMModel(const QString& value) {
    localLLMModel_ = value;
    defaults().setString(key(kLocalLLMModel), value);
    emit localLLMModelChanged();
}

void AppSession::setLocalLLMDeviceNickname(const QString& value) {
    localLLMDeviceNickname_ = value;
    defaults().setString(key(kLocalLLMDeviceNickname), value);
    emit localLLMDeviceNicknameChanged();
}

void AppSession::setUserToken(const std::optional<QString>& value) {
    userToken_ = value;
    emit userTokenChanged();
}

void AppSession::setUserEmail(const std::optional<QString>& value) {
    userEmail_ = value;
    emit userEmailChanged();
}

namespace {
// The stored form of the conversation; empty when it cannot be encoded. The
// message a reply streams into is marked "streaming", and a progress line in it
// is stored as no text: it is no part of the answer. The question whose answer
// has not started is marked "awaitingAnswer".
QByteArray encodeConversation(const QList<ChatMessage>& messages,
                              const std::optional<AppSession::StreamingMessage>& streaming,
                              const std::optional<QUuid>& awaited) {
    try {
        Json array = Json::array();
        for (const ChatMessage& message : messages) {
            Json item = message.toJson();
            if (awaited && message.id == *awaited)
                item["awaitingAnswer"] = true;
            if (streaming && message.id == streaming->id) {
                item["streaming"] = true;
                if (streaming->showsProgress)
                    item["content"] = "";
            }
            array.push_back(std::move(item));
        }
        return json::dump(array);
    } catch (const std::exception&) {
        return QByteArray(); // the stored conversation stays as it was
    }
}
} // namespace

void AppSession::scheduleConversationSave() {
    if (messages_.isEmpty()) {
        ++conversationGeneration_;
        // Nothing to encode: removed at once, and an encoding under way is dropped.
        conversationDirty_ = false;
        conversationSaveTimer_.stop();
        defaults().remove(key(kChatMessages));
        return;
    }
    conversationDirty_ = true;
    if (conversationSaving_)
        return; // the encoding under way starts the next one when it ends
    int delay = 0;
    if (isStreaming_ && sinceConversationSave_.isValid())
        delay = static_cast<int>(std::max<qint64>(0, kConversationSaveMs - sinceConversationSave_.elapsed()));
    if (!conversationSaveTimer_.isActive() || delay < conversationSaveTimer_.remainingTime())
        conversationSaveTimer_.start(delay);
}

void AppSession::startConversationSave() {
    if (!conversationDirty_ || conversationSaving_)
        return;
    conversationDirty_ = false;
    conversationSaving_ = true;
    sinceConversationSave_.start();
    const quint64 generation = conversationGeneration_;
    // The list shares its messages' texts: the copy costs no text.
    // The watcher goes with the session: an encoding that ends after it is dropped.
    auto* watcher = new QFutureWatcher<QByteArray>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation] {
        const QByteArray encoded = watcher->result();
        watcher->deleteLater();
        conversationSaving_ = false;
        if (generation == conversationGeneration_ && !encoded.isEmpty())
            defaults().setData(key(kChatMessages), encoded);
        if (conversationDirty_)
            scheduleConversationSave();
    });
    watcher->setFuture(QtConcurrent::run(encodeConversation, messages_, streamingMessage_, awaitedAnswer_));
}

void AppSession::saveConversationNow() {
    if (!conversationSavePending())
        return;
    conversationSaveTimer_.stop();
    conversationDirty_ = false;
    ++conversationGeneration_; // an encoding under way is outdated
    persistConversation();
}

void AppSession::persistConversation() {
    if (messages_.isEmpty()) {
        defaults().remove(key(kChatMessages));
        return;
    }
    const QByteArray encoded = encodeConversation(messages_, streamingMessage_, awaitedAnswer_);
    if (!encoded.isEmpty())
        defaults().setData(key(kChatMessages), encoded);
}

// ---- Sign-in, sign-out, refused tokens -------------------------------------------

bool AppSession::isAuthenticated() const {
    return userToken_ && !userToken_->isEmpty();
}

void AppSession::forgetAccount() {
    cancelServerSync();
    userId_.reset();
    // The e-mail belongs to the token being dropped; the next hydration brings the new one.
    if (userEmail_)
        setUserEmail(std::nullopt);
}

QCoro::Task<bool> AppSession::setToken(QString token) {
    const QString trimmed = token.trimmed();
    const quint64 generation = ++tokenGeneration_;
    const quint64 refusalsBefore = refusals_;
    QPointer<AppSession> self(this);
    if (!trimmed.isEmpty()) {
        // A control character inside the token would make every request fail as
        // "not connected": refused before anything is stored.
        if (!APIService::isUsableToken(trimmed)) {
            setLastError(
                loc("Ce jeton n'est pas valide : il contient des caractères de contrôle. Recolle-le."));
            co_return false;
        }
        std::optional<QString> failure;
        try {
            co_await KeychainStore::saveAsync(trimmed);
        } catch (...) {
            failure = describeException(std::current_exception());
        }
        if (!self)
            co_return !failure;
        if (failure) {
            if (generation == tokenGeneration_)
                setLastError(failure);
            co_return false;
        }
        if (generation != tokenGeneration_)
            co_return true; // stored; a later call decides what the session holds
        if (refusals_ != refusalsBefore && refusedToken_ == trimmed)
            co_return false; // the backend refused this very token meanwhile (lastError says so)
        if (userToken_ != trimmed)
            forgetAccount();
        setUserToken(trimmed);
        startSignedIn();
        co_return true;
    }

    if (isAuthenticated()) {
        // Revoke the old session in the background; its outcome does not matter.
        detachTask([](QString oldToken) -> QCoro::Task<> {
            co_await APIService(oldToken).revokeCurrentSession();
        }(*userToken_));
    }
    forgetAccount();
    setUserToken(std::nullopt);
    reconcileBridge();
    bool removed = true;
    try {
        co_await KeychainStore::removeAsync();
    } catch (...) {
        removed = false;
        qCWarning(lcSession) << "Suppression du jeton du trousseau impossible";
    }
    if (removed)
        co_return true;
    // Signed out all the same, but not reported as done: the item may still be
    // there (the keychain no longer gives it back, see KeychainStore::remove()).
    if (self && generation == tokenGeneration_)
        setLastError(tokenKeptText());
    co_return false;
}

QString AppSession::tokenKeptText() {
    return loc("Le jeton est resté dans le trousseau (verrouillé ?) : Ombrix ne s'en servira plus. "
               "Réessaie avec « Effacer ».");
}

void AppSession::reconcileBridge() {
    emit bridgeReconcileRequested();
}

void AppSession::handleAuthFailure(const QString& token) {
    if (!isAuthenticated() || token != *userToken_)
        return; // a request made with a token no longer in use
    ++refusals_;
    refusedToken_ = token;
    // Only the refused token goes. A sign-in still being written is not overtaken by
    // this (the generation stays), and the keychain item is deleted only while it
    // still holds the refused token: a token saved since stays, in both.
    detachTask([](QString refused) -> QCoro::Task<> {
        try {
            co_await KeychainStore::removeIfHoldsAsync(refused);
        } catch (...) {
            qCWarning(lcSession) << "Suppression du jeton du trousseau impossible";
        }
    }(token));
    forgetAccount();
    setUserToken(std::nullopt);
    reconcileBridge();
    setLastError(loc("Session expirée. Recolle ton jeton dans Réglages (⌘,)."));
}

// ---- Server sync ---------------------------------------------------------------

QCoro::Task<> AppSession::hydrateFromServer() {
    if (!isAuthenticated())
        co_return;
    const QString token = *userToken_;
    const auto editsBefore = userEdits_;
    QPointer<AppSession> self(this);
    std::optional<APIService::UserPrefs> prefs;
    try {
        prefs = co_await APIService(token).fetchUserPrefs();
    } catch (...) {
    }
    if (!self || userToken_ != token)
        co_return; // the session ended or another token took over meanwhile
    if (!prefs) {
        setLastError(std::nullopt);
        co_return;
    }

    userId_ = prefs->id;
    if (prefs->email)
        setUserEmail(prefs->email);
    // What the user chose while the answer was on its way stays, and is pushed.
    const auto untouched = [&](SyncedSetting setting) { return userEdits_[setting] == editsBefore[setting]; };
    bool editedMeanwhile = false;
    for (int setting = 0; setting < SyncedSettingCount; ++setting)
        editedMeanwhile = editedMeanwhile || !untouched(SyncedSetting(setting));
    isHydrating_ = true;
    if (prefs->default_voice_mode && untouched(SyncedVoiceMode)) {
        std::optional<VoiceMode> mapped;
        if (*prefs->default_voice_mode == QStringLiteral("ptt"))
            mapped = VoiceMode::PushToTalk;
        else if (*prefs->default_voice_mode == QStringLiteral("realtime"))
            mapped = VoiceMode::Realtime;
        if (mapped && *mapped != voiceMode_)
            setVoiceMode(*mapped);
    }
    if (prefs->default_provider && untouched(SyncedProvider)) {
        if (const auto mapped = fromRaw<Provider>(*prefs->default_provider); mapped && *mapped != provider_)
            setProvider(*mapped);
    }
    if (prefs->transcribe_audio && untouched(SyncedTranscription) &&
        *prefs->transcribe_audio != whisperTranscription_)
        setWhisperTranscription(*prefs->transcribe_audio);
    if (prefs->audio_output && untouched(SyncedAudioOutput)) {
        AudioOutput mapped = audioOutput_;
        if (*prefs->audio_output) {
            if (audioOutput_ == AudioOutput::Local)
                mapped = AudioOutput::Gpt;
        } else {
            mapped = AudioOutput::Local;
        }
        if (mapped != audioOutput_)
            setAudioOutput(mapped);
    }
    if (prefs->default_audio_voice && untouched(SyncedAudioVoice) &&
        *prefs->default_audio_voice != audioVoice_)
        setAudioVoice(*prefs->default_audio_voice);
    isHydrating_ = false;
    if (editedMeanwhile)
        scheduleServerSync();
}

void AppSession::noteUserEdit(SyncedSetting setting) {
    if (!isHydrating_)
        ++userEdits_[setting];
}

void AppSession::scheduleServerSync() {
    if (isHydrating_ || !isAuthenticated() || !userId_)
        return;
    ServerSync sync;
    sync.token = *userToken_;
    sync.userId = *userId_;
    sync.voiceMode = voiceMode_ == VoiceMode::Realtime ? QStringLiteral("realtime") : QStringLiteral("ptt");
    sync.provider = rawValue(provider_);
    sync.transcribeAudio = whisperTranscription_;
    sync.audioOutput = audioOutput_ != AudioOutput::Local;
    if (!audioVoice_.isEmpty())
        sync.audioVoice = audioVoice_;
    pendingSync_ = sync;
    syncTimer_.start(kServerSyncDelayMs);
}

void AppSession::cancelServerSync() {
    syncTimer_.stop();
    pendingSync_.reset();
}

void AppSession::sendServerSync() {
    if (!pendingSync_ || syncInFlight_)
        return; // the push in flight sends this one when it ends
    const ServerSync sync = *pendingSync_;
    pendingSync_.reset();
    syncInFlight_ = true;
    detachTask([](ServerSync s, QPointer<AppSession> self) -> QCoro::Task<> {
        try {
            co_await APIService(s.token).patchUserPrefs(s.userId, s.voiceMode, s.provider, s.transcribeAudio,
                                                        s.audioOutput, s.audioVoice);
        } catch (...) {
        }
        if (self)
            self->serverSyncFinished();
    }(sync, QPointer<AppSession>(this)));
}

void AppSession::serverSyncFinished() {
    syncInFlight_ = false;
    // A push that came due meanwhile goes now; one still in its delay waits for it.
    if (pendingSync_ && !syncTimer_.isActive())
        sendServerSync();
}

void AppSession::clearConversation() {
    streamingMessage_.reset();
    awaitedAnswer_.reset();
    setMessages({});
    setDiscussionId(std::nullopt);
}

void AppSession::setStreamingMessage(const std::optional<StreamingMessage>& value) {
    if (streamingMessage_ == value)
        return;
    streamingMessage_ = value;
    if (!messages_.isEmpty())
        scheduleConversationSave();
}

QString AppSession::cutAnswerWarning() {
    return loc("Réponse coupée : Ombrix s'est arrêté avant la fin de la réponse.");
}

void AppSession::setAwaitedAnswer(const std::optional<QUuid>& question) {
    if (awaitedAnswer_ == question)
        return;
    awaitedAnswer_ = question;
    if (!messages_.isEmpty())
        scheduleConversationSave();
}

void AppSession::endCutAnswer() {
    const std::optional<StreamingMessage> streaming = std::exchange(streamingMessage_, std::nullopt);
    const std::optional<QUuid> awaited = std::exchange(awaitedAnswer_, std::nullopt);
    if (!streaming && !awaited)
        return;
    QList<ChatMessage> messages = messages_;
    bool changed = false;
    for (qsizetype i = 0; i < messages.size(); ++i) {
        ChatMessage& message = messages[i];
        if (streaming && message.id == streaming->id) {
            const QString answer = streaming->showsProgress ? QString() : message.content;
            message.content = ChatMessage::withWarning(answer, cutAnswerWarning());
            changed = true;
        } else if (awaited && message.id == *awaited) {
            // A question whose answer never started: an answer that says only that.
            messages.insert(i + 1, ChatMessage(ChatMessage::Role::Assistant,
                                               ChatMessage::withWarning(QString(), cutAnswerWarning())));
            changed = true;
            ++i;
        }
    }
    if (changed)
        setMessages(messages);
    else if (!messages_.isEmpty())
        scheduleConversationSave(); // the marks go from the stored conversation
}

void AppSession::prepareForSummon() {
    switch (summonBehavior_) {
    case SummonBehavior::Chat:
        setMode(Mode::Chat);
        break;
    case SummonBehavior::Voice:
        setMode(Mode::Microphone);
        break;
    case SummonBehavior::LastUsed:
        break;
    }
}

#include "app/ChatViewModel.h"

#include "platform/Tasks.h"

#include "localllm/LocalDirectClient.h"
#include "localllm/LocalStream.h"
#include "localllm/LocalToolRegistry.h"
#include "platform/Errors.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/APIService.h"
#include "session/AppSession.h"

#include <QHash>

#include <exception>

const QString ChatViewModel::kSystemPrompt = QStringLiteral(
    "Tu es Ombrix, un assistant IA personnel qui tourne en local sur le Mac de l'utilisateur. Réponds de "
    "manière concise et naturelle.");

namespace {

const QString kWarningPrefix = QStringLiteral("\u26A0\uFE0F ");

std::optional<QString> tokenOf(const AppSession& session) {
    const std::optional<QString> token = session.userToken();
    if (!token || token->isEmpty())
        return std::nullopt;
    return token;
}

QString stringMember(const Json& object, const char* key, const QString& fallback) {
    if (!object.is_object())
        return fallback;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return fallback;
    return QString::fromStdString(it->get<std::string>());
}

} // namespace

// What the running turns share with the view model; it outlives the view model,
// since a turn keeps writing into the session after the screen went away.
struct ChatViewModel::Shared {
    QPointer<AppSession> session;
    QPointer<ChatViewModel> owner;
    quint64 latestTurn = 0;
    int running = 0;

    // The turn's conversation is still the one on screen.
    bool isCurrent(const QUuid& userMessageId) const {
        if (!session)
            return false;
        for (const ChatMessage& message : session->messages())
            if (message.id == userMessageId)
                return true;
        return false;
    }

    // Changes the message with this id and persists the conversation; false when
    // the conversation no longer holds it.
    template <typename Change> bool updateMessage(const QUuid& id, Change change) {
        if (!session)
            return false;
        QList<ChatMessage> messages = session->messages();
        for (ChatMessage& message : messages) {
            if (message.id == id) {
                change(message.content);
                session->setMessages(messages);
                return true;
            }
        }
        return false;
    }

    // The session's note of the message a reply streams into (saved with the
    // conversation, so that a cut answer is known as cut after a crash). Only for a
    // message still in the conversation: an abandoned turn never moves the note.
    void streamInto(const QUuid& id, bool showsProgress) {
        if (!session)
            return;
        for (const ChatMessage& message : session->messages()) {
            if (message.id == id) {
                session->setStreamingMessage(AppSession::StreamingMessage{id, showsProgress});
                return;
            }
        }
    }
    // The answer to this question has started to show (or has come whole): a cut
    // from now on is the streaming message's, or there is none.
    void answerStarted(const QUuid& questionId) {
        if (session && session->awaitedAnswer() == questionId)
            session->setAwaitedAnswer(std::nullopt);
    }
    void stopStreaming(const QUuid& id) {
        if (session && session->streamingMessage() && session->streamingMessage()->id == id)
            session->setStreamingMessage(std::nullopt);
    }

    void append(const ChatMessage& message) {
        QList<ChatMessage> messages = session->messages();
        messages.append(message);
        session->setMessages(messages);
    }

    void endTurn(quint64 turnNumber) {
        --running;
        if (session && turnNumber == latestTurn)
            session->setIsStreaming(false);
        if (owner)
            emit owner->turnEnded();
    }
};

struct ChatViewModel::Turn {
    quint64 number = 0;
    QUuid userMessageId;
    QString prompt;
    Provider provider = Provider::OpenAI;
    std::optional<qint64> discussionId;
    std::optional<QString> token;
};

ChatViewModel::ChatViewModel(AppSession& session, QObject* parent)
    : QObject(parent)
    , session_(&session)
    , shared_(std::make_shared<Shared>()) {
    shared_->session = &session;
    shared_->owner = this;
}

ChatViewModel::~ChatViewModel() = default;

bool ChatViewModel::canSend(const QString& draft) const {
    return session_ && !draft.trimmed().isEmpty() && !session_->isStreaming();
}

bool ChatViewModel::canStartNewConversation() const {
    return session_ && (!session_->messages().isEmpty() || session_->discussionId().has_value());
}

int ChatViewModel::runningTurns() const {
    return shared_->running;
}

bool ChatViewModel::send(const QString& draft) {
    if (!session_)
        return false;
    const QString text = draft.trimmed();
    if (text.isEmpty() || session_->isStreaming())
        return false;

    const ChatMessage userMessage(ChatMessage::Role::User, text);
    shared_->append(userMessage);
    // Until its answer starts, a quit or a kill leaves the question with the cut mark.
    session_->setAwaitedAnswer(userMessage.id);
    session_->setIsStreaming(true);
    session_->setLastError(std::nullopt);

    Turn turn;
    turn.number = ++shared_->latestTurn;
    turn.userMessageId = userMessage.id;
    turn.prompt = text;
    turn.provider = session_->provider();
    turn.discussionId = session_->discussionId();
    turn.token = session_->userToken();
    ++shared_->running;
    detachTask(runTurn(shared_, std::move(turn))); // returns at the turn's first wait
    return true;
}

void ChatViewModel::newConversation() {
    if (session_)
        newConversation(*session_);
}

void ChatViewModel::newConversation(AppSession& session) {
    session.clearConversation();
    // The pending turn is abandoned (what it still produces is dropped): the new
    // conversation can be used at once.
    if (session.isStreaming())
        session.setIsStreaming(false);
}

std::optional<QString> ChatViewModel::finishWarning(const std::optional<QString>& finishReason) {
    if (!finishReason || *finishReason == QLatin1String("stop") ||
        *finishReason == QLatin1String("tool_calls") || *finishReason == QLatin1String("function_call"))
        return std::nullopt;
    if (*finishReason == QLatin1String("length"))
        return loc("Réponse coupée : le modèle a atteint sa limite de longueur.");
    if (*finishReason == QLatin1String("content_filter"))
        return loc("Réponse interrompue par le filtre de contenu du modèle.");
    return loc("Réponse interrompue par le modèle (« %1 »).").arg(*finishReason);
}

QString ChatViewModel::toolLabel(const QString& name) {
    static const QHash<QString, QString> labels = {
        {QStringLiteral("search_local_documents"), QStringLiteral("Recherche locale")},
        {QStringLiteral("read_local_document"), QStringLiteral("Lecture du document")},
        {QStringLiteral("list_local_folders"), QStringLiteral("Liste des dossiers")},
        {QStringLiteral("browse_local_folder"), QStringLiteral("Parcours du dossier")},
        {QStringLiteral("list_recent_photos"), QStringLiteral("Photos récentes")},
        {QStringLiteral("list_photos_from_date"), QStringLiteral("Photos par date")},
        {QStringLiteral("open_app"), QStringLiteral("Ouverture de l'app")},
        {QStringLiteral("list_shortcuts"), QStringLiteral("Liste des raccourcis")},
        {QStringLiteral("run_shortcut"), QStringLiteral("Exécution du raccourci")},
        {QStringLiteral("ocr_local_image"), QStringLiteral("OCR du document")},
    };
    return labels.value(name, name);
}

Json ChatViewModel::localRequestBody(const QString& model, const Json& conversation,
                                     const std::optional<Json>& tools) {
    Json body = Json::object();
    body["model"] = json::str(model);
    body["messages"] = conversation;
    body["max_tokens"] = 1024;
    body["temperature"] = 0.7;
    body["stream"] = true;
    body["stream_options"] = Json{{"include_usage", true}};
    body["chat_template_kwargs"] = Json{{"enable_thinking", false}};
    if (tools && tools->is_array() && !tools->empty()) {
        body["tools"] = *tools;
        body["tool_choice"] = "auto";
    }
    return body;
}

QCoro::Task<> ChatViewModel::runTurn(std::shared_ptr<Shared> shared, Turn turn) {
    if (turn.provider != Provider::Local) {
        const QString cloudModel = shared->session ? shared->session->selectedCloudModel() : QString();
        co_await runBackend(shared, std::move(turn), std::nullopt, cloudModel);
        co_return;
    }
    const QString endpoint = shared->session ? shared->session->localLLMEndpoint() : QString();
    const bool reachable = co_await LocalDirectClient::isReachable(endpoint, kLocalProbeSeconds);
    if (!shared->isCurrent(turn.userMessageId)) {
        shared->endTurn(turn.number);
        co_return;
    }
    if (reachable) {
        co_await runDirectLocal(shared, std::move(turn));
        co_return;
    }
    const QString localModel = shared->session->selectedLocalModel();
    co_await runBackend(shared, std::move(turn), localModel, std::nullopt);
}

QCoro::Task<> ChatViewModel::runBackend(std::shared_ptr<Shared> shared, Turn turn,
                                        std::optional<QString> localModel,
                                        std::optional<QString> cloudModel) {
    std::optional<APIService::ChatReply> reply;
    QString failure;
    QString partialAnswer; // what came of an answer whose connection was lost
    try {
        const APIService api(turn.token);
        APIService::ChatReply answer =
            co_await api.complete(turn.prompt, turn.provider, turn.discussionId, localModel, cloudModel);
        reply = std::move(answer);
    } catch (const APIService::ChatStreamLost& lost) {
        failure = lost.description();
        partialAnswer = lost.partialText();
    } catch (...) {
        failure = describeException(std::current_exception());
    }
    if (!shared->isCurrent(turn.userMessageId)) {
        qCInfo(lcChat) << "a reply for a cleared conversation was dropped";
        shared->endTurn(turn.number);
        co_return;
    }
    AppSession& session = *shared->session;
    shared->answerStarted(turn.userMessageId);
    if (reply) {
        if (reply->discussionId && session.discussionId() != reply->discussionId)
            session.setDiscussionId(reply->discussionId);
        shared->append(ChatMessage(ChatMessage::Role::Assistant, reply->text));
    } else {
        session.setLastError(failure);
        shared->append(
            ChatMessage(ChatMessage::Role::Assistant, ChatMessage::withWarning(partialAnswer, failure)));
    }
    shared->endTurn(turn.number);
}

QCoro::Task<> ChatViewModel::runDirectLocal(std::shared_ptr<Shared> shared, Turn turn) {
    AppSession* session = shared->session;
    ChatMessage first(ChatMessage::Role::Assistant, QString());
    QUuid placeholder = first.id;

    Json conversation = Json::array();
    conversation.push_back(Json{{"role", "system"}, {"content", json::str(kSystemPrompt)}});
    for (const ChatMessage& message : session->messages())
        conversation.push_back(
            Json{{"role", message.role == ChatMessage::Role::Assistant ? "assistant" : "user"},
                 {"content", json::str(message.content)}});
    shared->append(first);
    shared->streamInto(placeholder, false);
    shared->answerStarted(turn.userMessageId);

    const QString model =
        session->selectedLocalModel().isEmpty() ? session->localLLMModel() : session->selectedLocalModel();
    std::optional<Json> tools;
    if (LocalToolRegistry::isToolCapable(model))
        tools = LocalToolRegistry::schemas();
    QString endpoint = session->localLLMEndpoint();

    QString finalText;
    int pass = 0;
    while (true) {
        LocalDirectClient::Completion completion;
        QString failure;
        bool failed = false;
        try {
            const QByteArray body = json::dump(localRequestBody(model, conversation, tools));
            std::weak_ptr<Shared> weak = shared;
            const QUuid target = placeholder;
            auto received = std::make_shared<qsizetype>(0);
            auto onDelta = [weak, target, received](const QString& delta) {
                // Thrown out of the stream, which ends the request.
                *received += delta.size();
                if (*received > kMaxLocalAnswerChars)
                    throw MessageError(QStringLiteral("La réponse du modèle local est trop longue."));
                if (const auto alive = weak.lock())
                    alive->updateMessage(target, [&delta](QString& content) { content += delta; });
            };
            LocalDirectClient::Completion answer =
                co_await LocalDirectClient::streamChatRaw(endpoint, body, std::move(onDelta));
            completion = std::move(answer);
        } catch (...) {
            failed = true;
            failure = describeException(std::current_exception());
        }
        if (!shared->isCurrent(turn.userMessageId)) {
            shared->endTurn(turn.number);
            co_return;
        }
        if (!failed && completion.toolCalls.isEmpty() && completion.text.isEmpty() &&
            !finishWarning(completion.finishReason)) {
            failed = true;
            failure = loc("Le modèle local n'a rien répondu.");
        }
        if (failed) {
            shared->session->setLastError(failure);
            shared->updateMessage(placeholder,
                                  [&failure](QString& content) { content = kWarningPrefix + failure; });
            shared->stopStreaming(placeholder);
            shared->endTurn(turn.number);
            co_return;
        }
        if (const std::optional<QString> warning = finishWarning(completion.finishReason)) {
            // The answer did not end normally: it is shown with what happened, and its
            // tool calls (whose arguments the limit may have cut) are not run.
            if (!completion.toolCalls.isEmpty())
                qCInfo(lcChat) << "tool calls of an answer that did not end normally, not run:"
                               << completion.toolCalls.size();
            finalText = ChatMessage::withWarning(completion.text, *warning);
            shared->updateMessage(placeholder, [&finalText](QString& content) { content = finalText; });
            break;
        }
        if (completion.toolCalls.isEmpty()) {
            finalText = completion.text;
            break;
        }

        // Only the calls that run are carried on: the others would be sent again with
        // every later request of the turn.
        const qsizetype running = std::min<qsizetype>(completion.toolCalls.size(), kMaxToolCallsPerAnswer);
        if (running < completion.toolCalls.size())
            qCInfo(lcChat) << "tool calls past the first" << kMaxToolCallsPerAnswer
                           << "dropped:" << completion.toolCalls.size() - running;
        Json toolCalls = Json::array();
        for (qsizetype i = 0; i < running; ++i)
            toolCalls.push_back(completion.toolCalls[i]);
        conversation.push_back(
            Json{{"role", "assistant"}, {"content", json::str(completion.text)}, {"tool_calls", toolCalls}});
        if (!completion.text.isEmpty()) {
            ChatMessage next(ChatMessage::Role::Assistant, QString());
            placeholder = next.id;
            shared->append(next);
        }
        shared->streamInto(placeholder, true); // a progress line is no part of the answer

        for (qsizetype i = 0; i < running; ++i) {
            const Json& call = completion.toolCalls[i];
            const QString id = stringMember(call, "id", QString());
            const auto function = call.is_object() ? call.find("function") : call.end();
            const Json functionObject = (call.is_object() && function != call.end() && function->is_object())
                                            ? *function
                                            : Json::object();
            const QString name = stringMember(functionObject, "name", QString());
            const QString arguments = stringMember(functionObject, "arguments", QStringLiteral("{}"));
            const QString progress = QStringLiteral("🔧 ") +
                                     LocalStream::leftCharacters(toolLabel(name), kMaxShownToolName) +
                                     QStringLiteral("…");
            shared->updateMessage(placeholder, [&progress](QString& content) { content = progress; });
            QString result = co_await LocalToolRegistry::dispatch(name, arguments);
            if (!shared->isCurrent(turn.userMessageId)) {
                shared->endTurn(turn.number);
                co_return;
            }
            conversation.push_back(
                Json{{"role", "tool"}, {"tool_call_id", json::str(id)}, {"content", json::str(result)}});
        }
        shared->updateMessage(placeholder, [](QString& content) { content.clear(); });
        shared->streamInto(placeholder, false);
        if (pass == kMaxLocalRequests - 1) {
            // Capped: the last tools ran, their results are not sent. The bubble says
            // why the turn ends without an answer.
            shared->updateMessage(placeholder, [](QString& content) {
                content = kWarningPrefix + loc("Le modèle local a demandé des outils à chaque "
                                               "réponse sans jamais répondre ; la demande a été arrêtée.");
            });
            break;
        }
        ++pass;
        endpoint = shared->session->localLLMEndpoint();
    }

    shared->stopStreaming(placeholder);
    shared->endTurn(turn.number);
    const std::optional<QString> token = tokenOf(*shared->session);
    if (token && !finalText.isEmpty())
        detachTask(recordLocalTurn(shared, turn.userMessageId, *token, turn.prompt, finalText, model,
                                   shared->session->discussionId()));
}

QCoro::Task<> ChatViewModel::recordLocalTurn(std::shared_ptr<Shared> shared, QUuid userMessageId,
                                             QString token, QString prompt, QString responseText,
                                             QString model, std::optional<qint64> discussionId) {
    std::optional<qint64> recorded;
    try {
        const APIService api(token);
        const std::optional<qint64> answer =
            co_await api.importLocalTurn(prompt, responseText, model, discussionId, std::nullopt);
        recorded = answer;
    } catch (...) {
        co_return; // the turn stays on this computer only
    }
    if (recorded && shared->isCurrent(userMessageId) && shared->session->discussionId() != recorded)
        shared->session->setDiscussionId(recorded);
}

#pragma once

#include "platform/Json.h"
#include "session/Models.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUuid>

#include <QCoro/QCoroTask>

#include <memory>
#include <optional>

class AppSession;
class APIService;

// The logic of the chat screen: whether the draft can be sent, the road of one user
// turn (the backend's completion, or the local model server with its tools), and
// the new-conversation action. Everything it shows lives in the session (messages,
// isStreaming, lastError, discussionId); the widget renders that. GUI thread.
//
// A turn belongs to the conversation it was sent in: it is addressed by the id of
// its user message, and once that message has left the conversation ("Nouvelle
// conversation") whatever the turn still produces — reply, error, progress, the
// discussion id of its recording — is dropped. It still releases isStreaming.
class ChatViewModel : public QObject {
    Q_OBJECT
public:
    // The fixed first message of the direct local road.
    static const QString kSystemPrompt;
    // Requests one local turn may send (the fifth answer's tools run, unanswered).
    static constexpr int kMaxLocalRequests = 5;
    // Tool calls run per answer; further calls of the same answer are dropped: not
    // run, and not carried in the conversation sent with the later requests.
    static constexpr int kMaxToolCallsPerAnswer = 16;
    // Characters of a tool's name shown in the progress line.
    static constexpr int kMaxShownToolName = 64;
    static constexpr double kLocalProbeSeconds = 2.0;
    // Characters one answer of the local server may stream; past this the run ends
    // as an error (a well-behaved answer of 1,024 tokens is a few kilobytes).
    static constexpr int kMaxLocalAnswerChars = 256 * 1024;

    explicit ChatViewModel(AppSession& session, QObject* parent = nullptr);
    ~ChatViewModel() override;

    AppSession& session() const { return *session_; }

    // The draft, trimmed of white space and line breaks, is not empty and no reply
    // is pending.
    bool canSend(const QString& draft) const;
    // The conversation has messages or a discussion id.
    bool canStartNewConversation() const;

    // Starts one turn with the draft. True when the draft was taken (the caller
    // empties its field); false when there was nothing to send or a reply is pending.
    bool send(const QString& draft);
    // "Nouvelle conversation": empties the conversation and forgets the discussion;
    // a pending turn is abandoned, so that the next one can be sent at once.
    void newConversation();
    // The same for a session with no chat screen at hand (the popover's header).
    static void newConversation(AppSession& session);

    // What the bubble says under an answer whose finish reason is not a normal
    // stop; nothing for a normal stop ("stop", "tool_calls", "function_call" or none).
    static std::optional<QString> finishWarning(const std::optional<QString>& finishReason);

    // The French progress label of a local tool, the name itself when unknown.
    static QString toolLabel(const QString& name);
    // One request body of the direct local road.
    static Json localRequestBody(const QString& model, const Json& conversation,
                                 const std::optional<Json>& tools);

    // Turns started and not yet ended (tests and benchmarks wait on it).
    int runningTurns() const;

signals:
    // A turn ended (reply, error, capped, or dropped).
    void turnEnded();

private:
    struct Shared;
    struct Turn;

    static QCoro::Task<> runTurn(std::shared_ptr<Shared> shared, Turn turn);
    static QCoro::Task<> runBackend(std::shared_ptr<Shared> shared, Turn turn,
                                    std::optional<QString> localModel, std::optional<QString> cloudModel);
    static QCoro::Task<> runDirectLocal(std::shared_ptr<Shared> shared, Turn turn);
    static QCoro::Task<> recordLocalTurn(std::shared_ptr<Shared> shared, QUuid userMessageId, QString token,
                                         QString prompt, QString responseText, QString model,
                                         std::optional<qint64> discussionId);

    QPointer<AppSession> session_;
    std::shared_ptr<Shared> shared_;
};

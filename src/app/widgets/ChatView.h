#pragma once

#include <QPointer>
#include <QPropertyAnimation>
#include <QWidget>

#include <memory>
#include <optional>

class AppSession;
class ChatDraft;
class ChatInput;
class ChatViewModel;
class CloudCatalog;
class EmptyConversation;
class ChatMessageList;
class ProviderPicker;
class QTimer;
class QToolButton;
class TypingIndicator;

// The text-chat screen: the conversation, and under it the input bar with the
// provider picker, the new-conversation button, the text field and the send
// button. The popover embeds it. The conversation is a list view that measures
// long conversations a batch at a time from the event loop, so that the screen
// paints at once and scrolling only paints the bubbles in sight. The text field
// starts from the draft it is given and keeps it up to date, so that a screen made
// again later shows the same text.
class ChatView : public QWidget {
    Q_OBJECT
public:
    ChatView(AppSession& session, CloudCatalog& catalog, QWidget* parent = nullptr);
    ChatView(AppSession& session, CloudCatalog& catalog, std::shared_ptr<ChatDraft> draft,
             QWidget* parent = nullptr);
    ~ChatView() override;

    ChatViewModel& viewModel() const { return *viewModel_; }
    ChatInput* input() const { return input_; }
    QToolButton* sendButton() const { return sendButton_; }
    QToolButton* newConversationButton() const { return newButton_; }
    ProviderPicker* picker() const { return picker_; }
    ChatMessageList* messageList() const { return list_; }
    // The indicator while a reply is pending, else nothing.
    TypingIndicator* typingIndicator() const;
    bool showsEmptyConversation() const;

    // The send action (submit, the button, Control+Return).
    void send();
    // The new-conversation action (the button, Control+N).
    void startNewConversation();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void updateControls();
    void scrollToEnd();

    AppSession& session_;
    std::shared_ptr<ChatDraft> draft_;
    ChatViewModel* viewModel_ = nullptr;
    ChatMessageList* list_ = nullptr;
    EmptyConversation* empty_ = nullptr;
    QTimer* pinToEnd_ = nullptr; // while active, a growing list stays scrolled to its end
    QPointer<QPropertyAnimation> scrolling_;
    ProviderPicker* picker_ = nullptr;
    QToolButton* newButton_ = nullptr;
    ChatInput* input_ = nullptr;
    QToolButton* sendButton_ = nullptr;
    std::optional<bool> shownCanSend_; // what the send button shows
};

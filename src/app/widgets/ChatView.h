#pragma once

#include <QList>
#include <QWidget>

class AppSession;
class ChatInput;
class ChatViewModel;
class CloudCatalog;
class EmptyConversation;
class MessageBubble;
class ProviderPicker;
class QScrollArea;
class QTimer;
class QToolButton;
class QVBoxLayout;
class TypingIndicator;

// The text-chat screen: the conversation, and under it the input bar with the
// provider picker, the new-conversation button, the text field and the send
// button. The popover embeds it. Long conversations are laid out a slice at a time
// from the event loop, so that the screen paints at once.
class ChatView : public QWidget {
    Q_OBJECT
public:
    // Bubbles made at once when a conversation is shown; the rest follow in slices.
    static constexpr int kFirstSlice = 40;
    static constexpr int kSlice = 100;

    ChatView(AppSession& session, CloudCatalog& catalog, QWidget* parent = nullptr);
    ~ChatView() override;

    ChatViewModel& viewModel() const { return *viewModel_; }
    ChatInput* input() const { return input_; }
    QToolButton* sendButton() const { return sendButton_; }
    QToolButton* newConversationButton() const { return newButton_; }
    ProviderPicker* picker() const { return picker_; }
    QScrollArea* scrollArea() const { return scroll_; }
    const QList<MessageBubble*>& bubbles() const { return bubbles_; }
    TypingIndicator* typingIndicator() const { return typing_; }
    bool showsEmptyConversation() const;
    // Every message has its bubble (the slices are done).
    bool isFullyBuilt() const;

    // The send action (submit, the button, Control+Return).
    void send();
    // The new-conversation action (the button, Control+N).
    void startNewConversation();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void syncMessages();
    void buildSlice(int count);
    void scheduleSlices();
    void updateControls();
    void scrollToEnd();

    AppSession& session_;
    ChatViewModel* viewModel_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* list_ = nullptr;
    QVBoxLayout* listLayout_ = nullptr;
    EmptyConversation* empty_ = nullptr;
    TypingIndicator* typing_ = nullptr;
    QList<MessageBubble*> bubbles_;
    int shownCount_ = -1;
    bool slicesScheduled_ = false;
    bool scrollWhenBuilt_ = false;
    QTimer* pinToEnd_ = nullptr; // while active, a growing list stays scrolled to its end
    ProviderPicker* picker_ = nullptr;
    QToolButton* newButton_ = nullptr;
    ChatInput* input_ = nullptr;
    QToolButton* sendButton_ = nullptr;
};

#include "app/widgets/ChatView.h"

#include "app/ChatViewModel.h"
#include "app/widgets/ChatInput.h"
#include "app/widgets/MessageBubble.h"
#include "app/widgets/ProviderPicker.h"
#include "platform/widgets/SymbolIcon.h"
#include "session/AppSession.h"

#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

ChatView::ChatView(AppSession& session, CloudCatalog& catalog, QWidget* parent)
    : QWidget(parent)
    , session_(session)
    , viewModel_(new ChatViewModel(session, this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // The conversation.
    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list_ = new QWidget(scroll_);
    listLayout_ = new QVBoxLayout(list_);
    listLayout_->setContentsMargins(16, 16, 16, 16);
    listLayout_->setSpacing(10);
    empty_ = new EmptyConversation(list_);
    listLayout_->addWidget(empty_);
    typing_ = new TypingIndicator(list_);
    listLayout_->addWidget(typing_, 0, Qt::AlignLeft);
    listLayout_->addStretch(1);
    scroll_->setWidget(list_);
    // Wrapped labels settle their height after the first layout: a scroll to the end
    // follows the range for a moment.
    pinToEnd_ = new QTimer(this);
    pinToEnd_->setSingleShot(true);
    pinToEnd_->setInterval(400);
    connect(scroll_->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int maximum) {
        if (pinToEnd_->isActive())
            scroll_->verticalScrollBar()->setValue(maximum);
    });
    column->addWidget(scroll_, 1);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    auto* dim = new QGraphicsOpacityEffect(divider);
    dim->setOpacity(0.3);
    divider->setGraphicsEffect(dim);
    column->addWidget(divider);

    // The input bar.
    auto* bar = new QHBoxLayout();
    bar->setContentsMargins(14, 10, 14, 10);
    bar->setSpacing(8);
    picker_ = new ProviderPicker(session, catalog, this);
    bar->addWidget(picker_, 0, Qt::AlignVCenter);

    newButton_ = new QToolButton(this);
    newButton_->setAutoRaise(true);
    newButton_->setIcon(symbolIcon(QStringLiteral("square.and.pencil")));
    newButton_->setIconSize(QSize(15, 15));
    newButton_->setToolTip(QStringLiteral("Nouvelle conversation"));
    connect(newButton_, &QToolButton::clicked, this, &ChatView::startNewConversation);
    bar->addWidget(newButton_, 0, Qt::AlignVCenter);

    input_ = new ChatInput(this);
    connect(input_, &ChatInput::submitted, this, &ChatView::send);
    connect(input_, &QPlainTextEdit::textChanged, this, &ChatView::updateControls);
    bar->addWidget(input_, 1, Qt::AlignVCenter);

    sendButton_ = new QToolButton(this);
    sendButton_->setAutoRaise(true);
    sendButton_->setIconSize(QSize(22, 22));
    sendButton_->setToolTip(QStringLiteral("Envoyer"));
    connect(sendButton_, &QToolButton::clicked, this, &ChatView::send);
    bar->addWidget(sendButton_, 0, Qt::AlignVCenter);
    column->addLayout(bar);

    // Control plays the role of Command in the screen's shortcuts.
    auto* sendShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return), this);
    sendShortcut->setContext(Qt::WidgetWithChildrenShortcut);
    connect(sendShortcut, &QShortcut::activated, this, &ChatView::send);
    auto* sendShortcutEnter = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Enter), this);
    sendShortcutEnter->setContext(Qt::WidgetWithChildrenShortcut);
    connect(sendShortcutEnter, &QShortcut::activated, this, &ChatView::send);
    auto* newShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_N), this);
    newShortcut->setContext(Qt::WidgetWithChildrenShortcut);
    connect(newShortcut, &QShortcut::activated, this, [this] {
        if (viewModel_->canStartNewConversation())
            startNewConversation();
    });

    connect(&session_, &AppSession::messagesChanged, this, &ChatView::syncMessages);
    connect(&session_, &AppSession::isStreamingChanged, this, [this] {
        typing_->setVisible(session_.isStreaming());
        updateControls();
    });
    connect(&session_, &AppSession::discussionIdChanged, this, &ChatView::updateControls);

    typing_->setVisible(session_.isStreaming());
    syncMessages();
    updateControls();
}

ChatView::~ChatView() = default;

bool ChatView::showsEmptyConversation() const {
    return !empty_->isHidden();
}

bool ChatView::isFullyBuilt() const {
    return bubbles_.size() == session_.messages().size();
}

void ChatView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    input_->setFocus();
}

void ChatView::send() {
    if (viewModel_->send(input_->draft()))
        input_->clear();
}

void ChatView::startNewConversation() {
    viewModel_->newConversation();
    input_->setFocus();
}

void ChatView::updateControls() {
    newButton_->setEnabled(viewModel_->canStartNewConversation());
    const bool canSend = viewModel_->canSend(input_->draft());
    sendButton_->setEnabled(canSend);
    QColor color =
        canSend ? palette().color(QPalette::Highlight) : palette().color(QPalette::PlaceholderText);
    if (!canSend)
        color.setAlphaF(0.5f);
    sendButton_->setIcon(
        QIcon(tintedSymbol(QStringLiteral("arrow.up.circle.fill"), color, 22, devicePixelRatioF())));
}

void ChatView::syncMessages() {
    const QList<ChatMessage>& messages = session_.messages();
    empty_->setVisible(messages.isEmpty());

    // Keep the bubbles of the messages that are still in place, in order.
    int kept = 0;
    while (kept < bubbles_.size() && kept < messages.size() &&
           bubbles_[kept]->messageId() == messages[kept].id) {
        bubbles_[kept]->setMessage(messages[kept]);
        ++kept;
    }
    while (bubbles_.size() > kept)
        delete bubbles_.takeLast();

    const int previousCount = shownCount_;
    shownCount_ = static_cast<int>(messages.size());
    if (bubbles_.size() < messages.size()) {
        // A whole conversation shown at once: the first slice now, the rest later.
        buildSlice(previousCount < 0 || messages.size() - bubbles_.size() > kFirstSlice ? kFirstSlice
                                                                                        : kSlice);
        scheduleSlices();
    }
    updateControls();
    // A change of the number of messages scrolls to the last one (not the first showing).
    if (previousCount >= 0 && previousCount != shownCount_ && !messages.isEmpty()) {
        if (isFullyBuilt())
            scrollToEnd();
        else
            scrollWhenBuilt_ = true;
    }
}

void ChatView::buildSlice(int count) {
    const QList<ChatMessage>& messages = session_.messages();
    // Bubbles go between the empty placeholder and the typing indicator.
    const int base = listLayout_->indexOf(typing_);
    for (int made = 0; made < count && bubbles_.size() < messages.size(); ++made) {
        auto* bubble = new MessageBubble(messages[bubbles_.size()], list_);
        listLayout_->insertWidget(base + made, bubble);
        bubbles_.append(bubble);
    }
}

void ChatView::scheduleSlices() {
    if (slicesScheduled_ || isFullyBuilt())
        return;
    slicesScheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        slicesScheduled_ = false;
        buildSlice(kSlice);
        if (!isFullyBuilt()) {
            scheduleSlices();
            return;
        }
        if (scrollWhenBuilt_) {
            scrollWhenBuilt_ = false;
            scrollToEnd();
        }
    });
}

void ChatView::scrollToEnd() {
    // After the layout has taken the new bubble in.
    QTimer::singleShot(0, this, [this] {
        listLayout_->activate(); // the list takes its new height now, and the scroll bar its range
        QScrollBar* bar = scroll_->verticalScrollBar();
        auto* animation = new QPropertyAnimation(bar, "value", this);
        animation->setDuration(200);
        animation->setEasingCurve(QEasingCurve::OutCubic);
        animation->setStartValue(bar->value());
        animation->setEndValue(bar->maximum());
        connect(animation, &QPropertyAnimation::finished, this, [this] {
            if (pinToEnd_->isActive())
                scroll_->verticalScrollBar()->setValue(scroll_->verticalScrollBar()->maximum());
        });
        pinToEnd_->start();
        animation->start(QAbstractAnimation::DeleteWhenStopped);
    });
}

#include "app/widgets/ChatView.h"

#include "app/ChatDraft.h"
#include "app/ChatViewModel.h"
#include "app/widgets/ChatInput.h"
#include "app/widgets/MessageBubble.h"
#include "app/widgets/MessageList.h"
#include "app/widgets/ProviderPicker.h"
#include "platform/widgets/SymbolIcon.h"
#include "session/AppSession.h"

#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

ChatView::ChatView(AppSession& session, CloudCatalog& catalog, QWidget* parent)
    : ChatView(session, catalog, std::make_shared<ChatDraft>(), parent) {}

ChatView::ChatView(AppSession& session, CloudCatalog& catalog, std::shared_ptr<ChatDraft> draft,
                   QWidget* parent)
    : QWidget(parent)
    , session_(session)
    , draft_(draft ? std::move(draft) : std::make_shared<ChatDraft>())
    , viewModel_(new ChatViewModel(session, this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // The conversation, or the invitation to start one.
    list_ = new ChatMessageList(new ChatMessagesModel(session, this), this);
    empty_ = new EmptyConversation(this);
    column->addWidget(list_, 1);
    column->addWidget(empty_, 1);
    // Wrapped text settles after the first layout: a scroll to the end follows the
    // range for a moment, until the text of a message changes.
    pinToEnd_ = new QTimer(this);
    pinToEnd_->setSingleShot(true);
    pinToEnd_->setInterval(400);
    connect(list_->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int maximum) {
        if (!pinToEnd_->isActive())
            return;
        if (scrolling_ && scrolling_->state() == QAbstractAnimation::Running)
            scrolling_->setEndValue(maximum);
        else
            list_->verticalScrollBar()->setValue(maximum);
    });

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
    if (!draft_->text().isEmpty()) {
        input_->setPlainText(draft_->text());
        input_->moveCursor(QTextCursor::End);
    }
    connect(input_, &QPlainTextEdit::textChanged, this, [this] { draft_->setText(input_->draft()); });
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
    // The one Control+N of the window that hosts the chat (the popover's header
    // has none of its own): it acts wherever the focus is in that window.
    auto* newShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_N), this);
    newShortcut->setContext(Qt::WindowShortcut);
    connect(newShortcut, &QShortcut::activated, this, [this] {
        if (viewModel_->canStartNewConversation())
            startNewConversation();
    });

    connect(&session_, &AppSession::messagesChanged, this, [this] {
        empty_->setVisible(session_.messages().isEmpty());
        list_->setVisible(!session_.messages().isEmpty());
        updateControls();
    });
    // Text growing in a bubble never scrolls: the settling of a new bubble's
    // measure is followed only until a message's text changes.
    connect(list_->messages(), &QAbstractItemModel::dataChanged, pinToEnd_, &QTimer::stop);
    // A change of the number of messages scrolls to the last one (the first showing does not).
    connect(list_->messages(), &ChatMessagesModel::messageCountChanged, this, [this](int, int current) {
        if (current > 0)
            scrollToEnd();
    });
    connect(&session_, &AppSession::isStreamingChanged, this, &ChatView::updateControls);
    connect(&session_, &AppSession::discussionIdChanged, this, &ChatView::updateControls);

    empty_->setVisible(session_.messages().isEmpty());
    list_->setVisible(!session_.messages().isEmpty());
    updateControls();
}

ChatView::~ChatView() = default;

bool ChatView::showsEmptyConversation() const {
    return !empty_->isHidden();
}

TypingIndicator* ChatView::typingIndicator() const {
    return list_->typingIndicator();
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
    // Called for every streamed piece: the icon is drawn again only when it changes.
    if (shownCanSend_ == canSend)
        return;
    shownCanSend_ = canSend;
    sendButton_->setEnabled(canSend);
    QColor color =
        canSend ? palette().color(QPalette::Highlight) : palette().color(QPalette::PlaceholderText);
    if (!canSend)
        color.setAlphaF(0.5f);
    sendButton_->setIcon(
        QIcon(tintedSymbol(QStringLiteral("arrow.up.circle.fill"), color, 22, devicePixelRatioF())));
}

void ChatView::scrollToEnd() {
    // After the layout has taken the new bubble in.
    QTimer::singleShot(0, this, [this] {
        QScrollBar* bar = list_->verticalScrollBar();
        if (scrolling_)
            scrolling_->stop();
        auto* animation = new QPropertyAnimation(bar, "value", this);
        scrolling_ = animation;
        animation->setDuration(200);
        animation->setEasingCurve(QEasingCurve::OutCubic);
        animation->setStartValue(bar->value());
        animation->setEndValue(bar->maximum());
        connect(animation, &QPropertyAnimation::finished, this, [this] {
            if (pinToEnd_->isActive())
                list_->verticalScrollBar()->setValue(list_->verticalScrollBar()->maximum());
        });
        pinToEnd_->start();
        animation->start(QAbstractAnimation::DeleteWhenStopped);
    });
}

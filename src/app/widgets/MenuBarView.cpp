#include "app/widgets/MenuBarView.h"

#include "platform/Tasks.h"

#include "app/AppCommands.h"
#include "app/ChatViewModel.h"
#include "app/PopoverHeader.h"
#include "platform/Characters.h"
#include "platform/Localization.h"
#include "platform/widgets/PlainText.h"
#include "platform/widgets/SymbolIcon.h"
#include "session/AppSession.h"

#include <QButtonGroup>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QToolButton* iconButton(const QString& symbol, const QString& help) {
    auto* button = new QToolButton;
    button->setIcon(symbolIcon(symbol));
    button->setIconSize(QSize(16, 16));
    button->setAutoRaise(true);
    button->setToolTip(help);
    return button;
}

// A message of the backend can be a whole error page: only its beginning is
// shown, as written.
QString boundedToolTip(const QString& text) {
    constexpr qsizetype kMaxChars = 400;
    const QString shown = Characters::left(text, kMaxChars);
    return plainToolTip(shown.size() < text.size() ? shown + QStringLiteral("…") : shown);
}

QColor dotColour(const QString& role) {
    if (role == QLatin1String("blue"))
        return QColor(0x0a, 0x84, 0xff);
    if (role == QLatin1String("red"))
        return QColor(0xd7, 0x26, 0x1e);
    if (role == QLatin1String("green"))
        return QColor(0x2e, 0xa0, 0x43);
    return QColor(0x8b, 0x8b, 0x8b);
}

} // namespace

MenuBarView::MenuBarView(ShellScreens screens, QWidget* parent)
    : QWidget(parent)
    , screens_(std::move(screens))
    , recents_(new RecentsMenuModel(this)) {
    body_ = new QVBoxLayout(this);
    body_->setContentsMargins(0, 0, 0, 0);
    body_->setSpacing(0);

    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(16, 12, 16, 12);
    row->setSpacing(10);
    auto* title = new QLabel(QStringLiteral("Ombrix"));
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 1.15);
    font.setWeight(QFont::DemiBold);
    title->setFont(font);
    dot_ = new QLabel;
    dot_->setFixedSize(6, 6);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(6);
    titleRow->addWidget(title);
    titleRow->addWidget(dot_);
    row->addLayout(titleRow);
    row->addStretch();

    // Mode switch: microphone first, chat second.
    auto* switcher = new QFrame;
    switcher->setObjectName(QStringLiteral("modeSwitch"));
    switcher->setStyleSheet(
        QStringLiteral("#modeSwitch { background: rgba(128,128,128,40); border-radius: 8px; }"
                       "QToolButton { border: none; border-radius: 6px; padding: 2px 6px; }"
                       "QToolButton:checked { background: palette(base); }"));
    auto* switchRow = new QHBoxLayout(switcher);
    switchRow->setContentsMargins(2, 2, 2, 2);
    switchRow->setSpacing(2);
    microphone_ = iconButton(QStringLiteral("mic.fill"), QString());
    chat_ = iconButton(QStringLiteral("text.bubble.fill"), QString());
    for (QToolButton* segment : {microphone_, chat_}) {
        segment->setCheckable(true);
        segment->setAutoRaise(false);
        segment->setFixedSize(28, 22);
        switchRow->addWidget(segment);
    }
    connect(microphone_, &QToolButton::clicked, this, [] { AppSession::shared().setMode(Mode::Microphone); });
    connect(chat_, &QToolButton::clicked, this, [] { AppSession::shared().setMode(Mode::Chat); });
    row->addWidget(switcher);

    newDiscussion_ = iconButton(QStringLiteral("square.and.pencil"), loc("Nouvelle discussion (⌘N)"));
    connect(newDiscussion_, &QToolButton::clicked, this, [] {
        // The chat screen's own road: a reply still pending is abandoned too.
        if (PopoverHeader::newDiscussionEnabled(AppSession::shared().mode()))
            ChatViewModel::newConversation(AppSession::shared());
    });
    // Its Control+N belongs to the chat screen, the only screen where it acts: a
    // second shortcut on the same key would make Qt fire neither.
    row->addWidget(newDiscussion_);

    recentsButton_ = iconButton(QStringLiteral("clock.arrow.circlepath"), loc("Discussions récentes"));
    recentsButton_->setPopupMode(QToolButton::InstantPopup);
    recentsButton_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    recentsButton_->setMenu(new QMenu(recentsButton_));
    row->addWidget(recentsButton_);

    auto* settings = iconButton(QStringLiteral("gearshape"), loc("Réglages"));
    connect(settings, &QToolButton::clicked, this,
            [] { AppCommands::openSettingsWindow(SettingsTab::General); });
    row->addWidget(settings);

    auto* quit = iconButton(QStringLiteral("power"), loc("Quitter Ombrix"));
    connect(quit, &QToolButton::clicked, this, [this] {
        if (onQuit)
            onQuit();
    });
    auto* quitShortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Q")), this);
    connect(quitShortcut, &QShortcut::activated, quit, &QToolButton::click);
    row->addWidget(quit);
    body_->addWidget(header);

    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setStyleSheet(QStringLiteral("color: rgba(128,128,128,100);"));
    body_->addWidget(divider);

    AppSession& session = AppSession::shared();
    connect(&session, &AppSession::modeChanged, this, [this] {
        refreshHeader();
        showScreenForMode();
    });
    connect(&session, &AppSession::voiceModeChanged, this, &MenuBarView::showScreenForMode);
    connect(&BridgeService::shared(), &BridgeService::statusChanged, this, &MenuBarView::refreshHeader);
    connect(recents_, &RecentsMenuModel::changed, this, &MenuBarView::refreshRecents);
    refreshHeader();
    refreshRecents();
    showScreenForMode();
}

void MenuBarView::refreshHeader() {
    const auto dot = PopoverHeader::bridgeDot(BridgeService::shared().status());
    QColor colour = dotColour(dot.colour);
    colour.setAlphaF(static_cast<float>(dot.opacity));
    dot_->setStyleSheet(
        QStringLiteral("background: %1; border-radius: 3px;").arg(colour.name(QColor::HexArgb)));
    dot_->setToolTip(boundedToolTip(dot.help));
    const Mode mode = AppSession::shared().mode();
    microphone_->setChecked(mode == Mode::Microphone);
    chat_->setChecked(mode == Mode::Chat);
    const bool enabled = PopoverHeader::newDiscussionEnabled(mode);
    newDiscussion_->setEnabled(enabled);
}

void MenuBarView::refreshRecents() {
    QMenu* menu = recentsButton_->menu();
    menu->clear();
    for (const auto& entry : recents_->entries()) {
        switch (entry.kind) {
        case RecentsMenuModel::Entry::Kind::Placeholder:
            menu->addAction(plainMenuText(entry.label))->setEnabled(false);
            break;
        case RecentsMenuModel::Entry::Kind::Separator:
            menu->addSeparator();
            break;
        case RecentsMenuModel::Entry::Kind::Discussion:
        case RecentsMenuModel::Entry::Kind::OpenAll:
            menu->addAction(plainMenuText(entry.label), this, [this, entry] { recents_->open(entry); });
            break;
        }
    }
}

void MenuBarView::showScreenForMode() {
    const AppSession& session = AppSession::shared();
    const int key = session.mode() == Mode::Chat ? 0 : session.voiceMode() == VoiceMode::Realtime ? 1 : 2;
    if (key == contentKey_ && content_)
        return;
    contentKey_ = key;
    if (content_) {
        content_->hide();
        content_->deleteLater();
        content_ = nullptr;
    }
    const ShellScreens::Factory& factory = key == 0   ? screens_.chat
                                           : key == 1 ? screens_.realtime
                                                      : screens_.pushToTalk;
    content_ = factory ? factory() : new QWidget;
    body_->addWidget(content_, 1);
}

void MenuBarView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    detachTask(recents_->load());
}

#include "voice/widgets/MicrophoneView.h"

#include "voice/MicrophoneController.h"
#include "voice/widgets/VoiceOrb.h"

#include <QHideEvent>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

MicrophoneView::MicrophoneView(AppSession& session, QWidget* parent)
    : QWidget(parent)
    , controller_(new MicrophoneController(session, this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(20);
    const VoiceScreenTop top = addVoiceScreenTop(this, layout);
    orb_ = top.orb;
    primary_ = top.primary;
    secondary_ = top.secondary;

    replyArea_ = new QScrollArea(this);
    replyArea_->setWidgetResizable(true);
    replyArea_->setMaximumHeight(140);
    replyArea_->setFrameShape(QFrame::NoFrame);
    replyArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    replyText_ = new QLabel(replyArea_);
    replyText_->setTextFormat(Qt::PlainText); // the backend's reply, shown as it came
    replyText_->setFont(voiceFont(font(), 13, QFont::Normal));
    replyText_->setWordWrap(true);
    replyText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    replyText_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    replyText_->setContentsMargins(10, 10, 10, 10);
    replyText_->setStyleSheet("QLabel { background: rgba(127,127,127,0.08); border-radius: 10px; }");
    replyArea_->setWidget(replyText_);
    auto* replyRow = new QHBoxLayout;
    replyRow->setContentsMargins(16, 0, 16, 0);
    replyRow->addWidget(replyArea_);
    layout->addLayout(replyRow);

    layout->addSpacing(8);
    layout->addStretch(1);

    connect(orb_, &VoiceOrb::tapped, controller_, &MicrophoneController::toggle);
    connect(controller_, &MicrophoneController::changed, this, &MicrophoneView::refresh);
    refresh();
}

MicrophoneView::~MicrophoneView() = default;

void MicrophoneView::refresh() {
    const MicrophoneController& c = *controller_;
    VoiceOrb::Look look = orb_->look();
    look.symbol = c.orbSymbol();
    look.glowOpacity = c.orbActive() ? 0.55 : 0.35;
    look.followLevel = c.orbActive();
    look.level = c.orbLevel();
    look.symbolEffect = c.orbActive();
    look.opacity = c.isBusy() ? 0.6 : 1.0;
    orb_->setLook(look);
    orb_->setAttribute(Qt::WA_TransparentForMouseEvents, c.isBusy());
    primary_->setText(c.primaryLabel());
    secondary_->setText(c.secondaryLabel());
    replyText_->setText(c.reply());
    replyArea_->setVisible(!c.reply().isEmpty());
    // A label without text has no height for a width (-1): no minimum then.
    const int replyHeight = replyText_->heightForWidth(replyArea_->viewport()->width());
    replyArea_->setMinimumHeight(qBound(0, replyHeight, 140));
}

void MicrophoneView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        controller_->screenHidden();
}

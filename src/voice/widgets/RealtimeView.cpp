#include "voice/widgets/RealtimeView.h"

#include "platform/Localization.h"
#include "voice/RealtimeController.h"
#include "voice/widgets/VoiceOrb.h"

#include <QHideEvent>
#include <QLabel>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {
// A transcript line: a small label over the text.
QWidget* transcriptLine(QWidget* parent, const QString& label, QPalette::ColorRole accent, QLabel** text) {
    auto* line = new QWidget(parent);
    auto* layout = new QVBoxLayout(line);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    auto* caption = new QLabel(label, line);
    caption->setTextFormat(Qt::PlainText);
    caption->setFont(voiceFont(parent->font(), 10, QFont::DemiBold));
    caption->setForegroundRole(QPalette::PlaceholderText);
    *text = new QLabel(line);
    (*text)->setTextFormat(Qt::PlainText); // what was said, as the service transcribed it
    (*text)->setFont(voiceFont(parent->font(), 13, QFont::Normal));
    (*text)->setWordWrap(true);
    (*text)->setTextInteractionFlags(Qt::TextSelectableByMouse);
    (*text)->setForegroundRole(accent);
    layout->addWidget(caption);
    layout->addWidget(*text);
    return line;
}
} // namespace

RealtimeView::RealtimeView(AppSession& session, QWidget* parent)
    : QWidget(parent)
    , controller_(new RealtimeController(session, this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(18);
    const VoiceScreenTop top = addVoiceScreenTop(this, layout);
    orb_ = top.orb;
    primary_ = top.primary;
    secondary_ = top.secondary;

    transcripts_ = new QScrollArea(this);
    transcripts_->setWidgetResizable(true);
    transcripts_->setMaximumHeight(140);
    transcripts_->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget(transcripts_);
    auto* lines = new QVBoxLayout(content);
    lines->setContentsMargins(10, 10, 10, 10);
    lines->setSpacing(8);
    userLine_ = transcriptLine(content, loc("Toi"), QPalette::PlaceholderText, &userText_);
    assistantLine_ = transcriptLine(content, loc("Ombrix"), QPalette::WindowText, &assistantText_);
    lines->addWidget(userLine_);
    lines->addWidget(assistantLine_);
    lines->addStretch(1);
    transcripts_->setWidget(content);
    auto* row = new QHBoxLayout;
    row->setContentsMargins(16, 0, 16, 0);
    row->addWidget(transcripts_);
    layout->addLayout(row);

    layout->addSpacing(8);
    layout->addStretch(1);

    connect(orb_, &VoiceOrb::tapped, controller_, &RealtimeController::toggle);
    connect(controller_, &RealtimeController::changed, this, &RealtimeView::refresh);
    refresh();
}

RealtimeView::~RealtimeView() = default;

void RealtimeView::refresh() {
    const RealtimeController& c = *controller_;
    VoiceOrb::Look look = orb_->look();
    look.symbol = c.orbSymbol();
    look.glowOpacity = c.glowOpacity();
    look.followLevel = false;
    look.breatheLow = 0.94;
    look.breatheHigh = 1.08;
    look.breatheMs = 1200;
    look.symbolEffect = c.orbLive();
    look.showRing = false;
    orb_->setLook(look);
    primary_->setText(c.primaryLabel());
    secondary_->setText(c.secondaryLabel());
    const QString user = c.client().lastUserText();
    const QString assistant = c.client().lastAssistantText();
    userText_->setText(user);
    assistantText_->setText(assistant);
    userLine_->setVisible(!user.isEmpty());
    assistantLine_->setVisible(!assistant.isEmpty());
    transcripts_->setVisible(c.showsTranscripts());
    // As tall as the lines need, up to the scroll area's limit.
    transcripts_->setMinimumHeight(qMin(140, transcripts_->widget()->sizeHint().height()));
}

void RealtimeView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous())
        controller_->appear();
}

void RealtimeView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        controller_->disappear();
}

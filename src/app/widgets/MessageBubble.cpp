#include "app/widgets/MessageBubble.h"

#include "platform/Tasks.h"

#include "app/LinkRouter.h"
#include "app/MessageMarkdown.h"
#include "platform/widgets/SymbolIcon.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QTextDocument>

#include <QVBoxLayout>
#include <QVariantAnimation>
#include <cmath>

namespace {

QColor assistantFill(const QPalette& palette) {
    QColor fill = palette.color(QPalette::WindowText);
    fill.setAlphaF(0.12f);
    return fill;
}

} // namespace

QPixmap tintedSymbol(const QString& symbolName, const QColor& color, int size, qreal devicePixelRatio) {
    QPixmap pixmap = symbolIcon(symbolName).pixmap(QSize(size, size), devicePixelRatio);
    if (pixmap.isNull())
        return pixmap;
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    return pixmap;
}

namespace BubbleStyle {

QString html(ChatMessage::Role role, const QString& content, const QPalette& palette) {
    if (role == ChatMessage::Role::User)
        return MessageMarkdown::userHtml(content);
    // The message's own text is escaped, so every "<a " is one of the renderer's anchors.
    QString rendered = MessageMarkdown::assistantHtml(content);
    return rendered.replace(
        QStringLiteral("<a href="),
        QStringLiteral("<a style=\"color: %1\" href=").arg(linkColor(role, palette).name()));
}

QFont font(const QFont& base) {
    QFont font = base;
    font.setPixelSize(13);
    return font;
}

QColor fill(ChatMessage::Role role, const QPalette& palette) {
    return role == ChatMessage::Role::User ? palette.color(QPalette::Highlight) : assistantFill(palette);
}

QColor textColor(ChatMessage::Role role, const QPalette& palette) {
    return role == ChatMessage::Role::User ? QColor(Qt::white) : palette.color(QPalette::WindowText);
}

QColor linkColor(ChatMessage::Role role, const QPalette& palette) {
    return role == ChatMessage::Role::User ? QColor(Qt::white) : palette.color(QPalette::Highlight);
}

} // namespace BubbleStyle

BubbleLabel::BubbleLabel(ChatMessage::Role role, QWidget* parent)
    : QLabel(parent)
    , role_(role) {
    setTextFormat(Qt::RichText);
    setWordWrap(true);
    setOpenExternalLinks(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setFont(BubbleStyle::font(font()));
    setAutoFillBackground(false);
    setAttribute(Qt::WA_TranslucentBackground);
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, BubbleStyle::textColor(role_, colours));
    colours.setColor(QPalette::Text, BubbleStyle::textColor(role_, colours));
    colours.setColor(QPalette::Link, BubbleStyle::linkColor(role_, colours));
    setPalette(colours);
    connect(this, &QLabel::linkActivated, this,
            [](const QString& href) { detachTask(LinkRouter::open(href)); });
}

void BubbleLabel::setContent(const QString& content) {
    if (content == content_ && !text().isEmpty())
        return;
    content_ = content;
    setText(BubbleStyle::html(role_, content_, palette()));
}

TypingIndicator::TypingIndicator(QWidget* parent)
    : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    animation_ = new QVariantAnimation(this);
    animation_->setStartValue(0.0);
    animation_->setEndValue(2.0);
    animation_->setDuration(900);
    animation_->setEasingCurve(QEasingCurve::InOutQuad);
    animation_->setLoopCount(-1);
    connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        phase_ = value.toDouble();
        update();
    });
}

QSize TypingIndicator::sizeHint() const {
    return QSize(12 + 3 * 6 + 2 * 4 + 12, 10 + 6 + 10);
}

void TypingIndicator::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    phase_ = 0;
    animation_->start();
}

void TypingIndicator::hideEvent(QHideEvent* event) {
    animation_->stop();
    QWidget::hideEvent(event);
}

void TypingIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath background;
    background.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(sizeHint())), 14, 14);
    painter.fillPath(background, assistantFill(palette()));
    const QColor dot = palette().color(QPalette::PlaceholderText);
    // The first dot fades out while the third fades in; the middle one stays dim.
    const double progress = phase_ / 2.0;
    const double opacities[3] = {1.0 - 0.7 * progress, 0.3, 0.3 + 0.7 * progress};
    for (int i = 0; i < 3; ++i) {
        QColor color = dot;
        color.setAlphaF(static_cast<float>(opacities[i]));
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(QRectF(12 + i * (6 + 4), 10, 6, 6));
    }
}

EmptyConversation::EmptyConversation(QWidget* parent)
    : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setSpacing(8);
    column->setContentsMargins(0, 60, 0, 0);
    const QColor tertiary = palette().color(QPalette::PlaceholderText);
    const QColor secondary = palette().color(QPalette::WindowText).lighter(140);

    auto* symbol = new QLabel(this);
    symbol->setPixmap(tintedSymbol(QStringLiteral("sparkles"), tertiary, 22, devicePixelRatioF()));
    symbol->setAlignment(Qt::AlignCenter);
    column->addWidget(symbol);

    auto* title = new QLabel(QStringLiteral("Commence une conversation"), this);
    QFont titleFont = title->font();
    titleFont.setPixelSize(13);
    titleFont.setWeight(QFont::Medium);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    // Colours through the palette: a style sheet per label costs a style of its own.
    QPalette titleColours = title->palette();
    titleColours.setColor(QPalette::WindowText, secondary);
    title->setPalette(titleColours);
    column->addWidget(title);

    auto* hint = new QLabel(QStringLiteral("⌘↩ pour envoyer"), this);
    QFont hintFont = hint->font();
    hintFont.setPixelSize(11);
    hint->setFont(hintFont);
    hint->setAlignment(Qt::AlignCenter);
    QPalette hintColours = hint->palette();
    hintColours.setColor(QPalette::WindowText, tertiary);
    hint->setPalette(hintColours);
    column->addWidget(hint);
    column->addStretch(1);
}

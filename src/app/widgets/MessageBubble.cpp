#include "app/widgets/MessageBubble.h"

#include "app/LinkRouter.h"
#include "app/MessageMarkdown.h"
#include "platform/widgets/SymbolIcon.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <QVariantAnimation>

namespace {

void detach(QCoro::Task<> task) {
    [](QCoro::Task<> inner) -> QCoro::Task<> {
        try {
            co_await std::move(inner);
        } catch (...) {
        }
    }(std::move(task));
}

QColor assistantFill(const QPalette& palette) {
    QColor fill = palette.color(QPalette::WindowText);
    fill.setAlphaF(0.12f);
    return fill;
}

QString rgba(const QColor& color) {
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(color.alphaF(), 0, 'f', 3);
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

MessageBubble::MessageBubble(const ChatMessage& message, QWidget* parent)
    : QWidget(parent)
    , id_(message.id)
    , role_(message.role) {
    const bool user = role_ == ChatMessage::Role::User;
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    if (user)
        row->addSpacerItem(new QSpacerItem(40, 0, QSizePolicy::MinimumExpanding, QSizePolicy::Minimum));

    frame_ = new QFrame(this);
    frame_->setObjectName(QStringLiteral("bubble"));
    frame_->setMaximumWidth(kMaxWidth);
    auto* inside = new QVBoxLayout(frame_);
    inside->setContentsMargins(12, 8, 12, 8);
    label_ = new QLabel(frame_);
    label_->setTextFormat(Qt::RichText);
    label_->setWordWrap(true);
    label_->setOpenExternalLinks(false);
    label_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QFont font = label_->font();
    font.setPixelSize(13);
    label_->setFont(font);
    inside->addWidget(label_);

    const QPalette palette = this->palette();
    const QColor accent = palette.color(QPalette::Highlight);
    QPalette labelPalette = label_->palette();
    if (user) {
        labelPalette.setColor(QPalette::WindowText, Qt::white);
        labelPalette.setColor(QPalette::Text, Qt::white);
        labelPalette.setColor(QPalette::Link, Qt::white);
        frame_->setStyleSheet(
            QStringLiteral("#bubble { background: %1; border-radius: 14px; }").arg(rgba(accent)));
    } else {
        labelPalette.setColor(QPalette::Link, accent);
        frame_->setStyleSheet(QStringLiteral("#bubble { background: %1; border-radius: 14px; }")
                                  .arg(rgba(assistantFill(palette))));
    }
    label_->setPalette(labelPalette);
    connect(label_, &QLabel::linkActivated, this,
            [](const QString& href) { detach(LinkRouter::open(href)); });

    row->addWidget(frame_, 0, user ? Qt::AlignRight : Qt::AlignLeft);
    if (!user)
        row->addSpacerItem(new QSpacerItem(40, 0, QSizePolicy::MinimumExpanding, QSizePolicy::Minimum));
    content_ = message.content;
    label_->setText(renderedHtml());
}

QString MessageBubble::renderedHtml() const {
    return role_ == ChatMessage::Role::User ? MessageMarkdown::userHtml(content_)
                                            : MessageMarkdown::assistantHtml(content_);
}

void MessageBubble::setMessage(const ChatMessage& message) {
    if (message.content == content_)
        return;
    content_ = message.content;
    label_->setText(renderedHtml());
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
    background.addRoundedRect(QRectF(rect()), 14, 14);
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
    title->setStyleSheet(QStringLiteral("color: %1;").arg(secondary.name()));
    column->addWidget(title);

    auto* hint = new QLabel(QStringLiteral("⌘↩ pour envoyer"), this);
    QFont hintFont = hint->font();
    hintFont.setPixelSize(11);
    hint->setFont(hintFont);
    hint->setAlignment(Qt::AlignCenter);
    hint->setStyleSheet(QStringLiteral("color: %1;").arg(tertiary.name()));
    column->addWidget(hint);
    column->addStretch(1);
}

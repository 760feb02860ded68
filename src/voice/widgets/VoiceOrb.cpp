#include "voice/widgets/VoiceOrb.h"

#include <QLabel>
#include <QVBoxLayout>

#include "platform/widgets/SymbolIcon.h"

#include <QMouseEvent>
#include <QPainter>
#include <QRadialGradient>

VoiceOrb::VoiceOrb(QWidget* parent)
    : QWidget(parent) {
    // The orb is 160 points; the glow may grow beyond it, so the widget leaves room.
    setFixedSize(kSide, kSide);
    setCursor(Qt::PointingHandCursor);
    breathe_.setStartValue(0.0);
    breathe_.setEndValue(1.0);
    breathe_.setEasingCurve(QEasingCurve::InOutSine);
    breathe_.setLoopCount(-1);
    connect(&breathe_, &QVariantAnimation::valueChanged, this, [this] { update(); });
    effect_.setStartValue(0.0);
    effect_.setEndValue(1.0);
    effect_.setDuration(900);
    effect_.setLoopCount(-1);
    connect(&effect_, &QVariantAnimation::valueChanged, this, [this] { update(); });
    setLook(look_);
}

void VoiceOrb::setLook(const Look& look) {
    const bool breatheChanged = look.breatheMs != look_.breatheMs;
    look_ = look;
    // Breathing: low → high → low, each way over breatheMs.
    if (isVisible() && (breatheChanged || breathe_.state() == QAbstractAnimation::Stopped)) {
        breathe_.stop();
        breathe_.setDuration(2 * look_.breatheMs);
        breathe_.setKeyValueAt(0.5, 1.0);
        breathe_.setEndValue(0.0);
        breathe_.start();
    }
    if (isVisible() && look_.symbolEffect && effect_.state() == QAbstractAnimation::Stopped)
        effect_.start();
    else if (!look_.symbolEffect)
        effect_.stop();
    update();
}

double VoiceOrb::glowScale() const {
    if (look_.followLevel)
        return 1.0 + 0.25 * static_cast<double>(look_.level);
    const double t = breathe_.currentValue().toDouble();
    return look_.breatheLow + (look_.breatheHigh - look_.breatheLow) * t;
}

void VoiceOrb::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(look_.opacity);
    const QColor accent = palette().color(QPalette::Highlight);
    const QPointF centre = QRectF(rect()).center();

    // Glow.
    const double scale = glowScale();
    p.save();
    p.translate(centre);
    p.scale(scale, scale);
    QRadialGradient glow(QPointF(0, 0), 120);
    QColor inner = accent;
    inner.setAlphaF(static_cast<float>(look_.glowOpacity));
    QColor outer = accent;
    outer.setAlphaF(0);
    glow.setColorAt(0, inner);
    glow.setColorAt(10.0 / 120.0, inner);
    glow.setColorAt(1, outer);
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(QPointF(0, 0), 80, 80);
    p.restore();

    // Disc with its shadow (radius 20).
    p.setPen(Qt::NoPen);
    QRadialGradient shadow(centre, 59 + 20);
    QColor shadowInner = accent;
    shadowInner.setAlphaF(0.25f);
    QColor shadowOuter = accent;
    shadowOuter.setAlphaF(0);
    shadow.setColorAt(59.0 / 79.0, shadowInner);
    shadow.setColorAt(1, shadowOuter);
    p.setBrush(shadow);
    p.drawEllipse(centre, 79, 79);
    QColor disc = palette().color(QPalette::Base);
    disc.setAlphaF(0.85f);
    p.setBrush(disc);
    p.drawEllipse(centre, 59, 59);

    // Ring.
    if (look_.showRing) {
        QLinearGradient ring(centre - QPointF(60, 60), centre + QPointF(60, 60));
        QColor a = accent;
        a.setAlphaF(0.9f);
        QColor b = accent;
        b.setAlphaF(0.3f);
        ring.setColorAt(0, a);
        ring.setColorAt(1, b);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QBrush(ring), 1.5));
        p.drawEllipse(centre, 60, 60);
    }

    // Symbol, pulsing while the effect runs.
    const QIcon icon = symbolIcon(look_.symbol);
    double symbolOpacity = 1.0;
    if (look_.symbolEffect)
        symbolOpacity = 0.45 + 0.55 * std::abs(1.0 - 2.0 * effect_.currentValue().toDouble());
    p.setOpacity(look_.opacity * symbolOpacity);
    const QPixmap pixmap = icon.pixmap(QSize(40, 40), devicePixelRatioF());
    if (!pixmap.isNull()) {
        // Symbolic icons are drawn in the accent colour.
        QPixmap tinted(pixmap.size());
        tinted.setDevicePixelRatio(pixmap.devicePixelRatio());
        tinted.fill(Qt::transparent);
        QPainter t(&tinted);
        t.drawPixmap(0, 0, pixmap);
        t.setCompositionMode(QPainter::CompositionMode_SourceIn);
        t.fillRect(tinted.rect(), accent);
        t.end();
        p.drawPixmap(QRectF(centre - QPointF(20, 20), QSizeF(40, 40)), tinted, QRectF(tinted.rect()));
    }
}

void VoiceOrb::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (breathe_.state() == QAbstractAnimation::Paused)
        breathe_.resume();
    if (effect_.state() == QAbstractAnimation::Paused)
        effect_.resume();
    setLook(look_); // starts what has not run yet
}

void VoiceOrb::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (breathe_.state() == QAbstractAnimation::Running)
        breathe_.pause();
    if (effect_.state() == QAbstractAnimation::Running)
        effect_.pause();
}

void VoiceOrb::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit tapped();
}

QFont voiceFont(QFont font, int pixels, QFont::Weight weight) {
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

VoiceScreenTop addVoiceScreenTop(QWidget* screen, QVBoxLayout* layout) {
    VoiceScreenTop top;
    layout->addStretch(1);
    layout->addSpacing(8);
    top.orb = new VoiceOrb(screen);
    layout->addWidget(top.orb, 0, Qt::AlignHCenter);

    auto* labels = new QVBoxLayout;
    labels->setSpacing(4);
    // Both lines may carry text from the service or the backend (errors): never rich text.
    top.primary = new QLabel(screen);
    top.primary->setTextFormat(Qt::PlainText);
    top.primary->setFont(voiceFont(screen->font(), 14, QFont::Medium));
    top.primary->setAlignment(Qt::AlignCenter);
    top.primary->setWordWrap(true);
    top.secondary = new QLabel(screen);
    top.secondary->setTextFormat(Qt::PlainText);
    top.secondary->setFont(voiceFont(screen->font(), 11, QFont::Normal));
    top.secondary->setAlignment(Qt::AlignCenter);
    top.secondary->setForegroundRole(QPalette::PlaceholderText);
    labels->addWidget(top.primary);
    labels->addWidget(top.secondary);
    layout->addLayout(labels);
    return top;
}

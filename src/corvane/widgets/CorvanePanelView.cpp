#include "corvane/widgets/CorvanePanelView.h"

#include "platform/Localization.h"
#include "platform/widgets/SymbolIcon.h"

#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <algorithm>

using namespace corvane;

namespace corvane_widgets {

namespace {

QColor withAlpha(QColor color, double alpha) {
    color.setAlphaF(float(alpha));
    return color;
}

QColor blend(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(
        float(a.redF() + (b.redF() - a.redF()) * t), float(a.greenF() + (b.greenF() - a.greenF()) * t),
        float(a.blueF() + (b.blueF() - a.blueF()) * t), float(a.alphaF() + (b.alphaF() - a.alphaF()) * t));
}

} // namespace

bool paletteIsDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

// The colour of a role in the current palette (the platform's standard shades).
QColor tintColor(Tint tint, const QPalette& palette) {
    const bool dark = paletteIsDark(palette);
    switch (tint) {
    case Tint::Default:
        return palette.color(QPalette::WindowText);
    case Tint::Accent:
        return palette.color(QPalette::Highlight);
    case Tint::Secondary:
        return withAlpha(palette.color(QPalette::WindowText), 0.55);
    case Tint::Green:
        return dark ? QColor(48, 209, 88) : QColor(40, 167, 69);
    case Tint::Orange:
        return dark ? QColor(255, 159, 10) : QColor(230, 126, 0);
    case Tint::Red:
        return dark ? QColor(255, 69, 58) : QColor(215, 45, 35);
    case Tint::Blue:
        return dark ? QColor(10, 132, 255) : QColor(0, 110, 230);
    }
    return palette.color(QPalette::WindowText);
}

// A symbol drawn in one colour.
QPixmap tintedSymbol(const QString& symbol, const QColor& color, int size, qreal ratio) {
    const QIcon icon = symbolIcon(symbol);
    QPixmap pixmap(QSize(size, size) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    if (icon.isNull())
        return pixmap;
    QPainter p(&pixmap);
    icon.paint(&p, QRect(0, 0, size, size));
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(QRect(0, 0, size, size), color);
    return pixmap;
}

QLabel* symbolLabel(const QString& symbol, const QColor& color, int size, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(tintedSymbol(symbol, color, size, parent ? parent->devicePixelRatioF() : 1.0));
    label->setFixedSize(size, size);
    return label;
}

void setColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

QLabel* textLabel(const QString& text, int pixelSize, bool semibold, const QColor& color, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setWeight(semibold ? QFont::DemiBold : QFont::Normal);
    label->setFont(font);
    setColor(label, color);
    label->setTextFormat(Qt::PlainText);
    return label;
}

constexpr int kCaption = 11;
constexpr int kValue = 12;

// A rounded box with a fill and an optional stroke.
class RoundedBox : public QFrame {
public:
    explicit RoundedBox(QWidget* parent = nullptr)
        : QFrame(parent) {}
    QColor fill = Qt::transparent;
    QColor stroke = Qt::transparent;
    double strokeWidth = 0;
    double radius = 12;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const double inset = strokeWidth / 2;
        const QRectF r = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
        p.setPen(strokeWidth > 0 ? QPen(stroke, strokeWidth) : Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(r, radius, radius);
    }
};

// The frame of a card; its highlight fades in and out over 0.18 s.
class CardFrame : public RoundedBox {
public:
    explicit CardFrame(QWidget* parent)
        : RoundedBox(parent) {
        radius = 18;
        animation_ = new QVariantAnimation(this);
        animation_->setDuration(180);
        animation_->setEasingCurve(QEasingCurve::InOutQuad);
        QObject::connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
            progress_ = v.toDouble();
            restyle();
        });
    }
    bool highlighted() const { return highlighted_; }
    void setHighlighted(bool on, bool animate) {
        if (on == highlighted_ && (animate || progress_ == (on ? 1.0 : 0.0)))
            return;
        highlighted_ = on;
        animation_->stop();
        if (animate && isVisible()) {
            animation_->setStartValue(progress_);
            animation_->setEndValue(on ? 1.0 : 0.0);
            animation_->start();
        } else {
            progress_ = on ? 1.0 : 0.0;
            restyle();
        }
    }
    void restyle() {
        const QPalette& pal = palette();
        const QColor accent = pal.color(QPalette::Highlight);
        fill = blend(pal.color(QPalette::Base), blend(pal.color(QPalette::Window), accent, 0.1), progress_);
        stroke = blend(paletteIsDark(pal) ? withAlpha(Qt::white, 0.08) : withAlpha(Qt::black, 0.05),
                       withAlpha(accent, 0.85), progress_);
        strokeWidth = 1 + 0.5 * progress_;
        if (progress_ > 0) {
            auto* shadow = qobject_cast<QGraphicsDropShadowEffect*>(graphicsEffect());
            if (!shadow) {
                shadow = new QGraphicsDropShadowEffect(this);
                setGraphicsEffect(shadow);
            }
            shadow->setBlurRadius(24);
            shadow->setOffset(0, 6);
            shadow->setColor(withAlpha(accent, 0.18 * progress_));
        } else if (graphicsEffect()) {
            setGraphicsEffect(nullptr);
        }
        update();
    }

private:
    QVariantAnimation* animation_;
    bool highlighted_ = false;
    double progress_ = 0;
};

// A capsule with a symbol and a text in one tint.
class BadgeWidget : public QWidget {
public:
    explicit BadgeWidget(QWidget* parent)
        : QWidget(parent) {
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(10, 6, 10, 6);
        layout->setSpacing(6);
        icon_ = new QLabel(this);
        icon_->setFixedSize(12, 12);
        text_ = textLabel(QString(), kCaption, false, Qt::black, this);
        layout->addWidget(icon_);
        layout->addWidget(text_);
    }
    void set(const corvane::Badge& badge) {
        if (badge == badge_ && !text_->text().isEmpty())
            return;
        badge_ = badge;
        const QColor color = tintColor(badge.tint, palette());
        icon_->setPixmap(tintedSymbol(badge.symbol, color, 12, devicePixelRatioF()));
        text_->setText(badge.label);
        setColor(text_, color);
        update();
    }
    QString text() const { return text_->text(); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(withAlpha(tintColor(badge_.tint, palette()), 0.12));
        const double r = height() / 2.0;
        p.drawRoundedRect(QRectF(rect()), r, r);
    }

private:
    corvane::Badge badge_;
    QLabel* icon_;
    QLabel* text_;
};

// The Secure Access countdown strip.
class Strip : public RoundedBox {
public:
    explicit Strip(QWidget* parent)
        : RoundedBox(parent) {
        radius = 14;
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(12, 12, 12, 12);
        column->setSpacing(8);
        auto* top = new QHBoxLayout();
        top->setSpacing(8);
        icon_ = new QLabel(this);
        icon_->setFixedSize(14, 14);
        label_ = textLabel(QString(), kValue, true, Qt::black, this);
        duration_ = textLabel(QString(), kValue, true, palette().color(QPalette::WindowText), this);
        QFont digits = duration_->font();
        digits.setStyleHint(QFont::Monospace);
        digits.setFamily(QStringLiteral("DejaVu Sans Mono"));
        duration_->setFont(digits);
        top->addWidget(icon_);
        top->addWidget(label_);
        top->addStretch(1);
        top->addWidget(duration_);
        column->addLayout(top);
        bar_ = new QProgressBar(this);
        bar_->setRange(0, 1000);
        bar_->setTextVisible(false);
        bar_->setFixedHeight(6);
        column->addWidget(bar_);
        opacity_ = new QGraphicsOpacityEffect(this);
        setGraphicsEffect(opacity_);
    }
    bool set(const StripSpec& spec) {
        if (spec == spec_ && !label_->text().isEmpty())
            return false;
        spec_ = spec;
        const QColor color = tintColor(spec.tint, palette());
        icon_->setPixmap(tintedSymbol(spec.symbol, color, 14, devicePixelRatioF()));
        label_->setText(spec.label);
        setColor(label_, color);
        duration_->setText(spec.duration);
        duration_->setVisible(!spec.duration.isEmpty());
        bar_->setValue(int(spec.progress * 1000 + 0.5));
        QPalette barPalette = bar_->palette();
        barPalette.setColor(QPalette::Highlight, color);
        bar_->setPalette(barPalette);
        fill = withAlpha(color, 0.08);
        opacity_->setOpacity(spec.opacity);
        update();
        return true;
    }
    QString text() const {
        return label_->text() + (spec_.duration.isEmpty() ? QString() : " " + spec_.duration);
    }

private:
    StripSpec spec_;
    QLabel* icon_;
    QLabel* label_;
    QLabel* duration_;
    QProgressBar* bar_;
    QGraphicsOpacityEffect* opacity_;
};

// The header's background: a gradient in a rounded rectangle.
class HeaderBox : public QFrame {
public:
    explicit HeaderBox(QWidget* parent)
        : QFrame(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QLinearGradient gradient(r.topLeft(), r.bottomRight());
        if (paletteIsDark(palette())) {
            gradient.setColorAt(0, palette().color(QPalette::Base));
            gradient.setColorAt(0.5, QColor::fromRgbF(0.14f, 0.15f, 0.19f));
            gradient.setColorAt(1, withAlpha(palette().color(QPalette::Highlight), 0.18));
            p.setPen(QPen(withAlpha(Qt::white, 0.08), 1));
        } else {
            gradient.setColorAt(0, QColor::fromRgbF(0.95f, 0.97f, 0.99f));
            gradient.setColorAt(1, QColor::fromRgbF(0.98f, 0.98f, 0.96f));
            p.setPen(QPen(withAlpha(Qt::black, 0.05), 1));
        }
        p.setBrush(gradient);
        p.drawRoundedRect(r, 20, 20);
    }
};

// A small indeterminate spinner.
class Spinner : public QWidget {
public:
    explicit Spinner(QWidget* parent)
        : QWidget(parent) {
        setFixedSize(14, 14);
        timer_.setInterval(80);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            angle_ = (angle_ + 30) % 360;
            update();
        });
    }

protected:
    void showEvent(QShowEvent*) override { timer_.start(); }
    void hideEvent(QHideEvent*) override { timer_.stop(); }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(palette().color(QPalette::ButtonText), 2, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(rect()).adjusted(2, 2, -2, -2), -angle_ * 16, 270 * 16);
    }

private:
    QTimer timer_;
    int angle_ = 0;
};

// Lays its items out left to right and wraps onto further lines (the header's badges).
class FlowLayout : public QLayout {
public:
    explicit FlowLayout(QWidget* parent, int spacing)
        : QLayout(parent)
        , gap_(spacing) {
        setContentsMargins(0, 0, 0, 0);
    }
    ~FlowLayout() override {
        while (QLayoutItem* item = takeAt(0))
            delete item;
    }
    void addItem(QLayoutItem* item) override { items_.append(item); }
    int count() const override { return int(items_.size()); }
    QLayoutItem* itemAt(int index) const override { return items_.value(index); }
    QLayoutItem* takeAt(int index) override {
        return index >= 0 && index < items_.size() ? items_.takeAt(index) : nullptr;
    }
    Qt::Orientations expandingDirections() const override { return {}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return arrange(QRect(0, 0, width, 0), false); }
    void setGeometry(const QRect& rect) override {
        QLayout::setGeometry(rect);
        arrange(rect, true);
    }
    QSize sizeHint() const override { return minimumSize(); }
    QSize minimumSize() const override {
        QSize size;
        for (QLayoutItem* item : items_)
            size = size.expandedTo(item->minimumSize());
        return size;
    }

private:
    int arrange(const QRect& rect, bool place) const {
        int x = rect.x();
        int y = rect.y();
        int lineHeight = 0;
        for (QLayoutItem* item : items_) {
            const QSize hint = item->sizeHint();
            if (x > rect.x() && x + hint.width() > rect.right() + 1) {
                x = rect.x();
                y += lineHeight + gap_;
                lineHeight = 0;
            }
            if (place)
                item->setGeometry(QRect(QPoint(x, y), hint));
            x += hint.width() + gap_;
            lineHeight = std::max(lineHeight, hint.height());
        }
        return y + lineHeight - rect.y();
    }

    QList<QLayoutItem*> items_;
    int gap_;
};

QPushButton* makeButton(const QString& title, const QString& symbol, bool prominent, bool spinner,
                        QWidget* parent) {
    auto* button = new QPushButton(parent);
    const QPalette& pal = parent->palette();
    if (prominent) {
        const QColor accent = pal.color(QPalette::Highlight);
        button->setStyleSheet(
            QStringLiteral("QPushButton { background: %1; color: %2; border: none; border-radius: 6px;"
                           " padding: 5px 12px; }"
                           "QPushButton:disabled { background: %3; color: %4; }")
                .arg(accent.name(), pal.color(QPalette::HighlightedText).name(),
                     withAlpha(accent, 0.35).name(QColor::HexArgb),
                     withAlpha(pal.color(QPalette::HighlightedText), 0.7).name(QColor::HexArgb)));
    }
    if (spinner) {
        auto* layout = new QHBoxLayout(button);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* spin = new Spinner(button);
        if (prominent) {
            QPalette sp = spin->palette();
            sp.setColor(QPalette::ButtonText, pal.color(QPalette::HighlightedText));
            spin->setPalette(sp);
        }
        layout->addWidget(spin, 0, Qt::AlignCenter);
        button->setMinimumWidth(button->fontMetrics().horizontalAdvance(title) + 40);
        button->setAccessibleName(title);
    } else {
        button->setText(title);
        const QColor iconColor =
            prominent ? pal.color(QPalette::HighlightedText) : pal.color(QPalette::ButtonText);
        if (!symbol.isEmpty())
            button->setIcon(QIcon(tintedSymbol(symbol, iconColor, 14, parent->devicePixelRatioF())));
    }
    return button;
}

} // namespace corvane_widgets

using namespace corvane_widgets;

CorvanePanelView::CorvanePanelView(CorvanePanelController* controller, QWidget* parent)
    : QScrollArea(parent)
    , controller_(controller ? controller : new CorvanePanelController(this))
    , clock_([] { return QDateTime::currentDateTimeUtc(); }) {
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setBackgroundRole(QPalette::Window);
    tickTimer_.setInterval(1000);
    connect(&tickTimer_, &QTimer::timeout, this, &CorvanePanelView::tickNow);
    scrollAnimation_ = new QVariantAnimation(this);
    scrollAnimation_->setDuration(200);
    scrollAnimation_->setEasingCurve(QEasingCurve::InOutQuad);
    connect(scrollAnimation_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& v) { verticalScrollBar()->setValue(v.toInt()); });

    connect(controller_, &CorvanePanelController::changed, this, &CorvanePanelView::scheduleRender);
    connect(controller_, &CorvanePanelController::highlightChanged, this, [this] { applyHighlight(true); });
    connect(controller_, &CorvanePanelController::scrollRequested, this, &CorvanePanelView::scrollToAnchor);
    renderNow();
}

CorvanePanelView::~CorvanePanelView() = default;

bool CorvanePanelView::isDark() const {
    return paletteIsDark(palette());
}

void CorvanePanelView::showEvent(QShowEvent* event) {
    QScrollArea::showEvent(event);
    renderNow();
    tickTimer_.start();
    controller_->shown();
}

void CorvanePanelView::hideEvent(QHideEvent* event) {
    QScrollArea::hideEvent(event);
    tickTimer_.stop();
    controller_->hidden();
}

void CorvanePanelView::changeEvent(QEvent* event) {
    QScrollArea::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        scheduleRender();
}

void CorvanePanelView::scheduleRender() {
    if (renderPending_)
        return;
    renderPending_ = true;
    QTimer::singleShot(0, this, [this] {
        if (renderPending_)
            renderNow();
    });
}

void CorvanePanelView::renderNow() {
    renderPending_ = false;
    ++renderCount_;
    tickUpdates_ = 0;
    inputs_ = controller_->inputs(clock_());
    const PanelSpec spec = buildPanel(inputs_);

    const int scroll = verticalScrollBar()->value();
    auto* content = new QWidget();
    // The rows are built before the content joins the view: give it the view's palette now.
    content->setPalette(palette());
    content->setBackgroundRole(QPalette::Window);
    content->setAutoFillBackground(true);
    auto* column = new QVBoxLayout(content);
    column->setSpacing(16);
    column->setContentsMargins(20, 20, 20, 20);
    cards_.clear();
    rowValues_.clear();
    actionButtons_.clear();
    ticking_.clear();
    secureBadge_ = nullptr;
    strip_ = nullptr;
    content_ = content;
    buildHeader(spec.header);
    for (const CardSpec& card : spec.cards)
        buildCard(card);
    column->addStretch(1);
    setWidget(content); // deletes the previous content
    verticalScrollBar()->setValue(scroll);
    applyHighlight(false);
}

void CorvanePanelView::buildHeader(const HeaderSpec& h) {
    const QPalette& pal = palette();
    auto* box = new HeaderBox(content_);
    header_ = box;
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(18, 18, 18, 18);
    column->setSpacing(10);

    auto* titleRow = new QHBoxLayout();
    auto* titles = new QVBoxLayout();
    titles->setSpacing(4);
    titles->addWidget(textLabel(h.title, 22, true, tintColor(Tint::Default, pal), box));
    QLabel* subtitle = textLabel(h.subtitle, 13, false, tintColor(Tint::Secondary, pal), box);
    subtitle->setWordWrap(true);
    titles->addWidget(subtitle);
    titleRow->addLayout(titles, 1);
    auto* refresh = makeButton(h.refreshTitle, h.refreshSymbol, false, h.loading, box);
    refresh->setObjectName(QStringLiteral("corvaneRefresh"));
    connect(refresh, &QPushButton::clicked, controller_, &CorvanePanelController::refreshNow);
    refreshButton_ = refresh;
    titleRow->addWidget(refresh, 0, Qt::AlignTop);
    column->addLayout(titleRow);

    auto* badgeRow = new QWidget(box);
    auto* badges = new FlowLayout(badgeRow, 8);
    for (const corvane::Badge& b : h.badges) {
        auto* badge = new BadgeWidget(badgeRow);
        badge->set(b);
        badges->addWidget(badge);
    }
    if (h.secureBadge) {
        secureBadge_ = new BadgeWidget(badgeRow);
        secureBadge_->set(*h.secureBadge);
        badges->addWidget(secureBadge_);
    }
    column->addWidget(badgeRow);

    auto* sync = new QHBoxLayout();
    sync->setSpacing(8);
    sync->addWidget(symbolLabel(h.syncSymbol, tintColor(h.syncTint, pal), 14, box));
    syncCaption_ = textLabel(h.syncCaption, kCaption, false, tintColor(Tint::Secondary, pal), box);
    sync->addWidget(syncCaption_);
    sync->addWidget(textLabel(h.autoCaption, 10, false, tintColor(Tint::Secondary, pal), box));
    sync->addStretch(1);
    column->addLayout(sync);

    if (h.error) {
        QLabel* error = textLabel(*h.error, kCaption, false, tintColor(Tint::Red, pal), box);
        error->setWordWrap(true);
        column->addWidget(error);
    }
    content_->layout()->addWidget(box);
}

void CorvanePanelView::buildCard(const CardSpec& card) {
    const QPalette& pal = palette();
    auto* frame = new CardFrame(content_);
    frame->setObjectName(card.anchor);
    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(18, 18, 18, 18);
    column->setSpacing(12);
    auto* titles = new QVBoxLayout();
    titles->setSpacing(4);
    titles->addWidget(textLabel(card.title, 16, true, tintColor(Tint::Default, pal), frame));
    QLabel* subtitle = textLabel(card.subtitle, kCaption, false, tintColor(Tint::Secondary, pal), frame);
    subtitle->setWordWrap(true);
    titles->addWidget(subtitle);
    column->addLayout(titles);
    for (const RowSpec& row : card.rows)
        column->addWidget(buildRow(card.anchor, row));
    frame->restyle();
    cards_.insert(card.anchor, frame);
    content_->layout()->addWidget(frame);
}

QWidget* CorvanePanelView::buildRow(const QString& anchor, const RowSpec& row) {
    const QPalette& pal = palette();
    auto* host = new QWidget();
    switch (row.kind) {
    case RowSpec::Kind::Value:
    case RowSpec::Kind::Date:
    case RowSpec::Kind::Readiness:
    case RowSpec::Kind::Trust: {
        auto* line = new QHBoxLayout(host);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(10);
        if (row.kind == RowSpec::Kind::Trust)
            line->addWidget(symbolLabel(row.symbol, tintColor(row.tint, pal), 13, host), 0, Qt::AlignTop);
        line->addWidget(textLabel(row.title, kCaption, false, tintColor(Tint::Secondary, pal), host), 0,
                        Qt::AlignTop);
        const Tint valueTint = row.kind == RowSpec::Kind::Readiness ? row.tint : Tint::Default;
        QLabel* value = textLabel(row.value, kValue, row.emphasis, tintColor(valueTint, pal), host);
        value->setWordWrap(true);
        if (row.kind == RowSpec::Kind::Date) {
            QFont digits = value->font();
            digits.setStyleStrategy(QFont::PreferDefault);
            value->setFont(digits);
        }
        // The value takes the rest of the line and wraps there, against the trailing edge.
        value->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        value->setAlignment(Qt::AlignRight | Qt::AlignTop);
        line->addWidget(value, 1, Qt::AlignTop);
        rowValues_.insert(anchor + '\n' + row.title, value);
        if (row.tick != Tick::None)
            ticking_.append({row, value});
        break;
    }
    case RowSpec::Kind::Callout: {
        auto* box = new RoundedBox();
        box->radius = 12;
        box->fill = withAlpha(tintColor(Tint::Orange, pal), 0.08);
        auto* line = new QHBoxLayout(box);
        line->setContentsMargins(10, 10, 10, 10);
        line->setSpacing(10);
        line->addWidget(symbolLabel(row.symbol, tintColor(Tint::Orange, pal), 14, box), 0, Qt::AlignTop);
        QLabel* text = textLabel(row.value, kCaption, false, tintColor(Tint::Secondary, pal), box);
        text->setWordWrap(true);
        line->addWidget(text, 1);
        delete host;
        return box;
    }
    case RowSpec::Kind::NextStep:
        delete host;
        return buildNextStep(*row.plan);
    case RowSpec::Kind::Strip: {
        auto* strip = new Strip(content_);
        strip->set(*row.strip);
        strip_ = strip;
        delete host;
        return strip;
    }
    case RowSpec::Kind::Buttons:
        delete host;
        return buildButtons(row);
    case RowSpec::Kind::Hint:
    case RowSpec::Kind::Note: {
        auto* line = new QVBoxLayout(host);
        line->setContentsMargins(0, 0, 0, 0);
        QLabel* text = textLabel(row.value, kCaption, false, tintColor(Tint::Secondary, pal), host);
        text->setWordWrap(true);
        if (row.kind == RowSpec::Kind::Note)
            text->setTextFormat(Qt::MarkdownText); // the inline code shows without its backticks
        line->addWidget(text);
        break;
    }
    case RowSpec::Kind::Shortcuts: {
        auto* line = new QHBoxLayout(host);
        line->setContentsMargins(0, 4, 0, 0);
        line->setSpacing(10);
        for (const ShortcutButton& shortcut : row.shortcuts) {
            auto* button = makeButton(shortcut.title, QString(), false, false, host);
            const QString tab = shortcut.tab;
            connect(button, &QPushButton::clicked, controller_,
                    [this, tab] { controller_->openSettingsTab(tab); });
            line->addWidget(button);
        }
        line->addStretch(1);
        break;
    }
    }
    return host;
}

QWidget* CorvanePanelView::buildNextStep(const NextStepPlan& plan) {
    const QPalette& pal = palette();
    auto* box = new RoundedBox();
    box->radius = 14;
    box->fill = withAlpha(tintColor(Tint::Accent, pal), 0.08);
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(8);
    auto* title = new QHBoxLayout();
    title->setSpacing(6);
    title->addWidget(symbolLabel(QStringLiteral("arrowshape.turn.up.forward.fill"),
                                 tintColor(Tint::Accent, pal), 13, box));
    title->addWidget(textLabel(plan.title, kValue, true, tintColor(Tint::Accent, pal), box));
    title->addStretch(1);
    column->addLayout(title);
    QLabel* description = textLabel(plan.description, kCaption, false, tintColor(Tint::Secondary, pal), box);
    description->setWordWrap(true);
    column->addWidget(description);
    if (plan.buttonTitle && plan.buttonSystemImage && plan.action) {
        auto* line = new QHBoxLayout();
        auto* button = makeButton(*plan.buttonTitle, *plan.buttonSystemImage, true, false, box);
        const PlanAction action = *plan.action;
        connect(button, &QPushButton::clicked, controller_,
                [this, action] { controller_->runPlanAction(action); });
        line->addWidget(button);
        line->addStretch(1);
        column->addLayout(line);
    }
    return box;
}

QWidget* CorvanePanelView::buildButtons(const RowSpec& row) {
    auto* host = new QWidget();
    auto* line = new QHBoxLayout(host);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(10);
    for (const ButtonSpec& spec : row.buttons) {
        auto* button = makeButton(spec.title, spec.symbol, spec.prominent, spec.spinner, host);
        button->setEnabled(spec.enabled);
        button->setObjectName(spec.id);
        const QString id = spec.id;
        connect(button, &QPushButton::clicked, controller_, [this, id] {
            // Each press starts its own task; the controller refuses a second change.
            if (id == QLatin1String("activate"))
                controller_->activateSecureAccess();
            else if (id == QLatin1String("renew"))
                controller_->renewSecureAccess();
            else
                controller_->revokeSecureAccess();
        });
        actionButtons_.insert(id, button);
        line->addWidget(button);
    }
    line->addStretch(1);
    return host;
}

void CorvanePanelView::tickNow() {
    PanelInputs in = inputs_;
    in.now = clock_();
    if (secureBadge_ && in.settings) {
        const QString before = secureBadge_->text();
        secureBadge_->set(secureAccessHeaderBadge(in.settings, in.now));
        tickUpdates_ += before != secureBadge_->text();
    }
    if (syncCaption_) {
        const QString caption = syncCaption(in);
        if (caption != syncCaption_->text()) {
            syncCaption_->setText(caption);
            ++tickUpdates_;
        }
    }
    for (const TickingLabel& t : std::as_const(ticking_)) {
        const QString value = tickedRow(t.row, in).value;
        if (value != t.label->text()) {
            t.label->setText(value);
            ++tickUpdates_;
        }
    }
    if (strip_ && strip_->set(urgencyStrip(in)))
        ++tickUpdates_;
}

void CorvanePanelView::applyHighlight(bool animate) {
    const std::optional<QString> highlighted = controller_->highlightedAnchor();
    for (auto it = cards_.cbegin(); it != cards_.cend(); ++it)
        it.value()->setHighlighted(highlighted == it.key(), animate);
}

void CorvanePanelView::scrollToAnchor(const QString& anchor) {
    QWidget* target = anchor == anchor::summary ? header_ : cards_.value(anchor);
    if (!target || !content_)
        return;
    content_->layout()->activate();
    // The card's top edge meets the top of the visible area, with the column's margin above it.
    const int margin = content_->layout()->contentsMargins().top();
    const int top = std::clamp(target->y() - margin, 0, verticalScrollBar()->maximum());
    scrollAnimation_->stop();
    scrollAnimation_->setStartValue(verticalScrollBar()->value());
    scrollAnimation_->setEndValue(top);
    scrollAnimation_->start();
}

QWidget* CorvanePanelView::cardWidget(const QString& anchor) const {
    return cards_.value(anchor);
}

bool CorvanePanelView::cardHighlighted(const QString& anchor) const {
    CardFrame* frame = cards_.value(anchor);
    return frame && frame->highlighted();
}

QLabel* CorvanePanelView::rowValue(const QString& anchor, const QString& title) const {
    return rowValues_.value(anchor + '\n' + title);
}

QString CorvanePanelView::secureBadgeText() const {
    return secureBadge_ ? secureBadge_->text() : QString();
}

QString CorvanePanelView::stripText() const {
    return strip_ ? strip_->text() : QString();
}

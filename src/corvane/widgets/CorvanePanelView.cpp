#include "corvane/widgets/CorvanePanelView.h"

#include "platform/Localization.h"
#include "platform/widgets/SymbolIcon.h"

#include <QCoreApplication>
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

#include <functional>

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

// ---- Setters that touch a widget only when its content changes ----------------------

void setTextIfChanged(QLabel* label, const QString& text) {
    if (label->text() != text)
        label->setText(text);
}

void setColorIfChanged(QWidget* widget, const QColor& color) {
    if (widget->palette().color(QPalette::WindowText) != color)
        setColor(widget, color);
}

void setWeightIfChanged(QLabel* label, bool semibold) {
    const QFont::Weight weight = semibold ? QFont::DemiBold : QFont::Normal;
    if (label->font().weight() == weight)
        return;
    QFont font = label->font();
    font.setWeight(weight);
    label->setFont(font);
}

void setSymbolIfChanged(QLabel* label, const QString& symbol, const QColor& color, int size) {
    const QString key = symbol + QLatin1Char('|') + color.name(QColor::HexArgb);
    if (label->property("symbolKey").toString() == key)
        return;
    label->setProperty("symbolKey", key);
    label->setPixmap(tintedSymbol(symbol, color, size, label->devicePixelRatioF()));
}

// A widget made after its parent is on screen would otherwise show only later, after
// the layout has placed the others without it.
void showIfParentShown(QWidget* widget) {
    if (widget->parentWidget() && widget->parentWidget()->isVisible())
        widget->show();
}

// Takes a widget out of its layout and deletes it once the event loop is back (it may
// be the sender of the signal being handled).
void discard(QWidget* widget) {
    if (!widget)
        return;
    if (QWidget* parent = widget->parentWidget())
        if (QLayout* layout = parent->layout())
            layout->removeWidget(widget);
    widget->hide();
    widget->setParent(nullptr);
    widget->deleteLater();
}

// A button whose label may give way to a small spinner. Its text, symbol and state are
// set in place, so focus, hover and a press in progress survive a new rendering.
class PanelButton : public QPushButton {
public:
    PanelButton(bool prominent, QWidget* parent)
        : QPushButton(parent)
        , prominent_(prominent) {
        const QPalette& pal = parent->palette();
        if (prominent) {
            const QColor accent = pal.color(QPalette::Highlight);
            setStyleSheet(
                QStringLiteral("QPushButton { background: %1; color: %2; border: none; border-radius: 6px;"
                               " padding: 5px 12px; }"
                               "QPushButton:disabled { background: %3; color: %4; }")
                    .arg(accent.name(), pal.color(QPalette::HighlightedText).name(),
                         withAlpha(accent, 0.35).name(QColor::HexArgb),
                         withAlpha(pal.color(QPalette::HighlightedText), 0.7).name(QColor::HexArgb)));
        }
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        spinner_ = new Spinner(this);
        if (prominent) {
            QPalette sp = spinner_->palette();
            sp.setColor(QPalette::ButtonText, pal.color(QPalette::HighlightedText));
            spinner_->setPalette(sp);
        }
        layout->addWidget(spinner_, 0, Qt::AlignCenter);
        spinner_->hide();
    }

    void set(const QString& title, const QString& symbol, bool busy) {
        if (applied_ && title == title_ && symbol == symbol_ && busy == busy_)
            return;
        applied_ = true;
        title_ = title;
        symbol_ = symbol;
        busy_ = busy;
        setAccessibleName(title);
        if (busy) {
            setMinimumWidth(fontMetrics().horizontalAdvance(title) + 40);
            setText(QString());
            setIcon(QIcon());
            spinner_->show();
            return;
        }
        spinner_->hide();
        setMinimumWidth(0);
        setText(title);
        const QColor iconColor =
            prominent_ ? palette().color(QPalette::HighlightedText) : palette().color(QPalette::ButtonText);
        setIcon(symbol.isEmpty() ? QIcon() : QIcon(tintedSymbol(symbol, iconColor, 14, devicePixelRatioF())));
    }
    bool busy() const { return busy_; }

private:
    bool prominent_;
    bool applied_ = false;
    bool busy_ = false;
    QString title_;
    QString symbol_;
    Spinner* spinner_;
};

// ---- Rows ---------------------------------------------------------------------------------

// What the view asks of the rows' buttons.
struct RowActions {
    std::function<void(const QString&)> secureAccess; // "activate", "renew", "revoke"
    std::function<void(const PlanAction&)> plan;
    std::function<void(const QString&)> tab;
};

// A row of a card, updated in place from its spec.
class PanelRow {
public:
    virtual ~PanelRow() = default;
    virtual void apply(const RowSpec& row) = 0;
    virtual QLabel* valueLabel() const { return nullptr; }
};

// Value, date, readiness and trust rows: [symbol] title … value.
class ValueRow : public QWidget, public PanelRow {
public:
    ValueRow(RowSpec::Kind kind, QWidget* parent)
        : QWidget(parent) {
        const QPalette& pal = palette();
        auto* line = new QHBoxLayout(this);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(10);
        if (kind == RowSpec::Kind::Trust) {
            symbol_ = new QLabel(this);
            symbol_->setFixedSize(13, 13);
            line->addWidget(symbol_, 0, Qt::AlignTop);
        }
        title_ = textLabel(QString(), kCaption, false, tintColor(Tint::Secondary, pal), this);
        line->addWidget(title_, 0, Qt::AlignTop);
        value_ = textLabel(QString(), kValue, false, tintColor(Tint::Default, pal), this);
        value_->setWordWrap(true);
        // The value takes the rest of the line and wraps there, against the trailing edge.
        value_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        value_->setAlignment(Qt::AlignRight | Qt::AlignTop);
        line->addWidget(value_, 1, Qt::AlignTop);
    }
    void apply(const RowSpec& row) override {
        const QPalette& pal = palette();
        if (symbol_)
            setSymbolIfChanged(symbol_, row.symbol, tintColor(row.tint, pal), 13);
        setTextIfChanged(title_, row.title);
        setTextIfChanged(value_, row.value);
        setWeightIfChanged(value_, row.emphasis);
        const Tint valueTint = row.kind == RowSpec::Kind::Readiness ? row.tint : Tint::Default;
        setColorIfChanged(value_, tintColor(valueTint, pal));
    }
    QLabel* valueLabel() const override { return value_; }

private:
    QLabel* symbol_ = nullptr;
    QLabel* title_;
    QLabel* value_;
};

// The orange box that explains a backend reason.
class CalloutRow : public RoundedBox, public PanelRow {
public:
    explicit CalloutRow(QWidget* parent)
        : RoundedBox(parent) {
        radius = 12;
        const QPalette& pal = palette();
        fill = withAlpha(tintColor(Tint::Orange, pal), 0.08);
        auto* line = new QHBoxLayout(this);
        line->setContentsMargins(10, 10, 10, 10);
        line->setSpacing(10);
        symbol_ = new QLabel(this);
        symbol_->setFixedSize(14, 14);
        line->addWidget(symbol_, 0, Qt::AlignTop);
        text_ = textLabel(QString(), kCaption, false, tintColor(Tint::Secondary, pal), this);
        text_->setWordWrap(true);
        line->addWidget(text_, 1);
    }
    void apply(const RowSpec& row) override {
        setSymbolIfChanged(symbol_, row.symbol, tintColor(Tint::Orange, palette()), 14);
        setTextIfChanged(text_, row.value);
    }

private:
    QLabel* symbol_;
    QLabel* text_;
};

// A recommended step: title, explanation and, when the plan has one, its button.
class NextStepRow : public RoundedBox, public PanelRow {
public:
    NextStepRow(const RowActions& actions, QWidget* parent)
        : RoundedBox(parent)
        , actions_(actions) {
        radius = 14;
        const QPalette& pal = palette();
        fill = withAlpha(tintColor(Tint::Accent, pal), 0.08);
        column_ = new QVBoxLayout(this);
        column_->setContentsMargins(12, 12, 12, 12);
        column_->setSpacing(8);
        auto* title = new QHBoxLayout();
        title->setSpacing(6);
        auto* symbol = new QLabel(this);
        symbol->setFixedSize(13, 13);
        setSymbolIfChanged(symbol, QStringLiteral("arrowshape.turn.up.forward.fill"),
                           tintColor(Tint::Accent, pal), 13);
        title->addWidget(symbol);
        title_ = textLabel(QString(), kValue, true, tintColor(Tint::Accent, pal), this);
        title->addWidget(title_);
        title->addStretch(1);
        column_->addLayout(title);
        description_ = textLabel(QString(), kCaption, false, tintColor(Tint::Secondary, pal), this);
        description_->setWordWrap(true);
        column_->addWidget(description_);
    }
    void apply(const RowSpec& row) override {
        const NextStepPlan& plan = *row.plan;
        setTextIfChanged(title_, plan.title);
        setTextIfChanged(description_, plan.description);
        const bool hasButton = plan.buttonTitle && plan.buttonSystemImage && plan.action;
        if (!hasButton) {
            if (buttonLine_) {
                discard(buttonLine_);
                buttonLine_ = nullptr;
                button_ = nullptr;
            }
            return;
        }
        action_ = *plan.action;
        if (!buttonLine_) {
            buttonLine_ = new QWidget(this);
            auto* line = new QHBoxLayout(buttonLine_);
            line->setContentsMargins(0, 0, 0, 0);
            button_ = new PanelButton(true, buttonLine_);
            QObject::connect(button_, &QPushButton::clicked, buttonLine_, [this] {
                if (actions_.plan)
                    actions_.plan(action_);
            });
            line->addWidget(button_);
            line->addStretch(1);
            column_->addWidget(buttonLine_);
            showIfParentShown(buttonLine_);
        }
        button_->set(*plan.buttonTitle, *plan.buttonSystemImage, false);
    }

private:
    RowActions actions_;
    QVBoxLayout* column_;
    QLabel* title_;
    QLabel* description_;
    QWidget* buttonLine_ = nullptr;
    PanelButton* button_ = nullptr;
    PlanAction action_;
};

class StripRow : public Strip, public PanelRow {
public:
    explicit StripRow(QWidget* parent)
        : Strip(parent) {}
    void apply(const RowSpec& row) override { set(*row.strip); }
};

// The Secure Access buttons, kept by id: a button is made when it appears and goes
// when it is no longer offered; otherwise only its label and state change.
class ButtonsRow : public QWidget, public PanelRow {
public:
    ButtonsRow(const RowActions& actions, QWidget* parent)
        : QWidget(parent)
        , actions_(actions) {
        line_ = new QHBoxLayout(this);
        line_->setContentsMargins(0, 0, 0, 0);
        line_->setSpacing(10);
        line_->addStretch(1);
    }
    void apply(const RowSpec& row) override {
        QHash<QString, PanelButton*> kept;
        QList<PanelButton*> order;
        for (const ButtonSpec& spec : row.buttons) {
            PanelButton* button = buttons_.take(spec.id);
            if (!button) {
                button = new PanelButton(spec.prominent, this);
                button->setObjectName(spec.id);
                const QString id = spec.id;
                QObject::connect(button, &QPushButton::clicked, this, [this, id] {
                    if (actions_.secureAccess)
                        actions_.secureAccess(id);
                });
            }
            button->set(spec.title, spec.symbol, spec.spinner);
            if (button->isEnabled() != spec.enabled)
                button->setEnabled(spec.enabled);
            kept.insert(spec.id, button);
            order.append(button);
        }
        for (PanelButton* gone : std::as_const(buttons_))
            discard(gone);
        buttons_ = kept;
        if (order != order_) {
            for (PanelButton* button : std::as_const(order))
                line_->removeWidget(button);
            for (int i = 0; i < order.size(); ++i) {
                line_->insertWidget(i, order[i]);
                showIfParentShown(order[i]);
            }
            order_ = order;
        }
    }
    const QHash<QString, PanelButton*>& buttons() const { return buttons_; }

private:
    RowActions actions_;
    QHBoxLayout* line_;
    QHash<QString, PanelButton*> buttons_;
    QList<PanelButton*> order_;
};

// The hint under the controls and the approvals card's note (inline Markdown).
class TextRow : public QWidget, public PanelRow {
public:
    TextRow(RowSpec::Kind kind, QWidget* parent)
        : QWidget(parent) {
        auto* line = new QVBoxLayout(this);
        line->setContentsMargins(0, 0, 0, 0);
        text_ = textLabel(QString(), kCaption, false, tintColor(Tint::Secondary, palette()), this);
        text_->setWordWrap(true);
        if (kind == RowSpec::Kind::Note)
            text_->setTextFormat(Qt::MarkdownText); // the inline code shows without its backticks
        line->addWidget(text_);
    }
    void apply(const RowSpec& row) override { setTextIfChanged(text_, row.value); }

private:
    QLabel* text_;
};

// The host card's shortcuts to other tabs.
class ShortcutsRow : public QWidget, public PanelRow {
public:
    ShortcutsRow(const RowActions& actions, QWidget* parent)
        : QWidget(parent)
        , actions_(actions) {
        line_ = new QHBoxLayout(this);
        line_->setContentsMargins(0, 4, 0, 0);
        line_->setSpacing(10);
        line_->addStretch(1);
    }
    void apply(const RowSpec& row) override {
        if (row.shortcuts == shortcuts_)
            return;
        for (PanelButton* button : std::as_const(buttons_))
            discard(button);
        buttons_.clear();
        shortcuts_ = row.shortcuts;
        for (const ShortcutButton& shortcut : std::as_const(shortcuts_)) {
            auto* button = new PanelButton(false, this);
            button->set(shortcut.title, QString(), false);
            const QString tab = shortcut.tab;
            QObject::connect(button, &QPushButton::clicked, this, [this, tab] {
                if (actions_.tab)
                    actions_.tab(tab);
            });
            line_->insertWidget(int(buttons_.size()), button);
            showIfParentShown(button);
            buttons_.append(button);
        }
    }

private:
    RowActions actions_;
    QHBoxLayout* line_;
    QList<ShortcutButton> shortcuts_;
    QList<PanelButton*> buttons_;
};

QWidget* makeRow(RowSpec::Kind kind, const RowActions& actions, QWidget* parent) {
    switch (kind) {
    case RowSpec::Kind::Value:
    case RowSpec::Kind::Date:
    case RowSpec::Kind::Readiness:
    case RowSpec::Kind::Trust:
        return new ValueRow(kind, parent);
    case RowSpec::Kind::Callout:
        return new CalloutRow(parent);
    case RowSpec::Kind::NextStep:
        return new NextStepRow(actions, parent);
    case RowSpec::Kind::Strip:
        return new StripRow(parent);
    case RowSpec::Kind::Buttons:
        return new ButtonsRow(actions, parent);
    case RowSpec::Kind::Hint:
    case RowSpec::Kind::Note:
        return new TextRow(kind, parent);
    case RowSpec::Kind::Shortcuts:
        return new ShortcutsRow(actions, parent);
    }
    return new TextRow(RowSpec::Kind::Hint, parent);
}

// One row as it stands in its card: the description it shows and its widget.
struct RowEntry {
    QString key; // kind, title and rank among the rows of the same kind and title
    RowSpec spec;
    QWidget* widget = nullptr;
    PanelRow* row = nullptr;
};

// A card: its frame, its heading and its rows in order.
class Card : public CardFrame {
public:
    explicit Card(QWidget* parent)
        : CardFrame(parent) {
        const QPalette& pal = palette();
        column = new QVBoxLayout(this);
        column->setContentsMargins(18, 18, 18, 18);
        column->setSpacing(12);
        auto* titles = new QVBoxLayout();
        titles->setSpacing(4);
        title = textLabel(QString(), 16, true, tintColor(Tint::Default, pal), this);
        titles->addWidget(title);
        subtitle = textLabel(QString(), kCaption, false, tintColor(Tint::Secondary, pal), this);
        subtitle->setWordWrap(true);
        titles->addWidget(subtitle);
        column->addLayout(titles);
    }

    // Keeps the rows that stay, makes the ones that appear, drops the ones that went.
    void update(const CardSpec& card, const RowActions& actions) {
        setTextIfChanged(title, card.title);
        setTextIfChanged(subtitle, card.subtitle);
        QHash<QString, RowEntry> old;
        for (const RowEntry& entry : std::as_const(rows))
            old.insert(entry.key, entry);
        QList<RowEntry> next;
        QHash<QString, int> seen;
        for (const RowSpec& spec : card.rows) {
            QString key = QString::number(int(spec.kind)) + QLatin1Char('\x1f') + spec.title;
            key += QLatin1Char('#') + QString::number(seen[key]++);
            RowEntry entry = old.take(key);
            const bool made = !entry.widget;
            if (made) {
                entry.key = key;
                entry.widget = makeRow(spec.kind, actions, this);
                entry.row = dynamic_cast<PanelRow*>(entry.widget);
            }
            if (made || !(entry.spec == spec)) {
                entry.row->apply(spec);
                entry.spec = spec;
            }
            next.append(entry);
        }
        for (const RowEntry& gone : std::as_const(old))
            discard(gone.widget);
        bool sameOrder = next.size() == rows.size();
        for (int i = 0; sameOrder && i < next.size(); ++i)
            sameOrder = next[i].widget == rows[i].widget;
        if (!sameOrder) {
            // The heading is the column's first item; the rows follow in order.
            for (const RowEntry& entry : std::as_const(next))
                column->removeWidget(entry.widget);
            for (int i = 0; i < next.size(); ++i) {
                column->insertWidget(1 + i, next[i].widget);
                showIfParentShown(next[i].widget);
            }
        }
        rows = next;
    }

    QVBoxLayout* column;
    QLabel* title;
    QLabel* subtitle;
    QList<RowEntry> rows;
};

// The header's widgets, kept between renderings.
struct HeaderParts {
    HeaderBox* box = nullptr;
    QLabel* title = nullptr;
    QLabel* subtitle = nullptr;
    PanelButton* refresh = nullptr;
    QWidget* badgeRow = nullptr;
    FlowLayout* badgeLayout = nullptr;
    QList<BadgeWidget*> badges;
    BadgeWidget* secureBadge = nullptr;
    QLabel* syncIcon = nullptr;
    QLabel* syncCaption = nullptr;
    QLabel* autoCaption = nullptr;
    QLabel* error = nullptr;
};

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
    if (event->type() == QEvent::PaletteChange) {
        // Every colour follows the palette: draw the panel afresh in the new one.
        contentStale_ = true;
        scheduleRender();
    }
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

void CorvanePanelView::buildContent() {
    const int scroll = verticalScrollBar()->value();
    auto* content = new QWidget();
    // The rows are made before the content joins the view: give it the view's palette now.
    content->setPalette(palette());
    content->setBackgroundRole(QPalette::Window);
    content->setAutoFillBackground(true);
    auto* column = new QVBoxLayout(content);
    column->setSpacing(16);
    column->setContentsMargins(20, 20, 20, 20);
    cards_.clear();
    cardOrder_.clear();
    rowValues_.clear();
    actionButtons_.clear();
    ticking_.clear();
    strip_ = nullptr;
    content_ = content;
    headerParts_ = std::make_unique<HeaderParts>();
    buildHeader();
    column->addStretch(1);
    setWidget(content); // deletes the previous content
    verticalScrollBar()->setValue(scroll);
    contentStale_ = false;
}

void CorvanePanelView::renderNow() {
    renderPending_ = false;
    ++renderCount_;
    tickUpdates_ = 0;
    inputs_ = controller_->inputs(clock_());
    const PanelSpec spec = buildPanel(inputs_);
    if (!content_ || contentStale_)
        buildContent();
    updateHeader(spec.header);
    for (const CardSpec& card : spec.cards)
        updateCard(card);
    indexRows();
    applyHighlight(false);
}

void CorvanePanelView::buildHeader() {
    HeaderParts& h = *headerParts_;
    const QPalette& pal = content_->palette();
    h.box = new HeaderBox(content_);
    header_ = h.box;
    auto* column = new QVBoxLayout(h.box);
    column->setContentsMargins(18, 18, 18, 18);
    column->setSpacing(10);

    auto* titleRow = new QHBoxLayout();
    auto* titles = new QVBoxLayout();
    titles->setSpacing(4);
    h.title = textLabel(QString(), 22, true, tintColor(Tint::Default, pal), h.box);
    titles->addWidget(h.title);
    h.subtitle = textLabel(QString(), 13, false, tintColor(Tint::Secondary, pal), h.box);
    h.subtitle->setWordWrap(true);
    titles->addWidget(h.subtitle);
    titleRow->addLayout(titles, 1);
    h.refresh = new PanelButton(false, h.box);
    h.refresh->setObjectName(QStringLiteral("corvaneRefresh"));
    connect(h.refresh, &QPushButton::clicked, controller_, &CorvanePanelController::refreshNow);
    refreshButton_ = h.refresh;
    titleRow->addWidget(h.refresh, 0, Qt::AlignTop);
    column->addLayout(titleRow);

    h.badgeRow = new QWidget(h.box);
    h.badgeLayout = new FlowLayout(h.badgeRow, 8);
    column->addWidget(h.badgeRow);

    auto* sync = new QHBoxLayout();
    sync->setSpacing(8);
    h.syncIcon = new QLabel(h.box);
    h.syncIcon->setFixedSize(14, 14);
    sync->addWidget(h.syncIcon);
    h.syncCaption = textLabel(QString(), kCaption, false, tintColor(Tint::Secondary, pal), h.box);
    sync->addWidget(h.syncCaption);
    h.autoCaption = textLabel(QString(), 10, false, tintColor(Tint::Secondary, pal), h.box);
    sync->addWidget(h.autoCaption);
    sync->addStretch(1);
    column->addLayout(sync);

    h.error = textLabel(QString(), kCaption, false, tintColor(Tint::Red, pal), h.box);
    h.error->setWordWrap(true);
    h.error->hide();
    column->addWidget(h.error);
    content_->layout()->addWidget(h.box);
}

void CorvanePanelView::updateHeader(const HeaderSpec& spec) {
    HeaderParts& h = *headerParts_;
    const QPalette& pal = content_->palette();
    setTextIfChanged(h.title, spec.title);
    setTextIfChanged(h.subtitle, spec.subtitle);
    h.refresh->set(spec.refreshTitle, spec.refreshSymbol, spec.loading);

    // The badges: pairing, mode, proactive switch, then the ticking Secure Access one.
    bool relayout = false;
    while (h.badges.size() < spec.badges.size()) {
        h.badges.append(new BadgeWidget(h.badgeRow));
        relayout = true;
    }
    while (h.badges.size() > spec.badges.size()) {
        discard(h.badges.takeLast());
        relayout = true;
    }
    for (int i = 0; i < spec.badges.size(); ++i)
        h.badges[i]->set(spec.badges[i]);
    if (spec.secureBadge && !h.secureBadge) {
        h.secureBadge = new BadgeWidget(h.badgeRow);
        relayout = true;
    } else if (!spec.secureBadge && h.secureBadge) {
        discard(h.secureBadge);
        h.secureBadge = nullptr;
        relayout = true;
    }
    if (h.secureBadge)
        h.secureBadge->set(*spec.secureBadge);
    secureBadge_ = h.secureBadge;
    if (relayout) {
        QList<QWidget*> order(h.badges.cbegin(), h.badges.cend());
        if (h.secureBadge)
            order.append(h.secureBadge);
        for (QWidget* badge : std::as_const(order))
            h.badgeLayout->removeWidget(badge);
        for (QWidget* badge : std::as_const(order)) {
            h.badgeLayout->addWidget(badge);
            showIfParentShown(badge);
        }
    }

    setSymbolIfChanged(h.syncIcon, spec.syncSymbol, tintColor(spec.syncTint, pal), 14);
    setTextIfChanged(h.syncCaption, spec.syncCaption);
    syncCaption_ = h.syncCaption;
    setTextIfChanged(h.autoCaption, spec.autoCaption);
    if (spec.error)
        setTextIfChanged(h.error, *spec.error);
    if (h.error->isHidden() == spec.error.has_value())
        h.error->setVisible(spec.error.has_value());
}

void CorvanePanelView::updateCard(const CardSpec& spec) {
    Card* card = static_cast<Card*>(cards_.value(spec.anchor));
    if (!card) {
        card = new Card(content_);
        card->setObjectName(spec.anchor);
        card->restyle();
        cards_.insert(spec.anchor, card);
        cardOrder_.append(spec.anchor);
        auto* column = static_cast<QVBoxLayout*>(content_->layout());
        column->insertWidget(column->count() - 1, card); // before the closing stretch
    }
    RowActions actions;
    QPointer<CorvanePanelController> controller = controller_;
    actions.secureAccess = [controller](const QString& id) {
        if (!controller)
            return;
        // Each press starts its own task; the controller refuses a second change.
        if (id == QLatin1String("activate"))
            controller->activateSecureAccess();
        else if (id == QLatin1String("renew"))
            controller->renewSecureAccess();
        else
            controller->revokeSecureAccess();
    };
    actions.plan = [controller](const PlanAction& action) {
        if (controller)
            controller->runPlanAction(action);
    };
    actions.tab = [controller](const QString& tab) {
        if (controller)
            controller->openSettingsTab(tab);
    };
    card->update(spec, actions);
}

void CorvanePanelView::indexRows() {
    rowValues_.clear();
    actionButtons_.clear();
    ticking_.clear();
    strip_ = nullptr;
    for (const QString& anchor : std::as_const(cardOrder_)) {
        const Card* card = static_cast<const Card*>(cards_.value(anchor));
        for (const RowEntry& entry : card->rows) {
            if (QLabel* value = entry.row->valueLabel()) {
                if (!rowValues_.contains(anchor + '\n' + entry.spec.title))
                    rowValues_.insert(anchor + '\n' + entry.spec.title, value);
                if (entry.spec.tick != Tick::None)
                    ticking_.append({entry.spec, value});
            }
            if (auto* strip = dynamic_cast<StripRow*>(entry.widget))
                strip_ = strip;
            if (auto* buttons = dynamic_cast<ButtonsRow*>(entry.widget))
                for (auto it = buttons->buttons().cbegin(); it != buttons->buttons().cend(); ++it)
                    actionButtons_.insert(it.key(), it.value());
        }
    }
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
    // Rows that appeared since the last layout pass must be placed (and the column
    // resized by the scroll area) before the card's position is read.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
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

#include "settings/widgets/SettingsForm.h"

#include "platform/widgets/SymbolIcon.h"

#include <QAbstractButton>
#include <QApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QToolButton>

namespace SettingsForm {

QColor colorOf(Role role, const QWidget* widget) {
    const QPalette palette = widget ? widget->palette() : QApplication::palette();
    switch (role) {
    case Role::Primary:
        return palette.color(QPalette::WindowText);
    case Role::Secondary:
        return QColor(0x6e, 0x6e, 0x73);
    case Role::Tertiary:
        return QColor(0x9a, 0x9a, 0x9f);
    case Role::Red:
        return QColor(0xd7, 0x00, 0x15);
    case Role::Green:
        return QColor(0x24, 0x8a, 0x3d);
    case Role::Orange:
        return QColor(0xe0, 0x7b, 0x00);
    case Role::Gray:
        return QColor(0x8e, 0x8e, 0x93);
    }
    return palette.color(QPalette::WindowText);
}

QScrollArea* makePage(QWidget* owner, QVBoxLayout** pageLayout) {
    auto* scroll = new QScrollArea(owner);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* page = new QWidget(scroll);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(6);
    scroll->setWidget(page);
    *pageLayout = layout;
    return scroll;
}

QVBoxLayout* addSection(QVBoxLayout* page, const QString& title, const QString& footerText, QLabel** footer) {
    auto* box = new QGroupBox(title);
    auto* layout = new QVBoxLayout(box);
    layout->setSpacing(6);
    page->addWidget(box);
    if (!footerText.isEmpty() || footer) {
        QLabel* label = caption(footerText);
        label->setContentsMargins(4, 0, 4, 8);
        page->addWidget(label);
        if (footer)
            *footer = label;
    } else {
        page->addSpacing(8);
    }
    return layout;
}

void setRole(QLabel* label, Role role) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colorOf(role, label));
    label->setPalette(palette);
}

QLabel* caption(const QString& text, Role role, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText); // errors, e-mail addresses, paths: never markup
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    setRole(label, role);
    return label;
}

QPixmap tintedSymbol(const QString& symbol, int size, const QColor& color) {
    QPixmap pixmap = symbolIcon(symbol).pixmap(QSize(size, size), 2.0);
    if (pixmap.isNull())
        return pixmap;
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    return pixmap;
}

QIcon tintedSymbolIcon(const QString& symbol, int size, const QColor& color) {
    return QIcon(tintedSymbol(symbol, size, color));
}

QPixmap dot(const QColor& color, int size) {
    QPixmap pixmap(size * 2, size * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QRectF(0, 0, size, size));
    return pixmap;
}

} // namespace SettingsForm

SegmentedPicker::SegmentedPicker(QWidget* parent)
    : QWidget(parent)
    , group_(new QButtonGroup(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    group_->setExclusive(true);
    connect(group_, &QButtonGroup::idClicked, this, [this](int id) { emit valueChosen(values_.value(id)); });
}

void SegmentedPicker::addItem(const QString& label, const QVariant& value) {
    auto* button = new QToolButton(this);
    button->setText(label);
    button->setCheckable(true);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    group_->addButton(button, int(values_.size()));
    values_.append(value);
    static_cast<QHBoxLayout*>(layout())->addWidget(button);
}

QVariant SegmentedPicker::currentValue() const {
    return values_.value(group_->checkedId());
}

void SegmentedPicker::setCurrentValue(const QVariant& value) {
    const int index = int(values_.indexOf(value));
    if (index >= 0)
        group_->button(index)->setChecked(true);
}

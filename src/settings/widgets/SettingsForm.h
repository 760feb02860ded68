#pragma once

#include <QButtonGroup>
#include <QColor>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QList>
#include <QScrollArea>
#include <QString>
#include <QVBoxLayout>
#include <QVariant>
#include <QWidget>

// Building blocks of the Settings tabs: a scrolling page of titled sections, caption
// texts in the roles the tabs use, and a segmented picker.
namespace SettingsForm {

enum class Role { Primary, Secondary, Tertiary, Red, Green, Orange, Gray };

QColor colorOf(Role role, const QWidget* widget = nullptr);

// A scroll area whose page stacks the sections from the top.
QScrollArea* makePage(QWidget* owner, QVBoxLayout** pageLayout);
// A titled section appended to the page; returns the section's own layout. With a
// footer, a caption label under the section (returned through `footer`).
QVBoxLayout* addSection(QVBoxLayout* page, const QString& title, const QString& footerText = QString(),
                        QLabel** footer = nullptr);
// A caption-size label in a colour role, wrapping.
QLabel* caption(const QString& text, Role role = Role::Secondary, QWidget* parent = nullptr);
void setRole(QLabel* label, Role role);
// The icon of a symbol drawn in one colour (symbolic icons are monochrome).
QPixmap tintedSymbol(const QString& symbol, int size, const QColor& color);
QIcon tintedSymbolIcon(const QString& symbol, int size, const QColor& color);
// A filled circle of `size` pixels in the colour.
QPixmap dot(const QColor& color, int size = 8);

} // namespace SettingsForm

// A row of exclusive buttons, one per item, carrying a value.
class SegmentedPicker : public QWidget {
    Q_OBJECT
public:
    explicit SegmentedPicker(QWidget* parent = nullptr);
    void addItem(const QString& label, const QVariant& value);
    QVariant currentValue() const;
    void setCurrentValue(const QVariant& value);
    int count() const { return int(values_.size()); }
    QAbstractButton* button(int index) const { return group_->button(index); }

signals:
    void valueChosen(const QVariant& value);

private:
    QButtonGroup* group_;
    QList<QVariant> values_;
};

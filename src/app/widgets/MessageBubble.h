#pragma once

#include "session/Models.h"

#include <QLabel>
#include <QUuid>
#include <QWidget>

class QVariantAnimation;

// How a bubble looks: its rich text, fonts, colours and sizes. The list paints
// bubbles from it, and the label laid over a bubble under the mouse (for text
// selection and links) uses the same text and width, so that nothing moves.
namespace BubbleStyle {
constexpr int kMaxWidth = 280; // the bubble
constexpr int kPaddingX = 12;  // left and right, inside the bubble
constexpr int kPaddingY = 8;   // top and bottom
constexpr int kSideSpace = 40; // at least this much on the other side
constexpr int kRadius = 14;
constexpr int kTextMaxWidth = kMaxWidth - 2 * kPaddingX;

QString html(ChatMessage::Role role, const QString& content);
QFont font(const QFont& base);
QColor fill(ChatMessage::Role role, const QPalette& palette);
QColor textColor(ChatMessage::Role role, const QPalette& palette);
QColor linkColor(ChatMessage::Role role, const QPalette& palette);
} // namespace BubbleStyle

// The text of one bubble as a selectable label whose links go to LinkRouter; laid
// over the bubble the mouse is on.
class BubbleLabel : public QLabel {
    Q_OBJECT
public:
    BubbleLabel(ChatMessage::Role role, QWidget* parent = nullptr);
    void setContent(const QString& content);

private:
    ChatMessage::Role role_;
    QString content_;
};

// Three dots in an assistant bubble, pulsing while a reply is being produced.
class TypingIndicator : public QWidget {
    Q_OBJECT
public:
    explicit TypingIndicator(QWidget* parent = nullptr);
    QSize sizeHint() const override;
    double phase() const { return phase_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    double phase_ = 0;
    QVariantAnimation* animation_ = nullptr;
};

// What the list shows while the conversation is empty.
class EmptyConversation : public QWidget {
    Q_OBJECT
public:
    explicit EmptyConversation(QWidget* parent = nullptr);
};

// A symbol drawn in one colour at the given pixel size.
QPixmap tintedSymbol(const QString& symbolName, const QColor& color, int size, qreal devicePixelRatio = 1.0);

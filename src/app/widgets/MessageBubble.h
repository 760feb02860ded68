#pragma once

#include "session/Models.h"

#include <QUuid>
#include <QWidget>

class QLabel;
class QFrame;
class QVariantAnimation;

// One row of the conversation: the message in a rounded bubble, on the right for
// the user, on the left for the assistant, never closer than 40 points to the other
// edge. Assistant text is rendered as inline markdown; a click on a link goes to
// LinkRouter.
class MessageBubble : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxWidth = 280;

    explicit MessageBubble(const ChatMessage& message, QWidget* parent = nullptr);

    QUuid messageId() const { return id_; }
    // Shows the message's current text (nothing is redone when it did not change).
    void setMessage(const ChatMessage& message);
    // The rich text shown, for tests.
    QString renderedHtml() const;
    QLabel* label() const { return label_; }

private:
    QUuid id_;
    ChatMessage::Role role_;
    QString content_;
    QFrame* frame_ = nullptr;
    QLabel* label_ = nullptr;
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

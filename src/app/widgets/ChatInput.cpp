#include "app/widgets/ChatInput.h"

#include <QKeyEvent>
#include <QTextBlock>
#include <QTextLayout>

ChatInput::ChatInput(QWidget* parent)
    : QPlainTextEdit(parent) {
    setPlaceholderText(QStringLiteral("Pose ta question…"));
    setFrameShape(QFrame::NoFrame);
    setStyleSheet(QStringLiteral("ChatInput { background: transparent; }"));
    setTabChangesFocus(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    document()->setDocumentMargin(2);
    connect(this, &QPlainTextEdit::textChanged, this, &ChatInput::fitHeight);
    fitHeight();
}

void ChatInput::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && !(event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier))) {
        emit submitted();
        event->accept();
        return;
    }
    if (enter && (event->modifiers() & Qt::ShiftModifier)) {
        insertPlainText(QStringLiteral("\n"));
        event->accept();
        return;
    }
    if (enter) {
        event->ignore(); // Control+Return is the screen's shortcut
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void ChatInput::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    fitHeight();
}

void ChatInput::fitHeight() {
    int lines = 0;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        const QTextLayout* layout = block.layout();
        lines += (layout && layout->lineCount() > 0) ? layout->lineCount() : 1;
        if (lines >= kMaxLines)
            break;
    }
    visibleLines_ = std::clamp(lines, 1, kMaxLines);
    const int height = visibleLines_ * fontMetrics().lineSpacing() +
                       2 * static_cast<int>(document()->documentMargin()) + 2 * frameWidth() + 4;
    if (height != this->height())
        setFixedHeight(height);
}

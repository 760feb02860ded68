#pragma once

#include <QPlainTextEdit>

// The chat's text field: Return sends, Shift+Return adds a line; grows from one to
// four lines with its text.
class ChatInput : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int kMaxLines = 4;

    explicit ChatInput(QWidget* parent = nullptr);
    QString draft() const { return toPlainText(); }
    // Lines shown (1 to 4).
    int visibleLines() const { return visibleLines_; }

signals:
    void submitted();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fitHeight();
    int visibleLines_ = 1;
};

#pragma once

#include <QString>

// The text being typed in the chat's field. The chat screen is made again each
// time the popover switches back to it from voice; the shell keeps one draft for
// the program's run, so that each new screen takes the text up where the last one
// left it. GUI thread.
class ChatDraft {
public:
    const QString& text() const { return text_; }
    void setText(const QString& text) { text_ = text; }

private:
    QString text_;
};

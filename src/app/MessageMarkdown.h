#pragma once

#include <QString>

#include <optional>

// The text of a message bubble as rich text for a label. Everything from the
// message is escaped: no markup of the model's ever reaches the label as markup.
namespace MessageMarkdown {

// A line longer than this, or holding more emphasis runs and link openings than
// kMaxDelimiters, is
// shown as plain text.
constexpr int kMaxLineLength = 20000;
constexpr int kMaxDelimiters = 1000;

// A user message: the text as typed, escaped; markdown signs and addresses stay
// plain text.
QString userHtml(const QString& content);

// An assistant message rendered line by line with inline markdown: emphasis
// (*x*, _x_), strong (**x**, __x__), strikethrough (~x~, ~~x~~), code spans,
// links [text](target), autolinks <scheme:…>, images ![alt](source) shown as
// their alt text, and character references (&amp;, &#233;, &#xE9;) decoded. Block syntax (headings, lists,
// quotes, fences) stays literal; every line break and every blank line is kept.
QString assistantHtml(const QString& content);

// One line of inline markdown as rich text, or nothing when the line is
// malformed (too long, too many emphasis signs), so that it shows as plain text.
std::optional<QString> inlineHtml(const QString& line);

// The text escaped for rich text (&, <, >, ").
QString escaped(const QString& text);

} // namespace MessageMarkdown

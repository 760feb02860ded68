#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// A small reader of RTF documents that keeps only their text: groups, paragraph
// and line breaks, tabs, hex escapes in the document's code page, Unicode escapes
// with their skip count, and the destinations that hold no body text (font and
// colour tables, style sheets, document information, pictures, field
// instructions, headers, footers and every "\*" destination) left out.
namespace RtfReader {

// The plain text of an RTF document; nothing when the bytes are not RTF (they must
// begin with "{\rtf", after optional white space). A truncated document yields the
// text read up to where it stops. Never throws.
std::optional<QString> plainText(const QByteArray& rtf);

} // namespace RtfReader

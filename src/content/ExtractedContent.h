#pragma once

#include <QString>

// The text of one document, made by DocumentExtractor.
struct ExtractedContent {
    QString text;           // at most the requested number of user-perceived characters
    bool truncated = false; // the document held more text than that and it was cut
    qint64 bytesRead = 0;   // PDF: UTF-8 bytes of `text`; RTF and plain text: bytes of the file read

    bool operator==(const ExtractedContent&) const = default;
};

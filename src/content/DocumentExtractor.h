#pragma once

#include "content/ExtractedContent.h"
#include "platform/Errors.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QUrl>

#include <utility>

// Why a document's text could not be extracted.
class ExtractorError : public OmbrixError {
public:
    enum class Kind { UnsupportedFormat, TooLarge, ReadFailed };

    static ExtractorError unsupportedFormat(QString typeOrExtension);
    static ExtractorError tooLarge(qint64 size);
    static ExtractorError readFailed(QString reason);

    Kind kind() const { return kind_; }
    QString value() const { return value_; } // the type or extension, or the reason
    qint64 size() const { return size_; }
    // "Format non supporté (…)", "Fichier trop gros (… Ko)", "Lecture: …".
    QString description() const override;

private:
    ExtractorError(Kind kind, QString value, qint64 size)
        : kind_(kind)
        , value_(std::move(value))
        , size_(size) {}
    Kind kind_;
    QString value_;
    qint64 size_ = 0;
};

// Turns one local file into plain text: PDF through the PDF module (in a decoder
// worker, see Decoding.h: a PDF it fails on throws DecodeError), RTF through
// RtfReader, and the plain-text formats by decoding their bytes. Every function
// blocks while it reads: run it off the GUI thread.
namespace DocumentExtractor {

// The largest file read, in bytes (10 MiB).
constexpr qint64 maxFileSize = 10 * 1024 * 1024;

// The text of the file, cut to `maxChars` user-perceived characters (a negative
// limit counts as zero). Only regular files are read, never more than
// maxFileSize + 1 bytes. Throws ExtractorError (ModuleError for a PDF when the PDF
// module is missing).
// `typeName`, when given, is the name whose extension decides the type (the name a
// document was handed out under, when `path` opens it through a descriptor).
ExtractedContent extract(const QString& path, qint64 maxChars, const QString& typeName = QString());
// The error extract() gives for a document named `name` that cannot be opened
// (an errno value).
ExtractorError openFailure(int errorNumber, const QString& name);
ExtractedContent extract(const QUrl& fileUrl, qint64 maxChars);

// In the decoder worker: the text of the PDF held in `bytes`, cut as extract() cuts.
ExtractedContent pdfText(const QByteArray& bytes, qint64 maxChars);

// The extensions read as plain text whatever their registered type (lower case).
const QSet<QString>& plainTextExtensions();

// Bytes to text: UTF-8 (a leading byte-order mark dropped); UTF-16 only when the
// bytes begin with a byte-order mark; otherwise Latin-1.
QString decodeText(const QByteArray& bytes);

// The first `maxChars` user-perceived characters of the text (Characters::left),
// and whether anything was cut.
std::pair<QString, bool> cutToCharacters(const QString& text, qint64 maxChars);

} // namespace DocumentExtractor

#pragma once

#include "platform/Errors.h"
#include "wire/BridgeResults.h"

#include <QImage>
#include <QString>

#include <functional>
#include <utility>

// Text recognition of one image or PDF file with Tesseract (French and English,
// the LSTM engine, dictionaries on). A PDF page keeps its own text layer when it
// has one; only pages without usable text are drawn and recognised. Everything
// here blocks for the whole file: call it off the GUI thread. No state is shared
// between calls, so calls may run on several threads at once.
namespace OcrEngine {

class OcrError : public OmbrixError {
public:
    enum class Kind { Unsupported, VisionFailure, NoPages };

    static OcrError unsupported(QString extension) {
        return OcrError(Kind::Unsupported, std::move(extension));
    }
    static OcrError visionFailure(QString cause) { return OcrError(Kind::VisionFailure, std::move(cause)); }
    static OcrError noPages() { return OcrError(Kind::NoPages, {}); }

    Kind kind() const { return kind_; }
    QString payload() const { return payload_; }
    QString description() const override;

private:
    OcrError(Kind kind, QString payload)
        : kind_(kind)
        , payload_(std::move(payload)) {}
    Kind kind_;
    QString payload_;
};

// The Tesseract languages, in order, and the names under which results report them.
inline constexpr const char* kTesseractLanguages = "fra+eng";

// Separators of recognised lines and of PDF pages.
inline constexpr char16_t kLineSeparator[] = u"\n";
inline constexpr char16_t kPageSeparator[] = u"\n\f\n";

// The most pages of a PDF looked at (about a second each when they are scans): the
// text of a longer PDF ends with a note saying where recognition stopped.
inline constexpr int kMaxPdfPages = 50;

// The resolution at which a PDF page without text is drawn (200 dots per inch).
inline constexpr double kPdfRenderDpi = 200.0;

// The file's text, recognised by a decoder worker (Decoding.h). The type follows the lower-cased extension
// alone: "pdf", or an image ("png", "jpg", "jpeg", "heic", "heif", "tiff", "tif", "gif", "bmp"), taken from
// `typeName` when given (the name a document was handed out under, when `path` is where its link leads), else
// from `path`. Throws OcrError: a PDF page whose recognition fails is left out, but a recogniser that cannot
// start at all (language data missing) is an error, and so is a missing module (ModuleError) and a file the
// worker fails on (DecodeError).
BridgeOcrResult recognize(const QString& path, const QString& typeName = QString());

// In the decoder worker: the text and languages of a file's bytes, a PDF or an
// image; `pageStarts` is called as each PDF page begins. Throws as recognize().
std::pair<QString, QStringList> recognizeBytes(const QByteArray& bytes, bool pdf,
                                               const std::function<void()>& pageStarts);

// In the decoder worker, before it is sealed: sets up the one recogniser every
// later recognition uses (its language data is read now).
void prepareRecognizer();

// The text of one bitmap (lines joined by a line feed) and the languages applied.
// Throws OcrError::visionFailure when the recogniser cannot run.
std::pair<QString, QStringList> ocr(const QImage& image);

} // namespace OcrEngine

#include "content/OcrEngine.h"

#include "content/Decoding.h"
#include "content/ImageFiles.h"
#include "content/OcrModule.h"
#include "content/PdfFiles.h"
#include "platform/Localization.h"
#include "platform/Modules.h"

#include <QFileInfo>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

OcrModule& ocrModule() {
    return Modules::get<OcrModule>("ocr", loc("La reconnaissance de texte"));
}

namespace OcrEngine {

QString OcrError::description() const {
    switch (kind_) {
    case Kind::Unsupported:
        return loc("Format non supporté: ") + payload_;
    case Kind::VisionFailure:
        return loc("VisionKit a échoué: ") + payload_;
    case Kind::NoPages:
        return loc("Le PDF est vide.");
    }
    return QString();
}

namespace {

const QStringList kImageExtensions{QStringLiteral("png"),  QStringLiteral("jpg"),  QStringLiteral("jpeg"),
                                   QStringLiteral("heic"), QStringLiteral("heif"), QStringLiteral("tiff"),
                                   QStringLiteral("tif"),  QStringLiteral("gif"),  QStringLiteral("bmp")};

// Tesseract's language codes and the names the results carry.
QString reportedLanguage(const std::string& code) {
    if (code == "fra")
        return QStringLiteral("fr-FR");
    if (code == "eng")
        return QStringLiteral("en-US");
    return QString::fromStdString(code);
}

// The recogniser a decoder worker sets up before it is sealed (its language data
// can no longer be opened after), and whether that failed.
struct PreparedEngine {
    std::unique_ptr<TextRecognizer> engine;
    bool tried = false;
};
PreparedEngine& preparedEngine() {
    static PreparedEngine prepared;
    return prepared;
}

// One recogniser, set up on first use and reused for the pages of a file.
class Recognizer {
public:
    // Whether the recogniser could start (true until it was tried).
    bool canStart() const { return !initFailed_; }

    // `dpi` is the bitmap's resolution when known (0: Tesseract estimates it).
    std::pair<QString, QStringList> recognize(const QImage& image, int dpi = 0) {
        TextRecognizer& engine = recognizer();
        const QImage gray = toGrayscale(image);
        if (gray.isNull())
            throw OcrError::visionFailure(loc("impossible de préparer l'image"));
        QStringList lines;
        if (!engine.recognize(gray, dpi, &lines))
            throw OcrError::visionFailure(loc("la reconnaissance du texte a échoué"));
        return {lines.join(QString::fromUtf16(kLineSeparator)), languages_};
    }

private:
    TextRecognizer& recognizer() {
        if (current_)
            return *current_;
        PreparedEngine& prepared = preparedEngine();
        if (!prepared.tried)
            engine_ = ocrModule().recognizer(kTesseractLanguages);
        TextRecognizer* engine = prepared.tried ? prepared.engine.get() : engine_.get();
        if (!engine) {
            initFailed_ = true;
            throw OcrError::visionFailure(loc("les langues de reconnaissance (fra+eng) sont introuvables"));
        }
        for (const QString& code : engine->languages())
            languages_ << reportedLanguage(code.toStdString());
        current_ = engine;
        return *current_;
    }

    // Transparent parts are laid on white, then the image becomes 8-bit gray.
    static QImage toGrayscale(const QImage& image) {
        if (image.isNull())
            return QImage();
        if (!image.hasAlphaChannel())
            return image.convertToFormat(QImage::Format_Grayscale8);
        QImage flat(image.size(), QImage::Format_RGB32);
        if (flat.isNull())
            return QImage();
        flat.fill(Qt::white);
        QPainter painter(&flat);
        painter.drawImage(0, 0, image);
        painter.end();
        return flat.convertToFormat(QImage::Format_Grayscale8);
    }

    std::unique_ptr<TextRecognizer> engine_;
    TextRecognizer* current_ = nullptr;
    QStringList languages_;
    bool initFailed_ = false;
};

std::pair<QString, QStringList> recognizeImage(const QByteArray& bytes) {
    const QImage image = ImageFiles::load(bytes);
    if (image.isNull())
        throw OcrError::visionFailure(loc("impossible de charger l'image"));
    Recognizer recognizer;
    return recognizer.recognize(image);
}

std::pair<QString, QStringList> recognizePdf(const QByteArray& bytes,
                                             const std::function<void()>& pageStarts) {
    const std::unique_ptr<PdfDocument> document = PdfFiles::open(bytes);
    if (!document || document->numPages() < 1)
        throw OcrError::noPages();
    QStringList pageTexts;
    std::set<QString> languages;
    Recognizer recognizer;
    const int pageCount = document->numPages();
    for (int index = 0; index < std::min(pageCount, kMaxPdfPages); ++index) {
        if (pageStarts)
            pageStarts();
        const std::unique_ptr<PdfDocumentPage> page = document->page(index);
        if (!page)
            continue;
        const QString layer = page->text();
        if (!layer.trimmed().isEmpty()) {
            pageTexts << layer;
            continue;
        }
        const double dpi = PdfFiles::cappedResolution(page->pageSizeF(), kPdfRenderDpi);
        const QImage bitmap = PdfFiles::render(*page, kPdfRenderDpi);
        if (bitmap.isNull())
            continue;
        try {
            auto [text, pageLanguages] = recognizer.recognize(bitmap, int(std::lround(dpi)));
            if (!text.isEmpty())
                pageTexts << text;
            languages.insert(pageLanguages.cbegin(), pageLanguages.cend());
        } catch (const OcrError&) {
            // A page that cannot be recognised is left out; without a recogniser
            // no scanned page can be, and an empty success would hide it.
            if (!recognizer.canStart())
                throw;
        }
    }
    if (pageCount > kMaxPdfPages)
        pageTexts << loc("[Reconnaissance arrêtée après %1 pages sur %2.]").arg(kMaxPdfPages).arg(pageCount);
    return {pageTexts.join(QString::fromUtf16(kPageSeparator)),
            QStringList(languages.cbegin(), languages.cend())};
}

} // namespace

BridgeOcrResult recognize(const QString& path, const QString& typeName) {
    const QFileInfo info(path);
    const QString extension = QFileInfo(typeName.isEmpty() ? path : typeName).suffix().toLower();
    const qint64 bytes = info.exists() ? info.size() : 0;
    const bool pdf = extension == QLatin1String("pdf");
    if (!pdf && !kImageExtensions.contains(extension))
        throw OcrError::unsupported(extension);
    // Only regular files are read: a FIFO would block for ever.
    const std::optional<Decoding::OpenedFile> file =
        info.isFile() ? std::make_optional<Decoding::OpenedFile>(path) : std::nullopt;
    if (!file || file->fd() < 0) {
        if (pdf)
            throw OcrError::noPages();
        throw OcrError::visionFailure(loc("impossible de charger l'image"));
    }
    // A page's deadline; a PDF renews it at each page.
    DecoderProtocol::Request request;
    request.op = DecoderProtocol::Op::Ocr;
    request.pdf = pdf;
    DecoderProtocol::Answer answer =
        Decoding::run(Decoding::Profile::Ocr, request, file->fd(), Decoding::displayName(path, typeName));
    return BridgeOcrResult{std::move(answer.text), std::move(answer.languages), bytes};
}

std::pair<QString, QStringList> recognizeBytes(const QByteArray& bytes, bool pdf,
                                               const std::function<void()>& pageStarts) {
    return pdf ? recognizePdf(bytes, pageStarts) : recognizeImage(bytes);
}

void prepareRecognizer() {
    // Without the module, nothing is prepared: each recognition reports it.
    OcrModule& module = ocrModule();
    PreparedEngine& prepared = preparedEngine();
    prepared.engine = module.recognizer(kTesseractLanguages);
    prepared.tried = true;
}

std::pair<QString, QStringList> ocr(const QImage& image) {
    Recognizer recognizer;
    return recognizer.recognize(image);
}

} // namespace OcrEngine

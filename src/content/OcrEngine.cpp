#include "content/OcrEngine.h"

#include "content/ImageFiles.h"
#include "content/OcrModule.h"
#include "content/PdfFiles.h"
#include "platform/Localization.h"
#include "platform/Modules.h"

#include <QFileInfo>
#include <QPainter>

#include <algorithm>
#include <cmath>
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
        if (engine_)
            return *engine_;
        std::unique_ptr<TextRecognizer> engine = ocrModule().recognizer(kTesseractLanguages);
        if (!engine) {
            initFailed_ = true;
            throw OcrError::visionFailure(loc("les langues de reconnaissance (fra+eng) sont introuvables"));
        }
        for (const QString& code : engine->languages())
            languages_ << reportedLanguage(code.toStdString());
        engine_ = std::move(engine);
        return *engine_;
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
    QStringList languages_;
    bool initFailed_ = false;
};

BridgeOcrResult recognizeImage(const QString& path, qint64 bytesProcessed) {
    // Only regular files are read: a FIFO would block for ever.
    const QImage image = QFileInfo(path).isFile() ? ImageFiles::load(path) : QImage();
    if (image.isNull())
        throw OcrError::visionFailure(loc("impossible de charger l'image"));
    Recognizer recognizer;
    auto [text, languages] = recognizer.recognize(image);
    return BridgeOcrResult{text, languages, bytesProcessed};
}

BridgeOcrResult recognizePdf(const QString& path, qint64 bytesProcessed) {
    if (!QFileInfo(path).isFile())
        throw OcrError::noPages();
    const std::unique_ptr<PdfDocument> document = PdfFiles::open(path);
    if (!document || document->numPages() < 1)
        throw OcrError::noPages();
    QStringList pageTexts;
    std::set<QString> languages;
    Recognizer recognizer;
    const int pageCount = document->numPages();
    for (int index = 0; index < std::min(pageCount, kMaxPdfPages); ++index) {
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
    return BridgeOcrResult{pageTexts.join(QString::fromUtf16(kPageSeparator)),
                           QStringList(languages.cbegin(), languages.cend()), bytesProcessed};
}

} // namespace

BridgeOcrResult recognize(const QString& path, const QString& typeName) {
    const QFileInfo info(path);
    const QString extension = QFileInfo(typeName.isEmpty() ? path : typeName).suffix().toLower();
    const qint64 bytes = info.exists() ? info.size() : 0;
    if (extension == QLatin1String("pdf"))
        return recognizePdf(path, bytes);
    if (kImageExtensions.contains(extension))
        return recognizeImage(path, bytes);
    throw OcrError::unsupported(extension);
}

std::pair<QString, QStringList> ocr(const QImage& image) {
    Recognizer recognizer;
    return recognizer.recognize(image);
}

} // namespace OcrEngine

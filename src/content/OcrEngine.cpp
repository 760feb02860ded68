#include "content/OcrEngine.h"

#include "content/ImageFiles.h"
#include "content/PdfFiles.h"
#include "platform/Localization.h"

#include <QFileInfo>
#include <QPainter>

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

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

void prepareTesseract() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Tesseract's messages (resolution estimates and the like) go nowhere.
        tesseract::TessBaseAPI api;
        api.SetVariable("debug_file", "/dev/null");
        // Tesseract's OpenMP regions busy-wait on every core, which makes a page
        // several times slower as soon as the machine is busy with anything else:
        // the regions run on the recognising thread alone. (Looked up at run time:
        // the OpenMP runtime comes with Tesseract's own libraries.)
        using SetMaxActiveLevels = void (*)(int);
        if (auto setLevels =
                reinterpret_cast<SetMaxActiveLevels>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels")))
            setLevels(0);
    });
}

// One Tesseract instance, set up on first use and reused for the pages of a file.
class Recognizer {
public:
    // `dpi` is the bitmap's resolution when known (0: Tesseract estimates it).
    // Whether the recogniser could start (true until it was tried).
    bool canStart() const { return !initFailed_; }

    std::pair<QString, QStringList> recognize(const QImage& image, int dpi = 0) {
        tesseract::TessBaseAPI& tess = api();
        const QImage gray = toGrayscale(image);
        if (gray.isNull())
            throw OcrError::visionFailure(loc("impossible de préparer l'image"));
        tess.SetImage(gray.constBits(), gray.width(), gray.height(), 1, int(gray.bytesPerLine()));
        if (dpi > 0)
            tess.SetSourceResolution(dpi);
        if (tess.Recognize(nullptr) != 0) {
            tess.Clear();
            throw OcrError::visionFailure(loc("la reconnaissance du texte a échoué"));
        }
        QStringList lines;
        std::unique_ptr<tesseract::ResultIterator> iterator(tess.GetIterator());
        if (iterator) {
            do {
                std::unique_ptr<char[]> raw(iterator->GetUTF8Text(tesseract::RIL_TEXTLINE));
                if (!raw)
                    continue;
                QString line = QString::fromUtf8(raw.get());
                while (!line.isEmpty() &&
                       (line.back() == QLatin1Char('\n') || line.back() == QLatin1Char(' ')))
                    line.chop(1);
                if (!line.trimmed().isEmpty())
                    lines << line;
            } while (iterator->Next(tesseract::RIL_TEXTLINE));
        }
        tess.Clear();
        return {lines.join(QString::fromUtf16(kLineSeparator)), languages_};
    }

private:
    tesseract::TessBaseAPI& api() {
        if (api_)
            return *api_;
        prepareTesseract();
        auto api = std::make_unique<tesseract::TessBaseAPI>();
        if (api->Init(nullptr, kTesseractLanguages, tesseract::OEM_LSTM_ONLY) != 0) {
            initFailed_ = true;
            throw OcrError::visionFailure(loc("les langues de reconnaissance (fra+eng) sont introuvables"));
        }
        api->SetPageSegMode(tesseract::PSM_AUTO);
        std::vector<std::string> loaded;
        api->GetLoadedLanguagesAsVector(&loaded);
        for (const std::string& code : loaded)
            languages_ << reportedLanguage(code);
        api_ = std::move(api);
        return *api_;
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

    std::unique_ptr<tesseract::TessBaseAPI> api_;
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
    const std::unique_ptr<Poppler::Document> document = PdfFiles::open(path);
    if (!document || document->numPages() < 1)
        throw OcrError::noPages();
    QStringList pageTexts;
    std::set<QString> languages;
    Recognizer recognizer;
    const int pageCount = document->numPages();
    for (int index = 0; index < std::min(pageCount, kMaxPdfPages); ++index) {
        const std::unique_ptr<Poppler::Page> page = document->page(index);
        if (!page)
            continue;
        const QString layer = page->text(QRectF());
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

// The text recognition module: Tesseract and Leptonica behind the interface of
// content/OcrModule.h. Links them and Qt only.
#include "content/OcrModule.h"
#include "platform/ModuleExport.h"

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <dlfcn.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct PixDeleter {
    void operator()(PIX* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<PIX, PixDeleter>;

class TesseractRecognizer final : public TextRecognizer {
public:
    explicit TesseractRecognizer(std::unique_ptr<tesseract::TessBaseAPI> api)
        : api_(std::move(api)) {
        std::vector<std::string> loaded;
        api_->GetLoadedLanguagesAsVector(&loaded);
        for (const std::string& code : loaded)
            languages_ << QString::fromStdString(code);
    }

    bool recognize(const QImage& gray, int dpi, QStringList* lines) override {
        api_->SetImage(gray.constBits(), gray.width(), gray.height(), 1, int(gray.bytesPerLine()));
        if (dpi > 0)
            api_->SetSourceResolution(dpi);
        if (api_->Recognize(nullptr) != 0) {
            api_->Clear();
            return false;
        }
        std::unique_ptr<tesseract::ResultIterator> iterator(api_->GetIterator());
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
                    *lines << line;
            } while (iterator->Next(tesseract::RIL_TEXTLINE));
        }
        api_->Clear();
        return true;
    }

    QStringList languages() const override { return languages_; }

private:
    std::unique_ptr<tesseract::TessBaseAPI> api_;
    QStringList languages_;
};

class TesseractModule final : public OcrModule {
public:
    TesseractModule() {
        // Leptonica's and Tesseract's messages (resolution estimates and the like) go nowhere.
        setMsgSeverity(L_SEVERITY_NONE);
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
    }

    std::unique_ptr<TextRecognizer> recognizer(const char* languages) override {
        auto api = std::make_unique<tesseract::TessBaseAPI>();
        if (api->Init(nullptr, languages, tesseract::OEM_LSTM_ONLY) != 0)
            return nullptr;
        api->SetPageSegMode(tesseract::PSM_AUTO);
        return std::make_unique<TesseractRecognizer>(std::move(api));
    }

    QImage readImage(const QByteArray& file, qint64 maxPixels) override {
        const auto* bytes = reinterpret_cast<const l_uint8*>(file.constData());
        const size_t size = size_t(file.size());
        l_int32 format = 0, width = 0, height = 0, bps = 0, spp = 0, colormap = 0;
        if (size < 12 || pixReadHeaderMem(bytes, size, &format, &width, &height, &bps, &spp, &colormap) != 0)
            return QImage();
        if (width <= 0 || height <= 0 || qint64(width) * height > maxPixels)
            return QImage();
        PixPtr pix(pixReadMem(bytes, size));
        if (!pix)
            return QImage();
        PixPtr rgba(pixConvertTo32(pix.get()));
        if (!rgba)
            return QImage();
        const int w = int(pixGetWidth(rgba.get()));
        const int h = int(pixGetHeight(rgba.get()));
        const l_int32 wordsPerLine = pixGetWpl(rgba.get());
        const l_uint32* data = pixGetData(rgba.get());
        QImage image(w, h, QImage::Format_RGB32);
        if (image.isNull())
            return QImage();
        for (int y = 0; y < h; ++y) {
            const l_uint32* source = data + qint64(y) * wordsPerLine;
            auto* target = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < w; ++x)
                target[x] = 0xFF000000u | (source[x] >> 8); // RRGGBBAA to AARRGGBB
        }
        return image;
    }
};

} // namespace

OMBRIX_MODULE_EXPORT(ocr) {
    static TesseractModule module;
    return &module;
}

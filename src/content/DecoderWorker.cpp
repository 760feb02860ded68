#include "content/DecoderWorker.h"

#include "content/DecoderProtocol.h"
#include "content/Decoding.h"
#include "content/DocumentExtractor.h"
#include "content/HeifModule.h"
#include "content/OcrEngine.h"
#include "content/OcrModule.h"
#include "content/PdfFiles.h"
#include "content/PhotoLibrary.h"
#include "content/PhotoMetadataModule.h"
#include "content/Thumbnails.h"
#include "platform/Modules.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>

#include <new>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DecoderWorker {

namespace {

QString currentProfile;

// The file behind a descriptor, mapped read-only (nothing copied; pages come in as
// they are read).
class MappedFile {
public:
    explicit MappedFile(int fd) {
        struct stat info {};
        if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0)
            return;
        size_ = size_t(info.st_size);
        void* address = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (address == MAP_FAILED) {
            size_ = 0;
            return;
        }
        address_ = address;
    }
    ~MappedFile() {
        if (address_)
            ::munmap(address_, size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    // The bytes, valid while this lives.
    QByteArray bytes() const {
        return address_ ? QByteArray::fromRawData(static_cast<const char*>(address_), qsizetype(size_))
                        : QByteArray();
    }

private:
    void* address_ = nullptr;
    size_t size_ = 0;
};

void loadQuietly(const std::function<void()>& load) {
    try {
        load();
    } catch (const ModuleError&) {
        // Reported by the requests that need it.
    }
}

// Qt loads an image format's plugin on its first use: every one is loaded now.
void loadImagePlugins() {
    for (const QByteArray& format : QImageReader::supportedImageFormats()) {
        QBuffer empty;
        QImageReader reader(&empty, format);
        (void)reader.canRead();
    }
}

QVariantMap done(QVariantMap answer = {}) {
    answer.insert(QStringLiteral("type"), QStringLiteral("done"));
    return answer;
}

QVariantMap handle(int socket, const QVariantMap& request, int fd) {
    const QString op = request.value(QStringLiteral("op")).toString();
    const MappedFile file(fd);
    const QByteArray bytes = file.bytes();
    if (op == QLatin1String("thumbnail")) {
        const QImage image = Thumbnails::fromBytes(bytes, request.value(QStringLiteral("pdf")).toBool(),
                                                   request.value(QStringLiteral("box")).toInt());
        return done({{QStringLiteral("image"), DecoderProtocol::packImage(image)}});
    }
    if (op == QLatin1String("ocr")) {
        const auto [text, languages] =
            OcrEngine::recognizeBytes(bytes, request.value(QStringLiteral("pdf")).toBool(), [socket] {
                const qint64 budget = Decoding::kOcrPageDeadline.count();
                DecoderProtocol::send(socket, {{QStringLiteral("type"), QStringLiteral("progress")},
                                               {QStringLiteral("budgetMs"), budget}});
            });
        return done({{QStringLiteral("text"), text}, {QStringLiteral("languages"), languages}});
    }
    if (op == QLatin1String("pdfText")) {
        const ExtractedContent content =
            DocumentExtractor::pdfText(bytes, request.value(QStringLiteral("maxChars")).toLongLong());
        return done({{QStringLiteral("text"), content.text},
                     {QStringLiteral("truncated"), content.truncated},
                     {QStringLiteral("bytesRead"), content.bytesRead}});
    }
    if (op == QLatin1String("photoExif"))
        return done(PhotoLibrary::exifFromBytes(bytes));
    return {{QStringLiteral("type"), QStringLiteral("error")},
            {QStringLiteral("error"), QStringLiteral("message")},
            {QStringLiteral("message"), QStringLiteral("Requête inconnue du décodeur : ") + op}};
}

QVariantMap answerTo(int socket, const QVariantMap& request, int fd) {
    try {
        return handle(socket, request, fd);
    } catch (const OcrEngine::OcrError& error) {
        return error.toVariant();
    } catch (const ExtractorError& error) {
        return error.toVariant();
    } catch (const ModuleError& error) {
        return {{QStringLiteral("type"), QStringLiteral("error")},
                {QStringLiteral("error"), QStringLiteral("module")},
                {QStringLiteral("feature"), error.feature()},
                {QStringLiteral("module"), error.module()},
                {QStringLiteral("detail"), error.detail()}};
    } catch (const std::bad_alloc&) {
        // Out of memory: ended as if it had crashed (the program words it).
        ::_exit(3);
    } catch (...) {
        return {{QStringLiteral("type"), QStringLiteral("error")},
                {QStringLiteral("error"), QStringLiteral("message")},
                {QStringLiteral("message"), describeException(std::current_exception())}};
    }
}

} // namespace

bool prepare(const QString& profile) {
    currentProfile = profile;
    const bool images = profile == QLatin1String("images");
    const bool pdf = profile == QLatin1String("pdf");
    const bool ocr = profile == QLatin1String("ocr");
    const bool photos = profile == QLatin1String("photos");
    if (!images && !pdf && !ocr && !photos)
        return false;
    if (images || ocr || photos)
        loadQuietly([] { heifModule(); });
    if (images || ocr)
        loadQuietly([] { ocrModule(); });
    if (pdf || ocr) {
        loadQuietly([] {
            // Poppler sets itself up on its first document.
            pdfModule();
            (void)pdfModule().load(QByteArrayLiteral("%PDF-1.4\n%%EOF\n"));
        });
    }
    if (photos)
        loadQuietly([] { photoMetadataModule(); });
    if (images || ocr)
        loadImagePlugins();
    if (ocr) {
        loadQuietly([] { OcrEngine::prepareRecognizer(); });
    }
    return true;
}

void serve(int socket) {
    if (!DecoderProtocol::send(socket, {{QStringLiteral("type"), QStringLiteral("ready")}}))
        return;
    for (;;) {
        int fd = -1;
        const std::optional<QVariantMap> request = DecoderProtocol::receive(socket, -1, &fd);
        if (!request)
            return;
        const QVariantMap answer = answerTo(socket, *request, fd);
        if (fd >= 0)
            ::close(fd);
        if (!DecoderProtocol::send(socket, answer))
            return;
    }
}

} // namespace DecoderWorker

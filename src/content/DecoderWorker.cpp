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
#include "platform/Characters.h"
#include "platform/Modules.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>

#include <algorithm>
#include <new>
#include <tuple>

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

using DecoderProtocol::Answer;
using DecoderProtocol::Op;
using DecoderProtocol::Request;

Answer handle(int socket, const Request& request, int fd) {
    const MappedFile file(fd);
    const QByteArray bytes = file.bytes();
    Answer answer;
    answer.kind = Answer::Kind::Done;
    answer.number = request.number;
    answer.op = request.op;
    switch (request.op) {
    case Op::Thumbnail:
        answer.image = Thumbnails::fromBytes(bytes, request.pdf, request.box);
        break;
    case Op::Ocr: {
        Answer progress;
        progress.kind = Answer::Kind::Progress;
        progress.number = request.number;
        const QByteArray frame = DecoderProtocol::encodeAnswer(progress);
        std::tie(answer.text, answer.languages) = OcrEngine::recognizeBytes(
            bytes, request.pdf, [socket, &frame] { DecoderProtocol::sendFrame(socket, frame); });
        break;
    }
    case Op::PdfText: {
        const ExtractedContent content = DocumentExtractor::pdfText(bytes, request.maxChars);
        answer.text = content.text;
        answer.truncated = content.truncated;
        answer.bytesRead = content.bytesRead;
        // Characters of many code points each could weigh more than the program
        // takes for that many characters: cut to its bound (never inside a character).
        const qint64 bound = DecoderProtocol::maxTextBytes(request.maxChars);
        if (answer.bytesRead > bound) {
            // A UTF-16 unit is at most 3 bytes of UTF-8.
            answer.text = Characters::fit(answer.text, bound / 3);
            answer.truncated = true;
            answer.bytesRead = answer.text.toUtf8().size();
        }
        break;
    }
    case Op::PhotoExif:
        answer.exif = PhotoLibrary::exifFromBytes(bytes);
        break;
    }
    return answer;
}

Answer answerTo(int socket, const Request& request, int fd) {
    try {
        return handle(socket, request, fd);
    } catch (const std::bad_alloc&) {
        // Out of memory: ended as if it had crashed (the program words it).
        ::_exit(3);
    } catch (...) {
        Answer answer;
        answer.kind = Answer::Kind::Error;
        answer.number = request.number;
        const std::optional<DecoderProtocol::Failure> failure =
            DecoderProtocol::failureOf(std::current_exception());
        if (failure) {
            answer.failure = *failure;
        } else {
            answer.failure.source = DecoderProtocol::Failure::Source::Message;
            answer.failure.first = describeException(std::current_exception());
        }
        return answer;
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
    Answer ready;
    ready.kind = Answer::Kind::Ready;
    if (!DecoderProtocol::sendFrame(socket, DecoderProtocol::encodeAnswer(ready)))
        return;
    for (;;) {
        int fd = -1;
        const std::optional<Request> request = DecoderProtocol::receiveRequest(socket, &fd);
        if (!request)
            return;
        const Answer answer = answerTo(socket, *request, fd);
        if (fd >= 0)
            ::close(fd);
        // An answer over its operation's bound is never sent: the program takes
        // the silence for a failure.
        const QByteArray body = DecoderProtocol::encodeAnswer(answer);
        const DecoderProtocol::Operation* operation = DecoderProtocol::operation(request->op);
        if (body.size() > std::max(operation->maxAnswerBytes, DecoderProtocol::kMaxErrorFrameBytes))
            return;
        if (!DecoderProtocol::sendFrame(socket, body))
            return;
    }
}

} // namespace DecoderWorker

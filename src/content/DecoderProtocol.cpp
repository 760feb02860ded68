#include "content/DecoderProtocol.h"

#include "content/Decoding.h"
#include "content/DocumentExtractor.h"
#include "content/OcrEngine.h"
#include "platform/Characters.h"
#include "platform/Modules.h"

#include <QTimeZone>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace DecoderProtocol {

namespace {

constexpr qint64 kSmallAnswerBytes = 1024;
constexpr qsizetype kRequestBytes = 1 + 4 + 1 + 1 + 4 + 8;

const Operation kOperations[] = {
    {Op::Thumbnail, "thumbnail", false, Decoding::kDecodeDeadline, Decoding::kDecodeDeadline,
     kMaxImageBytes + kSmallAnswerBytes},
    {Op::Ocr, "ocr", true, Decoding::kOcrPageDeadline, Decoding::kProgressCap, kMaxFrameBytes},
    {Op::PdfText, "pdfText", false, Decoding::kDecodeDeadline, Decoding::kDecodeDeadline, kMaxFrameBytes},
    {Op::PhotoExif, "photoExif", false, Decoding::kDecodeDeadline, Decoding::kDecodeDeadline,
     kSmallAnswerBytes},
};

// The pixel formats an image may cross in, by their number on the wire.
constexpr std::pair<quint8, QImage::Format> kImageFormats[] = {
    {1, QImage::Format_RGB32},
    {2, QImage::Format_ARGB32},
    {3, QImage::Format_ARGB32_Premultiplied},
    {4, QImage::Format_Grayscale8},
};

std::optional<quint8> wireFormat(QImage::Format format) {
    for (const auto& [number, known] : kImageFormats)
        if (known == format)
            return number;
    return std::nullopt;
}

std::optional<QImage::Format> imageFormat(quint8 number) {
    for (const auto& [known, format] : kImageFormats)
        if (known == number)
            return format;
    return std::nullopt;
}

// A date as its wall-clock parts: a date taken "in local time" stays local time
// in the program's zone.
enum class DateZone : quint8 { Local = 0, Offset = 1 };
constexpr qint32 kMaxOffsetSeconds = 14 * 3600;

class Writer {
public:
    void u8(quint8 value) { bytes_.append(char(value)); }
    void u32(quint32 value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes_.append(char(value >> shift));
    }
    void i32(qint32 value) { u32(quint32(value)); }
    void i64(qint64 value) {
        u32(quint32(quint64(value) >> 32));
        u32(quint32(quint64(value)));
    }
    void f64(double value) {
        quint64 raw = 0;
        std::memcpy(&raw, &value, sizeof(raw));
        i64(qint64(raw));
    }
    void raw(const char* data, qsizetype size) { bytes_.append(data, size); }
    void string(const QString& value) {
        const QByteArray utf8 = value.toUtf8();
        u32(quint32(utf8.size()));
        raw(utf8.constData(), utf8.size());
    }
    QByteArray take() { return std::move(bytes_); }

private:
    QByteArray bytes_;
};

// Reads fields off a body; once a read fails every later one fails too.
class Reader {
public:
    explicit Reader(const QByteArray& bytes)
        : data_(bytes.constData())
        , left_(bytes.size()) {}
    bool ok() const { return ok_; }
    bool atEnd() const { return ok_ && left_ == 0; }
    quint8 u8() {
        const char* at = take(1);
        return at ? quint8(*at) : 0;
    }
    quint32 u32() {
        const char* at = take(4);
        if (!at)
            return 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(at);
        return quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 | bytes[3];
    }
    qint32 i32() { return qint32(u32()); }
    qint64 i64() {
        const quint64 high = u32();
        const quint64 low = u32();
        return qint64(high << 32 | low);
    }
    double f64() {
        const quint64 raw = quint64(i64());
        double value = 0;
        std::memcpy(&value, &raw, sizeof(value));
        return value;
    }
    bool flag() {
        const quint8 value = u8();
        if (value > 1)
            ok_ = false;
        return value == 1;
    }
    // A span of `size` bytes, checked against what is left before anything is made of it.
    const char* take(qint64 size) {
        if (!ok_ || size < 0 || size > left_) {
            ok_ = false;
            return nullptr;
        }
        const char* at = data_;
        data_ += size;
        left_ -= size;
        return at;
    }
    QString string(qint64 maxBytes) {
        const qint64 size = u32();
        if (size > maxBytes) {
            ok_ = false;
            return QString();
        }
        const char* at = take(size);
        return at ? QString::fromUtf8(at, qsizetype(size)) : QString();
    }
    void fail() { ok_ = false; }

private:
    const char* data_;
    qint64 left_;
    bool ok_ = true;
};

void writeImage(Writer& out, const QImage& source) {
    QImage image = source;
    if (!image.isNull() && !wireFormat(image.format())) {
        const QImage::Format target = image.hasAlphaChannel() ? QImage::Format_ARGB32
                                      : image.isGrayscale()   ? QImage::Format_Grayscale8
                                                              : QImage::Format_RGB32;
        image = image.convertToFormat(target);
    }
    const bool fits = !image.isNull() && image.width() <= kMaxImageSide && image.height() <= kMaxImageSide &&
                      image.sizeInBytes() <= kMaxImageBytes && wireFormat(image.format());
    out.u8(fits ? 1 : 0);
    if (!fits)
        return;
    out.u8(*wireFormat(image.format()));
    out.i32(image.width());
    out.i32(image.height());
    out.i32(qint32(image.bytesPerLine()));
    out.u32(quint32(image.sizeInBytes()));
    out.raw(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes());
}

QImage readImage(Reader& in) {
    if (!in.flag())
        return QImage();
    const std::optional<QImage::Format> format = imageFormat(in.u8());
    const qint32 width = in.i32();
    const qint32 height = in.i32();
    const qint32 stride = in.i32();
    const qint64 size = in.u32();
    if (!in.ok() || !format || width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide) {
        in.fail();
        return QImage();
    }
    const qint64 depth = *format == QImage::Format_Grayscale8 ? 8 : 32;
    const qint64 expectedStride = (qint64(width) * depth + 31) / 32 * 4;
    if (stride != expectedStride || size != expectedStride * height || size > kMaxImageBytes) {
        in.fail();
        return QImage();
    }
    const char* pixels = in.take(size);
    if (!pixels)
        return QImage();
    QImage image(width, height, *format);
    if (image.isNull() || image.bytesPerLine() != stride || image.sizeInBytes() != size) {
        in.fail();
        return QImage();
    }
    std::memcpy(image.bits(), pixels, size_t(size));
    return image;
}

void writeDate(Writer& out, const std::optional<QDateTime>& date) {
    const bool valid = date && date->isValid();
    out.u8(valid ? 1 : 0);
    if (!valid)
        return;
    out.i64(date->date().toJulianDay());
    out.i32(date->time().msecsSinceStartOfDay());
    const bool local = date->timeSpec() == Qt::LocalTime;
    out.u8(quint8(local ? DateZone::Local : DateZone::Offset));
    out.i32(local ? 0 : date->offsetFromUtc());
}

std::optional<QDateTime> readDate(Reader& in) {
    if (!in.flag())
        return std::nullopt;
    const qint64 day = in.i64();
    const qint32 msecs = in.i32();
    const quint8 zone = in.u8();
    const qint32 offset = in.i32();
    const QDate date = QDate::fromJulianDay(day);
    if (!in.ok() || !date.isValid() || msecs < 0 || msecs >= 24 * 3600 * 1000 || zone > 1 ||
        offset < -kMaxOffsetSeconds || offset > kMaxOffsetSeconds || (zone == 0 && offset != 0)) {
        in.fail();
        return std::nullopt;
    }
    const QTime time = QTime::fromMSecsSinceStartOfDay(msecs);
    const QDateTime value = DateZone(zone) == DateZone::Local ? QDateTime(date, time, Qt::LocalTime)
                                                              : QDateTime(date, time, QTimeZone(offset));
    if (!value.isValid()) {
        in.fail();
        return std::nullopt;
    }
    return value;
}

bool inRange(Failure::Source source, qint32 kind) {
    switch (source) {
    case Failure::Source::Ocr:
        return kind >= int(OcrEngine::OcrError::Kind::Unsupported) &&
               kind <= int(OcrEngine::OcrError::Kind::NoPages);
    case Failure::Source::Extract:
        return kind >= int(ExtractorError::Kind::UnsupportedFormat) &&
               kind <= int(ExtractorError::Kind::ReadFailed);
    case Failure::Source::Module:
        return kind >= int(ModuleError::Reason::Unavailable) &&
               kind <= int(ModuleError::Reason::OtherVersion);
    case Failure::Source::Message:
        return kind == 0;
    }
    return false;
}

// Waits until `socket` is readable; false when it fails.
bool waitReadable(int socket) {
    for (;;) {
        pollfd entry{socket, POLLIN, 0};
        const int result = ::poll(&entry, 1, -1);
        if (result > 0)
            return true;
        if (result < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

const Operation* operation(Op op) {
    return operation(quint8(op));
}

const Operation* operation(quint8 op) {
    for (const Operation& entry : kOperations)
        if (quint8(entry.op) == op)
            return &entry;
    return nullptr;
}

std::optional<Failure> failureOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const OcrEngine::OcrError& failure) {
        return Failure{Failure::Source::Ocr, qint32(failure.kind()), failure.payload(), {}, {}, 0};
    } catch (const ExtractorError& failure) {
        return Failure{
            Failure::Source::Extract, qint32(failure.kind()), failure.value(), {}, {}, failure.size()};
    } catch (const ModuleError& failure) {
        return Failure{Failure::Source::Module, qint32(failure.reason()), failure.feature(),
                       failure.module(),        failure.detail(),         0};
    } catch (...) {
        return std::nullopt;
    }
}

void raise(const Failure& failure) {
    switch (failure.source) {
    case Failure::Source::Ocr:
        switch (OcrEngine::OcrError::Kind(failure.kind)) {
        case OcrEngine::OcrError::Kind::Unsupported:
            throw OcrEngine::OcrError::unsupported(failure.first);
        case OcrEngine::OcrError::Kind::NoPages:
            throw OcrEngine::OcrError::noPages();
        case OcrEngine::OcrError::Kind::VisionFailure:
            break;
        }
        throw OcrEngine::OcrError::visionFailure(failure.first);
    case Failure::Source::Extract:
        switch (ExtractorError::Kind(failure.kind)) {
        case ExtractorError::Kind::UnsupportedFormat:
            throw ExtractorError::unsupportedFormat(failure.first);
        case ExtractorError::Kind::TooLarge:
            throw ExtractorError::tooLarge(failure.size);
        case ExtractorError::Kind::ReadFailed:
            break;
        }
        throw ExtractorError::readFailed(failure.first);
    case Failure::Source::Module:
        throw ModuleError(failure.first, failure.second, failure.third, ModuleError::Reason(failure.kind));
    case Failure::Source::Message:
        break;
    }
    throw MessageError(failure.first);
}

qint64 maxTextBytes(qint64 maxChars) {
    return std::min<qint64>(4 * std::clamp<qint64>(maxChars, 0, kMaxFrameBytes) + 1024,
                            kMaxFrameBytes - kSmallAnswerBytes);
}

qint64 maxAnswerBytes(const Request& request) {
    const Operation* entry = operation(request.op);
    const qint64 bound = entry ? entry->maxAnswerBytes : kSmallAnswerBytes;
    if (request.op == Op::PdfText)
        return std::min(bound, maxTextBytes(request.maxChars) + kSmallAnswerBytes);
    return bound;
}

bool withinRequest(const Answer& answer, const Request& request) {
    switch (request.op) {
    case Op::Thumbnail: {
        // Drawn to fit the box (its sides rounded to whole pixels, at least one).
        const int side = std::max(1, request.box);
        return answer.image.isNull() || (answer.image.width() <= side && answer.image.height() <= side);
    }
    case Op::PdfText: // bounded by its frame (maxAnswerBytes)
    case Op::Ocr:
    case Op::PhotoExif:
        break;
    }
    return true;
}

QByteArray encodeRequest(const Request& request) {
    Writer out;
    out.u8(quint8(Answer::Kind::Request));
    out.u32(request.number);
    out.u8(quint8(request.op));
    out.u8(request.pdf ? 1 : 0);
    out.i32(request.box);
    out.i64(request.maxChars);
    return out.take();
}

std::optional<Request> decodeRequest(const QByteArray& body) {
    if (body.size() != kRequestBytes)
        return std::nullopt;
    Reader in(body);
    Request request;
    const quint8 kind = in.u8();
    request.number = in.u32();
    const quint8 op = in.u8();
    request.pdf = in.flag();
    request.box = in.i32();
    request.maxChars = in.i64();
    if (!in.atEnd() || kind != quint8(Answer::Kind::Request) || request.number == 0 || !operation(op))
        return std::nullopt;
    request.op = Op(op);
    return request;
}

QByteArray encodeAnswer(const Answer& answer) {
    Writer out;
    out.u8(quint8(answer.kind));
    out.u32(answer.number);
    if (answer.kind == Answer::Kind::Done) {
        out.u8(quint8(answer.op));
        switch (answer.op) {
        case Op::Thumbnail:
            writeImage(out, answer.image);
            break;
        case Op::Ocr: {
            out.string(answer.text);
            const qsizetype count = std::min<qsizetype>(answer.languages.size(), kMaxLanguages);
            out.u32(quint32(count));
            for (qsizetype index = 0; index < count; ++index)
                out.string(Characters::fit(answer.languages.at(index), 16));
            break;
        }
        case Op::PdfText:
            out.string(answer.text);
            out.u8(answer.truncated ? 1 : 0);
            out.i64(answer.bytesRead);
            break;
        case Op::PhotoExif: {
            writeDate(out, answer.exif.creationDate);
            const bool place = answer.exif.latitude && answer.exif.longitude;
            out.u8(place ? 1 : 0);
            if (place) {
                out.f64(*answer.exif.latitude);
                out.f64(*answer.exif.longitude);
            }
            break;
        }
        }
    } else if (answer.kind == Answer::Kind::Error) {
        const Failure& failure = answer.failure;
        out.u8(quint8(failure.source));
        out.i32(failure.kind);
        out.string(Characters::fit(failure.first, kMaxShortStringBytes / 4));
        out.string(Characters::fit(failure.second, kMaxShortStringBytes / 4));
        out.string(Characters::fit(failure.third, kMaxShortStringBytes / 4));
        out.i64(failure.size);
    }
    return out.take();
}

std::optional<Answer> decodeAnswer(const QByteArray& body, Op expected) {
    Reader in(body);
    Answer answer;
    const quint8 kind = in.u8();
    answer.number = in.u32();
    if (!in.ok())
        return std::nullopt;
    switch (Answer::Kind(kind)) {
    case Answer::Kind::Ready:
        answer.kind = Answer::Kind::Ready;
        break;
    case Answer::Kind::Progress:
        answer.kind = Answer::Kind::Progress;
        break;
    case Answer::Kind::Done: {
        answer.kind = Answer::Kind::Done;
        if (in.u8() != quint8(expected))
            return std::nullopt;
        answer.op = expected;
        switch (expected) {
        case Op::Thumbnail:
            answer.image = readImage(in);
            break;
        case Op::Ocr: {
            answer.text = in.string(kMaxFrameBytes);
            const qint64 count = in.u32();
            if (count > kMaxLanguages)
                return std::nullopt;
            for (qint64 index = 0; index < count && in.ok(); ++index)
                answer.languages << in.string(64);
            break;
        }
        case Op::PdfText:
            answer.text = in.string(kMaxFrameBytes);
            answer.truncated = in.flag();
            answer.bytesRead = in.i64();
            if (answer.bytesRead < 0)
                return std::nullopt;
            break;
        case Op::PhotoExif:
            answer.exif.creationDate = readDate(in);
            if (in.flag()) {
                const double latitude = in.f64();
                const double longitude = in.f64();
                if (!(latitude >= -90 && latitude <= 90 && longitude >= -180 && longitude <= 180))
                    return std::nullopt;
                answer.exif.latitude = latitude;
                answer.exif.longitude = longitude;
            }
            break;
        }
        break;
    }
    case Answer::Kind::Error: {
        answer.kind = Answer::Kind::Error;
        Failure& failure = answer.failure;
        const quint8 source = in.u8();
        failure.kind = in.i32();
        failure.first = in.string(kMaxShortStringBytes);
        failure.second = in.string(kMaxShortStringBytes);
        failure.third = in.string(kMaxShortStringBytes);
        failure.size = in.i64();
        if (source < quint8(Failure::Source::Ocr) || source > quint8(Failure::Source::Message))
            return std::nullopt;
        failure.source = Failure::Source(source);
        if (!inRange(failure.source, failure.kind) || failure.size < 0)
            return std::nullopt;
        break;
    }
    case Answer::Kind::Request:
    default:
        return std::nullopt;
    }
    if (!in.atEnd())
        return std::nullopt;
    return answer;
}

bool sendFrame(int socket, const QByteArray& body, int fd) {
    if (body.size() > kMaxFrameBytes)
        return false;
    QByteArray frame;
    frame.reserve(body.size() + 4);
    const quint32 length = quint32(body.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        frame.append(char(length >> shift));
    frame.append(body);
    size_t done = 0;
    bool descriptorSent = fd < 0;
    while (done < size_t(frame.size())) {
        iovec part{frame.data() + done, size_t(frame.size()) - done};
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (!descriptorSent) {
            header.msg_control = control;
            header.msg_controllen = sizeof(control);
            cmsghdr* rights = CMSG_FIRSTHDR(&header);
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            rights->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(rights), &fd, sizeof(int));
        }
        const ssize_t sent = ::sendmsg(socket, &header, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        descriptorSent = true;
        done += size_t(sent);
    }
    return true;
}

void FrameReader::reset() {
    prefixRead_ = 0;
    length_ = -1;
    body_.clear();
}

FrameReader::Status FrameReader::pump(int socket, qint64 maxBytes) {
    for (;;) {
        if (length_ >= 0 && body_.size() == length_)
            return Status::Complete;
        char chunk[64 * 1024];
        char* into = chunk;
        size_t wanted = 0;
        if (length_ < 0) {
            into = reinterpret_cast<char*>(prefix_) + prefixRead_;
            wanted = size_t(4 - prefixRead_);
        } else {
            wanted = size_t(std::min<qint64>(length_ - body_.size(), qint64(sizeof(chunk))));
        }
        iovec part{into, wanted};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        const ssize_t got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? Status::Waiting : Status::Closed;
        }
        bool descriptor = false;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
                continue;
            const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t index = 0; index < count; ++index) {
                int received = -1;
                std::memcpy(&received, CMSG_DATA(header) + index * sizeof(int), sizeof(int));
                ::close(received);
                descriptor = true;
            }
        }
        if (descriptor || (message.msg_flags & MSG_CTRUNC))
            return Status::Descriptor;
        if (got == 0)
            return Status::Closed;
        if (length_ < 0) {
            prefixRead_ += int(got);
            if (prefixRead_ < 4)
                continue;
            const quint32 length =
                quint32(prefix_[0]) << 24 | quint32(prefix_[1]) << 16 | quint32(prefix_[2]) << 8 | prefix_[3];
            if (qint64(length) > std::min(maxBytes, kMaxFrameBytes))
                return Status::TooLarge;
            length_ = length;
            body_.clear();
        } else {
            body_.append(chunk, qsizetype(got));
        }
    }
}

std::optional<Request> receiveRequest(int socket, int* fd) {
    *fd = -1;
    unsigned char frame[4 + kRequestBytes];
    size_t done = 0;
    while (done < sizeof(frame)) {
        if (!waitReadable(socket))
            return std::nullopt;
        iovec part{frame + done, sizeof(frame) - done};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        const ssize_t got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return std::nullopt;
        }
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
                continue;
            const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t index = 0; index < count; ++index) {
                int received = -1;
                std::memcpy(&received, CMSG_DATA(header) + index * sizeof(int), sizeof(int));
                if (*fd < 0 && done == 0)
                    *fd = received;
                else
                    ::close(received);
            }
        }
        if (got == 0)
            return std::nullopt;
        done += size_t(got);
    }
    const quint32 length =
        quint32(frame[0]) << 24 | quint32(frame[1]) << 16 | quint32(frame[2]) << 8 | frame[3];
    const std::optional<Request> request =
        length == quint32(kRequestBytes)
            ? decodeRequest(QByteArray(reinterpret_cast<const char*>(frame) + 4, kRequestBytes))
            : std::nullopt;
    if (!request && *fd >= 0) {
        ::close(*fd);
        *fd = -1;
    }
    return request;
}

} // namespace DecoderProtocol

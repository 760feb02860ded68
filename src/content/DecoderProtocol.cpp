#include "content/DecoderProtocol.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QIODevice>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace DecoderProtocol {

namespace {

constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_6_4;

// Waits until `socket` is readable; false on timeout (or error).
bool waitReadable(int socket, const QDeadlineTimer& deadline, bool* timedOut) {
    for (;;) {
        pollfd entry{socket, POLLIN, 0};
        const qint64 left = deadline.remainingTime();
        const int result = ::poll(&entry, 1, left < 0 ? -1 : int(std::min<qint64>(left, 1 << 30)));
        if (result > 0)
            return true;
        if (result == 0) {
            if (timedOut)
                *timedOut = true;
            return false;
        }
        if (errno != EINTR)
            return false;
    }
}

// Reads exactly `size` bytes; the first read may bring a descriptor.
bool readAll(int socket, char* data, size_t size, const QDeadlineTimer& deadline, int* fd, bool* timedOut) {
    size_t done = 0;
    while (done < size) {
        if (!waitReadable(socket, deadline, timedOut))
            return false;
        iovec part{data + done, size - done};
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
            return false;
        }
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
                continue;
            const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t index = 0; index < count; ++index) {
                int received = -1;
                std::memcpy(&received, CMSG_DATA(header) + index * sizeof(int), sizeof(int));
                if (fd && *fd < 0)
                    *fd = received;
                else
                    ::close(received);
            }
        }
        if (got == 0)
            return false;
        done += size_t(got);
    }
    return true;
}

} // namespace

QVariantMap packImage(const QImage& image) {
    if (image.isNull())
        return {};
    return {{QStringLiteral("width"), image.width()},
            {QStringLiteral("height"), image.height()},
            {QStringLiteral("format"), int(image.format())},
            {QStringLiteral("bytesPerLine"), qint64(image.bytesPerLine())},
            {QStringLiteral("pixels"),
             QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes())}};
}

QImage unpackImage(const QVariantMap& packed) {
    const int width = packed.value(QStringLiteral("width")).toInt();
    const int height = packed.value(QStringLiteral("height")).toInt();
    const int format = packed.value(QStringLiteral("format")).toInt();
    const qint64 bytesPerLine = packed.value(QStringLiteral("bytesPerLine")).toLongLong();
    const QByteArray pixels = packed.value(QStringLiteral("pixels")).toByteArray();
    if (width <= 0 || height <= 0 || format <= QImage::Format_Invalid || format >= QImage::NImageFormats ||
        bytesPerLine <= 0 || bytesPerLine > kMaxFrameBytes || bytesPerLine * height != pixels.size())
        return QImage();
    const QImage view(reinterpret_cast<const uchar*>(pixels.constData()), width, height, bytesPerLine,
                      QImage::Format(format));
    // A format whose pixels need more bytes than were sent is refused.
    if (view.isNull() || view.sizeInBytes() != pixels.size())
        return QImage();
    return view.copy();
}

bool send(int socket, const QVariantMap& message, int fd) {
    QByteArray frame;
    {
        QDataStream stream(&frame, QIODevice::WriteOnly);
        stream.setVersion(kStreamVersion);
        stream << quint32(0) << message;
    }
    if (frame.size() - 4 > kMaxFrameBytes)
        return false;
    const quint32 length = quint32(frame.size() - 4);
    frame[0] = char(length >> 24);
    frame[1] = char(length >> 16);
    frame[2] = char(length >> 8);
    frame[3] = char(length);
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

std::optional<QVariantMap> receive(int socket, int timeoutMs, int* fd, bool* timedOut) {
    if (fd)
        *fd = -1;
    if (timedOut)
        *timedOut = false;
    const QDeadlineTimer deadline(timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                : QDeadlineTimer(timeoutMs));
    unsigned char prefix[4];
    if (!readAll(socket, reinterpret_cast<char*>(prefix), 4, deadline, fd, timedOut))
        return std::nullopt;
    const quint32 length =
        quint32(prefix[0]) << 24 | quint32(prefix[1]) << 16 | quint32(prefix[2]) << 8 | prefix[3];
    if (length > kMaxFrameBytes)
        return std::nullopt;
    QByteArray payload(qsizetype(length), Qt::Uninitialized);
    if (!readAll(socket, payload.data(), length, deadline, nullptr, timedOut))
        return std::nullopt;
    QDataStream stream(payload);
    stream.setVersion(kStreamVersion);
    QVariantMap message;
    stream >> message;
    if (stream.status() != QDataStream::Ok)
        return std::nullopt;
    return message;
}

} // namespace DecoderProtocol

#include "HostileFrames.h"

#include <QImage>
#include <QString>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/socket.h>

namespace {

// The worker's socket (DecoderProtocol::kWorkerSocketFd).
constexpr int kSocket = 3;

// The wire's numbers, written out by hand as a hostile decoder would.
constexpr quint8 kDone = 4;
constexpr quint8 kPdfText = 3;
constexpr quint8 kThumbnail = 1;

void u8(QByteArray& out, quint8 value) {
    out.append(char(value));
}
void u32(QByteArray& out, quint32 value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(char(value >> shift));
}
void i64(QByteArray& out, qint64 value) {
    u32(out, quint32(quint64(value) >> 32));
    u32(out, quint32(quint64(value)));
}

QByteArray frame(const QByteArray& body) {
    QByteArray out;
    u32(out, quint32(body.size()));
    return out + body;
}

// A whole, well-formed answer to a text request.
QByteArray pdfTextAnswer(quint32 number, const QByteArray& text) {
    QByteArray body;
    u8(body, kDone);
    u32(body, number);
    u8(body, kPdfText);
    u32(body, quint32(text.size()));
    body += text;
    u8(body, 0);
    i64(body, text.size());
    return frame(body);
}

// Written with the calls the worker itself uses on its socket, whatever else its
// seal refuses.
void writeAll(const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        iovec part{const_cast<char*>(bytes.constData()) + done, size_t(bytes.size() - done)};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        const ssize_t written = ::sendmsg(kSocket, &message, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += written;
    }
}

// Waits without a call to the kernel (the clock is read in user space).
void spinFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
    }
}

class Page final : public PdfDocumentPage {
public:
    Page(QString text, int delayMs)
        : text_(std::move(text))
        , delayMs_(delayMs) {}
    QSizeF pageSizeF() const override { return QSizeF(100, 100); }
    QString text() const override {
        spinFor(delayMs_);
        return text_;
    }
    QImage renderToImage(double, double, int, int, int width, int height) const override {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(Qt::white);
        return image;
    }

private:
    QString text_;
    int delayMs_;
};

class Document final : public PdfDocument {
public:
    Document(int pages, int delayMs)
        : pages_(pages)
        , delayMs_(delayMs) {}
    int numPages() const override { return pages_; }
    std::unique_ptr<PdfDocumentPage> page(int index) const override {
        return std::make_unique<Page>(QStringLiteral("page %1").arg(index + 1), delayMs_);
    }

private:
    int pages_;
    int delayMs_;
};

} // namespace

std::unique_ptr<PdfDocument> hostileFramesDocument(const QByteArray& bytes) {
    if (bytes.contains("PAGES")) // each page just within its time, the whole without end
        return std::make_unique<Document>(1000, 300);
    if (bytes.contains("SLOW")) // one page, read in 5 s: within a decode's own time
        return std::make_unique<Document>(1, 5000);
    if (!bytes.contains("FRAME:"))
        return nullptr;
    if (bytes.contains("FRAME:EXTRA")) {
        // Its own answer and, in the same write, one for the next file read.
        writeAll(pdfTextAnswer(1, "réponse du premier") +
                 pdfTextAnswer(2, "réponse choisie pour le suivant"));
    } else if (bytes.contains("FRAME:WRONG")) {
        writeAll(pdfTextAnswer(7, "réponse d'une autre requête"));
    } else if (bytes.contains("FRAME:DESCRIPTOR")) {
        const QByteArray answer = pdfTextAnswer(1, "avec un descripteur");
        iovec part{const_cast<char*>(answer.constData()), size_t(answer.size())};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        cmsghdr* rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        const int descriptor = kSocket;
        std::memcpy(CMSG_DATA(rights), &descriptor, sizeof(int));
        (void)::sendmsg(kSocket, &message, MSG_NOSIGNAL);
    } else if (bytes.contains("FRAME:NESTED")) {
        // 1.5 MB of maps within maps, as a serialised variant map spells them.
        QByteArray body;
        for (int depth = 0; depth < 100000; ++depth) {
            u32(body, 1); // one entry
            u32(body, 2); // a key of one UTF-16 character
            body += QByteArray("\0k", 2);
            u32(body, 8); // a variant holding a map
            u8(body, 0);
        }
        writeAll(frame(body));
    } else if (bytes.contains("FRAME:OVERSIZE")) {
        // A text said to be 2 GiB long, in a frame of a few bytes.
        QByteArray body;
        u8(body, kDone);
        u32(body, 1);
        u8(body, kPdfText);
        u32(body, 0x7ffffff0u);
        body += "court";
        writeAll(frame(body));
    } else if (bytes.contains("FRAME:IMAGE")) {
        // A thumbnail of 16384 by 16384 pixels: 1 GiB said, a few bytes given.
        QByteArray body;
        u8(body, kDone);
        u32(body, 1);
        u8(body, kThumbnail);
        u8(body, 1); // an image
        u8(body, 1); // RGB32
        u32(body, 16384);
        u32(body, 16384);
        u32(body, 16384 * 4);
        u32(body, 0x40000000u);
        body += "pixels";
        writeAll(frame(body));
    } else if (bytes.contains("FRAME:WIDE")) {
        // A well-formed thumbnail of 200 by 1 pixels, for a box of 64.
        QByteArray body;
        u8(body, kDone);
        u32(body, 1);
        u8(body, kThumbnail);
        u8(body, 1); // an image
        u8(body, 1); // RGB32
        u32(body, 200);
        u32(body, 1);
        u32(body, 200 * 4);
        u32(body, 200 * 4);
        body += QByteArray(200 * 4, '\xff');
        writeAll(frame(body));
    } else if (bytes.contains("FRAME:LONG")) {
        // A well-formed answer far longer than the characters asked for.
        writeAll(pdfTextAnswer(1, QByteArray(64 * 1024, 'a')));
    } else if (bytes.contains("FRAME:HUGE")) {
        // 1.4 GiB announced.
        QByteArray start;
        u32(start, 0x59999999u);
        writeAll(start + "x");
    } else if (bytes.contains("FRAME:DRIBBLE")) {
        // 60 MiB announced (within the bound), then a byte now and then, for ever.
        QByteArray start;
        u32(start, 60u << 20);
        writeAll(start);
        for (;;) {
            writeAll(QByteArray(1, char(kDone)));
            spinFor(20);
        }
    }
    return std::make_unique<Document>(1, 0);
}

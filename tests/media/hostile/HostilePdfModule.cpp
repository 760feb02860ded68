// A PDF module that behaves like a decoder taken over by a hostile file: it tries
// to open a file and to make connections, and on request crashes, spins for ever
// or eats memory. Built as build/tests/hostile/libombrix_pdf.so for the decoder
// worker tests, which put that folder on the module search path.
#include "HostileFrames.h"
#include "content/PdfModule.h"
#include "platform/ModuleExport.h"

#include <QStringList>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// "refusé" when the call failed with EACCES, else what happened.
QString outcome(int result) {
    if (result >= 0) {
        ::close(result);
        return QStringLiteral("permis");
    }
    return errno == EACCES ? QStringLiteral("refusé") : QStringLiteral("errno %1").arg(errno);
}

QString tryToReachOut() {
    QStringList attempts;
    attempts << QStringLiteral("open: ") + outcome(::open("/etc/hostname", O_RDONLY | O_CLOEXEC));
    attempts << QStringLiteral("openat: ") + outcome(::openat(AT_FDCWD, "/proc/self/status", O_RDONLY));
    attempts << QStringLiteral("socket: ") + outcome(::socket(AF_INET, SOCK_STREAM, 0));
    attempts << QStringLiteral("unix: ") + outcome(::socket(AF_UNIX, SOCK_STREAM, 0));
    return attempts.join(QStringLiteral(", "));
}

class ReportPage final : public PdfDocumentPage {
public:
    explicit ReportPage(QString text)
        : text_(std::move(text)) {}
    QSizeF pageSizeF() const override { return QSizeF(100, 100); }
    QString text() const override { return text_; }
    QImage renderToImage(double, double, int, int, int width, int height) const override {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(Qt::white);
        return image;
    }

private:
    QString text_;
};

class ReportDocument final : public PdfDocument {
public:
    explicit ReportDocument(QString text)
        : text_(std::move(text)) {}
    int numPages() const override { return 1; }
    std::unique_ptr<PdfDocumentPage> page(int) const override { return std::make_unique<ReportPage>(text_); }

private:
    QString text_;
};

class HostileModule final : public PdfModule {
public:
    std::unique_ptr<PdfDocument> open(const QByteArray& bytes) override { return load(bytes); }
    std::unique_ptr<PdfDocument> load(const QByteArray& bytes) override {
        if (std::unique_ptr<PdfDocument> document = hostileFramesDocument(bytes))
            return document;
        if (bytes.contains("CRASH"))
            std::abort();
        if (bytes.contains("SPIN")) {
            std::atomic<unsigned long> turns{0};
            for (;;)
                turns.fetch_add(1, std::memory_order_relaxed);
        }
        if (bytes.contains("HOARD")) {
            // Memory taken as fast as the kernel gives it, until the worker is killed.
            for (;;)
                ::mmap(nullptr, size_t(256) << 20, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        }
        return std::make_unique<ReportDocument>(tryToReachOut());
    }
};

} // namespace

OMBRIX_MODULE_EXPORT(pdf) {
    static HostileModule module;
    return &module;
}

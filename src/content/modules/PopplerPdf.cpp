// The PDF module: poppler behind the interface of content/PdfModule.h. Links
// poppler and Qt only.
#include "content/PdfModule.h"
#include "platform/ModuleExport.h"

#include <poppler-qt6.h>

namespace {

class PopplerPage final : public PdfDocumentPage {
public:
    explicit PopplerPage(std::unique_ptr<Poppler::Page> page)
        : page_(std::move(page)) {}
    QSizeF pageSizeF() const override { return page_->pageSizeF(); }
    QString text() const override { return page_->text(QRectF()); }
    QImage renderToImage(double xres, double yres, int x, int y, int width, int height) const override {
        return page_->renderToImage(xres, yres, x, y, width, height);
    }

private:
    std::unique_ptr<Poppler::Page> page_;
};

class PopplerDocument final : public PdfDocument {
public:
    explicit PopplerDocument(std::unique_ptr<Poppler::Document> document)
        : document_(std::move(document)) {}
    int numPages() const override { return document_->numPages(); }
    std::unique_ptr<PdfDocumentPage> page(int index) const override {
        std::unique_ptr<Poppler::Page> page = document_->page(index);
        if (!page)
            return nullptr;
        return std::make_unique<PopplerPage>(std::move(page));
    }

private:
    std::unique_ptr<Poppler::Document> document_;
};

class PopplerModule final : public PdfModule {
public:
    PopplerModule() {
        // Poppler's own messages about damaged files go nowhere.
        Poppler::setDebugErrorFunction([](const QString&, const QVariant&) {}, QVariant());
    }
    std::unique_ptr<PdfDocument> open(const QByteArray& bytes) override {
        std::unique_ptr<Poppler::Document> document = Poppler::Document::loadFromData(bytes);
        if (!document || document->isLocked())
            return nullptr;
        document->setRenderHint(Poppler::Document::Antialiasing);
        document->setRenderHint(Poppler::Document::TextAntialiasing);
        return std::make_unique<PopplerDocument>(std::move(document));
    }
    std::unique_ptr<PdfDocument> load(const QByteArray& bytes) override {
        std::unique_ptr<Poppler::Document> document = Poppler::Document::loadFromData(bytes);
        if (!document)
            return nullptr;
        return std::make_unique<PopplerDocument>(std::move(document));
    }
};

} // namespace

OMBRIX_MODULE_EXPORT(pdf) {
    static PopplerModule module;
    return &module;
}

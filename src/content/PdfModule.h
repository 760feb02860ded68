#pragma once

#include <QByteArray>
#include <QImage>
#include <QSizeF>
#include <QString>

#include <memory>

// The interface of the PDF module (libombrix_pdf.so, poppler), loaded on first use
// through Modules. PdfFiles.h is what the program uses.

class PdfDocumentPage {
public:
    virtual ~PdfDocumentPage() = default;
    // In points.
    virtual QSizeF pageSizeF() const = 0;
    // The page's text layer (empty for a scan).
    virtual QString text() const = 0;
    // The area (x, y, width, height, in pixels at that resolution) drawn on white.
    virtual QImage renderToImage(double xres, double yres, int x, int y, int width, int height) const = 0;
};

class PdfDocument {
public:
    virtual ~PdfDocument() = default;
    virtual int numPages() const = 0;
    // Nothing when the page cannot be read.
    virtual std::unique_ptr<PdfDocumentPage> page(int index) const = 0;
};

class PdfModule {
public:
    // The document held in `bytes` (which must outlive it), antialiased; nothing
    // when they cannot be read as a PDF or it is locked by a password.
    virtual std::unique_ptr<PdfDocument> open(const QByteArray& bytes) = 0;
    // The document held in memory (as it comes, locked or not); nothing when the
    // bytes are no PDF.
    virtual std::unique_ptr<PdfDocument> load(const QByteArray& bytes) = 0;

protected:
    ~PdfModule() = default;
};

// The loaded module; throws ModuleError when it is missing.
PdfModule& pdfModule();

#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <memory>

// The interface of the text recognition module (libombrix_ocr.so, Tesseract and
// Leptonica), loaded on first use through Modules. OcrEngine.h and ImageFiles.h
// are what the program uses.

class TextRecognizer {
public:
    virtual ~TextRecognizer() = default;
    // The lines of an 8-bit grayscale image, trailing blanks cut, empty lines left
    // out; false when recognition fails. `dpi` 0: the recogniser estimates it.
    virtual bool recognize(const QImage& gray, int dpi, QStringList* lines) = 0;
    // The language codes loaded ("fra", "eng").
    virtual QStringList languages() const = 0;
};

class OcrModule {
public:
    // A recogniser for `languages` ("fra+eng"), LSTM engine, automatic page
    // segmentation; nothing when the language data cannot be loaded.
    virtual std::unique_ptr<TextRecognizer> recognizer(const char* languages) = 0;
    // An image file's bytes read by Leptonica (TIFF and others Qt has no reader
    // for), as RGB32; null when they cannot be read or hold more than `maxPixels`.
    virtual QImage readImage(const QByteArray& data, qint64 maxPixels) = 0;

protected:
    ~OcrModule() = default;
};

// The loaded module; throws ModuleError when it is missing.
OcrModule& ocrModule();

#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// The interface of the HEIF module (libombrix_heif.so, libheif), loaded on first
// use through Modules. HeifImage.h is what the program uses; the functions mean
// what its functions of the same names mean.
class HeifModule {
public:
    virtual bool looksLikeHeif(const QByteArray& head) = 0;
    virtual QImage decode(const QByteArray& data, qint64 maxPixels) = 0;
    virtual QByteArray exifBlock(const QByteArray& data) = 0;

protected:
    ~HeifModule() = default;
};

// The loaded module; throws ModuleError when it is missing.
HeifModule& heifModule();

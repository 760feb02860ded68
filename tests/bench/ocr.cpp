// Text recognition time per page: a one-page image (an A4 page of text scanned at
// 200 dpi, PNG) and a ten-page scanned PDF (every page an image of text without a
// text layer, drawn again at 200 dpi and recognised). Both are made here; each is
// recognised several times and the median is reported.
//
//   build/tests/bench_ocr [runs]
#include "content/OcrEngine.h"
#include "support/MediaFixtures.h"

#include "support/BenchSupport.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPainter>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

QStringList pageLines(int page) {
    QStringList lines;
    for (int line = 1; line <= 24; ++line)
        lines << QStringLiteral(
                     "Page %1, ligne %2 : le rapport trimestriel présente les résultats détaillés.")
                     .arg(page)
                     .arg(line);
    return lines;
}

// An A4 page at 200 dpi (1654 by 2339 pixels) holding 24 lines of 11-point text.
QImage scannedPage(int page) {
    QImage sheet(1654, 2339, QImage::Format_RGB32);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    painter.drawImage(QPoint(60, 120), fixtures::textImage(pageLines(page), 31));
    painter.end();
    return sheet;
}

struct Measure {
    double msPerPage = 0;
    qsizetype characters = 0;
};

Measure measure(const QString& path, int pages, int runs) {
    QList<double> perPage;
    Measure result;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        const BridgeOcrResult text = OcrEngine::recognize(path);
        perPage << double(timer.nsecsElapsed()) / 1e6 / pages;
        result.characters = text.text.size();
    }
    result.msPerPage = medianOf(perPage);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QTemporaryDir dir;

    const QString image = dir.filePath(QStringLiteral("page.png"));
    if (!scannedPage(1).save(image))
        return 1;
    QList<fixtures::PdfPage> pages;
    for (int page = 1; page <= 10; ++page)
        pages << fixtures::PdfPage{fixtures::PdfPage::Kind::Scan, pageLines(page), 40};
    const QString pdf = dir.filePath(QStringLiteral("scan.pdf"));
    if (!fixtures::writePdf(pdf, pages))
        return 1;

    // One recognition before measuring: the language models are read from disk once.
    OcrEngine::recognize(image);
    const Measure single = measure(image, 1, runs);
    const Measure scanned = measure(pdf, 10, runs);
    std::printf("runs: %d (median)\n", runs);
    std::printf("one-page image (1654x2339 PNG):   %8.1f ms per page  (%lld characters)\n", single.msPerPage,
                static_cast<long long>(single.characters));
    std::printf("ten-page scanned PDF (200 dpi):   %8.1f ms per page  (%lld characters)\n", scanned.msPerPage,
                static_cast<long long>(scanned.characters));
    return 0;
}

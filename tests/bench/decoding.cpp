// Decoding in the worker process against decoding in the program, for the three
// uses a task makes of it: the text of a 100-page PDF, the recognition of one A4
// page scanned at 200 dpi, and a 256-pixel thumbnail of a 12-megapixel JPEG photo.
// "In the program" runs the same decoding code in this process on the file's bytes
// (what the program did before the workers); "worker" is the call a task makes,
// on the file opened through /proc/self/fd as the bridge opens it, answered by a
// warm worker; "first request" starts the worker (process, modules, sealing) and
// is answered. Medians of N runs after a warm-up.
//
//   build/tests/bench_decoding [runs]
#include "content/Decoding.h"
#include "content/DocumentExtractor.h"
#include "content/OcrEngine.h"
#include "content/Thumbnails.h"
#include "support/BenchSupport.h"
#include "support/DocumentFiles.h"
#include "support/MediaFixtures.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeDatabase>
#include <QPainter>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

double medianOfRuns(int runs, const std::function<void()>& work) {
    work();
    QList<double> times;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        work();
        times << double(timer.nsecsElapsed()) / 1e6;
    }
    return medianOf(times);
}

double once(const std::function<void()>& work) {
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e6;
}

struct Row {
    const char* name;
    std::function<void()> inProgram;
    std::function<void()> inWorker;
};

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QTemporaryDir dir;

    // The 100-page PDF of bench_documents (about 1,500 characters a page).
    const QString paragraph = QStringLiteral(
        "Le comité a examiné le rapport annuel : dépenses, recettes et prévisions pour l'année à venir. "
        "Les élèves ont présenté leurs travaux ; la séance s'est achevée à dix-huit heures.\n");
    QString page;
    while (page.toUtf8().size() < 1500)
        page += paragraph;
    QStringList pages;
    for (int i = 0; i < 100; ++i)
        pages << QStringLiteral("Page %1. ").arg(i + 1) + page;
    const QString pdf =
        DocumentFiles::write(dir.filePath(QStringLiteral("cent-pages.pdf")), DocumentFiles::pdf(pages));
    // The A4 page of bench_ocr: 24 lines of 11-point text at 200 dpi.
    QStringList lines;
    for (int line = 1; line <= 24; ++line)
        lines << QStringLiteral("Page 1, ligne %1 : le rapport trimestriel présente les résultats détaillés.")
                     .arg(line);
    QImage sheet(1654, 2339, QImage::Format_RGB32);
    sheet.fill(Qt::white);
    {
        QPainter painter(&sheet);
        painter.drawImage(QPoint(60, 120), fixtures::textImage(lines, 31));
    }
    const QString scan = dir.filePath(QStringLiteral("page.png"));
    // A 4000×3000 photo-like JPEG.
    QImage photo(4000, 3000, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y) {
        QRgb* row = reinterpret_cast<QRgb*>(photo.scanLine(y));
        for (int x = 0; x < photo.width(); ++x)
            row[x] = qRgb((x * 255) / photo.width(), (y * 255) / photo.height(), (x ^ y) & 0xff);
    }
    const QString jpeg = dir.filePath(QStringLiteral("photo.jpg"));
    if (pdf.isEmpty() || !sheet.save(scan) || !photo.save(jpeg, "JPEG", 90))
        return 1;

    // Opened as the bridge opens a shared file: the worker gets the descriptor.
    QFile pdfFile(pdf), scanFile(scan), jpegFile(jpeg);
    if (!pdfFile.open(QIODevice::ReadOnly) || !scanFile.open(QIODevice::ReadOnly) ||
        !jpegFile.open(QIODevice::ReadOnly))
        return 1;
    const auto viaDescriptor = [](const QFile& file) {
        return QStringLiteral("/proc/self/fd/%1").arg(file.handle());
    };
    const QString pdfPath = viaDescriptor(pdfFile), scanPath = viaDescriptor(scanFile),
                  jpegPath = viaDescriptor(jpegFile);

    const Row rows[] = {
        {"100-page PDF, whole text", [&] { DocumentExtractor::pdfText(contents(pdf), 10'000'000); },
         [&] { DocumentExtractor::extract(pdfPath, 10'000'000, QStringLiteral("cent-pages.pdf")); }},
        {"OCR of one A4 page (200 dpi PNG)", [&] { OcrEngine::recognizeBytes(contents(scan), false, {}); },
         [&] { OcrEngine::recognize(scanPath, QStringLiteral("page.png")); }},
        {"thumbnail 256 px of a 12 MP JPEG",
         [&] {
             (void)QMimeDatabase().mimeTypeForFile(QFileInfo(jpegPath));
             Thumbnails::fromBytes(contents(jpeg), false, 256);
         },
         [&] { Thumbnails::make(jpegPath, 256); }},
    };
    std::printf("runs: %d (medians)\n", runs);
    std::printf("%-36s %14s %14s %8s %16s\n", "", "in program ms", "worker ms", "ratio", "first request ms");
    for (const Row& row : rows) {
        Decoding::stopIdleWorkersForTesting();
        const double first = once(row.inWorker);
        const double worker = medianOfRuns(runs, row.inWorker);
        const double inProgram = medianOfRuns(runs, row.inProgram);
        std::printf("%-36s %14.1f %14.1f %8.3f %16.1f\n", row.name, inProgram, worker, worker / inProgram,
                    first);
    }
    return 0;
}

// The first use of each feature whose decoder is a module (docs/architecture.md,
// "Modules"), in a fresh process each time: the module's load alone (its typed
// accessor: dlopen, the decoder's libraries, their relocations and initialisers),
// then the feature's first use as the program makes it (load included), then a
// second use. This program links the layers only, not the decoders (the test
// support does), so nothing is loaded before the module is.
//
//   build/tests/bench_first_use [RUNS]        (5 runs per feature; medians)
#include "content/DocumentExtractor.h"
#include "content/HeifModule.h"
#include "content/OcrEngine.h"
#include "content/OcrModule.h"
#include "content/PdfModule.h"
#include "content/PhotoLibrary.h"
#include "content/PhotoMetadataModule.h"
#include "content/TrackerModule.h"
#include "voice/AudioCodec.h"
#include "voice/AudioCodecModule.h"
#include "voice/SoundModule.h"
#include "voice/SpeechModule.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

namespace {

struct Feature {
    const char* name;
    const char* what;
    std::function<void()> load;
    std::function<void(const QString& folder)> use;
};

double msSince(const QElapsedTimer& timer) {
    return double(timer.nsecsElapsed()) / 1e6;
}

void writeFixtures(const QString& folder) {
    QPdfWriter pdf(folder + QStringLiteral("/doc.pdf"));
    pdf.setPageSize(QPageSize(QPageSize::A4));
    {
        QPainter painter(&pdf);
        painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 12));
        for (int line = 0; line < 40; ++line)
            painter.drawText(200, 300 + line * 250,
                             QStringLiteral("Ligne %1 du document de mesure.").arg(line));
    }
    QImage photo(640, 480, QImage::Format_RGB32);
    photo.fill(Qt::darkCyan);
    photo.save(folder + QStringLiteral("/photo.jpg"), "JPEG");
    QImage page(800, 200, QImage::Format_RGB32);
    page.fill(Qt::white);
    {
        QPainter painter(&page);
        painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 28));
        painter.setPen(Qt::black);
        painter.drawText(20, 110, QStringLiteral("Bonjour le monde"));
    }
    page.save(folder + QStringLiteral("/text.png"), "PNG");
}

QByteArray tone(int ms) {
    QByteArray pcm(qsizetype(48) * ms * 2, Qt::Uninitialized);
    auto* samples = reinterpret_cast<qint16*>(pcm.data());
    for (qsizetype i = 0; i < pcm.size() / 2; ++i)
        samples[i] = qint16(8000 * std::sin(2 * M_PI * 440 * double(i) / 48000));
    return pcm;
}

QList<Feature> features() {
    return {
        {"audiocodec", "push-to-talk: the encoder opens, 1 s of speech, the file ends",
         [] { audioCodecModule(); },
         [](const QString& folder) {
             AacFileWriter writer;
             if (!writer.open(folder + QStringLiteral("/rec.m4a"), PcmFormat{48000, 1}) ||
                 !writer.write(tone(1000)) || !writer.finish())
                 std::fprintf(stderr, "recording failed\n");
         }},
        {"ocr", "text recognition of a one-line image (the recogniser's language data included)",
         [] { ocrModule(); },
         [](const QString& folder) { OcrEngine::recognize(folder + QStringLiteral("/text.png")); }},
        {"pdf", "a PDF read (one page of text)", [] { pdfModule(); },
         [](const QString& folder) {
             DocumentExtractor::extract(folder + QStringLiteral("/doc.pdf"), 100000);
         }},
        {"photometa", "a photo read (its EXIF data)", [] { photoMetadataModule(); },
         [](const QString& folder) { PhotoLibrary::readMetadata(folder + QStringLiteral("/photo.jpg")); }},
        {"heif", "the HEIF decoder (load only)", [] { heifModule(); }, nullptr},
        {"tracker", "the metadata index (load only)", [] { trackerModule(); }, nullptr},
        {"sound", "the sound devices: load and the default microphone looked up", [] { soundModule(); },
         [](const QString&) { soundModule().hasInput(); }},
        {"speech", "speech synthesis: load and the engine's start", [] { speechModule(); },
         [](const QString&) { speechModule().sampleRate(); }},
    };
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "ombrix.*.info=false");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 3 && args[0] == QLatin1String("--first")) {
        for (const Feature& feature : features()) {
            if (args[1] != QLatin1String(feature.name))
                continue;
            QElapsedTimer timer;
            timer.start();
            feature.use(args[2]);
            std::printf("%.2f\n", msSince(timer));
            return 0;
        }
        return 2;
    }
    if (args.size() == 3 && args[0] == QLatin1String("--load")) {
        for (const Feature& feature : features()) {
            if (args[1] != QLatin1String(feature.name))
                continue;
            QElapsedTimer timer;
            timer.start();
            feature.load();
            const double load = msSince(timer);
            double again = -1;
            if (feature.use) {
                feature.use(args[2]); // warms the decoder itself
                timer.restart();
                feature.use(args[2]);
                again = msSince(timer);
            }
            std::printf("%.2f %.2f\n", load, again);
            return 0;
        }
        return 2;
    }
    const int runs = args.isEmpty() ? 5 : qMax(1, args[0].toInt());
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/ombrix-first-use-XXXXXX"));
    writeFixtures(folder.path());
    auto run = [&](const QStringList& arguments) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), arguments);
        child.waitForFinished(120000);
        return QString::fromUtf8(child.readAllStandardOutput()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    };
    auto median = [](QList<double> values) {
        std::sort(values.begin(), values.end());
        return values.isEmpty() ? -1.0 : values[values.size() / 2];
    };
    std::printf("%-11s %10s %10s %10s  %s\n", "module", "load (ms)", "first use", "later use", "what");
    for (const Feature& feature : features()) {
        QList<double> loads, firsts, agains;
        for (int i = 0; i < runs; ++i) {
            const QStringList loaded =
                run({QStringLiteral("--load"), QString::fromLatin1(feature.name), folder.path()});
            if (loaded.size() == 2) {
                loads << loaded[0].toDouble();
                if (loaded[1].toDouble() >= 0)
                    agains << loaded[1].toDouble();
            }
            if (feature.use) {
                const QStringList first =
                    run({QStringLiteral("--first"), QString::fromLatin1(feature.name), folder.path()});
                if (first.size() == 1)
                    firsts << first[0].toDouble();
            }
        }
        std::printf("%-11s %10.1f %10.1f %10.1f  %s\n", feature.name, median(loads), median(firsts),
                    median(agains), feature.what);
    }
    return 0;
}

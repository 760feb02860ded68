// Document search and extraction on real files:
//  - the name walk over a generated tree of 50,000 files in 2,000 folders (a word
//    that matches nothing, so the whole tree is walked; a rare word; a common word
//    that fills the candidates at once), directly and through SpotlightSearch
//    without a metadata index;
//  - the text of a 5 MB text file (UTF-8, and Latin-1 after a failed UTF-8 pass),
//    cut to 8,000 characters and whole;
//  - the text of a 100-page PDF, cut to 8,000 characters (stops after a few pages)
//    and whole.
// Medians of five runs, after one warm-up run (file-system caches warm).
//
//   build/tests/bench_documents [folder for the generated files]
#include "content/DocumentExtractor.h"
#include "content/FileManagerSearch.h"
#include "content/SpotlightSearch.h"
#include "platform/DefaultsStore.h"
#include "support/BenchSupport.h"
#include "support/DocumentFiles.h"
#include "support/FakeMetadataIndex.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

// Times the work, then prints its line with the description of its last result.
void row(const char* what, const std::function<void()>& work, const std::function<QString()>& detail) {
    const double ms = medianMs(work);
    std::printf("| %s | %.1f | %s |\n", what, ms, qPrintable(detail()));
}

QByteArray frenchText(qint64 bytes, bool latin1) {
    const QString paragraph = QStringLiteral(
        "Le comité a examiné le rapport annuel : dépenses, recettes et prévisions pour l'année à venir. "
        "Les élèves ont présenté leurs travaux ; la séance s'est achevée à dix-huit heures.\n");
    const QByteArray unit = latin1 ? paragraph.toLatin1() : paragraph.toUtf8();
    QByteArray text;
    text.reserve(bytes + unit.size());
    while (text.size() < bytes)
        text += unit;
    text.truncate(bytes);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    DefaultsStore::setShared(std::make_shared<MemoryDefaultsStore>());
    QTemporaryDir scratch((argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath()) +
                          QStringLiteral("/ombrix-bench-documents-XXXXXX"));
    const QString tree = scratch.filePath(QStringLiteral("arbre"));

    QElapsedTimer making;
    making.start();
    for (int folder = 0; folder < 2000; ++folder) {
        const QString dir = tree + QStringLiteral("/dossier-%1/sous-%2").arg(folder / 40).arg(folder);
        QDir().mkpath(dir);
        for (int file = 0; file < 25; ++file) {
            const int n = folder * 25 + file;
            const QString name = n % 10007 == 0 ? QStringLiteral("rapport-annuel-%1.txt").arg(n)
                                                : QStringLiteral("note-%1.txt").arg(n);
            QFile out(dir + QLatin1Char('/') + name);
            out.open(QIODevice::WriteOnly);
            out.write("x");
        }
    }
    std::printf("tree of 50,000 files in 2,000 folders made in %.1f s\n\n", making.elapsed() / 1000.0);

    const QList<QUrl> folders{QUrl::fromLocalFile(tree)};
    std::printf("| measure | ms (median of 5) | results |\n|---|---|---|\n");
    qsizetype found = 0;
    row(
        "walk, word found nowhere (whole tree)",
        [&] {
            found = FileManagerSearch::searchNow({QStringLiteral("introuvable")}, folders, 10, 50'000).size();
        },
        [&] { return QString::number(found); });
    row(
        "walk, rare word (5 files)",
        [&] {
            found = FileManagerSearch::searchNow({QStringLiteral("Rapport")}, folders, 10, 50'000).size();
        },
        [&] { return QString::number(found); });
    row(
        "walk, common word (stops at 30 candidates)",
        [&] { found = FileManagerSearch::searchNow({QStringLiteral("note")}, folders, 10, 50'000).size(); },
        [&] { return QString::number(found); });
    auto index = std::make_shared<FakeMetadataIndex>();
    index->setAvailable(false);
    ScopedMetadataIndex installed(index);
    row(
        "SpotlightSearch without index, rare word",
        [&] {
            found =
                runTask(SpotlightSearch::search(QStringLiteral("rapport annuel"), folders, 10, 5.0)).size();
        },
        [&] { return QString::number(found); });

    const QString utf8 =
        DocumentFiles::write(scratch.filePath(QStringLiteral("texte.txt")), frenchText(5'000'000, false));
    const QString latin1 =
        DocumentFiles::write(scratch.filePath(QStringLiteral("latin1.txt")), frenchText(5'000'000, true));
    ExtractedContent content;
    row(
        "5 MB UTF-8 text, 8,000 characters", [&] { content = DocumentExtractor::extract(utf8, 8000); },
        [&] { return QStringLiteral("%1 characters").arg(content.text.size()); });
    row(
        "5 MB UTF-8 text, whole", [&] { content = DocumentExtractor::extract(utf8, 10'000'000); },
        [&] { return QStringLiteral("%1 characters").arg(content.text.size()); });
    row(
        "5 MB Latin-1 text, 8,000 characters", [&] { content = DocumentExtractor::extract(latin1, 8000); },
        [&] { return QStringLiteral("%1 characters").arg(content.text.size()); });

    QStringList pages;
    const QString page = QString::fromUtf8(frenchText(1500, false));
    for (int i = 0; i < 100; ++i)
        pages.append(QStringLiteral("Page %1. ").arg(i + 1) + page);
    const QString pdf =
        DocumentFiles::write(scratch.filePath(QStringLiteral("cent-pages.pdf")), DocumentFiles::pdf(pages));
    row(
        "100-page PDF, 8,000 characters", [&] { content = DocumentExtractor::extract(pdf, 8000); },
        [&] { return QStringLiteral("%1 characters").arg(content.text.size()); });
    row(
        "100-page PDF, whole", [&] { content = DocumentExtractor::extract(pdf, 10'000'000); },
        [&] {
            return QStringLiteral("%1 characters, %2 KB file")
                .arg(content.text.size())
                .arg(QFileInfo(pdf).size() / 1024);
        });
    return 0;
}

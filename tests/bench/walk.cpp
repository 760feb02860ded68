// The name walk of document search against `find -iname`, side by side on one
// generated tree (50,000 one-byte files in 2,000 folders, 2,050 folders in all),
// in one run: each measure is the median of five runs after a warm-up
// (file-system caches warm).
//  - as whole processes: `find TREE -iname '*word*'` and this program started
//    with --walk (the walk alone, then exit);
//  - inside the running program: the walk before and after the MIME database
//    was used, and, for reference, the same walk written with QDirIterator.
// The walk looks at every entry (no per-folder bound) for a word found nowhere.
//
//   build/tests/bench_walk [folder for the generated files]
#include "content/ContentFiles.h"
#include "content/FileManagerSearch.h"

#include "support/BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QMimeDatabase>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr qint64 kEveryEntry = 10'000'000;

void row(const char* what, const std::function<void()>& work) {
    std::printf("| %s | %.1f |\n", what, medianMs(work));
    std::fflush(stdout);
}

void runProcess(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start();
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        std::fprintf(stderr, "%s failed\n", qPrintable(program));
}

// The former walk: QDirIterator over the tree, names folded and matched.
qsizetype iteratorWalk(const QString& root, const QString& word) {
    const QString folded = ContentFiles::fold(word);
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    qsizetype found = 0;
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        if (!name.startsWith(QLatin1Char('.')) && ContentFiles::fold(name).contains(folded))
            ++found;
    }
    return found;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && qstrcmp(argv[1], "--walk") == 0) {
        const QList<SearchResult> results = FileManagerSearch::searchNow(
            {QString::fromLocal8Bit(argv[3])}, {QUrl::fromLocalFile(QString::fromLocal8Bit(argv[2]))}, 10,
            kEveryEntry);
        std::printf("%lld\n", static_cast<long long>(results.size()));
        return 0;
    }
    QCoreApplication app(argc, argv);
    QTemporaryDir scratch((argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath()) +
                          QStringLiteral("/ombrix-bench-walk-XXXXXX"));
    const QString tree = scratch.filePath(QStringLiteral("arbre"));
    for (int folder = 0; folder < 2000; ++folder) {
        const QString dir = tree + QStringLiteral("/dossier-%1/sous-%2").arg(folder / 40).arg(folder);
        QDir().mkpath(dir);
        for (int file = 0; file < 25; ++file) {
            QFile out(dir + QStringLiteral("/note-%1.txt").arg(folder * 25 + file));
            out.open(QIODevice::WriteOnly);
            out.write("x");
        }
    }
    const QString word = QStringLiteral("introuvable");
    const QList<QUrl> folders{QUrl::fromLocalFile(tree)};
    const QString find = QStringLiteral("/usr/bin/find");
    const QString self = QCoreApplication::applicationFilePath();

    std::printf("| measure (52,050 entries, word found nowhere) | ms (median of 5) |\n|---|---|\n");
    row("`find TREE -iname '*introuvable*'`, whole process", [&] {
        runProcess(find, {tree, QStringLiteral("-iname"), QStringLiteral("*") + word + QLatin1Char('*')});
    });
    row("walk, whole process (`bench_walk --walk TREE introuvable`)", [&] {
        runProcess(self, {QStringLiteral("--walk"), tree, word});
    });
    row("walk, inside the program", [&] { FileManagerSearch::searchNow({word}, folders, 10, kEveryEntry); });
    row("former QDirIterator walk, inside the program", [&] { iteratorWalk(tree, word); });
    // The MIME database loaded (as any search that found something does).
    QMimeDatabase().mimeTypeForFile(self);
    row("walk, inside the program, MIME database loaded",
        [&] { FileManagerSearch::searchNow({word}, folders, 10, kEveryEntry); });
    row("former QDirIterator walk, MIME database loaded", [&] { iteratorWalk(tree, word); });
    return 0;
}

// The local model tab's log while a command writes a burst of output: what the burst
// costs the GUI thread, from the lines reaching the tab to their views laid out and
// painted. Two bursts, as a command's output reaches the tab in one read:
//  1. 1,000 lines of download progress (about 80 characters each);
//  2. twelve 64 KiB pieces without a line feed (a progress bar that only returns
//     the carriage), each piece a line of its own.
// The tab is shown offscreen with the catalogue's download running (both logs
// visible); a scripted command runner writes the burst. A 1 ms timer ticks on the
// event loop; the longest gap between two ticks, the burst's own handling included,
// is the burst's cost. For comparison, the same bursts drawn the way the tab drew
// its log before: a word-wrapped label in a scroll view, refilled with the whole
// text for each line; and the stall the loaded machine causes with no burst at all.
// Exits with 1 when a burst's median stall exceeds 16 ms.
//
//   build/tests/bench_local_model_log [runs]
#include "localllm/FakeCommandRunner.h"
#include "localllm/LocalLLMCatalog.h"
#include "localllm/LocalLLMInstaller.h"
#include "platform/Resources.h"
#include "session/AppSession.h"
#include "settings/LocalModelSettings.h"
#include "settings/widgets/LocalModelSettingsWidget.h"
#include "support/BenchSupport.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

// The longest stall of the GUI thread from the action until the events it caused
// (the views following, their layout and paint) have run, in milliseconds.
double longestStallMs(const std::function<void()>& action) {
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });
    sinceTick.start();
    ticker.start(1);
    action();
    longest = std::max(longest, sinceTick.elapsed());
    spinFor(150); // the views follow the burst, then paint what changed
    ticker.stop();
    return static_cast<double>(longest);
}

QStringList progressLines(int count) {
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << QStringLiteral(
                     "Fetching 9 files: %1%|████▌     | %2/9 [00:%3<00:12, 1.2it/s] model-0000%4.safetensors")
                     .arg(i % 100)
                     .arg(i % 9)
                     .arg(i % 60, 2, 10, QLatin1Char('0'))
                     .arg(i % 4);
    return lines;
}

QStringList pieces() {
    QStringList lines;
    for (int i = 0; i < 12; ++i) {
        QString piece;
        while (piece.size() < 64 * 1024)
            piece += QStringLiteral("\r%1%|████▌     | %2/9 [00:03<00:12, 1.2it/s]").arg(i * 8).arg(i % 9);
        lines << piece.left(64 * 1024);
    }
    return lines;
}

// The log as the tab drew it before: the label refilled with the whole text for
// every line.
double labelStallMs(const QStringList& burst) {
    QScrollArea scroll;
    scroll.setWidgetResizable(true);
    scroll.setMaximumHeight(140);
    auto* label = new QLabel;
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    QFont font(QStringLiteral("monospace"));
    font.setPointSize(8);
    label->setFont(font);
    scroll.setWidget(label);
    scroll.resize(600, 140);
    scroll.show();
    QStringList shown;
    return longestStallMs([&] {
        for (const QString& line : burst) {
            shown << line;
            if (shown.size() > LocalModelSettingsController::kOperationLogLines)
                shown.removeFirst();
            label->setText(shown.join(QLatin1Char('\n')));
        }
    });
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/ombrix-bench-XXXXXX"));
    pointHomeAt(home.path());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initOmbrixResources();
    installMemoryDefaults();
    installMemorySecrets();
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    FakeBackend backend; // the backend's catalogue is unavailable: the built-in one stays
    auto runner = std::make_shared<FakeCommandRunner>();
    LocalLLMInstaller::setCommandRunner(runner);
    QDir().mkpath(QDir::homePath() + QStringLiteral("/.local/bin"));
    QFile uv(QDir::homePath() + QStringLiteral("/.local/bin/uv"));
    uv.open(QIODevice::WriteOnly);
    uv.close();

    LocalModelSettingsWidget widget;
    widget.resize(640, 1900);
    widget.show();
    spinFor(300);
    const LocalLLMModel model = LocalLLMCatalog::models().at(1);

    struct Burst {
        const char* name;
        QStringList lines;
    };
    const Burst bursts[] = {{"1,000 lines", progressLines(1000)}, {"twelve 64 KiB pieces", pieces()}};
    bool over = false;
    std::printf(
        "| burst | now: longest stall (ms), median of %d [min – max] | before: label refilled (ms) |\n"
        "|---|---|---|\n",
        runs);
    for (const Burst& burst : bursts) {
        QList<double> stalls;
        for (int run = 0; run < runs; ++run) {
            bool outputDone = false;
            runner->script = [&](const QString&, const QStringList& arguments) {
                FakeCommandRunner::Reply reply;
                if (arguments.contains(QStringLiteral("mlx_lm.generate")))
                    reply.lines = burst.lines;
                return reply;
            };
            // The download starts (its log emptied, its first line shown), then its
            // command writes the burst in one go and keeps running, as a download
            // does for minutes: only the burst is measured.
            runner->hold = true;
            runner->holdAfterOutput = true;
            std::optional<QCoro::Task<>> download;
            download.emplace(widget.controller().download(model));
            spinFor(300);
            const double stall = longestStallMs([&] {
                runner->hold = false;
                outputDone = true;
            });
            runner->holdAfterOutput = false;
            spinUntil([&] { return !widget.controller().downloadingId(); });
            if (!outputDone ||
                widget.controller().progressLog().appended() < static_cast<quint64>(burst.lines.size()))
                std::fprintf(stderr, "the burst did not reach the log\n");
            stalls << stall;
        }
        const double before = labelStallMs(burst.lines);
        const double median = medianOf(stalls);
        std::printf("| %s | %.1f [%.1f – %.1f] | %.0f |\n", burst.name, median,
                    *std::min_element(stalls.begin(), stalls.end()),
                    *std::max_element(stalls.begin(), stalls.end()), before);
        over = over || median > 16;
    }
    // The installation's view alone, out of the tab: following the 1,000-line burst
    // (one insertion) and painting, timed on the clock rather than by the ticker.
    QList<double> follows;
    QList<double> paints;
    for (int run = 0; run < runs; ++run) {
        ProgressLogView view(LocalModelSettingsController::kOperationLogLines, 140);
        view.resize(600, 140);
        view.show();
        ProgressLog log;
        log.append(QStringLiteral("▶︎ Téléchargement du modèle"),
                   LocalModelSettingsController::kOperationLogLines);
        view.follow(log);
        spinFor(50);
        for (const QString& line : bursts[0].lines)
            log.append(line, LocalModelSettingsController::kOperationLogLines);
        QElapsedTimer clock;
        clock.start();
        view.follow(log);
        follows << static_cast<double>(clock.nsecsElapsed()) / 1e6;
        clock.restart();
        view.repaint();
        paints << static_cast<double>(clock.nsecsElapsed()) / 1e6;
    }
    std::printf("| 1,000 lines, the installation's view alone: follow / paint | %.1f / %.1f | |\n",
                medianOf(follows), medianOf(paints));
    // What the loaded machine alone costs the 1 ms ticker over the same time.
    QList<double> idle;
    for (int run = 0; run < runs; ++run)
        idle << longestStallMs([] {});
    std::printf("| nothing (the machine's own noise) | %.1f [%.1f – %.1f] | |\n", medianOf(idle),
                *std::min_element(idle.begin(), idle.end()), *std::max_element(idle.begin(), idle.end()));
    return over ? 1 : 0;
}

// The local model tab's widget, offscreen: it draws the controller's state and
// its buttons reach the controller. Renders the tab for review.
#include "settings/widgets/LocalModelSettingsWidget.h"

#include "localllm/FakeCommandRunner.h"
#include "session/AppSession.h"
#include "settings/LocalModelSettings.h"
#include "support/FakeLocalModelServer.h"
#include "support/GuiStall.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextCursor>

#include <gtest/gtest.h>

#include <filesystem>

namespace {
template <typename T> T* findByText(QWidget* root, const QString& text) {
    for (T* widget : root->findChildren<T*>())
        if (widget->text() == text)
            return widget;
    return nullptr;
}
} // namespace

TEST(LocalModelSettingsWidget, DrawsTheTabAndItsButtonsAct) {
    installMemoryDefaults();
    AppSession::resetSharedForTesting();
    FakeBackend backend; // the backend's catalogue is unavailable: the built-in one stays
    FakeLocalModelServer server;
    server.setModels({"mlx-community/Qwen3-8B-4bit", "<b>gras</b> & co"});
    server.setChatResponse(
        ScriptedResponse::json(200, R"({"choices":[{"message":{"content":"Bonjour !"}}]})"));
    auto runner = std::make_shared<FakeCommandRunner>();
    LocalLLMInstaller::setCommandRunner(runner);
    AppSession& session = AppSession::shared();
    session.setLocalLLMEndpoint(server.endpoint());
    session.setLocalLLMEnabled(true);
    const LocalLLMModel first = LocalLLMCatalog::models().first();
    session.setLocalLLMModel(first.id);
    // One model in the cache, and brew found.
    QString folder = first.id;
    folder.replace('/', "--");
    const QString snapshot = LocalLLMCatalog::hubPath() + "/models--" + folder + "/snapshots/rev";
    QDir().mkpath(snapshot);
    for (const char* name : {"/config.json", "/model.safetensors"}) {
        QFile file(snapshot + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("{}");
    }
    QDir().mkpath(QDir::homePath() + "/.local/bin");
    QFile uv(QDir::homePath() + "/.local/bin/uv");
    ASSERT_TRUE(uv.open(QIODevice::WriteOnly));

    {
        LocalModelSettingsWidget widget;
        LocalModelSettingsController::Timing timing;
        timing.pollPauseMs = 20;
        timing.restartPollSeconds = 1;
        widget.controller().setTiming(timing);
        widget.controller().setMachineRamGB(16);
        widget.resize(640, 1900);
        widget.show();
        ASSERT_TRUE(spinUntil([&] {
            return widget.controller().healthStatus() == LocalModelSettingsController::HealthStatus::ok();
        }));
        EXPECT_TRUE(widget.controller().downloadedModelIds().contains(first.id));
        EXPECT_EQ(widget.controller().installStatus().components.size(), 4);
        // The server's words show as written, never as markup.
        int markup = 0;
        for (QLabel* label : widget.findChildren<QLabel*>())
            if (label->text().contains("<b>gras</b>")) {
                ++markup;
                EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
            }
        EXPECT_GE(markup, 1);

        QPushButton* restart = findByText<QPushButton>(&widget, "Redémarrer");
        ASSERT_NE(restart, nullptr);
        restart->click();
        EXPECT_TRUE(widget.controller().isRestarting());
        EXPECT_FALSE(findByText<QPushButton>(&widget, "Appliquer et redémarrer")->isEnabled());
        ASSERT_TRUE(spinUntil([&] { return !widget.controller().isRestarting(); }));

        findByText<QPushButton>(&widget, "Tester l'inférence")->click();
        ASSERT_TRUE(spinUntil([&] { return widget.controller().testOutput().has_value(); }));
        EXPECT_NE(findByText<QLabel>(&widget, "Serveur en ligne"), nullptr);
        EXPECT_NE(findByText<QPushButton>(&widget, "Installer"), nullptr); // mlx-lm and the unit are missing

        // A download under way: its log keeps the newest line in view.
        const LocalLLMModel second = LocalLLMCatalog::models().at(1);
        runner->script = [](const QString&, const QStringList&) {
            FakeCommandRunner::Reply reply;
            for (int i = 1; i <= 12; ++i)
                reply.lines << QString("Fetching 9 files: %1%|████▌     | %2/9 [00:0%3<00:12, 1.2it/s]")
                                   .arg(i * 8)
                                   .arg(i % 9)
                                   .arg(i % 10);
            reply.lines << "model-00002-of-00002.safetensors: dernière ligne";
            return reply;
        };
        runner->holdAfterOutput = true;
        auto downloading = widget.controller().download(second);
        ASSERT_TRUE(spinUntil([&] { return widget.controller().installLog().size() == 15; }));
        spinFor(50);
        ProgressLogView* view = nullptr;
        for (ProgressLogView* log : widget.findChildren<ProgressLogView*>())
            if (log->isVisible() && log->toPlainText().endsWith("dernière ligne") &&
                log->document()->blockCount() == LocalModelSettingsController::kDownloadLogTailLines)
                view = log;
        ASSERT_NE(view, nullptr) << "the catalogue's log shows the last 8 lines";
        EXPECT_EQ(view->toPlainText(), widget.controller().downloadLogTail().join('\n'));
        EXPECT_TRUE(view->isReadOnly());
        EXPECT_LE(view->height(), 100);
        EXPECT_EQ(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());
        QTextCursor end(view->document());
        end.movePosition(QTextCursor::End);
        EXPECT_LE(view->cursorRect(end).bottom(), view->viewport()->height()) << "the newest line is in view";
        EXPECT_GE(view->cursorRect(end).top(), 0);
        widget.findChild<QScrollArea*>()->ensureWidgetVisible(view);
        saveScreenshot(&widget, "settings-local-model");
        runner->holdAfterOutput = false;
        ASSERT_TRUE(spinUntil([&] { return !widget.controller().downloadingId(); }));

        // The test's answer is cut to 4 lines and its error to 3.
        QString longAnswer;
        for (int i = 1; i <= 12; ++i)
            longAnswer += QString("Ligne %1 d'une réponse bien trop longue pour tenir ici.\\n").arg(i);
        server.setChatResponse(ScriptedResponse::json(
            200, QString(R"({"choices":[{"message":{"content":"%1"}}]})").arg(longAnswer).toUtf8()));
        findByText<QPushButton>(&widget, "Tester l'inférence")->click();
        ASSERT_TRUE(spinUntil(
            [&] { return widget.controller().testOutput().value_or(QString()).contains("Ligne 12"); }));
        QLabel* output = nullptr;
        for (QLabel* label : widget.findChildren<QLabel*>())
            if (label->isVisible() && label->text().startsWith("✓ ") && label->text().contains("Ligne 1 "))
                output = label;
        ASSERT_NE(output, nullptr);
        EXPECT_EQ(output->text().count('\n'), 3);
        EXPECT_TRUE(output->text().endsWith("…"));
        EXPECT_EQ(limitToLines("a\nb\nc\nd", output->font(), 400, 3), "a\nb\nc…");
        EXPECT_EQ(limitToLines("a\nb\nc", output->font(), 400, 3), "a\nb\nc");
        const QString wrapped = limitToLines(QString(200, 'x'), output->font(), 100, 3);
        EXPECT_EQ(wrapped.count('\n'), 2);

        // Hidden while a check waits: the check publishes nothing.
        auto slow = ScriptedResponse::text(500, "");
        slow.holdMs = 300;
        server.setModelsResponse(slow);
        auto check = widget.controller().checkHealth();
        widget.hide();
        spinFor(500);
        EXPECT_NE(widget.controller().healthStatus().kind(),
                  LocalModelSettingsController::HealthStatus::Kind::Down);
    }
    LocalLLMInstaller::setCommandRunner(nullptr);
    AppSession::resetSharedForTesting();
}

TEST(LocalModelSettingsWidget, LogsFollowABurstWithinTheirBounds) {
    installMemoryDefaults();
    AppSession::resetSharedForTesting();
    FakeBackend backend;
    auto runner = std::make_shared<FakeCommandRunner>();
    LocalLLMInstaller::setCommandRunner(runner);
    QDir().mkpath(QDir::homePath() + "/.local/bin");
    QFile uv(QDir::homePath() + "/.local/bin/uv");
    ASSERT_TRUE(uv.open(QIODevice::WriteOnly));
    uv.close();
    QStringList lines;
    for (int i = 1; i <= 1500; ++i)
        lines << QString("Fetching 9 files: %1%|████▌     | ligne %2").arg(i % 100).arg(i);
    QStringList pieces;
    for (int i = 1; i <= 12; ++i)
        pieces << QString(64 * 1024 - 2, QChar('a' + i)) + "é"; // 64 KiB as UTF-8, no line feed
    {
        LocalModelSettingsWidget widget;
        widget.resize(640, 1900);
        widget.show();
        spinFor(200);
        const LocalLLMModel model = LocalLLMCatalog::models().at(1);
        LocalModelSettingsController& controller = widget.controller();
        for (const QStringList* burst : {&lines, &pieces}) {
            SCOPED_TRACE(burst == &lines ? "1,500 lines" : "twelve 64 KiB pieces");
            runner->script = [&](const QString&, const QStringList& arguments) {
                FakeCommandRunner::Reply reply;
                if (arguments.contains("mlx_lm.generate"))
                    reply.lines = *burst;
                return reply;
            };
            runner->holdAfterOutput = true;
            // The GUI thread's stalls, from the burst to its views drawn.
            GuiStallMeter meter;
            // And how often the tab and its views are drawn again: once for the burst, not
            // once per line.
            int refreshes = 0;
            int edits = 0;
            QList<QMetaObject::Connection> counters{
                QObject::connect(&controller, &LocalModelSettingsController::changed, [&] { ++refreshes; })};
            for (ProgressLogView* view : widget.findChildren<ProgressLogView*>())
                counters << QObject::connect(view->document(), &QTextDocument::contentsChanged,
                                             [&] { ++edits; });
            meter.start();
            auto download = controller.download(model);
            ASSERT_TRUE(spinUntil([&] { return controller.installLog().endsWith(burst->last()); }));
            spinFor(100);
            const GuiStall stall = meter.stop();
            for (const auto& counter : counters)
                QObject::disconnect(counter);
            // A few redraws (a loaded machine splits the burst over more turns of the event
            // loop), never one a line.
            EXPECT_LE(refreshes, 12);
            EXPECT_LE(edits, 12);

            // The log keeps its newest lines, within 1,000 lines and 256 KiB.
            const ProgressLog& log = controller.progressLog();
            EXPECT_LE(log.lines().size(), LocalModelSettingsController::kOperationLogLines);
            EXPECT_LE(log.bytes(), ProgressLog::kMaxBytes);
            if (burst == &lines)
                EXPECT_EQ(log.lines(), lines.mid(500));
            else
                EXPECT_EQ(log.lines(), pieces.mid(8));
            // Both views show what the log keeps: the installation's all of it, the
            // catalogue's its last 8 lines.
            QList<ProgressLogView*> views = widget.findChildren<ProgressLogView*>();
            ASSERT_EQ(views.size(), 2);
            for (ProgressLogView* view : views) {
                QStringList shown;
                for (const QString& line :
                     log.lines().mid(qMax(0, int(log.lines().size()) - view->keptLines())))
                    shown << ProgressLogView::shown(line);
                EXPECT_EQ(view->toPlainText(), shown.join('\n'));
            }
            // Far below the seconds of work it took when the whole text was laid out again
            // for each line; docs/benchmarks.md has the figures (about a frame).
            EXPECT_TRUE(guiStayedResponsive(stall, 500, 500));
            runner->holdAfterOutput = false;
            ASSERT_TRUE(spinUntil([&] { return !controller.downloadingId(); }));
        }
    }
    LocalLLMInstaller::setCommandRunner(nullptr);
    AppSession::resetSharedForTesting();
}

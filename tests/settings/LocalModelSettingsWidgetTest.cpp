// The local model tab's widget, offscreen: it draws the controller's state and
// its buttons reach the controller. Renders the tab for review.
#include "settings/widgets/LocalModelSettingsWidget.h"

#include "localllm/FakeCommandRunner.h"
#include "session/AppSession.h"
#include "settings/LocalModelSettings.h"
#include "support/FakeLocalModelServer.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

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
    server.setModels({"mlx-community/Qwen3-8B-4bit"});
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
    QDir().mkpath(LocalLLMCatalog::hubPath() + "/models--" + folder + "/snapshots/rev");
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
        saveScreenshot(&widget, "settings-local-model");

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

// The provider and model picker: the pill's text and symbol, the menu built from
// the cloud catalogue and the downloaded local models, and what each choice writes.
#include "app/CloudCatalog.h"
#include "app/ProviderPickerModel.h"
#include "app/SettingsOpener.h"
#include "bridge/BridgeService.h"
#include "localllm/LocalLLMCatalog.h"
#include "session/AppSession.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

using Kind = PickerEntry::Kind;

CloudModel cloudModel(qint64 id, const QString& slug, std::optional<QString> name = std::nullopt,
                      std::optional<QString> kind = std::nullopt,
                      std::optional<QString> status = std::nullopt) {
    CloudModel model;
    model.id = id;
    model.slug = slug;
    model.display_name = std::move(name);
    model.kind = std::move(kind);
    model.status = std::move(status);
    return model;
}

CloudProvider provider(qint64 id, const QString& slug, const QString& name, std::optional<QString> display,
                       QList<CloudModel> models) {
    return CloudProvider{id, slug, name, std::move(display), std::move(models)};
}

// A catalogue filled as a fetch would fill it.
class StubbedCatalog : public CloudCatalog {
public:
    void fill(const QList<CloudProvider>& providers) {
        Json document = Json::array();
        for (const CloudProvider& p : providers)
            document.push_back(p.toJson());
        server.route("GET", QStringLiteral("/api/v1/providers.json"),
                     ScriptedResponse::json(200, json::dump(document)));
        runTask(refresh());
    }
    FakeBackend server;
};

// Entries in a compact form: kind letter, title, subtitle, symbol.
QStringList describe(const QList<PickerEntry>& entries) {
    QStringList out;
    for (const PickerEntry& e : entries) {
        switch (e.kind) {
        case Kind::Section:
            out << "§ " + e.title;
            break;
        case Kind::Divider:
            out << "—";
            break;
        default:
            out << e.title + (e.subtitle.isEmpty() ? QString() : " | " + e.subtitle) + " [" + e.symbol + "]";
        }
    }
    return out;
}

class RecordingSettingsOpener : public SettingsOpener {
public:
    QStringList tabs;
    void openSettingsWindow(const QString& tab) override { tabs << tab; }
};

class ProviderPickerTest : public ::testing::Test {
protected:
    void SetUp() override {
        installMemoryDefaults();
        installMemorySecrets();
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
        HttpSession::trustExtraRootsForTesting(ScriptedHttpServer::certPath(QStringLiteral("ca.pem")));
        removeTestFolder(LocalLLMCatalog::hubPath());
    }
    void TearDown() override {
        removeTestFolder(LocalLLMCatalog::hubPath());
        AppSession::resetSharedForTesting();
    }
    static void download(const QString& id) {
        QString folder = id;
        folder.replace(QLatin1Char('/'), QStringLiteral("--"));
        const QString snapshot = LocalLLMCatalog::hubPath() + "/models--" + folder + "/snapshots/0123abcd";
        QDir().mkpath(snapshot);
        // A whole download: a config and weights.
        for (const char* name : {"/config.json", "/model.safetensors"}) {
            QFile file(snapshot + name);
            file.open(QIODevice::WriteOnly);
            file.write("{}");
        }
    }

    StubbedCatalog catalog;
};

TEST_F(ProviderPickerTest, EmptyCatalogueShowsTheFallbacksAndTheMacDefault) {
    AppSession& session = AppSession::shared();
    session.setProvider(Provider::Anthropic);
    ProviderPickerModel picker(session, catalog);
    EXPECT_EQ(picker.pillSymbol(), "a.circle");
    EXPECT_EQ(picker.pillLabel(), "Claude");
    const QList<PickerEntry> entries = picker.menuEntries(LocalLLMCatalog::downloadedIds());
    EXPECT_EQ(describe(entries), QStringList({"ChatGPT [sparkles]", "Claude [a.circle]", "Gemini [g.circle]",
                                              "§ Self-Hosted", "Self-Hosted (défaut du Mac) [cpu]", "—",
                                              "Gérer les modèles… [slider.horizontal.3]"}));

    // A fallback clears the cloud model; the Mac's default clears the local one.
    session.setSelectedCloudModel("gpt-x");
    session.setSelectedLocalModel("org/kept");
    picker.choose(entries[2]);
    EXPECT_EQ(session.provider(), Provider::Gemini);
    EXPECT_EQ(session.selectedCloudModel(), "");
    EXPECT_EQ(session.selectedLocalModel(), "org/kept");
    picker.choose(entries[4]);
    EXPECT_EQ(session.provider(), Provider::Local);
    EXPECT_EQ(session.selectedLocalModel(), "");
    EXPECT_EQ(picker.pillLabel(), "Self-Hosted");
    EXPECT_EQ(picker.pillSymbol(), "cpu");

    // "Gérer les modèles…" opens the local-model tab and changes nothing.
    picker.choose(entries[4]);
    auto opener = std::make_shared<RecordingSettingsOpener>();
    SettingsOpener::setShared(opener);
    picker.choose(entries.last());
    SettingsOpener::setShared(nullptr);
    EXPECT_EQ(opener->tabs, QStringList({"localLlm"}));
    EXPECT_EQ(session.provider(), Provider::Local);
}

TEST_F(ProviderPickerTest, CatalogueSectionsKeepActiveChatModelsOnly) {
    catalog.fill({
        provider(1, "openai", "OpenAI", "OpenAI Cloud",
                 {cloudModel(10, "gpt-x", "GPT X"), cloudModel(11, "gpt-img", "Images", "image"),
                  cloudModel(12, "gpt-old", "Ancien", "chat", "deprecated"),
                  cloudModel(13, "gpt-mini", std::nullopt, "chat", "active")}),
        provider(2, "anthropic", "Anthropic", std::nullopt, {cloudModel(20, "claude-beta", "Bêta", "Chat")}),
        provider(3, "mistral", "Mistral", std::nullopt, {cloudModel(30, "mistral-large", "Mistral Large")}),
    });
    AppSession& session = AppSession::shared();
    ProviderPickerModel picker(session, catalog);
    const QList<PickerEntry> entries = picker.menuEntries({});
    EXPECT_EQ(describe(entries),
              QStringList({"§ OpenAI Cloud", "GPT X [sparkles]", "gpt-mini [sparkles]", "§ Mistral",
                           "Mistral Large [m.circle]", "§ Self-Hosted", "Self-Hosted (défaut du Mac) [cpu]",
                           "—", "Gérer les modèles… [slider.horizontal.3]"}));

    // A provider slug that names none of ours picks openai.
    session.setProvider(Provider::Gemini);
    session.setSelectedLocalModel("org/kept");
    picker.choose(entries[4]);
    EXPECT_EQ(session.provider(), Provider::OpenAI);
    EXPECT_EQ(session.selectedCloudModel(), "mistral-large");
    EXPECT_EQ(session.selectedLocalModel(), "org/kept");
    EXPECT_EQ(picker.pillLabel(), "Mistral Large");
    EXPECT_EQ(picker.pillSymbol(), "sparkles");

    // The pill names hidden models too, falls back to the slug, then to the provider.
    const QList<QPair<QString, QString>> pills = {
        {"gpt-old", "Ancien"}, {"gpt-mini", "gpt-mini"}, {"gone", "ChatGPT"}, {"", "ChatGPT"}};
    for (const auto& [slug, label] : pills) {
        session.setSelectedCloudModel(slug);
        EXPECT_EQ(picker.pillLabel(), label) << slug.toStdString();
    }

    // Providers that list no usable model leave no cloud entry at all.
    catalog.fill(
        {provider(2, "anthropic", "Anthropic", std::nullopt, {cloudModel(20, "x", "X", "embedding")})});
    EXPECT_EQ(describe(picker.menuEntries({})).first(), "§ Self-Hosted");
}

TEST_F(ProviderPickerTest, DownloadedModelsFromTheModelCache) {
    download("mlx-community/Qwen3-4B-4bit");
    download("acme/Custom-7B");
    download("mlx-community/Llama-3.2-3B-Instruct-4bit");
    QDir().mkpath(LocalLLMCatalog::hubPath() + "/models--empty--nothing/snapshots"); // no snapshot yet

    AppSession& session = AppSession::shared();
    ProviderPickerModel picker(session, catalog);
    const QList<PickerEntry> entries = picker.menuEntries(LocalLLMCatalog::downloadedIds());
    const QStringList described = describe(entries);
    const QStringList local = described.mid(described.indexOf("§ Self-Hosted") + 1);
    EXPECT_EQ(local, QStringList({"Custom-7B [cpu]", "Llama 3.2 3B | 2.0 GB · 50 tok/s [cpu]",
                                  "Qwen3 4B | 2.5 GB · 45 tok/s [cpu]", "—",
                                  "Gérer les modèles… [slider.horizontal.3]"}));

    session.setSelectedCloudModel("gpt-x");
    picker.choose(entries[entries.size() - 5]);
    EXPECT_EQ(session.provider(), Provider::Local);
    EXPECT_EQ(session.selectedLocalModel(), "acme/Custom-7B");
    EXPECT_EQ(session.selectedCloudModel(), "gpt-x");
    EXPECT_EQ(picker.pillLabel(), "Custom-7B");

    const QList<QPair<QString, QString>> pills = {{"mlx-community/Qwen3-4B-4bit", "Qwen3 4B"},
                                                  {"no-slash", "no-slash"},
                                                  {"org/ends-with/", ""},
                                                  {"", "Self-Hosted"}};
    for (const auto& [id, label] : pills) {
        session.setSelectedLocalModel(id);
        EXPECT_EQ(picker.pillLabel(), label) << id.toStdString();
    }
}

} // namespace

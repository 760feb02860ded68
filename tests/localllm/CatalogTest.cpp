#include "localllm/LocalLLMCatalog.h"
#include "platform/DefaultsStore.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <filesystem>

namespace {
void writeFile(const QString& path, qsizetype bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(QByteArray(bytes, 'w'));
}

class Catalog : public ::testing::Test {
protected:
    void SetUp() override {
        installMemoryDefaults();
        removeTestFolder(LocalLLMCatalog::hubPath());
    }
    void TearDown() override { removeTestFolder(LocalLLMCatalog::hubPath()); }
};

const QByteArray kRemote = R"({"models":[
  {"id":"org/one","display_name":"One","size_gb":1.5,"ram_gb":2,"tokens_per_sec":40,
   "description_fr":"Premier.","family":"Org"},
  {"id":"org/two","display_name":"Two","size_gb":3,"ram_gb":4.5,"tokens_per_sec":20,"description_fr":null}
]})";
} // namespace

TEST_F(Catalog, BuiltInTableIsLookedUpByExactId) {
    ASSERT_EQ(LocalLLMCatalog::models().size(), 14);
    const auto row8 = LocalLLMCatalog::model("Qwen/Qwen3-14B-MLX-4bit");
    ASSERT_TRUE(row8);
    EXPECT_EQ(*row8, LocalLLMCatalog::models().at(7));
    EXPECT_EQ(row8->displayName, QString("Qwen3 14B"));
    EXPECT_EQ(row8->approxTokensPerSec, 14);
    EXPECT_FALSE(LocalLLMCatalog::model("qwen/qwen3-14b-mlx-4bit"));
    EXPECT_EQ(LocalLLMCatalog::models().at(9).description,
              QString::fromUtf8(
                  "Reasoning-first — distill de DeepSeek-R1 sur Qwen, raisonnement visible <think>."));
}

TEST_F(Catalog, RemoteCatalogueComesFromTheBackendAndFallsBackToNothing) {
    FakeBackend backend;
    backend.route("GET", "/api/v1/local_llm/catalog.json", ScriptedResponse::json(200, kRemote));
    auto models = runTask(LocalLLMCatalog::fetchRemoteModels());
    ASSERT_TRUE(models);
    ASSERT_EQ(models->size(), 2);
    EXPECT_EQ(models->at(0), (LocalLLMModel{"org/one", "One", 1.5, 2, 40, "Premier.", "Org"}));
    EXPECT_EQ(models->at(1),
              (LocalLLMModel{"org/two", "Two", 3, 4.5, 20, "Modele MLX curaté par Ombrix.", "Local"}));
    EXPECT_EQ(backend.lastRequest().header("Accept"), QByteArray("application/json"));
    EXPECT_FALSE(backend.lastRequest().hasHeader("X-User-Token"));
    EXPECT_EQ(LocalLLMCatalog::model("org/two", *models)->displayName, QString("Two"));

    // A base that already ends in /api/v1/ gets no second /api/v1.
    DefaultsStore::shared().setString("apiBaseURL", backend.baseUrl() + "/api/v1/");
    backend.clearRequests();
    EXPECT_TRUE(runTask(LocalLLMCatalog::fetchRemoteModels()));
    EXPECT_EQ(backend.lastRequest().path, "/api/v1/local_llm/catalog.json");

    const QList<QByteArray> refused = {
        R"({"models":[]})",
        R"({"models":[{"id":"a/b","display_name":"B","size_gb":1,"ram_gb":1}]})",
        R"({"models":[{"id":"a/b","display_name":"B","size_gb":1,"ram_gb":1,"tokens_per_sec":2.5}]})",
        R"({"models":[{"id":"a/b","display_name":"B","size_gb":"1","ram_gb":1,"tokens_per_sec":2}]})",
        R"({"other":[]})",
        "not json",
        // Valid models beside a member nested too deep to be read safely.
        kRemote.left(kRemote.lastIndexOf('}')) + ",\"x\":" + QByteArray("[").repeated(12'000) +
            QByteArray("]").repeated(12'000) + "}",
    };
    for (const QByteArray& body : refused) {
        backend.route("GET", "/api/v1/local_llm/catalog.json", ScriptedResponse::json(200, body));
        EXPECT_FALSE(runTask(LocalLLMCatalog::fetchRemoteModels())) << body.data();
    }
    backend.route("GET", "/api/v1/local_llm/catalog.json", ScriptedResponse::json(500, kRemote));
    EXPECT_FALSE(runTask(LocalLLMCatalog::fetchRemoteModels()));
}

TEST_F(Catalog, SizeAndDeleteWorkOnTheCacheFolder) {
    EXPECT_EQ(LocalLLMCatalog::deleteDownload("org/absent"), 0); // no hub folder at all

    const QString folder = LocalLLMCatalog::hubPath() + "/models--org--name";
    writeFile(folder + "/blobs/aaaa", 100000);
    writeFile(folder + "/blobs/.hidden", 5000);
    QDir().mkpath(folder + "/snapshots/rev1");
    std::filesystem::create_symlink("../../blobs/aaaa",
                                    (folder + "/snapshots/rev1/model.safetensors").toStdString());
    // A link out of the folder is neither followed for the size nor removed through.
    const QString outside = QDir::homePath() + "/keep/precious.bin";
    writeFile(outside, 300000);
    std::filesystem::create_directory_symlink((QDir::homePath() + "/keep").toStdString(),
                                              (folder + "/snapshots/rev1/outside").toStdString());
    const QString other = LocalLLMCatalog::hubPath() + "/models--org--other";
    writeFile(other + "/snapshots/r/x", 10);

    const qint64 size = LocalLLMCatalog::directorySize(folder);
    EXPECT_GE(size, 100000 + 5000);
    EXPECT_LT(size, 300000);
    EXPECT_EQ(LocalLLMCatalog::directorySize(folder + "/missing"), 0);
    EXPECT_EQ(LocalLLMCatalog::downloadedIds(), (QSet<QString>{"org/name", "org/other"}));

    EXPECT_EQ(LocalLLMCatalog::deleteDownload("org/name"), size);
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_TRUE(QFileInfo::exists(outside));
    EXPECT_TRUE(QFileInfo::exists(other));
    EXPECT_EQ(LocalLLMCatalog::downloadedIds(), QSet<QString>{"org/other"});
    EXPECT_EQ(LocalLLMCatalog::deleteDownload("org/name"), 0);
}

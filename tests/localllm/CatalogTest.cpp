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
    writeFile(folder + "/snapshots/rev1/config.json", 2);
    // A link out of the folder is neither followed for the size nor removed through.
    const QString outside = QDir::homePath() + "/keep/precious.bin";
    writeFile(outside, 300000);
    std::filesystem::create_directory_symlink((QDir::homePath() + "/keep").toStdString(),
                                              (folder + "/snapshots/rev1/outside").toStdString());
    const QString other = LocalLLMCatalog::hubPath() + "/models--org--other";
    writeFile(other + "/snapshots/r/config.json", 2);
    writeFile(other + "/snapshots/r/weights.safetensors", 10);

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

TEST_F(Catalog, OnlyAWholeSnapshotCountsAsDownloaded) {
    const QString hub = LocalLLMCatalog::hubPath();
    auto whole = [&](const QString& name) {
        return LocalLLMCatalog::downloadedIds().contains("org/" + name);
    };
    auto snapshot = [&](const QString& name) { return hub + "/models--org--" + name + "/snapshots/rev"; };
    const QByteArray index = R"({"metadata":{},"weight_map":{"a":"model-00001-of-00002.safetensors",
        "b":"model-00002-of-00002.safetensors","c":"model-00001-of-00002.safetensors"}})";

    // Single file: config and weights make it whole; either alone does not.
    writeFile(snapshot("single") + "/config.json", 2);
    EXPECT_FALSE(whole("single")) << "config without weights";
    writeFile(snapshot("single") + "/model.safetensors", 10);
    EXPECT_TRUE(whole("single"));
    writeFile(snapshot("noconfig") + "/model.safetensors", 10);
    EXPECT_FALSE(whole("noconfig")) << "weights without config";

    // A blob still being written: the download has not ended (or was interrupted).
    writeFile(hub + "/models--org--single/blobs/0123abcd.incomplete", 10);
    EXPECT_FALSE(whole("single"));
    QFile::remove(hub + "/models--org--single/blobs/0123abcd.incomplete");
    EXPECT_TRUE(whole("single"));

    // Sharded: every shard the index names must be there, links into blobs included.
    writeFile(snapshot("sharded") + "/config.json", 2);
    QFile indexFile(snapshot("sharded") + "/model.safetensors.index.json");
    ASSERT_TRUE(indexFile.open(QIODevice::WriteOnly));
    indexFile.write(index);
    indexFile.close();
    writeFile(snapshot("sharded") + "/model-00001-of-00002.safetensors", 10);
    EXPECT_FALSE(whole("sharded")) << "one shard of two";
    std::filesystem::create_symlink(
        "../../blobs/shard2", (snapshot("sharded") + "/model-00002-of-00002.safetensors").toStdString());
    EXPECT_FALSE(whole("sharded")) << "a link whose blob is missing";
    writeFile(hub + "/models--org--sharded/blobs/shard2", 10);
    EXPECT_TRUE(whole("sharded"));

    // An index that names no shard, names one outside the snapshot, or is not JSON.
    for (const QByteArray& bad :
         {QByteArray(R"({"weight_map":{}})"), QByteArray(R"({"weight_map":{"a":"../../blobs/shard2"}})"),
          QByteArray(R"({"weight_map":{"a":7}})"), QByteArray("{not json")}) {
        writeFile(snapshot("badindex") + "/config.json", 2);
        writeFile(snapshot("badindex") + "/model.safetensors", 10);
        QFile file(snapshot("badindex") + "/model.safetensors.index.json");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bad);
        file.close();
        EXPECT_FALSE(whole("badindex")) << bad.constData();
    }
    // An index beyond 16 MiB is not read at all.
    QFile large(snapshot("sharded") + "/model.safetensors.index.json");
    ASSERT_TRUE(large.resize(16 * 1024 * 1024 + 1));
    EXPECT_FALSE(whole("sharded"));
}

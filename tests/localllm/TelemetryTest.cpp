#include "localllm/BridgeHeartbeat.h"
#include "localllm/LocalLLMCatalog.h"
#include "localllm/LocalLLMTelemetry.h"
#include "support/FakeLocalModelServer.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {
// Makes ~/.cache/huggingface/hub/<name>, with a snapshot entry when asked.
void makeCacheFolder(const QString& name, bool withSnapshot) {
    const QString folder = LocalLLMCatalog::hubPath() + "/" + name;
    QDir().mkpath(folder + "/snapshots");
    if (!withSnapshot)
        return;
    // A whole snapshot: a config and weights.
    QDir().mkpath(folder + "/snapshots/0123abcd");
    for (const char* file : {"/snapshots/0123abcd/config.json", "/snapshots/0123abcd/model.safetensors"}) {
        QFile f(folder + file);
        f.open(QIODevice::WriteOnly);
        f.write("{}");
    }
}

class HubFolder : public ::testing::Test {
protected:
    void SetUp() override { removeTestFolder(LocalLLMCatalog::hubPath()); }
    void TearDown() override { removeTestFolder(LocalLLMCatalog::hubPath()); }
};

QString writeMeminfo(const QTemporaryDir& dir, const QByteArray& text) {
    const QString path = dir.filePath("meminfo");
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(text);
    return path;
}

const QByteArray kMeminfo = "MemTotal:       16777216 kB\n"
                            "MemFree:         1048576 kB\n"
                            "MemAvailable:    4194304 kB\n"
                            "Buffers:          123456 kB\n";
} // namespace

TEST(BridgeHeartbeat, JsonHasOnlyPresentMembersInFixedOrder) {
    BridgeHeartbeat empty;
    EXPECT_EQ(empty.toJson().dump(), "{}");

    BridgeHeartbeat hb;
    hb.downloaded_models = QStringList{"a/b"};
    hb.tok_per_sec_recent = 12.5;
    hb.ram_total_gb = 16;
    hb.ram_used_gb = 3.25;
    hb.loaded_model = "org/model";
    EXPECT_EQ(hb.toJson().dump(), R"({"loaded_model":"org/model","ram_used_gb":3.25,"ram_total_gb":16.0,)"
                                  R"("tok_per_sec_recent":12.5,"downloaded_models":["a/b"]})");

    // Numbers JSON cannot carry are left out rather than written as null.
    BridgeHeartbeat odd;
    odd.ram_total_gb = 8;
    odd.tok_per_sec_recent = std::numeric_limits<double>::infinity();
    EXPECT_EQ(odd.toJson().dump(), R"({"ram_total_gb":8.0})");
}

TEST(BridgeHeartbeat, HeaderTextIsAsciiAndReadsBackToTheSameValues) {
    BridgeHeartbeat hb;
    hb.loaded_model = QString::fromUtf8("mlx-community/Modèle-€-😀");
    hb.ram_used_gb = 0.1 + 0.2;
    hb.ram_total_gb = 31.25;
    hb.downloaded_models = QStringList{"org/a", "back\\slash/x"};
    const QByteArray header = hb.headerValue();
    for (char c : header)
        ASSERT_TRUE(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F)
            << header.data();
    EXPECT_TRUE(header.contains(R"(mlx-community\/Mod\u00e8le-\u20ac-\ud83d\ude00)")) << header.data();
    EXPECT_FALSE(header.contains(' '));

    const Json parsed = Json::parse(header.toStdString());
    EXPECT_EQ(parsed.at("loaded_model").get<std::string>(), "mlx-community/Modèle-€-😀");
    EXPECT_EQ(parsed.at("ram_used_gb").get<double>(), 0.1 + 0.2); // shortest form, exact round trip
    EXPECT_EQ(parsed.at("downloaded_models").at(1).get<std::string>(), "back\\slash/x");
    EXPECT_EQ(parsed, hb.toJson());
}

TEST(LocalLLMTelemetry, MovingAverageFollowsTheRecordedInferences) {
    LocalLLMTelemetry t;
    EXPECT_FALSE(t.tokPerSecEMA());
    t.recordInference(100, 0); // too fast to measure: ignored
    EXPECT_FALSE(t.tokPerSecEMA());
    t.recordInference(100, 2000);
    EXPECT_DOUBLE_EQ(*t.tokPerSecEMA(), 50);
    t.recordInference(100, 1000);
    EXPECT_DOUBLE_EQ(*t.tokPerSecEMA(), 65);
    t.recordInference(0, 500);
    EXPECT_DOUBLE_EQ(*t.tokPerSecEMA(), 0.7 * 65);
}

TEST(LocalLLMTelemetry, MemoryComesFromMeminfo) {
    QTemporaryDir dir;
    auto [used, total] = LocalLLMTelemetry::ramSnapshot(writeMeminfo(dir, kMeminfo));
    ASSERT_TRUE(used && total);
    EXPECT_DOUBLE_EQ(*total, 16.0);
    EXPECT_DOUBLE_EQ(*used, 12.0);

    // No MemAvailable: used is unknown, the total still known.
    std::tie(used, total) = LocalLLMTelemetry::ramSnapshot(writeMeminfo(dir, "MemTotal: 8388608 kB\n"));
    EXPECT_FALSE(used);
    EXPECT_DOUBLE_EQ(total.value_or(0), 8.0);

    // Unreadable file: the system's physical memory, nothing for used.
    std::tie(used, total) = LocalLLMTelemetry::ramSnapshot(dir.filePath("missing"));
    EXPECT_FALSE(used);
    ASSERT_TRUE(total);
    EXPECT_GT(*total, 0);

    // The real file of this machine.
    std::tie(used, total) = LocalLLMTelemetry::ramSnapshot("/proc/meminfo");
    ASSERT_TRUE(used && total);
    EXPECT_GT(*used, 0);
    EXPECT_LE(*used, *total);
}

TEST_F(HubFolder, DownloadedIdsNeedASnapshot) {
    EXPECT_TRUE(LocalLLMCatalog::downloadedIds().isEmpty()); // no hub folder at all
    makeCacheFolder("models--org--name", true);
    makeCacheFolder("models--a--b--c", true);
    makeCacheFolder("models--org--empty", false);
    makeCacheFolder("datasets--org--data", true);
    QFile version(LocalLLMCatalog::hubPath() + "/version.txt");
    version.open(QIODevice::WriteOnly);
    version.write("1");
    version.close();
    QFile stray(LocalLLMCatalog::hubPath() + "/models--file--only");
    stray.open(QIODevice::WriteOnly);
    stray.close();
    EXPECT_EQ(LocalLLMCatalog::downloadedIds(), (QSet<QString>{"org/name", "a/b/c"}));
}

TEST_F(HubFolder, SnapshotWithoutProbeHoldsMemoryAndDownloads) {
    QTemporaryDir dir;
    LocalLLMTelemetry t;
    t.setMeminfoPath(writeMeminfo(dir, kMeminfo));
    BridgeHeartbeat hb = runTask(t.snapshot());
    EXPECT_EQ(hb.toJson().dump(), R"({"ram_used_gb":12.0,"ram_total_gb":16.0})");

    makeCacheFolder("models--mlx-community--Qwen3-4B-4bit", true);
    makeCacheFolder("models--org--other", true);
    t.recordInference(30, 1000);
    hb = runTask(t.snapshot());
    EXPECT_FALSE(hb.loaded_model);
    EXPECT_EQ(hb.tok_per_sec_recent, 30.0);
    ASSERT_TRUE(hb.downloaded_models);
    EXPECT_EQ(QSet<QString>(hb.downloaded_models->begin(), hb.downloaded_models->end()),
              (QSet<QString>{"mlx-community/Qwen3-4B-4bit", "org/other"}));
    const Json header = Json::parse(hb.headerValue().toStdString());
    EXPECT_EQ(header.at("tok_per_sec_recent").get<double>(), 30.0);
    EXPECT_TRUE(hb.headerValue().contains(R"("mlx-community\/Qwen3-4B-4bit")"));
}

TEST(LocalLLMTelemetry, LoadedModelProbeIsCachedForAMinute) {
    FakeLocalModelServer server;
    server.setModels({"mlx-community/m1", "mlx-community/m2"});
    QDateTime now = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
    LocalLLMTelemetry t;
    t.setClock([&now] { return now; });
    t.setEndpoint(server.endpoint());

    // Probe off: no request, no model.
    EXPECT_FALSE(runTask(t.snapshot()).loaded_model);
    EXPECT_EQ(server.modelsRequestCount(), 0);

    t.setModelProbeEnabled(true);
    EXPECT_EQ(runTask(t.snapshot()).loaded_model, QString("mlx-community/m1"));
    EXPECT_EQ(server.modelsRequestCount(), 1);
    EXPECT_FALSE(server.lastRequest().hasHeader("X-User-Token"));

    now = now.addSecs(30);
    server.setModels({"other/model"});
    EXPECT_EQ(runTask(t.snapshot()).loaded_model, QString("mlx-community/m1"));
    EXPECT_EQ(server.modelsRequestCount(), 1);

    now = now.addSecs(31); // 61 s after the probe
    EXPECT_EQ(runTask(t.snapshot()).loaded_model, QString("other/model"));
    EXPECT_EQ(server.modelsRequestCount(), 2);

    // Switching on keeps the cache, switching off forgets it, a new endpoint too.
    t.setModelProbeEnabled(true);
    EXPECT_EQ(t.cachedModel(), QString("other/model"));
    t.setModelProbeEnabled(false);
    EXPECT_FALSE(t.cachedModel());
    t.setModelProbeEnabled(true);
    runTask(t.snapshot());
    EXPECT_EQ(server.modelsRequestCount(), 3);
    t.setEndpoint(server.endpoint());
    EXPECT_FALSE(t.cachedModel());
    runTask(t.snapshot());
    EXPECT_EQ(server.modelsRequestCount(), 4);
}

TEST(LocalLLMTelemetry, UnusableAnswersLeaveTheModelOutAndAreNotCached) {
    FakeLocalModelServer server;
    LocalLLMTelemetry t;
    t.setEndpoint(server.endpoint());
    t.setModelProbeEnabled(true);

    const QList<ScriptedResponse> answers = {
        ScriptedResponse::json(200, R"({"object":"list","data":[]})"),
        ScriptedResponse::json(200, R"({"data":[{"object":"model"},{"id":"second"}]})"),
        ScriptedResponse::json(200, R"({"data":[{"id":42}]})"),
        ScriptedResponse::json(200, R"([{"id":"x"}])"),
        ScriptedResponse::text(200, "not json"),
        ScriptedResponse::json(200, R"({"data":[{"id":"x"}],"deep":)" + QByteArray("[").repeated(12'000) +
                                        QByteArray("]").repeated(12'000) + "}"),
        ScriptedResponse::json(500, R"({"data":[{"id":"x"}]})"),
        // Bounds: a listing past what a probe reads, an id too long for a header.
        ScriptedResponse::json(200,
                               R"({"data":[{"id":"a/b"}],"pad":")" + QByteArray(300 * 1024, 'p') + "\"}"),
        ScriptedResponse::json(200, R"({"data":[{"id":")" + QByteArray(300, 'm') + "\"}]}"),
    };
    int expected = 0;
    for (const ScriptedResponse& answer : answers) {
        server.setModelsResponse(answer);
        EXPECT_FALSE(runTask(t.snapshot()).loaded_model) << answer.body.data();
        EXPECT_EQ(server.modelsRequestCount(), ++expected);
    }
    // Each failed probe tried again: nothing was cached.
    EXPECT_FALSE(t.cachedModel());
}

TEST(LocalLLMTelemetry, StoppedOrSilentServerCostsAtMostTheProbeTimeout) {
    LocalLLMTelemetry t;
    t.setModelProbeEnabled(true);
    t.setEndpoint(FakeLocalModelServer::closedEndpoint());
    EXPECT_FALSE(runTask(t.snapshot()).loaded_model);
    t.setEndpoint("not a url");
    EXPECT_FALSE(runTask(t.snapshot()).loaded_model);

    FakeLocalModelServer server;
    ScriptedResponse silent;
    silent.neverAnswer = true;
    server.setModelsResponse(silent);
    t.setEndpoint(server.endpoint());
    QElapsedTimer timer;
    timer.start();
    const BridgeHeartbeat hb = runTask(t.snapshot());
    EXPECT_FALSE(hb.loaded_model);
    EXPECT_TRUE(hb.ram_total_gb);
    EXPECT_GE(timer.elapsed(), 1900);
    EXPECT_LT(timer.elapsed(), 30000); // the server never answers
}

TEST(LocalLLMTelemetry, ProbeAnsweredAfterTheEndpointChangedIsNotCached) {
    FakeLocalModelServer slow;
    ScriptedResponse late = ScriptedResponse::json(200, R"({"data":[{"id":"old/model"}]})");
    late.holdMs = 200;
    slow.setModelsResponse(late);
    FakeLocalModelServer fresh;
    fresh.setModels({"new/model"});

    LocalLLMTelemetry t;
    t.setModelProbeEnabled(true);
    t.setEndpoint(slow.endpoint());
    std::optional<BridgeHeartbeat> first;
    auto body = [&]() -> QCoro::Task<> { first = co_await t.snapshot(); };
    auto running = body();
    ASSERT_TRUE(slow.waitForRequests(1));
    t.setEndpoint(fresh.endpoint());
    ASSERT_TRUE(spinUntil([&] { return first.has_value(); }));
    EXPECT_EQ(first->loaded_model, QString("old/model"));
    EXPECT_FALSE(t.cachedModel());
    EXPECT_EQ(runTask(t.snapshot()).loaded_model, QString("new/model"));
}

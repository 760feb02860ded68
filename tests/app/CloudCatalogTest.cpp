// The cloud catalogue: strict decoding of the providers document, the 30-second
// freshness, failures that change nothing, and the provider icons.
#include "app/CloudCatalog.h"
#include "session/OmbrixHTTP.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace {

const QByteArray kDocument = R"([
  {"id": 1, "slug": "openai", "name": "OpenAI", "display_name": "ChatGPT", "extra": true,
   "models": [{"id": 10, "slug": "gpt-x", "display_name": "GPT X", "kind": "chat", "tier": "pro",
               "status": "active", "context_window": 128000, "supports_tools": true,
               "supports_streaming": true, "supports_audio_input": false,
               "supports_image_input": true, "supports_file_input": false}]},
  {"id": 2, "slug": "mistral", "name": "Mistral", "display_name": null, "models": [{"id": 20, "slug": "m-l"}]}
])";

class CloudCatalogTest : public ::testing::Test {
protected:
    void SetUp() override {
        installMemoryDefaults();
        HttpSession::trustExtraRootsForTesting(ScriptedHttpServer::certPath(QStringLiteral("ca.pem")));
        catalog.setClockForTesting([this] { return now; });
    }
    int fetches() const {
        int count = 0;
        for (const RecordedRequest& r : backend.requests())
            count += r.path == QLatin1String("/api/v1/providers.json") ? 1 : 0;
        return count;
    }

    FakeBackend backend;
    CloudCatalog catalog;
    QDateTime now = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
};

TEST(CloudCatalogDecoding, StrictAndCompleteDecoding) {
    const QList<CloudProvider> providers = CloudCatalog::decodeDocument(kDocument);
    ASSERT_EQ(providers.size(), 2);
    EXPECT_EQ(providers[0].display_name, "ChatGPT");
    EXPECT_EQ(providers[0].models[0].context_window, 128000);
    EXPECT_EQ(providers[0].models[0].supports_audio_input, false);
    EXPECT_FALSE(providers[1].display_name.has_value());
    EXPECT_FALSE(providers[1].models[0].kind.has_value());
    // Encoding writes the optional keys only when present, and decodes back equal.
    EXPECT_FALSE(providers[1].models[0].toJson().contains("kind"));
    Json again = Json::array();
    for (const CloudProvider& p : providers)
        again.push_back(p.toJson());
    EXPECT_EQ(CloudCatalog::decodeDocument(json::dump(again)), providers);

    const QList<QByteArray> refused = {
        R"({"providers": []})",                                            // not an array
        R"([{"id": 1, "slug": "a", "name": "A"}])",                        // no models
        R"([{"id": "1", "slug": "a", "name": "A", "models": []}])",        // id as text
        R"([{"id": 1.5, "slug": "a", "name": "A", "models": []}])",        // fractional id
        R"([{"id": 1, "slug": "a", "name": "A", "models": [{"id": 2}]}])", // model without slug
        R"([{"id": 1, "slug": "a", "name": "A", "models": [{"id": 2, "slug": "b", "supports_tools": "yes"}]}])",
        R"([{"id": 1, "slug": "a", "name": "A", "models": {}}])",
        "[",
    };
    for (const QByteArray& body : refused)
        EXPECT_THROW(CloudCatalog::decodeDocument(body), JsonDecodingError) << body.toStdString();
}

TEST(CloudCatalogIcons, ExactSlugs) {
    const QList<QPair<QString, QString>> cases = {
        {"openai", "sparkles"},   {"anthropic", "a.circle"}, {"gemini", "g.circle"}, {"mistral", "m.circle"},
        {"deepseek", "d.circle"}, {"OpenAI", "cube"},        {"", "cube"},           {"xai", "cube"},
    };
    for (const auto& [slug, symbol] : cases)
        EXPECT_EQ(CloudCatalog::iconFor(slug), symbol) << slug.toStdString();
}

TEST_F(CloudCatalogTest, FetchesWithoutTokenAndStaysFreshForThirtySeconds) {
    backend.route("GET", QStringLiteral("/api/v1/providers.json"), ScriptedResponse::json(200, kDocument));
    runTask(catalog.refreshIfStale());
    ASSERT_EQ(catalog.providers().size(), 2);
    EXPECT_EQ(catalog.lastFetch(), now);
    const RecordedRequest request = backend.lastRequest();
    EXPECT_EQ(request.method, "GET");
    EXPECT_FALSE(request.hasHeader("X-User-Token"));

    now = now.addSecs(29);
    runTask(catalog.refreshIfStale());
    EXPECT_EQ(fetches(), 1);
    now = now.addSecs(-3600); // a last fetch in the future counts as fresh
    runTask(catalog.refreshIfStale());
    EXPECT_EQ(fetches(), 1);
    now = now.addSecs(3600 + 2);
    runTask(catalog.refreshIfStale());
    EXPECT_EQ(fetches(), 2);
}

TEST_F(CloudCatalogTest, FailuresKeepTheLastListAndTryAgainAtOnce) {
    backend.route("GET", QStringLiteral("/api/v1/providers.json"), ScriptedResponse::json(200, kDocument));
    runTask(catalog.refresh());
    const QList<CloudProvider> good = catalog.providers();
    const QDateTime fetchedAt = *catalog.lastFetch();

    const QList<ScriptedResponse> failures = {
        ScriptedResponse::json(500, "{}"),
        ScriptedResponse::json(200, R"([{"id": 1, "slug": "a", "name": "A"}])"),
        ScriptedResponse::json(200, "not json"),
        // A well-formed document past the size a catalogue can have.
        ScriptedResponse::json(200, QByteArray(CloudCatalog::kMaxDocumentBytes, ' ') + "[]"),
        [] {
            ScriptedResponse dropped;
            dropped.closeWithoutAnswer = true;
            return dropped;
        }(),
    };
    now = now.addSecs(60);
    int expected = fetches();

    // A document past the bound is refused while it arrives: the fetch does not wait
    // for the rest, which here would take 90 seconds more.
    QList<QPair<int, QByteArray>> pieces{{0, QByteArray(CloudCatalog::kMaxDocumentBytes + 1, ' ')}};
    for (int i = 0; i < 90; ++i)
        pieces.append({1000, QByteArray(" ")});
    pieces.append({0, QByteArray("[]")});
    backend.route("GET", QStringLiteral("/api/v1/providers.json"),
                  ScriptedResponse::stream(200, pieces, "application/json"));
    QElapsedTimer clock;
    clock.start();
    runTask(catalog.refreshIfStale());
    EXPECT_LT(clock.elapsed(), 45000);
    EXPECT_EQ(catalog.providers(), good);
    EXPECT_EQ(catalog.lastFetch(), fetchedAt);
    EXPECT_GT(fetches(), expected);
    expected = fetches();

    for (const ScriptedResponse& failure : failures) {
        backend.route("GET", QStringLiteral("/api/v1/providers.json"), failure);
        runTask(catalog.refreshIfStale());
        EXPECT_GT(fetches(), expected); // a failed fetch leaves the list stale
        expected = fetches();
        EXPECT_EQ(catalog.providers(), good);
        EXPECT_EQ(catalog.lastFetch(), fetchedAt);
    }
}

TEST_F(CloudCatalogTest, ABaseEndingInTheApiPathIsNotExtendedTwice) {
    backend.route("GET", QStringLiteral("/api/v1/providers.json"), ScriptedResponse::json(200, "[]"));
    for (const QString& suffix :
         {QStringLiteral("/api/v1"), QStringLiteral("/api/v1/"), QStringLiteral("/")}) {
        DefaultsStore::shared().setString(QStringLiteral("apiBaseURL"), backend.baseUrl() + suffix);
        backend.clearRequests();
        runTask(catalog.refresh());
        ASSERT_EQ(backend.requestCount(), 1);
        EXPECT_EQ(backend.lastRequest().target, "/api/v1/providers.json") << suffix.toStdString();
    }
}

} // namespace

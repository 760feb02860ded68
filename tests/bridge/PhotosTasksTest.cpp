// photos_recent and photos_by_date end to end: EXIF-dated JPEGs in the test's
// Pictures folder, a fixed time zone, the updates received by the fake backend.
#include "MediaTaskHarness.h"

#include "bridge/PhotosBridgeHandler.h"
#include "content/PhotoLibrary.h"
#include "support/MediaFixtures.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

const QString kRefused = QStringLiteral(
    "Accès Photos refusé. Allez dans Réglages Système → Confidentialité → Photos pour autoriser Ombrix.");

class PhotosTasksTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults = installMemoryDefaults();
        removeTestFolder(PhotoLibrary::rootFolder());
        answer(true);
    }
    void TearDown() override {
        PhotosBridgeHandler::setConsentAsker({});
        removeTestFolder(PhotoLibrary::rootFolder());
    }
    void answer(std::optional<bool> consent) {
        PhotosBridgeHandler::setConsentAsker([this, consent]() -> QCoro::Task<std::optional<bool>> {
            ++asked;
            co_return consent;
        });
    }
    static void photo(const QString& relative, const fixtures::Exif& exif) {
        ASSERT_TRUE(fixtures::writeJpeg(PhotoLibrary::rootFolder() + QLatin1Char('/') + relative, exif));
    }
    static Json item(const QString& relative, const char* takenAt) {
        return Json{{"id", PhotoLibrary::identifierFor(relative).toStdString()},
                    {"name", relative.section(QLatin1Char('/'), -1).toStdString()},
                    {"taken_at", takenAt},
                    {"mime", "image/jpeg"}};
    }
    void recent(const char* json) {
        const BridgeTask task = MediaTaskHarness::task(json);
        runTask(PhotosBridgeHandler::handleRecent(
            task, MediaTaskHarness::args<BridgeTask::PhotosRecentArgs>(task), harness.api));
    }
    void byDate(const char* json) {
        const BridgeTask task = MediaTaskHarness::task(json);
        runTask(PhotosBridgeHandler::handleByDate(
            task, MediaTaskHarness::args<BridgeTask::PhotosByDateArgs>(task), harness.api));
    }

    const fixtures::ScopedTimeZone paris{"Europe/Paris"};
    std::shared_ptr<MemoryDefaultsStore> defaults;
    MediaTaskHarness harness;
    int asked = 0;
};

TEST_F(PhotosTasksTest, recentPhotosNewestFirstWithDatesAndPlaces) {
    photo("2023/nouvel-an.jpg", {"2023:01:01 00:00:00", {}, {}});
    photo("2023/rome.jpg", {"2023:06:10 18:45:00", "+02:00", {{41.9, 12.5}}});
    photo("ancienne.jpg", {"2019:03:04 05:06:07", {}, {}});
    recent(R"({"id":"P-1","kind":"photos_recent"})");
    EXPECT_EQ(harness.lastTarget(), QStringLiteral("/api/v1/bridge/tasks/P-1"));
    Json rome = item("2023/rome.jpg", "2023-06-10T16:45:00Z");
    rome["location"] = Json{{"lat", 41.9}, {"lng", 12.5}};
    const Json expected = MediaTaskHarness::done(
        Json{{"items", Json::array({rome, item("2023/nouvel-an.jpg", "2022-12-31T23:00:00Z"),
                                    item("ancienne.jpg", "2019-03-04T04:06:07Z")})}});
    const Json update = harness.onlyUpdate();
    ASSERT_EQ(update["result"]["items"].size(), 3u);
    // GPS rationals hold hundredths of seconds: compare the place closely, the rest exactly.
    EXPECT_NEAR(update["result"]["items"][0]["location"]["lat"].get<double>(), 41.9, 1e-5);
    EXPECT_NEAR(update["result"]["items"][0]["location"]["lng"].get<double>(), 12.5, 1e-5);
    Json comparable = update;
    comparable["result"]["items"][0]["location"] = Json{{"lat", 41.9}, {"lng", 12.5}};
    EXPECT_EQ(comparable.dump(), expected.dump());

    // A limit of 0 still returns one photo.
    harness.backend.clearRequests();
    recent(R"({"id":"P-2","kind":"photos_recent","args":{"limit":0}})");
    EXPECT_EQ(harness.onlyUpdate()["result"]["items"].size(), 1u);
    EXPECT_EQ(asked, 1); // asked once, remembered
}

TEST_F(PhotosTasksTest, monthAndYearBoundariesInLocalTime) {
    photo("fin-novembre.jpg", {"2023:11:30 23:59:59", {}, {}});
    photo("debut-decembre.jpg", {"2023:12:01 00:00:00", {}, {}});
    photo("reveillon.jpg", {"2023:12:31 23:59:59", {}, {}});
    photo("jour-de-l-an.jpg", {"2024:01:01 00:00:00", {}, {}});
    byDate(R"({"id":"D-1","kind":"photos_by_date","args":{"year":2023,"month":12}})");
    EXPECT_EQ(harness.onlyUpdate().dump(),
              MediaTaskHarness::done(
                  Json{{"items", Json::array({item("reveillon.jpg", "2023-12-31T22:59:59Z"),
                                              item("debut-decembre.jpg", "2023-11-30T23:00:00Z")})}})
                  .dump());

    // The whole year, within the limit; month 13 is January of the next year.
    harness.backend.clearRequests();
    byDate(R"({"id":"D-2","kind":"photos_by_date","args":{"year":2023,"limit":2}})");
    EXPECT_EQ(harness.onlyUpdate()["result"]["items"].size(), 2u);
    harness.backend.clearRequests();
    byDate(R"({"id":"D-3","kind":"photos_by_date","args":{"year":2023,"month":13}})");
    EXPECT_EQ(harness.onlyUpdate().dump(),
              MediaTaskHarness::done(
                  Json{{"items", Json::array({item("jour-de-l-an.jpg", "2023-12-31T23:00:00Z")})}})
                  .dump());
    // No photo in the period: an empty list.
    harness.backend.clearRequests();
    byDate(R"({"id":"D-4","kind":"photos_by_date","args":{"year":1990}})");
    EXPECT_EQ(harness.onlyUpdate().dump(), MediaTaskHarness::done(Json{{"items", Json::array()}}).dump());
}

TEST_F(PhotosTasksTest, refusedAccessNeverReadsTheLibrary) {
    photo("secret.jpg", {"2023:05:05 05:05:05", {}, {}});
    answer(false);
    const int reads = PhotoLibrary::libraryReads();
    recent(R"({"id":"R-1","kind":"photos_recent"})");
    EXPECT_EQ(harness.onlyUpdate().dump(), MediaTaskHarness::error(kRefused).dump());
    harness.backend.clearRequests();
    byDate(R"({"id":"R-2","kind":"photos_by_date","args":{"year":2023}})");
    EXPECT_EQ(harness.onlyUpdate().dump(), MediaTaskHarness::error(kRefused).dump());
    EXPECT_EQ(asked, 1); // the refusal is remembered
    EXPECT_EQ(PhotoLibrary::libraryReads(), reads);

    // No display to ask on: refused too, and nothing remembered.
    defaults->remove(QString::fromLatin1(PhotosBridgeHandler::kAccessKey));
    answer(std::nullopt);
    harness.backend.clearRequests();
    recent(R"({"id":"R-3","kind":"photos_recent"})");
    EXPECT_EQ(harness.onlyUpdate().dump(), MediaTaskHarness::error(kRefused).dump());
    EXPECT_FALSE(defaults->contains(QString::fromLatin1(PhotosBridgeHandler::kAccessKey)));
    EXPECT_EQ(PhotoLibrary::libraryReads(), reads);
}

TEST_F(PhotosTasksTest, impossiblePeriodsAreRefusedBeforeAccessIsAsked) {
    answer(false);
    byDate(R"({"id":"X-1","kind":"photos_by_date","args":{"year":9223372036854775807}})");
    EXPECT_EQ(harness.onlyUpdate().dump(),
              MediaTaskHarness::error(QStringLiteral("invalid_date_components")).dump());
    harness.backend.clearRequests();
    byDate(R"({"id":"X-2","kind":"photos_by_date","args":{"year":2023,"month":-9223372036854775808}})");
    EXPECT_EQ(harness.onlyUpdate().dump(),
              MediaTaskHarness::error(QStringLiteral("invalid_date_components")).dump());
    EXPECT_EQ(asked, 0);

    // An update the backend refuses is not retried, and the handler returns.
    harness.backend.clearRequests();
    harness.updateAnswer = ScriptedResponse::text(500, "panne");
    byDate(R"({"id":"X-3","kind":"photos_by_date","args":{"year":0}})");
    EXPECT_EQ(harness.updates().size(), 1);
}

} // namespace

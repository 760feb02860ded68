#include "support/MediaFixtures.h"

#include "bridge/PhotosBridgeHandler.h"
#include "content/Decoding.h"
#include "content/PhotoLibrary.h"
#include "content/PhotoOpener.h"
#include "platform/Modules.h"
#include "support/RecordingDesktopOpener.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QUrl>

#include <QCoro/QCoroTimer>

#include <gtest/gtest.h>

#include <chrono>

#include <limits>

#include <sys/stat.h>

namespace {

using PhotoLibrary::DateRange;

QDateTime local(int y, int m, int d, int h = 0, int min = 0, int s = 0) {
    return QDateTime(QDate(y, m, d), QTime(h, min, s), Qt::LocalTime);
}

TEST(PhotoPeriodTest, monthsAndYearsInTheLocalTimeZone) {
    const fixtures::ScopedTimeZone paris("Europe/Paris");
    const auto february = PhotosBridgeHandler::period(2023, 2);
    ASSERT_TRUE(february);
    EXPECT_EQ(february->start, local(2023, 2, 1));
    EXPECT_EQ(february->end, local(2023, 3, 1));
    EXPECT_EQ(february->start.toUTC(), QDateTime(QDate(2023, 1, 31), QTime(23, 0), QTimeZone::utc()));
    // December ends with the next year; no month is the whole calendar year.
    EXPECT_EQ(PhotosBridgeHandler::period(2023, 12)->end, local(2024, 1, 1));
    EXPECT_EQ(PhotosBridgeHandler::period(2023, std::nullopt)->start, local(2023, 1, 1));
    EXPECT_EQ(PhotosBridgeHandler::period(2023, std::nullopt)->end, local(2024, 1, 1));
    // Months outside 1...12 roll over.
    EXPECT_EQ(PhotosBridgeHandler::period(2023, 13)->start, local(2024, 1, 1));
    EXPECT_EQ(PhotosBridgeHandler::period(2023, 0)->start, local(2022, 12, 1));
    EXPECT_EQ(PhotosBridgeHandler::period(2023, -12)->start, local(2021, 12, 1));
    EXPECT_EQ(PhotosBridgeHandler::period(2023, 25)->end, local(2025, 2, 1));
    // Bounds that cannot be dates are refused, never overflowed.
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    constexpr qint64 min = std::numeric_limits<qint64>::min();
    EXPECT_FALSE(PhotosBridgeHandler::period(max, std::nullopt));
    EXPECT_FALSE(PhotosBridgeHandler::period(2023, max));
    EXPECT_FALSE(PhotosBridgeHandler::period(2023, min));
    EXPECT_FALSE(PhotosBridgeHandler::period(min, 1));
    EXPECT_FALSE(PhotosBridgeHandler::period(5'000'000'000, 1));
}

TEST(PhotoPeriodTest, aMonthWhoseMidnightIsSkippedStartsWhenTheClocksResume) {
    // Summer time began at 00:00 on 2017-10-01 in Asunción: the day began at 01:00 (-03:00).
    const fixtures::ScopedTimeZone asuncion("America/Asuncion");
    const QDateTime resumed(QDate(2017, 10, 1), QTime(4, 0), QTimeZone::utc());
    const auto october = PhotosBridgeHandler::period(2017, 10);
    ASSERT_TRUE(october);
    EXPECT_EQ(october->start, resumed);
    const auto september = PhotosBridgeHandler::period(2017, 9);
    ASSERT_TRUE(september);
    EXPECT_EQ(september->end, resumed);
}

// A library in the test's Pictures folder.
class PhotoLibraryTest : public ::testing::Test {
protected:
    void SetUp() override { removeTestFolder(PhotoLibrary::rootFolder()); }
    void TearDown() override { removeTestFolder(PhotoLibrary::rootFolder()); }
    static QString at(const QString& relative) {
        return PhotoLibrary::rootFolder() + QLatin1Char('/') + relative;
    }
    static QStringList names(const QList<BridgePhotosResult::Item>& items) {
        QStringList result;
        for (const auto& item : items)
            result << item.name;
        return result;
    }
    const fixtures::ScopedTimeZone paris{"Europe/Paris"};
};

TEST_F(PhotoLibraryTest, datesPlacesAndPeriodsFromExif) {
    ASSERT_TRUE(fixtures::writeJpeg(at("janvier.jpg"), {"2023:01:31 23:59:59", {}, {}}));
    ASSERT_TRUE(fixtures::writeJpeg(at("minuit.jpg"), {"2023:02:01 00:00:00", {}, {}}));
    ASSERT_TRUE(fixtures::writeJpeg(at("voyage/fin.JPEG"), {"2023:02:28 23:59:59", {}, {}}));
    ASSERT_TRUE(fixtures::writeJpeg(at("mars.jpg"), {"2023:03:01 00:00:00", {}, {}}));
    ASSERT_TRUE(fixtures::writeJpeg(at("paris.jpg"), {"2023:02:15 12:00:00", "-05:00", {{48.8567, 2.3508}}}));
    ASSERT_TRUE(fixtures::writeJpeg(at("sud.jpg"), {"2022:07:01 08:00:00", {}, {{-33.8688, -70.6693}}}));
    // Not part of the library: hidden folders and files, other types.
    ASSERT_TRUE(fixtures::writeJpeg(at(".cache/cachee.jpg"), {"2023:02:10 10:00:00", {}, {}}));
    ASSERT_TRUE(fixtures::writeJpeg(at(".cachee.jpg"), {"2023:02:10 10:00:00", {}, {}}));
    ASSERT_TRUE(fixtures::writeFile(at("notes.txt"), "texte"));
    ASSERT_TRUE(fixtures::writeFile(at("film.mp4"), "pas une image"));

    const auto february = PhotosBridgeHandler::period(2023, 2);
    const QList<BridgePhotosResult::Item> items = PhotosBridgeHandler::fetchItems(std::nullopt, february);
    ASSERT_EQ(names(items), (QStringList{"fin.JPEG", "paris.jpg", "minuit.jpg"}));
    // Local dates written as UTC; an EXIF offset wins over the local zone.
    EXPECT_EQ(items[0].taken_at, QStringLiteral("2023-02-28T22:59:59Z"));
    EXPECT_EQ(items[1].taken_at, QStringLiteral("2023-02-15T17:00:00Z"));
    EXPECT_EQ(items[2].taken_at, QStringLiteral("2023-01-31T23:00:00Z"));
    EXPECT_EQ(items[2].mime, QStringLiteral("image/jpeg"));
    ASSERT_TRUE(items[1].location);
    EXPECT_NEAR(items[1].location->lat, 48.8567, 1e-4);
    EXPECT_NEAR(items[1].location->lng, 2.3508, 1e-4);
    EXPECT_FALSE(items[0].location);
    EXPECT_EQ(items[1].toJson().dump(),
              Json::parse(R"({"id":")" + items[1].id.toStdString() +
                          R"(","name":"paris.jpg","taken_at":"2023-02-15T17:00:00Z",)"
                          R"("mime":"image/jpeg","location":{"lat":)" +
                          Json(items[1].location->lat).dump() + R"(,"lng":)" +
                          Json(items[1].location->lng).dump() + "}}")
                  .dump());

    // South and west are negative.
    const auto y2022 =
        PhotosBridgeHandler::fetchItems(std::nullopt, PhotosBridgeHandler::period(2022, std::nullopt));
    ASSERT_EQ(names(y2022), QStringList{"sud.jpg"});
    EXPECT_NEAR(y2022[0].location->lat, -33.8688, 1e-4);
    EXPECT_NEAR(y2022[0].location->lng, -70.6693, 1e-4);

    // Everything, newest first, within the limit.
    EXPECT_EQ(names(PhotosBridgeHandler::fetchItems(100, std::nullopt)),
              (QStringList{"mars.jpg", "fin.JPEG", "paris.jpg", "minuit.jpg", "janvier.jpg", "sud.jpg"}));
    EXPECT_EQ(names(PhotosBridgeHandler::fetchItems(0, std::nullopt)), QStringList{"mars.jpg"});

    // A HEIC photo's date comes from its EXIF block too.
    if (fixtures::canWriteHeic()) {
        fixtures::Heic taken;
        taken.dateTimeOriginal = QStringLiteral("2023:02:20 10:00:00");
        ASSERT_TRUE(fixtures::writeHeic(at("IMG_0042.HEIC"), QImage(32, 24, QImage::Format_RGB32), taken));
        const auto withHeic = PhotosBridgeHandler::fetchItems(std::nullopt, february);
        ASSERT_EQ(names(withHeic), (QStringList{"fin.JPEG", "IMG_0042.HEIC", "paris.jpg", "minuit.jpg"}));
        EXPECT_EQ(withHeic[1].taken_at, QStringLiteral("2023-02-20T09:00:00Z"));
        EXPECT_EQ(withHeic[1].mime, QStringLiteral("image/heic"));
    }
}

TEST_F(PhotoLibraryTest, filesWithoutExifUseTheirDateAndIdsStayStable) {
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::red);
    ASSERT_TRUE(QDir().mkpath(PhotoLibrary::rootFolder()));
    ASSERT_TRUE(image.save(at("capture.png")));
    ASSERT_TRUE(fixtures::writeJpeg(at("sans-date.jpg"), {}));
    const QDateTime when(QDate(2021, 6, 15), QTime(9, 30), QTimeZone::utc());
    for (const char* name : {"capture.png", "sans-date.jpg"}) {
        QFile file(at(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(when, QFileDevice::FileModificationTime));
    }
    const auto items = PhotosBridgeHandler::fetchItems(std::nullopt, std::nullopt);
    ASSERT_EQ(items.size(), 2);
    for (const auto& item : items)
        EXPECT_EQ(item.taken_at, QStringLiteral("2021-06-15T09:30:00Z")) << item.name.toStdString();
    const auto png = items[0].name == QLatin1String("capture.png") ? items[0] : items[1];
    EXPECT_EQ(png.mime, QStringLiteral("image/png"));

    // Ids do not reveal the path, survive another listing, and find the file again.
    EXPECT_FALSE(png.id.contains(QStringLiteral("capture")));
    EXPECT_EQ(png.id, PhotoLibrary::identifierFor(QStringLiteral("capture.png")));
    EXPECT_EQ(PhotosBridgeHandler::fetchItems(std::nullopt, std::nullopt), items);
    const auto asset = PhotoLibrary::assetWithIdentifier(png.id);
    ASSERT_TRUE(asset);
    EXPECT_EQ(asset->path, at("capture.png"));
    EXPECT_FALSE(PhotoLibrary::assetWithIdentifier(QStringLiteral("inconnu")));
}

TEST_F(PhotoLibraryTest, aPhotoThatCrashesTheDecoderIsListedWithItsFileDateAndNotReadAgain) {
    // A metadata module that crashes its worker on one of the files.
    Modules::setSearchPathForTesting({QCoreApplication::applicationDirPath() + QStringLiteral("/hostile")});
    const auto restore = qScopeGuard([] {
        Modules::setSearchPathForTesting({});
        Decoding::stopIdleWorkersForTesting();
    });
    ASSERT_TRUE(fixtures::writeFile(at("hiver.jpg"), "EXIF-DATE:2023:02:15 12:00:00"));
    ASSERT_TRUE(fixtures::writeFile(at("vacances/ete.jpg"), "EXIF-DATE:2022:07:01 08:00:00"));
    ASSERT_TRUE(fixtures::writeFile(at("piege.jpg"), "CRASH"));
    {
        QFile file(at("piege.jpg"));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(QDateTime(QDate(2021, 6, 15), QTime(9, 30), QTimeZone::utc()),
                                     QFileDevice::FileModificationTime));
    }
    Decoding::stopIdleWorkersForTesting();
    const auto items = PhotosBridgeHandler::fetchItems(std::nullopt, std::nullopt);
    ASSERT_EQ(names(items), (QStringList{"hiver.jpg", "ete.jpg", "piege.jpg"}));
    EXPECT_EQ(items[0].taken_at, QStringLiteral("2023-02-15T11:00:00Z"));
    EXPECT_EQ(items[2].taken_at, QStringLiteral("2021-06-15T09:30:00Z"));

    // Listed again: the failure is remembered, no worker starts for it.
    Decoding::stopIdleWorkersForTesting();
    const int started = Decoding::startedWorkersForTesting();
    EXPECT_EQ(PhotosBridgeHandler::fetchItems(std::nullopt, std::nullopt), items);
    EXPECT_EQ(Decoding::startedWorkersForTesting(), started);
}

// The consent question: asked once, the answer stored; no display, no answer.
class PhotoConsentTest : public ::testing::Test {
protected:
    void SetUp() override { defaults = installMemoryDefaults(); }
    void TearDown() override { PhotosBridgeHandler::setConsentAsker({}); }
    void answerWith(std::optional<bool> answer, int delayMs = 0) {
        PhotosBridgeHandler::setConsentAsker([this, answer, delayMs]() -> QCoro::Task<std::optional<bool>> {
            ++asked;
            if (delayMs > 0)
                co_await QCoro::sleepFor(std::chrono::milliseconds(delayMs));
            co_return answer;
        });
    }
    std::shared_ptr<MemoryDefaultsStore> defaults;
    int asked = 0;
};

TEST_F(PhotoConsentTest, askedOnceThenRemembered) {
    using Status = PhotosBridgeHandler::AuthorizationStatus;
    EXPECT_EQ(PhotosBridgeHandler::authorizationStatus(), Status::NotDetermined);
    answerWith(true);
    EXPECT_TRUE(runTask(PhotosBridgeHandler::ensureAuthorized()));
    EXPECT_TRUE(runTask(PhotosBridgeHandler::ensureAuthorized()));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(PhotosBridgeHandler::authorizationStatus(), Status::Authorized);

    defaults->setBool(QString::fromLatin1(PhotosBridgeHandler::kAccessKey), false);
    EXPECT_FALSE(runTask(PhotosBridgeHandler::ensureAuthorized()));
    EXPECT_EQ(asked, 1);
}

TEST_F(PhotoConsentTest, noDisplayRefusesWithoutStoringAndConcurrentCallersShareOneQuestion) {
    // Nobody to ask: refused, and asked again next time.
    EXPECT_FALSE(runTask(PhotosBridgeHandler::ensureAuthorized()));
    answerWith(std::nullopt);
    EXPECT_FALSE(runTask(PhotosBridgeHandler::ensureAuthorized()));
    EXPECT_FALSE(runTask(PhotosBridgeHandler::ensureAuthorized()));
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(defaults->contains(QString::fromLatin1(PhotosBridgeHandler::kAccessKey)));

    // Two callers while the question is open: one question, one answer for both.
    answerWith(false, 100);
    std::optional<bool> first, second;
    auto call = [](std::optional<bool>& out) -> QCoro::Task<> {
        out = co_await PhotosBridgeHandler::ensureAuthorized();
    };
    auto a = call(first);
    auto b = call(second);
    ASSERT_TRUE(spinUntil([&] { return first.has_value() && second.has_value(); }));
    EXPECT_EQ(first, false);
    EXPECT_EQ(second, false);
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(defaults->boolValue(QString::fromLatin1(PhotosBridgeHandler::kAccessKey)), false);
}

} // namespace

namespace {

// Opening a library photo: a private copy in the temporary folder, handed to the desktop.
class PhotoOpenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        removeTestFolder(PhotoLibrary::rootFolder());
        PhotoOpener::setAlertPresenter(
            [this](const QString& message, const QString& text) { alerts << message + " / " + text; });
        opener = RecordingDesktopOpener::install();
        ASSERT_TRUE(fixtures::writeJpeg(PhotoLibrary::rootFolder() + "/vacances/plage été.jpg",
                                        {"2023:08:01 10:00:00", {}, {}}));
        id = PhotoLibrary::identifierFor(QStringLiteral("vacances/plage été.jpg"));
    }
    void TearDown() override {
        PhotoOpener::setAlertPresenter({});
        opener.reset();
        removeTestFolder(PhotoLibrary::rootFolder());
    }
    QStringList alerts;
    std::shared_ptr<RecordingDesktopOpener> opener;
    QString id;
};

TEST_F(PhotoOpenerTest, opensAPrivateCopyOfThePhoto) {
    runTask(PhotoOpener::open(QString::fromUtf8(QUrl::toPercentEncoding(id))));
    EXPECT_TRUE(alerts.isEmpty()) << alerts.join(';').toStdString();
    ASSERT_EQ(opener->openedDocuments.size(), 1);
    const QString copy = opener->openedDocuments.first();
    const QFileInfo info(copy);
    EXPECT_EQ(info.absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
    EXPECT_TRUE(
        QRegularExpression(
            QStringLiteral("^ombrix-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.jpg$"))
            .match(info.fileName())
            .hasMatch())
        << info.fileName().toStdString();
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(copy).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    QFile original(PhotoLibrary::rootFolder() + "/vacances/plage été.jpg");
    QFile written(copy);
    ASSERT_TRUE(original.open(QIODevice::ReadOnly) && written.open(QIODevice::ReadOnly));
    EXPECT_EQ(original.readAll(), written.readAll());
    QFile::remove(copy);
}

TEST_F(PhotoOpenerTest, failuresAreShownInAPhotoAlert) {
    runTask(PhotoOpener::open(QStringLiteral("ABSENT")));
    EXPECT_EQ(alerts, QStringList{QStringLiteral("Photo / Photo introuvable dans la bibliothèque.")});
    EXPECT_TRUE(opener->openedDocuments.isEmpty());

    // A temporary "folder" that is a file: nothing can be written in it (not even by root).
    alerts.clear();
    QTemporaryDir scratch;
    const QString notAFolder = scratch.filePath(QStringLiteral("file"));
    ASSERT_TRUE(fixtures::writeFile(notAFolder, "x"));
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(notAFolder));
    runTask(PhotoOpener::open(id));
    qputenv("TMPDIR", savedTmp);
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_TRUE(alerts.first().startsWith(QStringLiteral("Photo / Écriture temporaire échouée: ")))
        << alerts.first().toStdString();
    EXPECT_TRUE(opener->openedDocuments.isEmpty());
}

} // namespace

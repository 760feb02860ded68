// The photo, application and shortcut tools over a real photo library (JPEGs with
// EXIF data in the Pictures folder), fixture .desktop files, and shortcut runners
// written as shell scripts.
#include "localllm/LocalToolRegistry.h"

#include "bridge/PhotosBridgeHandler.h"
#include "bridge/ScreenControlBridgeHandler.h"
#include "content/PhotoLibrary.h"
#include "support/MediaFixtures.h"
#include "support/RecordingDesktopOpener.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString kRefused = QStringLiteral("Accès Photos refusé. Allez dans Réglages Système \u2192 "
                                        "Confidentialité \u2192 Photos pour autoriser Ombrix.");

QString call(const QString& name, const QString& arguments) {
    return runTask(LocalToolRegistry::dispatch(name, arguments));
}

QStringList linesOf(const QString& text) {
    return text.split('\n');
}

class PhotoToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults = installMemoryDefaults();
        removeTestFolder(PhotoLibrary::rootFolder());
        PhotosBridgeHandler::setConsentAsker({});
    }
    void TearDown() override { removeTestFolder(PhotoLibrary::rootFolder()); }

    void allow(bool allowed) {
        defaults->setBool(QString::fromLatin1(PhotosBridgeHandler::kAccessKey), allowed);
    }
    void photo(const QString& name, const fixtures::Exif& exif) {
        ASSERT_TRUE(fixtures::writeJpeg(PhotoLibrary::rootFolder() + '/' + name, exif));
    }
    QString idOf(const QString& name) { return PhotoLibrary::identifierFor(name); }

    std::shared_ptr<MemoryDefaultsStore> defaults;
    fixtures::ScopedTimeZone zone{"Europe/Paris"};
};

TEST_F(PhotoToolsTest, RefusedOrUnaskableAccessIsAnswered) {
    photo("a.jpg", {"2024:05:01 10:00:00", {}, {}});
    allow(false);
    EXPECT_EQ(call("list_recent_photos", "{}"), kRefused);
    EXPECT_EQ(call("list_photos_from_date", R"({"year": 2024})"), kRefused);
    // No one to ask (no consent dialog installed): refused too, and asked again next time.
    defaults->remove(QString::fromLatin1(PhotosBridgeHandler::kAccessKey));
    EXPECT_EQ(call("list_recent_photos", "{}"), kRefused);
}

TEST_F(PhotoToolsTest, RecentPhotosAreLinkedNewestFirstWithTheirPlace) {
    allow(true);
    EXPECT_EQ(call("list_recent_photos", "{}"), "No photos matched.");

    photo("paris.jpg", {"2024:06:01 12:00:00", "+02:00", {{48.85661, 2.35222}}});
    photo("vacances/plage été.jpg", {"2024:07:14 18:30:00", "+02:00", {{-33.8688, -70.6693}}});
    photo("ancienne.jpg", {"2019:01:01 09:00:00", "+01:00", {}});

    EXPECT_EQ(call("list_recent_photos", "not json"),
              "1. [plage été.jpg](ombrix://local_photo/view/" + idOf("vacances/plage été.jpg") +
                  ") \u2014 2024-07-14T16:30:00Z @ -33.8688,-70.6693\n"
                  "2. [paris.jpg](ombrix://local_photo/view/" +
                  idOf("paris.jpg") +
                  ") \u2014 2024-06-01T10:00:00Z @ 48.8566,2.3522\n"
                  "3. [ancienne.jpg](ombrix://local_photo/view/" +
                  idOf("ancienne.jpg") + ") \u2014 2019-01-01T08:00:00Z");
}

TEST_F(PhotoToolsTest, LimitsAreIntegersClampedByTheLibrary) {
    allow(true);
    for (int day = 1; day <= 12; ++day)
        photo(QStringLiteral("jour-%1.jpg").arg(day),
              {QStringLiteral("2024:03:%1 12:00:00").arg(day, 2, 10, QChar('0')), {}, {}});

    EXPECT_EQ(linesOf(call("list_recent_photos", "{}")).size(), 10);
    EXPECT_EQ(linesOf(call("list_recent_photos", R"({"limit": 3})")).size(), 3);
    EXPECT_EQ(linesOf(call("list_recent_photos", R"({"limit": "3"})")).size(), 10);
    EXPECT_EQ(linesOf(call("list_recent_photos", R"({"limit": 0})")).size(), 1);
    EXPECT_EQ(linesOf(call("list_recent_photos", R"({"limit": 100})")).size(), 12);
    EXPECT_TRUE(call("list_recent_photos", R"({"limit": 1})").startsWith("1. [jour-12.jpg]"));
}

TEST_F(PhotoToolsTest, PhotosOfAYearOrOfAMonth) {
    allow(true);
    photo("veille.jpg", {"2023:12:31 23:59:59", {}, {}});
    photo("nouvel-an.jpg", {"2024:01:01 00:00:00", {}, {}});
    photo("noel.jpg", {"2024:12:25 10:00:00", {}, {}});
    photo("saint-sylvestre.jpg", {"2024:12:31 23:59:59", {}, {}});
    photo("suivant.jpg", {"2025:01:01 00:00:00", {}, {}});

    auto names = [](const QString& text) {
        QStringList found;
        auto matches = QRegularExpression("\\[([^\\]]+)\\]").globalMatch(text);
        while (matches.hasNext())
            found << matches.next().captured(1);
        return found;
    };
    EXPECT_EQ(names(call("list_photos_from_date", R"({"year": 2024})")),
              QStringList({"saint-sylvestre.jpg", "noel.jpg", "nouvel-an.jpg"}));
    EXPECT_EQ(names(call("list_photos_from_date", R"({"year": 2024, "month": 12})")),
              QStringList({"saint-sylvestre.jpg", "noel.jpg"}));
    EXPECT_EQ(names(call("list_photos_from_date", R"({"year": 2024, "month": 12, "limit": 1})")),
              QStringList({"saint-sylvestre.jpg"}));
    // A month that is not an integer is no month; months outside 1...12 roll over.
    EXPECT_EQ(names(call("list_photos_from_date", R"({"year": 2024, "month": "12"})")).size(), 3);
    EXPECT_EQ(names(call("list_photos_from_date", R"({"year": 2023, "month": 13})")),
              QStringList({"nouvel-an.jpg"}));
    EXPECT_EQ(call("list_photos_from_date", R"({"year": 2022})"), "No photos matched.");
    EXPECT_EQ(call("list_photos_from_date", R"({"month": 12})"), "Missing year.");
    EXPECT_EQ(call("list_photos_from_date", R"({"year": 5000000000})"), "Invalid date components.");
}

class AppToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedDataDirs = qgetenv("XDG_DATA_DIRS");
        qputenv("XDG_DATA_DIRS", system.path().toUtf8());
        applications =
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/applications";
        ASSERT_TRUE(fixtures::writeFile(applications + "/org.example.Notes.desktop",
                                        "[Desktop Entry]\nType=Application\nName=Notes\nExec=true\n"));
        ASSERT_TRUE(fixtures::writeFile(system.path() + "/applications/calc.desktop",
                                        "[Desktop Entry]\nType=Application\nName=Calculatrice\nExec=true\n"));
        opener = RecordingDesktopOpener::install();
    }
    void TearDown() override {
        qputenv("XDG_DATA_DIRS", savedDataDirs);
        removeTestFolder(applications);
    }

    QTemporaryDir system;
    QString applications;
    QByteArray savedDataDirs;
    std::shared_ptr<RecordingDesktopOpener> opener;
};

TEST_F(AppToolTest, OpensAnApplicationFoundByNameOrId) {
    EXPECT_EQ(call("open_app", R"({"name": "Notes"})"), "Opened Notes.");
    EXPECT_EQ(call("open_app", R"({"name": "calc"})"), "Opened calc.");
    EXPECT_EQ(opener->launchedApplications, QStringList({applications + "/org.example.Notes.desktop",
                                                         system.path() + "/applications/calc.desktop"}));

    EXPECT_EQ(call("open_app", R"({"name": ""})"), "Missing app name.");
    EXPECT_EQ(call("open_app", R"({"name": "notes"})"), "Aucune application nommée 'notes' n'a été trouvée.");
    EXPECT_EQ(call("open_app", R"({"name": "../org.example.Notes"})"),
              "Aucune application nommée '../org.example.Notes' n'a été trouvée.");
    EXPECT_EQ(opener->launchedApplications.size(), 2);

    opener->launchFailure = QStringLiteral("Le lanceur a échoué.");
    EXPECT_EQ(call("open_app", R"({"name": "Calculatrice"})"),
              "Failed to open Calculatrice: Le lanceur a échoué.");
}

// A shortcuts tool written as a script: `list` and `run NAME` with standard input.
class ShortcutToolsTest : public ::testing::Test {
protected:
    void SetUp() override { defaults = installMemoryDefaults(); }

    void useTool(const QByteArray& body) {
        const QString path = folder.path() + "/shortcuts";
        QFile::remove(path);
        ASSERT_TRUE(fixtures::writeFile(path, "#!/bin/sh\n" + body));
        ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        defaults->setString(QString::fromLatin1(ScreenControlBridgeHandler::kShortcutsExecutableKey), path);
    }

    std::shared_ptr<MemoryDefaultsStore> defaults;
    QTemporaryDir folder;
};

TEST_F(ShortcutToolsTest, ListsTheTrimmedNames) {
    useTool("[ \"$1\" = list ] || exit 9\nprintf '\\n  Matin  \\n\\tSoir\\n\\n   \\nMéteo du jour\\n'\n");
    EXPECT_EQ(call("list_shortcuts", "{}"), "1. Matin\n2. Soir\n3. Méteo du jour");

    useTool("printf '\\n \\t\\n'\n");
    EXPECT_EQ(call("list_shortcuts", "{}"), "No shortcuts found.");

    useTool("echo 'Shortcuts are not available' >&2\nexit 1\n");
    EXPECT_EQ(call("list_shortcuts", "{}"), "shortcut_list_failed: Shortcuts are not available");
    useTool("exit 4\n");
    EXPECT_EQ(call("list_shortcuts", "{}"), "shortcut_list_failed: exit 4");
}

TEST_F(ShortcutToolsTest, RunsOneShortcutWithItsInput) {
    useTool("[ \"$1\" = run ] || exit 9\n"
            "case \"$2\" in\n"
            "  Echo) printf 'reçu: '; cat ;;\n"
            "  Silence) cat > /dev/null ;;\n"
            "  *) echo \"no shortcut named $2\" >&2; exit 3 ;;\n"
            "esac\n");
    EXPECT_EQ(call("run_shortcut", R"({"name": "Echo", "input": "bonjour"})"), "reçu: bonjour");
    EXPECT_EQ(call("run_shortcut", R"({"name": "Echo"})"), "reçu:");
    EXPECT_EQ(call("run_shortcut", R"({"name": "Echo", "input": 42})"), "reçu:");
    EXPECT_EQ(call("run_shortcut", R"({"name": "Silence", "input": "x"})"),
              "Shortcut 'Silence' ran (no output).");
    EXPECT_EQ(call("run_shortcut", R"({"name": "echo"})"), "shortcut_run_failed: no shortcut named echo");
    EXPECT_EQ(call("run_shortcut", R"({"name": ""})"), "Missing shortcut name.");
    EXPECT_EQ(call("run_shortcut", R"({"input": "x"})"), "Missing shortcut name.");

    defaults->setString(QString::fromLatin1(ScreenControlBridgeHandler::kShortcutsExecutableKey),
                        folder.path() + "/absent");
    EXPECT_TRUE(
        call("run_shortcut", R"({"name": "Echo"})").startsWith("shortcut_run_failed: Impossible de lancer"));
}

} // namespace

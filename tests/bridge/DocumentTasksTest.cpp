// The search, read, list_folders and list_dir tasks end to end: the bridge polls
// the fake backend, runs the task over real files in shared folders, and the
// update it sends back is compared as JSON.
#include "BridgeTaskHarness.h"
#include "session/Models.h"
#include "support/DocumentFiles.h"
#include "support/FakeMetadataIndex.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QQueue>
#include <QRegularExpression>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace bridgetest;

const QDateTime kMarch14 = QDateTime(QDate(2025, 3, 14), QTime(10, 26, 53), QTimeZone("Europe/Paris"));
constexpr const char* kMarch14Text = "2025-03-14T09:26:53Z";

bool isUuid(const Json& value) {
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
    return value.is_string() && pattern.match(json::qstr(value)).hasMatch();
}

class DocumentTasksTest : public ::testing::Test, protected TaskRoad {
protected:
    void SetUp() override {
        freshBridge();
        BookmarkResolver::resetAccessCounts();
        removeTestFolder(root);
        QDir().mkpath(projets);
        QDir().mkpath(outside);
        routeQueuedPolls(backend, kPollPath, polls);
        backend.routePrefix("PATCH", kUpdatePrefix, [this](const RecordedRequest&) { return updateAnswer; });
        BridgeService::shared().start(QStringLiteral("tok-docs"));
    }
    void TearDown() override {
        endBridge();
        removeTestFolder(root);
    }

    // A file with a known modification date.
    QString file(const QString& path, const QByteArray& bytes) {
        DocumentFiles::write(path, bytes);
        DocumentFiles::setModified(path, kMarch14);
        return path;
    }
    QString share(const QString& path) {
        QDir().mkpath(path);
        return uuidText(BookmarkStore::shared().add(path).id);
    }

    Json result(const char* kind, const Json& args = Json::object()) {
        const Json body = run(kind, args);
        EXPECT_EQ(body["status"], "done") << body.dump();
        return body.contains("result") ? body["result"] : Json();
    }
    std::string error(const char* kind, const Json& args = Json::object()) {
        const Json body = run(kind, args);
        EXPECT_EQ(body["status"], "error") << body.dump();
        return body.value("error_message", std::string("<none>"));
    }
    Json read(const std::string& id, std::optional<qint64> maxChars = std::nullopt) {
        Json args = {{"document_id", id}};
        if (maxChars)
            args["max_chars"] = *maxChars;
        return result("read", args);
    }
    // Every access opened was closed once the last task's handler has returned
    // (after its update was answered).
    void expectAccessBalanced() {
        EXPECT_GT(BookmarkResolver::accessStarts(), 0);
        spinUntil([] { return BookmarkResolver::accessStarts() == BookmarkResolver::accessStops(); });
        EXPECT_EQ(BookmarkResolver::accessStarts(), BookmarkResolver::accessStops());
    }

    const QString root = QDir::homePath() + QStringLiteral("/Documents");
    const QString projets = root + QStringLiteral("/Projets");
    const QString outside = QDir::homePath() + QStringLiteral("/Privé");
    ScriptedResponse updateAnswer = ScriptedResponse::noContent();
};

} // namespace

TEST_F(DocumentTasksTest, SearchHandsOutIdsThatReadTheDocuments) {
    share(projets);
    file(projets + QStringLiteral("/rapport annuel.txt"), "R\xE9sum\xE9 du rapport"); // Latin-1
    file(projets + QStringLiteral("/notes/Rapport.rtf"), "{\\rtf1\\ansi Premi\\'e8re\\par ligne}");
    file(projets + QStringLiteral("/archives/rapport.pdf"),
         DocumentFiles::pdf({QStringLiteral("Page un"), QStringLiteral("Page deux")}));
    DocumentFiles::setModified(projets + QStringLiteral("/archives/rapport.pdf"), kMarch14.addDays(-1));
    file(projets + QStringLiteral("/.rapport-brouillon.txt"), "caché");
    file(outside + QStringLiteral("/rapport-secret.txt"), "secret");
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/rapport-secret.txt"),
                            projets + QStringLiteral("/rapport-lien.txt")));

    const Json found = result("search", {{"query", "rapport"}});
    ASSERT_EQ(found["items"].size(), 3u) << found.dump();
    std::map<std::string, Json> byName;
    for (const Json& item : found["items"]) {
        EXPECT_TRUE(isUuid(item["id"])) << item.dump();
        byName[item["name"].get<std::string>()] = item;
    }
    // Newest first; equal dates by name.
    EXPECT_EQ(found["items"][2]["name"], "rapport.pdf");
    EXPECT_EQ(byName["rapport annuel.txt"], (Json{{"id", byName["rapport annuel.txt"]["id"]},
                                                  {"name", "rapport annuel.txt"},
                                                  {"mime", "text/plain"},
                                                  {"size", 17},
                                                  {"modified_at", kMarch14Text},
                                                  {"parent", "~/Documents/Projets"},
                                                  {"is_remote", false}}));
    EXPECT_EQ(byName["Rapport.rtf"]["mime"], "text/rtf");
    EXPECT_EQ(byName["Rapport.rtf"]["parent"], "~/Documents/Projets/notes");

    EXPECT_EQ(read(byName["rapport annuel.txt"]["id"]),
              (Json{{"content", "Résumé du rapport"}, {"truncated", false}, {"bytes_read", 17}}));
    EXPECT_EQ(read(byName["Rapport.rtf"]["id"], 5),
              (Json{{"content", "Premi"}, {"truncated", true}, {"bytes_read", 34}}));
    EXPECT_EQ(read(byName["rapport.pdf"]["id"])["content"], "Page un\nPage deux\n");
    // A negative limit counts as zero.
    EXPECT_EQ(read(byName["rapport annuel.txt"]["id"], -3),
              (Json{{"content", ""}, {"truncated", true}, {"bytes_read", 17}}));
    expectAccessBalanced();
}

TEST_F(DocumentTasksTest, SearchFoldersAndHints) {
    EXPECT_EQ(error("search", {{"query", "x"}}), "Aucun dossier partagé n'est configuré sur le Mac.");
    const QString photos = root + QStringLiteral("/Photos");
    share(projets);
    share(photos);
    file(projets + QStringLiteral("/plan.txt"), "a");
    file(photos + QStringLiteral("/plan.jpg"), "b");
    auto names = [&](const Json& args) {
        std::set<std::string> found;
        const Json answer = result("search", args);
        for (const Json& item : answer["items"])
            found.insert(item["name"].get<std::string>());
        return found;
    };
    EXPECT_EQ(names({{"query", "plan"}, {"folder_hints", {"projets"}}}), (std::set<std::string>{"plan.txt"}));
    EXPECT_EQ(names({{"query", "plan"}, {"folder_hints", {"inconnu"}}}),
              (std::set<std::string>{"plan.txt", "plan.jpg"}));
    EXPECT_EQ(names({{"query", "plan"}, {"folder_hints", {"DOCUMENTS"}}}),
              (std::set<std::string>{"plan.txt", "plan.jpg"}));
    // An empty hint is found in no path.
    EXPECT_EQ(names({{"query", "plan"}, {"folder_hints", {"", "projets"}}}),
              (std::set<std::string>{"plan.txt"}));
    EXPECT_EQ(names({{"query", "plan"}, {"limit", 0}}), std::set<std::string>{});
    EXPECT_EQ(names({{"query", "plan"}, {"limit", -2}}), std::set<std::string>{});
    EXPECT_EQ(result("search", {{"query", "   "}}), (Json{{"items", Json::array()}}));
    // With the index, a one-word search answers from it.
    index->setAvailable(true);
    index->add({projets + QStringLiteral("/plan.txt"), {}, {}, QStringLiteral("plan de masse"), 1, kMarch14});
    EXPECT_EQ(names({{"query", "masse"}}), (std::set<std::string>{"plan.txt"}));
    expectAccessBalanced();
}

TEST_F(DocumentTasksTest, EverySearchGivesNewIdsAndTheOldestAreForgotten) {
    share(projets);
    file(projets + QStringLiteral("/budget.txt"), "1234");
    const std::string first = result("search", {{"query", "budget"}})["items"][0]["id"];
    const std::string second = result("search", {{"query", "budget"}})["items"][0]["id"];
    EXPECT_NE(first, second);
    EXPECT_EQ(read(first)["content"], "1234");
    EXPECT_EQ(read(second)["content"], "1234");

    const QString many = projets + QStringLiteral("/Beaucoup");
    for (int i = 0; i < 999; ++i)
        DocumentFiles::write(many + QStringLiteral("/f%1.txt").arg(i, 4, 10, QLatin1Char('0')), "x");
    const Json listed = result("list_dir", {{"folder_id", json::str(share(many))}});
    ASSERT_EQ(listed["items"].size(), 999u);
    // 1,001 ids handed out: the very first is gone, the next one is still there.
    EXPECT_EQ(error("read", {{"document_id", first}}),
              "Document introuvable (la session a pu être nettoyée; relance la recherche).");
    EXPECT_EQ(read(second)["content"], "1234");
    EXPECT_EQ(read(listed["items"][998]["id"])["content"], "x");

    // A listing longer than the cache holds: every one of its ids resolves right
    // after it, the first one included.
    const QString more = projets + QStringLiteral("/Davantage");
    for (int i = 0; i < 1500; ++i)
        DocumentFiles::write(more + QStringLiteral("/g%1.txt").arg(i, 4, 10, QLatin1Char('0')), "y");
    const Json big = result("list_dir", {{"folder_id", json::str(share(more))}});
    ASSERT_EQ(big["items"].size(), 1500u);
    for (const Json& item : big["items"])
        ASSERT_TRUE(BridgeService::shared().idCache().getNative(json::qstr(item["id"])).has_value());
    EXPECT_EQ(read(big["items"][0]["id"])["content"], "y");
    EXPECT_EQ(read(big["items"][1499]["id"])["content"], "y");
}

TEST_F(DocumentTasksTest, ReadRefusesWhatIsNotInASharedFolder) {
    EXPECT_EQ(error("read", {{"document_id", "inconnu"}}),
              "Document introuvable (la session a pu être nettoyée; relance la recherche).");
    const QString id = share(projets);
    file(projets + QStringLiteral("/a.txt"), "texte");
    file(projets + QStringLiteral("/image.png"), "\x89PNG");
    file(projets + QStringLiteral("/b.txt"), "b");
    file(projets + QStringLiteral("/c.pdf"), DocumentFiles::pdf({QStringLiteral("page")}));
    file(projets + QStringLiteral("/d.txt"), "d");
    const Json items = result("list_dir", {{"folder_id", json::str(id)}})["items"];
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(error("read", {{"document_id", items[4]["id"]}}), "Format non supporté (image/png)");
    // A document deleted since it was listed is still inside the folder: the read
    // reports it missing.
    QFile::remove(projets + QStringLiteral("/a.txt"));
    EXPECT_EQ(error("read", {{"document_id", items[0]["id"]}}),
              "Lecture: Le fichier « a.txt » n'existe pas.");
    QFile::remove(projets + QStringLiteral("/c.pdf"));
    EXPECT_EQ(error("read", {{"document_id", items[2]["id"]}}), "Lecture: PDFDocument init failed");
    // A link that leads out of the share to nothing is outside all the same.
    QFile::remove(projets + QStringLiteral("/d.txt"));
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/absent.txt"), projets + QStringLiteral("/d.txt")));
    EXPECT_EQ(error("read", {{"document_id", items[3]["id"]}}), "Document hors des dossiers partagés.");
    // A file replaced by a link out of the share after it was listed is not read.
    QFile::remove(projets + QStringLiteral("/b.txt"));
    file(outside + QStringLiteral("/b.txt"), "secret");
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/b.txt"), projets + QStringLiteral("/b.txt")));
    EXPECT_EQ(error("read", {{"document_id", items[1]["id"]}}), "Document hors des dossiers partagés.");
    // Nor is anything once the folder is no longer shared.
    BookmarkStore::shared().remove(QUuid::fromString(id));
    EXPECT_EQ(error("read", {{"document_id", items[0]["id"]}}), "Document hors des dossiers partagés.");
    expectAccessBalanced();
}

TEST_F(DocumentTasksTest, ListFoldersGivesTheSharedFolders) {
    EXPECT_EQ(result("list_folders"), (Json{{"folders", Json::array()}}));
    const QString projetsId = share(projets);
    const QString gone = root + QStringLiteral("/Ancien");
    share(gone);
    const QString photosId = share(root + QStringLiteral("/Photos"));
    removeTestFolder(gone);
    EXPECT_EQ(result("list_folders"), (Json{{"folders",
                                             {{{"id", json::str(projetsId)},
                                               {"name", "Projets"},
                                               {"path_display", "~/Documents/Projets"},
                                               {"is_remote", false}},
                                              {{"id", json::str(photosId)},
                                               {"name", "Photos"},
                                               {"path_display", "~/Documents/Photos"},
                                               {"is_remote", false}}}}}));
    EXPECT_EQ(error("list_dir", {{"folder_id", json::str(uuidText(QUuid::createUuid()))}}),
              "Ce dossier n'est plus partagé sur le Mac.");
    expectAccessBalanced();
}

TEST_F(DocumentTasksTest, ListDirListsOneLevelSortedByName) {
    const QString id = share(projets);
    const QString dir = projets + QStringLiteral("/a/b");
    file(dir + QStringLiteral("/Banane.txt"), "12345");
    file(dir + QStringLiteral("/abricot.md"), "1");
    file(dir + QStringLiteral("/Cerise"), "1");
    file(dir + QStringLiteral("/report.PDF"), "1");
    file(dir + QStringLiteral("/x.zzq"), "1");
    file(dir + QStringLiteral("/.cache"), "1");
    file(dir + QStringLiteral("/Zeta/dedans.txt"), "1");
    DocumentFiles::setModified(dir + QStringLiteral("/Zeta"), kMarch14);
    file(outside + QStringLiteral("/fuite.txt"), "secret");
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/fuite.txt"), dir + QStringLiteral("/fuite.txt")));
    ASSERT_TRUE(QFile::link(outside, dir + QStringLiteral("/sortie")));
    ASSERT_TRUE(QFile::link(dir + QStringLiteral("/Banane.txt"), dir + QStringLiteral("/lien.txt")));

    const Json listed = result("list_dir", {{"folder_id", json::str(id.toLower())}, {"sub_path", "a//b/"}});
    EXPECT_EQ(listed["folder_id"], json::str(id.toLower()));
    EXPECT_EQ(listed["sub_path"], "a/b");
    std::vector<std::string> names;
    for (const Json& item : listed["items"]) {
        EXPECT_TRUE(isUuid(item["id"]));
        names.push_back(item["name"]);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"abricot.md", "Banane.txt", "Cerise", "lien.txt", "report.PDF",
                                               "x.zzq", "Zeta"}));
    const Json& banane = listed["items"][1];
    EXPECT_EQ(banane, (Json{{"id", banane["id"]},
                            {"name", "Banane.txt"},
                            {"type", "file"},
                            {"mime", "text/plain"},
                            {"size", 5},
                            {"modified_at", kMarch14Text},
                            {"sub_path", "a/b/Banane.txt"}}));
    const Json& zeta = listed["items"][6];
    EXPECT_EQ(zeta, (Json{{"id", zeta["id"]},
                          {"name", "Zeta"},
                          {"type", "folder"},
                          {"mime", "inode/directory"},
                          {"size", 0},
                          {"modified_at", kMarch14Text},
                          {"sub_path", "a/b/Zeta"}}));
    EXPECT_EQ(listed["items"][0]["mime"], "text/markdown");
    EXPECT_EQ(listed["items"][2]["mime"], "application/octet-stream");
    EXPECT_EQ(listed["items"][4]["mime"], "application/pdf");
    EXPECT_EQ(listed["items"][5]["mime"], "application/octet-stream");
    // Listed ids read their files; a listed folder is not a document.
    EXPECT_EQ(read(listed["items"][3]["id"])["content"], "12345");
    EXPECT_EQ(error("read", {{"document_id", zeta["id"]}}), "Format non supporté (inode/directory)");

    const Json top = result("list_dir", {{"folder_id", json::str(id)}});
    EXPECT_EQ(top["sub_path"], "");
    ASSERT_EQ(top["items"].size(), 1u);
    EXPECT_EQ(top["items"][0]["sub_path"], "a");
    EXPECT_EQ(result("list_dir", {{"folder_id", json::str(id)}, {"sub_path", ""}})["items"].size(), 1u);
    expectAccessBalanced();
}

TEST_F(DocumentTasksTest, ListDirRefusals) {
    const QString id = share(projets);
    const QString gone = share(root + QStringLiteral("/Ancien"));
    removeTestFolder(root + QStringLiteral("/Ancien"));
    file(projets + QStringLiteral("/note.txt"), "1");
    QDir().mkpath(projets + QStringLiteral("/b"));
    ASSERT_TRUE(QFile::link(outside, projets + QStringLiteral("/sortie")));
    auto listError = [&](const QString& folderId, std::optional<const char*> subPath) {
        Json args = {{"folder_id", json::str(folderId)}};
        if (subPath)
            args["sub_path"] = *subPath;
        return error("list_dir", args);
    };
    EXPECT_EQ(listError(QStringLiteral("abc"), std::nullopt), "folder_id mal formé.");
    EXPECT_EQ(listError(QStringLiteral("{") + id + QStringLiteral("}"), std::nullopt),
              "folder_id mal formé.");
    EXPECT_EQ(listError(uuidText(QUuid::createUuid()), std::nullopt),
              "Ce dossier n'est plus partagé sur le Mac.");
    EXPECT_EQ(listError(gone, std::nullopt), "Impossible de résoudre le bookmark (dossier déplacé ?).");
    EXPECT_EQ(listError(id, "/"), "sub_path invalide.");
    EXPECT_EQ(listError(id, "a/../b"), "sub_path invalide.");
    EXPECT_EQ(listError(id, "../x"), "sub_path invalide.");
    EXPECT_EQ(listError(id, "sortie"), "sub_path échappe du dossier partagé.");
    EXPECT_EQ(listError(id, "sortie/inconnu"), "sub_path échappe du dossier partagé.");
    EXPECT_EQ(listError(id, "note.txt"), "Lecture du dossier impossible: « note.txt » n'est pas un dossier.");
    EXPECT_EQ(listError(id, "nulle/part"),
              "Lecture du dossier impossible: Le dossier « part » n'existe pas.");
    // "." is not refused.
    EXPECT_EQ(result("list_dir", {{"folder_id", json::str(id)}, {"sub_path", "./b"}})["sub_path"], "./b");
    expectAccessBalanced();
}

TEST_F(DocumentTasksTest, UndeliveredResultIsRecordedAndAccessStillReleased) {
    share(projets);
    file(projets + QStringLiteral("/devis.txt"), "1");
    updateAnswer = ScriptedResponse::json(500, "{\"error\":\"boom\"}");
    const Json body = run("search", {{"query", "devis"}});
    EXPECT_EQ(body["status"], "done");
    ASSERT_TRUE(spinUntil([] { return BridgeService::shared().lastErrorMessage().has_value(); }));
    EXPECT_TRUE(BridgeService::shared().lastErrorMessage()->contains(QStringLiteral("500")))
        << BridgeService::shared().lastErrorMessage()->toStdString();
    expectAccessBalanced();
}

// A folder of the share and a link out of it swap places over and over while the
// same document is read: every read gives the inside text or an error, never a byte
// of the outside file.
TEST_F(DocumentTasksTest, ReadsRacingAFolderSwappedForALinkNeverLeaveTheShare) {
    share(projets);
    file(projets + QStringLiteral("/dossier/doc.txt"), "dedans");
    file(outside + QStringLiteral("/doc.txt"), "SECRET");
    ASSERT_TRUE(QFile::link(outside, projets + QStringLiteral("/piege")));
    const Json listed = result("search", {{"query", "doc"}});
    ASSERT_EQ(listed["items"].size(), 1u);
    const std::string id = listed["items"][0]["id"];
    const QByteArray folder = QFile::encodeName(projets + QStringLiteral("/dossier"));
    const QByteArray trap = QFile::encodeName(projets + QStringLiteral("/piege"));
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        while (!stop)
            ::renameat2(AT_FDCWD, folder.constData(), AT_FDCWD, trap.constData(), RENAME_EXCHANGE);
    });
    int inside = 0;
    std::string leaked;
    for (int i = 0; i < 300 && leaked.empty(); ++i) {
        const Json body = run("read", {{"document_id", id}});
        if (body.dump().find("SECRET") != std::string::npos)
            leaked = body.dump();
        inside += body["status"] == "done" && body["result"]["content"] == "dedans";
    }
    stop = true;
    flipper.join();
    EXPECT_EQ(leaked, "");
    EXPECT_GT(inside, 0);
}

// A NUL or control character in a sub path, a hidden component, and a shared folder
// replaced by a link are refused before anything outside is named; a shared folder
// renamed within its parent is still served.
TEST_F(DocumentTasksTest, SubPathsAndSharesAreCheckedAtEveryUse) {
    const QString id = share(projets);
    file(projets + QStringLiteral("/.cache/brouillon.txt"), "caché");
    file(projets + QStringLiteral("/a.txt"), "a");
    file(outside + QStringLiteral("/secret.txt"), "secret");
    ASSERT_TRUE(QFile::link(outside, projets + QStringLiteral("/lien")));
    for (const std::string& subPath :
         {std::string("lien\0", 5), std::string("lien\n"), std::string(".cache"), std::string("a/../.cache")})
        EXPECT_EQ(error("list_dir", {{"folder_id", json::str(id)}, {"sub_path", subPath}}),
                  "sub_path invalide.")
            << subPath;
    EXPECT_EQ(error("list_dir", {{"folder_id", json::str(id)}, {"sub_path", "lien"}}),
              "sub_path échappe du dossier partagé.");
    const std::string hiddenId = uuidText(QUuid::createUuid()).toStdString();
    BridgeService::shared().idCache().put(QString::fromStdString(hiddenId),
                                          projets + QStringLiteral("/.cache/brouillon.txt"));
    EXPECT_EQ(error("read", {{"document_id", hiddenId}}), "Document hors des dossiers partagés.");

    // Renamed within its parent: found again under its new name.
    const QString renamed = root + QStringLiteral("/Projets renommés");
    ASSERT_TRUE(QDir().rename(projets, renamed));
    EXPECT_EQ(result("list_dir", {{"folder_id", json::str(id)}})["items"][0]["name"], "a.txt");
    EXPECT_EQ(result("list_folders")["folders"][0]["path_display"], "~/Documents/Projets renommés");

    // Replaced by a link to another folder: refused as moved, nothing of it named.
    const QString away = QDir::homePath() + QStringLiteral("/Ailleurs");
    ASSERT_TRUE(QDir().rename(renamed, away));
    ASSERT_TRUE(QFile::link(outside, projets));
    EXPECT_EQ(error("list_dir", {{"folder_id", json::str(id)}}),
              "Impossible de résoudre le bookmark (dossier déplacé ?).");
    EXPECT_EQ(result("list_folders"), (Json{{"folders", Json::array()}}));
    EXPECT_TRUE(result("search", {{"query", "secret"}})["items"].empty());
    BridgeService::shared().idCache().put(QString::fromStdString(hiddenId),
                                          projets + QStringLiteral("/secret.txt"));
    EXPECT_EQ(error("read", {{"document_id", hiddenId}}), "Document hors des dossiers partagés.");
    QFile::remove(projets);
    removeTestFolder(away);
    expectAccessBalanced();
}

// A file name that is not valid UTF-8 is listed with its real size, found by the
// walk and read under its exact bytes.
TEST_F(DocumentTasksTest, NamesThatAreNotUtf8AreListedSearchedAndRead) {
    const QString id = share(projets);
    const QByteArray native = QFile::encodeName(projets) + "/caf\xe9-menu.txt"; // Latin-1 "é"
    {
        const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "bonjour", 7), 7);
        ::close(fd);
    }
    const Json items = result("list_dir", {{"folder_id", json::str(id)}})["items"];
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]["name"], "café-menu.txt");
    EXPECT_EQ(items[0]["size"], 7);
    EXPECT_EQ(read(items[0]["id"])["content"], "bonjour");
    const Json found = result("search", {{"query", "menu"}})["items"];
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]["name"], "café-menu.txt");
    EXPECT_EQ(found[0]["size"], 7);
    EXPECT_EQ(read(found[0]["id"])["content"], "bonjour");
    ::unlink(native.constData());
}

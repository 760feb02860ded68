// The file tools over real folders shared through real bookmarks, searched by the
// real search (the file-system walk: no metadata index answers in tests) and read
// by the real extractor and OCR.
#include "localllm/LocalToolRegistry.h"

#include "bridge/BookmarkStore.h"
#include "bridge/BridgeService.h"
#include "content/Decoding.h"
#include "platform/Modules.h"
#include "support/MediaFixtures.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kNoFolders = QStringLiteral("The Mac bridge has no folders granted yet. Ask the user to add "
                                          "one from the Mac app Settings \u2192 Bridge.");
const QString kNotFound =
    QStringLiteral("Document introuvable (la session a pu être nettoyée; relance la recherche).");
const QString kOutside = QStringLiteral("Document hors des dossiers partagés.");
const QString kUuid = QStringLiteral("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");

QString call(const QString& name, const Json& arguments) {
    return runTask(LocalToolRegistry::dispatch(name, QString::fromStdString(arguments.dump())));
}

std::string uuidOf(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces).toUpper().toStdString();
}
std::string str(const QString& text) {
    return text.toStdString();
}

void write(const QString& path, const QByteArray& bytes) {
    ASSERT_TRUE(fixtures::writeFile(path, bytes));
}

void setModified(const QString& path, const QDateTime& when) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(when, QFileDevice::FileModificationTime));
}

// Every id written in a result, in order.
QStringList idsIn(const QString& text) {
    QStringList ids;
    auto matches = QRegularExpression(kUuid).globalMatch(text);
    while (matches.hasNext())
        ids.append(matches.next().captured(0));
    return ids;
}

class FileToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        installMemoryDefaults();
        BridgeService::resetSharedForTesting();
        BookmarkResolver::resetAccessCounts();
    }
    void TearDown() override { BridgeService::resetSharedForTesting(); }

    // Shares a folder (made when missing) and returns its entry.
    BookmarkEntry share(const QString& path, const QString& name = QString()) {
        QDir().mkpath(path);
        BookmarkEntry entry{QUuid::createUuid(), BookmarkResolver::makeBookmark(path),
                            name.isEmpty() ? QFileInfo(path).fileName() : name, 0};
        shared.append(entry);
        BookmarkPersistence::save(shared);
        return entry;
    }
    void unshare(const BookmarkEntry& entry) {
        shared.removeAll(entry);
        BookmarkPersistence::save(shared);
    }
    std::optional<QString> cached(const QString& id) { return BridgeService::shared().idCache().get(id); }

    QTemporaryDir root;
    QList<BookmarkEntry> shared;
};

} // namespace

TEST_F(FileToolsTest, SearchWritesOneLinkedLinePerDocument) {
    EXPECT_EQ(call("search_local_documents", {{"query", "rapport"}}), kNoFolders);
    EXPECT_EQ(call("list_local_folders", Json::object()), kNoFolders);

    const QString work = root.path() + "/Travail";
    share(work);
    write(work + "/rapport annuel.txt", QByteArray(2048, 'x'));
    setModified(work + "/rapport annuel.txt",
                QDateTime(QDate(2025, 3, 14), QTime(9, 26, 53), QTimeZone::utc()));

    const QString answer = call("search_local_documents", {{"query", "rapport"}});
    const QRegularExpression line(
        "^1\\. rapport annuel\\.txt \u2014 " + QRegularExpression::escape(work) +
        ", 2\\.0 KB, modified 2025-03-14T09:26:53Z \\(open: ombrix://local_file/open/(" + kUuid + ")\\)$");
    const auto match = line.match(answer);
    ASSERT_TRUE(match.hasMatch()) << answer.toStdString();
    EXPECT_EQ(cached(match.captured(1)), work + "/rapport annuel.txt");
    // Every folder opened for the search was closed again.
    EXPECT_GT(BookmarkResolver::accessStarts(), 0);
    EXPECT_EQ(BookmarkResolver::accessStarts(), BookmarkResolver::accessStops());

    EXPECT_EQ(call("search_local_documents", {{"query", "introuvable"}}), "No local documents matched.");
    EXPECT_EQ(call("search_local_documents", "not json"), "No local documents matched.");
}

TEST_F(FileToolsTest, SearchHintsAndLimits) {
    const QString work = root.path() + "/Travail";
    const QString home = root.path() + "/Perso";
    share(work);
    share(home);
    for (const QString& folder : {work, home})
        for (int i = 0; i < 3; ++i)
            write(folder + QStringLiteral("/budget-%1.txt").arg(i), "chiffres");

    auto count = [](const QString& text) { return text.split('\n').size(); };
    // A hint keeps the folders whose path holds it, ignoring case.
    QString answer = call("search_local_documents", {{"query", "budget"}, {"folder_hints", {"TRAVAIL"}}});
    EXPECT_EQ(count(answer), 3) << answer.toStdString();
    EXPECT_FALSE(answer.contains(home));
    // An empty hint matches no folder, so it does not undo the other hints.
    answer = call("search_local_documents", {{"query", "budget"}, {"folder_hints", {"", "travail"}}});
    EXPECT_EQ(count(answer), 3) << answer.toStdString();
    // A hint that matches no folder keeps them all; hints of the wrong type are no hints.
    EXPECT_EQ(count(call("search_local_documents", {{"query", "budget"}, {"folder_hints", {"Vacances"}}})),
              6);
    EXPECT_EQ(count(call("search_local_documents", {{"query", "budget"}, {"folder_hints", "Travail"}})), 6);
    // The limit is brought into 1...50.
    EXPECT_EQ(count(call("search_local_documents", {{"query", "budget"}, {"limit", 0}})), 1);
    EXPECT_EQ(count(call("search_local_documents", {{"query", "budget"}, {"limit", 2}})), 2);
    EXPECT_EQ(count(call("search_local_documents", {{"query", "budget"}, {"limit", 500}})), 6);
    EXPECT_EQ(count(call("search_local_documents", {{"query", "budget"}, {"limit", "2"}})), 6);
}

TEST_F(FileToolsTest, ReadReturnsTheTextWithinItsLimits) {
    const QString docs = root.path() + "/Docs";
    share(docs);
    write(docs + "/court.txt", "Bonjour le monde");
    write(docs + "/long.txt", QByteArray(12000, 'a'));
    write(docs + "/image.bin", QByteArray("\x00\x01\x02", 3));

    const QStringList ids = idsIn(call("browse_local_folder", {{"folder_id", uuidOf(shared[0].id)}}));
    ASSERT_EQ(ids.size(), 3); // court, image, long
    EXPECT_EQ(call("read_local_document", {{"document_id", str(ids[0])}}), "Bonjour le monde");

    const QString note = QStringLiteral("\n\n[Document truncated \u2014 ask for a specific section.]");
    EXPECT_EQ(call("read_local_document", {{"document_id", str(ids[2])}, {"max_chars", 100}}),
              QString(500, 'a') + note);
    EXPECT_EQ(call("read_local_document", {{"document_id", str(ids[2])}, {"max_chars", 50000}}),
              QString(10000, 'a') + note);
    EXPECT_EQ(call("read_local_document", {{"document_id", str(ids[2])}}), QString(8000, 'a') + note);
    EXPECT_EQ(call("read_local_document", {{"document_id", str(ids[2])}, {"max_chars", 12000}}),
              QString(10000, 'a') + note);

    const QString failed = call("read_local_document", {{"document_id", str(ids[1])}});
    EXPECT_TRUE(failed.startsWith("Read failed: Format non support")) << failed.toStdString();
    EXPECT_EQ(BookmarkResolver::accessStarts(), BookmarkResolver::accessStops());
}

TEST_F(FileToolsTest, ReadAndOcrRefuseUnknownEvictedAndOutsideDocuments) {
    const QString docs = root.path() + "/Docs";
    const BookmarkEntry entry = share(docs);
    write(docs + "/a.txt", "contenu");
    write(root.path() + "/secret.txt", "hors du partage");

    const QString id = idsIn(call("browse_local_folder", {{"folder_id", uuidOf(entry.id)}})).value(0);
    ASSERT_FALSE(id.isEmpty());

    for (const char* tool : {"read_local_document", "ocr_local_image"}) {
        EXPECT_EQ(call(tool, Json::object()), kNotFound);
        EXPECT_EQ(call(tool, {{"document_id", ""}}), kNotFound);
        EXPECT_EQ(call(tool, {{"document_id", uuidOf(QUuid::createUuid())}}), kNotFound);
        EXPECT_EQ(call(tool, {{"document_id", str(id.toLower())}}), kNotFound);
    }

    // The document is replaced by a link to a file outside the shared folder.
    QFile::remove(docs + "/a.txt");
    ASSERT_TRUE(QFile::link(root.path() + "/secret.txt", docs + "/a.txt"));
    EXPECT_EQ(call("read_local_document", {{"document_id", str(id)}}), kOutside);
    EXPECT_EQ(call("ocr_local_image", {{"document_id", str(id)}}), kOutside);
    QFile::remove(docs + "/a.txt");
    write(docs + "/a.txt", "contenu");
    EXPECT_EQ(call("read_local_document", {{"document_id", str(id)}}), "contenu");

    // A folder with a path that merely begins like the shared one does not own it.
    BridgeService::shared().idCache().put("SIBLING", root.path() + "/Docs-old/a.txt");
    write(root.path() + "/Docs-old/a.txt", "voisin");
    EXPECT_EQ(call("read_local_document", {{"document_id", "SIBLING"}}), kOutside);

    // The folder is no longer shared: its documents are outside, though their ids are known.
    unshare(entry);
    share(root.path() + "/Autre");
    EXPECT_EQ(call("read_local_document", {{"document_id", str(id)}}), kOutside);

    // Pushed out of the id cache by a thousand newer ids.
    share(docs);
    EXPECT_EQ(call("read_local_document", {{"document_id", str(id)}}), "contenu");
    for (int i = 0; i < 1000; ++i)
        BridgeService::shared().idCache().put(QString::number(i), docs + "/a.txt");
    EXPECT_EQ(call("read_local_document", {{"document_id", str(id)}}), kNotFound);
}

TEST_F(FileToolsTest, ReadAndOcrOfASlowDocumentStopAtTheBridgeTaskLimit) {
    // A PDF decoder that takes 5 s (tests/media/hostile: within a decode's own
    // time), and a shorter task limit.
    Modules::setSearchPathForTesting({QCoreApplication::applicationDirPath() + QStringLiteral("/hostile")});
    const auto restore = qScopeGuard([] {
        Modules::setSearchPathForTesting({});
        Decoding::stopIdleWorkersForTesting();
    });
    BridgeService::shared().setTaskTimeLimitForTesting(std::chrono::milliseconds(1500));
    const QString docs = root.path() + "/Docs";
    share(docs);
    write(docs + "/lent.pdf", "%PDF-1.4\nSLOW\n%%EOF\n");
    const QStringList ids = idsIn(call("browse_local_folder", {{"folder_id", uuidOf(shared[0].id)}}));
    ASSERT_EQ(ids.size(), 1);
    const QString tooLong = QStringLiteral("Le fichier « lent.pdf » n'a pas pu être décodé : trop long.");
    EXPECT_EQ(call("read_local_document", {{"document_id", str(ids[0])}}), "Read failed: " + tooLong);
    EXPECT_EQ(call("ocr_local_image", {{"document_id", str(ids[0])}}), "OCR failed: " + tooLong);
}

TEST_F(FileToolsTest, ListShowsEachResolvableFolderWithItsPosition) {
    const QString inHome = QDir::homePath() + "/Partage-outils";
    const QString gone = root.path() + "/Parti";
    const QString third = root.path() + "/Trois";
    const BookmarkEntry a = share(inHome, "Partage");
    const BookmarkEntry b = share(gone);
    const BookmarkEntry c = share(third, "Troisième");
    QDir(gone).removeRecursively(); // inside this test's own temporary folder

    EXPECT_EQ(call("list_local_folders", "[]"),
              "1. Partage (~/Partage-outils, id: " + QString::fromStdString(uuidOf(a.id)) +
                  ")\n3. Troisième (" + third + ", id: " + QString::fromStdString(uuidOf(c.id)) + ")");
    EXPECT_EQ(BookmarkResolver::accessStarts(), 0);

    removeTestFolder(inHome);
    QDir(third).removeRecursively();
    EXPECT_EQ(call("list_local_folders", Json::object()), "");
    (void)b;
}

TEST_F(FileToolsTest, BrowseListsOneLevelSortedByName) {
    const QString docs = root.path() + "/Docs";
    const BookmarkEntry entry = share(docs);
    const std::string folderId = uuidOf(entry.id);
    write(docs + "/b.txt", QByteArray(2048, 'b'));
    QDir().mkpath(docs + "/Archive/2024");
    write(docs + "/Archive/2024/vieux.txt", "v");
    write(docs + "/a.md", "");
    write(docs + "/.cache", "caché");

    const QString answer = call("browse_local_folder", {{"folder_id", folderId}});
    const QRegularExpression expected("^1\\. \U0001F4C4 a\\.md \\(0\\.0 KB\\) \\(id: (" + kUuid +
                                      ")\\)\n"
                                      "2\\. \U0001F4C1 Archive \\(id: (" +
                                      kUuid +
                                      ")\\)\n"
                                      "3\\. \U0001F4C4 b\\.txt \\(2\\.0 KB\\) \\(id: (" +
                                      kUuid + ")\\)$");
    const auto match = expected.match(answer);
    ASSERT_TRUE(match.hasMatch()) << answer.toStdString();
    EXPECT_EQ(cached(match.captured(2)), docs + "/Archive");
    EXPECT_EQ(cached(match.captured(3)), docs + "/b.txt");

    // Sub-paths: empty pieces are ignored; the same level twice gets fresh ids.
    const QString nested =
        call("browse_local_folder", {{"folder_id", str(QString::fromStdString(folderId).toLower())},
                                     {"sub_path", "Archive//2024/"}});
    EXPECT_TRUE(QRegularExpression("^1\\. \U0001F4C4 vieux\\.txt \\(0\\.0 KB\\) \\(id: " + kUuid + "\\)$")
                    .match(nested)
                    .hasMatch())
        << nested.toStdString();
    EXPECT_EQ(
        call("browse_local_folder", {{"folder_id", folderId}, {"sub_path", "Archive/2024/vieux.txt/x"}}),
        "Lecture du dossier impossible: « x » n'est pas un dossier.");
    EXPECT_EQ(call("browse_local_folder", {{"folder_id", folderId}, {"sub_path", "Manquant"}}),
              "Lecture du dossier impossible: Le dossier « Manquant » n'existe pas.");
    QDir().mkpath(docs + "/Vide");
    EXPECT_EQ(call("browse_local_folder", {{"folder_id", folderId}, {"sub_path", "Vide"}}), "Empty folder.");
    EXPECT_EQ(BookmarkResolver::accessStarts(), BookmarkResolver::accessStops());
}

TEST_F(FileToolsTest, BrowseRefusesBadIdsAndEscapes) {
    const QString docs = root.path() + "/Docs";
    const BookmarkEntry entry = share(docs);
    const std::string folderId = uuidOf(entry.id);

    EXPECT_EQ(call("browse_local_folder", Json::object()), "folder_id mal formé.");
    EXPECT_EQ(call("browse_local_folder", {{"folder_id", "Docs"}}), "folder_id mal formé.");
    EXPECT_EQ(call("browse_local_folder", {{"folder_id", "{" + folderId + "}"}}), "folder_id mal formé.");
    EXPECT_EQ(call("browse_local_folder", {{"folder_id", uuidOf(QUuid::createUuid())}}),
              "Ce dossier n'est plus partagé sur le Mac.");

    // ".." and absolute sub-paths are refused before the folder is opened.
    for (const char* bad : {"..", "a/../..", "Archive/..", "/etc"})
        EXPECT_EQ(call("browse_local_folder", {{"folder_id", folderId}, {"sub_path", bad}}),
                  "sub_path invalide.");
    EXPECT_EQ(BookmarkResolver::accessStarts(), 0);

    // A link inside the folder that leads out of it is an escape; links out are not listed.
    QDir().mkpath(root.path() + "/Dehors");
    write(root.path() + "/Dehors/secret.txt", "s");
    ASSERT_TRUE(QFile::link(root.path() + "/Dehors", docs + "/sortie"));
    ASSERT_TRUE(QFile::link(root.path() + "/Dehors/secret.txt", docs + "/secret.txt"));
    ASSERT_TRUE(QFile::link(docs + "/nulle-part", docs + "/cassé"));
    QDir().mkpath(docs + "/Dedans");
    ASSERT_TRUE(QFile::link(docs + "/Dedans", docs + "/raccourci"));
    EXPECT_EQ(call("browse_local_folder", {{"folder_id", folderId}, {"sub_path", "sortie"}}),
              "sub_path échappe du dossier partagé.");
    const QString listing = call("browse_local_folder", {{"folder_id", folderId}});
    EXPECT_TRUE(QRegularExpression("^1\\. \U0001F4C1 Dedans \\(id: " + kUuid +
                                   "\\)\n2\\. \U0001F4C1 raccourci \\(id: " + kUuid + "\\)$")
                    .match(listing)
                    .hasMatch())
        << listing.toStdString();
    EXPECT_EQ(BookmarkResolver::accessStarts(), BookmarkResolver::accessStops());

    // The shared folder itself is gone.
    QDir(docs).removeRecursively();
    EXPECT_EQ(call("browse_local_folder", {{"folder_id", folderId}}),
              "Impossible de résoudre le bookmark (dossier déplacé ?).");
}

TEST_F(FileToolsTest, OcrRecognisesTheTextOfASharedImage) {
    const QString scans = root.path() + "/Scans";
    const BookmarkEntry entry = share(scans);
    ASSERT_TRUE(fixtures::textImage({"Facture 2024"}).save(scans + "/facture.png"));
    QImage blank(400, 200, QImage::Format_RGB32);
    blank.fill(Qt::white);
    ASSERT_TRUE(blank.save(scans + "/blanc.png"));
    write(scans + "/notes.txt", "texte");

    const QStringList ids = idsIn(call("browse_local_folder", {{"folder_id", uuidOf(entry.id)}}));
    ASSERT_EQ(ids.size(), 3); // blanc, facture, notes
    EXPECT_EQ(fixtures::squeeze(call("ocr_local_image", {{"document_id", str(ids[1])}})), "Facture 2024");
    EXPECT_EQ(call("ocr_local_image", {{"document_id", str(ids[0])}}),
              "No text recognised in this document.");
    const QString failed = call("ocr_local_image", {{"document_id", str(ids[2])}});
    EXPECT_TRUE(failed.startsWith("OCR failed: ")) << failed.toStdString();
    EXPECT_GT(failed.size(), QString("OCR failed: ").size());

    // A HEIC photo of a page.
    if (fixtures::canWriteHeic()) {
        const QString photos = root.path() + "/Photos";
        const BookmarkEntry photosEntry = share(photos);
        ASSERT_TRUE(fixtures::writeHeic(photos + "/IMG_0001.HEIC", fixtures::textImage({"Facture 2024"})));
        const QStringList photoIds =
            idsIn(call("browse_local_folder", {{"folder_id", uuidOf(photosEntry.id)}}));
        ASSERT_EQ(photoIds.size(), 1);
        EXPECT_EQ(fixtures::squeeze(call("ocr_local_image", {{"document_id", str(photoIds[0])}})),
                  "Facture 2024");
    }

    // A link listed as scan.png to a file without extension is typed by the listed name.
    const QString links = root.path() + "/Liens";
    const BookmarkEntry linksEntry = share(links);
    ASSERT_TRUE(fixtures::textImage({"Facture 2024"}).save(links + "/contenu", "PNG"));
    ASSERT_TRUE(QFile::link(links + "/contenu", links + "/scan.png"));
    const QStringList linkIds = idsIn(call("browse_local_folder", {{"folder_id", uuidOf(linksEntry.id)}}));
    ASSERT_EQ(linkIds.size(), 2); // contenu, scan.png
    EXPECT_EQ(fixtures::squeeze(call("ocr_local_image", {{"document_id", str(linkIds[1])}})), "Facture 2024");
    EXPECT_EQ(BookmarkResolver::accessStarts(), BookmarkResolver::accessStops());
}

// The local tools open what they read through the shared folder, as the bridge does:
// a folder swapped for a link never gives away the outside file, and paths with a
// control character or a hidden component, replaced shares and names that are not
// UTF-8 behave as in the bridge's tasks.
TEST_F(FileToolsTest, ReadsRacingAFolderSwappedForALinkNeverLeaveTheShare) {
    const QString docs = root.path() + "/Docs";
    write(docs + "/dossier/doc.txt", "dedans");
    write(root.path() + "/Dehors/doc.txt", "SECRET");
    ASSERT_TRUE(QFile::link(root.path() + "/Dehors", docs + "/piege"));
    share(docs);
    BridgeService::shared().idCache().put(QStringLiteral("DOC"), docs + "/dossier/doc.txt");
    const QByteArray folder = QFile::encodeName(docs + "/dossier");
    const QByteArray trap = QFile::encodeName(docs + "/piege");
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        while (!stop)
            ::renameat2(AT_FDCWD, folder.constData(), AT_FDCWD, trap.constData(), RENAME_EXCHANGE);
    });
    int inside = 0;
    int leaked = 0;
    for (int i = 0; i < 2000 && leaked == 0; ++i) {
        const QString answer = call("read_local_document", {{"document_id", "DOC"}});
        leaked += answer.contains(QStringLiteral("SECRET"));
        inside += answer == QStringLiteral("dedans");
    }
    stop = true;
    flipper.join();
    EXPECT_EQ(leaked, 0);
    EXPECT_GT(inside, 0);
}

TEST_F(FileToolsTest, ControlCharactersHiddenPathsAndReplacedSharesAreRefused) {
    const QString docs = root.path() + "/Docs";
    const QString vault = root.path() + "/Coffre";
    write(docs + "/a.txt", "a");
    write(docs + "/.git/config", "[core]");
    write(vault + "/id_rsa", "PRIVATE KEY");
    ASSERT_TRUE(QFile::link(vault, docs + "/lien"));
    const BookmarkEntry entry = share(docs);
    const std::string folderId = uuidOf(entry.id);
    for (const std::string& subPath :
         {std::string("lien\0", 5), std::string("lien\r"), std::string(".git"), std::string("x/../.git")})
        EXPECT_EQ(call("browse_local_folder", {{"folder_id", folderId}, {"sub_path", subPath}}),
                  QStringLiteral("sub_path invalide."));
    BridgeService::shared().idCache().put(QStringLiteral("HIDDEN"), docs + "/.git/config");
    EXPECT_EQ(call("read_local_document", {{"document_id", "HIDDEN"}}), kOutside);

    // A name that is not valid UTF-8: listed with its size, read under its bytes.
    const QByteArray native = QFile::encodeName(docs) + "/caf\xe9.txt";
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, std::string(2048, 'x').data(), 2048), 2048);
    ::close(fd);
    const QString listing = call("browse_local_folder", {{"folder_id", folderId}});
    EXPECT_TRUE(listing.contains(QStringLiteral("café.txt (2.0 KB)"))) << listing.toStdString();
    const QStringList ids = idsIn(listing);
    ASSERT_EQ(ids.size(), 2);
    EXPECT_EQ(call("read_local_document", {{"document_id", str(ids[1])}}), QString(2048, QLatin1Char('x')));

    // The shared folder moved to another folder and a link put in its place: refused
    // as moved (only a folder renamed within its parent is found again).
    BridgeService::shared().idCache().put(QStringLiteral("KEY"), docs + "/id_rsa");
    ASSERT_TRUE(QDir().mkpath(root.path() + "/Ailleurs"));
    ASSERT_TRUE(QDir().rename(docs, root.path() + "/Ailleurs/Docs"));
    ASSERT_TRUE(QFile::link(vault, docs));
    EXPECT_EQ(call("browse_local_folder", {{"folder_id", folderId}}),
              QStringLiteral("Impossible de résoudre le bookmark (dossier déplacé ?)."));
    EXPECT_EQ(call("read_local_document", {{"document_id", "KEY"}}), kOutside);
    EXPECT_EQ(call("ocr_local_image", {{"document_id", "KEY"}}), kOutside);
    EXPECT_EQ(call("list_local_folders", Json::object()), QString());
    EXPECT_EQ(call("search_local_documents", {{"query", "id_rsa"}}),
              QStringLiteral("No local documents matched."));
}

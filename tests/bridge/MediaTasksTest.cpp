// ocr_image, open_document and thumbnail end to end through the bridge loop: the
// fake backend hands out the tasks and receives the updates; the documents are
// real files in a shared folder of the test's home.
#include "BridgeTaskHarness.h"
#include "bridge/MediaBridgeHandler.h"
#include "content/Thumbnails.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "support/GuiStall.h"
#include "support/MediaFixtures.h"
#include "support/RecordingDesktopOpener.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QQueue>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace bridgetest;

class MediaTasksTest : public ::testing::Test {
protected:
    void SetUp() override {
        freshBridge();
        opener = RecordingDesktopOpener::install();
        routeQueuedPolls(backend, kPollPath, polls);
        backend.routePrefix("PATCH", kUpdatePrefix, [this](const RecordedRequest& request) {
            return request.path.endsWith(QStringLiteral("/refused")) ? ScriptedResponse::text(500, "panne")
                                                                     : ScriptedResponse::noContent();
        });
        home = QDir::homePath();
        shared = home + QStringLiteral("/Projets");
        ASSERT_TRUE(QDir().mkpath(shared));
        BookmarkStore::shared().add(shared);
        BridgeService::shared().start(QStringLiteral("tok"));
    }
    void TearDown() override {
        endBridge();
        opener.reset();
        removeTestFolder(shared);
        removeTestFolder(home + QStringLiteral("/Projets2"));
        QFile::remove(home + QStringLiteral("/dehors.txt"));
    }

    // A document id for a path, as a search or listing would have handed it out.
    QString idFor(const QString& path) {
        const QString id = QStringLiteral("DOC-%1").arg(++ids);
        BridgeService::shared().idCache().put(id, path);
        return id;
    }
    QList<Json> updates() const {
        QList<Json> bodies;
        for (const RecordedRequest& request : backend.requests())
            if (request.method == "PATCH")
                bodies << json::parse(request.body);
        return bodies;
    }
    // Hands one task to the bridge and returns the updates it sent for it.
    QList<Json> serveAll(const QString& kind, const Json& args, const QString& taskId = QStringLiteral("T")) {
        const qint64 served = BridgeService::shared().tasksServed();
        const qsizetype before = updates().size();
        const Json task{{"id", taskId.toStdString()}, {"kind", kind.toStdString()}, {"args", args}};
        polls.enqueue(ScriptedResponse::json(200, json::dump(task)));
        EXPECT_TRUE(spinUntil([&] { return BridgeService::shared().tasksServed() > served; }, 60000));
        return updates().mid(before);
    }
    Json serve(const QString& kind, const Json& args) {
        const QList<Json> sent = serveAll(kind, args);
        EXPECT_EQ(sent.size(), 1);
        return sent.isEmpty() ? Json() : sent.first();
    }
    static Json done(const Json& result) { return Json{{"status", "done"}, {"result", result}}; }
    static Json error(const char* message) { return Json{{"status", "error"}, {"error_message", message}}; }
    static Json doc(const QString& id) { return Json{{"document_id", id.toStdString()}}; }
    QString file(const QString& relative, const QByteArray& contents) {
        const QString path = shared + QLatin1Char('/') + relative;
        EXPECT_TRUE(fixtures::writeFile(path, contents));
        return path;
    }

    FakeBackend backend;
    QQueue<ScriptedResponse> polls;
    std::shared_ptr<RecordingDesktopOpener> opener;
    QString home;
    QString shared;
    int ids = 0;
};

const QStringList kFrench{QStringLiteral("Réunion à quinze heures"), QStringLiteral("dans la salle dorée")};
const QStringList kScan{QStringLiteral("Facture numéro 42"), QStringLiteral("Montant dû : 100 euros")};

TEST_F(MediaTasksTest, ocrRecognisesImagesAndPdfsOffTheGuiThread) {
    const QString image = shared + QStringLiteral("/notes/réunion.PNG");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(image).absolutePath()));
    ASSERT_TRUE(fixtures::textImage(kFrench).save(image, "PNG"));

    // The GUI thread keeps running while the text is recognised: no long gap
    // between the ticks of a fast timer.
    GuiStallMeter meter;
    BookmarkResolver::resetAccessCounts();
    QElapsedTimer served;
    served.start();
    meter.start();
    const Json update = serve(QStringLiteral("ocr_image"), doc(idFor(image)));
    const GuiStall stall = meter.stop();
    // Recognising kFrench takes the worker most of the task (half a second or more):
    // done or waited for on the GUI thread, it would fill one gap. The thread's own
    // steps take a few milliseconds.
    const qint64 farBelowTheRecognition = std::min<qint64>(250, served.elapsed() / 2);
    EXPECT_EQ(update.dump(), done(Json{{"text", kFrench.join('\n').toStdString()},
                                       {"languages", Json::array({"fr-FR", "en-US"})},
                                       {"bytes_processed", QFileInfo(image).size()}})
                                 .dump());
    EXPECT_TRUE(guiStayedResponsive(stall, farBelowTheRecognition, farBelowTheRecognition));
    // Access to the shared folder was opened around the recognition, and closed.
    EXPECT_EQ(BookmarkResolver::accessStarts(), 1);
    EXPECT_EQ(BookmarkResolver::accessStops(), 1);

    // A PDF with a text page, a scanned page and a blank page.
    const QString pdf = shared + QStringLiteral("/scan.pdf");
    ASSERT_TRUE(fixtures::writePdf(pdf, {{fixtures::PdfPage::Kind::Text, {QStringLiteral("Compte rendu")}},
                                         {fixtures::PdfPage::Kind::Scan, kScan},
                                         {fixtures::PdfPage::Kind::Blank, {}}}));
    EXPECT_EQ(serve(QStringLiteral("ocr_image"), doc(idFor(pdf))).dump(),
              done(Json{{"text", ("Compte rendu\n\f\n" + kScan.join('\n')).toStdString()},
                        {"languages", Json::array({"en-US", "fr-FR"})},
                        {"bytes_processed", QFileInfo(pdf).size()}})
                  .dump());
}

TEST_F(MediaTasksTest, ocrRefusalsUseItsOwnWording) {
    EXPECT_EQ(serve(QStringLiteral("ocr_image"), doc(QStringLiteral("jamais-vu"))).dump(),
              error("Document introuvable (la session a pu être nettoyée; relance la recherche).").dump());
    // A sibling folder whose name starts like the shared one is outside.
    ASSERT_TRUE(fixtures::writeFile(home + QStringLiteral("/Projets2/note.png"), "x"));
    EXPECT_EQ(
        serve(QStringLiteral("ocr_image"), doc(idFor(home + QStringLiteral("/Projets2/note.png")))).dump(),
        error("Document hors des dossiers partagés.").dump());
    // A link inside the share that leads out of it is outside too.
    ASSERT_TRUE(fixtures::writeFile(home + QStringLiteral("/dehors.txt"), "secret"));
    ASSERT_TRUE(QFile::link(home + QStringLiteral("/dehors.txt"), shared + QStringLiteral("/lien.png")));
    EXPECT_EQ(serve(QStringLiteral("ocr_image"), doc(idFor(shared + QStringLiteral("/lien.png")))).dump(),
              error("Document hors des dossiers partagés.").dump());
    // Inside, but of a type that is not recognised.
    EXPECT_EQ(serve(QStringLiteral("ocr_image"), doc(idFor(file(QStringLiteral("a.txt"), "texte")))).dump(),
              error("Format non supporté: txt").dump());
    // The type follows the name the document was handed out under, not the name of
    // the file its link leads to (inside the share).
    QImage blank(200, 100, QImage::Format_RGB32);
    blank.fill(Qt::white);
    const QString object = shared + QStringLiteral("/objets/3f9a0c");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(object).absolutePath()));
    ASSERT_TRUE(blank.save(object, "PNG"));
    ASSERT_TRUE(QFile::link(object, shared + QStringLiteral("/vue.png")));
    ASSERT_TRUE(QFile::link(object, shared + QStringLiteral("/vue.txt")));
    EXPECT_EQ(serve(QStringLiteral("ocr_image"), doc(idFor(shared + QStringLiteral("/vue.png")))).dump(),
              done(Json{{"text", ""},
                        {"languages", Json::array({"fr-FR", "en-US"})},
                        {"bytes_processed", QFileInfo(object).size()}})
                  .dump());
    EXPECT_EQ(serve(QStringLiteral("ocr_image"), doc(idFor(shared + QStringLiteral("/vue.txt")))).dump(),
              error("Format non supporté: txt").dump());
    // A shared folder that no longer resolves is left out.
    const QString id = idFor(file(QStringLiteral("b.png"), "x"));
    removeTestFolder(shared);
    EXPECT_EQ(serve(QStringLiteral("ocr_image"), doc(id)).dump(),
              error("Document hors des dossiers partagés.").dump());
}

TEST_F(MediaTasksTest, openDocumentGoesToTheDesktopButNeverRunsAnything) {
    const QString pdf = file(QStringLiteral("rapport.pdf"), "%PDF-1.4\n");
    EXPECT_EQ(serve(QStringLiteral("open_document"), doc(idFor(pdf))).dump(),
              done(Json{{"ok", true}}).dump());
    EXPECT_EQ(opener->openedDocuments, QStringList{pdf});
    // The shared folder itself is inside.
    EXPECT_EQ(serve(QStringLiteral("open_document"), doc(idFor(shared))).dump(),
              done(Json{{"ok", true}}).dump());
    opener->documentsOpen = false;
    EXPECT_EQ(serve(QStringLiteral("open_document"), doc(idFor(pdf))).dump(),
              done(Json{{"ok", false}, {"error", "open_failed"}}).dump());

    // Programs, scripts and desktop entries are refused before the desktop sees them.
    opener->openedDocuments.clear();
    opener->documentsOpen = true;
    const QString script = file(QStringLiteral("lancer.sh"), "#!/bin/sh\necho pwned\n");
    ASSERT_TRUE(QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner));
    const QString entry =
        file(QStringLiteral("raccourci.desktop"), "[Desktop Entry]\nType=Application\nExec=sh\n");
    const QString python = file(QStringLiteral("outil.py"), "import os\n");
    for (const QString& runnable : {script, entry, python})
        EXPECT_EQ(serve(QStringLiteral("open_document"), doc(idFor(runnable))).dump(),
                  done(Json{{"ok", false}, {"error", "open_failed"}}).dump())
            << runnable.toStdString();
    EXPECT_TRUE(opener->openedDocuments.isEmpty());

    // Launchers, and anything a first line or first bytes make a program, are refused
    // whatever their name; data is opened, JSON and JavaScript included.
    const struct {
        const char* name;
        QByteArray content;
        bool opened;
    } kinds[] = {
        {"donnees.json", "{\"a\": 1}\n", true},
        {"app.js", "console.log(1);\n", true},
        {"notes.txt", "bonjour\n", true},
        {"lanceur.jnlp", "<jnlp/>\n", false},
        {"paquet.snap", "hsqs", false},
        {"script.ps1", "Write-Host 1\n", false},
        {"script.vbs", "MsgBox 1\n", false},
        {"script.bat", "echo 1\n", false},
        {"archive.jar", "PK\x03\x04", false},
        {"installeur.msi", "x", false},
        {"lisezmoi.txt", "#!/bin/sh\nrm -rf ~\n", false},
        {"image.dat",
         "\x7f"
         "ELF\x02\x01\x01",
         false},
    };
    for (const auto& kind : kinds) {
        opener->openedDocuments.clear();
        const QString path = file(QString::fromLatin1(kind.name), kind.content);
        const Json expected =
            kind.opened ? done(Json{{"ok", true}}) : done(Json{{"ok", false}, {"error", "open_failed"}});
        EXPECT_EQ(serve(QStringLiteral("open_document"), doc(idFor(path))).dump(), expected.dump())
            << kind.name;
        EXPECT_EQ(opener->openedDocuments.size(), kind.opened ? 1 : 0) << kind.name;
    }
    opener->openedDocuments.clear();

    // Refusals in the wording of open_document.
    EXPECT_EQ(serve(QStringLiteral("open_document"), doc(QStringLiteral("jamais-vu"))).dump(),
              error("Document introuvable (la session a pu être nettoyée ; relance la recherche).").dump());
    ASSERT_TRUE(fixtures::writeFile(home + QStringLiteral("/Projets2/x.pdf"), "%PDF-1.4\n"));
    EXPECT_EQ(
        serve(QStringLiteral("open_document"), doc(idFor(home + QStringLiteral("/Projets2/x.pdf")))).dump(),
        error("Le document n'est plus dans un dossier partagé.").dump());
}

TEST_F(MediaTasksTest, openDocumentRecordsAnUndeliveredResult) {
    const QString pdf = file(QStringLiteral("rapport.pdf"), "%PDF-1.4\n");
    const QList<Json> sent =
        serveAll(QStringLiteral("open_document"), doc(idFor(pdf)), QStringLiteral("refused"));
    EXPECT_EQ(sent.size(), 1); // not retried
    ASSERT_TRUE(BridgeService::shared().lastErrorMessage().has_value());
    EXPECT_TRUE(BridgeService::shared().lastErrorMessage()->contains(QStringLiteral("500")));
}

TEST_F(MediaTasksTest, thumbnailsArePngOfThePixelSizeDelivered) {
    const double scale = Thumbnails::screenScale();
    auto decoded = [](const Json& update) {
        return QImage::fromData(
            QByteArray::fromBase64(QByteArray::fromStdString(update["result"]["data_base64"])), "PNG");
    };
    QImage wide(800, 400, QImage::Format_RGB32);
    wide.fill(Qt::darkGreen);
    const QString image = shared + QStringLiteral("/photo.png");
    ASSERT_TRUE(wide.save(image));
    const Json small = serve(QStringLiteral("thumbnail"),
                             Json{{"document_id", idFor(image).toStdString()}, {"max_edge", 100}});
    const int box = int(std::lround(100 * scale));
    EXPECT_EQ(small["result"]["mime"], "image/png");
    EXPECT_EQ(small["result"]["width"], box);
    EXPECT_EQ(small["result"]["height"], box / 2);
    EXPECT_EQ(decoded(small).size(), QSize(box, box / 2));
    // Out-of-range edges are clamped; no edge means 128.
    EXPECT_EQ(serve(QStringLiteral("thumbnail"),
                    Json{{"document_id", idFor(image).toStdString()}, {"max_edge", 10}})["result"]["width"],
              std::lround(32 * scale));
    EXPECT_EQ(serve(QStringLiteral("thumbnail"),
                    Json{{"document_id", idFor(image).toStdString()}, {"max_edge", 9000}})["result"]["width"],
              std::lround(256 * scale));

    // The first page of a PDF, A4 upright.
    const QString pdf = shared + QStringLiteral("/contrat.pdf");
    ASSERT_TRUE(fixtures::writePdf(pdf, {{fixtures::PdfPage::Kind::Text, {QStringLiteral("Contrat")}}}));
    const Json page = serve(QStringLiteral("thumbnail"), doc(idFor(pdf)));
    const int edge = int(std::lround(128 * scale));
    EXPECT_EQ(page["result"]["height"], edge);
    EXPECT_EQ(page["result"]["width"], std::lround(595.0 / 842.0 * edge));
    EXPECT_EQ(decoded(page).size(), QSize(page["result"]["width"].get<int>(), edge));

    // Anything else: the empty thumbnail, never an error.
    const Json empty = done(Json{{"data_base64", ""}, {"mime", "image/png"}, {"width", 0}, {"height", 0}});
    EXPECT_EQ(
        serve(QStringLiteral("thumbnail"), doc(idFor(file(QStringLiteral("notes.txt"), "du texte")))).dump(),
        empty.dump());
    EXPECT_EQ(
        serve(QStringLiteral("thumbnail"), doc(idFor(file(QStringLiteral("faux.png"), "pas une image"))))
            .dump(),
        empty.dump());

    // A result the backend refuses is followed by one empty thumbnail.
    const QList<Json> sent =
        serveAll(QStringLiteral("thumbnail"), doc(idFor(image)), QStringLiteral("refused"));
    ASSERT_EQ(sent.size(), 2);
    EXPECT_EQ(sent[0]["result"]["width"], std::lround(128 * scale));
    EXPECT_EQ(sent[1].dump(), empty.dump());
    EXPECT_FALSE(BridgeService::shared().lastErrorMessage().has_value());

    EXPECT_EQ(serve(QStringLiteral("thumbnail"), doc(QStringLiteral("jamais-vu"))).dump(),
              error("Document introuvable (la session a pu être nettoyée ; relance la recherche).").dump());
}

TEST_F(MediaTasksTest, photoApplicationAndShortcutKindsAreServedByTheLoop) {
    // No display to ask on: the photo library is refused.
    EXPECT_EQ(
        serve(QStringLiteral("photos_recent"), Json::object()).dump(),
        error("Accès Photos refusé. Allez dans Réglages Système → Confidentialité → Photos pour autoriser "
              "Ombrix.")
            .dump());
    EXPECT_EQ(
        serve(QStringLiteral("photos_by_date"), Json{{"year", 2023}, {"month", 0x7fffffffffffffff}}).dump(),
        error("invalid_date_components").dump());
    EXPECT_EQ(serve(QStringLiteral("app_open"), Json{{"name", "Introuvable"}}).dump(),
              done(Json{{"ok", false}, {"error", "Aucune application nommée 'Introuvable' n'a été trouvée."}})
                  .dump());
    // The built-in shortcuts runner with an empty shortcuts folder.
    EXPECT_EQ(serve(QStringLiteral("shortcut_list"), Json::object()).dump(),
              done(Json{{"shortcuts", Json::array()}}).dump());
    EXPECT_EQ(serve(QStringLiteral("shortcut_run"), Json{{"name", "Absent"}}).dump(),
              error("shortcut_run_failed: Raccourci introuvable : Absent").dump());
}

} // namespace

// What lies in a hidden folder, a name with a control character, and the files of a
// shared folder replaced by a link are outside for every kind that takes an id.
TEST_F(MediaTasksTest, hiddenControlCharacterAndReplacedSharesAreOutside) {
    QImage blank(60, 40, QImage::Format_RGB32);
    blank.fill(Qt::white);
    const QString hidden = shared + QStringLiteral("/.cache/vue.png");
    const QString control = shared + QStringLiteral("/vue\n.png");
    const QString vault = home + QStringLiteral("/Coffre");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(hidden).absolutePath()));
    ASSERT_TRUE(QDir().mkpath(vault));
    for (const QString& path : {hidden, control, vault + QStringLiteral("/vue.png")})
        ASSERT_TRUE(blank.save(path, "PNG"));
    const QString nul = shared + QStringLiteral("/vue.png") + QChar(0) + QStringLiteral("x");
    ASSERT_TRUE(blank.save(shared + QStringLiteral("/vue.png"), "PNG"));

    const struct {
        const char* kind;
        const char* outside;
    } kinds[] = {{"ocr_image", "Document hors des dossiers partagés."},
                 {"thumbnail", "Le document n'est plus dans un dossier partagé."},
                 {"open_document", "Le document n'est plus dans un dossier partagé."}};
    for (const auto& kind : kinds)
        for (const QString& path : {hidden, control, nul})
            EXPECT_EQ(serve(QString::fromLatin1(kind.kind), doc(idFor(path))).dump(),
                      error(kind.outside).dump())
                << kind.kind << " " << path.toStdString();

    // The shared folder moved away and a link to another folder put in its place.
    const QString id = idFor(shared + QStringLiteral("/vue.png"));
    const QString away = home + QStringLiteral("/Ailleurs");
    ASSERT_TRUE(QDir().mkpath(away));
    ASSERT_TRUE(QDir().rename(shared, away + QStringLiteral("/Projets")));
    ASSERT_TRUE(QFile::link(vault, shared));
    for (const auto& kind : kinds)
        EXPECT_EQ(serve(QString::fromLatin1(kind.kind), doc(id)).dump(), error(kind.outside).dump())
            << kind.kind;
    EXPECT_TRUE(opener->openedDocuments.isEmpty());
    QFile::remove(shared);
    ASSERT_TRUE(QDir().rename(away + QStringLiteral("/Projets"), shared));
    removeTestFolder(away);
    removeTestFolder(vault);
}

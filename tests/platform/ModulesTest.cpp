// The decoder modules: a missing, broken, damaged or foreign module fails its own
// feature only, with a French sentence, and the program goes on; the modules load
// from next to the program (the build tree links them next to the test programs).
// This binary uses no decoder otherwise, so nothing is loaded before a test looks,
// and each test uses modules of its own.
#include "platform/Modules.h"
#include "content/DocumentExtractor.h"
#include "content/HeifImage.h"
#include "content/OcrEngine.h"
#include "content/PhotoMetadataModule.h"
#include "support/MediaFixtures.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// This build's module `name`, as the program finds it.
QString builtModule(const char* name) {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/libombrix_%1.so").arg(name);
}

// Copies this build's module `name` into `folder`, its first `size` bytes only
// when `size` is not negative.
bool copyModule(const char* name, const QString& folder, qint64 size = -1) {
    QFile source(builtModule(name));
    if (!source.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = size < 0 ? source.readAll() : source.read(size);
    return fixtures::writeFile(folder + QStringLiteral("/libombrix_%1.so").arg(name), bytes);
}

} // namespace

TEST(Modules, AMissingOrBrokenModuleFailsItsFeatureOnly) {
    ASSERT_FALSE(Modules::isLoaded("pdf"));
    ASSERT_FALSE(Modules::isLoaded("ocr"));
    QTemporaryDir folder;
    const QString pdf = folder.filePath(QStringLiteral("doc.pdf"));
    ASSERT_TRUE(fixtures::writePdf(pdf, {{fixtures::PdfPage::Kind::Text, {QStringLiteral("Bonjour")}}}));
    const QString text = folder.filePath(QStringLiteral("note.txt"));
    ASSERT_TRUE(fixtures::writeFile(text, "Un texte."));
    const QString image = folder.filePath(QStringLiteral("page.png"));
    ASSERT_TRUE(fixtures::textImage({QStringLiteral("Bonjour")}).save(image));

    // An empty folder: no PDF module. A file that is no library where the program
    // looks first, and a good module further down the path (an older install): the
    // first one found decides, so no OCR module.
    QTemporaryDir modules;
    QTemporaryDir installed;
    ASSERT_TRUE(fixtures::writeFile(modules.filePath(QStringLiteral("libombrix_ocr.so")), "not a library"));
    ASSERT_TRUE(copyModule("ocr", installed.path()));
    Modules::setSearchPathForTesting({modules.path(), installed.path()});
    try {
        DocumentExtractor::extract(pdf, 1000);
        ADD_FAILURE() << "a PDF was read without its module";
    } catch (const ModuleError& error) {
        EXPECT_EQ(error.description(),
                  QStringLiteral("La lecture des PDF n'est pas disponible : le module libombrix_pdf.so est "
                                 "introuvable ou ne se charge pas. Réinstalle Ombrix."));
    }
    try {
        OcrEngine::recognize(image);
        ADD_FAILURE() << "an image was recognised without its module";
    } catch (const ModuleError& error) {
        EXPECT_EQ(
            error.description(),
            QStringLiteral("La reconnaissance de texte n'est pas disponible : le module libombrix_ocr.so "
                           "est introuvable ou ne se charge pas. Réinstalle Ombrix."));
        EXPECT_TRUE(error.detail().startsWith(modules.path())) << error.detail().toStdString();
    }
    EXPECT_FALSE(Modules::isLoaded("ocr"));
    // Everything else goes on.
    EXPECT_EQ(DocumentExtractor::extract(text, 1000).text, QStringLiteral("Un texte."));
    EXPECT_FALSE(Modules::isLoaded("pdf"));

    // The program's own search path: the module next to the program loads, in the
    // decoder worker only (the program never maps a decoder that reads files).
    Modules::setSearchPathForTesting({});
    EXPECT_TRUE(DocumentExtractor::extract(pdf, 1000).text.contains(QStringLiteral("Bonjour")));
    EXPECT_FALSE(Modules::isLoaded("pdf"));
    EXPECT_EQ(Modules::load("pdf", QString()), Modules::load("pdf", QString()));
}

// The photo metadata module of an older build, whose interface lacked decode():
// called through today's interface it would jump through a slot its table does not
// have. Neither without a digest nor with another one is it taken.
TEST(Modules, AModuleFromAnotherBuildIsRefused) {
    ASSERT_FALSE(Modules::isLoaded("photometa"));
    for (const char* build : {"stale", "otherdigest"}) {
        SCOPED_TRACE(build);
        Modules::setSearchPathForTesting({QStringLiteral(OMBRIX_TEST_MODULE_DIR "/") + build});
        try {
            photoMetadataModule().decode(QByteArray("II*\0", 4));
            ADD_FAILURE() << "a module from another build was called";
        } catch (const ModuleError& error) {
            EXPECT_EQ(error.reason(), ModuleError::Reason::OtherVersion);
            EXPECT_EQ(error.description(),
                      QStringLiteral("La lecture des photos n'est pas disponible : le module "
                                     "libombrix_photometa.so vient d'une version différente d'Ombrix. "
                                     "Réinstalle Ombrix."));
        }
        EXPECT_FALSE(Modules::isLoaded("photometa"));
    }
    // This build's own module loads after them, and works.
    Modules::setSearchPathForTesting({});
    QTemporaryDir folder;
    const QString photo = folder.filePath(QStringLiteral("photo.jpg"));
    ASSERT_TRUE(fixtures::writeJpeg(photo, {QStringLiteral("2023:02:01 10:00:00"), {}, {}}));
    QFile photoFile(photo);
    ASSERT_TRUE(photoFile.open(QIODevice::ReadOnly));
    const PhotoExif exif = photoMetadataModule().read(photoFile.readAll());
    ASSERT_TRUE(exif.creationDate);
    EXPECT_EQ(exif.creationDate->date(), QDate(2023, 2, 1));
}

// A module cut short (an interrupted copy, a full disk) is refused before it is
// mapped, where mapping it would end the program on its first touch past the end
// of the file; so is one that any user could have replaced.
TEST(Modules, ADamagedOrUntrustedModuleIsRefusedBeforeItIsMapped) {
    ASSERT_FALSE(Modules::isLoaded("heif"));
    const qint64 size = QFileInfo(builtModule("heif")).size();
    ASSERT_GT(size, 16 * 1024);
    struct Case {
        const char* what;
        qint64 size;
        mode_t fileMode = 0;
        mode_t folderMode = 0;
    };
    const Case cases[] = {
        {"1 KiB", 1024},
        {"4 KiB", 4096},
        {"8 KiB", 8192},
        {"half", size / 2},
        {"one byte short", size - 1},
        {"writable by every user", -1, 0777},
        {"in a folder every user can write", -1, 0, 0777},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        ASSERT_TRUE(copyModule("heif", folder.path(), c.size));
        const QString file = folder.filePath(QStringLiteral("libombrix_heif.so"));
        if (c.fileMode) {
            ASSERT_EQ(chmod(QFile::encodeName(file).constData(), c.fileMode), 0);
        }
        if (c.folderMode) {
            ASSERT_EQ(chmod(QFile::encodeName(folder.path()).constData(), c.folderMode), 0);
        }
        Modules::setSearchPathForTesting({folder.path()});
        try {
            HeifImage::exifBlock(QByteArray());
            ADD_FAILURE() << "the module was taken";
        } catch (const ModuleError& error) {
            EXPECT_EQ(error.reason(), ModuleError::Reason::Unavailable);
            EXPECT_TRUE(error.description().startsWith(QStringLiteral(
                "La lecture des images HEIC n'est pas disponible : le module libombrix_heif.so")));
        }
        EXPECT_FALSE(Modules::isLoaded("heif"));
    }
    // The program is alive, and the intact module loads.
    Modules::setSearchPathForTesting({});
    EXPECT_TRUE(HeifImage::looksLikeHeif(QByteArray("\0\0\0\x18"
                                                    "ftypheic",
                                                    12)));
    EXPECT_TRUE(Modules::isLoaded("heif"));
}

// A loaded module is handed out while another module is still loading: a worker
// thread's first use of a slow module holds up no other feature (the microphone on
// the GUI thread, say). The "gated" module's load blocks until the test writes to
// its FIFO.
TEST(Modules, ALoadedModuleIsReturnedWhileAnotherLoads) {
    void* speech = Modules::load("speech", QStringLiteral("La synthèse vocale"));
    QTemporaryDir folder;
    const QByteArray fifo = QFile::encodeName(folder.filePath(QStringLiteral("gate")));
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);
    qputenv("OMBRIX_TEST_MODULE_GATE", fifo);
    Modules::setSearchPathForTesting({QStringLiteral(OMBRIX_TEST_MODULE_DIR "/gated")});

    // Both threads exist before the gated load starts.
    std::promise<void> go;
    auto lookup = std::async(std::launch::async, [started = go.get_future()] {
        started.wait();
        return Modules::load("speech", QStringLiteral("La synthèse vocale"));
    });
    auto loading =
        std::async(std::launch::async, [] { return Modules::load("gated", QStringLiteral("L'essai")); });
    // The writer's end opens once the module's constructor holds the reader's end.
    int writer = -1;
    const QDeadlineTimer deadline(60s);
    while ((writer = open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO &&
           !deadline.hasExpired())
        QThread::msleep(5);
    go.set_value();
    const bool answered = lookup.wait_for(30s) == std::future_status::ready;
    if (writer >= 0) {
        EXPECT_EQ(write(writer, "x", 1), 1);
        close(writer);
    }
    qunsetenv("OMBRIX_TEST_MODULE_GATE");
    ASSERT_GE(writer, 0) << "the gated module never started loading";
    EXPECT_TRUE(answered) << "the loaded module waited for the other's load";
    EXPECT_EQ(lookup.get(), speech);
    EXPECT_NE(loading.get(), nullptr);
    EXPECT_TRUE(Modules::isLoaded("gated"));
}

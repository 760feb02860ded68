// The decoder modules: a missing or broken module fails its own feature only,
// with a French sentence, and the modules load from next to the program (the
// build tree links them next to the test programs). This binary uses no decoder
// otherwise, so nothing is loaded before the test looks.
#include "platform/Modules.h"
#include "content/DocumentExtractor.h"
#include "content/OcrEngine.h"
#include "support/MediaFixtures.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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

    // An empty folder: no PDF module; a file that is no library: no OCR module.
    QTemporaryDir modules;
    QFile broken(modules.filePath(QStringLiteral("libombrix_ocr.so")));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("not a library");
    broken.close();
    Modules::setSearchPathForTesting({modules.path()});
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
        EXPECT_FALSE(error.detail().isEmpty());
    }
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

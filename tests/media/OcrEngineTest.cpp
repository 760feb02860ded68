#include "support/MediaFixtures.h"

#include "content/OcrEngine.h"
#include "content/PdfFiles.h"
#include "support/TestSupport.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using fixtures::PdfPage;

const QStringList kFrenchLines{QStringLiteral("Le château de Versailles"),
                               QStringLiteral("est très célèbre.")};
const QStringList kScanLines{QStringLiteral("Facture numéro 42"), QStringLiteral("Montant dû : 100 euros")};
const QStringList kBothLanguages{QStringLiteral("fr-FR"), QStringLiteral("en-US")};
const QStringList kSortedLanguages{QStringLiteral("en-US"), QStringLiteral("fr-FR")};

QString description(const std::function<void()>& call) {
    try {
        call();
    } catch (const OcrEngine::OcrError& error) {
        return error.description();
    }
    return QStringLiteral("(no error)");
}

class OcrEngineTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

TEST_F(OcrEngineTest, recognisesFrenchTextInAnImageLineByLine) {
    const QString file = path(QStringLiteral("note.png"));
    ASSERT_TRUE(fixtures::textImage(kFrenchLines).save(file));
    const BridgeOcrResult result = OcrEngine::recognize(file);
    EXPECT_EQ(result.text, kFrenchLines.join(QLatin1Char('\n')));
    EXPECT_EQ(result.languages, kBothLanguages);
    EXPECT_EQ(result.bytes_processed, QFileInfo(file).size());

    // TIFF, which Qt cannot decode here, goes through leptonica.
    const QString tiff = path(QStringLiteral("scan.tif"));
    ASSERT_TRUE(fixtures::writeTiff(fixtures::textImage(kFrenchLines), tiff));
    EXPECT_EQ(OcrEngine::recognize(tiff).text, kFrenchLines.join(QLatin1Char('\n')));

    // HEIC, through libheif; the page is stored on its side and turned upright by
    // the file's rotation.
    if (fixtures::canWriteHeic()) {
        const QString heic = path(QStringLiteral("photo.HEIC"));
        fixtures::Heic sideways;
        sideways.orientation = 6; // stored a quarter anticlockwise, shown turned back
        ASSERT_TRUE(fixtures::writeHeic(
            heic, fixtures::textImage(kFrenchLines).transformed(QTransform().rotate(-90)), sideways));
        const BridgeOcrResult fromHeic = OcrEngine::recognize(heic);
        EXPECT_EQ(fromHeic.text, kFrenchLines.join(QLatin1Char('\n')));
        EXPECT_EQ(fromHeic.bytes_processed, QFileInfo(heic).size());
    }
}

TEST_F(OcrEngineTest, typeFollowsTheLowerCasedExtensionOnly) {
    // Upper-case extension: still an image. A blank image succeeds with no text
    // and still reports the languages applied.
    const QString blank = path(QStringLiteral("BLANK.JPG"));
    QImage white(400, 300, QImage::Format_RGB32);
    white.fill(Qt::white);
    ASSERT_TRUE(white.save(blank, "JPEG"));
    const BridgeOcrResult result = OcrEngine::recognize(blank);
    EXPECT_EQ(result.text, QString());
    EXPECT_EQ(result.languages, kBothLanguages);

    // A PNG named .txt is refused by its name; no extension leaves nothing after the blank.
    const QString text = path(QStringLiteral("picture.TXT"));
    ASSERT_TRUE(white.save(text, "PNG"));
    EXPECT_EQ(description([&] { OcrEngine::recognize(text); }), QStringLiteral("Format non supporté: txt"));
    const QString bare = path(QStringLiteral("picture"));
    ASSERT_TRUE(white.save(bare, "PNG"));
    EXPECT_EQ(description([&] { OcrEngine::recognize(bare); }), QStringLiteral("Format non supporté: "));
}

TEST_F(OcrEngineTest, unreadableFilesGiveTheirOwnErrors) {
    ASSERT_TRUE(fixtures::writeFile(path(QStringLiteral("fake.pdf")), "not a pdf at all"));
    EXPECT_EQ(description([&] { OcrEngine::recognize(path(QStringLiteral("fake.pdf"))); }),
              QStringLiteral("Le PDF est vide."));
    ASSERT_TRUE(fixtures::writeFile(path(QStringLiteral("broken.png")), "\x89PNG garbage"));
    EXPECT_EQ(description([&] { OcrEngine::recognize(path(QStringLiteral("broken.png"))); }),
              QStringLiteral("VisionKit a échoué: impossible de charger l'image"));
    EXPECT_EQ(description([&] { OcrEngine::recognize(path(QStringLiteral("missing.png"))); }),
              QStringLiteral("VisionKit a échoué: impossible de charger l'image"));
    // A HEIC that cannot be decoded, or that is over the pixel budget.
    if (fixtures::canWriteHeic()) {
        QImage small(64, 64, QImage::Format_RGB32);
        small.fill(Qt::white);
        const QString heic = path(QStringLiteral("small.heic"));
        ASSERT_TRUE(fixtures::writeHeic(heic, small));
        QFile file(heic);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        ASSERT_TRUE(fixtures::writeFile(path(QStringLiteral("cut.heif")), bytes.left(bytes.size() / 2)));
        EXPECT_EQ(description([&] { OcrEngine::recognize(path(QStringLiteral("cut.heif"))); }),
                  QStringLiteral("VisionKit a échoué: impossible de charger l'image"));
        QByteArray huge = bytes;
        for (qsizetype ispe = huge.indexOf("ispe"); ispe > 0; ispe = huge.indexOf("ispe", ispe + 4))
            huge.replace(ispe + 8, 8, QByteArray::fromHex("0000232800002328")); // 9000x9000
        ASSERT_TRUE(fixtures::writeFile(path(QStringLiteral("huge.heic")), huge));
        EXPECT_EQ(description([&] { OcrEngine::recognize(path(QStringLiteral("huge.heic"))); }),
                  QStringLiteral("VisionKit a échoué: impossible de charger l'image"));
    }
    // A FIFO is never opened (reading it would block for ever).
    const QString fifo = path(QStringLiteral("pipe.png"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(description([&] { OcrEngine::recognize(fifo); }),
              QStringLiteral("VisionKit a échoué: impossible de charger l'image"));
}

TEST_F(OcrEngineTest, pdfKeepsTextLayersRecognisesScansAndSkipsBlankPages) {
    const QString file = path(QStringLiteral("mixed.pdf"));
    ASSERT_TRUE(fixtures::writePdf(file, {{PdfPage::Kind::Text, {QStringLiteral("Rapport annuel")}},
                                          {PdfPage::Kind::Scan, kScanLines},
                                          {PdfPage::Kind::Blank, {}},
                                          {PdfPage::Kind::Text, {QStringLiteral("Annexe")}}}));
    const BridgeOcrResult result = OcrEngine::recognize(file);
    const QString separator = QStringLiteral("\n\f\n");
    EXPECT_EQ(result.text, QStringLiteral("Rapport annuel") + separator + kScanLines.join(QLatin1Char('\n')) +
                               separator + QStringLiteral("Annexe"));
    EXPECT_EQ(result.languages, kSortedLanguages);
    EXPECT_EQ(result.bytes_processed, QFileInfo(file).size());
}

TEST_F(OcrEngineTest, pdfWithTextLayersOnlyReportsNoLanguage) {
    const QString file = path(QStringLiteral("text.pdf"));
    ASSERT_TRUE(fixtures::writePdf(file, {{PdfPage::Kind::Text, {QStringLiteral("Premier")}},
                                          {PdfPage::Kind::Text, {QStringLiteral("Second")}}}));
    const BridgeOcrResult result = OcrEngine::recognize(file);
    EXPECT_EQ(result.text, QStringLiteral("Premier\n\f\nSecond"));
    EXPECT_TRUE(result.languages.isEmpty());

    // A blank page contributes neither text nor separator, but its languages count.
    const QString blank = path(QStringLiteral("blank.pdf"));
    ASSERT_TRUE(fixtures::writePdf(blank, {{PdfPage::Kind::Blank, {}}}));
    const BridgeOcrResult empty = OcrEngine::recognize(blank);
    EXPECT_EQ(empty.text, QString());
    EXPECT_EQ(empty.languages, kSortedLanguages);
}

TEST(PdfFilesTest, pagesAreDrawnAt200DpiWithinThePixelCap) {
    // An A4 page at 200 dpi, sizes cut towards zero.
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("a4.pdf"));
    ASSERT_TRUE(fixtures::writePdf(file, {{PdfPage::Kind::Blank, {}}}));
    QFile pdf(file);
    ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
    const QByteArray bytes = pdf.readAll();
    const auto document = PdfFiles::open(bytes);
    ASSERT_TRUE(document);
    const auto page = document->page(0);
    const QSizeF points = page->pageSizeF();
    const QImage bitmap = PdfFiles::render(*page, 200);
    EXPECT_EQ(bitmap.width(), int(points.width() * 200 / 72));
    EXPECT_EQ(bitmap.height(), int(points.height() * 200 / 72));

    // Ordinary pages keep 200 dpi; the largest page a PDF may declare (200 by 200
    // inches) and absurd sizes are drawn within 64 megapixels and 30000 pixels a side.
    EXPECT_DOUBLE_EQ(PdfFiles::cappedResolution(QSizeF(612, 792), 200), 200);
    for (const QSizeF huge : {QSizeF(14400, 14400), QSizeF(14400, 200), QSizeF(1e9, 1e9), QSizeF(1e7, 10)}) {
        const double dpi = PdfFiles::cappedResolution(huge, 200);
        const double width = huge.width() * dpi / 72;
        const double height = huge.height() * dpi / 72;
        EXPECT_LE(width * height, double(PdfFiles::kMaxPagePixels) * 1.0001) << huge.width();
        EXPECT_LE(width, PdfFiles::kMaxPageSide * 1.0001);
        EXPECT_LE(height, PdfFiles::kMaxPageSide * 1.0001);
        EXPECT_GT(dpi, 0);
    }
}

} // namespace

TEST_F(OcrEngineTest, pdfRecognitionIsBoundedAndCannotFailSilently) {
    // Past the page limit the text says where recognition stopped.
    QList<PdfPage> pages;
    for (int i = 1; i <= OcrEngine::kMaxPdfPages + 3; ++i)
        pages.append({PdfPage::Kind::Text, {QStringLiteral("Page %1").arg(i)}});
    const QString longPdf = path(QStringLiteral("long.pdf"));
    ASSERT_TRUE(fixtures::writePdf(longPdf, pages));
    const QStringList texts = OcrEngine::recognize(longPdf).text.split(QStringLiteral("\n\f\n"));
    ASSERT_EQ(texts.size(), OcrEngine::kMaxPdfPages + 1);
    EXPECT_EQ(texts.at(OcrEngine::kMaxPdfPages - 1), QStringLiteral("Page %1").arg(OcrEngine::kMaxPdfPages));
    EXPECT_EQ(texts.last(), QStringLiteral("[Reconnaissance arrêtée après 50 pages sur 53.]"));

    // A scan that cannot be recognised because the language data is missing is an
    // error, not an empty text.
    const QString scan = path(QStringLiteral("scan.pdf"));
    ASSERT_TRUE(fixtures::writePdf(scan, {{PdfPage::Kind::Scan, kScanLines}}));
    QTemporaryDir noLanguages;
    const QByteArray saved = qgetenv("TESSDATA_PREFIX");
    const bool hadPrefix = qEnvironmentVariableIsSet("TESSDATA_PREFIX");
    qputenv("TESSDATA_PREFIX", noLanguages.path().toUtf8() + "/");
    const QString failure = description([&] { OcrEngine::recognize(scan); });
    if (hadPrefix)
        qputenv("TESSDATA_PREFIX", saved);
    else
        qunsetenv("TESSDATA_PREFIX");
    EXPECT_EQ(failure, QStringLiteral(
                           "VisionKit a échoué: les langues de reconnaissance (fra+eng) sont introuvables"));
}

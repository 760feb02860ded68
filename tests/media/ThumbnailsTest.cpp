#include "support/MediaFixtures.h"

#include "content/Thumbnails.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

// A one-page PDF whose text is set in the standard Helvetica and Times, named and
// not embedded (as generated PDFs often do): the reader finds them among the fonts.
QByteArray pdfInStandardFonts() {
    const QByteArray content = "BT /H 72 Tf 40 600 Td (Bonjour) Tj ET BT /T 72 Tf 40 400 Td (Madame) Tj ET";
    const QList<QByteArray> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /H 4 0 R /T 5 0 R >> "
        ">> /Contents 6 0 R >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Times-Roman >>",
        "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream"};
    QByteArray pdf = "%PDF-1.4\n";
    QByteArray table;
    for (int i = 0; i < objects.size(); ++i) {
        table += QByteArray::number(pdf.size()).rightJustified(10, '0') + " 00000 n \n";
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const QByteArray size = QByteArray::number(objects.size() + 1);
    return pdf + "xref\n0 " + size + "\n0000000000 65535 f \n" + table + "trailer\n<< /Size " + size +
           " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(pdf.size()) + "\n%%EOF\n";
}

int darkPixels(const QImage& image) {
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            dark += qGray(image.pixel(x, y)) < 128;
    return dark;
}

TEST(ThumbnailsTest, imagesAndPdfFirstPagesFitTheBox) {
    QTemporaryDir dir;
    // A wide image shrinks to the box, its aspect ratio kept.
    QImage wide(800, 400, QImage::Format_RGB32);
    wide.fill(Qt::blue);
    const QString widePath = dir.filePath(QStringLiteral("wide.png"));
    ASSERT_TRUE(wide.save(widePath));
    EXPECT_EQ(Thumbnails::make(widePath, 256).size(), QSize(256, 128));
    // A tall JPEG with an upper-case extension.
    const QString tallPath = dir.filePath(QStringLiteral("TALL.JPG"));
    ASSERT_TRUE(QImage(300, 900, QImage::Format_RGB32).save(tallPath, "JPEG"));
    EXPECT_EQ(Thumbnails::make(tallPath, 90).size(), QSize(30, 90));
    // A small image is not enlarged.
    const QString smallPath = dir.filePath(QStringLiteral("small.bmp"));
    ASSERT_TRUE(QImage(40, 20, QImage::Format_RGB32).save(smallPath, "BMP"));
    EXPECT_EQ(Thumbnails::make(smallPath, 256).size(), QSize(40, 20));

    // A HEIC shown turned a quarter clockwise: the thumbnail is of the turned
    // picture, red quarter top-right; a one-pixel HEIC stays one pixel.
    if (fixtures::canWriteHeic()) {
        QImage stored(400, 200, QImage::Format_RGB32);
        stored.fill(Qt::blue);
        for (int y = 0; y < 100; ++y)
            for (int x = 0; x < 200; ++x)
                stored.setPixel(x, y, qRgb(255, 0, 0));
        fixtures::Heic turned;
        turned.orientation = 6;
        turned.exifOrientation = 6;
        const QString heic = dir.filePath(QStringLiteral("turned.heic"));
        ASSERT_TRUE(fixtures::writeHeic(heic, stored, turned));
        const QImage thumbnail = Thumbnails::make(heic, 100);
        ASSERT_EQ(thumbnail.size(), QSize(50, 100));
        EXPECT_GT(qRed(thumbnail.pixel(40, 10)), 180);
        EXPECT_LT(qRed(thumbnail.pixel(10, 10)), 90);
        const QString dot = dir.filePath(QStringLiteral("dot.heif"));
        ASSERT_TRUE(fixtures::writeHeic(dot, QImage(1, 1, QImage::Format_RGB32)));
        EXPECT_EQ(Thumbnails::make(dot, 256).size(), QSize(1, 1));
    }

    // The first page of an A4 PDF fills the box's height.
    const QString pdf = dir.filePath(QStringLiteral("doc.pdf"));
    ASSERT_TRUE(fixtures::writePdf(pdf, {{fixtures::PdfPage::Kind::Text, {QStringLiteral("Titre")}},
                                         {fixtures::PdfPage::Kind::Blank, {}}}));
    const QImage page = Thumbnails::make(pdf, 256);
    EXPECT_EQ(page.size(), QSize(int(std::lround(595.0 / 842.0 * 256)), 256));
    // The page is drawn, not left empty: some pixel is dark.
    bool inked = false;
    for (int y = 0; y < page.height() && !inked; ++y)
        for (int x = 0; x < page.width() && !inked; ++x)
            inked = qGray(page.pixel(x, y)) < 128;
    EXPECT_TRUE(inked);

    // Fonts named by a PDF and not embedded are drawn by the worker as the same
    // reader draws them in this process (where the kernel lets the worker read the
    // fonts: Landlock).
    const QByteArray standard = pdfInStandardFonts();
    const QString standardPath = dir.filePath(QStringLiteral("standard.pdf"));
    ASSERT_TRUE(fixtures::writeFile(standardPath, standard));
    const int inProcess = darkPixels(Thumbnails::fromBytes(standard, true, 256));
    const int inWorker = darkPixels(Thumbnails::make(standardPath, 256));
    EXPECT_GT(inProcess, 200);
    if (::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U) >= 1) {
        EXPECT_GT(inWorker, inProcess * 9 / 10);
        EXPECT_LT(inWorker, inProcess * 11 / 10 + 1);
    }
}

TEST(ThumbnailsTest, otherFilesHaveNoThumbnail) {
    QTemporaryDir dir;
    const QString text = dir.filePath(QStringLiteral("notes.txt"));
    ASSERT_TRUE(fixtures::writeFile(text, "du texte"));
    EXPECT_TRUE(Thumbnails::make(text, 128).isNull());
    const QString broken = dir.filePath(QStringLiteral("broken.png"));
    ASSERT_TRUE(fixtures::writeFile(broken, "\x89PNG\r\n\x1a\n not really"));
    EXPECT_TRUE(Thumbnails::make(broken, 128).isNull());
    EXPECT_TRUE(Thumbnails::make(dir.path(), 128).isNull());
    EXPECT_TRUE(Thumbnails::make(dir.filePath(QStringLiteral("missing.png")), 128).isNull());
    const QString fakeHeic = dir.filePath(QStringLiteral("fake.heic"));
    ASSERT_TRUE(fixtures::writeFile(fakeHeic, QByteArray("\0\0\0\x18"
                                                         "ftypheic\0\0\0\0mif1heic",
                                                         24) +
                                                  "cut"));
    EXPECT_TRUE(Thumbnails::make(fakeHeic, 128).isNull());
    const QString fakePdf = dir.filePath(QStringLiteral("fake.pdf"));
    ASSERT_TRUE(fixtures::writeFile(fakePdf, "%PDF-1.4 truncated"));
    EXPECT_TRUE(Thumbnails::make(fakePdf, 128).isNull());
}

} // namespace

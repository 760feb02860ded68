#include "support/MediaFixtures.h"

#include "content/Thumbnails.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

namespace {

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

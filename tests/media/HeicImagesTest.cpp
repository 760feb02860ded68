#include "support/MediaFixtures.h"

#include "content/ImageFiles.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A picture whose orientation shows: red top-left quarter, the rest blue.
QImage markedPicture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::blue);
    for (int y = 0; y < height / 2; ++y)
        for (int x = 0; x < width / 2; ++x)
            image.setPixel(x, y, qRgb(255, 0, 0));
    return image;
}

// Recorded as rotation boxes and repeated in the EXIF block, as cameras write it.
fixtures::Heic oriented(int orientation) {
    fixtures::Heic options;
    options.orientation = orientation;
    options.exifOrientation = orientation;
    return options;
}

bool reddish(QRgb pixel) {
    return qRed(pixel) > 180 && qBlue(pixel) < 90;
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class HeicImagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fixtures::canWriteHeic())
            GTEST_SKIP() << "libheif has no HEVC encoder here";
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

TEST_F(HeicImagesTest, decodedOnceOrientedWithinThePixelBudget) {
    // Stored 200x100 with the red quarter top-left, displayed turned a quarter
    // clockwise: 100x200 with the red quarter top-right. The EXIF block repeats the
    // orientation; it must not turn the picture a second time.
    const QString turned = path(QStringLiteral("turned.heic"));
    ASSERT_TRUE(fixtures::writeHeic(turned, markedPicture(200, 100), oriented(6)));
    const QImage image = ImageFiles::load(turned);
    ASSERT_EQ(image.size(), QSize(100, 200));
    EXPECT_TRUE(reddish(image.pixel(75, 25)));
    EXPECT_FALSE(reddish(image.pixel(25, 25)));
    EXPECT_FALSE(reddish(image.pixel(75, 175)));

    // One pixel; transparency kept; found by its contents whatever its name.
    const QString dot = path(QStringLiteral("dot.heif"));
    QImage one(1, 1, QImage::Format_RGB32);
    one.fill(Qt::red);
    ASSERT_TRUE(fixtures::writeHeic(dot, one));
    EXPECT_EQ(ImageFiles::load(dot).size(), QSize(1, 1));
    const QString clear = path(QStringLiteral("transparent.photo"));
    QImage transparent(64, 48, QImage::Format_ARGB32);
    transparent.fill(Qt::transparent);
    ASSERT_TRUE(fixtures::writeHeic(clear, transparent));
    const QImage decoded = ImageFiles::load(clear);
    ASSERT_EQ(decoded.size(), QSize(64, 48));
    EXPECT_TRUE(decoded.hasAlphaChannel());
    EXPECT_LT(qAlpha(decoded.pixel(10, 10)), 16);

    // A file that announces 9000x9000 pixels (over the budget of 64 megapixels) is
    // refused from its header, before any decoding.
    QByteArray bytes = contents(path(QStringLiteral("dot.heif")));
    const char huge[] = {0, 0, 0x23, 0x28}; // 9000, big-endian
    int patched = 0;
    for (qsizetype ispe = bytes.indexOf("ispe"); ispe > 0;
         ispe = bytes.indexOf("ispe", ispe + 4), ++patched) {
        bytes.replace(ispe + 8, 4, huge, 4);
        bytes.replace(ispe + 12, 4, huge, 4);
    }
    ASSERT_GT(patched, 0);
    const QString oversized = path(QStringLiteral("oversized.heic"));
    ASSERT_TRUE(fixtures::writeFile(oversized, bytes));
    EXPECT_TRUE(ImageFiles::load(oversized).isNull());
    EXPECT_TRUE(ImageFiles::loadFitting(oversized, 128).isNull());

    // A grid whose canvas is far larger than its header says (4000x4000, within the
    // budget, under a 1x1 header) is refused rather than decoded at the canvas size.
    QByteArray lying = contents(dot);
    const qsizetype idat = lying.indexOf("idat");
    ASSERT_GT(idat, 0);
    ASSERT_EQ(lying.at(idat + 5) & 1, 0); // 16-bit canvas fields
    lying.replace(idat + 8, 4, QByteArray::fromHex("0fa00fa0"));
    const QString liar = path(QStringLiteral("liar.heic"));
    ASSERT_TRUE(fixtures::writeFile(liar, lying));
    EXPECT_TRUE(ImageFiles::load(liar).isNull());

    // A HEIF header over garbage.
    const QString corrupt = path(QStringLiteral("corrupt.heic"));
    ASSERT_TRUE(fixtures::writeFile(corrupt, contents(turned).left(40) + QByteArray(400, '\x5a')));
    EXPECT_TRUE(ImageFiles::load(corrupt).isNull());
    EXPECT_TRUE(ImageFiles::loadFitting(corrupt, 128).isNull());
}

TEST_F(HeicImagesTest, truncatedAndBitFlippedFilesNeverCrashTheDecoder) {
    const QString original = path(QStringLiteral("original.heic"));
    ASSERT_TRUE(fixtures::writeHeic(original, markedPicture(96, 64), oriented(8)));
    const QByteArray bytes = contents(original);
    ASSERT_GT(bytes.size(), 100);
    QRandomGenerator random(20240611); // fixed seed: the same cases every run
    const QString mutated = path(QStringLiteral("mutated.heic"));
    constexpr int kCases = 160;
    for (int i = 0; i < kCases; ++i) {
        QByteArray variant = bytes;
        if (i % 2 == 0) {
            variant.truncate(random.bounded(int(variant.size())));
        } else {
            for (int flip = 1 + random.bounded(8); flip > 0; --flip)
                variant[random.bounded(int(variant.size()))] ^= char(1 << random.bounded(8));
        }
        ASSERT_TRUE(fixtures::writeFile(mutated, variant));
        const QImage image = ImageFiles::load(mutated);
        // Whatever comes out stays within what the file may hold.
        if (!image.isNull()) {
            EXPECT_LE(qint64(image.width()) * image.height(), 64LL * 1000 * 1000);
        }
        (void)ImageFiles::loadFitting(mutated, 64);
    }
}

} // namespace

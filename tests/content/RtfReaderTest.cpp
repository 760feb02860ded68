#include "content/RtfReader.h"

#include <QList>
#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace {

QString read(const char* rtf) {
    return RtfReader::plainText(QByteArray(rtf)).value_or(QStringLiteral("<none>"));
}

// Text that survives a UTF-8 round trip holds no lone surrogate.
bool isWellFormed(const QString& text) {
    return QString::fromUtf8(text.toUtf8()) == text;
}

} // namespace

TEST(RtfReader, KeepsBodyTextWithBreaksAndDropsTables) {
    EXPECT_EQ(read("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Helvetica;}}"
                   "{\\colortbl;\\red0\\green0\\blue0;}{\\stylesheet{\\s1 Heading;}}"
                   "\\f0\\fs24 Bonjour \\b le\\b0  monde\\par Deuxi\\'e8me ligne\\line suite\\tab fin}"),
              QStringLiteral("Bonjour le monde\nDeuxième ligne\nsuite\tfin"));
    // Document information, headers, footers and field instructions hold no body text.
    EXPECT_EQ(read("{\\rtf1{\\info{\\title T}{\\author X}}{\\header H}{\\footer F}Corps "
                   "{\\field{\\fldinst HYPERLINK \"http://x\"}{\\fldrslt lien}}}"),
              QStringLiteral("Corps lien"));
    // A newline after a backslash is a paragraph; bare line ends are not text.
    EXPECT_EQ(read("{\\rtf1 a\\\nb\r\nc}"), QStringLiteral("a\nbc"));
}

TEST(RtfReader, IgnorableDestinationsAreSkippedWhole) {
    EXPECT_EQ(read("{\\rtf1 A{\\*\\generator Riched20;}B{\\*\\unknowndest secret {\\b nested}}C"
                   "{\\field{\\*\\fldinst HYPERLINK \"http://x\"}{\\fldrslt lien}}D}"),
              QStringLiteral("ABClienD"));
}

TEST(RtfReader, EscapesAndSymbols) {
    EXPECT_EQ(read("{\\rtf1 a\\{b\\}c\\\\d\\~e\\-f\\_g}"), QStringLiteral("a{b}c\\d") + QChar(0x00A0) +
                                                               QStringLiteral("ef") + QChar(0x2011) +
                                                               QStringLiteral("g"));
    EXPECT_EQ(read("{\\rtf1 \\lquote x\\rquote  \\ldblquote y\\rdblquote  \\emdash \\bullet}"),
              QStringLiteral("‘x’ “y” —•"));
    // Binary data is skipped by its length, braces included.
    EXPECT_EQ(read("{\\rtf1 x\\bin3 {}}y}"), QStringLiteral("xy"));
}

TEST(RtfReader, UnicodeEscapesSkipTheirStandIns) {
    EXPECT_EQ(read("{\\rtf1 caf\\u233? \\uc2\\u8364\\'80\\'80 =\\uc0\\u8364 !}"),
              QStringLiteral("café € =€!"));
    // Negative values are the upper half of the 16-bit range; pairs make one code point.
    EXPECT_EQ(read("{\\rtf1 \\u-10179?\\u-8704?}"), QStringLiteral("😀"));
    // The skip count belongs to its group.
    EXPECT_EQ(read("{\\rtf1{\\uc2 \\u233xx}\\u233y}"), QStringLiteral("éé"));
    // A group boundary ends the skipping.
    EXPECT_EQ(read("{\\rtf1\\uc3 \\u233{a}b}"), QStringLiteral("éab"));
    // A lone surrogate never reaches the text.
    EXPECT_EQ(read("{\\rtf1 \\u-10179?x}"), QString(QChar(0xFFFD)) + QStringLiteral("x"));
}

TEST(RtfReader, HexEscapesFollowTheCodePage) {
    EXPECT_EQ(read("{\\rtf1\\ansi \\'80 \\'e9\\'9c}"), QStringLiteral("€ éœ"));
    EXPECT_EQ(read("{\\rtf1\\ansi\\ansicpg1251 \\'cf\\'f0\\'e8\\'e2\\'e5\\'f2}"), QStringLiteral("Привет"));
    // Double-byte code pages take their escapes in pairs.
    EXPECT_EQ(read("{\\rtf1\\ansi\\ansicpg932 \\'93\\'fa\\'96\\'7b}"), QStringLiteral("日本"));
    // A bad escape is dropped, the text goes on.
    EXPECT_EQ(read("{\\rtf1 a\\'zzb\\'4}"), QStringLiteral("azzb4"));
}

TEST(RtfReader, RefusesWhatIsNotRtfAndToleratesTruncation) {
    EXPECT_FALSE(RtfReader::plainText("Bonjour"));
    EXPECT_FALSE(RtfReader::plainText(""));
    EXPECT_FALSE(RtfReader::plainText("{\\rt"));
    EXPECT_EQ(read("  \n{\\rtf1 ok}"), QStringLiteral("ok"));
    EXPECT_EQ(read("{\\rtf1 Bonjour {\\b gras"), QStringLiteral("Bonjour gras"));
    EXPECT_EQ(read("{\\rtf1 fin} apr\\'e8s"), QStringLiteral("fin"));
    EXPECT_EQ(read("{\\rtf1 x\\u"), QStringLiteral("x"));
    EXPECT_EQ(read("{\\rtf1 x\\"), QStringLiteral("x"));
    // Absurd nesting is not a document, and does not exhaust the stack.
    EXPECT_FALSE(RtfReader::plainText("{\\rtf1 " + QByteArray(100000, '{')));
}

TEST(RtfReader, SurvivesMalformedInput) {
    const QByteArray valid = "{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f0 Times;}}{\\*\\gen x}\\uc1 "
                             "Caf\\'e9 \\u233? {\\b gras}\\par\\bin2 ab \\u-10179?\\u-8704? fin}";
    const QList<QByteArray> pieces = {"{",
                                      "}",
                                      "\\",
                                      "\\'",
                                      "\\u",
                                      "\\u-",
                                      "\\uc",
                                      "\\bin",
                                      "\\*",
                                      "9",
                                      "-",
                                      "\\'f",
                                      "\\par",
                                      "\\uc99999999999",
                                      "\\bin999999999"};
    QRandomGenerator random(20250314);
    for (int round = 0; round < 3000; ++round) {
        QByteArray input;
        switch (round % 3) {
        case 0: // the valid document cut anywhere
            input = valid.left(random.bounded(valid.size() + 1));
            break;
        case 1: // the valid document with pieces of syntax inserted
            input = valid;
            for (int i = 0; i < 6; ++i)
                input.insert(random.bounded(7, input.size()), pieces.at(random.bounded(pieces.size())));
            break;
        default: // the header and random bytes
            input = "{\\rtf1 ";
            for (int i = 0, n = random.bounded(400); i < n; ++i)
                input.append(static_cast<char>(random.bounded(256)));
            break;
        }
        const std::optional<QString> text = RtfReader::plainText(input);
        if (text) {
            ASSERT_TRUE(isWellFormed(*text)) << input.toHex().toStdString();
        }
    }
}

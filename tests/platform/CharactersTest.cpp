#include "platform/Characters.h"

#include <QChar>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QString kUnicodeData = QStringLiteral("/usr/share/unicode/");

QString fromCodePoints(const std::vector<char32_t>& codes) {
    QString text;
    for (char32_t code : codes) {
        if (QChar::requiresSurrogates(code)) {
            text += QChar(QChar::highSurrogate(code));
            text += QChar(QChar::lowSurrogate(code));
        } else {
            text += QChar(char16_t(code));
        }
    }
    return text;
}

std::vector<qsizetype> walk(const QString& text) {
    std::vector<qsizetype> ends;
    Characters::Walker walker(text);
    for (qsizetype end = walker.next(); end >= 0; end = walker.next())
        ends.push_back(end);
    return ends;
}

// The last of the ends (0 included) that is at most `bound`.
qsizetype lastEndWithin(const std::vector<qsizetype>& ends, qsizetype bound) {
    qsizetype best = 0;
    for (qsizetype end : ends)
        if (end <= bound)
            best = end;
    return best;
}

// The first of the ends that is at least `position` (0 for 0).
qsizetype firstEndFrom(const std::vector<qsizetype>& ends, qsizetype position) {
    if (position <= 0)
        return 0;
    for (qsizetype end : ends)
        if (end >= position)
            return end;
    return ends.empty() ? 0 : ends.back();
}

// Every cutting function against the known ends of the characters of a text, in
// UTF-16 code units and in UTF-8 bytes: each cut ends at one of them, and the
// count of what is kept is the number asked for.
void expectCutsAgree(const QString& text, const std::vector<qsizetype>& ends, const QByteArray& utf8,
                     const std::vector<qsizetype>& utf8Ends) {
    const qsizetype characters = qsizetype(ends.size());
    EXPECT_EQ(walk(text), ends);
    EXPECT_EQ(Characters::count(text), characters);
    for (qsizetype n = 0; n <= characters + 1; ++n) {
        const qsizetype expected = n == 0 ? 0 : ends[std::min(n, characters) - 1];
        ASSERT_EQ(Characters::prefixLength(text, n), expected) << n;
        const QString kept = Characters::left(text, n);
        ASSERT_EQ(kept, text.left(expected)) << n;
        ASSERT_EQ(Characters::count(kept), std::min(n, characters)) << n;
    }
    for (qsizetype units = 0; units <= text.size(); ++units) {
        ASSERT_EQ(Characters::fitLength(text, units), lastEndWithin(ends, units)) << units;
        ASSERT_EQ(Characters::fit(text, units), text.left(lastEndWithin(ends, units))) << units;
        ASSERT_EQ(Characters::nextBoundary(text, units), firstEndFrom(ends, units)) << units;
    }
    for (qsizetype bytes = 0; bytes <= utf8.size(); ++bytes) {
        const qsizetype cut = Characters::utf8PrefixLength(utf8, bytes);
        ASSERT_EQ(cut, lastEndWithin(utf8Ends, bytes)) << bytes;
        const auto kept =
            std::count_if(utf8Ends.begin(), utf8Ends.end(), [cut](qsizetype end) { return end <= cut; });
        QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
        const QString decoded = decoder.decode(utf8.left(cut));
        ASSERT_EQ(Characters::count(decoded), kept) << bytes;
    }
}

} // namespace

// The boundaries of every line of the Unicode test file, and the properties of
// every code point as the data files give them.
TEST(Characters, FollowUnicodeData) {
    EXPECT_EQ(Characters::unicodeVersion(), QStringLiteral("15.0.0"));

    // Code points this Qt does not know (newer than its Unicode version), by DerivedAge.txt.
    QFile ages(kUnicodeData + QStringLiteral("DerivedAge.txt"));
    ASSERT_TRUE(ages.open(QIODevice::ReadOnly)) << "unicode-data is not installed";
    std::vector<bool> assigned(0x110000, false);
    while (!ages.atEnd()) {
        const QByteArray line = ages.readLine().split('#').first().trimmed();
        if (line.isEmpty())
            continue;
        const QList<QByteArray> range = line.split(';').first().trimmed().split('.');
        const uint first = range.first().toUInt(nullptr, 16);
        const uint last = range.last().toUInt(nullptr, 16);
        for (uint code = first; code <= last; ++code)
            assigned[code] = true;
    }
    const auto newerThanQt = [&assigned](char32_t code) {
        return assigned[code] && QChar::unicodeVersion(code) == QChar::Unicode_Unassigned;
    };

    QFile tests(kUnicodeData + QStringLiteral("auxiliary/GraphemeBreakTest.txt"));
    ASSERT_TRUE(tests.open(QIODevice::ReadOnly)) << "unicode-data is not installed";
    int lines = 0;
    int newer = 0;
    while (!tests.atEnd()) {
        const QByteArray line = tests.readLine().split('#').first().trimmed();
        if (line.isEmpty())
            continue;
        ++lines;
        std::vector<char32_t> codes;
        std::vector<bool> breaks; // before each code point, and at the end
        for (const QByteArray& token : line.split(' ')) {
            if (token == "\xC3\xB7") // ÷
                breaks.push_back(true);
            else if (token == "\xC3\x97") // ×
                breaks.push_back(false);
            else
                codes.push_back(token.toUInt(nullptr, 16));
        }
        ASSERT_EQ(breaks.size(), codes.size() + 1) << line.constData();
        if (std::any_of(codes.begin(), codes.end(), newerThanQt))
            ++newer;
        QString text;
        QByteArray utf8;
        std::vector<qsizetype> ends;
        std::vector<qsizetype> utf8Ends;
        for (size_t i = 0; i < codes.size(); ++i) {
            if (i > 0 && breaks[i]) {
                ends.push_back(text.size());
                utf8Ends.push_back(utf8.size());
            }
            const QString one = fromCodePoints({codes[i]});
            text += one;
            utf8 += one.toUtf8();
        }
        ends.push_back(text.size());
        utf8Ends.push_back(utf8.size());
        SCOPED_TRACE(line.constData());
        expectCutsAgree(text, ends, utf8, utf8Ends);
    }
    EXPECT_GT(lines, 600);
    // Every line is checked, those with code points newer than this Qt's Unicode
    // version too: the boundaries come from the 15.0 tables, not from Qt.
    const QByteArray qtVersion = QChar::currentUnicodeVersion() == QChar::Unicode_14_0
                                     ? QByteArray("14.0")
                                     : "enum " + QByteArray::number(int(QChar::currentUnicodeVersion()));
    std::printf("GraphemeBreakTest.txt (Unicode %s): %d lines checked, %d of them with code points newer "
                "than this Qt's Unicode %s, 0 skipped\n",
                qPrintable(Characters::unicodeVersion()), lines, newer, qtVersion.constData());

    // The generated table against the data files, code point by code point.
    std::vector<Characters::Property> properties(0x110000, Characters::Property::Other);
    const QHash<QByteArray, Characters::Property> names{
        {"CR", Characters::Property::CR},
        {"LF", Characters::Property::LF},
        {"Control", Characters::Property::Control},
        {"Extend", Characters::Property::Extend},
        {"ZWJ", Characters::Property::ZWJ},
        {"Regional_Indicator", Characters::Property::RegionalIndicator},
        {"Prepend", Characters::Property::Prepend},
        {"SpacingMark", Characters::Property::SpacingMark},
        {"L", Characters::Property::L},
        {"V", Characters::Property::V},
        {"T", Characters::Property::T},
        {"LV", Characters::Property::LV},
        {"LVT", Characters::Property::LVT},
        {"Extended_Pictographic", Characters::Property::ExtendedPictographic},
    };
    for (const char* file : {"auxiliary/GraphemeBreakProperty.txt", "emoji/emoji-data.txt"}) {
        QFile data(kUnicodeData + QString::fromLatin1(file));
        ASSERT_TRUE(data.open(QIODevice::ReadOnly)) << file;
        while (!data.atEnd()) {
            const QByteArray line = data.readLine().split('#').first().trimmed();
            const QList<QByteArray> fields = line.split(';');
            if (fields.size() != 2 || !names.contains(fields[1].trimmed()))
                continue;
            const QList<QByteArray> range = fields[0].trimmed().split('.');
            for (uint code = range.first().toUInt(nullptr, 16); code <= range.last().toUInt(nullptr, 16);
                 ++code)
                properties[code] = names.value(fields[1].trimmed());
        }
    }
    int wrong = 0;
    for (char32_t code = 0; code < 0x110000; ++code)
        if (Characters::propertyOf(code) != properties[code] && ++wrong < 10)
            ADD_FAILURE() << "U+" << std::hex << uint(code);
    EXPECT_EQ(wrong, 0);
}

// Random texts made of whole characters from many scripts: every cutting function
// keeps whole characters, and its count and its cut agree.
TEST(Characters, CutsKeepWholeCharactersOfEveryScript) {
    // Each entry is one or more characters, as they are to be counted; no entry
    // joins the one before or after it.
    const std::vector<QStringList> pieces{
        {QStringLiteral("a")},
        {QStringLiteral(" ")},
        {QStringLiteral("e\u0301")},
        {QStringLiteral("ไ")},
        {QStringLiteral("ก")},
        {QStringLiteral("กำ")}, // U+0E33 is a spacing mark
        {QStringLiteral("ที่")},
        {QStringLiteral("น")},
        {QStringLiteral("स्"), QStringLiteral("ते")},
        {QStringLiteral("कि")},
        {QStringLiteral("क्"), QStringLiteral("षि")},
        {QStringLiteral("བོ")},
        {QStringLiteral("སྐ")},
        {QStringLiteral("་")},
        {QStringLiteral("😀")},
        {QStringLiteral("👍🏽")},
        {QStringLiteral("👋🏿")},
        {QStringLiteral("👨‍👩‍👧")},
        {QStringLiteral("🏳️‍🌈")},
        {QStringLiteral("👩🏽‍💻")},
        {QStringLiteral("🏴󠁧󠁢󠁥󠁮󠁧󠁿")}, // a tag sequence
        {QStringLiteral("🇫🇷")},
        {QStringLiteral("🇩🇪")},
        {QStringLiteral("\r\n")},
        {QStringLiteral("\n")},
        {QStringLiteral("\r"), QStringLiteral("x")},
        {QStringLiteral("\u2060"), QStringLiteral("\u0301")}, // a format control ends its character
        {QStringLiteral("\uFEFF"), QStringLiteral("\u200D")},
        {QStringLiteral("\u2029"), QStringLiteral("\u0E33")},
        {QStringLiteral("\u0600\u0661")}, // a prepended mark
        {QStringLiteral("한")},
        {QStringLiteral("가")},
        {QStringLiteral("\u1100\u1161\u11A8")},
        {QString(QChar(0xDC00))}, // a lone surrogate is a character of its own
    };
    for (quint32 seed : {20261209u, 1u, 7u, 42u, 65537u}) {
        QRandomGenerator random(seed); // fixed seeds: the same texts every run
        for (int round = 0; round < 150; ++round) {
            QString text;
            QByteArray utf8;
            std::vector<qsizetype> ends;
            std::vector<qsizetype> utf8Ends;
            const int length = random.bounded(1, 30);
            for (int i = 0; i < length; ++i) {
                for (const QString& character : pieces[random.bounded(int(pieces.size()))]) {
                    text += character;
                    utf8 += character.toUtf8();
                    ends.push_back(text.size());
                    utf8Ends.push_back(utf8.size());
                }
            }
            SCOPED_TRACE(QStringLiteral("seed %1 round %2: %3").arg(seed).arg(round).arg(text).toStdString());
            expectCutsAgree(text, ends, utf8, utf8Ends);
            if (HasFatalFailure())
                return;
        }
    }

    // Bytes past the bound show whether the character there goes on; a byte that is
    // no part of UTF-8 stands alone and never drags well-formed text with it.
    const QByteArray flag = QStringLiteral("🏴󠁧󠁢󠁥󠁮󠁧󠁿").toUtf8();
    EXPECT_EQ(Characters::utf8PrefixLength("ab" + flag + "c", 2 + flag.size() - 1), 2);
    EXPECT_EQ(Characters::utf8PrefixLength("ab" + flag + "c", 2 + flag.size()), 2 + flag.size());
    EXPECT_EQ(Characters::utf8PrefixLength("a\xFF\xC3\xA9z", 3), 2);
    EXPECT_EQ(Characters::utf8PrefixLength("ab\xE2\x82", 3), 1);    // U+20xx may be a mark
    EXPECT_EQ(Characters::utf8PrefixLength("\xED\xA0\x80x", 2), 2); // an encoded surrogate is no UTF-8
    // A character longer than the bound leaves nothing rather than a part.
    EXPECT_EQ(Characters::fit(QStringLiteral("a") + QString(50, QChar(0x0301)) + QStringLiteral("b"), 20),
              QString());
}

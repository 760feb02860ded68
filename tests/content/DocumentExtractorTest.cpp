#include "content/DocumentExtractor.h"
#include "platform/Characters.h"

#include "support/DocumentFiles.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

class DocumentExtractorTest : public ::testing::Test {
protected:
    QString file(const QString& name, const QByteArray& bytes) {
        return DocumentFiles::write(dir.filePath(name), bytes);
    }
    // The French description of the error the extraction throws, or "<none>".
    QString failure(const QString& path, qint64 maxChars = 8000) {
        try {
            DocumentExtractor::extract(path, maxChars);
        } catch (const ExtractorError& error) {
            return error.description();
        }
        return QStringLiteral("<none>");
    }
    QTemporaryDir dir;
};

QByteArray utf16(const QString& text, bool littleEndian) {
    QByteArray bytes = littleEndian ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
    for (QChar c : text) {
        const char high = static_cast<char>(c.unicode() >> 8);
        const char low = static_cast<char>(c.unicode() & 0xFF);
        bytes.append(littleEndian ? low : high).append(littleEndian ? high : low);
    }
    return bytes;
}

} // namespace

TEST_F(DocumentExtractorTest, DecodesTextInItsEncoding) {
    const ExtractedContent utf8 =
        DocumentExtractor::extract(file("a.txt", "Bonjour, \xC3\xA9t\xC3\xA9\n"), 8000);
    EXPECT_EQ(utf8, (ExtractedContent{QStringLiteral("Bonjour, été\n"), false, 15}));
    // A UTF-8 byte-order mark is not text.
    EXPECT_EQ(DocumentExtractor::extract(file("bom.md", "\xEF\xBB\xBFtitre"), 8000).text,
              QStringLiteral("titre"));
    // UTF-16 is recognised by its byte-order mark, in both byte orders.
    EXPECT_EQ(DocumentExtractor::extract(file("le.txt", utf16(QStringLiteral("Noël"), true)), 8000).text,
              QStringLiteral("Noël"));
    EXPECT_EQ(DocumentExtractor::extract(file("be.csv", utf16(QStringLiteral("a;b"), false)), 8000).text,
              QStringLiteral("a;b"));
    // Latin-1 that is not UTF-8 reads as Latin-1, even when its length is even
    // (read as UTF-16 it would be garbage); bytes_read is the file's length.
    const ExtractedContent latin1 = DocumentExtractor::extract(file("l1.txt", "d\xE9j\xE0 vus"), 8000);
    EXPECT_EQ(latin1, (ExtractedContent{QStringLiteral("déjà vus"), false, 8}));
    // A byte-order mark followed by broken UTF-16 falls back to Latin-1 too.
    EXPECT_EQ(DocumentExtractor::extract(file("odd.txt", "\xFF\xFE\x41"), 8000).text, QStringLiteral("ÿþA"));
    // The last bytes count: a file ending inside a UTF-8 sequence, or in a Latin-1
    // letter that starts one, is Latin-1 and keeps its last character.
    const struct {
        const char* bytes;
        QString text;
    } endings[] = {
        {"caf\xE9", QStringLiteral("café")},
        {"caf\xC3", QStringLiteral("cafÃ")},
        {"\xE9t\xE9 \xF0\x9F\x98", QStringLiteral("été ð\u009F\u0098")},
        {"caf\xC3\xA9", QStringLiteral("café")},
    };
    for (const auto& ending : endings)
        EXPECT_EQ(DocumentExtractor::extract(file("end.txt", ending.bytes), 8000).text, ending.text)
            << ending.bytes;
}

TEST_F(DocumentExtractorTest, CutsAtUserPerceivedCharacters) {
    const QString decomposed = QStringLiteral("e\u0301e\u0301e\u0301");
    EXPECT_EQ(DocumentExtractor::extract(file("d.txt", decomposed.toUtf8()), 2),
              (ExtractedContent{QStringLiteral("e\u0301e\u0301"), true, 9}));
    const QString family = QStringLiteral("👨‍👩‍👧🇫🇷🇩🇪");
    EXPECT_EQ(DocumentExtractor::extract(file("e.txt", family.toUtf8()), 3).text, family);
    EXPECT_FALSE(DocumentExtractor::extract(file("e.txt", family.toUtf8()), 3).truncated);
    EXPECT_EQ(DocumentExtractor::extract(file("e.txt", family.toUtf8()), 2).text,
              QStringLiteral("👨‍👩‍👧🇫🇷"));
    EXPECT_EQ(Characters::count(QStringLiteral("a🇫🇷🇩🇪🇮x")), 5);
    // A long cluster that straddles the first window looked at is kept whole.
    const QString heavy = QStringLiteral("a") + QString(300, QChar(0x0301));
    const auto [kept, cut] =
        DocumentExtractor::cutToCharacters(heavy + heavy + heavy + QStringLiteral("b"), 3);
    EXPECT_EQ(kept, heavy + heavy + heavy);
    EXPECT_TRUE(cut);
    EXPECT_EQ(Characters::count(heavy + QStringLiteral("b")), 2);

    // Thai, Khmer, Myanmar, Tibetan and Devanagari runs next to emoji never cut a
    // surrogate pair, CR LF, or a base from its marks.
    const struct {
        QString text;
        qint64 characters;
    } runs[] = {
        {QStringLiteral("😀 ก"), 3},
        {QStringLiteral("ก😀\r\nก"), 4},
        // Counted as Unicode 15.0 does: a virama or coeng stays with the consonant
        // before it, and U+102C (Myanmar AA) is a character of its own.
        {QStringLiteral("👍🏽ខ្មែរ😀"), 5},
        {QStringLiteral("မြန်မာ😀"), 5},
        {QStringLiteral("བོད😀"), 3},
        {QStringLiteral("नमस्ते 😀"), 6},
        {QStringLiteral("กั😀e\u0301"), 3},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.text.toStdString());
        EXPECT_EQ(Characters::count(run.text), run.characters);
        for (qint64 n = 1; n <= run.characters; ++n) {
            const auto [part, truncated] = DocumentExtractor::cutToCharacters(run.text, n);
            EXPECT_EQ(truncated, n < run.characters) << n;
            EXPECT_TRUE(run.text.startsWith(part));
            const QChar last = part.isEmpty() ? QChar() : part.back();
            EXPECT_FALSE(last.isHighSurrogate() || last == QLatin1Char('\r')) << n;
            if (part.size() < run.text.size()) {
                const QChar next = run.text.at(part.size());
                EXPECT_FALSE(next.isLowSurrogate() || next.category() == QChar::Mark_NonSpacing) << n;
            }
            EXPECT_EQ(Characters::count(part), n);
        }
    }
    EXPECT_EQ(DocumentExtractor::cutToCharacters(QStringLiteral("😀 ก"), 1),
              (std::pair<QString, bool>{QStringLiteral("😀"), true}));
}

TEST_F(DocumentExtractorTest, ZeroOrNegativeLimitGivesNoText) {
    const QString path = file("n.txt", "quelque chose");
    EXPECT_EQ(DocumentExtractor::extract(path, 0), (ExtractedContent{QString(), true, 13}));
    EXPECT_EQ(DocumentExtractor::extract(path, -5), (ExtractedContent{QString(), true, 13}));
    EXPECT_EQ(DocumentExtractor::extract(file("empty.txt", ""), 0), (ExtractedContent{QString(), false, 0}));
}

TEST_F(DocumentExtractorTest, SizeLimitIsTenMebibytes) {
    const QString exact = file("exact.log", QByteArray(DocumentExtractor::maxFileSize, 'a'));
    const ExtractedContent content = DocumentExtractor::extract(exact, 5);
    EXPECT_EQ(content, (ExtractedContent{QStringLiteral("aaaaa"), true, DocumentExtractor::maxFileSize}));
    const QString over = file("over.log", QByteArray(DocumentExtractor::maxFileSize + 1, 'a'));
    EXPECT_EQ(failure(over), QStringLiteral("Fichier trop gros (10240 Ko)"));
    // The size is tested before the type: a large file of any kind is refused for size.
    QFile::rename(over, dir.filePath("over.bin"));
    EXPECT_EQ(failure(dir.filePath("over.bin")), QStringLiteral("Fichier trop gros (10240 Ko)"));
}

TEST_F(DocumentExtractorTest, ReadsPdfPageByPage) {
    const QString two =
        file("deux.pdf", DocumentFiles::pdf({QStringLiteral("Première page"), QStringLiteral("Seconde")}));
    const ExtractedContent content = DocumentExtractor::extract(two, 8000);
    EXPECT_EQ(content.text, QStringLiteral("Première page\nSeconde\n"));
    EXPECT_FALSE(content.truncated);
    EXPECT_EQ(content.bytesRead, content.text.toUtf8().size());
    // Reading stops at the page that reaches the limit; truncated only when it went past.
    const QString pages =
        file("pages.PDF", DocumentFiles::pdf({QStringLiteral("abcdefghij"), QStringLiteral("suite")}));
    EXPECT_EQ(DocumentExtractor::extract(pages, 10),
              (ExtractedContent{QStringLiteral("abcdefghij"), false, 10}));
    EXPECT_EQ(DocumentExtractor::extract(pages, 4), (ExtractedContent{QStringLiteral("abcd"), true, 4}));
    EXPECT_EQ(DocumentExtractor::extract(pages, 13).text, QStringLiteral("abcdefghij\nsu"));
    EXPECT_EQ(failure(file("faux.pdf", "%PDF-1.4 pas vraiment")),
              QStringLiteral("Lecture: PDFDocument init failed"));
    // A PDF that cannot be read cannot be opened either.
    EXPECT_EQ(failure(dir.filePath("absent.pdf")), QStringLiteral("Lecture: PDFDocument init failed"));
}

TEST_F(DocumentExtractorTest, ReadsRtf) {
    const QByteArray rtf = "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}\\f0 Bonjour\\par Caf\\'e9}";
    EXPECT_EQ(DocumentExtractor::extract(file("note.rtf", rtf), 8000),
              (ExtractedContent{QStringLiteral("Bonjour\nCafé"), false, rtf.size()}));
    EXPECT_EQ(failure(file("pas.rtf", "Bonjour")), QStringLiteral("Lecture: RTF parse failed"));
}

TEST_F(DocumentExtractorTest, DispatchesOnTheExtension) {
    // Extensions of the plain-text list are text even without a registered type.
    EXPECT_EQ(DocumentExtractor::extract(file("main.swift", "let x = 1"), 8000).text,
              QStringLiteral("let x = 1"));
    EXPECT_EQ(DocumentExtractor::extract(file("prod.env", "A=1"), 8000).text, QStringLiteral("A=1"));
    // Types that are text by inheritance are read as text.
    EXPECT_EQ(DocumentExtractor::extract(file("page.xhtml", "<p/>"), 8000).text, QStringLiteral("<p/>"));
    EXPECT_EQ(failure(file("LISEZMOI", "texte")), QStringLiteral("Format non supporté ()"));
    EXPECT_EQ(failure(file("photo.png", "\x89PNG")), QStringLiteral("Format non supporté (image/png)"));
    EXPECT_EQ(failure(file("x.zzq", "?")), QStringLiteral("Format non supporté (zzq)"));
}

TEST_F(DocumentExtractorTest, ReadsOnlyRegularFiles) {
    QDir(dir.path()).mkdir(QStringLiteral("dossier.txt"));
    EXPECT_EQ(failure(dir.filePath("dossier.txt")), QStringLiteral("Format non supporté (inode/directory)"));
    // A FIFO would block a reader forever: it is refused at once.
    const QString fifo = dir.filePath("tube.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(failure(fifo), QStringLiteral("Format non supporté (inode/fifo)"));
    EXPECT_LT(timer.elapsed(), 30000); // a reader would wait for a writer forever
    EXPECT_EQ(failure(QStringLiteral("/dev/zero")), QStringLiteral("Format non supporté (inode/chardevice)"));
    EXPECT_EQ(failure(dir.filePath("absent.txt")),
              QStringLiteral("Lecture: Le fichier « absent.txt » n'existe pas."));
    // A link to a regular file is read through.
    const QString target = file("cible.txt", "vu");
    ASSERT_TRUE(QFile::link(target, dir.filePath("lien.txt")));
    EXPECT_EQ(DocumentExtractor::extract(dir.filePath("lien.txt"), 10).text, QStringLiteral("vu"));
}

TEST_F(DocumentExtractorTest, SurvivesMalformedDocuments) {
    const QByteArray pdf = DocumentFiles::pdf({QStringLiteral("Une page"), QStringLiteral("Deux pages")});
    const QByteArray rtf = "{\\rtf1{\\fonttbl{\\f0 A;}}\\uc1\\u233? {\\b x}\\'e9\\par fin}";
    QRandomGenerator random(42);
    for (int round = 0; round < 150; ++round) {
        const QByteArray& source = round % 2 == 0 ? pdf : rtf;
        QByteArray damaged = source.left(random.bounded(source.size() + 1));
        for (int i = 0, n = random.bounded(8); i < n && !damaged.isEmpty(); ++i)
            damaged[random.bounded(damaged.size())] = static_cast<char>(random.bounded(256));
        const QString path =
            file(round % 2 == 0 ? QStringLiteral("f.pdf") : QStringLiteral("f.rtf"), damaged);
        try {
            const ExtractedContent content = DocumentExtractor::extract(path, 50);
            EXPECT_EQ(QString::fromUtf8(content.text.toUtf8()), content.text);
        } catch (const ExtractorError& error) {
            EXPECT_EQ(error.kind(), ExtractorError::Kind::ReadFailed);
        }
    }
    QByteArray noise;
    for (int i = 0; i < 4096; ++i)
        noise.append(static_cast<char>(random.bounded(256)));
    const ExtractedContent text = DocumentExtractor::extract(file("bruit.txt", noise), 100000);
    EXPECT_EQ(text.bytesRead, 4096);
    EXPECT_EQ(QString::fromUtf8(text.text.toUtf8()), text.text);
}

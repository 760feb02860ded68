// Files made to exhaust a decoder, written at run time: a HEIC whose HEVC stream
// declares 16384² behind a 16000×4000 header, a PDF of Form XObjects nested twelve
// deep, a page of text too large to recognise in time, and a file that sends the
// photo metadata reader into its QuickTime parser. Each gets a final answer within
// its deadline, the workers stay under 1 GiB, the program lives on, and a normal
// request right after is answered.
#include "support/MediaFixtures.h"
#include "support/TestSupport.h"

#include "content/Decoding.h"
#include "content/DocumentExtractor.h"
#include "content/OcrEngine.h"
#include "content/PhotoLibrary.h"
#include "content/Thumbnails.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <functional>

namespace {

// ---- HEVC parameter sets --------------------------------------------------------

class BitReader {
public:
    explicit BitReader(const QByteArray& bytes)
        : bytes_(bytes) {}
    bool bit() {
        const bool value = (quint8(bytes_.at(position_ / 8)) >> (7 - position_ % 8)) & 1;
        ++position_;
        return value;
    }
    quint32 bits(int count) {
        quint32 value = 0;
        while (count-- > 0)
            value = value << 1 | quint32(bit());
        return value;
    }
    quint32 exponentialGolomb() {
        int zeros = 0;
        while (!bit())
            ++zeros;
        return (1u << zeros) - 1 + bits(zeros);
    }
    qsizetype position() const { return position_; }

private:
    QByteArray bytes_;
    qsizetype position_ = 0;
};

class BitWriter {
public:
    void bit(bool value) {
        if (count_ % 8 == 0)
            bytes_.append('\0');
        if (value)
            bytes_[bytes_.size() - 1] = char(quint8(bytes_.back()) | (0x80 >> (count_ % 8)));
        ++count_;
    }
    void bits(quint32 value, int count) {
        while (count-- > 0)
            bit((value >> count) & 1);
    }
    void exponentialGolomb(quint32 value) {
        const quint32 coded = value + 1;
        int length = 0;
        while ((coded >> length) > 1)
            ++length;
        bits(0, length);
        bits(coded, length + 1);
    }
    QByteArray bytes() const { return bytes_; }

private:
    QByteArray bytes_;
    qsizetype count_ = 0;
};

QByteArray withoutEmulationPrevention(const QByteArray& nal) {
    QByteArray raw;
    for (qsizetype i = 0; i < nal.size(); ++i) {
        if (i >= 2 && nal.at(i) == 3 && nal.at(i - 1) == 0 && nal.at(i - 2) == 0)
            continue;
        raw.append(nal.at(i));
    }
    return raw;
}

QByteArray withEmulationPrevention(const QByteArray& raw) {
    QByteArray nal;
    int zeros = 0;
    for (const char byte : raw) {
        if (zeros >= 2 && quint8(byte) <= 3) {
            nal.append('\3');
            zeros = 0;
        }
        nal.append(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return nal;
}

// The sequence parameter set (NAL header included) declaring another picture size.
QByteArray resizedSps(const QByteArray& sps, quint32 width, quint32 height) {
    const QByteArray raw = withoutEmulationPrevention(sps.mid(2));
    BitReader in(raw);
    BitWriter out;
    out.bits(in.bits(4), 4); // sps_video_parameter_set_id
    const quint32 subLayers = in.bits(3);
    EXPECT_EQ(subLayers, 0u);
    out.bits(subLayers, 3);
    out.bits(in.bits(1), 1);
    for (int i = 0; i < 96; ++i) // profile_tier_level, one layer
        out.bit(in.bit());
    out.exponentialGolomb(in.exponentialGolomb()); // sps_seq_parameter_set_id
    const quint32 chroma = in.exponentialGolomb();
    out.exponentialGolomb(chroma);
    if (chroma == 3)
        out.bit(in.bit());
    in.exponentialGolomb();
    in.exponentialGolomb();
    out.exponentialGolomb(width);
    out.exponentialGolomb(height);
    // The rest as it was, up to the stop bit, then the stop bit and alignment.
    qsizetype last = raw.size() * 8 - 1;
    while (last > 0 && !((quint8(raw.at(last / 8)) >> (7 - last % 8)) & 1))
        --last;
    while (in.position() < last)
        out.bit(in.bit());
    out.bit(true);
    QByteArray result = out.bytes();
    return sps.left(2) + withEmulationPrevention(result);
}

// ---- ISO boxes ------------------------------------------------------------------

quint32 be32(const QByteArray& bytes, qsizetype at) {
    return qFromBigEndian<quint32>(bytes.constData() + at);
}
void setBe32(QByteArray& bytes, qsizetype at, quint32 value) {
    qToBigEndian<quint32>(value, bytes.data() + at);
}
quint64 readSized(const QByteArray& bytes, qsizetype at, int size) {
    quint64 value = 0;
    for (int i = 0; i < size; ++i)
        value = value << 8 | quint8(bytes.at(at + i));
    return value;
}
void writeSized(QByteArray& bytes, qsizetype at, int size, quint64 value) {
    for (int i = size - 1; i >= 0; --i, value >>= 8)
        bytes[at + i] = char(value & 0xff);
}

// Grows every box that encloses `at` by `delta` (the boxes libheif writes: meta
// holds iprp, which holds ipco, which holds hvcC).
void growEnclosingBoxes(QByteArray& file, qsizetype from, qsizetype to, qsizetype at, qsizetype delta) {
    for (qsizetype box = from; box + 8 <= to;) {
        const quint32 size = be32(file, box);
        const QByteArray type = file.mid(box + 4, 4);
        if (size < 8)
            return;
        if (at >= box && at < box + qsizetype(size)) {
            setBe32(file, box, quint32(size + delta));
            const qsizetype header = type == "meta" ? 12 : 8;
            if (type == "meta" || type == "iprp" || type == "ipco")
                growEnclosingBoxes(file, box + header, box + size, at, delta);
        }
        box += size;
    }
}

// Moves every item location past `at` by `delta`.
void shiftItemLocations(QByteArray& file, qsizetype at, qsizetype delta) {
    const qsizetype iloc = file.indexOf("iloc") - 4;
    ASSERT_GT(iloc, 0);
    const int version = quint8(file.at(iloc + 8));
    qsizetype p = iloc + 12;
    const int offsetSize = quint8(file.at(p)) >> 4, lengthSize = quint8(file.at(p)) & 15;
    const int baseSize = quint8(file.at(p + 1)) >> 4;
    const int indexSize = version >= 1 ? quint8(file.at(p + 1)) & 15 : 0;
    p += 2;
    const quint32 items = version < 2 ? quint32(readSized(file, p, 2)) : quint32(readSized(file, p, 4));
    p += version < 2 ? 2 : 4;
    for (quint32 item = 0; item < items; ++item) {
        p += version < 2 ? 2 : 4; // item_ID
        if (version >= 1)
            p += 2; // construction_method
        p += 2;     // data_reference_index
        const quint64 base = readSized(file, p, baseSize);
        if (baseSize > 0 && base > quint64(at))
            writeSized(file, p, baseSize, base + delta);
        p += baseSize;
        const quint32 extents = quint32(readSized(file, p, 2));
        p += 2;
        for (quint32 extent = 0; extent < extents; ++extent) {
            p += indexSize;
            const quint64 offset = readSized(file, p, offsetSize);
            if (base + offset > quint64(at) && !(baseSize > 0 && base > quint64(at)))
                writeSized(file, p, offsetSize, offset + delta);
            p += offsetSize + lengthSize;
        }
    }
}

// A HEIC encoded by libheif, its stream then made to declare `codedSide`² while
// its header says `width`×`height`.
QByteArray lyingHeic(const QString& path, quint32 codedSide, quint32 width, quint32 height) {
    QImage picture(64, 64, QImage::Format_RGB32);
    picture.fill(Qt::gray);
    if (!fixtures::writeHeic(path, picture))
        return QByteArray();
    QFile read(path);
    if (!read.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray file = read.readAll();
    // The hvcC box: 22 bytes of configuration, the array count, then arrays of
    // (type, count, then length-prefixed units).
    const qsizetype hvcC = file.indexOf("hvcC") - 4;
    qsizetype p = hvcC + 8 + 22;
    const int arrays = quint8(file.at(p++));
    for (int array = 0; array < arrays; ++array) {
        const int type = quint8(file.at(p)) & 0x3f;
        const int count = int(readSized(file, p + 1, 2));
        p += 3;
        for (int unit = 0; unit < count; ++unit) {
            const int length = int(readSized(file, p, 2));
            if (type == 33) { // the sequence parameter set
                const QByteArray sps = resizedSps(file.mid(p + 2, length), codedSide, codedSide);
                const qsizetype delta = sps.size() - length;
                file.replace(p + 2, length, sps);
                writeSized(file, p, 2, quint64(sps.size()));
                growEnclosingBoxes(file, 0, file.size(), p, delta);
                shiftItemLocations(file, p, delta);
            }
            p += 2 + readSized(file, p, 2);
        }
    }
    const qsizetype ispe = file.indexOf("ispe");
    setBe32(file, ispe + 8, width);
    setBe32(file, ispe + 12, height);
    return file;
}

// ---- A PDF of nested forms ------------------------------------------------------

// Each form draws the next ten times, twelve deep: 10¹² words of text at the bottom.
QByteArray nestedFormsPdf() {
    constexpr int depth = 12;
    QList<QByteArray> objects;
    objects << "<< /Type /Catalog /Pages 2 0 R >>";
    objects << "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
    objects << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /XObject << /X 5 0 R >> "
               "/Font << /F 4 0 R >> >> /Contents 6 0 R >>";
    objects << "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";
    const QByteArray draws = QByteArray("q /X Do Q\n").repeated(10);
    const auto stream = [](const QByteArray& dictionary, const QByteArray& content) {
        return "<< " + dictionary + " /Length " + QByteArray::number(content.size()) + " >>\nstream\n" +
               content + "\nendstream";
    };
    // Object 5 is the first form, 6 the page's contents, then forms 7 on.
    for (int level = 0; level < depth; ++level) {
        const int self = level == 0 ? 5 : 6 + level;
        const int next = level + 1 < depth ? 7 + level : -1;
        const QByteArray resources = next > 0 ? "/Resources << /XObject << /X " + QByteArray::number(next) +
                                                    " 0 R >> /Font << /F 4 0 R >> >>"
                                              : QByteArray("/Resources << /Font << /F 4 0 R >> >>");
        const QByteArray content = next > 0 ? draws : QByteArray("BT /F 12 Tf 10 10 Td (mot) Tj ET");
        const QByteArray form =
            stream("/Type /XObject /Subtype /Form /BBox [0 0 612 792] " + resources, content);
        while (objects.size() < self)
            objects << QByteArray();
        objects[self - 1] = form;
        if (level == 0) {
            while (objects.size() < 6)
                objects << QByteArray();
            objects[5] = stream(QByteArray(), draws);
        }
    }
    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets << pdf.size();
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const qsizetype offset : offsets)
        pdf += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

// ---- The test -------------------------------------------------------------------

// The decode error a call ends with (none when it returns), and when.
std::optional<DecodeError> failureOf(const std::function<void()>& call, qint64* elapsedMs) {
    QElapsedTimer clock;
    clock.start();
    std::optional<DecodeError> failure;
    try {
        call();
    } catch (const DecodeError& error) {
        failure = error;
    }
    *elapsedMs = clock.elapsed();
    return failure;
}

TEST(HostileFilesTest, eachGetsAnAnswerInTimeWithinTheMemoryBoundAndTheNextRequestIsServed) {
    QTemporaryDir folder;
    const QString normal = folder.filePath(QStringLiteral("normal.png"));
    ASSERT_TRUE(QImage(300, 200, QImage::Format_RGB32).save(normal));
    // Tasks that have this long left: the file refused from its headers is answered
    // within it (a worker's start and a header's reading, which a loaded machine may
    // stretch to seconds; decoding the stream would pass the memory bound first). A
    // request ended by the task's time (one that has two seconds left) returns well
    // before a decode's own bound (30 s) would have ended it; how soon after the
    // task's time depends on the machine's load, so the margin is wide.
    constexpr qint64 taskTime = 15000;
    constexpr qint64 endingTime = 2000;
    constexpr qint64 endedByTheTask = endingTime + 15000;
    qint64 elapsed = 0;

    // A stream of 16384² behind a 16000×4000 header.
    if (fixtures::canWriteHeic()) {
        const QString heic = folder.filePath(QStringLiteral("liar.heic"));
        const QByteArray lying = lyingHeic(heic, 16384, 16000, 4000);
        ASSERT_FALSE(lying.isEmpty());
        ASSERT_TRUE(fixtures::writeFile(heic, lying));
        // Refused from its headers, before anything is decoded.
        const Decoding::TaskDeadline within{QDeadlineTimer(taskTime)};
        QImage thumbnail;
        const std::optional<DecodeError> failure =
            failureOf([&] { thumbnail = Thumbnails::make(heic, 256); }, &elapsed);
        EXPECT_FALSE(failure);
        EXPECT_TRUE(thumbnail.isNull());
        EXPECT_LT(elapsed, taskTime);
    }
    EXPECT_EQ(Thumbnails::make(normal, 64).size(), QSize(64, 43));

    // Forms nested twelve deep: text and thumbnail both end with the task's time.
    const QString nested = folder.filePath(QStringLiteral("nested.pdf"));
    ASSERT_TRUE(fixtures::writeFile(nested, nestedFormsPdf()));
    for (const auto& use : std::initializer_list<std::function<void()>>{
             [&] { DocumentExtractor::extract(nested, 1000); }, [&] { Thumbnails::make(nested, 256); }}) {
        const Decoding::TaskDeadline within{QDeadlineTimer(endingTime)};
        const std::optional<DecodeError> failure = failureOf(use, &elapsed);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->fileName(), QStringLiteral("nested.pdf"));
        EXPECT_NE(failure->reason(), DecodeError::Reason::Crashed);
        EXPECT_LT(elapsed, endedByTheTask);
    }

    // A page too large to recognise within the task's time.
    QImage page(6000, 6000, QImage::Format_Grayscale8);
    page.fill(Qt::white);
    const QImage lines = fixtures::textImage(
        {QStringLiteral("Une ligne de texte à reconnaître"), QStringLiteral("et une autre ligne encore")});
    {
        QPainter painter(&page);
        for (int y = 0; y + lines.height() <= page.height(); y += lines.height())
            for (int x = 0; x + lines.width() <= page.width(); x += lines.width())
                painter.drawImage(x, y, lines);
    }
    const QString scan = folder.filePath(QStringLiteral("scan.png"));
    ASSERT_TRUE(page.save(scan));
    {
        const Decoding::TaskDeadline within{QDeadlineTimer(endingTime)};
        const std::optional<DecodeError> failure = failureOf([&] { OcrEngine::recognize(scan); }, &elapsed);
        // Ended with the task's time (or, first, at the memory bound).
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->fileName(), QStringLiteral("scan.png"));
        EXPECT_NE(failure->reason(), DecodeError::Reason::Crashed);
        EXPECT_LT(elapsed, endedByTheTask);
    }

    // A file opening like a QuickTime movie inside a TIFF header.
    const QString photo = folder.filePath(QStringLiteral("IMG_0001.jpg"));
    QByteArray quicktime = QByteArray("II(\0ftyp", 8) + QByteArray(149, '\0');
    ASSERT_TRUE(fixtures::writeFile(photo, quicktime));
    {
        const Decoding::TaskDeadline within{QDeadlineTimer(taskTime)};
        const std::optional<DecodeError> failure =
            failureOf([&] { PhotoLibrary::readMetadata(photo); }, &elapsed);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->fileName(), QStringLiteral("IMG_0001.jpg"));
        EXPECT_LT(elapsed, endedByTheTask);
    }

    // The program lives on and is served.
    EXPECT_EQ(Thumbnails::make(normal, 64).size(), QSize(64, 43));
    const QString letter = folder.filePath(QStringLiteral("lettre.pdf"));
    ASSERT_TRUE(fixtures::writePdf(letter, {{fixtures::PdfPage::Kind::Text, {QStringLiteral("Bonjour")}}}));
    EXPECT_TRUE(DocumentExtractor::extract(letter, 1000).text.contains(QStringLiteral("Bonjour")));
    Decoding::stopIdleWorkersForTesting();
    EXPECT_LT(Decoding::peakWorkerMemoryForTesting(), Decoding::kMemoryBoundBytes);
}

} // namespace

#include "content/DocumentExtractor.h"

#include "content/ContentFiles.h"
#include "content/Decoding.h"
#include "content/PdfModule.h"
#include "content/RtfReader.h"
#include "platform/Characters.h"
#include "platform/Localization.h"
#include "platform/ShareWork.h"

#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QStringDecoder>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

ExtractorError ExtractorError::unsupportedFormat(QString typeOrExtension) {
    return ExtractorError(Kind::UnsupportedFormat, std::move(typeOrExtension), 0);
}

ExtractorError ExtractorError::tooLarge(qint64 size) {
    return ExtractorError(Kind::TooLarge, QString(), size);
}

ExtractorError ExtractorError::readFailed(QString reason) {
    return ExtractorError(Kind::ReadFailed, std::move(reason), 0);
}

QString ExtractorError::description() const {
    switch (kind_) {
    case Kind::UnsupportedFormat:
        return loc("Format non supporté (") + value_ + QStringLiteral(")");
    case Kind::TooLarge:
        return loc("Fichier trop gros (") + QString::number(size_ / 1024) + loc(" Ko)");
    case Kind::ReadFailed:
        return loc("Lecture: ") + value_;
    }
    return value_;
}

namespace DocumentExtractor {
namespace {

QString inodeType(mode_t mode) {
    if (S_ISDIR(mode))
        return QStringLiteral("inode/directory");
    if (S_ISFIFO(mode))
        return QStringLiteral("inode/fifo");
    if (S_ISCHR(mode))
        return QStringLiteral("inode/chardevice");
    if (S_ISBLK(mode))
        return QStringLiteral("inode/blockdevice");
    if (S_ISSOCK(mode))
        return QStringLiteral("inode/socket");
    return QStringLiteral("inode/x-unknown");
}

// The whole content of a regular file, at most maxFileSize bytes; a longer file is
// refused after reading one byte more than the limit. Opening does not wait (a
// FIFO put in the file's place is refused, not waited on).
QByteArray readRegularFile(const QString& path) {
    const ContentFiles::ReadableFile file(path);
    if (file.fd() < 0)
        throw ExtractorError::readFailed(ContentFiles::fileErrorDescription(file.error(), path));
    struct stat info {};
    if (ContentFiles::statusOfOpened(file.fd(), info) != 0)
        throw ExtractorError::readFailed(ContentFiles::fileErrorDescription(errno, path));
    if (!S_ISREG(info.st_mode))
        throw ExtractorError::readFailed(
            loc("« %1 » n'est pas un fichier ordinaire.").arg(QFileInfo(path).fileName()));
    if (info.st_size > maxFileSize)
        throw ExtractorError::tooLarge(info.st_size);

    const qint64 capacity = maxFileSize + 1;
    QByteArray bytes;
    bytes.resize(std::min<qint64>(std::max<qint64>(info.st_size, 0) + 1, capacity));
    qint64 total = 0;
    for (;;) {
        if (total == bytes.size()) {
            if (bytes.size() >= capacity)
                break;
            bytes.resize(std::min<qint64>(bytes.size() * 2 + 4096, capacity));
        }
        // (From the start whatever the descriptor's offset: it may be shared.)
        const qint64 asked = bytes.size() - total;
        ShareWork::checkWanted(); // a read no longer wanted stops here
        const ssize_t got =
            ::pread(file.fd(), bytes.data() + total, static_cast<size_t>(asked), off_t(total));
        ShareWork::callReturned(); // on a share, a sign of life
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw ExtractorError::readFailed(ContentFiles::fileErrorDescription(errno, path));
        }
        total += got;
        // A regular file reads short only at its end: no call more to hear that.
        if (got < asked)
            break;
    }
    if (total > maxFileSize)
        throw ExtractorError::tooLarge(std::max<qint64>(info.st_size, total));
    bytes.truncate(total);
    return bytes;
}

// The PDF's text, read by a decoder worker from the file opened here.
ExtractedContent extractPDF(const QString& path, qint64 maxChars, const QString& typeName) {
    // A PDF that cannot be read is one that cannot be opened (its size still
    // refuses it as too large).
    const Decoding::OpenedFile file(path);
    if (file.fd() < 0)
        throw ExtractorError::readFailed(QStringLiteral("PDFDocument init failed"));
    if (file.size() > maxFileSize)
        throw ExtractorError::tooLarge(file.size());
    DecoderProtocol::Request request;
    request.op = DecoderProtocol::Op::PdfText;
    request.maxChars = maxChars;
    DecoderProtocol::Answer answer =
        Decoding::run(Decoding::Profile::Pdf, request, file.fd(), Decoding::displayName(path, typeName));
    return ExtractedContent{std::move(answer.text), answer.truncated, answer.bytesRead};
}

ExtractedContent extractRTF(const QString& path, qint64 maxChars) {
    const QByteArray bytes = readRegularFile(path);
    const std::optional<QString> text = RtfReader::plainText(bytes);
    if (!text)
        throw ExtractorError::readFailed(QStringLiteral("RTF parse failed"));
    auto [kept, truncated] = cutToCharacters(*text, maxChars);
    return ExtractedContent{std::move(kept), truncated, bytes.size()};
}

ExtractedContent extractPlainText(const QString& path, qint64 maxChars) {
    const QByteArray bytes = readRegularFile(path);
    auto [kept, truncated] = cutToCharacters(decodeText(bytes), maxChars);
    return ExtractedContent{std::move(kept), truncated, bytes.size()};
}

} // namespace

const QSet<QString>& plainTextExtensions() {
    static const QSet<QString> extensions = {
        QStringLiteral("txt"),   QStringLiteral("md"),    QStringLiteral("markdown"), QStringLiteral("rst"),
        QStringLiteral("json"),  QStringLiteral("csv"),   QStringLiteral("tsv"),      QStringLiteral("log"),
        QStringLiteral("xml"),   QStringLiteral("yml"),   QStringLiteral("yaml"),     QStringLiteral("ini"),
        QStringLiteral("toml"),  QStringLiteral("conf"),  QStringLiteral("env"),      QStringLiteral("sh"),
        QStringLiteral("zsh"),   QStringLiteral("swift"), QStringLiteral("py"),       QStringLiteral("rb"),
        QStringLiteral("js"),    QStringLiteral("mjs"),   QStringLiteral("ts"),       QStringLiteral("tsx"),
        QStringLiteral("jsx"),   QStringLiteral("go"),    QStringLiteral("rs"),       QStringLiteral("c"),
        QStringLiteral("cpp"),   QStringLiteral("cc"),    QStringLiteral("h"),        QStringLiteral("hpp"),
        QStringLiteral("m"),     QStringLiteral("mm"),    QStringLiteral("java"),     QStringLiteral("kt"),
        QStringLiteral("scala"), QStringLiteral("html"),  QStringLiteral("htm"),      QStringLiteral("xhtml"),
        QStringLiteral("css"),   QStringLiteral("scss"),  QStringLiteral("sql"),      QStringLiteral("php"),
        QStringLiteral("lua"),   QStringLiteral("pl"),    QStringLiteral("r")};
    return extensions;
}

QString decodeText(const QByteArray& bytes) {
    {
        // Stateless: bytes that end inside a character are an error here, not a
        // character kept back for a next call that never comes (a Latin-1 "café"
        // would lose its "é"). A leading byte-order mark is dropped.
        QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        QString text = utf8(bytes);
        if (!utf8.hasError())
            return text;
    }
    const bool littleEndianMark = bytes.startsWith("\xFF\xFE");
    const bool bigEndianMark = bytes.startsWith("\xFE\xFF");
    if (littleEndianMark || bigEndianMark) {
        QStringDecoder utf16(littleEndianMark ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
                             QStringConverter::Flag::Stateless);
        QString text = utf16(bytes);
        if (!utf16.hasError() && bytes.size() % 2 == 0)
            return ContentFiles::withoutLoneSurrogates(text);
    }
    return QString::fromLatin1(bytes);
}

std::pair<QString, bool> cutToCharacters(const QString& text, qint64 maxChars) {
    const qsizetype kept = Characters::prefixLength(text, maxChars);
    return {text.left(kept), kept < text.size()};
}

namespace {
enum class Format { Pdf, Rtf, PlainText, Unsupported };

// The format by the name's lower-cased extension, and the type found for it.
std::pair<Format, QString> formatOf(const QString& name) {
    const QString extension = QFileInfo(name).suffix().toLower();
    QMimeType type;
    if (!extension.isEmpty()) {
        static const QMimeDatabase database;
        const QMimeType found =
            database.mimeTypeForFile(QStringLiteral("x.") + extension, QMimeDatabase::MatchExtension);
        if (found.isValid() && !found.isDefault())
            type = found;
    }
    if (extension == QLatin1String("pdf") || type.inherits(QStringLiteral("application/pdf")))
        return {Format::Pdf, type.name()};
    if (extension == QLatin1String("rtf") || type.inherits(QStringLiteral("application/rtf")))
        return {Format::Rtf, type.name()};
    if (type.inherits(QStringLiteral("text/plain")) || plainTextExtensions().contains(extension))
        return {Format::PlainText, type.name()};
    return {Format::Unsupported, type.isValid() ? type.name() : extension};
}
} // namespace

ExtractorError openFailure(int errorNumber, const QString& name) {
    const auto [format, type] = formatOf(name);
    switch (format) {
    case Format::Pdf:
        return ExtractorError::readFailed(QStringLiteral("PDFDocument init failed"));
    case Format::Unsupported:
        return ExtractorError::unsupportedFormat(type);
    default:
        return ExtractorError::readFailed(ContentFiles::fileErrorDescription(errorNumber, name));
    }
}

ExtractedContent extract(const QString& path, qint64 maxChars, const QString& typeName) {
    maxChars = std::max<qint64>(0, maxChars);
    struct stat info {};
    if (ContentFiles::statusOf(path, info) == 0) {
        if (!S_ISREG(info.st_mode))
            throw ExtractorError::unsupportedFormat(inodeType(info.st_mode));
        if (info.st_size > maxFileSize)
            throw ExtractorError::tooLarge(info.st_size);
    }
    const auto [format, type] = formatOf(typeName.isEmpty() ? path : typeName);
    switch (format) {
    case Format::Pdf:
        return extractPDF(path, maxChars, typeName);
    case Format::Rtf:
        return extractRTF(path, maxChars);
    case Format::PlainText:
        return extractPlainText(path, maxChars);
    case Format::Unsupported:
        break;
    }
    throw ExtractorError::unsupportedFormat(type);
}

ExtractedContent pdfText(const QByteArray& bytes, qint64 maxChars) {
    if (bytes.size() > maxFileSize)
        throw ExtractorError::tooLarge(bytes.size());
    const std::unique_ptr<PdfDocument> document = pdfModule().load(bytes);
    if (!document)
        throw ExtractorError::readFailed(QStringLiteral("PDFDocument init failed"));
    QString text;
    qint64 characters = 0;
    const int pages = document->numPages();
    for (int index = 0; index < pages; ++index) {
        const std::unique_ptr<PdfDocumentPage> page = document->page(index);
        if (!page)
            continue;
        const QString pageText = page->text();
        if (pageText.isEmpty())
            continue; // a page without text (a scan) adds nothing
        text += pageText;
        characters += Characters::count(pageText);
        if (characters >= maxChars)
            break;
        text += QLatin1Char('\n');
        characters += 1;
    }
    auto [kept, truncated] = cutToCharacters(ContentFiles::withoutLoneSurrogates(text), maxChars);
    ExtractedContent content;
    content.bytesRead = kept.toUtf8().size();
    content.text = std::move(kept);
    content.truncated = truncated;
    return content;
}

ExtractedContent extract(const QUrl& fileUrl, qint64 maxChars) {
    return extract(fileUrl.toLocalFile(), maxChars);
}

} // namespace DocumentExtractor

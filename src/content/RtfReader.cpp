#include "content/RtfReader.h"

#include "content/ContentFiles.h"

#include <QHash>
#include <QSet>
#include <QStringDecoder>

#include <memory>
#include <vector>

namespace RtfReader {
namespace {

// The deepest nesting of groups accepted; deeper input is not a document.
constexpr std::size_t kMaxDepth = 4096;

// Destinations whose text is not part of the body.
const QSet<QByteArray>& skippedDestinations() {
    static const QSet<QByteArray> words = {"fonttbl",     "colortbl",     "stylesheet",
                                           "info",        "pict",         "object",
                                           "objdata",     "header",       "headerl",
                                           "headerr",     "headerf",      "footer",
                                           "footerl",     "footerr",      "footerf",
                                           "footnote",    "listtable",    "listoverridetable",
                                           "revtbl",      "rsidtbl",      "generator",
                                           "xmlnstbl",    "themedata",    "colorschememapping",
                                           "datastore",   "latentstyles", "pgdsctbl",
                                           "fldinst",     "filetbl",      "private",
                                           "pnseclvl",    "xe",           "tc",
                                           "bkmkstart",   "bkmkend",      "atnid",
                                           "atnauthor",   "annotation",   "nonshppict",
                                           "shppict",     "shp",          "mmathPr",
                                           "userprops",   "template",     "ftnsep",
                                           "ftnsepc",     "aftnsep",      "aftnsepc",
                                           "docvar",      "blipuid",      "expandedcolortbl",
                                           "listpicture", "sp",           "fchars",
                                           "lchars"};
    return words;
}

// Control words that stand for one character of text.
const QHash<QByteArray, QString>& characterWords() {
    static const QHash<QByteArray, QString> words = {
        {"par", QStringLiteral("\n")},         {"line", QStringLiteral("\n")},
        {"sect", QStringLiteral("\n")},        {"page", QStringLiteral("\n")},
        {"row", QStringLiteral("\n")},         {"tab", QStringLiteral("\t")},
        {"cell", QStringLiteral("\t")},        {"lquote", QString(QChar(0x2018))},
        {"rquote", QString(QChar(0x2019))},    {"ldblquote", QString(QChar(0x201C))},
        {"rdblquote", QString(QChar(0x201D))}, {"bullet", QString(QChar(0x2022))},
        {"endash", QString(QChar(0x2013))},    {"emdash", QString(QChar(0x2014))},
        {"enspace", QString(QChar(0x2002))},   {"emspace", QString(QChar(0x2003))},
        {"qmspace", QString(QChar(0x2005))},   {"zwj", QString(QChar(0x200D))},
        {"zwnj", QString(QChar(0x200C))},      {"ltrmark", QString(QChar(0x200E))},
        {"rtlmark", QString(QChar(0x200F))}};
    return words;
}

// Windows-1252, the default code page of RTF, for 0x80…0x9F; the other bytes are
// Latin-1. Used when no decoder of the named code page exists.
QChar cp1252(unsigned char byte) {
    static const char16_t high[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                      0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    if (byte >= 0x80 && byte < 0xA0)
        return QChar(high[byte - 0x80]);
    return QChar(byte);
}

struct GroupState {
    bool skip = false;   // inside a destination whose text is dropped
    int unicodeSkip = 1; // \ucN: characters that stand in for each \uN
};

class Reader {
public:
    explicit Reader(const QByteArray& data)
        : p_(data.constData())
        , end_(data.constData() + data.size()) {}

    std::optional<QString> run() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n'))
            ++p_;
        if (end_ - p_ < 5 || std::string_view(p_, 5) != "{\\rtf")
            return std::nullopt;
        while (p_ < end_) {
            const char c = *p_;
            if (c == '{') {
                ++p_;
                flushBytes();
                pendingSkip_ = 0;
                if (stack_.size() >= kMaxDepth)
                    return std::nullopt;
                stack_.push_back(state_);
            } else if (c == '}') {
                ++p_;
                flushBytes();
                pendingSkip_ = 0;
                if (stack_.empty())
                    break; // the document's own group closed: the rest is not RTF
                state_ = stack_.back();
                stack_.pop_back();
                if (stack_.empty())
                    break;
            } else if (c == '\\') {
                ++p_;
                controlSequence();
            } else if (c == '\r' || c == '\n') {
                ++p_;
            } else {
                ++p_;
                if (skipOne())
                    continue;
                if (!state_.skip)
                    bytes_.append(c);
            }
        }
        flushBytes();
        return ContentFiles::withoutLoneSurrogates(out_);
    }

private:
    // A character that follows \uN is one of its stand-ins: dropped.
    bool skipOne() {
        if (pendingSkip_ <= 0)
            return false;
        --pendingSkip_;
        return true;
    }

    void appendText(const QString& text) {
        if (state_.skip)
            return;
        flushBytes();
        out_ += text;
    }

    void flushBytes() {
        if (bytes_.isEmpty())
            return;
        if (decoder_ && decoder_->isValid()) {
            out_ += QString(decoder_->decode(bytes_));
            if (decoder_->hasError())
                decoder_ = std::make_unique<QStringDecoder>(decoderName_.constData());
        } else {
            for (char byte : std::as_const(bytes_))
                out_ += cp1252(static_cast<unsigned char>(byte));
        }
        bytes_.clear();
    }

    void setCodePage(qint64 page) {
        flushBytes();
        decoder_.reset();
        decoderName_.clear();
        if (page == 1252 || page <= 0)
            return;
        if (page == 10000)
            decoderName_ = "macintosh";
        else if (page == 437 || page == 850)
            decoderName_ = "IBM" + QByteArray::number(page);
        else if (page == 932)
            decoderName_ = "Shift_JIS";
        else if (page == 936)
            decoderName_ = "GBK";
        else if (page == 949)
            decoderName_ = "EUC-KR";
        else if (page == 950)
            decoderName_ = "Big5";
        else if (page == 65001)
            decoderName_ = "UTF-8";
        else
            decoderName_ = "windows-" + QByteArray::number(page);
        decoder_ = std::make_unique<QStringDecoder>(decoderName_.constData());
        if (!decoder_->isValid())
            decoder_.reset();
    }

    static bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    static int hexValue(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    void controlSequence() {
        if (p_ >= end_)
            return;
        const char c = *p_;
        if (isLetter(c)) {
            controlWord();
            return;
        }
        ++p_;
        if (c == '\'') {
            // \'hh: one byte in the document's code page. A bad escape is dropped.
            if (end_ - p_ < 2 || hexValue(p_[0]) < 0 || hexValue(p_[1]) < 0)
                return;
            const char byte = static_cast<char>(hexValue(p_[0]) * 16 + hexValue(p_[1]));
            p_ += 2;
            if (skipOne())
                return;
            if (!state_.skip)
                bytes_.append(byte);
            return;
        }
        if (skipOne())
            return;
        switch (c) {
        case '\\':
        case '{':
        case '}':
            appendText(QString(QLatin1Char(c)));
            break;
        case '~':
            appendText(QString(QChar(0x00A0)));
            break;
        case '_':
            appendText(QString(QChar(0x2011)));
            break;
        case '*':
            state_.skip = true; // an ignorable destination: nothing in it is read
            break;
        case '\n':
        case '\r':
            appendText(QStringLiteral("\n"));
            break;
        default:
            break; // \- optional hyphen, \: and \| and unknown symbols
        }
    }

    void controlWord() {
        const char* start = p_;
        while (p_ < end_ && isLetter(*p_) && p_ - start < 32)
            ++p_;
        const QByteArray word(start, p_ - start);
        std::optional<qint64> parameter;
        bool negative = false;
        if (p_ < end_ && *p_ == '-' && p_ + 1 < end_ && isDigit(p_[1])) {
            negative = true;
            ++p_;
        }
        if (p_ < end_ && isDigit(*p_)) {
            qint64 value = 0;
            int digits = 0;
            while (p_ < end_ && isDigit(*p_)) {
                if (digits < 10)
                    value = value * 10 + (*p_ - '0');
                ++digits;
                ++p_;
            }
            parameter = negative ? -value : value;
        }
        if (p_ < end_ && *p_ == ' ')
            ++p_;

        if (word == "bin") {
            // Binary data of the given length follows; it is never text.
            const qint64 length = std::max<qint64>(0, parameter.value_or(0));
            p_ += std::min<qint64>(length, end_ - p_);
            return;
        }
        if (word == "u") {
            if (skipOne() || !parameter)
                return;
            qint64 code = *parameter;
            if (code < 0)
                code += 65536;
            if (code >= 0 && code <= 0xFFFF)
                appendText(QString(QChar(static_cast<char16_t>(code))));
            pendingSkip_ = state_.unicodeSkip;
            return;
        }
        if (skipOne())
            return;
        if (word == "uc") {
            state_.unicodeSkip = static_cast<int>(std::clamp<qint64>(parameter.value_or(1), 0, 16));
            return;
        }
        if (word == "ansicpg") {
            setCodePage(parameter.value_or(1252));
            return;
        }
        if (word == "mac") {
            setCodePage(10000);
            return;
        }
        if (word == "pc") {
            setCodePage(437);
            return;
        }
        if (word == "pca") {
            setCodePage(850);
            return;
        }
        if (skippedDestinations().contains(word)) {
            state_.skip = true;
            return;
        }
        const auto character = characterWords().constFind(word);
        if (character != characterWords().constEnd())
            appendText(*character);
    }

    const char* p_;
    const char* end_;
    std::vector<GroupState> stack_;
    GroupState state_;
    int pendingSkip_ = 0;
    QByteArray bytes_; // bytes of the code page not yet decoded
    QByteArray decoderName_;
    std::unique_ptr<QStringDecoder> decoder_;
    QString out_;
};

} // namespace

std::optional<QString> plainText(const QByteArray& rtf) {
    Reader reader(rtf);
    return reader.run();
}

} // namespace RtfReader

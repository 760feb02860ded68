#include "platform/Characters.h"

#include <algorithm>
#include <iterator>

namespace Characters {
namespace {

#include "platform/GraphemeBreakTable.inc"

constexpr char32_t kHangulFirst = 0xAC00;
constexpr char32_t kHangulLast = 0xD7A3;
constexpr char32_t kHangulTrailingCount = 28;

// A code point's break property and its length (in UTF-16 units or UTF-8 bytes).
struct CodePoint {
    Property property;
    qsizetype length;
};

// The code point of a UTF-16 text at `at`. A lone surrogate is a control: it stands alone.
CodePoint codePointAt(QStringView text, qsizetype at) {
    const char16_t unit = text[at].unicode();
    if (QChar::isSurrogate(unit)) {
        if (QChar::isHighSurrogate(unit) && at + 1 < text.size() && text[at + 1].isLowSurrogate())
            return {propertyOf(QChar::surrogateToUcs4(unit, text[at + 1].unicode())), 2};
        return {Property::Control, 1};
    }
    return {propertyOf(unit), 1};
}

bool isControl(Property property) {
    return property == Property::Control || property == Property::CR || property == Property::LF;
}

// The code point of well-formed UTF-8 at `at` (its property and length); for a byte
// that starts no well-formed sequence, a control one byte long; for a sequence that
// is well-formed so far but unfinished where the bytes end, nothing (length 0): what
// it is, and whether it belongs to the character before, is not known yet.
CodePoint utf8CodePointAt(QByteArrayView bytes, qsizetype at) {
    const auto byte = [&bytes](qsizetype i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return {propertyOf(lead), 1};
    qsizetype length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    char32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return {Property::Control, 1};
    }
    for (qsizetype i = 1; i < length; ++i) {
        if (at + i == bytes.size())
            return {Property::Control, 0};
        const unsigned char next = byte(at + i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return {Property::Control, 1};
        code = (code << 6) | (next & 0x3F);
    }
    return {propertyOf(code), length};
}

} // namespace

QString unicodeVersion() {
    return QStringLiteral(OMBRIX_GRAPHEME_UNICODE_VERSION);
}

Property propertyOf(char32_t code) {
    if (code >= 0x20 && code < 0x7F)
        return Property::Other;
    if (code >= kHangulFirst && code <= kHangulLast)
        return (code - kHangulFirst) % kHangulTrailingCount == 0 ? Property::LV : Property::LVT;
    if (code > 0x10FFFF)
        return Property::Other;
    // The last run that starts at or before the code point.
    const uint32_t key = (static_cast<uint32_t>(code) << 8) | 0xFF;
    const uint32_t* run = std::upper_bound(std::begin(kGraphemeRuns), std::end(kGraphemeRuns), key);
    return static_cast<Property>(*(run - 1) & 0xFF);
}

bool BreakRules::breaksBefore(Property next) {
    if (next == Property::Other && previous_ == Property::Other && started_) {
        // The common case first: nothing joins two plain code points (GB999).
        pictographic_ = joinerAfterPictographic_ = oddRegional_ = false;
        return true;
    }
    bool breaks = true;
    const Property previous = previous_;
    if (!started_) {
        breaks = false;
        started_ = true;
    } else if (previous == Property::CR && next == Property::LF) {
        breaks = false; // GB3
    } else if (isControl(previous) || isControl(next)) {
        breaks = true; // GB4, GB5
    } else if (previous == Property::L && (next == Property::L || next == Property::V ||
                                           next == Property::LV || next == Property::LVT)) {
        breaks = false; // GB6
    } else if ((previous == Property::LV || previous == Property::V) &&
               (next == Property::V || next == Property::T)) {
        breaks = false; // GB7
    } else if ((previous == Property::LVT || previous == Property::T) && next == Property::T) {
        breaks = false; // GB8
    } else if (next == Property::Extend || next == Property::ZWJ || next == Property::SpacingMark) {
        breaks = false; // GB9, GB9a
    } else if (previous == Property::Prepend) {
        breaks = false; // GB9b
    } else if (joinerAfterPictographic_ && next == Property::ExtendedPictographic) {
        breaks = false; // GB11
    } else if (previous == Property::RegionalIndicator && next == Property::RegionalIndicator &&
               oddRegional_) {
        breaks = false; // GB12, GB13
    }

    joinerAfterPictographic_ = next == Property::ZWJ && pictographic_;
    pictographic_ = next == Property::ExtendedPictographic || (pictographic_ && next == Property::Extend);
    oddRegional_ = next == Property::RegionalIndicator && !oddRegional_;
    previous_ = next;
    return breaks;
}

qsizetype Walker::next() {
    const qsizetype size = text_.size();
    if (position_ >= size && !pending_)
        return -1;
    if (!pending_) {
        const CodePoint first = codePointAt(text_, position_);
        rules_.breaksBefore(first.property);
        position_ += first.length;
    }
    pending_ = false;
    while (position_ < size) {
        const CodePoint next = codePointAt(text_, position_);
        if (rules_.breaksBefore(next.property)) {
            pending_ = true;
            const qsizetype end = position_;
            position_ += next.length;
            return end;
        }
        position_ += next.length;
    }
    return size;
}

qsizetype count(QStringView text) {
    Walker walker(text);
    qsizetype characters = 0;
    while (walker.next() >= 0)
        ++characters;
    return characters;
}

qsizetype prefixLength(QStringView text, qsizetype n) {
    if (n <= 0)
        return 0;
    if (text.size() <= n)
        return text.size(); // no more characters than code units
    Walker walker(text);
    qsizetype end = 0;
    for (qsizetype characters = 0; characters < n; ++characters) {
        const qsizetype next = walker.next();
        if (next < 0)
            break;
        end = next;
    }
    return end;
}

QString left(const QString& text, qsizetype n) {
    return text.left(prefixLength(text, n));
}

qsizetype fitLength(QStringView text, qsizetype maxUnits) {
    if (maxUnits <= 0)
        return 0;
    if (text.size() <= maxUnits)
        return text.size();
    Walker walker(text);
    qsizetype end = 0;
    for (qsizetype next = walker.next(); next >= 0 && next <= maxUnits; next = walker.next())
        end = next;
    return end;
}

QString fit(const QString& text, qsizetype maxUnits) {
    return text.left(fitLength(text, maxUnits));
}

qsizetype nextBoundary(QStringView text, qsizetype position) {
    if (position <= 0)
        return 0;
    if (position >= text.size())
        return text.size();
    // Boundaries depend on what comes before (a run of regional indicators pairs from
    // its start): the walk starts at the text's start.
    Walker walker(text);
    qsizetype end = walker.next();
    while (end >= 0 && end < position)
        end = walker.next();
    return end >= 0 ? end : text.size();
}

qsizetype utf8PrefixLength(QByteArrayView bytes, qsizetype maxBytes) {
    if (maxBytes <= 0)
        return 0;
    if (bytes.size() <= maxBytes)
        return bytes.size();
    BreakRules rules;
    qsizetype end = 0;
    for (qsizetype at = 0; at <= maxBytes && at < bytes.size();) {
        const CodePoint next = utf8CodePointAt(bytes, at);
        if (next.length == 0)
            break; // unfinished: no boundary is known before it
        if (rules.breaksBefore(next.property))
            end = at;
        at += next.length;
    }
    return end;
}

} // namespace Characters

#include "app/MessageMarkdown.h"

#include <QHash>
#include <QList>
#include <QRegularExpression>
#include <QStringList>

namespace MessageMarkdown {

namespace {

bool isAsciiPunctuation(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 0x21 && u <= 0x2F) || (u >= 0x3A && u <= 0x40) || (u >= 0x5B && u <= 0x60) ||
           (u >= 0x7B && u <= 0x7E);
}

bool isPunctuation(QChar c) {
    return isAsciiPunctuation(c) || c.isPunct() || c.isSymbol();
}

// The named character references a reply is likely to hold (the typographic and
// Latin ones); any other name stays as written, as an unknown name does.
const QHash<QString, char32_t>& namedReferences() {
    static const QHash<QString, char32_t> names = {
        {QStringLiteral("amp"), U'&'},     {QStringLiteral("lt"), U'<'},
        {QStringLiteral("gt"), U'>'},      {QStringLiteral("quot"), U'"'},
        {QStringLiteral("apos"), U'\''},   {QStringLiteral("nbsp"), 0xA0},
        {QStringLiteral("copy"), 0xA9},    {QStringLiteral("reg"), 0xAE},
        {QStringLiteral("trade"), 0x2122}, {QStringLiteral("hellip"), 0x2026},
        {QStringLiteral("mdash"), 0x2014}, {QStringLiteral("ndash"), 0x2013},
        {QStringLiteral("laquo"), 0xAB},   {QStringLiteral("raquo"), 0xBB},
        {QStringLiteral("lsquo"), 0x2018}, {QStringLiteral("rsquo"), 0x2019},
        {QStringLiteral("ldquo"), 0x201C}, {QStringLiteral("rdquo"), 0x201D},
        {QStringLiteral("euro"), 0x20AC},  {QStringLiteral("pound"), 0xA3},
        {QStringLiteral("yen"), 0xA5},     {QStringLiteral("cent"), 0xA2},
        {QStringLiteral("deg"), 0xB0},     {QStringLiteral("times"), 0xD7},
        {QStringLiteral("divide"), 0xF7},  {QStringLiteral("plusmn"), 0xB1},
        {QStringLiteral("middot"), 0xB7},  {QStringLiteral("bull"), 0x2022},
        {QStringLiteral("sect"), 0xA7},    {QStringLiteral("para"), 0xB6},
        {QStringLiteral("larr"), 0x2190},  {QStringLiteral("rarr"), 0x2192},
        {QStringLiteral("uarr"), 0x2191},  {QStringLiteral("darr"), 0x2193},
        {QStringLiteral("harr"), 0x2194},  {QStringLiteral("le"), 0x2264},
        {QStringLiteral("ge"), 0x2265},    {QStringLiteral("ne"), 0x2260},
        {QStringLiteral("frac12"), 0xBD},  {QStringLiteral("frac14"), 0xBC},
        {QStringLiteral("frac34"), 0xBE},  {QStringLiteral("iexcl"), 0xA1},
        {QStringLiteral("iquest"), 0xBF},  {QStringLiteral("agrave"), 0xE0},
        {QStringLiteral("aacute"), 0xE1},  {QStringLiteral("acirc"), 0xE2},
        {QStringLiteral("auml"), 0xE4},    {QStringLiteral("ccedil"), 0xE7},
        {QStringLiteral("egrave"), 0xE8},  {QStringLiteral("eacute"), 0xE9},
        {QStringLiteral("ecirc"), 0xEA},   {QStringLiteral("euml"), 0xEB},
        {QStringLiteral("icirc"), 0xEE},   {QStringLiteral("iuml"), 0xEF},
        {QStringLiteral("ocirc"), 0xF4},   {QStringLiteral("ouml"), 0xF6},
        {QStringLiteral("ugrave"), 0xF9},  {QStringLiteral("ucirc"), 0xFB},
        {QStringLiteral("uuml"), 0xFC},    {QStringLiteral("oelig"), 0x153},
        {QStringLiteral("Agrave"), 0xC0},  {QStringLiteral("Eacute"), 0xC9},
        {QStringLiteral("Egrave"), 0xC8},  {QStringLiteral("Ecirc"), 0xCA},
        {QStringLiteral("Ccedil"), 0xC7},  {QStringLiteral("OElig"), 0x152},
        {QStringLiteral("szlig"), 0xDF},   {QStringLiteral("ntilde"), 0xF1},
    };
    return names;
}

// A character reference at `start` (the "&"): "&name;", "&#digits;" or
// "&#xhex;". Its text and length, or nothing when there is none (the "&" is then
// shown as it is). A numeric reference to no character gives U+FFFD.
std::optional<std::pair<QString, int>> characterReference(const QString& line, int start) {
    int i = start + 1;
    if (i < line.size() && line[i] == QLatin1Char('#')) {
        ++i;
        const bool hex = i < line.size() && (line[i] == QLatin1Char('x') || line[i] == QLatin1Char('X'));
        if (hex)
            ++i;
        const int digitsStart = i;
        const int maxDigits = hex ? 6 : 7;
        char32_t value = 0;
        while (i < line.size() && i - digitsStart < maxDigits) {
            const char16_t u = line[i].unicode();
            int digit = -1;
            if (u >= u'0' && u <= u'9')
                digit = u - u'0';
            else if (hex && u >= u'a' && u <= u'f')
                digit = u - u'a' + 10;
            else if (hex && u >= u'A' && u <= u'F')
                digit = u - u'A' + 10;
            if (digit < 0)
                break;
            value = value * (hex ? 16 : 10) + static_cast<char32_t>(digit);
            ++i;
        }
        if (i == digitsStart || i >= line.size() || line[i] != QLatin1Char(';'))
            return std::nullopt;
        if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            value = 0xFFFD;
        return std::pair{QString::fromUcs4(&value, 1), i + 1 - start};
    }
    const int nameStart = i;
    while (i < line.size() && i - nameStart <= 32 && line[i].isLetterOrNumber() && line[i].unicode() < 0x80)
        ++i;
    if (i == nameStart || i >= line.size() || line[i] != QLatin1Char(';'))
        return std::nullopt;
    const auto found = namedReferences().constFind(line.mid(nameStart, i - nameStart));
    if (found == namedReferences().cend())
        return std::nullopt;
    const char32_t value = *found;
    return std::pair{QString::fromUcs4(&value, 1), i + 1 - start};
}

// The text with its character references decoded (a link's target).
QString decodedReferences(const QString& text) {
    if (!text.contains(QLatin1Char('&')))
        return text;
    QString out;
    for (int i = 0; i < text.size();) {
        if (text[i] == QLatin1Char('&')) {
            if (const auto reference = characterReference(text, i)) {
                out += reference->first;
                i += reference->second;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

// A piece of the line being rendered: finished rich text, or a run of emphasis
// signs that may still open or close emphasis.
struct Node {
    Node() = default;
    explicit Node(QString text)
        : html(std::move(text)) {}

    QString html;
    bool delimiter = false;
    QChar sign;
    int count = 0;
    bool canOpen = false;
    bool canClose = false;
};

void appendText(QList<Node>& nodes, const QString& html) {
    if (!nodes.isEmpty() && !nodes.last().delimiter)
        nodes.last().html += html;
    else
        nodes.append(Node{html});
}

QString literal(const Node& node) {
    return node.delimiter ? QString(node.count, node.sign) : node.html;
}

// Pairs emphasis signs, innermost first, the way inline markdown does (without
// its rule of three).
QString resolveEmphasis(QList<Node> nodes) {
    for (int closer = 0; closer < nodes.size(); ++closer) {
        if (!nodes[closer].delimiter || !nodes[closer].canClose)
            continue;
        bool matched = true;
        while (matched && nodes[closer].count > 0) {
            matched = false;
            for (int opener = closer - 1; opener >= 0; --opener) {
                const Node& open = nodes[opener];
                if (!open.delimiter || !open.canOpen || open.sign != nodes[closer].sign || open.count == 0)
                    continue;
                // Strikethrough: runs of one or two tildes, closed by a run of the same length.
                const bool strike = open.sign == QLatin1Char('~');
                if (strike && open.count != nodes[closer].count)
                    continue;
                const int use = strike ? open.count : (open.count >= 2 && nodes[closer].count >= 2) ? 2 : 1;
                QString inner;
                for (int i = opener + 1; i < closer; ++i)
                    inner += literal(nodes[i]);
                const QString tag = strike     ? QStringLiteral("s")
                                    : use == 2 ? QStringLiteral("b")
                                               : QStringLiteral("i");
                Node wrapped{QLatin1Char('<') + tag + QLatin1Char('>') + inner + QStringLiteral("</") + tag +
                             QLatin1Char('>')};
                nodes.remove(opener + 1, closer - opener - 1);
                closer = opener + 1;
                nodes.insert(closer, wrapped);
                ++closer;
                nodes[opener].count -= use;
                nodes[closer].count -= use;
                if (nodes[opener].count == 0) {
                    nodes.remove(opener);
                    --closer;
                }
                matched = true;
                break;
            }
        }
        if (nodes[closer].count == 0) {
            nodes.remove(closer);
            --closer;
        }
    }
    QString html;
    for (const Node& node : nodes)
        html += literal(node);
    return html;
}

// The end of a code span that opens at `start` with `ticks` backticks: the index
// of the closing run of exactly as many, or -1.
int codeSpanEnd(const QString& line, int start, int ticks) {
    int i = start;
    while (i < line.size()) {
        if (line[i] != QLatin1Char('`')) {
            ++i;
            continue;
        }
        int run = 0;
        while (i + run < line.size() && line[i + run] == QLatin1Char('`'))
            ++run;
        if (run == ticks)
            return i;
        i += run;
    }
    return -1;
}

struct LinkParts {
    QString text;
    QString target;
    int end = 0; // index after the closing parenthesis
};

// For each "[" of the line, the index of its matching "]" (-1 when none), in one
// pass, so that looking for a link costs nothing per opening bracket.
QList<int> matchingBrackets(const QString& line) {
    QList<int> closing(line.size(), -1);
    QList<int> open;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c == QLatin1Char('\\')) {
            ++i;
        } else if (c == QLatin1Char('[')) {
            open.append(i);
        } else if (c == QLatin1Char(']') && !open.isEmpty()) {
            closing[open.takeLast()] = i;
        }
    }
    return closing;
}

// [text](target "title") starting at `start` (the "["), whose "]" is at `close`.
// A target or title longer than kMaxLinkPart is no link.
std::optional<LinkParts> parseLink(const QString& line, int start, int close) {
    constexpr int kMaxLinkPart = 4096;
    if (close < 0 || close + 1 >= line.size() || line[close + 1] != QLatin1Char('('))
        return std::nullopt;
    int i = close + 2;
    while (i < line.size() && line[i] == QLatin1Char(' '))
        ++i;
    QString target;
    if (i < line.size() && line[i] == QLatin1Char('<')) {
        ++i;
        while (i < line.size() && line[i] != QLatin1Char('>')) {
            if (target.size() > kMaxLinkPart)
                return std::nullopt;
            if (line[i] == QLatin1Char('<'))
                return std::nullopt;
            if (line[i] == QLatin1Char('\\') && i + 1 < line.size() && isAsciiPunctuation(line[i + 1]))
                ++i;
            target += line[i++];
        }
        if (i >= line.size())
            return std::nullopt;
        ++i;
    } else {
        int parens = 0;
        while (i < line.size()) {
            const QChar c = line[i];
            if (c.isSpace() || c.unicode() < 0x20)
                break;
            if (target.size() > kMaxLinkPart)
                return std::nullopt;
            if (c == QLatin1Char('\\') && i + 1 < line.size() && isAsciiPunctuation(line[i + 1])) {
                target += line[i + 1];
                i += 2;
                continue;
            }
            if (c == QLatin1Char('('))
                ++parens;
            if (c == QLatin1Char(')')) {
                if (parens == 0)
                    break;
                --parens;
            }
            target += c;
            ++i;
        }
    }
    while (i < line.size() && line[i] == QLatin1Char(' '))
        ++i;
    if (i < line.size() && (line[i] == QLatin1Char('"') || line[i] == QLatin1Char('\''))) {
        const QChar quote = line[i];
        const qsizetype found = QStringView(line).mid(i + 1, kMaxLinkPart).indexOf(quote);
        if (found < 0)
            return std::nullopt;
        i += static_cast<int>(found) + 2;
        while (i < line.size() && line[i] == QLatin1Char(' '))
            ++i;
    }
    if (i >= line.size() || line[i] != QLatin1Char(')'))
        return std::nullopt;
    return LinkParts{line.mid(start + 1, close - start - 1), decodedReferences(target), i + 1};
}

QString anchor(const QString& target, const QString& innerHtml) {
    return QStringLiteral("<a href=\"") + escaped(target) + QStringLiteral("\">") + innerHtml +
           QStringLiteral("</a>");
}

std::optional<QString> render(const QString& line, bool allowLinks, int& delimiterBudget) {
    const QList<int> closing = allowLinks ? matchingBrackets(line) : QList<int>();
    static const QRegularExpression autolink(
        QStringLiteral("<([A-Za-z][A-Za-z0-9+.\\-]{1,31}:[^<>\\x00-\\x20]*)>"));
    QList<Node> nodes;
    int i = 0;
    while (i < line.size()) {
        const QChar c = line[i];
        if (c == QLatin1Char('\\') && i + 1 < line.size() && isAsciiPunctuation(line[i + 1])) {
            appendText(nodes, escaped(QString(line[i + 1])));
            i += 2;
            continue;
        }
        if (c == QLatin1Char('`')) {
            int ticks = 0;
            while (i + ticks < line.size() && line[i + ticks] == QLatin1Char('`'))
                ++ticks;
            const int end = codeSpanEnd(line, i + ticks, ticks);
            if (end < 0) {
                appendText(nodes, QString(ticks, QLatin1Char('`')));
                i += ticks;
                continue;
            }
            QString code = line.mid(i + ticks, end - i - ticks);
            if (code.size() >= 2 && code.startsWith(QLatin1Char(' ')) && code.endsWith(QLatin1Char(' ')) &&
                !code.trimmed().isEmpty())
                code = code.mid(1, code.size() - 2);
            appendText(nodes, QStringLiteral("<code>") + escaped(code) + QStringLiteral("</code>"));
            i = end + ticks;
            continue;
        }
        if (c == QLatin1Char('&')) {
            if (const auto reference = characterReference(line, i)) {
                appendText(nodes, escaped(reference->first));
                i += reference->second;
                continue;
            }
        }
        if (c == QLatin1Char('*') || c == QLatin1Char('_') || c == QLatin1Char('~')) {
            int run = 0;
            while (i + run < line.size() && line[i + run] == c)
                ++run;
            if (--delimiterBudget < 0)
                return std::nullopt;
            if (c == QLatin1Char('~') && run > 2) { // three or more tildes strike nothing
                appendText(nodes, QString(run, c));
                i += run;
                continue;
            }
            const QChar before = i > 0 ? line[i - 1] : QLatin1Char(' ');
            const QChar after = i + run < line.size() ? line[i + run] : QLatin1Char(' ');
            const bool left =
                !after.isSpace() && (!isPunctuation(after) || before.isSpace() || isPunctuation(before));
            const bool right =
                !before.isSpace() && (!isPunctuation(before) || after.isSpace() || isPunctuation(after));
            Node node;
            node.delimiter = true;
            node.sign = c;
            node.count = run;
            if (c != QLatin1Char('_')) {
                node.canOpen = left;
                node.canClose = right;
            } else {
                node.canOpen = left && (!right || isPunctuation(before));
                node.canClose = right && (!left || isPunctuation(after));
            }
            nodes.append(node);
            i += run;
            continue;
        }
        if (c == QLatin1Char('!') && i + 1 < line.size() && line[i + 1] == QLatin1Char('[')) {
            // An image shows as its alt text: nothing is fetched, and nothing is a link.
            if (--delimiterBudget < 0)
                return std::nullopt;
            const QList<int> bracket = allowLinks ? QList<int>() : matchingBrackets(line);
            const int close = allowLinks ? closing[i + 1] : bracket[i + 1];
            if (const std::optional<LinkParts> image = parseLink(line, i + 1, close)) {
                const std::optional<QString> alt = render(image->text, false, delimiterBudget);
                if (!alt)
                    return std::nullopt;
                appendText(nodes, *alt);
                i = image->end;
                continue;
            }
        }
        if (c == QLatin1Char('[') && allowLinks) {
            if (--delimiterBudget < 0) // each attempt reads its target
                return std::nullopt;
            if (const std::optional<LinkParts> link = parseLink(line, i, closing[i])) {
                const std::optional<QString> inner = render(link->text, false, delimiterBudget);
                if (!inner)
                    return std::nullopt;
                appendText(nodes, anchor(link->target, *inner));
                i = link->end;
                continue;
            }
        }
        if (c == QLatin1Char('<') && allowLinks) {
            const QRegularExpressionMatch match = autolink.match(
                line, i, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
            if (match.hasMatch()) {
                appendText(nodes, anchor(match.captured(1), escaped(match.captured(1))));
                i += static_cast<int>(match.capturedLength(0));
                continue;
            }
        }
        appendText(nodes, escaped(QString(c)));
        ++i;
    }
    return resolveEmphasis(std::move(nodes));
}

// A carriage return before a line feed is part of that one break (rich text would
// show it as a second one).
QString withPlainBreaks(const QString& content) {
    if (!content.contains(QLatin1Char('\r')))
        return content;
    return QString(content).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QString wrapped(const QString& html) {
    return QStringLiteral("<div style=\"white-space: pre-wrap\">") + html + QStringLiteral("</div>");
}

} // namespace

QString escaped(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&':
            out += QStringLiteral("&amp;");
            break;
        case '<':
            out += QStringLiteral("&lt;");
            break;
        case '>':
            out += QStringLiteral("&gt;");
            break;
        case '"':
            out += QStringLiteral("&quot;");
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::optional<QString> inlineHtml(const QString& line) {
    if (line.size() > kMaxLineLength)
        return std::nullopt;
    int budget = kMaxDelimiters;
    return render(line, true, budget);
}

QString userHtml(const QString& content) {
    return wrapped(escaped(withPlainBreaks(content)).replace(QLatin1Char('\n'), QStringLiteral("<br/>")));
}

QString assistantHtml(const QString& content) {
    const QStringList lines = withPlainBreaks(content).split(QLatin1Char('\n'));
    QString html;
    for (int i = 0; i < lines.size(); ++i) {
        if (i > 0)
            html += QStringLiteral("<br/>");
        const std::optional<QString> rendered = inlineHtml(lines[i]);
        html += rendered ? *rendered : escaped(lines[i]);
    }
    return wrapped(html);
}

} // namespace MessageMarkdown

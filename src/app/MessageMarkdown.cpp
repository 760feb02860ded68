#include "app/MessageMarkdown.h"

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
                const int use = (open.count >= 2 && nodes[closer].count >= 2) ? 2 : 1;
                QString inner;
                for (int i = opener + 1; i < closer; ++i)
                    inner += literal(nodes[i]);
                const QString tag = use == 2 ? QStringLiteral("b") : QStringLiteral("i");
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
    return LinkParts{line.mid(start + 1, close - start - 1), target, i + 1};
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
        if (c == QLatin1Char('*') || c == QLatin1Char('_')) {
            int run = 0;
            while (i + run < line.size() && line[i + run] == c)
                ++run;
            if (--delimiterBudget < 0)
                return std::nullopt;
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
            if (c == QLatin1Char('*')) {
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
    return wrapped(escaped(content).replace(QLatin1Char('\n'), QStringLiteral("<br/>")));
}

QString assistantHtml(const QString& content) {
    const QStringList lines = content.split(QLatin1Char('\n'));
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

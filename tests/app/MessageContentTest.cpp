// What a bubble shows and what its links do: inline markdown over escaped text,
// line by line, and the link router (web and mail links to the desktop, the
// program's own document and photo links, everything else swallowed).
#include "app/LinkRouter.h"
#include "app/MessageMarkdown.h"
#include "bridge/BridgeService.h"
#include "support/RecordingDesktopOpener.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTextDocument>

#include <gtest/gtest.h>

namespace {

QString plainTextOf(const QString& html) {
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

struct RenderCase {
    QString content;
    QString plain;               // what the reader sees
    QStringList htmlHas;         // pieces of markup the line must produce
    QStringList htmlHasNot = {}; // and must not
};

TEST(MessageMarkdown, AssistantLinesRenderInlineMarkdownOverEscapedText) {
    const QList<RenderCase> cases = {
        {"un\n\ndeux", "un\n\ndeux", {"un<br/><br/>deux"}},
        {"fin\n", "fin\n", {"fin<br/>"}},
        {"un\r\ndeux\r\n\r\n**trois**", "un\ndeux\n\ntrois", {"<b>trois</b>"}}, // CRLF is one break
        {"# Titre\nVoici du **gras**", "# Titre\nVoici du gras", {"# Titre", "<b>gras</b>"}},
        {"- liste\n> citation\n```", "- liste\n> citation\n```", {"- liste", "&gt; citation"}},
        {"*un* _deux_ __trois__", "un deux trois", {"<i>un</i>", "<i>deux</i>", "<b>trois</b>"}},
        {"***fort et penché***", "fort et penché", {"<b>", "<i>"}},
        {"snake_case_name", "snake_case_name", {}, {"<i>"}},
        {"**pas fermé", "**pas fermé", {}, {"<b>"}},
        {"`<b>x</b>` et `` a`b ``",
         "<b>x</b> et a`b",
         {"<code>&lt;b&gt;x&lt;/b&gt;</code>", "<code>a`b</code>"}},
        {"<script>alert(1)</script>", "<script>alert(1)</script>", {"&lt;script&gt;"}, {"<script"}},
        {"<think>je réfléchis</think>ok", "<think>je réfléchis</think>ok", {"&lt;think&gt;"}, {"<think"}},
        {"[Rapport.pdf](ombrix://local_file/open/AB-12) — 3 KB",
         "Rapport.pdf — 3 KB",
         {"<a href=\"ombrix://local_file/open/AB-12\">Rapport.pdf</a>"}},
        {"[**Photo**](ombrix://local_photo/view/A%2FB)",
         "Photo",
         {"<a href=\"ombrix://local_photo/view/A%2FB\"><b>Photo</b></a>"}},
        {"[x](http://a.b/\"onmouseover=\"y)", "x", {"href=\"http://a.b/&quot;onmouseover=&quot;y\""}},
        {"voir <https://exemple.fr/a?b=1&c=2>",
         "voir https://exemple.fr/a?b=1&c=2",
         {"<a href=\"https://exemple.fr/a?b=1&amp;c=2\">"}},
        {"[pas un lien] (http://x)", "[pas un lien] (http://x)", {}, {"<a "}},
        {"\\*littéral\\* & <", "*littéral* & <", {"&amp; &lt;"}, {"<i>"}},
        {"  deux  espaces", "  deux  espaces", {}},
        {"", "", {}},
        // Character references are decoded, then escaped again.
        {"A &amp; B &lt;b&gt; &eacute;t&#233; &#x1F600; &#0; &nope; & seul",
         "A & B <b> été 😀 \uFFFD &nope; & seul",
         {"A &amp; B &lt;b&gt;"},
         {"<b>"}},
        {"`&amp;` reste", "&amp; reste", {"<code>&amp;amp;</code>"}},
        {"~~barré~~ ~aussi~ ~~pas~ ~~~non~~~",
         "barré aussi ~~pas~ ~~~non~~~",
         {"<s>barré</s>", "<s>aussi</s>"}},
        {"![un chat](https://x.fr/chat.png) et [![logo](l.png)](https://x.fr)",
         "un chat et logo",
         {"<a href=\"https://x.fr\">logo</a>"},
         {"<img", "chat.png"}},
        {"[lien](https://x.fr/?a=1&amp;b=2)", "lien", {"href=\"https://x.fr/?a=1&amp;b=2\""}},
        {"![<script>](javascript:x)", "<script>", {"&lt;script&gt;"}, {"<script", "<a "}},
    };
    for (const RenderCase& c : cases) {
        const QString html = MessageMarkdown::assistantHtml(c.content);
        EXPECT_EQ(plainTextOf(html), c.plain) << c.content.toStdString();
        for (const QString& piece : c.htmlHas)
            EXPECT_TRUE(html.contains(piece)) << c.content.toStdString() << " → " << html.toStdString();
        for (const QString& piece : c.htmlHasNot)
            EXPECT_FALSE(html.contains(piece)) << c.content.toStdString() << " → " << html.toStdString();
    }
}

TEST(MessageMarkdown, UserTextAndMalformedLinesStayPlain) {
    const QString user = MessageMarkdown::userHtml(QStringLiteral("un **mot** https://a.b <i>\nligne"));
    EXPECT_EQ(plainTextOf(user), "un **mot** https://a.b <i>\nligne");
    EXPECT_FALSE(user.contains("<a ") || user.contains("<b>") || user.contains("<i>"));
    EXPECT_EQ(plainTextOf(MessageMarkdown::userHtml(QStringLiteral("un\r\ndeux"))), "un\ndeux");

    // Lines past the bounds fall back to plain text; the other lines still render.
    const QString longLine(MessageMarkdown::kMaxLineLength + 1, QLatin1Char('a'));
    QString manySigns;
    for (int i = 0; i < MessageMarkdown::kMaxDelimiters + 1; ++i)
        manySigns += QStringLiteral("*a");
    QString manyBrackets(MessageMarkdown::kMaxLineLength, QLatin1Char('['));
    for (const QString& line : {longLine, manySigns, manyBrackets}) {
        EXPECT_FALSE(MessageMarkdown::inlineHtml(line).has_value());
        const QString html = MessageMarkdown::assistantHtml(line + QStringLiteral("\n**gras**"));
        EXPECT_EQ(plainTextOf(html), line + QStringLiteral("\ngras"));
        EXPECT_TRUE(html.contains("<b>gras</b>"));
    }
}

TEST(LinkRouter, Decisions) {
    using Kind = LinkRouter::Decision::Kind;
    struct Case {
        QString href;
        Kind kind;
        QString id = QString();
    };
    const QList<Case> cases = {
        {"https://exemple.fr/page", Kind::OpenSystem},
        {"HTTP://exemple.fr", Kind::OpenSystem},
        {"mailto:moi@exemple.fr", Kind::OpenSystem},
        {"file:///etc/passwd", Kind::Swallow},
        {"javascript:alert(1)", Kind::Swallow},
        {"smb://serveur/partage", Kind::Swallow},
        {"x-custom-handler:run", Kind::Swallow},
        {"relative/page.html", Kind::Swallow},
        {"", Kind::Swallow},
        {"ombrix://local_file/open/AB-12", Kind::OpenFile, "AB-12"},
        {"ombrix://local_file/open/AB-12/extra", Kind::OpenFile, "AB-12"},
        {"ombrix://local_file/open", Kind::Swallow},
        {"ombrix://local_file/open/", Kind::Swallow},
        {"ombrix://local_file/view/AB-12", Kind::Swallow},
        {"ombrix://local_photo/view/ABC%2FL0%2F001", Kind::OpenPhoto, "ABC/L0/001"},
        {"ombrix://local_photo/open/ABC", Kind::Swallow},
        {"ombrix://desktop/corvane_panel?section=activity", Kind::Swallow},
        {"ombrix://local/setup", Kind::Swallow},
        {"ombrix:local_file/open/AB-12", Kind::Swallow},
        {"OMBRIX://local_file/open/AB-12", Kind::Swallow},
        {"ombrix://LOCAL_FILE/open/AB-12", Kind::Swallow}, // hosts compare as written
        {"ombrix://Local_Photo/view/ABC", Kind::Swallow},
    };
    for (const Case& c : cases) {
        const LinkRouter::Decision decision = LinkRouter::decide(c.href);
        EXPECT_EQ(decision.kind, c.kind) << c.href.toStdString();
        EXPECT_EQ(decision.id, c.id) << c.href.toStdString();
    }
    EXPECT_EQ(LinkRouter::decide("https://exemple.fr/page").url, QUrl("https://exemple.fr/page"));
}

TEST(LinkRouter, OpensKnownDocumentsAndNeverRunsOne) {
    BridgeService::resetSharedForTesting();
    const auto opener = RecordingDesktopOpener::install();
    QList<QUrl> systemOpened;
    LinkRouter::setSystemOpener([&](const QUrl& url) { systemOpened << url; });

    const QString folder = QDir::homePath() + QStringLiteral("/Partagé");
    QDir().mkpath(folder);
    auto write = [&](const QString& name, const QByteArray& bytes, bool executable) {
        QFile file(folder + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        if (executable)
            file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
        return file.fileName();
    };
    BridgeIDCache& ids = BridgeService::shared().idCache();
    ids.put("NOTE", write("notes.txt", "bonjour", false));
    ids.put("SCRIPT", write("lancer.sh", "#!/bin/sh\necho hop\n", true));
    ids.put("ENTRY", write("app.desktop", "[Desktop Entry]\nType=Application\nExec=true\n", false));

    runTask(LinkRouter::open("ombrix://local_file/open/NOTE"));
    runTask(LinkRouter::open("ombrix://local_file/open/SCRIPT"));
    runTask(LinkRouter::open("ombrix://local_file/open/ENTRY"));
    runTask(LinkRouter::open("ombrix://local_file/open/UNKNOWN"));
    EXPECT_EQ(opener->openedDocuments, QStringList({folder + "/notes.txt", folder, folder}));
    EXPECT_TRUE(opener->launchedApplications.isEmpty());

    runTask(LinkRouter::open("https://exemple.fr"));
    runTask(LinkRouter::open("file:///etc/passwd"));
    runTask(LinkRouter::open("ombrix://desktop/corvane_panel"));
    EXPECT_EQ(systemOpened, QList<QUrl>({QUrl("https://exemple.fr")}));
    EXPECT_EQ(opener->openedDocuments.size(), 3);
    LinkRouter::setSystemOpener(nullptr);
    BridgeService::resetSharedForTesting();
}

} // namespace

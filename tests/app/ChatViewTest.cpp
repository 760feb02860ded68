// The chat screen's widgets: keys and buttons of the input bar, the bubbles kept in
// step with the conversation, the typing indicator, link clicks, and a rendering of
// the screen for review.
#include "app/widgets/ChatView.h"
#include "app/ChatViewModel.h"
#include "app/CloudCatalog.h"
#include "app/LinkRouter.h"
#include "app/widgets/ChatInput.h"
#include "app/widgets/MessageBubble.h"
#include "app/widgets/MessageList.h"
#include "app/widgets/ProviderPicker.h"
#include "bridge/BridgeService.h"
#include "session/AppSession.h"
#include "session/OmbrixHTTP.h"
#include "support/TestSupport.h"

#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

ChatMessage message(ChatMessage::Role role, const QString& text) {
    return ChatMessage(role, text);
}

class ChatViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend.route("GET", QStringLiteral("/api/v1/providers.json"), ScriptedResponse::json(200, "[]"));
        installMemoryDefaults();
        installMemorySecrets();
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
        HttpSession::trustExtraRootsForTesting(ScriptedHttpServer::certPath(QStringLiteral("ca.pem")));
    }
    void TearDown() override {
        view.reset();
        AppSession::resetSharedForTesting();
    }
    ChatView& show(AppSession& session) {
        view = std::make_unique<ChatView>(session, catalog);
        view->resize(380, 520);
        view->show();
        view->activateWindow();
        QApplication::setActiveWindow(view.get());
        EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        return *view;
    }

    FakeBackend backend;
    CloudCatalog catalog;
    std::unique_ptr<ChatView> view;
};

TEST_F(ChatViewTest, InputBarKeysAndButtons) {
    AppSession& session = AppSession::shared();
    ChatView& chat = show(session);
    ChatInput* input = chat.input();
    EXPECT_TRUE(input->hasFocus());
    EXPECT_TRUE(chat.showsEmptyConversation());
    EXPECT_FALSE(chat.newConversationButton()->isEnabled());
    EXPECT_FALSE(chat.sendButton()->isEnabled());
    EXPECT_EQ(input->placeholderText(), "Pose ta question…");
    EXPECT_EQ(chat.newConversationButton()->toolTip(), "Nouvelle conversation");

    // Blank text sends nothing and stays; Shift+Return adds a line; the field grows to four lines.
    QTest::keyClicks(input, "   ");
    QTest::keyClick(input, Qt::Key_Return);
    EXPECT_EQ(input->draft(), "   ");
    EXPECT_TRUE(session.messages().isEmpty());
    input->clear();
    QTest::keyClicks(input, "un");
    for (const char* line : {"deux", "trois", "quatre", "cinq"}) {
        QTest::keyClick(input, Qt::Key_Return, Qt::ShiftModifier);
        QTest::keyClicks(input, line);
    }
    EXPECT_EQ(input->draft(), "un\ndeux\ntrois\nquatre\ncinq");
    EXPECT_EQ(input->visibleLines(), ChatInput::kMaxLines);
    EXPECT_TRUE(chat.sendButton()->isEnabled());

    // While a reply is pending, Return and Control+Return leave the text alone.
    session.setIsStreaming(true);
    EXPECT_FALSE(chat.sendButton()->isEnabled());
    ASSERT_NE(chat.typingIndicator(), nullptr);
    EXPECT_EQ(chat.typingIndicator()->phase(), 0);
    QTest::keyClick(input, Qt::Key_Return);
    QTest::keyClick(input, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(input->draft(), "un\ndeux\ntrois\nquatre\ncinq");
    session.setIsStreaming(false);
    EXPECT_EQ(chat.typingIndicator(), nullptr);

    // Control+Return sends (signed out: the backend road fails at once, shown as a reply).
    QTest::keyClick(input, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(input->draft(), "");
    EXPECT_EQ(input->visibleLines(), 1);
    ASSERT_TRUE(spinUntil([&] { return chat.viewModel().runningTurns() == 0; }));
    ASSERT_EQ(chat.messageList()->messages()->rowCount(), 2);
    EXPECT_FALSE(chat.showsEmptyConversation());
    EXPECT_TRUE(session.messages().last().content.startsWith(QStringLiteral("\u26A0\uFE0F ")));
    EXPECT_TRUE(chat.newConversationButton()->isEnabled());

    // Control+N clears the conversation and gives the field its focus back.
    chat.sendButton()->setFocus();
    QTest::keyClick(chat.sendButton(), Qt::Key_N, Qt::ControlModifier);
    EXPECT_TRUE(session.messages().isEmpty());
    EXPECT_EQ(chat.messageList()->messages()->rowCount(), 0);
    EXPECT_TRUE(chat.showsEmptyConversation());
    EXPECT_FALSE(chat.newConversationButton()->isEnabled());
    EXPECT_TRUE(input->hasFocus());
}

TEST_F(ChatViewTest, BubblesFollowTheConversation) {
    AppSession& session = AppSession::shared();
    QList<ChatMessage> messages;
    for (int i = 0; i < 250; ++i)
        messages << message(i % 2 ? ChatMessage::Role::Assistant : ChatMessage::Role::User,
                            QStringLiteral("message %1").arg(i));
    session.setMessages(messages);
    ChatView& chat = show(session);
    ChatMessageList* list = chat.messageList();
    ChatMessagesModel* rows = list->messages();
    EXPECT_EQ(rows->rowCount(), 250);
    QScrollBar* bar = list->verticalScrollBar();
    ASSERT_TRUE(spinUntil([&] { return bar->maximum() > 0; }));
    EXPECT_EQ(bar->value(), 0); // the first showing does not scroll

    // Streamed text changes the last bubble in place; a new message scrolls to the end.
    const auto htmlOf = [&](int row) { return list->delegate()->htmlFor(rows->index(row)); };
    messages.last().content = QStringLiteral("**fin**");
    session.setMessages(messages);
    EXPECT_EQ(rows->rowCount(), 250);
    EXPECT_TRUE(htmlOf(249).contains("<b>fin</b>"));
    spinFor(50);
    EXPECT_EQ(bar->value(), 0);
    messages << message(ChatMessage::Role::User, QStringLiteral("**pas gras** https://exemple.fr"));
    session.setMessages(messages);
    EXPECT_EQ(rows->rowCount(), 251);
    EXPECT_FALSE(htmlOf(250).contains("<b>"));
    EXPECT_FALSE(htmlOf(250).contains("<a "));
    const bool atEnd = spinUntil([&] { return bar->maximum() > 0 && bar->value() == bar->maximum(); });
    EXPECT_TRUE(atEnd) << bar->value() << " of " << bar->maximum();
    spinFor(450); // the scroll's animation ends there too
    EXPECT_EQ(bar->value(), bar->maximum());

    // Text growing in the last bubble neither scrolls by itself nor loses the place.
    ASSERT_TRUE(spinUntil([&] { return list->layoutMode() == QListView::SinglePass; }));
    const int before = bar->value();
    messages.last().content += QStringLiteral("\nligne\nligne\nligne\nligne");
    session.setMessages(messages);
    spinFor(100);
    EXPECT_EQ(bar->value(), before);
    EXPECT_GT(bar->maximum(), before);

    // The bubble under the mouse gets a selectable label.
    const QRect lastRow = list->visualRect(rows->index(250));
    const QPointF inside = list->delegate()->bubbleRect(lastRow, rows->index(250)).center();
    QMouseEvent move(QEvent::MouseMove, inside, list->viewport()->mapToGlobal(inside), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &move);
    EXPECT_NE(list->indexWidget(rows->index(250)), nullptr);

    // User bubbles sit on the right, assistant bubbles on the left.
    const QRect row = list->visualRect(rows->index(250));
    EXPECT_EQ(list->delegate()->bubbleRect(row, rows->index(250)).right(), row.right());
    EXPECT_EQ(list->delegate()->bubbleRect(row, rows->index(249)).left(), row.left());
    EXPECT_LE(list->delegate()->bubbleRect(row, rows->index(249)).width(), 280);

    // A click on a link in the bubble under the mouse goes through the router.
    QList<QUrl> opened;
    LinkRouter::setSystemOpener([&](const QUrl& url) { opened << url; });
    messages << message(ChatMessage::Role::Assistant,
                        QStringLiteral("[site](https://exemple.fr) [f](file:///etc)"));
    session.setMessages(messages);
    auto* label = qobject_cast<QLabel*>(list->openBubble(251));
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->text().contains("href=\"https://exemple.fr\""));
    emit label->linkActivated(QStringLiteral("https://exemple.fr"));
    emit label->linkActivated(QStringLiteral("file:///etc"));
    spinFor(20);
    LinkRouter::setSystemOpener(nullptr);
    EXPECT_EQ(opened, QList<QUrl>({QUrl("https://exemple.fr")}));

    // Right after a new message, its streamed text growing does not pull the list
    // along either.
    messages << message(ChatMessage::Role::Assistant, QString());
    session.setMessages(messages);
    ASSERT_TRUE(spinUntil([&] { return bar->value() == bar->maximum(); }));
    const int atNewMessage = bar->value();
    messages.last().content = QStringLiteral("un\ndeux\ntrois\nquatre\ncinq\nsix");
    session.setMessages(messages);
    spinFor(150);
    EXPECT_EQ(bar->value(), atNewMessage);
    EXPECT_GT(bar->maximum(), atNewMessage);

    // A very long reply is laid out off the GUI thread and replaces its start when
    // it arrives; it is painted, never given a label.
    QString longReply;
    for (int i = 0; i < 3000; ++i)
        longReply += QStringLiteral("Ligne %1 avec du **gras**.\n").arg(i);
    longReply += QStringLiteral("Fin du texte");
    messages << message(ChatMessage::Role::Assistant, longReply);
    session.setMessages(messages);
    const int longRow = static_cast<int>(messages.size()) - 1;
    EXPECT_FALSE(htmlOf(longRow).contains("Fin du texte"));
    ASSERT_TRUE(spinUntil([&] { return list->delegate()->pendingLayouts() == 0; }));
    EXPECT_TRUE(htmlOf(longRow).contains("Fin du texte"));
    EXPECT_EQ(list->openBubble(longRow), nullptr);
    // Its start ends on a whole character: an emoji across the cut is left out.
    messages << message(ChatMessage::Role::Assistant,
                        QString(255, 'a') + QStringLiteral("😀") + QString(2000, 'b'));
    session.setMessages(messages);
    const QString start = htmlOf(longRow + 1);
    EXPECT_TRUE(start.contains(QString(255, 'a')));
    EXPECT_FALSE(std::any_of(start.begin(), start.end(), [](QChar c) { return c.isSurrogate(); }));
    ASSERT_TRUE(spinUntil([&] { return list->delegate()->pendingLayouts() == 0; }));
    EXPECT_TRUE(htmlOf(longRow + 1).contains(QStringLiteral("😀")));

    // A conversation replaced from elsewhere is rebuilt, and the bubbles of the old
    // one are not kept.
    EXPECT_GE(list->delegate()->cachedLayouts(), 250);
    session.clearConversation();
    EXPECT_EQ(rows->rowCount(), 0);
    EXPECT_TRUE(chat.showsEmptyConversation());
    session.setMessages({message(ChatMessage::Role::User, QStringLiteral("Nouvelle question"))});
    spinFor(50);
    EXPECT_LE(list->delegate()->cachedLayouts(), 1);
}

TEST_F(ChatViewTest, PickerMenuWritesTheSession) {
    AppSession& session = AppSession::shared();
    ChatView& chat = show(session);
    EXPECT_EQ(chat.picker()->pillText(), "ChatGPT");
    QMenu* menu = chat.picker()->menu();
    QAction* gemini = nullptr;
    for (QAction* action : menu->actions())
        if (action->text() == QLatin1String("Gemini"))
            gemini = action;
    ASSERT_NE(gemini, nullptr);
    gemini->trigger();
    EXPECT_EQ(session.provider(), Provider::Gemini);
    EXPECT_EQ(chat.picker()->pillText(), "Gemini");
}

// Links in assistant text take the accent colour, in the painted bubble and in the
// label laid over it (rich text would otherwise paint them in the desktop's link blue).
TEST_F(ChatViewTest, LinksTakeTheAccentColour) {
    AppSession& session = AppSession::shared();
    session.setMessages({message(
        ChatMessage::Role::Assistant,
        QStringLiteral("Voir [le rapport](ombrix://local_file/open/3F2A) et <https://exemple.fr>"))});
    ChatView& chat = show(session);
    ChatMessageList* list = chat.messageList();
    const QColor accent = list->palette().color(QPalette::Highlight);
    const auto linkColours = [](const QString& html) {
        QTextDocument document;
        document.setHtml(html);
        QList<QColor> colours;
        for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
            for (auto it = block.begin(); !it.atEnd(); ++it)
                if (it.fragment().charFormat().isAnchor())
                    colours << it.fragment().charFormat().foreground().color();
        return colours;
    };
    const QList<QColor> painted = linkColours(list->delegate()->htmlFor(list->messages()->index(0)));
    auto* label = qobject_cast<QLabel*>(list->openBubble(0));
    ASSERT_NE(label, nullptr);
    const QList<QColor> selectable = linkColours(label->text());
    EXPECT_EQ(painted, QList<QColor>({accent, accent}));
    EXPECT_EQ(selectable, QList<QColor>({accent, accent}));
}

// Names from the catalogue reach the menu and the pill as written: an "&" is no
// keyboard mnemonic and markup is no rich text.
TEST_F(ChatViewTest, CatalogueNamesShowAsWritten) {
    const QString name = QStringLiteral("R&D <b>Lab</b>");
    backend.route(
        "GET", QStringLiteral("/api/v1/providers.json"),
        ScriptedResponse::json(200, QStringLiteral(R"([{"id":1,"slug":"openai","name":"Q&A","models":[)"
                                                   R"({"id":2,"slug":"rd","display_name":"%1"}]}])")
                                        .arg(name)
                                        .toUtf8()));
    runTask(catalog.refresh());
    ASSERT_EQ(catalog.providers().size(), 1);
    AppSession& session = AppSession::shared();
    session.setSelectedCloudModel(QStringLiteral("rd"));
    ChatView& chat = show(session);
    QStringList shown;
    for (QAction* action : chat.picker()->menu()->actions())
        if (!action->isSeparator() || !action->text().isEmpty())
            shown << action->iconText();
    EXPECT_TRUE(shown.contains(name)) << shown.join(" | ").toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("Q&A"))) << shown.join(" | ").toStdString();
    EXPECT_EQ(chat.picker()->pillText(), name);
    QLabel* pill = nullptr;
    for (QLabel* label : chat.picker()->findChildren<QLabel*>())
        if (label->text() == name)
            pill = label;
    ASSERT_NE(pill, nullptr);
    EXPECT_GE(pill->sizeHint().width(), pill->fontMetrics().horizontalAdvance(name));

    // A name of any length keeps the pill small; the tooltip has it whole.
    const QString longName = QStringLiteral("Modèle ").repeated(60);
    backend.route(
        "GET", QStringLiteral("/api/v1/providers.json"),
        ScriptedResponse::json(200, QStringLiteral(R"([{"id":1,"slug":"openai","name":"O","models":[)"
                                                   R"({"id":2,"slug":"rd","display_name":"%1"}]}])")
                                        .arg(longName)
                                        .toUtf8()));
    runTask(catalog.refresh());
    EXPECT_EQ(chat.picker()->pillText(), longName);
    EXPECT_LE(chat.picker()->sizeHint().width(), 240);
    EXPECT_EQ(chat.picker()->toolTip(), longName);
}

TEST_F(ChatViewTest, RendersTheScreenForReview) {
    AppSession& session = AppSession::shared();
    session.setProvider(Provider::Local);
    session.setSelectedLocalModel(QStringLiteral("mlx-community/Qwen3-4B-4bit"));
    session.setMessages({
        message(ChatMessage::Role::User, QStringLiteral("Où est mon rapport sur les fûts de chêne ?")),
        message(ChatMessage::Role::Assistant,
                QStringLiteral("J'ai trouvé **deux documents** dans tes dossiers partagés :\n\n"
                               "- [Rapport-chêne.pdf](ombrix://local_file/open/3F2A) — modifié *hier*\n"
                               "- [notes.txt](ombrix://local_file/open/9B1C), avec `grep fût`\n\n"
                               "Plus d'infos sur https://exemple.fr 🙂")),
        message(ChatMessage::Role::User, QStringLiteral("Merci ! Et les photos de la cave ?")),
    });
    session.setIsStreaming(true);
    ChatView& chat = show(session);
    chat.input()->setPlainText(QStringLiteral("Montre-moi aussi…"));
    spinFor(300);
    // The label laid over the bubble under the mouse shows the same text in the same place.
    const QImage closed = chat.grab().toImage();
    ASSERT_NE(chat.messageList()->openBubble(1), nullptr);
    spinFor(50);
    const QImage opened = chat.grab().toImage();
    int differing = 0;
    for (int y = 0; y < closed.height(); ++y)
        for (int x = 0; x < closed.width(); ++x)
            differing += closed.pixel(x, y) != opened.pixel(x, y) ? 1 : 0;
    EXPECT_LT(differing, 1000); // edges of glyphs; text drawn twice or moved changes thousands
    const QString path = saveScreenshot(&chat, QStringLiteral("chat"));
    EXPECT_FALSE(QImage(path).isNull());
    EXPECT_EQ(chat.picker()->pillText(), "Qwen3 4B");
}

} // namespace

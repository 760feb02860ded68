// The chat screen's widgets: keys and buttons of the input bar, the bubbles kept in
// step with the conversation, the typing indicator, link clicks, and a rendering of
// the screen for review.
#include "app/widgets/ChatView.h"
#include "app/ChatViewModel.h"
#include "app/CloudCatalog.h"
#include "app/LinkRouter.h"
#include "app/widgets/ChatInput.h"
#include "app/widgets/MenuBarView.h"
#include "app/widgets/MessageBubble.h"
#include "app/widgets/MessageList.h"
#include "app/widgets/ProviderPicker.h"
#include "app/widgets/ShellScreens.h"
#include "bridge/BridgeService.h"
#include "session/AppSession.h"
#include "session/OmbrixHTTP.h"
#include "support/TestSupport.h"

#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QScrollBar>
#include <QSemaphore>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QThreadPool>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

ChatMessage message(ChatMessage::Role role, const QString& text) {
    return ChatMessage(role, text);
}

// How long a wait on work that scales with the machine (laying out, measuring,
// a road that fails at once) may take: far above what it takes under a sanitizer
// on a loaded machine. Waits end as soon as the awaited state is reached.
constexpr int kLongWaitMs = 180000;

// Holds every thread of a pool until released (five minutes at most), so that
// work queued meanwhile waits in the pool.
class PoolHold {
public:
    explicit PoolHold(QThreadPool* pool)
        : count_(pool->maxThreadCount()) {
        for (int i = 0; i < count_; ++i)
            pool->start([this] {
                holding_.release();
                gate_.tryAcquire(1, 300000);
                ended_.release();
            });
        holds_ = holding_.tryAcquire(count_, kLongWaitMs);
    }
    ~PoolHold() {
        release();
        ended_.acquire(count_);
    }
    // Whether every thread of the pool is held.
    bool holds() const { return holds_; }
    void release() {
        if (!released_)
            gate_.release(count_);
        released_ = true;
    }

private:
    const int count_;
    QSemaphore holding_;
    QSemaphore gate_;
    QSemaphore ended_;
    bool holds_ = false;
    bool released_ = false;
};

// Messages of about `characters` characters, in markdown lines, user and assistant in turn.
QList<ChatMessage> longMessages(int count, int characters) {
    QList<ChatMessage> messages;
    for (int i = 0; i < count; ++i) {
        QString text;
        for (int line = 0; text.size() < characters; ++line)
            text += QStringLiteral("Ligne %1 du message %2 avec du **gras**.\n").arg(line).arg(i);
        messages << message(i % 2 ? ChatMessage::Role::Assistant : ChatMessage::Role::User, text);
    }
    return messages;
}

// The rows of the list in sight.
QList<int> rowsInSight(ChatMessageList* list) {
    QList<int> rows;
    const QRect sight = list->viewport()->rect();
    for (int row = 0; row < list->messages()->messageCount(); ++row)
        if (list->visualRect(list->messages()->index(row)).intersects(sight))
            rows << row;
    return rows;
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
    ASSERT_TRUE(spinUntil([&] { return chat.viewModel().runningTurns() == 0; }, kLongWaitMs));
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
    ASSERT_TRUE(spinUntil([&] { return bar->maximum() > 0; }, kLongWaitMs));
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
    const bool atEnd =
        spinUntil([&] { return bar->maximum() > 0 && bar->value() == bar->maximum(); }, kLongWaitMs);
    EXPECT_TRUE(atEnd) << bar->value() << " of " << bar->maximum();
    spinFor(450); // the scroll's animation ends there too
    EXPECT_EQ(bar->value(), bar->maximum());

    // Text growing in the last bubble neither scrolls by itself nor loses the place.
    ASSERT_TRUE(spinUntil([&] { return list->layoutMode() == QListView::SinglePass; }, kLongWaitMs));
    const int before = bar->value();
    messages.last().content += QStringLiteral("\nligne\nligne\nligne\nligne");
    session.setMessages(messages);
    EXPECT_TRUE(spinUntil([&] { return bar->maximum() > before; }, kLongWaitMs));
    spinFor(100);
    EXPECT_EQ(bar->value(), before);

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
    emit label->linkActivated(QStringLiteral("file:///etc"));
    emit label->linkActivated(QStringLiteral("https://exemple.fr"));
    EXPECT_TRUE(spinUntil([&] { return !opened.isEmpty(); }, kLongWaitMs));
    spinFor(20);
    LinkRouter::setSystemOpener(nullptr);
    EXPECT_EQ(opened, QList<QUrl>({QUrl("https://exemple.fr")}));

    // Right after a new message, its streamed text growing does not pull the list
    // along either.
    messages << message(ChatMessage::Role::Assistant, QString());
    session.setMessages(messages);
    ASSERT_TRUE(spinUntil([&] { return bar->value() == bar->maximum(); }, kLongWaitMs));
    const int atNewMessage = bar->value();
    messages.last().content = QStringLiteral("un\ndeux\ntrois\nquatre\ncinq\nsix");
    session.setMessages(messages);
    EXPECT_TRUE(spinUntil([&] { return bar->maximum() > atNewMessage; }, kLongWaitMs));
    spinFor(150);
    EXPECT_EQ(bar->value(), atNewMessage);

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
    ASSERT_TRUE(spinUntil([&] { return list->delegate()->pendingLayouts() == 0; }, kLongWaitMs));
    EXPECT_TRUE(htmlOf(longRow).contains("Fin du texte"));
    EXPECT_EQ(list->openBubble(longRow), nullptr);
    // Its start ends on a whole character: an emoji across the cut is left out.
    messages << message(ChatMessage::Role::Assistant,
                        QString(255, 'a') + QStringLiteral("😀") + QString(2000, 'b'));
    session.setMessages(messages);
    const QString start = htmlOf(longRow + 1);
    EXPECT_TRUE(start.contains(QString(255, 'a')));
    EXPECT_FALSE(std::any_of(start.begin(), start.end(), [](QChar c) { return c.isSurrogate(); }));
    ASSERT_TRUE(spinUntil([&] { return list->delegate()->pendingLayouts() == 0; }, kLongWaitMs));
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

// A long conversation is laid out on the chat's own pool, never on Qt's global
// pool (the raster painter waits on that one): with every global thread held, the
// layouts still come in. What is in sight is laid out first, and the layouts of a
// screen that went, or of a conversation replaced, are never made.
TEST_F(ChatViewTest, LongConversationsAreLaidOutAsideInSightFirst) {
    AppSession& session = AppSession::shared();
    QThreadPool* layouts = MessageDelegate::layoutPool();
    ASSERT_NE(layouts, QThreadPool::globalInstance());
    {
        session.setMessages(longMessages(40, 3000));
        ChatView chat(session, catalog);
        ChatMessageList* list = chat.messageList();
        PoolHold global(QThreadPool::globalInstance());
        ASSERT_TRUE(global.holds());
        for (int row = 0; row < 40; ++row)
            list->delegate()->sizeHint(QStyleOptionViewItem(), list->messages()->index(row));
        EXPECT_EQ(list->delegate()->pendingLayouts(), 40);
        const bool laidOut = spinUntil([&] { return list->delegate()->pendingLayouts() == 0; }, kLongWaitMs);
        global.release();
        EXPECT_TRUE(laidOut) << list->delegate()->pendingLayouts() << " layouts still waiting";
        EXPECT_TRUE(list->delegate()->hasWholeLayout(list->messages()->index(39)));
    }

    // Opened, then scrolled to its end before anything is laid out: the last
    // messages, in sight, come first.
    constexpr int kMessages = 200;
    session.setMessages(longMessages(kMessages, 3000));
    {
        PoolHold held(layouts);
        ASSERT_TRUE(held.holds());
        ChatView& chat = show(session);
        ChatMessageList* list = chat.messageList();
        ASSERT_TRUE(spinUntil([&] { return list->layoutMode() == QListView::SinglePass; }, kLongWaitMs));
        QScrollBar* bar = list->verticalScrollBar();
        bar->setValue(bar->maximum());
        list->viewport()->repaint();
        const QList<int> inSight = rowsInSight(list);
        ASSERT_FALSE(inSight.isEmpty());
        EXPECT_EQ(inSight.last(), kMessages - 1);
        const quint64 before = MessageDelegate::layoutsRun();
        held.release();
        const auto inSightWhole = [&] {
            return std::all_of(inSight.begin(), inSight.end(), [&](int row) {
                return list->delegate()->hasWholeLayout(list->messages()->index(row));
            });
        };
        ASSERT_TRUE(spinUntil(inSightWhole, kLongWaitMs));
        // The first rows, in sight when the screen opened, and those the pool had
        // already taken, may come before; not the rest of the conversation.
        EXPECT_LT(MessageDelegate::layoutsRun() - before, quint64(kMessages / 4));
        ASSERT_TRUE(spinUntil([&] { return list->delegate()->pendingLayouts() == 0; }, kLongWaitMs));
        EXPECT_EQ(list->delegate()->cachedLayouts(), kMessages);
    }

    // The screen goes while its layouts wait: none of them is made. Nor are those of
    // a conversation replaced whole.
    for (const bool replaced : {false, true}) {
        PoolHold held(layouts);
        ASSERT_TRUE(held.holds());
        session.setMessages(longMessages(kMessages, 3000));
        ChatView& chat = show(session);
        ChatMessageList* list = chat.messageList();
        ASSERT_TRUE(spinUntil([&] { return list->layoutMode() == QListView::SinglePass; }, kLongWaitMs));
        EXPECT_EQ(list->delegate()->pendingLayouts(), kMessages);
        if (replaced)
            session.setMessages({message(ChatMessage::Role::User, QStringLiteral("Autre chose"))});
        else
            view.reset();
        const quint64 before = MessageDelegate::layoutsRun();
        held.release();
        spinFor(100);
        EXPECT_TRUE(layouts->waitForDone(kLongWaitMs));
        spinFor(100);
        EXPECT_TRUE(layouts->waitForDone(kLongWaitMs));
        EXPECT_EQ(MessageDelegate::layoutsRun() - before, 0u) << (replaced ? "replaced" : "closed");
    }
}

// What is typed in the field stays there when the popover switches to voice and
// back (the chat screen is made again), and goes once it was sent.
TEST_F(ChatViewTest, DraftSurvivesTheSwitchToVoice) {
    AppSession& session = AppSession::shared();
    session.setMode(Mode::Chat);
    ShellScreens screens;
    screens.chat = defaultShellScreens().chat;
    screens.pushToTalk = [] { return new QLabel(QStringLiteral("voix")); };
    screens.realtime = screens.pushToTalk;
    MenuBarView popover(screens);
    popover.resize(380, 520);
    popover.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&popover));
    const QList<QToolButton*> segments =
        popover.findChild<QFrame*>(QStringLiteral("modeSwitch"))->findChildren<QToolButton*>();
    ASSERT_EQ(segments.size(), 2); // voice, chat
    const auto chat = [&] { return qobject_cast<ChatView*>(popover.content()); };
    const auto toVoiceAndBack = [&] {
        QTest::mouseClick(segments[0], Qt::LeftButton);
        EXPECT_EQ(chat(), nullptr);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // the chat screen goes
        QTest::mouseClick(segments[1], Qt::LeftButton);
    };

    ASSERT_NE(chat(), nullptr);
    ChatInput* input = chat()->input();
    input->setFocus();
    QTest::keyClicks(input, "Une question pas");
    QTest::keyClick(input, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(input, "finie");
    const QPointer<ChatView> first = chat();
    toVoiceAndBack();
    ASSERT_NE(chat(), nullptr);
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(chat()->input()->draft(), QStringLiteral("Une question pas\nfinie"));
    EXPECT_TRUE(chat()->sendButton()->isEnabled());
    // Typing goes on at its end.
    chat()->input()->setFocus();
    QTest::keyClicks(chat()->input(), " !");
    toVoiceAndBack();
    EXPECT_EQ(chat()->input()->draft(), QStringLiteral("Une question pas\nfinie !"));

    // Sent (signed out: the road fails at once, shown as a reply): the field is empty
    // after the switch too.
    chat()->input()->setFocus();
    QTest::keyClick(chat()->input(), Qt::Key_Return);
    EXPECT_EQ(chat()->input()->draft(), QString());
    ASSERT_TRUE(spinUntil([&] { return !session.isStreaming(); }, kLongWaitMs));
    EXPECT_EQ(session.messages().first().content, QStringLiteral("Une question pas\nfinie !"));
    toVoiceAndBack();
    EXPECT_EQ(chat()->input()->draft(), QString());
    EXPECT_FALSE(chat()->sendButton()->isEnabled());
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

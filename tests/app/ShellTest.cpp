// The shell: desktop links, the Settings window's commands and window, the
// popover's placement and toggling, its header, the single running instance
// and the quit confirmation.
#include "app/AppCommands.h"
#include "app/DeepLinks.h"
#include "app/MenuBarController.h"
#include "app/PopoverHeader.h"
#include "app/SingleInstance.h"
#include "app/widgets/AppDelegate.h"
#include "app/widgets/MenuBarView.h"
#include "app/widgets/SettingsWindow.h"
#include "bridge/BridgeService.h"
#include "platform/DefaultsStore.h"
#include "platform/QuitSignal.h"
#include "platform/RuntimeFolder.h"
#include "session/AppSession.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString stored(const char* key) {
    return DefaultsStore::shared().string(key).value_or(QString());
}

class FakePopover : public PopoverSurface {
public:
    bool shown = false;
    int presented = 0;
    bool isShown() const override { return shown; }
    void present() override {
        shown = true;
        ++presented;
    }
    void dismiss() override { shown = false; }
};

ShellScreens labelledScreens() {
    auto label = [](const char* text) { return [text] { return static_cast<QWidget*>(new QLabel(text)); }; };
    ShellScreens screens;
    screens.chat = label("chat");
    screens.pushToTalk = label("push-to-talk");
    screens.realtime = label("realtime");
    screens.generalTab = label("general");
    screens.bridgeTab = label("bridge");
    screens.corvaneTab = label("corvane");
    screens.localLlmTab = label("localLlm");
    return screens;
}

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        installMemoryDefaults();
        AppSession::resetSharedForTesting();
        AppCommands::setHooks({[this] { ++popoverClosed; },
                               [this] {
                                   ++presentations;
                                   return presentations >= succeedOnAttempt;
                               }});
    }
    void TearDown() override {
        AppCommands::setHooks({});
        MenuBarController::shared().configure(nullptr, nullptr);
        AppSession::resetSharedForTesting();
    }
    int popoverClosed = 0;
    int presentations = 0;
    int succeedOnAttempt = 1;
};

} // namespace

TEST_F(ShellTest, DesktopLinksStoreTheAnchorAndOpenTheCorvaneTab) {
    struct Case {
        const char* link;
        bool handled;
        const char* anchor; // stored when handled
    };
    const Case cases[] = {
        {"ombrix://desktop/corvane_panel?section=local", true, "localRuntime"},
        {"ombrix://desktop/corvane_panel?section=local_runtime", true, "localRuntime"},
        {"ombrix://desktop/corvane_panel?section=secure", true, "secureAccess"},
        {"ombrix://desktop/corvane_panel?section=SECURE_ACCESS", true, "secureAccess"},
        {"OMBRIX://Desktop/CORVANE_PANEL?section=Audit", true, "activity"},
        {"ombrix://desktop/corvane_panel/?section=activity", true, "activity"},
        {"ombrix://desktop/corvane_panel?Section=approvals", true, "summary"},
        {"ombrix://desktop/corvane_panel?section=approvals&section=local", true, "approvals"},
        {"ombrix://desktop/corvane_panel", true, "summary"},
        {"ombrix://desktop/corvane_panel?section=", true, "summary"},
        {"ombrix://desktop/corvane_panel?section=approval", true, "summary"},
        {"ombrix://local/setup", true, "localRuntime"},
        {"ombrix://local/other", false, nullptr},
        {"ombrix://desktop/setup", false, nullptr},
        {"ombrix://local_file/open/abc", false, nullptr},
        {"ombrix://local_photo/open/abc", false, nullptr},
        {"https://desktop/corvane_panel", false, nullptr},
        {"ombrix:corvane_panel", false, nullptr},
    };
    for (const Case& c : cases) {
        DefaultsStore::shared().remove(kCorvanePanelAnchorKey);
        DefaultsStore::shared().remove(kSettingsInitialTabKey);
        presentations = 0;
        EXPECT_EQ(DeepLinks::handleDesktopDeepLink(QUrl(c.link)), c.handled) << c.link;
        if (c.handled) {
            EXPECT_EQ(stored(kCorvanePanelAnchorKey), c.anchor) << c.link;
            EXPECT_EQ(stored(kSettingsInitialTabKey), "corvane") << c.link;
            EXPECT_EQ(presentations, 1);
        } else {
            EXPECT_FALSE(DefaultsStore::shared().contains(kCorvanePanelAnchorKey)) << c.link;
            EXPECT_FALSE(DefaultsStore::shared().contains(kSettingsInitialTabKey)) << c.link;
            EXPECT_EQ(presentations, 0);
        }
    }
}

TEST_F(ShellTest, OpeningTheSettingsWindowStoresTheTabAndRetriesTheFocus) {
    EXPECT_EQ(settingsTabFromTag("localLlm"), SettingsTab::LocalLlm);
    EXPECT_EQ(settingsTabFromTag("nimportequoi"), SettingsTab::General);
    EXPECT_EQ(settingsTabFromTag(""), SettingsTab::General);

    succeedOnAttempt = 3;
    AppCommands::openSettingsWindow(SettingsTab::Bridge);
    EXPECT_EQ(stored(kSettingsInitialTabKey), "bridge");
    EXPECT_EQ(popoverClosed, 1);
    EXPECT_TRUE(spinUntil([&] { return presentations == 3; }));
    spinFor(AppCommands::kPromotionIntervalMs * 3);
    EXPECT_EQ(presentations, 3); // stops once the window has the focus

    presentations = 0;
    succeedOnAttempt = 100; // never gets the focus: the first try and six more, then silence
    AppCommands::openSettingsWindow(SettingsTab::Corvane);
    EXPECT_TRUE(spinUntil([&] { return presentations == 1 + AppCommands::kPromotionAttempts; }));
    spinFor(AppCommands::kPromotionIntervalMs * 3);
    EXPECT_EQ(presentations, 1 + AppCommands::kPromotionAttempts);
    EXPECT_EQ(stored(kSettingsInitialTabKey), "corvane");
}

TEST(PopoverGeometry, StaysInsideTheScreenWhereverItOpens) {
    const QSize size = MenuBarController::kPopoverSize;
    const QRect screen(0, 0, 1280, 800);
    struct Case {
        const char* name;
        std::optional<QRect> icon;
        std::optional<QPoint> pointer;
        bool tray;
        QPoint expected;
    };
    const Case cases[] = {
        {"under a top-bar icon", QRect(600, 0, 24, 24), std::nullopt, true, QPoint(421, 28)},
        {"above a bottom-panel icon", QRect(600, 776, 24, 24), std::nullopt, true, QPoint(421, 252)},
        {"icon at the right edge", QRect(1260, 0, 20, 20), std::nullopt, true, QPoint(900, 24)},
        {"near the pointer", std::nullopt, QPoint(100, 200), true, QPoint(0, 204)},
        {"top right", std::nullopt, std::nullopt, true, QPoint(896, 4)},
        {"no tray: centred", QRect(600, 0, 24, 24), QPoint(5, 5), false, QPoint(449, 139)},
    };
    for (const Case& c : cases) {
        const QRect geometry = popoverGeometry(size, screen, c.icon, c.pointer, c.tray);
        EXPECT_EQ(geometry.topLeft(), c.expected) << c.name;
        EXPECT_TRUE(screen.contains(geometry)) << c.name;
    }
    // A screen smaller than the popover: pinned to its top left.
    EXPECT_EQ(popoverGeometry(size, QRect(0, 0, 300, 300), std::nullopt, std::nullopt, true).topLeft(),
              QPoint(0, 0));
}

TEST_F(ShellTest, ClicksToggleThePopoverAndSummonsChooseTheScreenFirst) {
    AppSession& session = AppSession::shared();
    FakePopover popover;
    MenuBarController& controller = MenuBarController::shared();
    controller.configure(&session, &popover);

    session.setMode(Mode::Microphone);
    session.setSummonBehavior(SummonBehavior::Chat);
    controller.togglePopover();
    EXPECT_TRUE(popover.shown);
    EXPECT_EQ(session.mode(), Mode::Microphone); // a click keeps the screen
    controller.togglePopover();
    EXPECT_FALSE(popover.shown);

    controller.handleDoubleCommand();
    EXPECT_TRUE(popover.shown);
    EXPECT_EQ(session.mode(), Mode::Chat);
    session.setMode(Mode::Microphone);
    controller.handleDoubleCommand(); // a summon while open closes it
    EXPECT_FALSE(popover.shown);
    EXPECT_EQ(session.mode(), Mode::Microphone);
    controller.handleDoubleCommand();
    EXPECT_EQ(session.mode(), Mode::Chat);

    // A session that went away is skipped: the popover still opens.
    popover.shown = false;
    AppSession::resetSharedForTesting();
    controller.handleDoubleCommand();
    EXPECT_TRUE(popover.shown);
}

TEST_F(ShellTest, HeaderShowsTheBridgeAndTheRecentDiscussions) {
    using Kind = BridgeService::Status::Kind;
    BridgeService::Status busy;
    busy.kind = Kind::Busy;
    busy.task = BridgeTaskKind::ListFolders;
    EXPECT_EQ(PopoverHeader::bridgeDot(busy),
              (PopoverHeader::BridgeDot{"blue", 1.0, "Tâche locale en cours: listFolders"}));
    EXPECT_EQ(PopoverHeader::bridgeDot(BridgeService::Status::error("boom")),
              (PopoverHeader::BridgeDot{"red", 1.0, "Connexion locale en erreur: boom"}));
    BridgeService::Status off;
    off.kind = Kind::Off;
    EXPECT_EQ(PopoverHeader::bridgeDot(off), (PopoverHeader::BridgeDot{"grey", 0.4, "Mac non connecté"}));
    BridgeService::Status idle;
    idle.kind = Kind::Idle;
    EXPECT_EQ(PopoverHeader::bridgeDot(idle).help, "Mac connecté");
    BridgeService::Status polling;
    polling.kind = Kind::Polling;
    EXPECT_EQ(PopoverHeader::bridgeDot(polling),
              (PopoverHeader::BridgeDot{"green", 1.0, "Mac connecté, en attente"}));
    EXPECT_EQ(PopoverHeader::taskCaseName(BridgeTaskKind::LLMInfer), "llmInfer");
    EXPECT_FALSE(PopoverHeader::newDiscussionEnabled(Mode::Microphone));

    auto labels = [](const RecentsMenuModel& model) {
        QStringList out;
        for (const auto& entry : model.entries())
            out << entry.label;
        return out;
    };
    RecentsMenuModel signedOut;
    runTask(signedOut.load());
    EXPECT_EQ(labels(signedOut),
              (QStringList{"Aucune discussion récente", "", "Ouvrir toutes les discussions…"}));

    FakeBackend backend;
    ScriptedResponse idlePoll = ScriptedResponse::noContent();
    idlePoll.holdMs = 50;
    backend.route("GET", "/api/v1/bridge/tasks/next", idlePoll);
    backend.route("GET", "/api/v1/me.json", ScriptedResponse::json(401, "{}"));
    auto list = ScriptedResponse::json(200, R"([{"id":7,"name":"Vacances"},{"id":9,"name":""},{"id":12}])");
    list.holdMs = 200;
    backend.route("GET", "/api/v1/discussions.json", list);
    ASSERT_TRUE(runTask(AppSession::shared().setToken("tok-recents")));
    RecentsMenuModel model;
    QList<QUrl> opened;
    model.setUrlOpener([&](const QUrl& url) { opened << url; });
    auto loading = model.load();
    EXPECT_EQ(labels(model).first(), "Chargement…");
    auto second = model.load(); // one load at a time
    ASSERT_TRUE(spinUntil([&] { return !model.loading(); }));
    EXPECT_EQ(labels(model), (QStringList{"Vacances", "Discussion 9", "Discussion 12", "",
                                          "Ouvrir toutes les discussions…"}));
    int listRequests = 0;
    for (const RecordedRequest& request : backend.requests())
        listRequests += request.path == "/api/v1/discussions.json";
    EXPECT_EQ(listRequests, 1);
    model.open(model.entries().at(1));
    model.open(model.entries().last());
    ASSERT_EQ(opened.size(), 2);
    EXPECT_TRUE(opened[0].toString().endsWith("/discussions/9"));
    EXPECT_TRUE(opened[1].toString().endsWith("/discussions"));

    // A failure empties the list without a message.
    backend.route("GET", "/api/v1/discussions.json", ScriptedResponse::json(500, "{}"));
    runTask(model.load());
    EXPECT_EQ(labels(model).first(), "Aucune discussion récente");
    runTask(AppSession::shared().setToken(QString()));
    BridgeService::resetSharedForTesting();
}

TEST_F(ShellTest, HeaderShowsOutsideTextAsWritten) {
    FakeBackend backend;
    // The bridge's poll fails with an error page: its text reaches the dot's tooltip.
    const QByteArray page = "<b>boom</b> & <i>co</i>" + QByteArray(5000, 'x');
    backend.route("GET", "/api/v1/bridge/tasks/next", ScriptedResponse::json(502, page));
    backend.route(
        "GET", "/api/v1/discussions.json",
        ScriptedResponse::json(200, R"([{"id":3,"name":"Q&A"},{"id":4,"name":"R&D <b>2024</b>"}])"));
    MenuBarView view(labelledScreens());
    ASSERT_TRUE(runTask(AppSession::shared().setToken("tok-header")));
    runTask(view.recents().load());

    QToolButton* recents = nullptr;
    QLabel* dot = nullptr;
    for (QToolButton* button : view.findChildren<QToolButton*>())
        if (button->toolTip() == "Discussions récentes")
            recents = button;
    for (QLabel* label : view.findChildren<QLabel*>())
        if (label->size() == QSize(6, 6))
            dot = label;
    ASSERT_TRUE(recents && recents->menu() && dot);
    // A menu shows an action's text without its mnemonic marks, as iconText() gives it.
    const QList<QAction*> actions = recents->menu()->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_EQ(actions[0]->iconText(), "Q&A");
    EXPECT_EQ(actions[1]->iconText(), "R&D <b>2024</b>");

    // A tooltip is shown as rich text when Qt::mightBeRichText says so, else as plain text.
    ASSERT_TRUE(spinUntil(
        [] { return BridgeService::shared().status().kind == BridgeService::Status::Kind::Error; }));
    const QString tip = dot->toolTip();
    QTextDocument shown;
    if (Qt::mightBeRichText(tip))
        shown.setHtml(tip);
    else
        shown.setPlainText(tip);
    const QString text = shown.toPlainText();
    EXPECT_TRUE(text.startsWith("Connexion locale en erreur: Erreur HTTP 502 : <b>boom</b> & <i>co</i>xxx"))
        << text.left(120).toStdString();
    EXPECT_EQ(text.size(), 401); // an error page is cut, not shown whole
    EXPECT_TRUE(text.endsWith("x…"));
    runTask(AppSession::shared().setToken(QString()));
    BridgeService::resetSharedForTesting();
}

TEST_F(ShellTest, SettingsWindowFollowsTheStoredTabBothWays) {
    DefaultsStore::shared().setString(kSettingsInitialTabKey, "corvane");
    int built = 0;
    ShellScreens screens = labelledScreens();
    screens.localLlmTab = [&] {
        ++built;
        return static_cast<QWidget*>(new QLabel("localLlm"));
    };
    SettingsWindow window(screens);
    EXPECT_EQ(window.currentTab(), SettingsTab::Corvane);
    EXPECT_EQ(window.minimumSize(), QSize(520, 620));
    EXPECT_EQ(built, 0); // tabs are built when first shown
    window.tabs()->setCurrentIndex(3);
    EXPECT_EQ(stored(kSettingsInitialTabKey), "localLlm");
    EXPECT_EQ(built, 1);
    DefaultsStore::shared().setString(kSettingsInitialTabKey, "bridge");
    EXPECT_EQ(window.currentTab(), SettingsTab::Bridge);
    DefaultsStore::shared().setString(kSettingsInitialTabKey, "inconnu");
    EXPECT_EQ(window.currentTab(), SettingsTab::General);
    window.tabs()->setCurrentIndex(3);
    EXPECT_EQ(built, 1);
    const QStringList labels{window.tabs()->tabText(0), window.tabs()->tabText(1), window.tabs()->tabText(2),
                             window.tabs()->tabText(3)};
    EXPECT_EQ(labels, (QStringList{"Général", "Bridge local", "Corvane", "LLM local"}));
}

TEST_F(ShellTest, QuitAsksUnlessTheUserSaidNotTo) {
    AppDelegate delegate(labelledScreens());
    int asked = 0;
    std::pair<bool, bool> answer{false, true};
    delegate.askQuit = [&] {
        ++asked;
        return answer;
    };
    EXPECT_FALSE(delegate.confirmQuit()); // "Annuler" with the box ticked stores nothing
    EXPECT_FALSE(DefaultsStore::shared().contains(kSuppressQuitConfirmationKey));
    answer = {true, false};
    EXPECT_TRUE(delegate.confirmQuit());
    EXPECT_FALSE(DefaultsStore::shared().contains(kSuppressQuitConfirmationKey));
    answer = {true, true};
    EXPECT_TRUE(delegate.confirmQuit());
    EXPECT_EQ(DefaultsStore::shared().boolValue(kSuppressQuitConfirmationKey), true);
    EXPECT_TRUE(delegate.confirmQuit());
    EXPECT_EQ(asked, 3);
}

TEST_F(ShellTest, PopoverShowsTheScreenOfTheModeAndItsHeaderWorks) {
    AppSession& session = AppSession::shared();
    session.setMode(Mode::Chat);
    MenuBarView view(labelledScreens());
    view.resize(380, 520);
    auto text = [&] { return qobject_cast<QLabel*>(view.content())->text(); };
    EXPECT_EQ(text(), "chat");
    session.setMode(Mode::Microphone);
    session.setVoiceMode(VoiceMode::Realtime);
    EXPECT_EQ(text(), "realtime");
    session.setVoiceMode(VoiceMode::PushToTalk);
    EXPECT_EQ(text(), "push-to-talk");
    bool quitAsked = false;
    view.onQuit = [&] { quitAsked = true; };
    for (QToolButton* button : view.findChildren<QToolButton*>()) {
        if (button->toolTip() == "Quitter Ombrix")
            button->click();
        if (button->toolTip() == "Réglages")
            button->click();
        if (button->toolTip() == "Nouvelle discussion (⌘N)") {
            EXPECT_FALSE(button->isEnabled());
        }
    }
    EXPECT_TRUE(quitAsked);
    EXPECT_EQ(stored(kSettingsInitialTabKey), "general");

    // "Nouvelle discussion" takes the chat screen's own road: a reply still pending
    // is abandoned, and the next message can be sent at once.
    session.setMode(Mode::Chat);
    session.setMessages({ChatMessage(ChatMessage::Role::User, QStringLiteral("Question"))});
    session.setDiscussionId(12);
    session.setIsStreaming(true);
    for (QToolButton* button : view.findChildren<QToolButton*>())
        if (button->toolTip() == "Nouvelle discussion (⌘N)")
            button->click();
    EXPECT_TRUE(session.messages().isEmpty());
    EXPECT_FALSE(session.discussionId().has_value());
    EXPECT_FALSE(session.isStreaming());
}

namespace {
// Runs claim() the way a later launch does: in a thread of its own, while this
// thread's event loop serves the running instance.
struct Launch {
    explicit Launch(SingleInstance& instance, const QString& link = QString())
        : result(std::async(std::launch::async, [&instance, link] { return instance.claim(link); })) {}
    bool ended() const { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
    // The claim's answer once it has ended.
    std::optional<bool> claimed(int waitMs = kEventWaitMs) {
        if (!spinUntil([&] { return ended(); }, waitMs))
            return std::nullopt;
        return result.get();
    }
    std::future<bool> result;
};
} // namespace

TEST(SingleInstance, ASecondLaunchHandsItsLinkToTheFirst) {
    QTemporaryDir dir;
    auto first = std::make_unique<SingleInstance>(dir.path(), "instance");
    ASSERT_TRUE(first->claim());
    EXPECT_TRUE(first->isPrimary());
    EXPECT_TRUE(QFileInfo(first->socketPath()).exists());
    QStringList received;
    // While the link is being handled, its launch has no answer yet: it is
    // answered once the link's receivers have run.
    Launch* handingOver = nullptr;
    bool answeredBeforeHandled = false;
    QObject::connect(first.get(), &SingleInstance::linkReceived, [&](const QString& link) {
        received << link;
        if (handingOver) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            answeredBeforeHandled = handingOver->ended();
        }
    });

    // The link is held until the program has started, and the launch waits for
    // the program to take it.
    SingleInstance second(dir.path(), "instance");
    Launch launch(second, "ombrix://local/setup");
    handingOver = &launch;
    spinFor(100);
    EXPECT_TRUE(received.isEmpty());
    EXPECT_FALSE(launch.ended());
    first->markReady();
    EXPECT_EQ(launch.claimed(), std::optional<bool>(false));
    ASSERT_TRUE(spinUntil([&] { return received.size() == 1; }));
    EXPECT_EQ(received.first(), "ombrix://local/setup");
    EXPECT_FALSE(answeredBeforeHandled);
    handingOver = nullptr;

    SingleInstance third(dir.path(), "instance");
    EXPECT_EQ(
        Launch(third, QString("ombrix://desktop/corvane_panel?section=") + QString(20000, 'x')).claimed(),
        std::optional<bool>(false));
    {
        // A peer that writes more than a link may hold, without a line end.
        QLocalSocket hostile;
        hostile.connectToServer(first->socketPath());
        ASSERT_TRUE(hostile.waitForConnected(kEventWaitMs));
        hostile.write(QByteArray(SingleInstance::kMaxLinkBytes * 4, 'x'));
        hostile.waitForBytesWritten(1000);
        spinFor(100);
    }
    SingleInstance fourth(dir.path(), "instance");
    EXPECT_EQ(Launch(fourth).claimed(), std::optional<bool>(false)); // no link: nothing delivered
    spinFor(200);
    EXPECT_EQ(received.size(), 1); // the oversized link was dropped

    // A program that is quitting refuses the link it holds: the launch waits for
    // it to end and becomes the program itself.
    auto quitting = std::make_unique<SingleInstance>(dir.path(), "quitting");
    ASSERT_TRUE(quitting->claim());
    QStringList lost;
    QObject::connect(quitting.get(), &SingleInstance::linkReceived,
                     [&](const QString& link) { lost << link; });
    SingleInstance fifth(dir.path(), "quitting");
    Launch refused(fifth, "ombrix://local/setup");
    spinFor(200); // the link is held: the program has not started
    quitting->refuse();
    quitting->markReady();
    spinFor(200);
    EXPECT_FALSE(refused.ended());
    quitting.reset(); // the process ends: the lock goes with it
    EXPECT_EQ(refused.claimed(), std::optional<bool>(true));
    EXPECT_TRUE(lost.isEmpty());

    // So does a program whose quit is only a signal received, not yet handled.
    auto signalled = std::make_unique<SingleInstance>(dir.path(), "signalled");
    ASSERT_TRUE(signalled->claim());
    signalled->markReady();
    QObject::connect(signalled.get(), &SingleInstance::linkReceived,
                     [&](const QString& link) { lost << link; });
    QuitSignal::raise();
    const auto lower = qScopeGuard([] { QuitSignal::resetForTesting(); });
    SingleInstance sixth(dir.path(), "signalled");
    Launch waiting(sixth, "ombrix://local/setup");
    spinFor(300);
    EXPECT_FALSE(waiting.ended());
    signalled.reset();
    EXPECT_EQ(waiting.claimed(), std::optional<bool>(true));
    EXPECT_TRUE(lost.isEmpty());

    // And one whose quit signal is still pending, taken by no thread yet: the
    // program blocks the quit signals in every thread and takes them on this one.
    QuitSignal::resetForTesting();
    auto pending = std::make_unique<SingleInstance>(dir.path(), "pending");
    ASSERT_TRUE(pending->claim());
    pending->markReady();
    QObject::connect(pending.get(), &SingleInstance::linkReceived,
                     [&](const QString& link) { lost << link; });
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGTERM);
    sigset_t before;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &quitSignals, &before), 0);
    const auto unblock = qScopeGuard([&] {
        const timespec now{};
        while (sigtimedwait(&quitSignals, nullptr, &now) == SIGTERM) {
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    });
    ASSERT_EQ(pthread_kill(pthread_self(), SIGTERM), 0);
    SingleInstance seventh(dir.path(), "pending");
    Launch taking(seventh, "ombrix://local/setup");
    // Refused: the program stops listening (its socket goes); answered: the launch ends.
    const QString listening = pending->socketPath();
    ASSERT_TRUE(spinUntil([&] { return taking.ended() || !QFileInfo::exists(listening); }));
    EXPECT_FALSE(taking.ended()) << "a program with a quit signal pending answered a launch";
    pending.reset();
    EXPECT_EQ(taking.claimed(), std::optional<bool>(true));
    EXPECT_TRUE(lost.isEmpty());

    // A socket left by a program that died does not stop the next one: the lock
    // went with it.
    {
        SingleInstance dead(dir.path(), "stale");
        ASSERT_TRUE(dead.claim());
    }
    SingleInstance next(dir.path(), "stale");
    QFile stale(next.socketPath());
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    EXPECT_TRUE(next.claim());
    EXPECT_TRUE(next.isPrimary());
}

TEST(SingleInstance, TheProgramStartedAgainHandsOverAndExits) {
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    SingleInstance first;
    ASSERT_TRUE(first.claim());
    first.markReady();
    EXPECT_EQ(first.socketPath(), runtime.path() + "/ombrix/" + SingleInstance::defaultName() + "-2.sock");
    QStringList received;
    QObject::connect(&first, &SingleInstance::linkReceived, [&](const QString& link) { received << link; });
    QProcess program;
    program.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    program.start(QStringLiteral(OMBRIX_EXECUTABLE), {"ombrix://desktop/corvane_panel?section=audit"});
    ASSERT_TRUE(program.waitForStarted());
    EXPECT_TRUE(spinUntil([&] { return program.state() == QProcess::NotRunning; }));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    ASSERT_TRUE(spinUntil([&] { return !received.isEmpty(); }));
    EXPECT_EQ(received.first(), "ombrix://desktop/corvane_panel?section=audit");
    qunsetenv("XDG_RUNTIME_DIR");
}

TEST(SingleInstance, PairedLaunchesLeaveExactlyOneProgram) {
    // Ten pairs at a time, each pair in a runtime folder of its own (tests/soak-end.sh
    // runs five rounds of them); every program this test starts is killed before it ends.
    const int rounds = roundsOr("OMBRIX_SOAK_PAIRED_LAUNCHES", 1);
    constexpr int kPairsPerRound = 10;
    std::vector<std::unique_ptr<QProcess>> programs;
    const auto killAll = qScopeGuard([&] {
        for (const auto& program : programs) {
            program->kill();
            program->waitForFinished(5000);
        }
    });
    QTemporaryDir runtimes;
    const auto launch = [&](const QString& runtime) {
        auto program = std::make_unique<QProcess>();
        QProcessEnvironment environment = childEnvironment();
        environment.insert("XDG_RUNTIME_DIR", runtime);
        program->setProcessEnvironment(environment);
        program->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program->start(QStringLiteral(OMBRIX_EXECUTABLE), QStringList());
        programs.push_back(std::move(program));
        return programs.back().get();
    };
    // Taking the lock fails while a program holds it.
    const auto lockIsHeld = [](const QString& path) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        ::close(fd);
        return held;
    };
    int pairs = 0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::pair<QProcess*, QProcess*>> launched;
        for (int i = 0; i < kPairsPerRound; ++i) {
            const QString runtime = runtimes.filePath(QString::number(i));
            QDir().mkpath(runtime);
            QProcess* a = launch(runtime);
            QProcess* b = launch(runtime);
            launched.emplace_back(a, b);
        }
        for (int i = 0; i < kPairsPerRound; ++i) {
            SCOPED_TRACE("pair " + std::to_string(pairs + 1));
            auto [a, b] = launched[i];
            ASSERT_TRUE(spinUntil(
                [&] { return a->state() != QProcess::Starting && b->state() != QProcess::Starting; }));
            ASSERT_NE(a->error(), QProcess::FailedToStart);
            ASSERT_NE(b->error(), QProcess::FailedToStart);
            // The later one hands over and ends at once; the other stays.
            ASSERT_TRUE(spinUntil([&] {
                return a->state() == QProcess::NotRunning || b->state() == QProcess::NotRunning;
            })) << "both programs kept running";
            QProcess* ended = a->state() == QProcess::NotRunning ? a : b;
            QProcess* stayed = ended == a ? b : a;
            EXPECT_EQ(ended->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(ended->exitCode(), 0);
            EXPECT_EQ(stayed->state(), QProcess::Running) << "no program left";
            // The programs run without a display, so their lock is not this test's name.
            const QDir folder(runtimes.filePath(QString::number(i)) + "/ombrix");
            const QStringList locks = folder.entryList({QStringLiteral("instance-*.lock")}, QDir::Files);
            ASSERT_EQ(locks.size(), 1) << locks.join(' ').toStdString();
            EXPECT_TRUE(lockIsHeld(folder.filePath(locks.first())));
            ++pairs;
        }
        for (const auto& [a, b] : launched) {
            for (QProcess* program : {a, b}) {
                program->kill();
                program->waitForFinished(5000);
            }
        }
    }
    EXPECT_EQ(pairs, rounds * kPairsPerRound);
}

namespace {
// How many sockets of the kernel's table carry the address of the process's
// listener: the listener, and one more for each connection waiting on it (0: it
// does not listen). The address is the one the listener was bound to.
int socketsAtListenerOf(qint64 pid) {
    QSet<QByteArray> inodes;
    const QDir fds(QString("/proc/%1/fd").arg(pid));
    for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target.contains("socket:["))
            inodes.insert(target.section('[', 1).section(']', 0, 0).toUtf8());
    }
    QFile table(QStringLiteral("/proc/net/unix"));
    if (!table.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = table.readAll().split('\n');
    QByteArray address;
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 8 && fields[3] == "00010000" && inodes.contains(fields[6]))
            address = fields[7];
    }
    if (address.isEmpty())
        return 0;
    int count = 0;
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 8 && fields[7] == address)
            ++count;
    }
    return count;
}
// The string stored under `key` in a settings file, or nothing.
QString storedIn(const QString& settingsFile, const QString& key) {
    QFile file(settingsFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object().value(key).toObject().value("string").toString();
}
} // namespace

// The running program is quitting with its GUI thread busy when a launch hands it
// a link: the quit refuses the link, and the launch, once the program has ended,
// becomes the program and handles its link. Real programs: the shipped program's
// probe, whose quit waits for this test, and the program itself.
TEST(SingleInstance, ALaunchAgainstAQuittingProgramBecomesTheProgramWithItsLink) {
    const int rounds = roundsOr("OMBRIX_SOAK_QUITTING_LAUNCHES", 2);
    for (int round = 1; round <= rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        QTemporaryDir home;
        QTemporaryDir runtime;
        const QString configHome = home.path() + "/.config";
        const QString probeFolder = home.path() + "/probe";
        QDir().mkpath(probeFolder);
        QProcessEnvironment environment = childEnvironment(home.path(), runtime.path());
        environment.insert("OMBRIX_TEST_KEEP_HOME", "1");
        const auto touch = [&](const char* name) {
            QFile file(probeFolder + "/" + name);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        };

        QProcess running;
        QProcessEnvironment runningEnvironment = environment;
        runningEnvironment.insert("OMBRIX_PROBE_BUSY_QUIT", probeFolder);
        running.setProcessEnvironment(runningEnvironment);
        running.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        running.start(QStringLiteral(OMBRIX_QUIT_PROBE), QStringList());
        QProcess launched;
        const auto stopBoth = qScopeGuard([&] {
            for (QProcess* program : {&running, &launched}) {
                if (program->state() == QProcess::NotRunning)
                    continue;
                program->kill();
                program->waitForFinished(5000);
            }
        });
        ASSERT_TRUE(running.waitForStarted());
        ASSERT_TRUE(spinUntil([&] { return socketsAtListenerOf(running.processId()) == 1; }));
        touch("quit-now");
        ASSERT_TRUE(spinUntil([&] { return QFile::exists(probeFolder + "/busy"); }));

        launched.setProcessEnvironment(environment);
        launched.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        launched.start(QStringLiteral(OMBRIX_EXECUTABLE), {"ombrix://desktop/corvane_panel?section=audit"});
        ASSERT_TRUE(launched.waitForStarted());
        // The launch has reached the busy program's listener; then the program quits.
        ASSERT_TRUE(spinUntil([&] { return socketsAtListenerOf(running.processId()) >= 2; }));
        touch("release");
        ASSERT_TRUE(spinUntil([&] { return running.state() == QProcess::NotRunning; }));
        EXPECT_EQ(running.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(running.exitCode(), 0);
        const QString settings = configHome + "/ombrix/defaults.json";
        EXPECT_TRUE(spinUntil([&] { return storedIn(settings, "corvanePanelAnchor") == "activity"; }))
            << "the link was not handled";
        EXPECT_EQ(launched.state(), QProcess::Running) << "no program left";
    }
}

namespace {
// Whether the process is stopped (state T in /proc/<pid>/stat).
bool isStopped(qint64 pid) {
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(')');
    return end >= 0 && line.mid(end + 2, 1) == "T";
}
} // namespace

// The running program has received SIGTERM but has not handled it yet (it was
// stopped, and goes on only once the launch has handed its link over): the
// program takes its quit signals on the GUI thread only, so it sees the signal
// before it answers and refuses the link, and the launch becomes the program with
// its link, every time (an "ok" would leave no program running). Real programs,
// each round in a home of its own; tests/soak-end.sh runs 50 rounds.
TEST(SingleInstance, ALinkHandedToAProgramWithASignalPendingIsNeverLost) {
    const int rounds = roundsOr("OMBRIX_SOAK_HANDOVERS", 2);
    for (int round = 1; round <= rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        QTemporaryDir home;
        QTemporaryDir runtime;
        const QString configHome = home.path() + "/.config";
        QProcessEnvironment environment = childEnvironment(home.path(), runtime.path());
        environment.insert("OMBRIX_TEST_KEEP_HOME", "1");

        QProcess running;
        running.setProcessEnvironment(environment);
        running.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        running.start(QStringLiteral(OMBRIX_EXECUTABLE), QStringList());
        QProcess launched;
        const auto stopBoth = qScopeGuard([&] {
            for (QProcess* program : {&running, &launched}) {
                if (program->state() == QProcess::NotRunning)
                    continue;
                ::kill(pid_t(program->processId()), SIGCONT);
                program->kill();
                program->waitForFinished(5000);
            }
        });
        ASSERT_TRUE(running.waitForStarted());
        const qint64 pid = running.processId();
        // Listening, its socket at the name launches look for (it is bound under
        // another name and then renamed; the children run without a display).
        const QString socketFile = SingleInstance(runtime.path() + "/ombrix", "instance-none").socketPath();
        ASSERT_TRUE(spinUntil([&] { return socketsAtListenerOf(pid) == 1 && QFile::exists(socketFile); }));
        // Stopped, then asked to end: the signal waits until the program goes on.
        ASSERT_EQ(::kill(pid_t(pid), SIGSTOP), 0);
        ASSERT_TRUE(spinUntil([&] { return isStopped(pid); }));
        ASSERT_EQ(::kill(pid_t(pid), SIGTERM), 0);

        launched.setProcessEnvironment(environment);
        launched.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        launched.start(QStringLiteral(OMBRIX_EXECUTABLE), {"ombrix://desktop/corvane_panel?section=audit"});
        ASSERT_TRUE(launched.waitForStarted());
        // The launch has reached the stopped program's listener; the program goes on.
        ASSERT_TRUE(spinUntil([&] { return socketsAtListenerOf(pid) >= 2; }));
        ASSERT_EQ(::kill(pid_t(pid), SIGCONT), 0);

        ASSERT_TRUE(spinUntil([&] { return running.state() == QProcess::NotRunning; }));
        EXPECT_EQ(running.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(running.exitCode(), 0);
        const QString settings = configHome + "/ombrix/defaults.json";
        EXPECT_TRUE(spinUntil([&] { return storedIn(settings, "corvanePanelAnchor") == "activity"; }))
            << "the link was not handled";
        // The launch listens as the program, or it was answered and has ended.
        EXPECT_TRUE(spinUntil([&] {
            return socketsAtListenerOf(launched.processId()) == 1 || launched.state() == QProcess::NotRunning;
        }));
        EXPECT_EQ(launched.state(), QProcess::Running)
            << "the launch was answered: no program is left running";
    }
}

namespace {

// A listener in a process of its own that holds the lock. As another user
// (asNobody): it takes the lock and binds the socket as root, then becomes nobody
// (uid 65534) before it listens, so that its peer credentials are nobody's. Else
// it is a program of the previous version: it reads a line and closes without an
// answer. What each connection sends is reported on a pipe between '<' and '>'.
class ForkedListener {
public:
    ForkedListener(const QString& lockPath, const QString& socketPath, bool asNobody = true) {
        const QByteArray lock = QFile::encodeName(lockPath);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray socket = QFile::encodeName(socketPath);
        std::memcpy(address.sun_path, socket.constData(),
                    std::min<size_t>(socket.size(), sizeof address.sun_path - 1));
        if (::pipe(pipe_) != 0)
            return;
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only system calls from here on.
            const int held = ::open(lock.constData(), O_RDWR | O_CREAT, 0600);
            ::flock(held, LOCK_EX);
            const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            if (asNobody && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                             ::setresuid(65534, 65534, 65534) != 0))
                ::_exit(1);
            ::listen(listener, 4);
            ::write(ready[1], "R", 1);
            for (;;) {
                const int connection = ::accept(listener, nullptr, nullptr);
                if (connection < 0)
                    continue;
                ::write(pipe_[1], "<", 1);
                char buffer[512];
                ssize_t n;
                while ((n = ::read(connection, buffer, sizeof buffer)) > 0) {
                    ::write(pipe_[1], buffer, static_cast<size_t>(n));
                    if (std::memchr(buffer, '\n', static_cast<size_t>(n)))
                        break;
                }
                ::write(pipe_[1], ">", 1);
                ::close(connection);
            }
        }
        ::close(ready[1]);
        char byte = 0;
        listening_ = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        ::fcntl(pipe_[0], F_SETFL, O_NONBLOCK);
    }
    ~ForkedListener() {
        end();
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    bool isListening() const { return listening_; }
    // Stops the process: connections wait in its queue, unanswered.
    void freeze() { ::kill(pid_, SIGSTOP); }
    // Kills the process: its lock and its listener go with it.
    void end() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    // What it heard, once a connection ended (or after waitMs).
    QByteArray heard(int waitMs) {
        spinUntil(
            [&] {
                char buffer[512];
                ssize_t n;
                while ((n = ::read(pipe_[0], buffer, sizeof buffer)) > 0)
                    heard_.append(buffer, n);
                return heard_.contains('>');
            },
            waitMs);
        return heard_;
    }

private:
    pid_t pid_ = -1;
    int pipe_[2] = {-1, -1};
    bool listening_ = false;
    QByteArray heard_;
};

} // namespace

TEST(SingleInstance, ALinkGoesNeitherToAFolderNorToAListenerThatIsNotOurs) {
    QTemporaryDir temp;
    const QByteArray savedTemp = qgetenv("TMPDIR");
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", temp.path().toUtf8());
    qunsetenv("XDG_RUNTIME_DIR"); // the fallback folder, which anyone could have made first
    const auto restore = qScopeGuard([&] {
        qputenv("TMPDIR", savedTemp);
        if (!savedRuntime.isEmpty())
            qputenv("XDG_RUNTIME_DIR", savedRuntime);
    });
    const QString folder = RuntimeFolder::path();
    EXPECT_EQ(folder, temp.path() + QString("/ombrix-%1").arg(::geteuid()));
    const QString name = SingleInstance::defaultName();

    // Listeners that wait for links: one at the old place of the socket, one inside
    // the folder, whose lock is taken.
    QLocalServer oldPlace;
    ASSERT_TRUE(oldPlace.listen(temp.path() + QString("/ombrix-%1.sock").arg(::getuid())));
    const auto squat = [&](QLocalServer& listener, const QString& in) {
        QDir().mkpath(in);
        QLocalServer::removeServer(in + "/" + name + ".sock");
        return listener.listen(in + "/" + name + ".sock");
    };
    const auto holdLock = [&](const QString& in) {
        const int fd = ::open(QFile::encodeName(in + "/" + name + ".lock").constData(),
                              O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ::flock(fd, LOCK_EX | LOCK_NB);
        return fd;
    };
    struct Case {
        const char* what;
        std::function<bool()> squatFolder; // false: the case cannot be made here
        std::function<void()> undo;
    };
    const QString elsewhere = temp.path() + "/elsewhere";
    const std::vector<Case> cases = {
        {"a folder others may enter",
         [&] {
             QDir().mkpath(folder);
             return ::chmod(QFile::encodeName(folder).constData(), 0777) == 0;
         },
         [&] { QDir(folder).removeRecursively(); }},
        {"a link to a folder of ours",
         [&] {
             QDir().mkpath(elsewhere);
             ::chmod(QFile::encodeName(elsewhere).constData(), 0700);
             return QFile::link(elsewhere, folder);
         },
         [&] { QFile::remove(folder); }},
        {"a folder of another user",
         [&] {
             QDir().mkpath(folder);
             ::chmod(QFile::encodeName(folder).constData(), 0700);
             return ::geteuid() == 0 && ::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0;
         },
         [&] { QDir(folder).removeRecursively(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.squatFolder()) {
            c.undo();
            continue; // chown needs root
        }
        QLocalServer squatter;
        ASSERT_TRUE(squat(squatter, folder));
        const int lock = holdLock(folder);
        SingleInstance instance;
        EXPECT_TRUE(instance.claim("ombrix://local/setup")); // runs on its own
        EXPECT_FALSE(instance.isPrimary());
        spinFor(50);
        EXPECT_FALSE(squatter.hasPendingConnections());
        ::close(lock);
        squatter.close();
        c.undo();
    }

    // A listener of another uid in a folder of ours is handed nothing, at the
    // socket of this version or of the previous one.
    for (const QString& socket : {name + "-2.sock", name + ".sock"}) {
        if (::geteuid() != 0)
            break;
        SCOPED_TRACE(socket.toStdString());
        QDir().mkpath(folder);
        ::chmod(QFile::encodeName(folder).constData(), 0700);
        ForkedListener foreign(folder + "/" + name + ".lock", folder + "/" + socket);
        ASSERT_TRUE(foreign.isListening());
        SingleInstance instance;
        EXPECT_TRUE(instance.claim("ombrix://local/setup"));
        EXPECT_FALSE(instance.isPrimary());
        EXPECT_EQ(foreign.heard(kEventWaitMs), "<>");
        QDir(folder).removeRecursively();
    }
    QDir(folder).removeRecursively();

    // Our own folder: made private, and the instance listens in it.
    SingleInstance instance;
    EXPECT_TRUE(instance.claim());
    EXPECT_TRUE(instance.isPrimary());
    struct stat info {};
    ASSERT_EQ(::lstat(QFile::encodeName(folder).constData(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    EXPECT_TRUE(QFileInfo(folder + "/" + name + "-2.sock").exists());
    EXPECT_FALSE(oldPlace.hasPendingConnections());
}

// A program of the previous version is running: it takes the line and closes
// without an answer. A launch hands it the link once and ends. A program of this
// version that is stopped (frozen, not quitting) keeps the launch waiting, which
// says so once on its standard error, and the launch becomes the program with its
// link once that program has ended.
TEST(SingleInstance, APreviousVersionGetsTheLinkOnceAndAFrozenProgramIsWaitedFor) {
    {
        QTemporaryDir dir;
        SingleInstance launch(dir.path(), "instance");
        ForkedListener previous(launch.lockPath(), launch.previousSocketPath(), false);
        ASSERT_TRUE(previous.isListening());
        EXPECT_EQ(Launch(launch, "ombrix://local/setup").claimed(), std::optional<bool>(false));
        EXPECT_EQ(previous.heard(kEventWaitMs), "<ombrix://local/setup\n>"); // once: the launch has ended
        EXPECT_FALSE(launch.isPrimary());
    }

    QTemporaryDir home;
    QTemporaryDir runtime;
    const QString configHome = home.path() + "/.config";
    QProcessEnvironment environment = childEnvironment(home.path(), runtime.path());
    environment.insert("OMBRIX_TEST_KEEP_HOME", "1");
    const QString folder = runtime.path() + "/ombrix";
    ASSERT_TRUE(QDir().mkpath(folder));
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    const SingleInstance places(folder, "instance-none"); // the child runs without a display
    auto frozen = std::make_unique<ForkedListener>(places.lockPath(), places.socketPath(), false);
    ASSERT_TRUE(frozen->isListening());
    frozen->freeze();
    QProcess launched;
    const auto stop = qScopeGuard([&] {
        launched.kill();
        launched.waitForFinished(5000);
    });
    launched.setProcessEnvironment(environment);
    launched.start(QStringLiteral(OMBRIX_EXECUTABLE), {"ombrix://desktop/corvane_panel?section=audit"});
    ASSERT_TRUE(launched.waitForStarted());
    QByteArray said;
    const auto read = [&] {
        said += launched.readAllStandardError();
        return said;
    };
    ASSERT_TRUE(spinUntil([&] { return read().contains(SingleInstance::kWaitingText); }, 60000))
        << said.data();
    EXPECT_EQ(launched.state(), QProcess::Running);
    frozen.reset();
    EXPECT_TRUE(spinUntil([&] {
        return storedIn(configHome + "/ombrix/defaults.json", "corvanePanelAnchor") == "activity";
    })) << "the link was not handled";
    EXPECT_EQ(launched.state(), QProcess::Running) << "no program left";
    EXPECT_EQ(read().count(SingleInstance::kWaitingText), 1);
}

TEST(DesktopRegistration, XdgOpenOfALinkReachesTheRegisteredProgram) {
    // The test's home is temporary: register a stand-in program that records its arguments.
    const QString home = QDir::homePath();
    const QString recorder = home + "/bin with space/ombrix";
    QDir().mkpath(QFileInfo(recorder).absolutePath());
    QFile script(recorder);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s' \"$1\" > \"$HOME/received-link\"\n");
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    QProcess registration;
    registration.start("bash", {QStringLiteral(OMBRIX_SOURCE_DIR "/scripts/register-desktop.sh"), recorder});
    ASSERT_TRUE(registration.waitForFinished(kEventWaitMs));
    ASSERT_EQ(registration.exitCode(), 0) << registration.readAllStandardError().toStdString();
    QFile entry(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                "/applications/ombrix.desktop");
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(entry.readAll().contains("MimeType=x-scheme-handler/ombrix;"));

    if (QStandardPaths::findExecutable("xdg-open").isEmpty())
        GTEST_SKIP() << "xdg-open is not installed";
    QProcess open;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!environment.contains("DISPLAY"))
        environment.insert("DISPLAY", ":0"); // xdg-open only asks scheme handlers on a desktop
    open.setProcessEnvironment(environment);
    open.start("xdg-open", {"ombrix://desktop/corvane_panel?section=local"});
    ASSERT_TRUE(open.waitForFinished(kEventWaitMs));
    QFile received(home + "/received-link");
    ASSERT_TRUE(spinUntil([&] { return received.exists(); })) << open.readAllStandardError().toStdString();
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), "ombrix://desktop/corvane_panel?section=local");
}

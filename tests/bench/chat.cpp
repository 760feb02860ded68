// The chat screen's two costs:
//  1. Streaming: a local model server on its own thread streams N pieces, one every
//     few milliseconds; for each piece, the time from its last byte leaving the
//     server to its text being in the conversation the bubble shows (the session's
//     last message), through the real direct local road. Median and 95th percentile.
//  2. A long conversation: the time from building the chat screen with M messages
//     to its first paint, the longest stall of the GUI thread while the remaining
//     bubbles are made, and the time to repaint after a scroll step.
//  3. A streamed piece in a long conversation (2,000 messages of 500 characters,
//     the screen shown, the settings file on disk): what one piece costs the GUI
//     thread, from the piece entering the conversation to the events it caused
//     (list update, paint, the coalesced save, a layout made off the GUI thread)
//     having run, the 4 ms between pieces left out.
//  4. A 4 MiB cloud reply through the real backend road, shown in the chat screen:
//     the longest stall of the GUI thread from the send to the reply laid out, and
//     a scroll step over the long bubble with its repaint.
//  5. The popover opened on a long conversation (8,000 messages of 2,000
//     characters, 200 of 100,000): the longest stall of the GUI thread from the
//     popover's presentation until every bubble is laid out, the time until the
//     bubbles in sight show their whole text, and the stall of closing the screen
//     (chat to voice) while the layouts still run.
//
//   build/tests/bench_chat [pieces] [messages]
//   build/tests/bench_chat open      (measure 5 alone)
#include "app/ChatViewModel.h"
#include "app/CloudCatalog.h"
#include "app/Composition.h"
#include "app/widgets/ChatView.h"
#include "platform/DefaultsStore.h"
#include "platform/Resources.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "session/OmbrixHTTP.h"
#include "support/BenchSupport.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestSupport.h"

#include "app/widgets/ChatInput.h"
#include "app/widgets/MenuBarView.h"
#include "app/widgets/MessageList.h"
#include "app/widgets/ShellScreens.h"
#include "app/widgets/TrayPopover.h"
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

namespace {

// Scrolls a list from top to bottom in 50 steps, each repainted at once: the cost
// of every step in milliseconds.
std::vector<double> scrollSteps(QAbstractScrollArea* list) {
    QScrollBar* bar = list->verticalScrollBar();
    std::vector<double> steps;
    for (int i = 1; i <= 50; ++i) {
        QElapsedTimer step;
        step.start();
        bar->setValue(bar->maximum() * i / 50);
        list->viewport()->repaint();
        steps.push_back(step.nsecsElapsed() / 1e6);
    }
    return steps;
}

qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

// A plain-HTTP local model server that streams `pieces` content events, one every
// `intervalMs`, and notes when each left. Lives on its own thread.
class StreamingServer : public QObject {
public:
    StreamingServer(int pieces, int intervalMs, std::vector<std::atomic<qint64>>& sentAt)
        : pieces_(pieces)
        , intervalMs_(intervalMs)
        , sentAt_(sentAt) {}

    quint16 start() {
        server_ = new QTcpServer(this);
        server_->listen(QHostAddress::LocalHost);
        connect(server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_->nextPendingConnection())
                serve(socket);
        });
        return server_->serverPort();
    }

private:
    void serve(QTcpSocket* socket) {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray head = buffer->left(end);
            qsizetype length = 0;
            for (const QByteArray& line : head.split('\n'))
                if (line.toLower().startsWith("content-length:"))
                    length = line.mid(15).trimmed().toLongLong();
            if (buffer->size() < end + 4 + length)
                return;
            disconnect(socket, &QTcpSocket::readyRead, socket, nullptr);
            if (head.startsWith("GET")) {
                const QByteArray body = R"({"object":"list","data":[{"id":"bench","object":"model"}]})";
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                socket->disconnectFromHost();
                return;
            }
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n");
            socket->flush();
            auto* timer = new QTimer(socket);
            auto next = std::make_shared<int>(0);
            connect(timer, &QTimer::timeout, socket, [this, socket, timer, next] {
                if (*next == pieces_) {
                    timer->stop();
                    socket->write("data: [DONE]\n\n");
                    socket->disconnectFromHost();
                    return;
                }
                const QByteArray event = "data: {\"choices\":[{\"delta\":{\"content\":\"" +
                                         QByteArray::number(*next) + "|\"}}]}\n\n";
                sentAt_[*next].store(nowNs());
                socket->write(event);
                socket->flush();
                ++*next;
            });
            timer->start(intervalMs_);
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

    int pieces_;
    int intervalMs_;
    std::vector<std::atomic<qint64>>& sentAt_;
    QTcpServer* server_ = nullptr;
};

void streamingLatency(int pieces) {
    std::vector<std::atomic<qint64>> sentAt(pieces);
    QThread thread;
    StreamingServer server(pieces, 3, sentAt);
    server.moveToThread(&thread);
    thread.start();
    quint16 port = 0;
    QMetaObject::invokeMethod(
        &server, [&] { port = server.start(); }, Qt::BlockingQueuedConnection);

    AppSession& session = AppSession::shared();
    session.setProvider(Provider::Local);
    session.setLocalLLMModel(QStringLiteral("bench"));
    session.setLocalLLMEndpoint(QStringLiteral("http://127.0.0.1:%1/v1").arg(port));
    ChatViewModel model(session);

    std::vector<double> latencies;
    int seen = 0;
    const QMetaObject::Connection watching = QObject::connect(&session, &AppSession::messagesChanged, [&] {
        const qint64 now = nowNs();
        const QString& text = session.messages().last().content;
        const int count = static_cast<int>(text.count(QLatin1Char('|')));
        for (; seen < count && seen < pieces; ++seen)
            latencies.push_back((now - sentAt[seen].load()) / 1e6);
    });
    model.send(QStringLiteral("Raconte"));
    spinUntil([&] { return model.runningTurns() == 0; }, 120000);
    QObject::disconnect(watching);
    thread.quit();
    thread.wait();
    if (latencies.size() != static_cast<size_t>(pieces)) {
        std::printf("only %zu of %d pieces arrived\n", latencies.size(), pieces);
        std::exit(1);
    }
    std::printf("piece on the wire → text in the bubble's model, %d pieces: median %.3f ms, p95 %.3f ms, max "
                "%.3f ms\n",
                pieces, percentile(latencies, 0.5), percentile(latencies, 0.95), percentile(latencies, 1.0));
    session.clearConversation();
}

class PaintWatcher : public QObject {
public:
    qint64 firstPaintNs = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && firstPaintNs == 0)
            firstPaintNs = nowNs();
        return false;
    }
};

void longConversation(int count, const char* when) {
    AppSession& session = AppSession::shared();
    QList<ChatMessage> messages;
    for (int i = 0; i < count; ++i) {
        const bool user = i % 2 == 0;
        messages << ChatMessage(user ? ChatMessage::Role::User : ChatMessage::Role::Assistant,
                                user ? QStringLiteral("Question %1 : où est le fichier ?").arg(i)
                                     : QStringLiteral("Voici **le fichier %1** : [rapport-%1.pdf]"
                                                      "(ombrix://local_file/open/ID-%1), modifié *hier*.\n"
                                                      "Autre ligne avec `code` et du texte.")
                                           .arg(i));
    }
    session.setMessages(messages);
    CloudCatalog catalog;

    StallMeter stalls;

    const qint64 start = nowNs();
    ChatView view(session, catalog);
    PaintWatcher watcher;
    view.messageList()->viewport()->installEventFilter(&watcher);
    view.resize(380, 520);
    const qint64 built = nowNs();
    view.show();
    const qint64 shown = nowNs();
    std::printf("  (construction %.1f ms, show %.1f ms)\n", (built - start) / 1e6, (shown - built) / 1e6);
    spinUntil([&] { return watcher.firstPaintNs != 0; }, 60000);
    const double firstPaintMs = (watcher.firstPaintNs - start) / 1e6;

    stalls.start();
    QElapsedTimer build;
    build.start();
    // The list is measured in batches: done when the scroll range stops growing.
    QScrollBar* bar = view.messageList()->verticalScrollBar();
    int lastMaximum = -1;
    QElapsedTimer stable;
    stable.start();
    qint64 settledAt = 0;
    spinUntil(
        [&] {
            if (bar->maximum() != lastMaximum) {
                lastMaximum = bar->maximum();
                settledAt = build.nsecsElapsed();
                stable.restart();
            }
            return stable.elapsed() > 500;
        },
        600000);
    const double buildMs = settledAt / 1e6;
    stalls.stop();

    spinFor(100);
    const std::vector<double> steps = scrollSteps(view.messageList());
    std::printf(
        "%s, %d messages: first paint %.1f ms after building the screen; list measured in %.0f ms "
        "from the event loop, longest GUI stall %.1f ms; scroll step + repaint median %.2f ms, max %.2f "
        "ms\n",
        when, count, firstPaintMs, buildMs, stalls.longestNs() / 1e6, percentile(steps, 0.5),
        percentile(steps, 1.0));
}

// Runs what is due on the GUI thread now (posted events, due timers, paints).
void drainEvents() {
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void streamedPieceInLongConversation(int count, int pieces, bool withScreen) {
    AppSession& session = AppSession::shared();
    QList<ChatMessage> messages;
    for (int i = 0; i < count; ++i) {
        const bool user = i % 2 == 0;
        QString text = QStringLiteral("Message %1 : ").arg(i);
        while (text.size() < 500)
            text += user ? QStringLiteral("où est le fichier du rapport ? ")
                         : QStringLiteral("voici **le fichier** et `son chemin`. ");
        text.truncate(500);
        messages << ChatMessage(user ? ChatMessage::Role::User : ChatMessage::Role::Assistant, text);
    }
    messages << ChatMessage(ChatMessage::Role::Assistant, QString());
    session.setMessages(messages);
    session.saveConversationNow();
    CloudCatalog catalog;
    std::unique_ptr<ChatView> view;
    if (withScreen) {
        view = std::make_unique<ChatView>(session, catalog);
        view->resize(380, 520);
        view->show();
        spinUntil([&] { return view->messageList()->layoutMode() == QListView::SinglePass; }, 60000);
    }
    spinFor(300);

    // Pieces as the direct local road applies them: a copy of the list with the last
    // message grown, given to the session; then what that left for the event loop.
    session.setIsStreaming(true);
    std::vector<double> costs;
    std::vector<double> updateCosts;
    for (int i = 0; i < pieces; ++i) {
        QElapsedTimer piece;
        piece.start();
        QList<ChatMessage> now = session.messages();
        now.last().content += QStringLiteral("mot%1 ").arg(i);
        session.setMessages(now);
        updateCosts.push_back(piece.nsecsElapsed() / 1e6);
        drainEvents();
        const double atOnce = piece.nsecsElapsed() / 1e6;
        QThread::msleep(4); // the model's pace; the GUI thread is free meanwhile
        // What came due meanwhile (a save handed over, a layout made off the GUI
        // thread and its paint) counts toward the piece too.
        QElapsedTimer later;
        later.start();
        drainEvents();
        costs.push_back(atOnce + later.nsecsElapsed() / 1e6);
    }
    session.setIsStreaming(false);
    spinUntil([&] { return !session.conversationSavePending(); }, 60000);
    if (!withScreen) {
        // What saving once per piece on the GUI thread cost: encoding the conversation.
        const double encodeMs = medianMs([&] {
            Json array = Json::array();
            for (const ChatMessage& message : session.messages())
                array.push_back(message.toJson());
            volatile qsizetype size = json::dump(array).size();
            (void)size;
        });
        std::printf(
            "  (encoding the conversation whole, as each piece once did on the GUI thread: %.2f ms)\n",
            encodeMs);
    }
    std::printf(
        "streamed piece, %d messages of 500 characters, %s, %d pieces: GUI thread median %.3f ms, p95 "
        "%.3f ms, max %.3f ms (the conversation's update alone: median %.3f ms, max %.3f ms)\n",
        count, withScreen ? "chat screen shown" : "no screen", pieces, percentile(costs, 0.5),
        percentile(costs, 0.95), percentile(costs, 1.0), percentile(updateCosts, 0.5),
        percentile(updateCosts, 1.0));
    view.reset();
    session.clearConversation();
}

void longCloudReply(qsizetype characters) {
    FakeBackend backend;
    HttpSession::trustExtraRootsForTesting(ScriptedHttpServer::certPath(QStringLiteral("ca.pem")));
    ScriptedResponse idle = ScriptedResponse::noContent();
    idle.holdMs = 200;
    backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"), idle);
    // Events of 64 KiB, lines of markdown, 4 MiB of text in all.
    QList<QPair<int, QByteArray>> chunks{{0, "event: initial\ndata: {\"discussion_id\": 5}\n\n"}};
    qsizetype sent = 0; // characters of the reply so far (an event's lines are joined by a line feed)
    int line = 0;
    while (sent < characters) {
        QByteArray event;
        qsizetype inEvent = 0;
        while (inEvent < 64 * 1024 && sent + inEvent < characters) {
            const qsizetype joint = event.isEmpty() ? 0 : 1;
            if (sent + inEvent + joint >= characters)
                break;
            QByteArray text =
                "Ligne " + QByteArray::number(line++) + " avec du **gras**, du `code` et un mot.";
            text = text.left(characters - sent - inEvent - joint);
            event += "data: " + text + "\n";
            inEvent += joint + text.size();
        }
        if (event.isEmpty())
            break;
        sent += inEvent;
        chunks.append({0, event + "\n"});
    }
    chunks.append({0, "event: final\ndata: {}\n\n"});
    backend.route("POST", QStringLiteral("/api/v1/queries.json"), ScriptedResponse::stream(200, chunks));

    AppSession& session = AppSession::shared();
    session.setToken(QStringLiteral("tok"));
    session.setProvider(Provider::OpenAI);
    session.setMessages({ChatMessage(ChatMessage::Role::User, QStringLiteral("Écris beaucoup")),
                         ChatMessage(ChatMessage::Role::Assistant, QStringLiteral("D'accord."))});
    CloudCatalog catalog;
    ChatView view(session, catalog);
    view.resize(380, 520);
    view.show();
    spinFor(300);

    StallMeter stalls;
    stalls.start();
    QElapsedTimer total;
    total.start();
    view.input()->setPlainText(QStringLiteral("Encore plus"));
    view.send();
    MessageDelegate* delegate = view.messageList()->delegate();
    spinUntil(
        [&] {
            return view.viewModel().runningTurns() == 0 && delegate->pendingLayouts() == 0 &&
                   !session.conversationSavePending();
        },
        600000);
    spinFor(300); // the row measured again and painted
    stalls.stop();
    const qsizetype shown = session.messages().last().content.size();
    const double wholeMs = total.nsecsElapsed() / 1e6;

    const std::vector<double> steps = scrollSteps(view.messageList());
    std::printf(
        "cloud reply of %lld characters (shown: %lld): sent to laid out in %.0f ms, longest GUI stall "
        "%.1f ms; scroll step + repaint over it median %.2f ms, max %.2f ms\n",
        static_cast<long long>(characters), static_cast<long long>(shown), wholeMs, stalls.longestNs() / 1e6,
        percentile(steps, 0.5), percentile(steps, 1.0));
    session.setToken(QString());
    session.clearConversation();
}

// Messages of about `characters` characters each: markdown lines, user and
// assistant in turn.
QList<ChatMessage> longMessages(int count, qsizetype characters) {
    QList<ChatMessage> messages;
    messages.reserve(count);
    for (int i = 0; i < count; ++i) {
        QString text;
        text.reserve(characters + 80);
        for (int line = 0; text.size() < characters; ++line)
            text += QStringLiteral("Ligne %1 du message %2, avec du **gras**, un `code` et des mots.\n")
                        .arg(line)
                        .arg(i);
        text.truncate(characters);
        messages << ChatMessage(i % 2 ? ChatMessage::Role::Assistant : ChatMessage::Role::User, text);
    }
    return messages;
}

// The GUI thread's longest step as work done, not as time passed: the largest
// thread CPU time between the ticks of a 1 ms timer. On a loaded machine a step
// also waits for a core; this leaves that wait out.
class StepMeter {
public:
    StepMeter() {
        QObject::connect(&ticker_, &QTimer::timeout, [this] {
            const qint64 now = threadCpuNs();
            longest_ = std::max(longest_, now - lastTick_);
            lastTick_ = now;
        });
    }
    void start() {
        lastTick_ = threadCpuNs();
        ticker_.start(1);
    }
    void stop() { ticker_.stop(); }
    qint64 longestNs() const { return longest_; }

private:
    static qint64 threadCpuNs() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
    }
    QTimer ticker_;
    qint64 lastTick_ = 0;
    qint64 longest_ = 0;
};

// Whether the rows in sight show their message's whole text.
bool rowsInSightLaidOut(ChatMessageList* list) {
    const QRect sight = list->viewport()->rect();
    QModelIndex index = list->indexAt(sight.topLeft() + QPoint(1, 1));
    if (!index.isValid())
        return false;
    for (; index.isValid(); index = index.siblingAtRow(index.row() + 1)) {
        if (!list->visualRect(index).intersects(sight))
            break;
        if (!list->delegate()->hasWholeLayout(index))
            return false;
    }
    return true;
}

void popoverOpen(int count, qsizetype characters) {
    AppSession& session = AppSession::shared();
    session.setMode(Mode::Chat);
    session.setMessages(longMessages(count, characters));
    CloudCatalog catalog;
    ShellScreens screens;
    screens.chat = [&] { return new ChatView(session, catalog); };
    screens.pushToTalk = [] { return new QWidget; };
    screens.realtime = [] { return new QWidget; };
    auto popover = std::make_unique<TrayPopover>(screens);

    StallMeter stalls;
    StepMeter steps;
    stalls.start();
    steps.start();
    spinFor(20);
    QElapsedTimer clock;
    clock.start();
    popover->present();
    const double presentMs = clock.nsecsElapsed() / 1e6;
    auto* chat = qobject_cast<ChatView*>(popover->view()->content());
    ChatMessageList* list = chat->messageList();
    PaintWatcher watcher;
    list->viewport()->installEventFilter(&watcher);
    const qint64 started = nowNs() - clock.nsecsElapsed();
    spinUntil([&] { return watcher.firstPaintNs != 0; }, 600000);
    spinUntil([&] { return rowsInSightLaidOut(list); }, 600000);
    const double inSightMs = clock.nsecsElapsed() / 1e6;
    spinUntil([&] { return list->delegate()->pendingLayouts() == 0; }, 1800000);
    const double allMs = clock.nsecsElapsed() / 1e6;
    spinFor(300); // the last relayout
    stalls.stop();
    steps.stop();
    std::printf("popover opened on %d messages of %lld characters: present() %.1f ms, first paint %.1f ms, "
                "bubbles in sight whole %.0f ms, all laid out %.0f ms; longest GUI stall %.1f ms (longest "
                "step in GUI-thread CPU time %.1f ms)\n",
                count, static_cast<long long>(characters), presentMs, (watcher.firstPaintNs - started) / 1e6,
                inSightMs, allMs, stalls.longestNs() / 1e6, steps.longestNs() / 1e6);

    // Chat to voice: the screen laid out whole goes.
    StallMeter leaving;
    StepMeter leavingSteps;
    leaving.start();
    leavingSteps.start();
    spinFor(20);
    session.setMode(Mode::Microphone);
    spinFor(1000);
    leaving.stop();
    leavingSteps.stop();
    // Back to chat, and to voice again 200 ms later, while the layouts run.
    StallMeter early;
    StepMeter earlySteps;
    early.start();
    earlySteps.start();
    spinFor(20);
    session.setMode(Mode::Chat);
    PaintWatcher again;
    qobject_cast<ChatView*>(popover->view()->content())
        ->messageList()
        ->viewport()
        ->installEventFilter(&again);
    spinUntil([&] { return again.firstPaintNs != 0; }, 600000);
    spinFor(200);
    session.setMode(Mode::Microphone);
    spinFor(1000);
    early.stop();
    earlySteps.stop();
    std::printf("  chat to voice once all is laid out: longest GUI stall %.1f ms (CPU %.1f ms); back to chat "
                "and to voice 200 ms after its first paint: longest GUI stall %.1f ms (CPU %.1f ms)\n",
                leaving.longestNs() / 1e6, leavingSteps.longestNs() / 1e6, early.longestNs() / 1e6,
                earlySteps.longestNs() / 1e6);
    popover.reset();
    session.clearConversation();
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/ombrix-bench-XXXXXX"));
    pointHomeAt(home.path());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "ombrix.*.info=false");
    QApplication app(argc, argv);
    initOmbrixResources();
    Composition::install();
    // The settings file on disk, as in use: the conversation is saved there.
    DefaultsStore::setShared(
        std::make_shared<FileDefaultsStore>(home.path() + QStringLiteral("/defaults.json")));
    SecretStore::setShared(std::make_shared<MemorySecretStore>());
    if (argc > 1 && QByteArray(argv[1]) == "open") {
        popoverOpen(8000, 2000);
        popoverOpen(200, 100000);
        return 0;
    }
    const int pieces = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    const int messages = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2000;

    streamingLatency(pieces);
    longConversation(messages, "first screen of the process (fonts loaded)");
    longConversation(messages, "screen built again");
    streamedPieceInLongConversation(2000, 500, false);
    streamedPieceInLongConversation(2000, 500, true);
    longCloudReply(4 * 1024 * 1024);
    popoverOpen(8000, 2000);
    popoverOpen(200, 100000);
    return 0;
}

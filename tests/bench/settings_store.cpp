// The GUI thread while the settings store takes a burst of writes of a large
// conversation, as a streamed reply that stores the conversation per piece does.
// One write is made per turn of the event loop; the longest gap between two turns
// is the GUI thread's longest stall. The same burst through a store that rewrites
// and syncs the whole file on the calling thread at every assignment (how the
// settings were written before) is the baseline.
//
//   build/tests/bench_settings_store [writes] [conversation KiB]
//
// With "stream": an answer streamed into a stored conversation of 100, 2,000 and
// 8,000 messages of 2,000 characters, through the session and the settings file,
// one piece every 20 ms for [seconds] (10), with one setting changed every second
// meanwhile: the bytes the process wrote per second (its write calls, from
// /proc/self/io) and the writes of the file.
//
//   build/tests/bench_settings_store stream [seconds]
#include "platform/DefaultsStore.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {
// The previous way: the whole file encoded, written and synced (QSaveFile) on the
// calling thread at every assignment.
class SynchronousStore {
public:
    explicit SynchronousStore(QString path)
        : path_(std::move(path)) {}
    void setData(const QString& key, const QByteArray& value) {
        values_.insert(key, QJsonObject{{"data", QString::fromLatin1(value.toBase64())}});
        QSaveFile file(path_);
        if (!file.open(QIODevice::WriteOnly))
            std::abort();
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        file.write(QJsonDocument(values_).toJson(QJsonDocument::Compact));
        if (!file.commit())
            std::abort();
    }

private:
    QString path_;
    QJsonObject values_;
};

struct Result {
    double longestStallMs = 0; // longest gap between two turns of the event loop
    double longestWriteMs = 0; // longest single assignment
    double burstMs = 0;        // first assignment to last
    double flushMs = 0;        // last assignment to everything on disk
    QList<double> writeMs;     // every assignment
    double percentile(double p) const {
        QList<double> sorted = writeMs;
        std::sort(sorted.begin(), sorted.end());
        return sorted.isEmpty() ? 0 : sorted[qsizetype(p * double(sorted.size() - 1))];
    }
};

// Makes `writes` assignments, one per turn of the event loop, of a conversation
// changed a little each time.
Result burst(int writes, int kib, const std::function<void(const QByteArray&)>& write,
             const std::function<void()>& flush) {
    QByteArray conversation(kib * 1024, 'x');
    Result result;
    QElapsedTimer clock;
    clock.start();
    qint64 lastTurn = clock.nsecsElapsed();
    int made = 0;
    QTimer turn;
    turn.setInterval(0);
    QObject::connect(&turn, &QTimer::timeout, [&] {
        // From the start of one turn to the start of the next: the assignment and
        // everything else the event loop did in between.
        const qint64 now = clock.nsecsElapsed();
        result.longestStallMs = std::max(result.longestStallMs, double(now - lastTurn) / 1e6);
        lastTurn = now;
        if (made == writes) {
            turn.stop();
            QCoreApplication::quit();
            return;
        }
        conversation[made % conversation.size()] = char('a' + made % 26);
        write(conversation);
        ++made;
        result.writeMs.append(double(clock.nsecsElapsed() - now) / 1e6);
        result.longestWriteMs = std::max(result.longestWriteMs, result.writeMs.last());
    });
    const qint64 start = clock.nsecsElapsed();
    turn.start();
    QCoreApplication::exec();
    result.burstMs = double(clock.nsecsElapsed() - start) / 1e6;
    const qint64 flushStart = clock.nsecsElapsed();
    flush();
    result.flushMs = double(clock.nsecsElapsed() - flushStart) / 1e6;
    return result;
}

// The bytes the process has handed to write calls so far.
qint64 bytesWrittenByProcess() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : io.readAll().split('\n'))
        if (line.startsWith("wchar:"))
            return line.mid(6).trimmed().toLongLong();
    return 0;
}

void streamInto(const QString& folder, int count, int seconds) {
    const QString path = folder + QStringLiteral("/stream-%1.json").arg(count);
    auto store = std::make_shared<FileDefaultsStore>(path);
    DefaultsStore::setShared(store);
    AppSession::resetSharedForTesting();
    AppSession& session = AppSession::shared();
    QList<ChatMessage> messages;
    for (int i = 0; i < count; ++i) {
        QString text = QStringLiteral("Message %1 : ").arg(i);
        while (text.size() < 2000)
            text += QStringLiteral("voici **le fichier** et `son chemin`, où il était. ");
        text.truncate(2000);
        messages << ChatMessage(i % 2 ? ChatMessage::Role::Assistant : ChatMessage::Role::User, text);
    }
    messages << ChatMessage(ChatMessage::Role::Assistant, QString());
    session.setMessages(messages);
    session.saveConversationNow();
    store->flush();
    const qint64 fileBytes = QFileInfo(path).size();
    const int writesBefore = store->writeCount();
    const qint64 before = bytesWrittenByProcess();
    QElapsedTimer clock;
    clock.start();
    session.setIsStreaming(true);
    session.setStreamingMessage(AppSession::StreamingMessage{messages.last().id, false});
    int piece = 0;
    QTimer pieces;
    QObject::connect(&pieces, &QTimer::timeout, [&] {
        QList<ChatMessage> now = session.messages();
        now.last().content += QStringLiteral("mot%1 ").arg(piece);
        session.setMessages(now);
        if (++piece % 50 == 0)
            session.setDoubleCommandEnabled(piece % 100 == 0);
        if (clock.elapsed() >= seconds * 1000LL) {
            pieces.stop();
            QCoreApplication::quit();
        }
    });
    pieces.start(20);
    QCoreApplication::exec();
    const double elapsed = double(clock.nsecsElapsed()) / 1e9;
    const qint64 written = bytesWrittenByProcess() - before;
    const int writes = store->writeCount() - writesBefore;
    session.setStreamingMessage(std::nullopt);
    session.setIsStreaming(false);
    AppSession::resetSharedForTesting();
    store->flush();
    std::printf(
        "%5d messages (file %6.1f MB): %6.2f MB written per second, %3d file writes in %.1f s, %d pieces\n",
        count, double(fileBytes) / 1e6, double(written) / 1e6 / elapsed, writes, elapsed, piece);
    DefaultsStore::setShared(nullptr);
}

void print(const char* name, const Result& r) {
    std::printf("%-34s longest stall %8.2f ms, longest write %8.2f ms, burst %9.1f ms, then flush %7.1f ms\n",
                name, r.longestStallMs, r.longestWriteMs, r.burstMs, r.flushMs);
    std::printf("%-34s write median %.3f ms, 99th percentile %.3f ms\n", "", r.percentile(0.5),
                r.percentile(0.99));
}
} // namespace

int main(int argc, char** argv) {
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/ombrix-bench-XXXXXX"));
    qputenv("QT_LOGGING_RULES", "ombrix.*.info=false");
    QCoreApplication app(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "stream") {
        SecretStore::setShared(std::make_shared<MemorySecretStore>());
        const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
        std::printf("an answer streamed for %d s, a piece every 20 ms, a setting changed every second\n",
                    seconds);
        for (const int count : {100, 2000, 8000})
            streamInto(dir.path(), count, seconds);
        return 0;
    }
    const int writes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    const int kib = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1024;
    std::printf("%d writes of a %d KiB conversation, one per turn of the event loop\n", writes, kib);

    {
        FileDefaultsStore store(dir.filePath(QStringLiteral("defaults.json")));
        store.setString(QStringLiteral("selectedProvider"), QStringLiteral("openai"));
        const Result r = burst(
            writes, kib,
            [&](const QByteArray& bytes) { store.setData(QStringLiteral("chatMessages"), bytes); },
            [&] { store.flush(); });
        print("settings store (writer thread)", r);
        QByteArray last(kib * 1024, 'x');
        for (int i = 0; i < writes; ++i)
            last[i % last.size()] = char('a' + i % 26);
        if (FileDefaultsStore(store.path()).data(QStringLiteral("chatMessages")) != last) {
            std::printf("the file does not hold the last conversation\n");
            return 1;
        }
        std::printf("%-34s %d file writes for %d assignments\n", "", store.writeCount(), writes);
    }
    {
        SynchronousStore store(dir.filePath(QStringLiteral("baseline.json")));
        const Result r = burst(
            writes, kib,
            [&](const QByteArray& bytes) { store.setData(QStringLiteral("chatMessages"), bytes); }, [] {});
        print("baseline (write on every change)", r);
    }
    return 0;
}

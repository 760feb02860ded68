// The GUI thread while the settings store takes a burst of writes of a large
// conversation, as a streamed reply that stores the conversation per piece does.
// One write is made per turn of the event loop; the longest gap between two turns
// is the GUI thread's longest stall. The same burst through a store that rewrites
// and syncs the whole file on the calling thread at every assignment (how the
// settings were written before) is the baseline.
//
//   build/tests/bench_settings_store [writes] [conversation KiB]
#include "platform/DefaultsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
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

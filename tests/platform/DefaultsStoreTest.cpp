#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "support/ScratchMount.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

TEST(DefaultsStore, FileStoreKeepsEveryTypeAcrossReloads) {
    QTemporaryDir dir;
    const QString path = dir.filePath("sub/defaults.json");
    {
        FileDefaultsStore store(path);
        store.setBool("b", true);
        store.setInteger("i", 9007199254740993LL); // beyond a double's exact integers
        store.setDouble("d", 0.1);
        store.setString("s", QStringLiteral("élan « ok »"));
        store.setData("data", QByteArray("\x00\xff\x01", 3));
        store.setString("gone", "x");
        store.remove("gone");
    }
    FileDefaultsStore reloaded(path);
    EXPECT_EQ(reloaded.boolValue("b"), true);
    EXPECT_EQ(reloaded.integer("i"), 9007199254740993LL);
    EXPECT_EQ(reloaded.doubleValue("d"), 0.1);
    EXPECT_EQ(reloaded.string("s"), QStringLiteral("élan « ok »"));
    EXPECT_EQ(reloaded.data("data"), QByteArray("\x00\xff\x01", 3));
    EXPECT_FALSE(reloaded.contains("gone"));
    EXPECT_EQ(QFile(path).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup), 0);
}

TEST(DefaultsStore, ReadsConvertBetweenNumbersButNotStrings) {
    MemoryDefaultsStore store;
    store.setInteger("n", 2);
    EXPECT_EQ(store.doubleValue("n"), 2.0);
    EXPECT_EQ(store.boolValue("n"), true);
    store.setBool("flag", true);
    EXPECT_EQ(store.integer("flag"), 1);
    store.setString("text", "1");
    EXPECT_FALSE(store.integer("text"));
    EXPECT_FALSE(store.boolValue("text"));
    EXPECT_FALSE(store.string("n"));
    EXPECT_FALSE(store.string("missing"));
}

TEST(DefaultsStore, AnnouncesEveryChangeByKey) {
    MemoryDefaultsStore store;
    QSignalSpy spy(&store, &DefaultsStore::changed);
    store.setString("a", "1");
    store.setBool("b", false);
    store.remove("a");
    ASSERT_EQ(spy.count(), 3);
    EXPECT_EQ(spy.at(0).at(0).toString(), "a");
    EXPECT_EQ(spy.at(1).at(0).toString(), "b");
    EXPECT_EQ(spy.at(2).at(0).toString(), "a");
}

TEST(DefaultsStore, CorruptFileStartsEmptyAndIsReplacedOnWrite) {
    QTemporaryDir dir;
    const QString path = dir.filePath("defaults.json");
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write("{not json");
    f.close();
    FileDefaultsStore store(path);
    EXPECT_FALSE(store.contains("anything"));
    store.setString("k", "v");
    store.flush(); // writes are made by the store's writer thread
    EXPECT_EQ(FileDefaultsStore(path).string("k"), QStringLiteral("v"));
}

namespace {
QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}
// Written the way an editor saves: a new file renamed over the old one.
void replaceFile(const QString& path, const QByteArray& bytes) {
    writeFile(path + ".edit", bytes);
    ASSERT_EQ(::rename(QFile::encodeName(path + ".edit").constData(), QFile::encodeName(path).constData()),
              0);
}
QJsonObject fileObject(const QString& path) {
    return QJsonDocument::fromJson(readAll(path)).object();
}
QStringList entriesBeside(const QString& path, const QString& pattern) {
    const QFileInfo info(path);
    return info.absoluteDir().entryList({info.fileName() + pattern}, QDir::Files | QDir::Hidden);
}
} // namespace

TEST(FileDefaultsStore, AnUnreadableFileIsKeptAsideAndNeverWiped) {
    const QByteArray cases[] = {
        "{\"chatMessages\": {\"data\": \"W10=\"}, \"selectedProvider\": {\"string\": \"local\"},",
        "[1, 2, 3]",
        "",
        "{\"a\": {\"string\": \"x\"}} trailing",
    };
    for (const QByteArray& broken : cases) {
        SCOPED_TRACE(broken.toStdString());
        QTemporaryDir dir;
        const QString path = dir.filePath("defaults.json");
        writeFile(path, broken);
        {
            FileDefaultsStore store(path);
            EXPECT_FALSE(store.contains("selectedProvider"));
            store.setString("k", "v");
            store.flush();
        }
        const QStringList aside = entriesBeside(path, ".unreadable-*");
        ASSERT_EQ(aside.size(), 1);
        EXPECT_EQ(readAll(dir.filePath(aside.first())), broken); // the user's bytes, untouched
        EXPECT_EQ(FileDefaultsStore(path).string("k"), QStringLiteral("v"));

        // The same damage put back: kept once. Another damage: a second copy, the
        // first one stays.
        writeFile(path, broken);
        { FileDefaultsStore again(path); }
        writeFile(path, broken);
        { FileDefaultsStore again(path); }
        EXPECT_EQ(entriesBeside(path, ".unreadable-*").size(), 1);
        writeFile(path, broken + "!");
        { FileDefaultsStore again(path); }
        EXPECT_EQ(entriesBeside(path, ".unreadable-*").size(), 2);
    }

    // Entries the store does not understand survive its writes.
    QTemporaryDir dir;
    const QString path = dir.filePath("defaults.json");
    writeFile(
        path,
        R"({"handWritten": "https://x", "n": {"int": 5}, "ok": {"bool": true}, "odd": {"data": "**"}})");
    {
        FileDefaultsStore store(path);
        EXPECT_EQ(store.boolValue("ok"), true);
        EXPECT_FALSE(store.contains("handWritten"));
        store.setString("new", "1");
        store.setString("odd", "replaced");
    }
    const QJsonObject root = fileObject(path);
    EXPECT_EQ(root.value("handWritten").toString(), QStringLiteral("https://x"));
    EXPECT_EQ(root.value("n").toObject().value("int").toInt(), 5);
    EXPECT_EQ(root.value("odd").toObject().value("string").toString(), QStringLiteral("replaced"));
    // The entry that did not read was kept aside before it was replaced; the one
    // never written is still in the file.
    const QStringList odd = entriesBeside(path, ".odd.unreadable-*");
    ASSERT_EQ(odd.size(), 1);
    EXPECT_EQ(readAll(dir.filePath(odd.first())), R"({"odd":{"data":"**"}})");
    EXPECT_TRUE(entriesBeside(path, ".handWritten.unreadable-*").isEmpty());
    EXPECT_EQ(root.value("new").toObject().value("string").toString(), QStringLiteral("1"));
}

TEST(FileDefaultsStore, ABurstOfWritesNeverWaitsForTheDiskAndIsCoalesced) {
    QTemporaryDir dir;
    const QString path = dir.filePath("defaults.json");
    FileDefaultsStore store(path);
    // The disk is stuck: the first write waits until the test lets it go.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> firstWrite;
    bool signalled = false;
    store.setWriteHookForTesting([&, released] {
        if (!std::exchange(signalled, true))
            firstWrite.set_value();
        released.wait();
    });
    store.setData("chatMessages", QByteArray(64 * 1024, 'a'));
    firstWrite.get_future().wait();
    for (int i = 0; i < 1000; ++i)
        store.setData("chatMessages", QByteArray(64 * 1024, char('a' + i % 26)) + QByteArray::number(i));
    EXPECT_TRUE(store.data("chatMessages")->endsWith("999")); // reads see the latest value at once
    EXPECT_EQ(store.writeCount(), 0);
    release.set_value();
    store.flush();
    EXPECT_LE(store.writeCount(), 2); // the stuck write, then the latest state
    EXPECT_TRUE(FileDefaultsStore(path).data("chatMessages")->endsWith("999"));
    EXPECT_TRUE(entriesBeside(path, ".tmp-*").isEmpty());
}

TEST(FileDefaultsStore, EditsOnDiskAreSeenAndSurviveTheNextWrite) {
    QTemporaryDir dir;
    const QString path = dir.filePath("defaults.json");
    FileDefaultsStore store(path);
    store.setString("keep", "mine");
    store.setString("apiBaseURL", "https://one.example");
    store.flush();
    QSignalSpy spy(&store, &DefaultsStore::changed);

    struct Edit {
        const char* name;
        std::function<void(const QString&, const QByteArray&)> write;
        bool waitForNotice; // false: the program writes before it has heard of the edit
    };
    const Edit edits[] = {
        {"renamed into place", replaceFile, true},
        {"rewritten in place", writeFile, true},
        {"renamed, then a write at once", replaceFile, false},
        {"in place, then a write at once", writeFile, false},
    };
    int round = 0;
    for (const Edit& edit : edits) {
        SCOPED_TRACE(edit.name);
        const QString url = QStringLiteral("https://edit%1.example").arg(++round);
        QJsonObject root = fileObject(path);
        root.insert("apiBaseURL", QJsonObject{{"string", url}});
        root.remove("gone");
        edit.write(path, QJsonDocument(root).toJson());
        if (edit.waitForNotice) {
            EXPECT_TRUE(spinUntil([&] { return store.string("apiBaseURL") == url; }));
            EXPECT_TRUE(spinUntil([&] { return !spy.isEmpty(); }));
            EXPECT_EQ(spy.takeFirst().at(0).toString(), QStringLiteral("apiBaseURL"));
        }
        store.setString("gone", "x");
        store.setInteger("round", round);
        store.flush();
        const QJsonObject after = fileObject(path);
        EXPECT_EQ(after.value("apiBaseURL").toObject().value("string").toString(), url);
        EXPECT_EQ(after.value("keep").toObject().value("string").toString(), QStringLiteral("mine"));
        EXPECT_EQ(after.value("round").toObject().value("int").toString(), QString::number(round));
        EXPECT_EQ(store.string("apiBaseURL"), url);
        spy.clear();
    }

    // A key removed on disk goes; a broken edit is kept aside and the values in
    // memory are written back.
    QJsonObject root = fileObject(path);
    root.remove("apiBaseURL");
    replaceFile(path, QJsonDocument(root).toJson());
    EXPECT_TRUE(spinUntil([&] { return !store.contains("apiBaseURL"); }));
    // The broken file stays in place until the write replaces it whole: a kill
    // meanwhile leaves it to be read again at the next start.
    store.flush();
    std::mutex seenMutex;
    std::optional<QByteArray> seen; // the file when the next write begins
    store.setWriteHookForTesting([&] {
        std::lock_guard lock(seenMutex);
        if (!seen)
            seen = readAll(path);
    });
    const QByteArray broken = "{\"keep\": {\"string\": \"mi";
    replaceFile(path, broken);
    EXPECT_TRUE(spinUntil([&] { return entriesBeside(path, ".unreadable-*").size() == 1; }));
    EXPECT_TRUE(spinUntil([&] { return fileObject(path).contains("keep"); }));
    EXPECT_EQ(store.string("keep"), QStringLiteral("mine"));
    store.setWriteHookForTesting({});
    EXPECT_EQ(seen, std::optional<QByteArray>(broken));
    EXPECT_EQ(readAll(dir.filePath(entriesBeside(path, ".unreadable-*").value(0))), broken);
}

// A value that does not read, replaced while the writer keeps another one aside:
// it is kept aside too before the file is written without it. At every write, each
// value is on disk, in the file or beside it.
TEST(FileDefaultsStore, AValueReplacedWhileOthersAreKeptAsideIsKeptBeforeTheFileGoes) {
    QTemporaryDir dir;
    const QString path = dir.filePath("defaults.json");
    writeFile(path, R"({"a": {"data": "**"}, "b": {"data": "%%"}, "ok": {"bool": true}})");
    FileDefaultsStore store(path);
    std::atomic<int> writes{0};
    std::atomic<bool> lost{false};
    store.setWriteHookForTesting([&] {
        if (writes++ == 0) {
            store.setString("b", "replaced"); // while the value of "a" is being kept
            return;
        }
        if (!readAll(path).contains(R"("%%")") && entriesBeside(path, ".b.unreadable-*").isEmpty())
            lost = true;
    });
    store.setString("a", "replaced");
    store.flush();
    store.flush(); // and the change made during the first write
    store.setWriteHookForTesting({});
    EXPECT_FALSE(lost);
    EXPECT_GE(writes, 3);
    const QStringList a = entriesBeside(path, ".a.unreadable-*");
    const QStringList b = entriesBeside(path, ".b.unreadable-*");
    ASSERT_EQ(a.size(), 1);
    ASSERT_EQ(b.size(), 1);
    EXPECT_EQ(readAll(dir.filePath(a.first())), R"({"a":{"data":"**"}})");
    EXPECT_EQ(readAll(dir.filePath(b.first())), R"({"b":{"data":"%%"}})");
    const QJsonObject root = fileObject(path);
    EXPECT_EQ(root.value("a").toObject().value("string").toString(), QStringLiteral("replaced"));
    EXPECT_EQ(root.value("b").toObject().value("string").toString(), QStringLiteral("replaced"));
    EXPECT_EQ(root.value("ok").toObject().value("bool").toBool(), true);
}

// The child of the next test: writes as fast as it can until it is killed.
TEST(FileDefaultsStoreChild, WritesUntilKilled) {
    const QString path = qEnvironmentVariable("OMBRIX_TEST_SETTINGS_CHILD");
    if (path.isEmpty())
        GTEST_SKIP() << "runs in a child process only";
    FileDefaultsStore store(path);
    QByteArray conversation(1024 * 1024, 'c');
    for (qint64 i = 0;; ++i) {
        conversation[int(i % conversation.size())] = char('a' + i % 26);
        store.setData("chatMessages", conversation);
        store.setInteger("counter", i);
        if (i == 0) {
            store.flush();
            printf("ready\n");
            fflush(stdout);
        }
    }
}

TEST(FileDefaultsStore, KillNineLeavesAWholePrivateFileAndNoTemporary) {
    QTemporaryDir dir;
    const QString path = dir.filePath("defaults.json");
    for (int round = 0; round < 4; ++round) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("OMBRIX_TEST_SETTINGS_CHILD", path);
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=FileDefaultsStoreChild.WritesUntilKilled")});
        ASSERT_TRUE(child.waitForStarted());
        while (!child.readAllStandardOutput().contains("ready"))
            ASSERT_TRUE(child.waitForReadyRead(kEventWaitMs));
        QThread::msleep(QRandomGenerator::global()->bounded(20, 200));
        child.kill(); // SIGKILL
        ASSERT_TRUE(child.waitForFinished(kEventWaitMs));

        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(readAll(path), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << "round " << round;
        EXPECT_TRUE(doc.object().contains("counter"));
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    // An interrupted write's temporary is removed at the next start.
    writeFile(path + ".tmp-interrupted", "{\"half");
    FileDefaultsStore store(path);
    EXPECT_TRUE(store.integer("counter").has_value());
    EXPECT_TRUE(entriesBeside(path, ".tmp-*").isEmpty());
    EXPECT_TRUE(entriesBeside(path, ".unreadable-*").isEmpty());
}

// The child of the next test: loads the settings with its address space capped
// a little above what it already uses, and prints what it read.
TEST(FileDefaultsStoreChild, LoadsUnderAnAddressSpaceCap) {
    const QString path = qEnvironmentVariable("OMBRIX_TEST_SETTINGS_CAPPED");
    if (path.isEmpty())
        GTEST_SKIP() << "runs in a child process only";
    QFile statm(QStringLiteral("/proc/self/statm"));
    ASSERT_TRUE(statm.open(QIODevice::ReadOnly));
    const qint64 pages = statm.readAll().split(' ').value(0).toLongLong();
    ASSERT_GT(pages, 0);
    const rlim_t cap = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + 96 * 1024 * 1024;
    const struct rlimit limit { cap, cap };
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &limit), 0);
    FileDefaultsStore store(path);
    printf("read %lld %lld\n",
           static_cast<long long>(store.data("chatMessages").value_or(QByteArray()).size()),
           static_cast<long long>(store.integer("counter").value_or(-1)));
    fflush(stdout);
}

// Reading the settings file asks for memory by the file's size, not by the largest
// file it accepts (a buffer of hundreds of MiB at every start).
TEST(FileDefaultsStore, ReadingTheFileAsksForMemoryByItsSize) {
    QTemporaryDir dir;
    const QString path = dir.filePath("defaults.json");
    {
        FileDefaultsStore store(path);
        store.setData("chatMessages", QByteArray(300 * 1024 + 7, 'm')); // several read chunks
        store.setInteger("counter", 42);
        store.flush();
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("OMBRIX_TEST_SETTINGS_CAPPED", path);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=FileDefaultsStoreChild.LoadsUnderAnAddressSpaceCap")});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray output = child.readAllStandardOutput();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString() << child.readAllStandardError().toStdString();
    EXPECT_TRUE(output.contains("read " + QByteArray::number(300 * 1024 + 7) + " 42"))
        << output.toStdString();
    EXPECT_TRUE(entriesBeside(path, ".unreadable-*").isEmpty());
}

// The keychain reads "highSecurityMode" on a worker thread while the GUI thread may
// be writing other settings: reads must see whole values while the table grows.
TEST(DefaultsStore, ReadsFromAnotherThreadDuringWrites) {
    QTemporaryDir dir;
    MemoryDefaultsStore memory;
    FileDefaultsStore file(dir.filePath("defaults.json"));
    for (DefaultsStore* store : {static_cast<DefaultsStore*>(&memory), static_cast<DefaultsStore*>(&file)}) {
        store->setBool("highSecurityMode", true);
        std::atomic<bool> done = false;
        std::atomic<int> wrong = 0;
        std::thread reader([&] {
            while (!done)
                if (store->boolValue("highSecurityMode") != true)
                    ++wrong;
        });
        const int writes = store == &memory ? 20000 : 150;
        for (int i = 0; i < writes; ++i)
            store->setInteger(QStringLiteral("k%1").arg(i), i);
        done = true;
        reader.join();
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(store->integer(QStringLiteral("k%1").arg(writes - 1)), writes - 1);
    }
}

TEST(Localization, FallsBackToTheFrenchText) {
    EXPECT_EQ(loc("Réponse illisible du serveur"), QStringLiteral("Réponse illisible du serveur"));
}

// A save the disk refuses (full, or read-only): flush() says so, the file on disk
// stays as it was, the values stay in memory, the reason is told once however often
// the save is tried again, and the save is carried out by itself once it can be.
TEST(FileDefaultsStore, AFailedSaveIsToldKeptAndCarriedOutOnceItCanBe) {
    ScratchMount disk(512 * 1024);
    if (!disk.ok())
        GTEST_SKIP() << "a small file system cannot be mounted here: " << disk.why().toStdString();
    const QString path = disk.filePath("ombrix/defaults.json");
    FileDefaultsStore store(path);
    store.setRetryDelaysForTesting(20, 100);
    store.setString("selectedProvider", "local");
    store.setData("chatMessages", QByteArray(20 * 1024, 'a'));
    ASSERT_TRUE(store.flush());
    EXPECT_EQ(store.saveProblem(), DefaultsStore::SaveProblem::None);
    QSignalSpy told(&store, &DefaultsStore::saveProblemChanged);

    struct Case {
        const char* what;
        DefaultsStore::SaveProblem problem;
        std::function<void()> fail;
        std::function<void()> mend;
    };
    const Case cases[] = {
        {"disk full", DefaultsStore::SaveProblem::DiskFull, [&] { disk.fill(); }, [&] { disk.makeRoom(); }},
        {"read-only", DefaultsStore::SaveProblem::ReadOnly, [&] { ASSERT_TRUE(disk.setReadOnly(true)); },
         [&] { ASSERT_TRUE(disk.setReadOnly(false)); }},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QByteArray before = readAll(path);
        c.fail();
        const QByteArray conversation(40 * 1024, char('b' + round));
        store.setData("chatMessages", conversation);
        store.setInteger("round", ++round);
        EXPECT_FALSE(store.flush());
        EXPECT_EQ(store.saveProblem(), c.problem);
        // Tried again by itself (and at every flush), told once.
        const int writes = store.writeCount();
        EXPECT_TRUE(spinUntil([&] { return store.writeCount() >= writes + 3; }, 30000));
        EXPECT_FALSE(store.flush());
        spinFor(20);
        ASSERT_EQ(told.count(), 1);
        EXPECT_EQ(told.takeFirst().at(0).value<DefaultsStore::SaveProblem>(), c.problem);
        // Nothing on disk is lost or made worse, and nothing is left behind.
        EXPECT_EQ(readAll(path), before);
        EXPECT_TRUE(entriesBeside(path, ".tmp-*").isEmpty());
        EXPECT_EQ(store.data("chatMessages"), conversation);

        c.mend();
        EXPECT_TRUE(
            spinUntil([&] { return store.saveProblem() == DefaultsStore::SaveProblem::None; }, 30000));
        EXPECT_TRUE(spinUntil([&] { return told.count() == 1; }));
        EXPECT_EQ(told.takeFirst().at(0).value<DefaultsStore::SaveProblem>(),
                  DefaultsStore::SaveProblem::None);
        EXPECT_TRUE(store.flush());
        FileDefaultsStore reread(path);
        EXPECT_EQ(reread.data("chatMessages"), conversation);
        EXPECT_EQ(reread.integer("round"), round);
        EXPECT_EQ(reread.string("selectedProvider"), QStringLiteral("local"));
    }
}

// The store's bound on its file holds for what it writes as for what it reads: a
// file just under it is written and read back; a save that would pass it is not
// made, the last file stays readable, and the reason is told.
TEST(FileDefaultsStore, NeverWritesAFileItWouldRefuseToRead) {
    QTemporaryDir dir;
    const QString path = dir.filePath("defaults.json");
    const qint64 bound = 64 * 1024;
    // base64 and the entry's frame: a value of 46,000 bytes makes a file of about 61 KiB.
    const QByteArray under(46000, 'u');
    const QByteArray over(50000, 'o');
    {
        FileDefaultsStore store(path, bound);
        store.setRetryDelaysForTesting(20, 100);
        store.setData("chatMessages", under);
        ASSERT_TRUE(store.flush());
        EXPECT_LE(QFileInfo(path).size(), bound);
        const QByteArray kept = readAll(path);
        QSignalSpy told(&store, &DefaultsStore::saveProblemChanged);
        store.setData("chatMessages", over);
        EXPECT_FALSE(store.flush());
        EXPECT_EQ(store.saveProblem(), DefaultsStore::SaveProblem::TooLarge);
        EXPECT_EQ(readAll(path), kept);
        EXPECT_TRUE(spinUntil([&] { return told.count() == 1; }));
        // Made smaller, it is saved again.
        store.setData("chatMessages", under + "more");
        EXPECT_TRUE(store.flush());
        EXPECT_TRUE(spinUntil([&] { return store.saveProblem() == DefaultsStore::SaveProblem::None; }));
    }
    FileDefaultsStore reread(path, bound);
    EXPECT_EQ(reread.data("chatMessages"), under + "more");
    EXPECT_TRUE(entriesBeside(path, ".unreadable-*").isEmpty());
}

// The keys each of the two writers below writes. Without the writers' lock on the
// file, 40 writes each (with a 64 KiB conversation, which keeps each write open a
// while) lost keys in each of ten runs.
constexpr int kWriterKeys = 40;

// The child of the next test: writes its own keys one by one, each saved before
// the next, into a settings file another process writes too. Both begin together
// (each says it is ready and waits for the other), whatever their start took.
TEST(FileDefaultsStoreChild, WritesItsOwnKeys) {
    const QString path = qEnvironmentVariable("OMBRIX_TEST_SETTINGS_WRITER");
    const QString prefix = qEnvironmentVariable("OMBRIX_TEST_SETTINGS_PREFIX");
    if (path.isEmpty())
        GTEST_SKIP() << "runs in a child process only";
    FileDefaultsStore store(path);
    store.setData("chatMessages", QByteArray(64 * 1024, prefix.at(0).toLatin1()));
    writeFile(path + ".ready-" + prefix, "");
    ASSERT_TRUE(spinUntil([&] { return entriesBeside(path, ".ready-*").size() == 2; }));
    for (int i = 0; i < kWriterKeys; ++i) {
        store.setInteger(prefix + QString::number(i), i);
        ASSERT_TRUE(store.flush());
    }
    int own = 0;
    for (int i = 0; i < kWriterKeys; ++i)
        own += store.integer(prefix + QString::number(i)) == i ? 1 : 0;
    EXPECT_EQ(own, kWriterKeys); // none dropped as "removed on disk"
}

// Two programs on one settings file (two sessions of one user): neither erases
// the other's writes.
TEST(FileDefaultsStore, TwoProgramsWritingOneFileKeepEveryKey) {
    QTemporaryDir dir;
    const QString path = dir.filePath("defaults.json");
    std::vector<std::unique_ptr<QProcess>> children;
    for (const char* prefix : {"a", "b"}) {
        auto child = std::make_unique<QProcess>();
        QProcessEnvironment env = childEnvironment();
        env.insert("OMBRIX_TEST_SETTINGS_WRITER", path);
        env.insert("OMBRIX_TEST_SETTINGS_PREFIX", prefix);
        child->setProcessEnvironment(env);
        child->setProcessChannelMode(QProcess::MergedChannels);
        child->start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--gtest_filter=FileDefaultsStoreChild.WritesItsOwnKeys")});
        ASSERT_TRUE(child->waitForStarted());
        children.push_back(std::move(child));
    }
    for (auto& child : children) {
        ASSERT_TRUE(spinUntil([&] { return child->state() == QProcess::NotRunning; }));
        EXPECT_EQ(child->exitCode(), 0) << child->readAll().toStdString();
    }
    FileDefaultsStore store(path);
    int kept = 0;
    for (const char* prefix : {"a", "b"})
        for (int i = 0; i < kWriterKeys; ++i)
            kept += store.integer(QString::fromLatin1(prefix) + QString::number(i)) == i ? 1 : 0;
    EXPECT_EQ(kept, 2 * kWriterKeys);
    EXPECT_TRUE(entriesBeside(path, ".tmp-*").isEmpty());
}

// Ten hand edits of the file (as an editor saves: a new file renamed into place)
// while an answer streams into a 1 MB conversation that the store keeps
// rewriting: every edit is kept, none is written over. The editor saves what it
// read (it takes the writers' lock for its read and its save, as another program
// does): an editor that saves a copy read before the store's last write cannot be
// told from one that removed what the write added.
TEST(FileDefaultsStore, HandEditsDuringAStreamAreAllKept) {
    QTemporaryDir dir;
    const QString path = dir.filePath("defaults.json");
    FileDefaultsStore store(path);
    QByteArray conversation(1024 * 1024, 'c');
    store.setData("chatMessages", conversation);
    ASSERT_TRUE(store.flush());
    // Three edits land between the store's check of the file and its new file
    // taking the place (the window that a write leaves open), made there by the
    // store's hook. One user: the two editors below take turns (each reads,
    // changes and renames the file before the other starts).
    std::mutex user;
    std::atomic<int> inWindow = 0;
    store.setWriteHookForTesting([&] {
        const int i = inWindow;
        if (i >= 3)
            return;
        std::lock_guard turn(user);
        QJsonObject root = fileObject(path);
        root.insert(QStringLiteral("window%1").arg(i), QJsonObject{{"int", QString::number(i)}});
        // A name of its own: the other editor below renames its own files.
        writeFile(path + ".window", QJsonDocument(root).toJson(QJsonDocument::Compact));
        ::rename(QFile::encodeName(path + ".window").constData(), QFile::encodeName(path).constData());
        ++inWindow;
    });
    std::atomic<bool> streaming = true;
    std::thread editor([&] {
        const int writers =
            ::open(QFile::encodeName(path + ".lock").constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(QRandomGenerator::global()->bounded(20, 120)));
            // The writers' lock first, as the store takes it before the edit in its window.
            ::flock(writers, LOCK_EX);
            const auto release = qScopeGuard([writers] { ::flock(writers, LOCK_UN); });
            std::lock_guard turn(user);
            QJsonObject root = fileObject(path);
            root.insert(QStringLiteral("hand%1").arg(i),
                        QJsonObject{{"string", QStringLiteral("edit %1").arg(i)}});
            root.insert("apiBaseURL",
                        QJsonObject{{"string", QStringLiteral("https://edit%1.example").arg(i)}});
            replaceFile(path, QJsonDocument(root).toJson(QJsonDocument::Compact));
        }
        ::close(writers);
        streaming = false;
    });
    int piece = 0;
    while (streaming) {
        conversation[piece % conversation.size()] = char('a' + piece % 26);
        store.setData("chatMessages", conversation);
        ++piece;
        spinFor(10);
    }
    editor.join();
    // The last edit is noticed (the file has been quiet for a while).
    EXPECT_TRUE(spinUntil([&] { return store.string("hand9").has_value(); }));
    // The store writes on until its window has had its three edits (a loaded machine
    // may have let it write fewer times while the editor ran).
    const QDeadlineTimer writing(kEventWaitMs);
    while (inWindow < 3 && !writing.hasExpired()) {
        conversation[piece % conversation.size()] = char('a' + piece % 26);
        store.setData("chatMessages", conversation);
        ++piece;
        spinFor(10);
    }
    EXPECT_EQ(inWindow, 3);
    store.setWriteHookForTesting({});
    store.setData("chatMessages", conversation);
    ASSERT_TRUE(store.flush());
    ASSERT_TRUE(store.flush());
    const QJsonObject root = fileObject(path);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(root.value(QStringLiteral("window%1").arg(i)).toObject().value("int").toString(),
                  QString::number(i));
        EXPECT_EQ(store.integer(QStringLiteral("window%1").arg(i)), i);
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(root.value(QStringLiteral("hand%1").arg(i)).toObject().value("string").toString(),
                  QStringLiteral("edit %1").arg(i));
        EXPECT_EQ(store.string(QStringLiteral("hand%1").arg(i)), QStringLiteral("edit %1").arg(i));
    }
    EXPECT_EQ(store.string("apiBaseURL"), QStringLiteral("https://edit9.example"));
    EXPECT_EQ(FileDefaultsStore(path).data("chatMessages"), conversation);
}

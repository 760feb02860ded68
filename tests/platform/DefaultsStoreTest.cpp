#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
    EXPECT_EQ(FileDefaultsStore(path).string("k"), QStringLiteral("v"));
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

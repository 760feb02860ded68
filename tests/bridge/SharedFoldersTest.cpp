// Shared folders and the document id cache, in the test process's temporary home.
#include "bridge/BookmarkStore.h"
#include "bridge/BridgeIDCache.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

class SharedFoldersTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults = installMemoryDefaults();
        BookmarkStore::resetSharedForTesting();
        root = QDir::homePath() + QStringLiteral("/shared-") + newName();
        ASSERT_TRUE(QDir().mkpath(root));
    }
    void TearDown() override {
        BookmarkStore::resetSharedForTesting();
        removeTestFolder(root);
    }
    static QString newName() { return QUuid::createUuid().toString(QUuid::Id128).left(8); }
    QString makeDir(const QString& relative) {
        const QString path = root + QLatin1Char('/') + relative;
        EXPECT_TRUE(QDir().mkpath(path));
        return path;
    }
    // Error text of add(), or empty when it succeeded.
    QString refusal(const QString& path) {
        try {
            BookmarkStore::shared().add(path);
        } catch (...) {
            return errorText(std::current_exception());
        }
        return QString();
    }
    QByteArray stored() const {
        return defaults->data(QStringLiteral("bridgeAllowedBookmarks")).value_or(QByteArray());
    }

    std::shared_ptr<MemoryDefaultsStore> defaults;
    QString root;
};

const QString kNotADirectory = QStringLiteral("Le chemin n'est pas un dossier.");
const QString kSensitive = QStringLiteral("Dossier système refusé pour raisons de sécurité.");

TEST(BridgeIDCacheTest, KeepsTheThousandMostRecentlyPutIds) {
    BridgeIDCache cache;
    for (int i = 0; i < 1000; ++i)
        cache.put(QStringLiteral("id-%1").arg(i), QStringLiteral("/f/%1").arg(i));
    // Re-putting id-0 (same path) makes it the newest; reading id-1 protects nothing.
    cache.put(QStringLiteral("id-0"), QStringLiteral("/f/0"));
    EXPECT_EQ(cache.get(QStringLiteral("id-1")), QStringLiteral("/f/1"));
    cache.put(QStringLiteral("id-1000"), QStringLiteral("/f/1000"));
    cache.put(QStringLiteral("id-1001"), QStringLiteral("/f/1001"));

    EXPECT_EQ(cache.count(), 1000);
    EXPECT_EQ(cache.get(QStringLiteral("id-0")), QStringLiteral("/f/0"));
    EXPECT_FALSE(cache.get(QStringLiteral("id-1")).has_value());
    EXPECT_FALSE(cache.get(QStringLiteral("id-2")).has_value());
    EXPECT_EQ(cache.get(QStringLiteral("id-3")), QStringLiteral("/f/3"));
    EXPECT_EQ(cache.get(QStringLiteral("id-1001")), QStringLiteral("/f/1001"));

    cache.put(QStringLiteral("id-3"), QStringLiteral("/elsewhere"));
    EXPECT_EQ(cache.get(QStringLiteral("id-3")), QStringLiteral("/elsewhere"));
    EXPECT_EQ(cache.count(), 1000);

    // Every id of one answer resolves right after it, however many; the next put
    // brings the cache back to its capacity, the latest answer kept whole.
    QList<std::pair<QString, QByteArray>> answer;
    for (int i = 0; i < 1500; ++i)
        answer.append({QStringLiteral("big-%1").arg(i), QByteArray("/g/") + QByteArray::number(i)});
    cache.putAnswer(answer);
    EXPECT_EQ(cache.count(), 1500);
    for (const auto& [id, path] : answer)
        ASSERT_EQ(cache.getNative(id), path) << id.toStdString();
    EXPECT_FALSE(cache.get(QStringLiteral("id-1001")).has_value());
    cache.putAnswer({{QStringLiteral("small"), QByteArray("/s")}});
    EXPECT_EQ(cache.count(), 1000);
    EXPECT_EQ(cache.get(QStringLiteral("small")), QStringLiteral("/s"));
    EXPECT_FALSE(cache.get(QStringLiteral("big-500")).has_value());
    EXPECT_EQ(cache.get(QStringLiteral("big-501")), QStringLiteral("/g/501"));
}

TEST_F(SharedFoldersTest, AddsPersistsAndRemovesFolders) {
    const QString docs = makeDir(QStringLiteral("Documents"));
    QSignalSpy changed(&BookmarkStore::shared(), &BookmarkStore::entriesChanged);

    const BookmarkEntry first = BookmarkStore::shared().add(docs + QLatin1Char('/'));
    const BookmarkEntry second = BookmarkStore::shared().add(QUrl::fromLocalFile(docs));
    EXPECT_EQ(first.displayName, QStringLiteral("Documents"));
    EXPECT_NE(first.id, second.id);
    EXPECT_EQ(changed.count(), 2);

    // The stored form: an array of {id, bookmarkData, displayName, addedAt}.
    const Json array = json::parse(stored());
    ASSERT_EQ(array.size(), 2u);
    EXPECT_EQ(array[0]["id"], json::str(first.id.toString(QUuid::WithoutBraces).toUpper()));
    EXPECT_EQ(array[0]["displayName"], "Documents");
    EXPECT_TRUE(array[0]["addedAt"].is_number());
    EXPECT_EQ(QByteArray::fromBase64(QByteArray::fromStdString(array[0]["bookmarkData"].get<std::string>())),
              first.bookmarkData);

    // A new store (a restart) reads equal entries in the same order.
    BookmarkStore::resetSharedForTesting();
    EXPECT_EQ(BookmarkStore::shared().entries(), (QList<BookmarkEntry>{first, second}));
    EXPECT_EQ(BookmarkPersistence::load(), (QList<BookmarkEntry>{first, second}));

    const auto resolved = BookmarkResolver::resolve(first.bookmarkData);
    EXPECT_EQ(resolved.path(), QFileInfo(docs).canonicalFilePath());
    EXPECT_FALSE(resolved.stale);

    BookmarkStore::shared().remove(first.id);
    EXPECT_EQ(BookmarkPersistence::load(), (QList<BookmarkEntry>{second}));

    // Removing an unknown id changes nothing but still rewrites the list.
    QSignalSpy writes(defaults.get(), &DefaultsStore::changed);
    BookmarkStore::shared().remove(QUuid::createUuid());
    EXPECT_EQ(BookmarkPersistence::load(), (QList<BookmarkEntry>{second}));
    EXPECT_EQ(writes.count(), 1);
}

TEST_F(SharedFoldersTest, RefusesFilesMissingPathsAndSensitiveFolders) {
    const QString home = QDir::homePath();
    QDir().mkpath(home + QStringLiteral("/.ssh/keys"));
    QDir().mkpath(home + QStringLiteral("/.sshx"));
    QDir().mkpath(home + QStringLiteral("/.gnupg"));
    QDir().mkpath(home + QStringLiteral("/.local/share/keyrings"));
    QDir().mkpath(home + QStringLiteral("/.password-store/web"));
    QFile file(root + QStringLiteral("/notes.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    // Links into sensitive folders are judged by where they lead.
    ASSERT_TRUE(QFile::link(home + QStringLiteral("/.ssh"), root + QStringLiteral("/innocent")));
    ASSERT_TRUE(QFile::link(home + QStringLiteral("/.ssh/keys"), root + QStringLiteral("/keys-link")));
    ASSERT_TRUE(QFile::link(QStringLiteral("/etc"), root + QStringLiteral("/etc-link")));
    // A sensitive folder that does not exist yet stays sensitive when reached through its parent.
    ASSERT_TRUE(QFile::link(home, root + QStringLiteral("/home-link")));

    EXPECT_EQ(refusal(file.fileName()), kNotADirectory);
    EXPECT_EQ(refusal(root + QStringLiteral("/missing")), kNotADirectory);
    EXPECT_EQ(refusal(QString()), kNotADirectory);
    EXPECT_EQ(refusal(home + QStringLiteral("/.ssh")), kSensitive);
    EXPECT_EQ(refusal(home + QStringLiteral("/.ssh/keys")), kSensitive);
    EXPECT_EQ(refusal(home + QStringLiteral("/.ssh/../.ssh/keys/.")), kSensitive);
    EXPECT_EQ(refusal(home + QStringLiteral("/.gnupg")), kSensitive);
    EXPECT_EQ(refusal(home + QStringLiteral("/.local/share/keyrings")), kSensitive);
    EXPECT_EQ(refusal(home + QStringLiteral("/.password-store/web")), kSensitive);
    EXPECT_EQ(refusal(root + QStringLiteral("/innocent")), kSensitive);
    EXPECT_EQ(refusal(root + QStringLiteral("/keys-link")), kSensitive);
    EXPECT_EQ(refusal(root + QStringLiteral("/etc-link")), kSensitive);
    EXPECT_EQ(refusal(root + QStringLiteral("/home-link")), kSensitive);
    EXPECT_EQ(refusal(QStringLiteral("/etc")), kSensitive);
    EXPECT_EQ(refusal(QStringLiteral("/")), kSensitive);
    EXPECT_EQ(refusal(home), kSensitive);
    // Nor anything that holds the home folder or a sensitive folder, nor the other
    // programs' settings.
    QDir().mkpath(home + QStringLiteral("/.config/app"));
    for (const QString& container :
         {QFileInfo(home).absolutePath(), home + QStringLiteral("/.local"),
          home + QStringLiteral("/.local/share"), home + QStringLiteral("/.config"),
          home + QStringLiteral("/.config/app")})
        EXPECT_EQ(refusal(container), kSensitive) << container.toStdString();
    EXPECT_TRUE(BookmarkStore::shared().entries().isEmpty());
    EXPECT_FALSE(defaults->contains(QStringLiteral("bridgeAllowedBookmarks")));

    // Names that merely begin like a sensitive folder are fine.
    EXPECT_EQ(refusal(home + QStringLiteral("/.sshx")), QString());
    EXPECT_FALSE(BookmarkStore::isSystemSensitive(QStringLiteral("/etcetera")));
    EXPECT_TRUE(BookmarkStore::isSystemSensitive(QStringLiteral("/private/var/db/x")));
    EXPECT_FALSE(BookmarkStore::isSystemSensitive(QStringLiteral("/private/var/dbx")));
    EXPECT_EQ(BookmarkStore::shared().entries().size(), 1);
}

TEST_F(SharedFoldersTest, AnUnreadableStoredListIsKeptAsideBeforeItIsReplaced) {
    const QString docs = makeDir(QStringLiteral("Docs"));
    const BookmarkEntry kept = BookmarkStore::shared().add(docs);
    // One entry without "addedAt" spoils the whole list.
    Json array = json::parse(stored());
    Json broken = array[0];
    broken.erase("addedAt");
    array.push_back(broken);
    const QByteArray bad = json::dump(array);
    defaults->setData(QStringLiteral("bridgeAllowedBookmarks"), bad);

    EXPECT_TRUE(BookmarkPersistence::load().isEmpty());
    EXPECT_EQ(stored(), bad); // reading leaves it in place

    BookmarkStore::resetSharedForTesting();
    const BookmarkEntry added = BookmarkStore::shared().add(makeDir(QStringLiteral("Other")));
    EXPECT_EQ(BookmarkPersistence::load(), (QList<BookmarkEntry>{added}));
    EXPECT_EQ(defaults->data(QStringLiteral("bridgeAllowedBookmarks.unreadable")), bad);

    // A value of another kind is kept aside as well.
    defaults->setString(QStringLiteral("bridgeAllowedBookmarks"), QStringLiteral("oops"));
    EXPECT_TRUE(BookmarkPersistence::load().isEmpty());
    BookmarkPersistence::save({kept});
    EXPECT_EQ(defaults->string(QStringLiteral("bridgeAllowedBookmarks.unreadable")), QStringLiteral("oops"));
    EXPECT_EQ(BookmarkPersistence::load(), (QList<BookmarkEntry>{kept}));
}

TEST_F(SharedFoldersTest, BookmarksResolveGoStaleAndFail) {
    const QString docs = makeDir(QStringLiteral("Docs"));
    const QByteArray bookmark = BookmarkResolver::makeBookmark(docs);

    // Renamed within its parent, with another folder now at the old path: the
    // shared folder is found again under its new name, marked stale.
    const QString moved = root + QStringLiteral("/Moved");
    ASSERT_TRUE(QDir().rename(docs, moved));
    makeDir(QStringLiteral("Docs"));
    const auto renamed = BookmarkResolver::resolve(bookmark);
    EXPECT_TRUE(renamed.stale);
    EXPECT_EQ(renamed.url, QUrl::fromLocalFile(QFileInfo(moved).canonicalFilePath()));

    // Gone, with another folder at its path: refused as moved, never the other folder.
    removeTestFolder(moved);
    EXPECT_FALSE(BookmarkResolver::tryResolve(bookmark).has_value());
    EXPECT_EQ(BookmarkResolver::open(bookmark).refusal, BookmarkResolver::Refusal::Moved);
    removeTestFolder(docs);
    EXPECT_FALSE(BookmarkResolver::tryResolve(bookmark).has_value());
    EXPECT_EQ(BookmarkResolver::open(bookmark).refusal, BookmarkResolver::Refusal::Missing);
    try {
        BookmarkResolver::resolve(bookmark);
        ADD_FAILURE() << "a missing folder resolved";
    } catch (const BookmarkError& error) {
        EXPECT_EQ(error.kind(), BookmarkError::Kind::ResolutionFailed);
        EXPECT_TRUE(error.description().startsWith(QStringLiteral("Bookmark: ")));
    }
    EXPECT_FALSE(BookmarkResolver::tryResolve("not json").has_value());
    EXPECT_FALSE(BookmarkResolver::tryResolve(R"({"path":"relative","device":1,"inode":2})").has_value());

    BookmarkResolver::resetAccessCounts();
    {
        BookmarkResolver::ScopedAccess access(QUrl::fromLocalFile(root));
        EXPECT_TRUE(access.started());
        EXPECT_EQ(BookmarkResolver::accessStarts(), 1);
        EXPECT_EQ(BookmarkResolver::accessStops(), 0);
    }
    EXPECT_EQ(BookmarkResolver::accessStops(), 1);
}

} // namespace

// The test programs' own safety net: folders are deleted only inside a temporary home.
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

TEST(TestSafety, FoldersAreDeletedOnlyInsideATemporaryHome) {
    ASSERT_TRUE(testHomeIsTemporary());
    const QString hub = QDir::homePath() + "/.cache/huggingface/hub";
    ASSERT_TRUE(QDir().mkpath(hub + "/models--a--b"));
    EXPECT_TRUE(removeTestFolder(hub));
    EXPECT_FALSE(QFileInfo::exists(hub));

    // A folder outside the home (this build's, wherever the checkout lies), and one
    // elsewhere in the temporary folder: neither is this program's home.
    const QString outside =
        QDir::currentPath() + "/ombrix-guard-" + QUuid::createUuid().toString(QUuid::Id128).left(8);
    ASSERT_TRUE(QDir().mkpath(outside + "/.cache/huggingface/hub"));
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QDir().mkpath(elsewhere.path() + "/hub"));
    for (const QString& path :
         {outside, QString(), QString("relative/folder"), QDir::tempPath(), QDir::homePath(),
          QDir::homePath() + "/..", QDir::tempPath() + "/../" + QFileInfo(outside).fileName(),
          elsewhere.path(), elsewhere.path() + "/hub",
          QDir::homePath() + "/../" + QFileInfo(elsewhere.path()).fileName()}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_NONFATAL_FAILURE(removeTestFolder(path), "refusing to delete");
    }
    EXPECT_TRUE(QFileInfo::exists(outside + "/.cache/huggingface/hub"));
    EXPECT_TRUE(QFileInfo::exists(elsewhere.path() + "/hub"));

    // Any one of the variables pointing out of it: nothing is deleted anywhere.
    ASSERT_TRUE(QDir().mkpath(hub));
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        for (const QString& other : {outside, elsewhere.path()}) {
            const QByteArray saved = qgetenv(name);
            qputenv(name, other.toUtf8());
            EXPECT_FALSE(testHomeIsTemporary()) << name;
            EXPECT_NONFATAL_FAILURE(removeTestFolder(hub), "refusing to delete");
            EXPECT_NONFATAL_FAILURE(removeTestFolder(other + "/.cache"), "refusing to delete");
            qputenv(name, saved);
        }
    }
    EXPECT_TRUE(QFileInfo::exists(hub));
    EXPECT_TRUE(QFileInfo::exists(outside + "/.cache/huggingface/hub"));
    QDir(outside).removeRecursively();
}

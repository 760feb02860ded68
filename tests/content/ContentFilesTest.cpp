#include "content/ContentFiles.h"

#include <QDir>
#include <QTimeZone>

#include <gtest/gtest.h>

TEST(ContentFiles, ContainmentNeedsTheSlash) {
    EXPECT_TRUE(ContentFiles::isInside(QStringLiteral("/a/Projets"), QStringLiteral("/a/Projets")));
    EXPECT_TRUE(ContentFiles::isInside(QStringLiteral("/a/Projets/x.txt"), QStringLiteral("/a/Projets")));
    EXPECT_FALSE(ContentFiles::isInside(QStringLiteral("/a/Projets2/x.txt"), QStringLiteral("/a/Projets")));
    EXPECT_FALSE(ContentFiles::isInside(QStringLiteral("/a/projets/x.txt"), QStringLiteral("/a/Projets")));
    EXPECT_TRUE(ContentFiles::isInside(QStringLiteral("/etc"), QStringLiteral("/")));
}

TEST(ContentFiles, HomeIsShownAsTildeOnlyAtTheStart) {
    const QString home = QDir::homePath();
    EXPECT_EQ(ContentFiles::homeDisplay(home), QStringLiteral("~"));
    EXPECT_EQ(ContentFiles::homeDisplay(home + QStringLiteral("/Documents/Projets")),
              QStringLiteral("~/Documents/Projets"));
    // A sibling whose name merely begins like the home folder keeps its path, and
    // so does a path that holds the home path further on.
    EXPECT_EQ(ContentFiles::homeDisplay(home + QStringLiteral("x/a")), home + QStringLiteral("x/a"));
    EXPECT_EQ(ContentFiles::homeDisplay(QStringLiteral("/mnt") + home), QStringLiteral("/mnt") + home);
}

TEST(ContentFiles, NetworkFileSystemsAreRemote) {
    EXPECT_TRUE(ContentFiles::isRemoteFileSystem(0x6969, {})); // NFS
    // FUSE is told apart by the mount table's type: sshfs is remote, ntfs-3g is not.
    EXPECT_TRUE(ContentFiles::isRemoteFileSystem(0x65735546, "fuse.sshfs"));
    EXPECT_FALSE(ContentFiles::isRemoteFileSystem(0x65735546, "fuseblk"));
    EXPECT_FALSE(ContentFiles::isOnRemoteVolume(QDir::tempPath()));
    EXPECT_FALSE(ContentFiles::isOnRemoteVolume(QStringLiteral("/nowhere/at/all")));
}

TEST(ContentFiles, DatesAreUtcWithoutFraction) {
    const QDateTime paris(QDate(2025, 3, 14), QTime(10, 26, 53, 789), QTimeZone("Europe/Paris"));
    EXPECT_EQ(ContentFiles::isoDateText(paris), QStringLiteral("2025-03-14T09:26:53Z"));
}

TEST(ContentFiles, FoldingIgnoresCaseAndAccents) {
    EXPECT_EQ(ContentFiles::fold(QStringLiteral("Été À ÇA")), QStringLiteral("ete a ca"));
    EXPECT_EQ(ContentFiles::fold(QStringLiteral("RAPPORT")), QStringLiteral("rapport"));
    EXPECT_EQ(ContentFiles::withoutLoneSurrogates(QStringLiteral("a") + QChar(0xDC00) + QStringLiteral("😀")),
              QStringLiteral("a\uFFFD😀"));
}

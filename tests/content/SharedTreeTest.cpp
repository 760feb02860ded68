// Opening below a shared folder through its descriptor: the path rules, links that
// stay inside or lead out, and a folder swapped for a link while files are opened.
#include "content/SharedTree.h"
#include "support/DocumentFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <thread>
#include <unistd.h>

namespace {

QByteArray contentOf(const SharedTree::Opened& opened) {
    QByteArray bytes(64, '\0');
    const ssize_t got = ::pread(opened.fd.get(), bytes.data(), bytes.size(), 0);
    bytes.truncate(got > 0 ? got : 0);
    return bytes;
}

class SharedTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        share = scratch.filePath(QStringLiteral("share"));
        outside = scratch.filePath(QStringLiteral("outside"));
        DocumentFiles::write(share + QStringLiteral("/a.txt"), "A");
        DocumentFiles::write(share + QStringLiteral("/sub/b.txt"), "B");
        DocumentFiles::write(share + QStringLiteral("/.hidden/h.txt"), "H");
        DocumentFiles::write(outside + QStringLiteral("/secret.txt"), "SECRET");
        link(share + QStringLiteral("/sub/b.txt"), QStringLiteral("absolute-in"));
        link(QStringLiteral("sub/b.txt"), QStringLiteral("relative-in"));
        link(QStringLiteral("sub/../a.txt"), QStringLiteral("up-and-in"));
        link(QStringLiteral("sub"), QStringLiteral("sub-link"));
        link(outside + QStringLiteral("/secret.txt"), QStringLiteral("absolute-out"));
        link(QStringLiteral("../outside/secret.txt"), QStringLiteral("relative-out"));
        link(outside, QStringLiteral("folder-out"));
        link(QStringLiteral(".hidden/h.txt"), QStringLiteral("into-hidden"));
        link(QStringLiteral("/proc/self/root") + outside + QStringLiteral("/secret.txt"),
             QStringLiteral("magic"));
        link(QStringLiteral("boucle"), QStringLiteral("boucle"));
        link(share + QStringLiteral("/nulle-part"), QStringLiteral("dangling"));
        tree = SharedTree::openRoot(QFile::encodeName(share));
        ASSERT_TRUE(tree);
    }
    void link(const QString& target, const QString& name) {
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(),
                            QFile::encodeName(share + QLatin1Char('/') + name).constData()),
                  0);
    }

    QTemporaryDir scratch;
    QString share;
    QString outside;
    std::shared_ptr<SharedTree> tree;
};

TEST_F(SharedTreeTest, OpensOnlyWhatStaysInsideAndVisible) {
    struct Case {
        QByteArray relative;
        QByteArray content; // when opened
        int error;          // otherwise
    };
    const Case cases[] = {
        {"a.txt", "A", 0},
        {"sub//b.txt", "B", 0},
        {"./sub/./b.txt", "B", 0},
        {"absolute-in", "B", 0},
        {"relative-in", "B", 0},
        {"up-and-in", "A", 0},
        {"sub-link/b.txt", "B", 0},
        {"absolute-out", {}, EXDEV},
        {"relative-out", {}, EXDEV},
        {"folder-out/secret.txt", {}, EXDEV},
        {"magic", {}, EXDEV},
        {"into-hidden", {}, EXDEV},
        {".hidden/h.txt", {}, EINVAL},
        {"sub/../a.txt", {}, EINVAL},
        {"/etc/passwd", {}, EINVAL},
        {QByteArray("a.txt\0/x", 8), {}, EINVAL},
        {"a.txt\n", {}, EINVAL},
        {"sub/\x7f", {}, EINVAL},
        {"boucle", {}, ELOOP},
        {"dangling", {}, ENOENT},
        {"absent.txt", {}, ENOENT},
        {"a.txt/x", {}, ENOTDIR},
    };
    for (const Case& c : cases) {
        const SharedTree::Opened opened = tree->open(c.relative, O_RDONLY);
        if (c.error == 0) {
            ASSERT_TRUE(opened.fd.valid()) << c.relative.toStdString() << ": errno " << opened.error;
            EXPECT_EQ(contentOf(opened), c.content) << c.relative.toStdString();
        } else {
            EXPECT_FALSE(opened.fd.valid()) << c.relative.toStdString();
            EXPECT_EQ(opened.error, c.error) << c.relative.toStdString();
        }
    }
    // Where a link led is reported below the root.
    EXPECT_EQ(tree->open("sub-link/b.txt", O_RDONLY).realRelative, QByteArray("sub/b.txt"));
    EXPECT_EQ(tree->relativeOf(QFile::encodeName(share) + "/sub"), QByteArray("sub"));
    EXPECT_FALSE(tree->relativeOf(QFile::encodeName(share) + "2/sub"));
    // A root is a folder reached without a link at its end.
    EXPECT_FALSE(SharedTree::openRoot(QFile::encodeName(share) + "/folder-out"));
    EXPECT_FALSE(SharedTree::openRoot(QFile::encodeName(share) + "/a.txt"));
}

TEST(SharedPaths, NamesAndComponents) {
    EXPECT_EQ(SharedPaths::components(QStringLiteral("a//b/")), (QStringList{"a", "b"}));
    EXPECT_FALSE(SharedPaths::components(QStringLiteral("/a")));
    EXPECT_FALSE(SharedPaths::components(QStringLiteral("a/../b")));
    EXPECT_FALSE(SharedPaths::components(QStringLiteral("a/.git")));
    EXPECT_FALSE(SharedPaths::components(QStringLiteral("lien") + QChar(0)));
    EXPECT_FALSE(SharedPaths::components(QStringLiteral("a\tb")));
    // Names that are not UTF-8 are shown byte for byte in Latin-1.
    EXPECT_EQ(SharedPaths::displayName("caf\xe9.txt"), QStringLiteral("café.txt"));
    EXPECT_EQ(SharedPaths::displayName("caf\xc3\xa9.txt"), QStringLiteral("café.txt"));
}

// A folder of the share and a link to the outside swap places (atomically, over
// and over) while the same path is opened: every open gives the inside file or
// fails, never the outside one.
TEST_F(SharedTreeTest, AFolderSwappedForALinkNeverLeadsOut) {
    DocumentFiles::write(share + QStringLiteral("/dossier/doc.txt"), "inside");
    DocumentFiles::write(outside + QStringLiteral("/doc.txt"), "SECRET");
    link(outside, QStringLiteral("piege"));
    const QByteArray folder = QFile::encodeName(share + QStringLiteral("/dossier"));
    const QByteArray trap = QFile::encodeName(share + QStringLiteral("/piege"));
    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread flipper([&] {
        while (!stop) {
            if (::renameat2(AT_FDCWD, folder.constData(), AT_FDCWD, trap.constData(), RENAME_EXCHANGE) == 0)
                ++swaps;
        }
    });
    int inside = 0;
    int leaked = 0;
    for (int i = 0; i < 5000; ++i) {
        const SharedTree::Opened opened = tree->open("dossier/doc.txt", O_RDONLY);
        if (!opened.fd.valid())
            continue;
        const QByteArray content = contentOf(opened);
        inside += content == "inside";
        leaked += content == "SECRET";
    }
    stop = true;
    flipper.join();
    EXPECT_EQ(leaked, 0);
    EXPECT_GT(inside, 0);
    EXPECT_GT(swaps.load(), 100);
}

} // namespace

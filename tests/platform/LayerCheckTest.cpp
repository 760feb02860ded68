// The layer check (scripts/check-layers.sh, the "layers" test) sees an include
// that points up however it is spelled: it reads what the preprocessor includes.
#include "support/MediaFixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

bool copyTree(const QString& from, const QString& to) {
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + path.mid(from.size());
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(path, target))
            return false;
    }
    return true;
}

bool prepend(const QString& path, const QByteArray& line) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.readAll();
    file.close();
    return fixtures::writeFile(path, line + '\n' + text);
}

} // namespace

TEST(LayerCheck, AnIncludePointingUpFailsHoweverItIsSpelled) {
    QTemporaryDir scratch;
    const QString src = scratch.filePath(QStringLiteral("src"));
    ASSERT_TRUE(copyTree(QStringLiteral(OMBRIX_SOURCE_DIR "/src"), src));
    // Each file, below app, includes one of app's headers in one of the forms a
    // line-by-line pattern misses.
    struct Insert {
        const char* file;
        QByteArray line;
        const char* header;
    };
    const Insert inserts[] = {
        {"content/ContentFiles.cpp", "#include <app/AppDelegate.h>", "app/AppDelegate.h"}, // would be there
        {"session/AppSession.cpp", "#include <app/Composition.h>", "app/Composition.h"},
        {"voice/AudioCodec.cpp", "#include \"../app/Composition.h\"", "app/Composition.h"},
        {"bridge/BridgeService.cpp", "    #  include \"app/LinkRouter.h\"", "app/LinkRouter.h"},
        {"wire/BridgeTask.cpp", "\t#include\t\"app/DeepLinks.h\"", "app/DeepLinks.h"},
    };
    for (const Insert& insert : inserts)
        ASSERT_TRUE(prepend(src + QLatin1Char('/') + QLatin1String(insert.file), insert.line)) << insert.file;

    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(QStringLiteral("bash"), {QStringLiteral(OMBRIX_SOURCE_DIR "/scripts/check-layers.sh"), src});
    ASSERT_TRUE(check.waitForFinished(300'000));
    const QString output = QString::fromUtf8(check.readAll());
    EXPECT_EQ(check.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(check.exitCode(), 1) << output.toStdString();
    // Exactly these files fail, each for its include.
    QSet<QString> failing;
    for (const QString& line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        failing.insert(line.section(QLatin1Char(':'), 0, 0));
    QSet<QString> expected;
    for (const Insert& insert : inserts) {
        expected.insert(QLatin1String(insert.file));
        EXPECT_TRUE(output.contains(QStringLiteral("%1: includes %2, which is not below it")
                                        .arg(QLatin1String(insert.file), QLatin1String(insert.header))))
            << insert.file;
    }
    EXPECT_EQ(failing, expected) << output.toStdString();
}

#include "support/MediaFixtures.h"

#include "bridge/ScreenControlBridgeHandler.h"
#include "content/DesktopOpener.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using namespace ScreenControlBridgeHandler;

QString dataHome() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

bool writeExecutable(const QString& path, const QByteArray& script) {
    return fixtures::writeFile(path, script) &&
           QFile::setPermissions(path,
                                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QByteArray desktopFile(const QByteArray& name, const QByteArray& extra = QByteArray()) {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=true\n" + extra;
}

// User applications in $XDG_DATA_HOME/applications, system ones in a temporary
// $XDG_DATA_DIRS (the machine's own applications never take part).
class LocateAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedDataDirs = qgetenv("XDG_DATA_DIRS");
        qputenv("XDG_DATA_DIRS", system.path().toUtf8());
        user = dataHome() + QStringLiteral("/applications");
        const QString sys = system.path() + QStringLiteral("/applications");
        write(user + "/org.example.Notes.desktop", desktopFile("Notes"));
        write(user + "/ghost.desktop", desktopFile("Fantôme", "Hidden=true\n"));
        write(user + "/vendor/tool.desktop", desktopFile("Outil"));
        write(user + "/a/b/deep.desktop", desktopFile("Profond"));
        write(sys + "/org.example.Notes.desktop", desktopFile("Notes du système"));
        write(sys + "/calc.desktop", desktopFile("Calculator", "Name[fr]=Calculatrice\n"));
        write(sys + "/link.desktop", "[Desktop Entry]\nType=Link\nName=Lien\nURL=https://example.org\n");
        write(sys + "/broken.desktop", "Name=Cassé\n");
        write(sys + "/dup.desktop", desktopFile("Double"));
        write(user + "/zz-dup.desktop", desktopFile("Double"));
    }
    void TearDown() override {
        qputenv("XDG_DATA_DIRS", savedDataDirs);
        removeTestFolder(user);
    }
    static void write(const QString& path, const QByteArray& contents) {
        ASSERT_TRUE(fixtures::writeFile(path, contents));
    }

    QTemporaryDir system;
    QString user;
    QByteArray savedDataDirs;
};

TEST_F(LocateAppTest, findsByDesktopIdThenByName) {
    const QString sys = system.path() + QStringLiteral("/applications");
    // The desktop-file id, with or without its suffix; the user's entry hides the system's.
    EXPECT_EQ(locateApp(QStringLiteral("org.example.Notes")), user + "/org.example.Notes.desktop");
    EXPECT_EQ(locateApp(QStringLiteral("org.example.Notes.desktop")), user + "/org.example.Notes.desktop");
    EXPECT_EQ(locateApp(QStringLiteral("calc")), sys + "/calc.desktop");
    // A subfolder entry's id joins the folder and the file name with "-".
    EXPECT_EQ(locateApp(QStringLiteral("vendor-tool")), user + "/vendor/tool.desktop");
    // By name: direct entries of every folder before the subfolders' entries.
    EXPECT_EQ(locateApp(QStringLiteral("Notes")), user + "/org.example.Notes.desktop");
    EXPECT_EQ(locateApp(QStringLiteral("Double")), user + "/zz-dup.desktop");
    EXPECT_EQ(locateApp(QStringLiteral("Calculator")), sys + "/calc.desktop");
    EXPECT_EQ(locateApp(QStringLiteral("Outil")), user + "/vendor/tool.desktop");
    // The name is taken verbatim: no case folding, no trimming.
    EXPECT_FALSE(locateApp(QStringLiteral("calculator")));
    EXPECT_FALSE(locateApp(QStringLiteral(" Notes")));
    // Only the Name key counts, not its translations.
    EXPECT_FALSE(locateApp(QStringLiteral("Calculatrice")));
}

TEST_F(LocateAppTest, findsNothingOutsideTheRules) {
    // Two levels down, hidden entries, links, files without the entry group.
    for (const char* name :
         {"Profond", "deep", "a-b-deep", "Fantôme", "ghost", "Lien", "link", "Cassé", "broken"})
        EXPECT_FALSE(locateApp(QString::fromUtf8(name))) << name;
    // A name is never a path: "/" or NUL find nothing, even where a file would match.
    const QStringList paths{QStringLiteral("vendor/tool"),
                            QStringLiteral("../applications/calc"),
                            user + QStringLiteral("/org.example.Notes.desktop"),
                            QStringLiteral("/usr/bin/sh"),
                            QStringLiteral("calc") + QChar(u'\0'),
                            QStringLiteral("calc\n"),
                            QStringLiteral("..\\applications\\calc"),
                            QStringLiteral("..-evil"),
                            QStringLiteral(".-calc"),
                            QString()};
    // An entry above the applications folders (reached as "<folder>/../evil.desktop"
    // through the vendor form of "..-evil").
    write(dataHome() + "/evil.desktop", desktopFile("Evil"));
    for (const QString& name : paths)
        EXPECT_FALSE(locateApp(name)) << name.toStdString();
    QFile::remove(dataHome() + "/evil.desktop");
}

class ShortcutsTest : public ::testing::Test {
protected:
    ShortcutsCommand fake(const QByteArray& script) {
        const QString path = dir.filePath(QStringLiteral("runner-%1").arg(++count));
        EXPECT_TRUE(writeExecutable(path, "#!/bin/sh\n" + script));
        return {path, {}};
    }
    static QString failure(const std::function<void()>& call, int* code = nullptr) {
        try {
            call();
        } catch (const ShortcutsCLIError& error) {
            if (code)
                *code = error.code();
            return error.description();
        } catch (const OmbrixError& error) {
            return QStringLiteral("other: ") + error.description();
        }
        return QStringLiteral("(no error)");
    }
    QTemporaryDir dir;
    int count = 0;
};

TEST_F(ShortcutsTest, argumentsInputAndOutputPassUnchanged) {
    // Each argument arrives whole; the input arrives on standard input; the output is trimmed.
    const ShortcutsCommand echo = fake("printf '  [%s]\\n' \"$@\"; printf 'in='; cat; printf '\\n\\n'\n");
    const QString name = QStringLiteral("Mon \"raccourci\" d'été  ");
    EXPECT_EQ(runShortcutsCLI(echo, {QStringLiteral("run"), name}, QStringLiteral("entrée é")),
              QStringLiteral("[run]\n  [Mon \"raccourci\" d'été  ]\nin=entrée é"));
    // Without input the tool reads an empty standard input.
    EXPECT_EQ(runShortcutsCLI(echo, {QStringLiteral("list")}, std::nullopt), QStringLiteral("[list]\nin="));
    // Output that is not UTF-8 is empty.
    EXPECT_EQ(runShortcutsCLI(fake("printf 'caf\\351'\n"), {}, std::nullopt), QString());
    EXPECT_EQ(runShortcutsCLI(fake("printf 'a\\377b'\n"), {}, std::nullopt), QString());
}

TEST_F(ShortcutsTest, namesWithControlCharactersAreRefusedBeforeAnythingRuns) {
    // The runner would receive "a" for "a\0b" (and run another shortcut), or two lines.
    const QString ran = dir.filePath(QStringLiteral("ran"));
    const ShortcutsCommand marker = fake("touch '" + ran.toUtf8() + "'\n");
    for (const QString& name : {QStringLiteral("a") + QChar(0) + QStringLiteral("b"), QStringLiteral("a\nb"),
                                QStringLiteral("\tonglet"), QStringLiteral("fin\x7f")}) {
        EXPECT_EQ(failure([&] {
                      runShortcutsCLI(marker, {QStringLiteral("run"), name}, std::nullopt);
                  }),
                  QStringLiteral("other: Le nom du raccourci contient un caractère de contrôle."))
            << name.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(ran));
    EXPECT_EQ(runShortcutsCLI(marker, {QStringLiteral("run"), QStringLiteral("Café du matin")}, std::nullopt),
              QString());
    EXPECT_TRUE(QFileInfo::exists(ran));
}

TEST_F(ShortcutsTest, largeOutputAndUnreadInputNeverStall) {
    // 3 MB on each output stream, far beyond a pipe's buffer, come back whole.
    const ShortcutsCommand noisy =
        fake("head -c 3000000 /dev/zero | tr '\\0' e >&2; head -c 3000000 /dev/zero | tr '\\0' o\n");
    const QString output = runShortcutsCLI(noisy, {}, std::nullopt);
    EXPECT_EQ(output.size(), 3000000);
    EXPECT_EQ(output.count(QLatin1Char('o')), 3000000);
    // 8 MB of input that the tool never reads: it exits, and so does the call.
    const QString input(8 * 1024 * 1024, QLatin1Char('i'));
    EXPECT_EQ(runShortcutsCLI(fake("echo fini\n"), {}, input), QStringLiteral("fini"));
    // A tool that reads all its input sees every byte.
    EXPECT_EQ(runShortcutsCLI(fake("wc -c | tr -d ' '\n"), {}, input), QString::number(input.size()));
}

TEST_F(ShortcutsTest, failuresCarryTheStatusAndTheTrimmedErrorText) {
    int code = 0;
    EXPECT_EQ(failure([&] { runShortcutsCLI(fake("exit 1\n"), {}, std::nullopt); }, &code),
              QStringLiteral("exit 1"));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(failure(
                  [&] {
                      runShortcutsCLI(fake("echo partiel; printf '  hélas\\n\\n' >&2; exit 7\n"), {},
                                      std::nullopt);
                  },
                  &code),
              QStringLiteral("hélas"));
    EXPECT_EQ(code, 7);
    // Standard error made only of blanks is not empty: the message is then empty too.
    EXPECT_EQ(failure([&] { runShortcutsCLI(fake("printf '  ' >&2; exit 2\n"), {}, std::nullopt); }),
              QString());
    EXPECT_TRUE(failure([&] {
                    runShortcutsCLI({dir.filePath(QStringLiteral("missing")), {}}, {}, std::nullopt);
                }).startsWith(QStringLiteral("other: Impossible de lancer l'outil des raccourcis : ")));
}

// The built-in runner over $XDG_DATA_HOME/ombrix/shortcuts.
class BuiltInRunnerTest : public ::testing::Test {
protected:
    void SetUp() override { folder = dataHome() + QStringLiteral("/ombrix/shortcuts"); }
    void TearDown() override { removeTestFolder(folder); }
    QString folder;
};

TEST_F(BuiltInRunnerTest, listsAndRunsTheExecutablesOfTheShortcutsFolder) {
    const ShortcutsCommand runner = builtInShortcutsCommand();
    EXPECT_EQ(runShortcutsCLI(runner, {QStringLiteral("list")}, std::nullopt), QString()); // no folder yet
    const QString quoted = QStringLiteral("Dire \"bonjour\" à l'équipe");
    ASSERT_TRUE(writeExecutable(folder + "/Météo", "#!/bin/sh\necho \"Il fait beau, $(cat)\"\n"));
    ASSERT_TRUE(writeExecutable(folder + "/" + quoted, "#!/bin/sh\necho salut\nexit 3\n"));
    ASSERT_TRUE(writeExecutable(folder + "/.cache", "#!/bin/sh\necho caché\n"));
    ASSERT_TRUE(fixtures::writeFile(folder + "/notes.txt", "pas un raccourci"));
    ASSERT_TRUE(QDir().mkpath(folder + "/dossier"));

    EXPECT_EQ(parseShortcutList(runShortcutsCLI(runner, {QStringLiteral("list")}, std::nullopt)),
              (QStringList{quoted, QStringLiteral("Météo")}));
    EXPECT_EQ(
        runShortcutsCLI(runner, {QStringLiteral("run"), QStringLiteral("Météo")}, QStringLiteral("Paris")),
        QStringLiteral("Il fait beau, Paris"));
    int code = 0;
    try {
        runShortcutsCLI(runner, {QStringLiteral("run"), quoted}, std::nullopt);
        ADD_FAILURE() << "a failing shortcut must throw";
    } catch (const ShortcutsCLIError& error) {
        code = error.code();
        EXPECT_EQ(error.description(), QStringLiteral("exit 3"));
    }
    EXPECT_EQ(code, 3);
    // Only the executables of the folder itself: no hidden file, no other file, no way out.
    for (const QString& name :
         {QStringLiteral("notes.txt"), QStringLiteral(".cache"), QStringLiteral("dossier"),
          QStringLiteral("../shortcuts/Météo"), QStringLiteral("Absent")}) {
        try {
            runShortcutsCLI(runner, {QStringLiteral("run"), name}, std::nullopt);
            ADD_FAILURE() << name.toStdString();
        } catch (const ShortcutsCLIError& error) {
            EXPECT_EQ(error.description(), QStringLiteral("Raccourci introuvable : ") + name);
        }
    }
}

TEST(DesktopOpenerTest, recognisesFilesThatCouldRunCode) {
    QTemporaryDir dir;
    auto file = [&](const QString& name, const QByteArray& bytes) {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(fixtures::writeFile(path, bytes));
        return path;
    };
    QImage image(4, 4, QImage::Format_RGB32);
    image.fill(Qt::green);
    const QString png = dir.filePath(QStringLiteral("photo.png"));
    ASSERT_TRUE(image.save(png));
    EXPECT_FALSE(DesktopOpener::couldRunCode(png));
    EXPECT_FALSE(DesktopOpener::couldRunCode(file(QStringLiteral("notes.txt"), "Bonjour\n")));
    EXPECT_FALSE(DesktopOpener::couldRunCode(dir.path()));

    // Scripts and entries by name or content, with or without the execute bit.
    EXPECT_TRUE(DesktopOpener::couldRunCode(file(QStringLiteral("install.sh"), "echo hi\n")));
    EXPECT_TRUE(DesktopOpener::couldRunCode(file(QStringLiteral("README"), "#!/bin/sh\nrm -rf ~\n")));
    EXPECT_TRUE(DesktopOpener::couldRunCode(file(QStringLiteral("tool.py"), "print('x')\n")));
    EXPECT_TRUE(DesktopOpener::couldRunCode(file(QStringLiteral("app.desktop"), desktopFile("App"))));
    EXPECT_TRUE(DesktopOpener::couldRunCode(file(QStringLiteral("setup.exe"), "MZ\x90\0\3\0\0\0")));
    QFile elf(QStringLiteral("/bin/true"));
    ASSERT_TRUE(elf.open(QIODevice::ReadOnly));
    EXPECT_TRUE(DesktopOpener::couldRunCode(file(QStringLiteral("document"), elf.readAll())));
    // Any execute bit, whatever the content.
    const QString pdfLooking = file(QStringLiteral("rapport.pdf"), "%PDF-1.4\n");
    EXPECT_FALSE(DesktopOpener::couldRunCode(pdfLooking));
    ASSERT_TRUE(QFile::setPermissions(pdfLooking, QFileDevice::ReadOwner | QFileDevice::ExeOther));
    EXPECT_TRUE(DesktopOpener::couldRunCode(pdfLooking));
    // Links are judged by their target; dangling links, FIFOs and missing files are refused.
    const QString link = dir.filePath(QStringLiteral("lien.txt"));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("install.sh")), link));
    EXPECT_TRUE(DesktopOpener::couldRunCode(link));
    const QString dangling = dir.filePath(QStringLiteral("dangling.txt"));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("nowhere")), dangling));
    EXPECT_TRUE(DesktopOpener::couldRunCode(dangling));
    const QString fifo = dir.filePath(QStringLiteral("pipe.txt"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_TRUE(DesktopOpener::couldRunCode(fifo));
    EXPECT_TRUE(DesktopOpener::couldRunCode(dir.filePath(QStringLiteral("missing.pdf"))));
}

} // namespace

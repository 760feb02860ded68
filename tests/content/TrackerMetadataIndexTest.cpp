// The Tracker headers (glib) come before Qt's.
#include <libtracker-sparql/tracker-sparql.h>

#include "content/SpotlightSearch.h"
#include "content/TrackerMetadataIndex.h"

#include "support/DocumentFiles.h"
#include "support/FakeMetadataIndex.h"
#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

QStringList namesOf(const QList<MetadataItem>& items) {
    QStringList names;
    for (const MetadataItem& item : items)
        names.append(QFileInfo(item.path).fileName());
    return names;
}

// A private Tracker store with the ontology the file miner uses, filled the way
// the miner fills it: a file resource per file, and for documents an information
// element stored as that file, with its title and text.
class TrackerStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        GError* error = nullptr;
        connection = tracker_sparql_connection_new(TRACKER_SPARQL_CONNECTION_FLAGS_NONE, nullptr,
                                                   tracker_sparql_get_ontology_nepomuk(), nullptr, &error);
        ASSERT_NE(connection, nullptr) << (error ? error->message : "");
        index = std::make_shared<TrackerMetadataIndex>(connection);
        share = dir.filePath(QStringLiteral("Mes Dossiers/Partagé"));
        QDir().mkpath(share);
        addFolder(share);
    }
    void TearDown() override {
        index.reset();
        if (connection)
            g_object_unref(connection);
    }

    void update(const QString& sparql) {
        GError* error = nullptr;
        tracker_sparql_connection_update(connection, sparql.toUtf8().constData(), nullptr, &error);
        ASSERT_EQ(error, nullptr) << error->message << "\n" << sparql.toStdString();
    }
    void addFolder(const QString& path) {
        const QString uri = TrackerMetadataIndex::sparqlString(TrackerMetadataIndex::fileUri(path));
        update(QStringLiteral("INSERT DATA { GRAPH tracker:FileSystem { ?f a nfo:FileDataObject ; "
                              "nie:url %1 ; nfo:fileName %2 } }")
                   .replace(QStringLiteral("?f"), QStringLiteral("<%3>"))
                   .arg(uri, TrackerMetadataIndex::sparqlString(QFileInfo(path).fileName()),
                        TrackerMetadataIndex::fileUri(path)));
    }
    // A real file, and its resources in the store.
    QString add(const QString& relative, int dayOfMonth, const QString& title = {}, const QString& text = {},
                const QString& folder = {}) {
        const QString path = DocumentFiles::write(
            (folder.isEmpty() ? share : folder) + QLatin1Char('/') + relative, text.toUtf8());
        const QString uri = TrackerMetadataIndex::fileUri(path);
        const QString date =
            QDateTime(QDate(2025, 2, dayOfMonth), QTime(8, 0), Qt::UTC).toString(Qt::ISODate);
        QString content = QStringLiteral("<urn:content:%1> a nfo:Document ; nie:isStoredAs <%2>")
                              .arg(QString::number(++counter), uri);
        if (!title.isEmpty())
            content += QStringLiteral(" ; nie:title %1").arg(TrackerMetadataIndex::sparqlString(title));
        if (!text.isEmpty())
            content +=
                QStringLiteral(" ; nie:plainTextContent %1").arg(TrackerMetadataIndex::sparqlString(text));
        update(QStringLiteral(
                   "INSERT DATA { GRAPH tracker:FileSystem { <%1> a nfo:FileDataObject ; nie:url %2 ; "
                   "nfo:fileName %3 ; nfo:fileSize %4 ; nfo:fileLastModified \"%5\" } "
                   "GRAPH tracker:Documents { %6 } }")
                   .arg(uri, TrackerMetadataIndex::sparqlString(uri),
                        TrackerMetadataIndex::sparqlString(QFileInfo(path).fileName()),
                        QString::number(text.toUtf8().size()), date, content));
        return path;
    }
    QList<MetadataItem> gather(const MetadataPredicate& predicate, qint64 limit = 50,
                               QStringList folders = {}) {
        if (folders.isEmpty())
            folders = {share};
        MetadataGathering gathering(limit);
        index->gather(MetadataQuery{predicate, folders, limit}, gathering);
        return gathering.end();
    }
    QList<MetadataItem> find(const QString& token) { return gather(MetadataPredicate{{{token}}}); }

    QTemporaryDir dir;
    QString share;
    TrackerSparqlConnection* connection = nullptr;
    std::shared_ptr<TrackerMetadataIndex> index;
    int counter = 0;
};

} // namespace

TEST_F(TrackerStoreTest, MatchesNameTitleAndContentIgnoringCase) {
    add("Rapport annuel.txt", 3);
    add("notes.txt", 5, QStringLiteral("Le RAPPORT du jury"));
    add("lettre.txt", 7, {}, QStringLiteral("Voici mon rapport complet"));
    add("autre.txt", 9, QStringLiteral("Sans objet"), QStringLiteral("rien"));
    const QList<MetadataItem> items = find(QStringLiteral("rapport"));
    EXPECT_EQ(namesOf(items), (QStringList{"lettre.txt", "notes.txt", "Rapport annuel.txt"})); // newest first
    ASSERT_FALSE(items.isEmpty());
    EXPECT_EQ(items.at(0).name, QStringLiteral("lettre.txt"));
    EXPECT_EQ(items.at(0).size, 25);
    EXPECT_EQ(items.at(0).modifiedAt, QDateTime(QDate(2025, 2, 7), QTime(8, 0), Qt::UTC));
    // Accents count, case does not.
    add("Été.txt", 10);
    EXPECT_EQ(namesOf(find(QStringLiteral("ÉTÉ"))), (QStringList{"Été.txt"}));
    EXPECT_TRUE(find(QStringLiteral("ete")).isEmpty());
    // Every word of a group, any group.
    EXPECT_EQ(namesOf(gather(MetadataPredicate{{{"rapport", "jury"}}})), (QStringList{"notes.txt"}));
    EXPECT_EQ(namesOf(gather(MetadataPredicate{{{"jury"}, {"objet"}}})),
              (QStringList{"autre.txt", "notes.txt"}));
    EXPECT_EQ(namesOf(gather(MetadataPredicate{{{"rapport"}}}, 2)), (QStringList{"lettre.txt", "notes.txt"}));
    EXPECT_TRUE(gather(MetadataPredicate{}).isEmpty());
}

TEST_F(TrackerStoreTest, TokensAreLiteralExceptForWildcards) {
    add("l'été.txt", 1);
    add("dit \"oui\".txt", 2);
    add("a\\u0041b.txt", 3);
    add("a.b.txt", 4);
    add("axb.txt", 5);
    add("(brouillon) [v2] $1^.txt", 6);
    add("rapport.txt", 7);
    EXPECT_EQ(namesOf(find(QStringLiteral("L'ÉTÉ"))), (QStringList{"l'été.txt"}));
    EXPECT_EQ(namesOf(find(QStringLiteral("\"oui\""))), (QStringList{"dit \"oui\".txt"}));
    EXPECT_EQ(namesOf(find(QStringLiteral("a\\u0041"))), (QStringList{"a\\u0041b.txt"}));
    EXPECT_EQ(namesOf(find(QStringLiteral("a.b"))), (QStringList{"a.b.txt"}));
    EXPECT_EQ(namesOf(find(QStringLiteral("(brouillon)"))), (QStringList{"(brouillon) [v2] $1^.txt"}));
    EXPECT_EQ(namesOf(find(QStringLiteral("[v2]"))), (QStringList{"(brouillon) [v2] $1^.txt"}));
    EXPECT_EQ(namesOf(find(QStringLiteral("$1^"))), (QStringList{"(brouillon) [v2] $1^.txt"}));
    EXPECT_EQ(namesOf(find(QStringLiteral("r?pp*t"))), (QStringList{"rapport.txt"}));
    EXPECT_EQ(find(QStringLiteral("*")).size(), 7);
    EXPECT_TRUE(find(QStringLiteral("\"} } SELECT")).isEmpty());
}

TEST_F(TrackerStoreTest, StarsStayCheapOnLongTexts) {
    // A long text full of the first letter, without the middle one: each star of
    // the word used to become ".*", which made the expression engine try every
    // split of the text and give up on the whole query (nothing was found, not
    // even the match).
    add("long.txt", 1, {}, QString(200'000, QLatin1Char('e')) + QStringLiteral("ü"));
    add("menu.txt", 2, {}, QStringLiteral("le menu de l'ex-Müller est sûr"));
    EXPECT_EQ(namesOf(find(QStringLiteral("e**x***ü"))), (QStringList{"menu.txt"}));
    EXPECT_EQ(namesOf(find(QStringLiteral("m*u*l"))), (QStringList{"menu.txt"}));
    // Stars far apart still match within their run; leading and trailing stars add nothing.
    EXPECT_EQ(namesOf(find(QStringLiteral("**MÜLLER*"))), (QStringList{"menu.txt"}));
    EXPECT_TRUE(find(QStringLiteral("un*") + QString(40, QLatin1Char('x'))).isEmpty());
    const struct {
        const char* token;
        const char* pattern;
    } patterns[] = {
        {"e**ü", "e.{0,32}ü"}, {"*a*", "a"}, {"a*b*c*d", "a.{0,32}b.{0,32}cd"}, {"r?p", "r.p"}, {"***", ""},
    };
    for (const auto& p : patterns)
        EXPECT_EQ(TrackerMetadataIndex::tokenPattern(QString::fromUtf8(p.token)),
                  QString::fromUtf8(p.pattern))
            << p.token;
}

TEST_F(TrackerStoreTest, StaysInsideTheFolders) {
    const QString sibling = share + QStringLiteral(" bis");
    QDir().mkpath(sibling);
    add("dedans.txt", 1);
    add("sous/dossier/profond.txt", 2);
    add("dehors.txt", 3, {}, {}, sibling);
    EXPECT_EQ(namesOf(find(QStringLiteral("d"))), (QStringList{"profond.txt", "dedans.txt"}));
    EXPECT_EQ(namesOf(gather(MetadataPredicate{{{"d"}}}, 50, {share, sibling})),
              (QStringList{"dehors.txt", "profond.txt", "dedans.txt"}));
}

TEST_F(TrackerStoreTest, AvailableOnlyForIndexedFolders) {
    EXPECT_TRUE(index->isAvailable({share}));
    EXPECT_TRUE(index->isAvailable({share + QLatin1Char('/')}));
    const QString other = dir.filePath(QStringLiteral("Autre"));
    QDir().mkpath(other);
    EXPECT_FALSE(index->isAvailable({share, other}));
    // A folder reached through a link counts by its real path.
    ASSERT_TRUE(QFile::link(share, dir.filePath(QStringLiteral("raccourci"))));
    EXPECT_TRUE(index->isAvailable({dir.filePath(QStringLiteral("raccourci"))}));
}

TEST_F(TrackerStoreTest, SearchRunsItsStagesOnTracker) {
    ScopedMetadataIndex installed(index);
    add("budget 2025.ods", 1);
    add("budget.txt", 4, {}, QStringLiteral("prévisions"));
    const QList<QUrl> folders{QUrl::fromLocalFile(share)};
    const QList<SearchResult> all =
        runTask(SpotlightSearch::search(QStringLiteral("budget 2025"), folders, 10, 5));
    ASSERT_EQ(all.size(), 1);
    EXPECT_EQ(all.at(0).name, QStringLiteral("budget 2025.ods"));
    const QList<SearchResult> relaxed =
        runTask(SpotlightSearch::search(QStringLiteral("budget 2026 prévisions"), folders, 10, 5));
    ASSERT_EQ(relaxed.size(), 1);
    EXPECT_EQ(relaxed.at(0).name, QStringLiteral("budget.txt"));
}

TEST(TrackerMetadataIndex, EscapesStringLiterals) {
    EXPECT_EQ(TrackerMetadataIndex::sparqlString(QStringLiteral("a\"b\\c'd\ne\tf")),
              QStringLiteral("\"a\\\"b\\\\c\\'d\\ne\\tf\""));
    EXPECT_EQ(TrackerMetadataIndex::sparqlString(QString(QChar(1))), QStringLiteral("\"\\u0001\""));
    EXPECT_EQ(TrackerMetadataIndex::tokenPattern(QStringLiteral("a.b*c?(d)")),
              QStringLiteral("a\\.b.{0,32}c.\\(d\\)")); // a star is a bounded run
    EXPECT_TRUE(TrackerMetadataIndex::queryText(MetadataQuery{{}, {QStringLiteral("/tmp")}, 5}).isEmpty());
}

// Runs where a Tracker file miner is installed (or named by OMBRIX_TRACKER_MINER):
// a private miner indexes a temporary folder on a private session bus, and the
// index finds a file there. The CI script sets OMBRIX_REQUIRE_TRACKER_MINER, and
// a missing miner then fails the test instead of skipping it.
TEST(TrackerMiner, FindsAFileItIndexed) {
    QString miner = qEnvironmentVariable("OMBRIX_TRACKER_MINER");
    if (miner.isEmpty()) {
        for (const QString& candidate :
             {QStringLiteral("/usr/libexec/tracker-miner-fs-3"),
              QStringLiteral("/usr/lib/tracker-miner-fs-3"),
              QStandardPaths::findExecutable(QStringLiteral("tracker-miner-fs-3"))})
            if (miner.isEmpty() && !candidate.isEmpty() && QFileInfo(candidate).isExecutable())
                miner = candidate;
    }
    const QString busDaemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    const bool required = qEnvironmentVariable("OMBRIX_REQUIRE_TRACKER_MINER") == QStringLiteral("1");
    if (!QFileInfo(miner).isExecutable() || busDaemon.isEmpty()) {
        if (required)
            FAIL() << "the Tracker file miner (package tracker-miner-fs) and dbus-daemon are required";
        GTEST_SKIP() << "no Tracker file miner or no dbus-daemon on this machine";
    }

    QTemporaryDir scratch;
    const QString folder = scratch.filePath(QStringLiteral("Indexé"));
    DocumentFiles::write(folder + QStringLiteral("/compte-rendu-miner.txt"), "ordre du jour");
    // The miner reads its folders from GSettings; a key file keeps them private.
    const QString config = scratch.filePath(QStringLiteral("config"));
    DocumentFiles::write(config + QStringLiteral("/glib-2.0/settings/keyfile"),
                         QStringLiteral("[org/freedesktop/tracker/miner/files]\n"
                                        "index-recursive-directories=['%1']\n"
                                        "index-single-directories=@as []\n"
                                        "initial-sleep=0\n")
                             .arg(folder)
                             .toUtf8());

    // A session bus without service activation: asking for the miner's name before
    // the miner started here has taken it must not start another miner (one with
    // this process's folders, which then holds the name and indexes something else).
    const QString busConfig = scratch.filePath(QStringLiteral("bus.conf"));
    DocumentFiles::write(
        busConfig, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                   " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                   "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                   "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    QProcess bus;
    bus.start(busDaemon, {QStringLiteral("--config-file=") + busConfig, QStringLiteral("--print-address"),
                          QStringLiteral("--nofork")});
    ASSERT_TRUE(bus.waitForReadyRead(kEventWaitMs));
    const QByteArray address = bus.readLine().trimmed();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromUtf8(address));
    environment.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("keyfile"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), scratch.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), scratch.filePath(QStringLiteral("data")));
    // The miner never indexes its own temporary folder: give it another one.
    QDir().mkpath(scratch.filePath(QStringLiteral("tmp")));
    environment.insert(QStringLiteral("TMPDIR"), scratch.filePath(QStringLiteral("tmp")));
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProcessEnvironment(environment);
    process.start(miner, {QStringLiteral("--initial-sleep=0")});
    ASSERT_TRUE(process.waitForStarted(kEventWaitMs));

    // This process talks to the private bus through its own connection.
    const QByteArray previous = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    GError* error = nullptr;
    TrackerSparqlConnection* connection = nullptr;
    bool found = false;
    // Alone the miner indexes the folder within a second or two; on a machine busy
    // with builds it can take minutes. The test waits for the event itself: the file
    // found, or the miner done (idle, all processed) without it, or the miner gone.
    QDBusConnection minerBus =
        QDBusConnection::connectToBus(QString::fromUtf8(address), QStringLiteral("tracker-miner-status"));
    const auto minerIdle = [&] {
        const auto ask = [&](const char* method) {
            return minerBus.call(QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.Tracker3.Miner.Files"),
                QStringLiteral("/org/freedesktop/Tracker3/Miner/Files"),
                QStringLiteral("org.freedesktop.Tracker3.Miner"), QString::fromLatin1(method)));
        };
        const QDBusMessage status = ask("GetStatus");
        const QDBusMessage progress = ask("GetProgress");
        return status.type() == QDBusMessage::ReplyMessage && progress.type() == QDBusMessage::ReplyMessage &&
               status.arguments().value(0).toString() == QStringLiteral("Idle") &&
               progress.arguments().value(0).toDouble() >= 1.0;
    };
    bool sawWork = false;
    int idleRounds = 0;
    while (!found && process.state() == QProcess::Running) {
        spinFor(500);
        // Done: idle for a while after it worked (or for long, if its work was never
        // seen), so that what it committed last is read too, however slowly a loaded
        // machine lets it write (the wait ends as soon as the file is found).
        if (minerIdle()) {
            if (++idleRounds > (sawWork ? 30 : 60))
                break;
        } else {
            idleRounds = 0;
            sawWork = true;
        }
        if (!connection)
            connection = tracker_sparql_connection_bus_new(TrackerMetadataIndex::minerBusName, nullptr,
                                                           nullptr, &error);
        g_clear_error(&error);
        if (!connection)
            continue;
        TrackerMetadataIndex index(connection);
        MetadataGathering gathering(5);
        index.gather(MetadataQuery{MetadataPredicate{{{"compte-rendu"}}}, {folder}, 5}, gathering);
        const QList<MetadataItem> items = gathering.end();
        found = !items.isEmpty() && items.at(0).path == folder + QStringLiteral("/compte-rendu-miner.txt");
    }
    if (connection)
        g_object_unref(connection);
    // The index of the session finds the miner by its name on the bus (this
    // process's first use of the session bus, so it is the private one).
    TrackerMetadataIndex onBus;
    EXPECT_TRUE(onBus.isAvailable({folder}));
    EXPECT_FALSE(onBus.isAvailable({scratch.path()}));
    qputenv("DBUS_SESSION_BUS_ADDRESS", previous);
    QDBusConnection::disconnectFromBus(QStringLiteral("tracker-miner-status"));
    process.kill();
    process.waitForFinished(5000);
    bus.kill();
    bus.waitForFinished(5000);
    EXPECT_TRUE(found) << "miner output:\n" << process.readAll().toStdString();
}

#include "content/SpotlightSearch.h"
#include "content/FileManagerSearch.h"

#include "support/DocumentFiles.h"
#include "support/FakeMetadataIndex.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

QDateTime day(int d) {
    return QDateTime(QDate(2025, 1, d), QTime(12, 0), Qt::UTC);
}

QStringList namesOf(const QList<SearchResult>& results) {
    QStringList names;
    for (const SearchResult& result : results)
        names.append(result.name);
    return names;
}

class SpotlightSearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        removeTestFolder(root);
        QDir().mkpath(share);
        QDir().mkpath(outside);
    }
    void TearDown() override { removeTestFolder(root); }

    // A real file in the share, known to the index with the same date.
    QString indexed(const QString& relative, int dayOfMonth, const QString& content = {},
                    const QString& title = {}) {
        const QString path = DocumentFiles::write(share + QLatin1Char('/') + relative, content.toUtf8());
        DocumentFiles::setModified(path, day(dayOfMonth));
        index->add({path, {}, title, content, content.toUtf8().size(), day(dayOfMonth)});
        return path;
    }
    QString onDisk(const QString& relative, int dayOfMonth) {
        const QString path = DocumentFiles::write(share + QLatin1Char('/') + relative, "x");
        DocumentFiles::setModified(path, day(dayOfMonth));
        return path;
    }
    QList<SearchResult> search(const QString& query, qint64 limit = 10, double timeout = 5.0) {
        return runTask(SpotlightSearch::search(query, {QUrl::fromLocalFile(share)}, limit, timeout));
    }

    const QString root = QDir::homePath() + QStringLiteral("/recherche");
    const QString share = root + QStringLiteral("/Partage");
    const QString outside = root + QStringLiteral("/Ailleurs");
    std::shared_ptr<FakeMetadataIndex> index = std::make_shared<FakeMetadataIndex>();
    ScopedMetadataIndex installed{index};
};

} // namespace

TEST(SpotlightQueryRunner, TokensAndPredicates) {
    EXPECT_EQ(SpotlightQueryRunner::tokenize(QStringLiteral("  Rapport\tannuel\n2024\u00A0Été\u2003x  x ")),
              (QStringList{"Rapport", "annuel", "2024", "Été", "x", "x"}));
    EXPECT_EQ(SpotlightQueryRunner::andPredicate({}), MetadataPredicate{});
    EXPECT_EQ(SpotlightQueryRunner::andPredicate({"a", "b"}), (MetadataPredicate{{{"a", "b"}}}));
    EXPECT_EQ(SpotlightQueryRunner::orOfSubsetsPredicate({"a", "b", "c"}, 1),
              (MetadataPredicate{{{"a", "b"}, {"a", "c"}, {"b", "c"}}}));
    EXPECT_EQ(SpotlightQueryRunner::orOfSubsetsPredicate({"a", "b"}, 0), (MetadataPredicate{{{"a"}, {"b"}}}));
    EXPECT_EQ(SpotlightQueryRunner::orOfSubsetsPredicate({"a", "b", "c"}, 7),
              (MetadataPredicate{{{"a"}, {"b"}, {"c"}}}));
    EXPECT_EQ(SpotlightQueryRunner::orOfSubsetsPredicate({"a"}, 1), (MetadataPredicate{{{"a"}}}));
    EXPECT_EQ(SpotlightQueryRunner::orOfSubsetsPredicate({"a", "b", "c", "d"}, 2).anyOf.size(), 6);
    EXPECT_EQ(SpotlightQueryRunner::timeoutMilliseconds(5.9), 5000);
    EXPECT_EQ(SpotlightQueryRunner::timeoutMilliseconds(0.5), 0);
    EXPECT_EQ(SpotlightQueryRunner::timeoutMilliseconds(-3), 0);
    EXPECT_EQ(SpotlightQueryRunner::timeoutMilliseconds(std::nan("")), 0);
}

TEST_F(SpotlightSearchTest, FirstStageAnswersWithEveryWordInTheIndexOrder) {
    indexed("a/rapport annuel.txt", 3);
    indexed("b/annuel.txt", 9, QStringLiteral("le RAPPORT de l'année"));
    indexed("c/rapport.txt", 5);
    const QList<SearchResult> results = search(QStringLiteral(" rapport  annuel "));
    EXPECT_EQ(namesOf(results), (QStringList{"annuel.txt", "rapport annuel.txt"}));
    ASSERT_EQ(index->queries().size(), 1);
    EXPECT_EQ(index->queries().at(0).predicate, (MetadataPredicate{{{"rapport", "annuel"}}}));
    EXPECT_EQ(index->queries().at(0).limit, 10);
    const SearchResult& first = results.at(0);
    EXPECT_EQ(first.url, QUrl::fromLocalFile(share + QStringLiteral("/b/annuel.txt")));
    EXPECT_EQ(first.mime, QStringLiteral("text/plain"));
    EXPECT_EQ(first.size, 22);
    EXPECT_EQ(first.modifiedAt, day(9));
    EXPECT_FALSE(first.isRemote);
    EXPECT_EQ(first.parentDisplay, QStringLiteral("~/recherche/Partage/b"));
}

TEST_F(SpotlightSearchTest, OneWordWithoutIndexHitFindsNothing) {
    onDisk("devis.txt", 1); // on disk, unknown to the index
    EXPECT_TRUE(search(QStringLiteral("  devis ")).isEmpty());
    EXPECT_EQ(index->queries().size(), 1); // neither the relaxed query nor the walk
}

TEST_F(SpotlightSearchTest, SecondStageToleratesOneMissingWordAndRanksByName) {
    indexed("alpha beta.txt", 1);
    indexed("beta.txt", 20, QStringLiteral("gamma"));
    indexed("autre.txt", 25, QStringLiteral("alpha gamma"));
    indexed("gamma.txt", 26);
    // Two words of the name beat one, one beats none (content counts for the match
    // but not for the rank).
    const QList<SearchResult> results = search(QStringLiteral("alpha beta gamma"), 2);
    EXPECT_EQ(namesOf(results), (QStringList{"alpha beta.txt", "beta.txt"}));
    ASSERT_EQ(index->queries().size(), 2);
    EXPECT_EQ(index->queries().at(1).predicate,
              (MetadataPredicate{{{"alpha", "beta"}, {"alpha", "gamma"}, {"beta", "gamma"}}}));
    EXPECT_EQ(index->queries().at(1).limit, 6);
}

TEST_F(SpotlightSearchTest, WalkRunsWhenTheIndexFindsNothing) {
    onDisk("Été/Compte Rendu été.md", 2);
    onDisk("compte.txt", 3);
    EXPECT_EQ(namesOf(search(QStringLiteral("compte ETE"))), (QStringList{"Compte Rendu été.md"}));
    EXPECT_EQ(index->queries().size(), 2);
}

TEST_F(SpotlightSearchTest, WithoutAnIndexTheWalkRunsForOneWordToo) {
    index->setAvailable(false);
    onDisk("notes/devis-2024.txt", 4);
    onDisk("notes/Devis.rtf", 6);
    const QList<SearchResult> results = search(QStringLiteral("devis"));
    EXPECT_EQ(namesOf(results), (QStringList{"Devis.rtf", "devis-2024.txt"}));
    EXPECT_EQ(results.at(0).mime, QStringLiteral("text/rtf"));
    EXPECT_TRUE(index->queries().isEmpty());
}

TEST_F(SpotlightSearchTest, SlowIndexEndsAtTheTimeOutWithWhatItHas) {
    indexed("lent-1.txt", 10);
    indexed("lent-2.txt", 5);
    // The index would take a minute more; the search does not wait for it.
    index->setSlow(1, 60000);
    QElapsedTimer timer;
    timer.start();
    const QList<SearchResult> results = search(QStringLiteral("lent"), 10, 1.9); // whole seconds: 1 s
    EXPECT_EQ(namesOf(results), (QStringList{"lent-1.txt"}));
    EXPECT_GE(timer.elapsed(), 900);
    EXPECT_LT(timer.elapsed(), 30000);
    // Under a second the query ends at once: not even the second.
    index->setSlow(0, 60000);
    timer.restart();
    EXPECT_TRUE(search(QStringLiteral("lent"), 10, 0.5).isEmpty());
    EXPECT_LT(timer.elapsed(), 30000);
}

TEST_F(SpotlightSearchTest, NothingToSearchAsksNothing) {
    indexed("x.txt", 1);
    EXPECT_TRUE(search(QStringLiteral(" \t ")).isEmpty());
    EXPECT_TRUE(search(QStringLiteral("\n")).isEmpty());
    EXPECT_TRUE(search(QStringLiteral("x"), 0).isEmpty());
    EXPECT_TRUE(search(QStringLiteral("x"), -4).isEmpty());
    EXPECT_TRUE(runTask(SpotlightSearch::search(QStringLiteral("x"), {}, 10, 5.0)).isEmpty());
    EXPECT_TRUE(index->queries().isEmpty());
    EXPECT_EQ(index->availabilityChecks(), 0);
}

TEST_F(SpotlightSearchTest, LinksOutOfTheShareAreNeverResults) {
    const QString secret = DocumentFiles::write(outside + QStringLiteral("/secret-plan.txt"), "confidentiel");
    DocumentFiles::write(outside + QStringLiteral("/dossier/secret-carte.txt"), "confidentiel");
    ASSERT_TRUE(QFile::link(secret, share + QStringLiteral("/secret-lien.txt")));
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/dossier"), share + QStringLiteral("/secret-dossier")));
    const QString inner = indexed("secret-ici.txt", 2);
    ASSERT_TRUE(QFile::link(inner, share + QStringLiteral("/secret-raccourci.txt")));
    index->add({share + QStringLiteral("/secret-lien.txt"), {}, {}, {}, 12, day(8)});
    index->add({share + QStringLiteral("/secret-dossier/secret-carte.txt"), {}, {}, {}, 12, day(9)});
    EXPECT_EQ(namesOf(search(QStringLiteral("secret"))), (QStringList{"secret-ici.txt"}));
    index->setAvailable(false);
    const QStringList walked = namesOf(search(QStringLiteral("secret")));
    EXPECT_EQ(walked.size(), 2);
    EXPECT_TRUE(walked.contains(QStringLiteral("secret-ici.txt")));
    EXPECT_TRUE(walked.contains(QStringLiteral("secret-raccourci.txt"))); // leads inside: kept
}

TEST_F(SpotlightSearchTest, WalkMatchesFoldedNamesAndSkipsHiddenEntries) {
    onDisk(".cache/facture.txt", 1);
    onDisk(".facture.txt", 2);
    onDisk("Factures/janvier.pdf", 3);
    DocumentFiles::setModified(share + QStringLiteral("/Factures"), day(4));
    onDisk("vieille FACTURE.txt", 4);
    onDisk("FACTURÉE.txt", 5);
    const QList<SearchResult> results =
        FileManagerSearch::searchNow({QStringLiteral("facture")}, {QUrl::fromLocalFile(share)}, 10, 50000);
    // Newest first, equal dates by name; a folder whose name matches is a result.
    EXPECT_EQ(namesOf(results), (QStringList{"FACTURÉE.txt", "Factures", "vieille FACTURE.txt"}));
    EXPECT_EQ(results.at(0).size, 1);
    EXPECT_EQ(results.at(1).mime, QStringLiteral("inode/directory"));
    EXPECT_EQ(results.at(1).size, 0);
}

TEST_F(SpotlightSearchTest, WalkIsBoundedPerFolderAndByCandidates) {
    const QString second = root + QStringLiteral("/Second");
    for (int i = 1; i <= 3; ++i)
        DocumentFiles::setModified(DocumentFiles::write(share + QStringLiteral("/x%1.txt").arg(i), "x"),
                                   day(i));
    DocumentFiles::setModified(DocumentFiles::write(second + QStringLiteral("/x9.txt"), "x"), day(9));
    const QList<QUrl> folders{QUrl::fromLocalFile(share), QUrl::fromLocalFile(second)};
    // Two entries per folder: two of the first folder, then the second folder.
    const QList<SearchResult> bounded = FileManagerSearch::searchNow({QStringLiteral("x")}, folders, 10, 2);
    EXPECT_EQ(bounded.size(), 3);
    EXPECT_EQ(bounded.at(0).name, QStringLiteral("x9.txt"));
    // With a limit of 1 the walk stops at 3 candidates, before the second folder.
    const QList<SearchResult> capped = FileManagerSearch::searchNow({QStringLiteral("x")}, folders, 1, 50000);
    EXPECT_EQ(namesOf(capped), (QStringList{"x3.txt"}));
}

TEST_F(SpotlightSearchTest, IndexHitsInHiddenFoldersOrWithControlCharactersAreNeverResults) {
    indexed(".git/rapport.txt", 3);
    indexed("a/.cache/rapport.txt", 4);
    indexed("a/rapport\n.txt", 5);
    indexed("a/rapport.txt", 6);
    EXPECT_EQ(namesOf(search(QStringLiteral("rapport"))), (QStringList{"rapport.txt"}));
}

TEST_F(SpotlightSearchTest, ALongQueryUsesItsFirstWordsAtEveryStage) {
    // 200 words: every stage works with the first eight (the tolerant stage would
    // otherwise ask for 200 groups of 199 words).
    QStringList words;
    for (int i = 0; i < 200; ++i)
        words << QStringLiteral("mot%1").arg(i);
    onDisk("mot0 mot1 mot2 mot3 mot4 mot5 mot6 mot7.txt", 2);
    const QList<SearchResult> results = search(words.join(QLatin1Char(' ')));
    EXPECT_EQ(namesOf(results), (QStringList{"mot0 mot1 mot2 mot3 mot4 mot5 mot6 mot7.txt"})); // the walk
    const QStringList first = words.mid(0, SpotlightSearch::maxQueryWords);
    ASSERT_EQ(index->queries().size(), 2);
    EXPECT_EQ(index->queries().at(0).predicate, (MetadataPredicate{{first}}));
    const MetadataPredicate tolerant = index->queries().at(1).predicate;
    EXPECT_EQ(tolerant, SpotlightQueryRunner::orOfSubsetsPredicate(first, 1));
    EXPECT_EQ(tolerant.anyOf.size(), SpotlightSearch::maxQueryWords);
}

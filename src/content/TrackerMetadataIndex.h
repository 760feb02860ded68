#pragma once

#include "content/MetadataIndex.h"

#include <QMutex>
#include <QString>

#include <memory>

struct _TrackerSparqlConnection;
class SparqlConnection;

// The metadata index of a Tracker 3 file miner: file name, title and plain-text
// content matched without regard to case, scoped to folders, newest first. The
// miner counts as available when it owns its name on the session bus and has
// indexed every folder searched. Queries are SPARQL texts whose literals are
// escaped here (see sparqlString() and tokenPattern()). Tracker itself is reached
// through the metadata index module, loaded on first use: without it the index
// counts as unavailable.
class TrackerMetadataIndex : public MetadataIndex {
public:
    // The file miner on the session bus ("org.freedesktop.Tracker3.Miner.Files").
    TrackerMetadataIndex();
    // Another store with the same ontology (a private one in tests); the index
    // takes its own reference and always counts the store as answering.
    explicit TrackerMetadataIndex(_TrackerSparqlConnection* connection);
    ~TrackerMetadataIndex() override;

    bool isAvailable(const QStringList& folders) override;
    void gather(const MetadataQuery& query, MetadataGathering& gathering) override;

    // A SPARQL string literal, quotes included, that stands for exactly `text`.
    static QString sparqlString(const QString& text);
    // The regular expression of one token: "?" any one character, "*" a run of at
    // most kWildcardRun characters, everything else literal. A run of stars counts
    // as one, stars at either end add nothing to a search anywhere in the text and
    // are dropped, and only the first kMaxWildcards stars inside a token count (the
    // others are dropped): each star multiplies the regular expression's work on
    // a long text.
    static QString tokenPattern(const QString& token);
    static constexpr int kWildcardRun = 32;
    static constexpr int kMaxWildcards = 2;
    // The SPARQL text of a query (empty when the predicate matches nothing).
    static QString queryText(const MetadataQuery& query);
    // The file URI of a local path, spelled the way the miner stores it.
    static QString fileUri(const QString& path);

    static const char* minerBusName;

private:
    std::shared_ptr<SparqlConnection> connection(); // null when the miner cannot be reached
    bool indexes(SparqlConnection& connection, const QString& folder);

    const bool onBus_;
    QMutex mutex_;
    std::shared_ptr<SparqlConnection> connection_;
};

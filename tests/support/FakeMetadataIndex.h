#pragma once

#include "content/MetadataIndex.h"

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>

#include <memory>
#include <optional>

// A metadata index in memory. It matches the way the real one does (name, title
// or content holding each token, case ignored, "*" and "?" as wildcards, below the
// query's folders, newest first) and records every query. It can answer slowly
// (some items at once, the rest after a delay, stopping when the query ends) or
// not be available at all.
class FakeMetadataIndex : public MetadataIndex {
public:
    struct Entry {
        QString path;
        QString name; // empty: the file name of the path
        QString title;
        QString content;
        qint64 size = 0;
        std::optional<QDateTime> modifiedAt;
    };

    void setAvailable(bool available);
    void add(Entry entry);
    // The first `promptly` items of each answer come at once, the others after
    // `delayMs` (unless the query has ended by then).
    void setSlow(int promptly, int delayMs);

    QList<MetadataQuery> queries() const;
    int availabilityChecks() const;

    bool isAvailable(const QStringList& folders) override;
    void gather(const MetadataQuery& query, MetadataGathering& gathering) override;

private:
    mutable QMutex mutex_;
    bool available_ = true;
    QList<Entry> entries_;
    int promptly_ = -1;
    int delayMs_ = 0;
    QList<MetadataQuery> queries_;
    int availabilityChecks_ = 0;
};

// Installs an index as the shared one for the object's life; the default index
// comes back afterwards.
class ScopedMetadataIndex {
public:
    explicit ScopedMetadataIndex(std::shared_ptr<MetadataIndex> index);
    ~ScopedMetadataIndex();
};

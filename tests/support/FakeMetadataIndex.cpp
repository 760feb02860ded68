#include "support/FakeMetadataIndex.h"

#include "content/ContentFiles.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>

namespace {

bool tokenMatches(const QString& token, const FakeMetadataIndex::Entry& entry, const QString& name) {
    QString pattern;
    for (QChar c : token) {
        if (c == QLatin1Char('*'))
            pattern += QLatin1String(".*");
        else if (c == QLatin1Char('?'))
            pattern += QLatin1Char('.');
        else
            pattern += QRegularExpression::escape(QString(c));
    }
    const QRegularExpression expression(pattern, QRegularExpression::CaseInsensitiveOption |
                                                     QRegularExpression::DotMatchesEverythingOption);
    return expression.match(name).hasMatch() || expression.match(entry.title).hasMatch() ||
           expression.match(entry.content).hasMatch();
}

bool predicateMatches(const MetadataPredicate& predicate, const FakeMetadataIndex::Entry& entry) {
    const QString name = entry.name.isEmpty() ? QFileInfo(entry.path).fileName() : entry.name;
    return std::any_of(predicate.anyOf.cbegin(), predicate.anyOf.cend(), [&](const QStringList& group) {
        return std::all_of(group.cbegin(), group.cend(),
                           [&](const QString& token) { return tokenMatches(token, entry, name); });
    });
}

} // namespace

void FakeMetadataIndex::setAvailable(bool available) {
    QMutexLocker lock(&mutex_);
    available_ = available;
}

void FakeMetadataIndex::add(Entry entry) {
    QMutexLocker lock(&mutex_);
    entries_.append(std::move(entry));
}

void FakeMetadataIndex::setSlow(int promptly, int delayMs) {
    QMutexLocker lock(&mutex_);
    promptly_ = promptly;
    delayMs_ = delayMs;
}

QList<MetadataQuery> FakeMetadataIndex::queries() const {
    QMutexLocker lock(&mutex_);
    return queries_;
}

int FakeMetadataIndex::availabilityChecks() const {
    QMutexLocker lock(&mutex_);
    return availabilityChecks_;
}

bool FakeMetadataIndex::isAvailable(const QStringList&) {
    QMutexLocker lock(&mutex_);
    ++availabilityChecks_;
    return available_;
}

void FakeMetadataIndex::gather(const MetadataQuery& query, MetadataGathering& gathering) {
    QList<Entry> found;
    int promptly = 0;
    int delayMs = 0;
    {
        QMutexLocker lock(&mutex_);
        queries_.append(query);
        for (const Entry& entry : std::as_const(entries_)) {
            const bool inScope =
                std::any_of(query.folders.cbegin(), query.folders.cend(), [&](const QString& folder) {
                    return entry.path != folder && ContentFiles::isInside(entry.path, folder);
                });
            if (inScope && predicateMatches(query.predicate, entry))
                found.append(entry);
        }
        promptly = promptly_;
        delayMs = delayMs_;
    }
    std::stable_sort(found.begin(), found.end(), [](const Entry& a, const Entry& b) {
        if (a.modifiedAt.has_value() != b.modifiedAt.has_value())
            return a.modifiedAt.has_value();
        return a.modifiedAt && *a.modifiedAt > *b.modifiedAt;
    });
    for (int i = 0; i < found.size(); ++i) {
        if (promptly >= 0 && i == promptly) {
            QElapsedTimer waited;
            waited.start();
            while (waited.elapsed() < delayMs && !gathering.isEnded())
                QThread::msleep(10);
        }
        MetadataItem item;
        item.path = found.at(i).path;
        if (!found.at(i).name.isEmpty())
            item.name = found.at(i).name;
        item.size = found.at(i).size;
        item.modifiedAt = found.at(i).modifiedAt;
        if (!gathering.add(std::move(item)))
            return;
    }
}

ScopedMetadataIndex::ScopedMetadataIndex(std::shared_ptr<MetadataIndex> index) {
    MetadataIndex::setShared(std::move(index));
}

ScopedMetadataIndex::~ScopedMetadataIndex() {
    MetadataIndex::setShared(nullptr);
}

#include "content/MetadataIndex.h"

#include "content/TrackerMetadataIndex.h"

#include <QMutexLocker>

bool MetadataGathering::add(MetadataItem item) {
    QMutexLocker lock(&mutex_);
    if (ended_ || items_.size() >= limit_)
        return false;
    items_.append(std::move(item));
    return items_.size() < limit_;
}

bool MetadataGathering::isEnded() const {
    QMutexLocker lock(&mutex_);
    return ended_;
}

void MetadataGathering::setOnEnd(std::function<void()> onEnd) {
    QMutexLocker lock(&mutex_);
    if (ended_) {
        lock.unlock();
        if (onEnd)
            onEnd();
        return;
    }
    onEnd_ = std::move(onEnd);
}

QList<MetadataItem> MetadataGathering::end() {
    QMutexLocker lock(&mutex_);
    ended_ = true;
    std::function<void()> onEnd = std::move(onEnd_);
    onEnd_ = nullptr;
    QList<MetadataItem> items = std::move(items_);
    items_.clear();
    lock.unlock();
    if (onEnd)
        onEnd();
    return items;
}

MetadataIndex::~MetadataIndex() = default;

namespace {
QMutex sharedMutex;
std::shared_ptr<MetadataIndex>& sharedIndex() {
    static std::shared_ptr<MetadataIndex> index;
    return index;
}
} // namespace

std::shared_ptr<MetadataIndex> MetadataIndex::shared() {
    QMutexLocker lock(&sharedMutex);
    if (!sharedIndex())
        sharedIndex() = std::make_shared<TrackerMetadataIndex>();
    return sharedIndex();
}

void MetadataIndex::setShared(std::shared_ptr<MetadataIndex> index) {
    QMutexLocker lock(&sharedMutex);
    sharedIndex() = std::move(index);
}

#include "bridge/BridgeIDCache.h"

#include <QFile>

#include <algorithm>

std::optional<QString> BridgeIDCache::get(const QString& id) const {
    const std::optional<QByteArray> path = getNative(id);
    if (!path)
        return std::nullopt;
    return QFile::decodeName(*path);
}

std::optional<QByteArray> BridgeIDCache::getNative(const QString& id) const {
    const auto it = storage_.constFind(id);
    if (it == storage_.constEnd())
        return std::nullopt;
    return it->path;
}

void BridgeIDCache::put(const QString& id, const QString& path) {
    putNative(id, QFile::encodeName(path));
}

void BridgeIDCache::putNative(const QString& id, const QByteArray& path) {
    store(id, path);
    trim(capacity);
}

void BridgeIDCache::putAnswer(const QList<std::pair<QString, QByteArray>>& ids) {
    for (const auto& [id, path] : ids)
        store(id, path);
    trim(std::max<qsizetype>(capacity, ids.size()));
}

void BridgeIDCache::store(const QString& id, const QByteArray& path) {
    if (auto it = storage_.find(id); it != storage_.end()) {
        order_.erase(it->position);
        storage_.erase(it);
    }
    order_.push_back(id);
    storage_.insert(id, Slot{path, std::prev(order_.end())});
}

void BridgeIDCache::trim(qsizetype keep) {
    while (order_.size() > static_cast<std::size_t>(keep)) {
        storage_.remove(order_.front());
        order_.pop_front();
    }
}

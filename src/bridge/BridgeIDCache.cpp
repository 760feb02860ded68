#include "bridge/BridgeIDCache.h"

#include <QFile>

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
    if (auto it = storage_.find(id); it != storage_.end()) {
        order_.erase(it->position);
        storage_.erase(it);
    }
    order_.push_back(id);
    storage_.insert(id, Slot{path, std::prev(order_.end())});
    while (order_.size() > static_cast<std::size_t>(capacity)) {
        storage_.remove(order_.front());
        order_.pop_front();
    }
}

#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <list>
#include <optional>
#include <utility>

// The document ids handed to the backend: each id (a fresh UUID text made by the
// caller) stands for one file path, kept as its exact bytes (a name that is not
// valid UTF-8 included). At most `capacity` ids are kept; the id put
// longest ago is dropped first (a get() does not refresh an id). The ids of one
// answer are put together (putAnswer) and all of them resolve right after it,
// however many: the cache then holds them all, beyond `capacity`, until the next
// put. Lives in memory only, on the GUI thread.
class BridgeIDCache {
public:
    static constexpr int capacity = 1000;

    std::optional<QString> get(const QString& id) const;
    std::optional<QByteArray> getNative(const QString& id) const;
    void put(const QString& id, const QString& path);
    void putNative(const QString& id, const QByteArray& path);
    // The ids of one answer (id, native path), in order: none of them is dropped
    // to make room for another.
    void putAnswer(const QList<std::pair<QString, QByteArray>>& ids);
    int count() const { return static_cast<int>(order_.size()); }

private:
    void store(const QString& id, const QByteArray& path);
    void trim(qsizetype keep);
    struct Slot {
        QByteArray path; // native bytes
        std::list<QString>::iterator position;
    };
    std::list<QString> order_; // oldest first
    QHash<QString, Slot> storage_;
};

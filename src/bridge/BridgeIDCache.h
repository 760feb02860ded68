#pragma once

#include <QHash>
#include <QString>

#include <list>
#include <optional>

// The document ids handed to the backend: each id (a fresh UUID text made by the
// caller) stands for one file path. At most `capacity` ids are kept; the id put
// longest ago is dropped first (a get() does not refresh an id). Lives in memory
// only, on the GUI thread.
class BridgeIDCache {
public:
    static constexpr int capacity = 1000;

    std::optional<QString> get(const QString& id) const;
    void put(const QString& id, const QString& path);
    int count() const { return static_cast<int>(order_.size()); }

private:
    struct Slot {
        QString path;
        std::list<QString>::iterator position;
    };
    std::list<QString> order_; // oldest first
    QHash<QString, Slot> storage_;
};

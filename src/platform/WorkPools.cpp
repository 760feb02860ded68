#include "platform/WorkPools.h"

#include "platform/Log.h"

#include <QDeadlineTimer>

#include <mutex>
#include <vector>

namespace WorkPools {

namespace {

struct Entry {
    QThreadPool* pool;
    std::function<void()> atQuit;
};

// Never destroyed, as the pools are: a pool made while the program ends still finds it.
std::mutex& entriesMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::vector<Entry>& entries() {
    static auto* list = new std::vector<Entry>;
    return *list;
}

} // namespace

void endAll() {
    std::vector<Entry> list;
    {
        const std::lock_guard lock(entriesMutex());
        list = entries();
    }
    for (const Entry& entry : list)
        if (entry.atQuit)
            entry.atQuit();
    const QDeadlineTimer deadline(kQuitWaitMs);
    for (const Entry& entry : list)
        if (!entry.pool->waitForDone(int(qMax<qint64>(0, deadline.remainingTime()))))
            qCWarning(lcApp).noquote() << "work still running at quit in" << entry.pool->objectName();
}

QThreadPool* make(const QString& name, int maxThreads, std::function<void()> atQuit) {
    auto* pool = new QThreadPool;
    pool->setObjectName(name);
    pool->setMaxThreadCount(maxThreads);
    {
        const std::lock_guard lock(entriesMutex());
        entries().push_back({pool, std::move(atQuit)});
    }
    return pool;
}

} // namespace WorkPools

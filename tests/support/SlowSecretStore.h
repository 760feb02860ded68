#pragma once

#include "platform/SecretStore.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

// A secret store that answers like a slow or locked Secret Service: every call
// waits (for a fixed delay, or while held) before the memory store behind it
// answers. Calls block their thread, as libsecret's synchronous calls do.
class SlowSecretStore : public SecretStore {
public:
    explicit SlowSecretStore(std::chrono::milliseconds delay = std::chrono::milliseconds(0))
        : delay_(delay) {}

    // While held, every call waits until release().
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        released_.notify_all();
    }
    // Calls that have started waiting and not yet answered.
    int waiting() const {
        std::lock_guard lock(mutex_);
        return waiting_;
    }

    SecretLookup find(const QString& service, const QString& account) override {
        wait();
        return memory.find(service, account);
    }
    qint32 store(const QString& service, const QString& account, const StoredSecret& item) override {
        wait();
        return memory.store(service, account, item);
    }
    qint32 replace(const QString& service, const QString& account, const StoredSecret& item) override {
        wait();
        return memory.replace(service, account, item);
    }
    qint32 remove(const QString& service, const QString& account) override {
        wait();
        return memory.remove(service, account);
    }

    MemorySecretStore memory;

private:
    void wait() {
        std::unique_lock lock(mutex_);
        ++waiting_;
        if (delay_.count() > 0) {
            lock.unlock();
            std::this_thread::sleep_for(delay_);
            lock.lock();
        }
        released_.wait(lock, [this] { return !held_; });
        --waiting_;
    }

    const std::chrono::milliseconds delay_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
    int waiting_ = 0;
};

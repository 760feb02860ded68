#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVariant>

class QFileSystemWatcher;
class QTimer;

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// The user's settings: one typed key-value store (bool, integer, double, string,
// data). Values may be read from any thread; change signals come from the writer's. Reads are forgiving
// across numeric types the way a defaults database is: an integer reads as a double and as a bool, a bool as
// an integer.
class DefaultsStore : public QObject {
    Q_OBJECT
public:
    ~DefaultsStore() override = default;

    bool contains(const QString& key) const;
    std::optional<bool> boolValue(const QString& key) const;
    std::optional<qint64> integer(const QString& key) const;
    std::optional<double> doubleValue(const QString& key) const;
    std::optional<QString> string(const QString& key) const;
    std::optional<QByteArray> data(const QString& key) const;

    void setBool(const QString& key, bool value);
    void setInteger(const QString& key, qint64 value);
    void setDouble(const QString& key, double value);
    void setString(const QString& key, const QString& value);
    void setData(const QString& key, const QByteArray& value);
    void remove(const QString& key);

    // A stored value that does not read (base64 that does not decode, an entry of a
    // shape the store does not know) is never dropped silently: before its key is next
    // written or removed, the file store keeps it, as it was stored, in a file of its
    // own next to the settings file. keepAside() does the same, now, for a value that
    // reads but whose content the caller could not read whole (a data value is kept as
    // its bytes). Returns where it is to be kept: the same value always goes to the
    // same file, another value never does; keptAside() tells when it is there. None
    // when nothing is stored under the key or the store keeps no file.
    virtual std::optional<QString> keepAside(const QString& key) {
        Q_UNUSED(key);
        return std::nullopt;
    }
    // The bytes of a data value whose stored text does not decode whole (or that
    // was kept as its text): each character that is not base64, and padding
    // before the end, reads as zero bits, so that what surrounds it keeps its
    // place. None when the value decodes (data() has it) or is no data.
    virtual std::optional<QByteArray> damagedData(const QString& key) const {
        Q_UNUSED(key);
        return std::nullopt;
    }
    // Waits until every change made so far is on disk (nothing to do for stores
    // that keep no file).
    virtual void flush() {}
    // At the program's end (Lifetime): what the store does after it (following the
    // file on disk) stops, and every change is on disk when it returns.
    virtual void endOfProgram() { flush(); }

    // The process-wide store, made on first use (the file store). Tests install
    // their own with setShared().
    static DefaultsStore& shared();
    static void setShared(std::shared_ptr<DefaultsStore> store);

signals:
    void changed(const QString& key);
    // A value that did not read (or that keepAside() was asked for) is now on
    // disk in `file`. While it cannot be written, the settings file is not.
    void keptAside(const QString& file);

protected:
    DefaultsStore() = default;
    // Raw access to the typed values (QVariant of bool, qint64, double, QString, QByteArray).
    virtual std::optional<QVariant> raw(const QString& key) const = 0;
    virtual void store(const QString& key, const std::optional<QVariant>& value) = 0;

private:
    void put(const QString& key, const std::optional<QVariant>& value);
};

// Keeps everything in memory; for tests.
class MemoryDefaultsStore : public DefaultsStore {
    Q_OBJECT
public:
    MemoryDefaultsStore() = default;

protected:
    std::optional<QVariant> raw(const QString& key) const override;
    void store(const QString& key, const std::optional<QVariant>& value) override;

private:
    mutable std::mutex mutex_; // reads may come from other threads (the keychain's)
    QHash<QString, QVariant> values_;
};

// Keeps the values in one JSON file, written off the calling thread.
//
// - Reads are served from memory. A change updates memory at once and wakes the
//   writer thread; a burst of changes is coalesced into as few writes as the disk
//   allows (the writer always writes the latest state). flush() waits for the disk;
//   the destructor flushes, and so does the program's end (endOfProgram()).
// - Each write goes to a temporary file next to the file ("<name>.tmp-XXXXXX",
//   mode 0600), is synced, and is renamed over the file, so the file is always one
//   whole JSON object. Temporaries left by a crash are removed at start.
// - A file that cannot be read or parsed is never overwritten before it is kept as
//   "<name>.unreadable-<date and time>" (a second name for it, else a copy); then
//   the next write replaces it. The store starts with what can still be read of it
//   (its bad UTF-8 replaced, or entry by entry: an entry that does not parse is
//   kept as its text), else empty. Entries of a shape the store does not know are kept as they are
//   until their key is written; then they go to "<name>.<key>.unreadable-<hash>" first.
// - The file may be edited while the program runs: changes on disk are merged in
//   (a key edited on disk takes the disk's value and announces changed(key)); the
//   writer merges them before it writes, so an edit is not erased by the next write.
class FileDefaultsStore : public DefaultsStore {
    Q_OBJECT
public:
    explicit FileDefaultsStore(QString path);
    ~FileDefaultsStore() override;
    // $XDG_CONFIG_HOME/ombrix/defaults.json
    static QString defaultPath();
    QString path() const { return path_; }
    void flush() override;
    void endOfProgram() override;
    std::optional<QString> keepAside(const QString& key) override;
    std::optional<QByteArray> damagedData(const QString& key) const override;

    // Tests: called on the writer thread before each write of the file, and before
    // the values kept aside are written.
    void setWriteHookForTesting(std::function<void()> hook);
    // How many times the file has been written since the store was made.
    int writeCount() const;

protected:
    std::optional<QVariant> raw(const QString& key) const override;
    void store(const QString& key, const std::optional<QVariant>& value) override;

private:
    struct State;
    void watch();
    void onDiskEvent();

    QString path_;
    std::shared_ptr<State> state_;
    std::thread writer_;
    QFileSystemWatcher* watcher_ = nullptr;
    QTimer* settle_ = nullptr;
};

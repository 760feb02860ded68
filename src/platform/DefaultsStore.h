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
    // Why the changes made cannot be saved. None: every save so far has reached
    // the disk (or is under way).
    enum class SaveProblem { None, DiskFull, ReadOnly, TooLarge, Failed };
    Q_ENUM(SaveProblem)

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
    // Waits until every change made so far is on disk, a failed save being tried
    // once more at once; returns whether they are (stores that keep no file: true).
    // Called at quit.
    virtual bool flush() { return true; }
    // Whether the last save failed, and why. A failed save keeps the values in
    // memory and the file on disk as they were, and is tried again after a growing
    // delay (and by flush()).
    virtual SaveProblem saveProblem() const { return SaveProblem::None; }
    // At the program's end (Lifetime): what the store does after it (following the
    // file on disk) stops; returns whether every change is on disk.
    virtual bool endOfProgram() { return flush(); }

    // The process-wide store, made on first use (the file store). Tests install
    // their own with setShared().
    static DefaultsStore& shared();
    static void setShared(std::shared_ptr<DefaultsStore> store);

signals:
    void changed(const QString& key);
    // A value that did not read (or that keepAside() was asked for) is now on
    // disk in `file`. While it cannot be written, the settings file is not.
    void keptAside(const QString& file);
    // saveProblem() changed: a save failed, or saving works again (emitted on the
    // store's thread, once per change).
    void saveProblemChanged(DefaultsStore::SaveProblem problem);

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
//   writer thread; the writer always writes the latest state, at most once a
//   second, so a burst or a stream of changes costs a write a second. flush() waits for the disk;
//   the destructor flushes, and so does the program's end (endOfProgram()).
// - Each write goes to a temporary file next to the file ("<name>.tmp-XXXXXX",
//   mode 0600), is synced, and takes the file's place in one step, so the file is
//   always one whole JSON object. Temporaries left by a crash are removed at start.
//   A write that fails (a full disk, a read-only folder) leaves the file as it was;
//   the values stay in memory and the write is tried again after a growing delay
//   (saveProblem() tells why meanwhile). A file larger than the store's bound is
//   neither written nor read: a save that would pass it is refused (TooLarge).
// - One writer at a time: other programs (another session on the same file) take
//   the lock file "<name>.lock" too, held from the check of the file to the new
//   file in place.
// - A file that cannot be read or parsed is never overwritten before it is kept as
//   "<name>.unreadable-<hash of its bytes>" (a second name for it, else a copy: the
//   same bytes are kept once); then the next write replaces it. The store starts with what can still be read
//   of it (its bad UTF-8 replaced, or entry by entry: an entry that does not parse is kept as its text), else
//   empty. Entries of a shape the store does not know are kept as they are until their key is written; then
//   they go to "<name>.<key>.unreadable-<hash>" first.
// - The file may be edited while the program runs: changes on disk are merged in
//   (a key edited on disk takes the disk's value and announces changed(key)); the
//   writer merges them before it writes, so an edit is not erased by the next write.
class FileDefaultsStore : public DefaultsStore {
    Q_OBJECT
public:
    // The largest file the store writes and reads.
    static constexpr qint64 kMaxFileBytes = 256LL * 1024 * 1024;

    explicit FileDefaultsStore(QString path, qint64 maxFileBytes = kMaxFileBytes);
    ~FileDefaultsStore() override;
    // $XDG_CONFIG_HOME/ombrix/defaults.json
    static QString defaultPath();
    QString path() const { return path_; }
    bool flush() override;
    SaveProblem saveProblem() const override;
    bool endOfProgram() override;
    std::optional<QString> keepAside(const QString& key) override;
    std::optional<QByteArray> damagedData(const QString& key) const override;

    // Tests: called on the writer thread before each write of the file, and before
    // the values kept aside are written.
    void setWriteHookForTesting(std::function<void()> hook);
    // How many times the file has been written since the store was made (failed
    // writes included).
    int writeCount() const;
    // Tests: the delay before a failed save is tried again, doubled at each failure
    // up to the longest.
    void setRetryDelaysForTesting(int firstMs, int longestMs);

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

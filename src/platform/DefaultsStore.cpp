#include "platform/DefaultsStore.h"

#include "platform/Log.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::shared_ptr<DefaultsStore>& sharedSlot() {
    static std::shared_ptr<DefaultsStore> slot;
    return slot;
}
std::mutex& sharedMutex() {
    static std::mutex m;
    return m;
}
} // namespace

DefaultsStore& DefaultsStore::shared() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot)
        slot = std::make_shared<FileDefaultsStore>(FileDefaultsStore::defaultPath());
    return *slot;
}

void DefaultsStore::setShared(std::shared_ptr<DefaultsStore> store) {
    std::lock_guard lock(sharedMutex());
    sharedSlot() = std::move(store);
}

bool DefaultsStore::contains(const QString& key) const {
    return raw(key).has_value();
}

std::optional<bool> DefaultsStore::boolValue(const QString& key) const {
    auto v = raw(key);
    if (!v)
        return std::nullopt;
    switch (v->typeId()) {
    case QMetaType::Bool:
        return v->toBool();
    case QMetaType::LongLong:
        return v->toLongLong() != 0;
    case QMetaType::Double:
        return v->toDouble() != 0.0;
    default:
        return std::nullopt;
    }
}

std::optional<qint64> DefaultsStore::integer(const QString& key) const {
    auto v = raw(key);
    if (!v)
        return std::nullopt;
    switch (v->typeId()) {
    case QMetaType::Bool:
        return v->toBool() ? 1 : 0;
    case QMetaType::LongLong:
        return v->toLongLong();
    case QMetaType::Double: {
        double d = v->toDouble();
        if (!std::isfinite(d) || d > 9.2e18 || d < -9.2e18)
            return std::nullopt;
        return static_cast<qint64>(d);
    }
    default:
        return std::nullopt;
    }
}

std::optional<double> DefaultsStore::doubleValue(const QString& key) const {
    auto v = raw(key);
    if (!v)
        return std::nullopt;
    switch (v->typeId()) {
    case QMetaType::Bool:
        return v->toBool() ? 1.0 : 0.0;
    case QMetaType::LongLong:
        return static_cast<double>(v->toLongLong());
    case QMetaType::Double:
        return v->toDouble();
    default:
        return std::nullopt;
    }
}

std::optional<QString> DefaultsStore::string(const QString& key) const {
    auto v = raw(key);
    if (!v || v->typeId() != QMetaType::QString)
        return std::nullopt;
    return v->toString();
}

std::optional<QByteArray> DefaultsStore::data(const QString& key) const {
    auto v = raw(key);
    if (!v || v->typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return v->toByteArray();
}

void DefaultsStore::setBool(const QString& key, bool value) {
    put(key, QVariant(value));
}
void DefaultsStore::setInteger(const QString& key, qint64 value) {
    put(key, QVariant(value));
}
void DefaultsStore::setDouble(const QString& key, double value) {
    put(key, QVariant(value));
}
void DefaultsStore::setString(const QString& key, const QString& value) {
    put(key, QVariant(value));
}
void DefaultsStore::setData(const QString& key, const QByteArray& value) {
    put(key, QVariant(value));
}
void DefaultsStore::remove(const QString& key) {
    put(key, std::nullopt);
}

void DefaultsStore::put(const QString& key, const std::optional<QVariant>& value) {
    store(key, value);
    emit changed(key);
}

std::optional<QVariant> MemoryDefaultsStore::raw(const QString& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.constFind(key);
    if (it == values_.constEnd())
        return std::nullopt;
    return *it;
}

void MemoryDefaultsStore::store(const QString& key, const std::optional<QVariant>& value) {
    std::lock_guard lock(mutex_);
    if (value)
        values_.insert(key, *value);
    else
        values_.remove(key);
}

// ---- FileDefaultsStore --------------------------------------------------------
//
// File form: {"key": {"bool": true}} / {"int": "123"} / {"double": 1.5} / {"string": "..."} /
// {"data": "<base64>"}. Integers are written as text so that 64-bit values survive.

namespace {
// A settings file larger than this is not loaded (it is kept aside as unreadable).
constexpr qint64 kMaxFileBytes = 256LL * 1024 * 1024;
// Events on the file are handled once it has been quiet this long (an editor may
// write it in several steps).
constexpr int kSettleMs = 200;

// Which file is on disk: a change of any of these means someone else wrote it.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    qint64 mtimeNs = 0;
    bool operator==(const Identity&) const = default;
};

Identity identityOf(const struct stat& st) {
    return Identity{st.st_dev, st.st_ino, st.st_size,
                    qint64(st.st_mtim.tv_sec) * 1000000000LL + qint64(st.st_mtim.tv_nsec)};
}

std::optional<Identity> identityAt(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return identityOf(st);
}

std::optional<QVariant> decodeEntry(const QJsonValue& value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject entry = value.toObject();
    if (entry.size() != 1)
        return std::nullopt;
    const QString kind = entry.begin().key();
    const QJsonValue v = entry.begin().value();
    if (kind == QLatin1String("bool") && v.isBool())
        return QVariant(v.toBool());
    if (kind == QLatin1String("int") && v.isString()) {
        bool ok = false;
        const qint64 n = v.toString().toLongLong(&ok);
        if (ok)
            return QVariant(n);
        return std::nullopt;
    }
    if (kind == QLatin1String("double") && v.isDouble())
        return QVariant(v.toDouble());
    if (kind == QLatin1String("string") && v.isString())
        return QVariant(v.toString());
    if (kind == QLatin1String("data") && v.isString()) {
        auto bytes =
            QByteArray::fromBase64Encoding(v.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (bytes)
            return QVariant(*bytes);
    }
    return std::nullopt;
}

std::optional<QJsonValue> encodeEntry(const QVariant& v) {
    QJsonObject entry;
    switch (v.typeId()) {
    case QMetaType::Bool:
        entry.insert(QLatin1String("bool"), v.toBool());
        break;
    case QMetaType::LongLong:
        entry.insert(QLatin1String("int"), QString::number(v.toLongLong()));
        break;
    case QMetaType::Double:
        entry.insert(QLatin1String("double"), v.toDouble());
        break;
    case QMetaType::QString:
        entry.insert(QLatin1String("string"), v.toString());
        break;
    case QMetaType::QByteArray:
        entry.insert(QLatin1String("data"), QString::fromLatin1(v.toByteArray().toBase64()));
        break;
    default:
        return std::nullopt;
    }
    return entry;
}

enum class ReadOutcome { Missing, Unreadable, Read };

// Reads the whole file; `identity` is taken before reading, so that a change made
// during the read is seen as a change next time.
ReadOutcome readFile(const QString& path, QByteArray& bytes, Identity& identity) {
    QFile file(path);
    if (!file.exists())
        return ReadOutcome::Missing;
    if (!file.open(QIODevice::ReadOnly))
        return ReadOutcome::Unreadable;
    struct stat st {};
    if (::fstat(file.handle(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileBytes)
        return ReadOutcome::Unreadable;
    identity = identityOf(st);
    // Read by the file's size (a file that grows meanwhile is read on, to the bound),
    // never into a buffer sized to the bound itself.
    bytes.clear();
    bytes.reserve(qsizetype(st.st_size));
    char chunk[64 * 1024];
    for (;;) {
        const qint64 got = file.read(chunk, qint64(sizeof chunk));
        if (got < 0)
            return ReadOutcome::Unreadable;
        if (got == 0)
            break;
        if (bytes.size() + got > kMaxFileBytes)
            return ReadOutcome::Unreadable;
        bytes.append(chunk, qsizetype(got));
    }
    return ReadOutcome::Read;
}

std::optional<QJsonObject> parseObject(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

// Renames the file to "<name>.unreadable-<date and time>" (never over another file).
bool keepAside(const QString& path) {
    const QString stem = path + QStringLiteral(".unreadable-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QByteArray from = QFile::encodeName(path);
    for (int n = 1; n < 1000; ++n) {
        const QString target = n == 1 ? stem : stem + QLatin1Char('-') + QString::number(n);
        const QByteArray to = QFile::encodeName(target);
        // link() never replaces an existing file; rename() is for file systems without links.
        const int linkError = ::link(from.constData(), to.constData()) == 0 ? 0 : errno;
        if (linkError == EEXIST || (linkError != 0 && QFile::exists(target)))
            continue;
        if (linkError == 0 ? ::unlink(from.constData()) == 0
                           : ::rename(from.constData(), to.constData()) == 0) {
            qCWarning(lcSession) << "settings file unreadable, kept aside as" << target;
            return true;
        }
        break;
    }
    qCWarning(lcSession) << "settings file unreadable and cannot be kept aside: not written" << path;
    return false;
}

QString temporaryPrefix(const QString& path) {
    return QFileInfo(path).fileName() + QStringLiteral(".tmp-");
}

// Temporaries of a write that a crash interrupted.
void removeStrayTemporaries(const QString& path) {
    const QFileInfo info(path);
    QDir dir = info.absoluteDir();
    const QStringList strays =
        dir.entryList({temporaryPrefix(path) + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : strays) {
        if (dir.remove(name))
            qCInfo(lcSession) << "removed an unfinished settings write:" << name;
    }
}

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += n;
    }
    return true;
}

// Writes a temporary file (mode 0600), syncs it and renames it over the file.
bool writeAtomically(const QString& path, const QByteArray& bytes, Identity& identity) {
    const QFileInfo info(path);
    QDir().mkpath(info.absolutePath());
    QString temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = info.absolutePath() + QLatin1Char('/') + temporaryPrefix(path) +
                    QString::number(QRandomGenerator::global()->generate(), 36);
        fd = ::open(QFile::encodeName(temporary).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        qCWarning(lcSession) << "cannot write settings file" << path << ::strerror(errno);
        return false;
    }
    struct stat st {};
    const bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0 && ::fstat(fd, &st) == 0;
    const int error = errno;
    ::close(fd);
    if (!ok || ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0) {
        qCWarning(lcSession) << "cannot save settings file" << path << ::strerror(ok ? errno : error);
        ::unlink(QFile::encodeName(temporary).constData());
        return false;
    }
    identity = identityOf(st);
    const int dirFd =
        ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}
} // namespace

struct FileDefaultsStore::State {
    QString path;
    FileDefaultsStore* owner = nullptr;

    mutable std::mutex mutex;
    std::condition_variable wake;    // to the writer
    std::condition_variable written; // to flush()
    QHash<QString, QVariant> values;
    QJsonObject foreign;           // entries of a shape the store does not know, kept as found
    QJsonObject onDisk;            // the file's entries as last read or written
    std::optional<Identity> known; // the file as last read or written
    quint64 generation = 0;        // bumped by every change to be written
    quint64 writtenGeneration = 0;
    bool recheck = false;
    bool stop = false;
    bool writable = true;
    int writes = 0;
    std::function<void()> writeHook;

    // Takes the file's entries: every key whose entry differs from what was last on
    // disk takes the disk's value. Returns those keys. Under the lock.
    QStringList merge(const QJsonObject& disk) {
        QStringList keys = onDisk.keys();
        for (auto it = disk.begin(); it != disk.end(); ++it)
            if (!onDisk.contains(it.key()))
                keys.append(it.key());
        QStringList changed;
        for (const QString& key : keys) {
            if (disk.value(key) == onDisk.value(key))
                continue;
            values.remove(key);
            foreign.remove(key);
            if (disk.contains(key)) {
                if (auto value = decodeEntry(disk.value(key)))
                    values.insert(key, *value);
                else
                    foreign.insert(key, disk.value(key));
            }
            changed.append(key);
        }
        onDisk = disk;
        return changed;
    }

    static QJsonObject encode(const QHash<QString, QVariant>& values, const QJsonObject& foreign) {
        QJsonObject root = foreign;
        for (auto it = values.constBegin(); it != values.constEnd(); ++it)
            if (auto entry = encodeEntry(it.value()))
                root.insert(it.key(), *entry);
        return root;
    }

    // Looks at the file; when someone else changed it, merges it in (or keeps it
    // aside when it does not parse). Writer thread, without the lock.
    void syncFromDisk() {
        const std::optional<Identity> now = identityAt(path);
        {
            std::lock_guard lock(mutex);
            if (now == known)
                return;
        }
        QByteArray bytes;
        Identity identity;
        const ReadOutcome outcome = readFile(path, bytes, identity);
        if (outcome == ReadOutcome::Missing) {
            std::lock_guard lock(mutex);
            known.reset();
            onDisk = QJsonObject();
            return;
        }
        std::optional<QJsonObject> disk;
        if (outcome == ReadOutcome::Read)
            disk = parseObject(bytes);
        if (!disk) {
            const bool aside = keepAside(path);
            std::lock_guard lock(mutex);
            known.reset();
            onDisk = QJsonObject();
            writable = aside;
            ++generation; // the values in memory go back to disk
            return;
        }
        QStringList changed;
        {
            std::lock_guard lock(mutex);
            changed = merge(*disk);
            known = identity;
        }
        if (!changed.isEmpty()) {
            FileDefaultsStore* store = owner;
            QMetaObject::invokeMethod(
                store,
                [store, changed] {
                    for (const QString& key : changed)
                        emit store->changed(key);
                },
                Qt::QueuedConnection);
        }
    }

    void run() {
        std::unique_lock lock(mutex);
        while (true) {
            wake.wait(lock, [&] { return stop || recheck || generation != writtenGeneration; });
            if (recheck || generation != writtenGeneration) {
                recheck = false;
                lock.unlock();
                // An edit made on disk is merged before it could be overwritten.
                syncFromDisk();
                lock.lock();
            }
            if (generation == writtenGeneration) {
                if (stop)
                    break;
                continue;
            }
            const quint64 target = generation;
            if (!writable) {
                writtenGeneration = target;
                written.notify_all();
                continue;
            }
            // Copies share their data: the lock is held only for the copy, the
            // encoding (a conversation may be megabytes) is done without it.
            const QHash<QString, QVariant> valuesNow = values;
            const QJsonObject foreignNow = foreign;
            const std::function<void()> hook = writeHook;
            lock.unlock();
            if (hook)
                hook();
            const QJsonObject root = encode(valuesNow, foreignNow);
            const QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Compact);
            Identity identity;
            const bool ok = writeAtomically(path, bytes, identity);
            QJsonObject previous; // released after the lock: it may hold megabytes
            lock.lock();
            ++writes;
            if (ok) {
                previous = std::exchange(onDisk, root);
                known = identity;
            }
            writtenGeneration = target; // a failed write is tried again at the next change
            written.notify_all();
            lock.unlock();
            previous = QJsonObject();
            lock.lock();
        }
        written.notify_all();
    }
};

FileDefaultsStore::FileDefaultsStore(QString path)
    : path_(std::move(path))
    , state_(std::make_shared<State>()) {
    State& s = *state_;
    s.path = path_;
    s.owner = this;
    QDir().mkpath(QFileInfo(path_).absolutePath());
    removeStrayTemporaries(path_);
    QByteArray bytes;
    Identity identity;
    const ReadOutcome outcome = readFile(path_, bytes, identity);
    if (outcome != ReadOutcome::Missing) {
        std::optional<QJsonObject> disk;
        if (outcome == ReadOutcome::Read)
            disk = parseObject(bytes);
        if (disk) {
            s.merge(*disk);
            s.known = identity;
        } else {
            s.writable = keepAside(path_);
        }
    }
    writer_ = std::thread([state = state_] { state->run(); });
    watch();
    if (QCoreApplication* app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, this, [this] {
            // The file is no longer followed once the application quits.
            delete watcher_;
            watcher_ = nullptr;
            delete settle_;
            settle_ = nullptr;
            flush();
        });
    }
}

FileDefaultsStore::~FileDefaultsStore() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stop = true;
    }
    state_->wake.notify_all();
    writer_.join();
}

QString FileDefaultsStore::defaultPath() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return base + QStringLiteral("/ombrix/defaults.json");
}

void FileDefaultsStore::watch() {
    watcher_ = new QFileSystemWatcher(this);
    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(kSettleMs);
    connect(settle_, &QTimer::timeout, this, [this] {
        {
            std::lock_guard lock(state_->mutex);
            state_->recheck = true;
        }
        state_->wake.notify_all();
    });
    // The folder tells of a file renamed into place, the file of a change in place.
    watcher_->addPath(QFileInfo(path_).absolutePath());
    if (QFile::exists(path_))
        watcher_->addPath(path_);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &FileDefaultsStore::onDiskEvent);
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, &FileDefaultsStore::onDiskEvent);
}

void FileDefaultsStore::onDiskEvent() {
    if (!watcher_)
        return;
    // A file replaced by a rename is a new file: follow the new one.
    if (!watcher_->files().contains(path_) && QFile::exists(path_))
        watcher_->addPath(path_);
    settle_->start();
}

void FileDefaultsStore::flush() {
    std::unique_lock lock(state_->mutex);
    const quint64 target = state_->generation;
    state_->written.wait(lock, [&] { return state_->writtenGeneration >= target || state_->stop; });
}

void FileDefaultsStore::setWriteHookForTesting(std::function<void()> hook) {
    std::lock_guard lock(state_->mutex);
    state_->writeHook = std::move(hook);
}

int FileDefaultsStore::writeCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->writes;
}

std::optional<QVariant> FileDefaultsStore::raw(const QString& key) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->values.constFind(key);
    if (it == state_->values.constEnd())
        return std::nullopt;
    return *it;
}

void FileDefaultsStore::store(const QString& key, const std::optional<QVariant>& value) {
    {
        std::lock_guard lock(state_->mutex);
        if (value)
            state_->values.insert(key, *value);
        else
            state_->values.remove(key);
        state_->foreign.remove(key);
        ++state_->generation;
    }
    state_->wake.notify_one();
}

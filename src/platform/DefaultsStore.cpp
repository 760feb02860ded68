#include "platform/DefaultsStore.h"

#include "platform/Json.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QCryptographicHash>
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

std::optional<QJsonObject> parseObjectExactly(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

// How many pieces of the file one entry may have been cut into, where a text of it
// ends with the text that separates two entries, before it is taken as damaged.
constexpr int kMaxJoinedEntryPieces = 8;

// A file that does not parse, read entry by entry. The store writes one compact
// object, its entries separated by `},"`: each piece is parsed on its own (joined
// with the next ones when a text inside it ends with that separator). A piece that
// does not parse is kept as its text, a string under its key, so that it is kept
// aside before the key is next written and its reader can still look into it.
std::optional<QJsonObject> readEntryByEntry(const QByteArray& bytes) {
    QByteArray body = bytes.trimmed();
    if (!body.startsWith('{'))
        return std::nullopt;
    body.remove(0, 1);
    if (body.endsWith('}'))
        body.chop(1);
    QJsonObject entries;
    const auto read = [&](const QByteArray& piece) {
        const std::optional<QJsonObject> object = parseObjectExactly('{' + piece + '}');
        if (!object)
            return false;
        for (auto it = object->begin(); it != object->end(); ++it)
            entries.insert(it.key(), it.value());
        return true;
    };
    const auto unread = [&](const QByteArray& piece, bool only) {
        // "key":<damaged value>: the key, when it reads, keeps the text.
        const qsizetype keyEnd = piece.indexOf('"', 1);
        if (!piece.startsWith('"') || keyEnd < 0 || piece.mid(1, keyEnd - 1).contains('\\') ||
            piece.mid(keyEnd + 1, 1) != ":")
            return;
        // A file that does not even split into entries (not one this store wrote)
        // keeps nothing but a data value of the store's own form.
        const QByteArray value = piece.mid(keyEnd + 2);
        if (only && !value.startsWith("{\"data\":\""))
            return;
        const QString key = QString::fromUtf8(piece.mid(1, keyEnd - 1));
        if (!key.isEmpty() && !entries.contains(key))
            entries.insert(key, QString::fromUtf8(value));
    };
    json::readPieces(body, "},\"", kMaxJoinedEntryPieces, read, unread);
    if (entries.isEmpty())
        return std::nullopt;
    return entries;
}

// The store never writes an escape inside base64: a data value whose text in the
// file holds one was damaged (a flipped bit made a backslash, which may read as
// another character and shift what follows). It is taken as its text, as an entry
// that does not parse is. Returns whether one was.
bool takeEscapedDataAsText(const QByteArray& bytes, QJsonObject& object) {
    if (!bytes.contains('\\'))
        return false;
    bool damaged = false;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonValue value = it.value();
        if (!value.isObject() || !value.toObject().value(QLatin1String("data")).isString())
            continue;
        const QByteArray head = '"' + it.key().toUtf8() + "\":{\"data\":\"";
        const qsizetype at = bytes.indexOf(head);
        const qsizetype end = at < 0 ? -1 : bytes.indexOf("\"}", at + head.size());
        if (end < 0)
            continue;
        const QByteArray text = bytes.mid(at + head.size(), end - at - head.size());
        if (!text.contains('\\'))
            continue;
        it.value() = QString::fromUtf8("{\"data\":\"" + text + "\"}");
        damaged = true;
    }
    return damaged;
}

// The file's object. A file that does not parse (a flipped bit) is read with its
// bad UTF-8 replaced, and entry by entry, and `whole` is false: its values are not
// lost with it, and the damaged ones no longer decode.
std::optional<QJsonObject> parseObject(const QByteArray& bytes, bool& whole) {
    whole = true;
    std::optional<QJsonObject> object = parseObjectExactly(bytes);
    if (object) {
        whole = !takeEscapedDataAsText(bytes, *object);
        return object;
    }
    whole = false;
    const QByteArray replaced = QString::fromUtf8(bytes).toUtf8();
    if (replaced != bytes)
        object = parseObjectExactly(replaced);
    if (object) {
        takeEscapedDataAsText(replaced, *object);
        return object;
    }
    return readEntryByEntry(replaced);
}

// How an entry stands in the file: {"key": value}.
QByteArray entryText(const QString& key, const QJsonValue& value) {
    return QJsonDocument(QJsonObject{{key, value}}).toJson(QJsonDocument::Compact);
}

// Where a value of `key` that does not read is kept: "<file>.<key>.unreadable-<hash>",
// named by the hash of what is kept, so that the same value always goes to the
// same file and another value never overwrites it.
QString asidePath(const QString& path, const QString& key, const QByteArray& bytes) {
    QString name;
    for (const QChar c : key.left(64)) {
        const bool plain =
            c.unicode() < 128 && (c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('-'));
        name += plain ? c : QLatin1Char('_');
    }
    const QByteArray hash = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().left(16);
    return path + QLatin1Char('.') + name + QStringLiteral(".unreadable-") + QString::fromLatin1(hash);
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

// A new temporary file next to the settings file (mode 0600); -1 when none can be made.
int openTemporary(const QString& path, QString& temporary) {
    const QFileInfo info(path);
    QDir().mkpath(info.absolutePath());
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = info.absolutePath() + QLatin1Char('/') + temporaryPrefix(path) +
                    QString::number(QRandomGenerator::global()->generate(), 36);
        fd = ::open(QFile::encodeName(temporary).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    return fd;
}

void syncFolder(const QString& path) {
    const int dirFd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

// Copies the file to `target`, which must not exist yet; synced.
bool copyFile(const QByteArray& from, const QByteArray& target) {
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (!writeAll(out, QByteArray::fromRawData(buffer, n))) {
            ok = false;
            break;
        }
    }
    ok = ::fsync(out) == 0 && ok;
    ::close(out);
    ::close(in);
    if (!ok)
        ::unlink(target.constData());
    return ok;
}

// Keeps the file as "<name>.unreadable-<date and time>" (never over another file):
// a second name for it, else a copy. The file itself stays in place until the next
// write replaces it whole, so that a kill meanwhile leaves it to be read again.
bool keepFileAside(const QString& path) {
    const QString stem = path + QStringLiteral(".unreadable-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QByteArray from = QFile::encodeName(path);
    for (int n = 1; n < 1000; ++n) {
        const QString target = n == 1 ? stem : stem + QLatin1Char('-') + QString::number(n);
        const QByteArray to = QFile::encodeName(target);
        // link() never replaces an existing file; the copy is for file systems without links.
        const int linkError = ::link(from.constData(), to.constData()) == 0 ? 0 : errno;
        if (linkError == EEXIST || (linkError != 0 && QFile::exists(target)))
            continue;
        if (linkError == 0 || copyFile(from, to)) {
            syncFolder(target);
            qCWarning(lcSession) << "settings file unreadable, kept aside as" << target;
            return true;
        }
        break;
    }
    qCWarning(lcSession) << "settings file unreadable and cannot be kept aside: not written" << path;
    return false;
}

// Writes a value kept aside to `target`, whole, unless a file is there already (it
// holds the same bytes: the name is their hash). Never replaces a file.
bool writeAside(const QString& settingsPath, const QString& target, const QByteArray& bytes) {
    QString temporary;
    const int fd = openTemporary(settingsPath, temporary);
    if (fd < 0) {
        qCWarning(lcSession) << "cannot keep an unreadable setting aside:" << ::strerror(errno);
        return false;
    }
    const bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    ::close(fd);
    const QByteArray from = QFile::encodeName(temporary);
    const QByteArray to = QFile::encodeName(target);
    bool kept = false;
    if (ok) {
        // link() never replaces a file; rename() is for file systems without links.
        if (::link(from.constData(), to.constData()) == 0 || errno == EEXIST)
            kept = true;
        else
            kept = !QFile::exists(target) && ::rename(from.constData(), to.constData()) == 0;
    }
    ::unlink(from.constData());
    if (!kept) {
        qCWarning(lcSession) << "cannot keep an unreadable setting aside:" << target;
        return false;
    }
    syncFolder(target);
    qCWarning(lcSession) << "an unreadable setting is kept aside as" << target;
    return true;
}

// Writes a temporary file (mode 0600), syncs it and renames it over the file.
bool writeAtomically(const QString& path, const QByteArray& bytes, Identity& identity) {
    QString temporary;
    const int fd = openTemporary(path, temporary);
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
    syncFolder(path);
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
    QJsonObject foreign; // entries of a shape the store does not know, kept as found
    // Values that do not read, to be kept aside before the file is next written:
    // (file, bytes). The file is not written over them until they are.
    QList<QPair<QString, QByteArray>> asides;
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
        bool whole = false;
        if (outcome == ReadOutcome::Read)
            disk = parseObject(bytes, whole);
        if (!disk || !whole) {
            const bool aside = keepFileAside(path);
            std::lock_guard lock(mutex);
            QStringList changed;
            if (disk)
                changed = merge(*disk); // what the file holds still counts
            // Kept, the file stays in place until the write replaces it: it is not
            // kept again meanwhile.
            known = outcome == ReadOutcome::Read ? std::optional<Identity>(identity) : now;
            onDisk = QJsonObject();
            writable = aside;
            ++generation; // the values in memory go back to disk
            announce(changed);
            return;
        }
        QStringList changed;
        {
            std::lock_guard lock(mutex);
            changed = merge(*disk);
            known = identity;
        }
        announce(changed);
    }

    void announce(const QStringList& changed) {
        if (changed.isEmpty())
            return;
        FileDefaultsStore* store = owner;
        QMetaObject::invokeMethod(
            store,
            [store, changed] {
                for (const QString& key : changed)
                    emit store->changed(key);
            },
            Qt::QueuedConnection);
    }

    void announceKept(const QStringList& files) {
        if (files.isEmpty())
            return;
        FileDefaultsStore* store = owner;
        QMetaObject::invokeMethod(
            store,
            [store, files] {
                for (const QString& file : files)
                    emit store->keptAside(file);
            },
            Qt::QueuedConnection);
    }

    // Keeps the entry of `key` aside before it is replaced, when it does not read.
    // Under the lock.
    void keepForeignAside(const QString& key) {
        const auto it = foreign.constFind(key);
        if (it == foreign.constEnd())
            return;
        queueAside(key, entryText(key, *it));
    }
    QString queueAside(const QString& key, const QByteArray& bytes) {
        const QString target = asidePath(path, key, bytes);
        for (const auto& aside : std::as_const(asides))
            if (aside.first == target)
                return target;
        asides.append({target, bytes});
        return target;
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
            // What does not read is kept before the file is written over it, also
            // what a change queued while the others were being written.
            bool kept = true;
            while (kept && !asides.isEmpty()) {
                const QList<QPair<QString, QByteArray>> due = asides;
                const std::function<void()> hook = writeHook;
                lock.unlock();
                if (hook)
                    hook();
                QStringList done;
                for (const auto& [to, bytes] : due) {
                    if (writeAside(path, to, bytes))
                        done.append(to);
                    else
                        kept = false;
                }
                lock.lock();
                if (kept)
                    asides.remove(0, due.size());
                announceKept(done);
            }
            if (!kept) {
                writtenGeneration = target; // tried again at the next change
                written.notify_all();
                continue;
            }
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
        bool whole = false;
        if (outcome == ReadOutcome::Read)
            disk = parseObject(bytes, whole);
        if (disk)
            s.merge(*disk);
        if (disk && whole) {
            s.known = identity;
        } else {
            // Kept aside, the file is replaced at once by what could be read of it
            // (its bad bytes replaced), or else by an empty one.
            s.writable = keepFileAside(path_);
            s.known = outcome == ReadOutcome::Read ? std::optional<Identity>(identity) : identityAt(path_);
            s.onDisk = QJsonObject();
            ++s.generation;
        }
    }
    writer_ = std::thread([state = state_] { state->run(); });
    watch();
}

void FileDefaultsStore::endOfProgram() {
    // The file is no longer followed once the program ends.
    delete watcher_;
    watcher_ = nullptr;
    delete settle_;
    settle_ = nullptr;
    flush();
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
        state_->keepForeignAside(key);
        if (value)
            state_->values.insert(key, *value);
        else
            state_->values.remove(key);
        state_->foreign.remove(key);
        ++state_->generation;
    }
    state_->wake.notify_one();
}

std::optional<QString> FileDefaultsStore::keepAside(const QString& key) {
    std::optional<QString> target;
    {
        std::lock_guard lock(state_->mutex);
        QByteArray bytes;
        if (const auto it = state_->foreign.constFind(key); it != state_->foreign.constEnd()) {
            bytes = entryText(key, *it);
        } else if (const auto value = state_->values.constFind(key); value != state_->values.constEnd()) {
            if (value->typeId() == QMetaType::QByteArray)
                bytes = value->toByteArray();
            else
                bytes = entryText(key, encodeEntry(*value).value_or(QJsonValue()));
        } else {
            return std::nullopt;
        }
        target = state_->queueAside(key, bytes);
        ++state_->generation; // written before the file is
    }
    state_->wake.notify_one();
    return target;
}

std::optional<QByteArray> FileDefaultsStore::damagedData(const QString& key) const {
    QJsonValue entry;
    {
        std::lock_guard lock(state_->mutex);
        entry = state_->foreign.value(key);
    }
    QString text;
    const QString rawPrefix = QStringLiteral("{\"data\":\"");
    if (entry.isObject() && entry.toObject().size() == 1 &&
        entry.toObject().value(QLatin1String("data")).isString()) {
        text = entry.toObject().value(QLatin1String("data")).toString();
    } else if (entry.isString() && entry.toString().startsWith(rawPrefix)) {
        // An entry that did not parse, kept as its text: the base64 up to its last quote.
        text = entry.toString().mid(rawPrefix.size());
        text.truncate(std::max<qsizetype>(0, text.lastIndexOf(QLatin1Char('"'))));
    } else {
        return std::nullopt;
    }
    // Padding counts only at the end: one inside would end the decoding there.
    qsizetype padding = text.size();
    while (padding > 0 && text.at(padding - 1) == QLatin1Char('='))
        --padding;
    QByteArray base64;
    base64.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text.at(i).unicode();
        const bool valid = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
                           u == '+' || u == '/' || (u == '=' && i >= padding);
        base64.append(valid ? char(u) : 'A');
    }
    return QByteArray::fromBase64(base64);
}

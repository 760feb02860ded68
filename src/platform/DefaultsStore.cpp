#include "platform/DefaultsStore.h"

#include "platform/Json.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QCryptographicHash>
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
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>

#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
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
using SaveProblem = DefaultsStore::SaveProblem;
// The shortest time between two writes of the file, but for flush().
constexpr int kWriteIntervalMs = 1000;
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
// A file larger than `maxBytes` does not read (the store never writes one).
ReadOutcome readFile(const QString& path, qint64 maxBytes, QByteArray& bytes, Identity& identity) {
    QFile file(path);
    if (!file.exists())
        return ReadOutcome::Missing;
    if (!file.open(QIODevice::ReadOnly))
        return ReadOutcome::Unreadable;
    struct stat st {};
    if (::fstat(file.handle(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > maxBytes)
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
        if (bytes.size() + got > maxBytes)
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

// Copies what `in` holds, from its start, to `target`, which must not exist yet;
// synced. Returns 0, else the errno of the failure.
int copyFile(int in, const QByteArray& target) {
    if (::lseek(in, 0, SEEK_SET) != 0)
        return errno;
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0)
        return errno;
    int error = 0;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        if (!writeAll(out, QByteArray::fromRawData(buffer, n))) {
            error = errno;
            break;
        }
    }
    if (::fsync(out) != 0 && error == 0)
        error = errno;
    if (::close(out) != 0 && error == 0)
        error = errno;
    if (error != 0)
        ::unlink(target.constData());
    return error;
}

// Where a whole file that does not read is kept: "<file>.unreadable-<hash>", named
// by the hash of its bytes, so that the same damage put back is kept once.
QString wholeAsidePath(const QString& path, const QByteArray& sha256) {
    return path + QStringLiteral(".unreadable-") + QString::fromLatin1(sha256.toHex().left(16));
}

// Keeps the file at `path` as "<settings file>.unreadable-<hash>" (never over
// another file; a file of that name holds the same bytes already): a second name
// for it, else a copy. The file itself stays in place until the next write
// replaces it whole, so that a kill meanwhile leaves it to be read again. Returns
// 0, else the errno of the failure.
int keepFileAside(const QString& settingsPath, const QString& path) {
    const int in = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    char buffer[64 * 1024];
    int error = 0;
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        hash.addData(QByteArrayView(buffer, n));
    }
    if (error != 0) {
        ::close(in);
        return error;
    }
    const QString target = wholeAsidePath(settingsPath, hash.result());
    const QByteArray to = QFile::encodeName(target);
    // The very file that was hashed gets the second name (link() never replaces a
    // file); the copy is for file systems without links.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(in);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, to.constData(), AT_SYMLINK_FOLLOW) == 0 ||
        errno == EEXIST) {
        error = 0;
    } else if (QFile::exists(target)) {
        error = 0;
    } else {
        error = copyFile(in, to);
    }
    ::close(in);
    if (error == 0) {
        syncFolder(target);
        qCWarning(lcSession) << "settings file unreadable, kept aside as" << target;
    }
    return error;
}

// Writes a value kept aside to `target`, whole, unless a file is there already (it
// holds the same bytes: the name is their hash). Never replaces a file. Returns 0,
// else the errno of the failure.
int writeAside(const QString& settingsPath, const QString& target, const QByteArray& bytes) {
    QString temporary;
    const int fd = openTemporary(settingsPath, temporary);
    if (fd < 0)
        return errno;
    int error = writeAll(fd, bytes) && ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    const QByteArray from = QFile::encodeName(temporary);
    const QByteArray to = QFile::encodeName(target);
    if (error == 0) {
        // link() never replaces a file; rename() is for file systems without links.
        if (::link(from.constData(), to.constData()) != 0 && errno != EEXIST) {
            error = errno;
            if (!QFile::exists(target) && ::rename(from.constData(), to.constData()) == 0)
                error = 0;
        }
    }
    ::unlink(from.constData());
    if (error != 0)
        return error;
    syncFolder(target);
    qCWarning(lcSession) << "an unreadable setting is kept aside as" << target;
    return 0;
}

// What a write found in place of the file it last knew: an edit made meanwhile.
struct Displaced {
    bool edited = false;
    std::optional<QJsonObject> entries; // what can be read of it
};

// Writes a temporary file (mode 0600), syncs it and puts it in the file's place in
// one step. The file it replaces takes the temporary's name: when it is not the
// file last read or written (`expected`), someone wrote it since the check, and
// its bytes go to `displaced` to be merged. Returns 0, else the errno of the
// failure; the file is then as it was.
int writeAtomically(const QString& path, const QByteArray& bytes, const std::optional<Identity>& expected,
                    qint64 maxBytes, Identity& identity, Displaced& displaced) {
    QString temporary;
    const int fd = openTemporary(path, temporary);
    if (fd < 0)
        return errno;
    struct stat st {};
    int error = writeAll(fd, bytes) && ::fsync(fd) == 0 && ::fstat(fd, &st) == 0 ? 0 : errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    const QByteArray from = QFile::encodeName(temporary);
    const QByteArray to = QFile::encodeName(path);
    if (error != 0) {
        ::unlink(from.constData());
        return error;
    }
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) == 0) {
        const std::optional<Identity> was = identityAt(temporary);
        if (was != expected) {
            displaced.edited = true;
            QByteArray edit;
            Identity ignored;
            bool whole = false;
            if (readFile(temporary, maxBytes, edit, ignored) == ReadOutcome::Read)
                displaced.entries = parseObject(edit, whole);
            if (!whole) // a broken edit is kept before it goes
                keepFileAside(path, temporary);
        }
        ::unlink(from.constData());
    } else if (::rename(from.constData(), to.constData()) != 0) {
        // No file to exchange with, or a file system that cannot exchange: renamed.
        error = errno;
        ::unlink(from.constData());
        return error;
    }
    identity = identityOf(st);
    syncFolder(path);
    return 0;
}

// What a failed save tells the user: the reason of an errno (-1: too large).
constexpr int kTooLarge = -1;
DefaultsStore::SaveProblem problemOf(int error) {
    switch (error) {
    case 0:
        return DefaultsStore::SaveProblem::None;
    case kTooLarge:
        return DefaultsStore::SaveProblem::TooLarge;
    case ENOSPC:
    case EDQUOT:
        return DefaultsStore::SaveProblem::DiskFull;
    case EROFS:
    case EACCES:
    case EPERM:
        return DefaultsStore::SaveProblem::ReadOnly;
    default:
        return DefaultsStore::SaveProblem::Failed;
    }
}

// The other programs' lock on the file, held by the writer from its check of the
// file to the new file in place. The wait is bounded: a program that holds it far
// longer than a write takes is taken as stuck, and the write goes on without it.
class WriterLock {
public:
    explicit WriterLock(int fd)
        : fd_(fd) {
        if (fd_ < 0)
            return;
        for (int waited = 0; waited < kLockWaitMs; waited += 5) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return;
            }
            if (errno != EWOULDBLOCK && errno != EINTR)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        qCWarning(lcSession) << "the settings file stays locked by another program; written without the lock";
    }
    ~WriterLock() {
        if (held_)
            ::flock(fd_, LOCK_UN);
    }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

private:
    static constexpr int kLockWaitMs = 10000;
    int fd_ = -1;
    bool held_ = false;
};
} // namespace

struct FileDefaultsStore::State {
    using Clock = std::chrono::steady_clock;

    QString path;
    qint64 maxBytes = kMaxFileBytes;
    FileDefaultsStore* owner = nullptr;
    // "<name>.lock", open for reading only (flock needs no more, and a file open
    // for writing would keep its file system from being made read-only).
    int lockFd = -1;

    mutable std::mutex mutex;
    std::condition_variable wake;    // to the writer
    std::condition_variable written; // to flush()
    QHash<QString, QVariant> values;
    QJsonObject foreign; // entries of a shape the store does not know, kept as found
    // Values that do not read, to be kept aside before the file is next written:
    // (file, bytes). The file is not written over them until they are.
    QList<QPair<QString, QByteArray>> asides;
    // The keys changed here and not written yet, with the generation of their last
    // change: an edit on disk does not take their place.
    QHash<QString, quint64> unwritten;
    QJsonObject onDisk;            // the file's entries as last read or written
    std::optional<Identity> known; // the file as last read or written
    quint64 generation = 0;        // bumped by every change to be written
    quint64 writtenGeneration = 0;
    quint64 attemptedGeneration = 0; // what the last save tried to write
    quint64 attemptsStarted = 0;
    quint64 attemptsFinished = 0;
    bool recheck = false;
    bool retryNow = false; // flush(): a failed save is tried at once
    bool stop = false;
    bool finished = false;
    bool writable = true; // false while a file that does not read could not be kept aside
    int writes = 0;
    std::function<void()> writeHook;

    // A failed save: why, and when it is tried again.
    SaveProblem problem = SaveProblem::None;
    int failedErrno = 0;
    Clock::time_point retryAt;
    Clock::time_point nextWriteAt;
    int firstRetryMs = 1000;
    int longestRetryMs = 30000;
    int retryMs = 0;

    // Takes the file's entries: every key whose entry differs from what was last on
    // disk takes the disk's value, unless it was changed here since it was last
    // written (the program's change goes on to disk). Returns those keys. Under
    // the lock.
    QStringList merge(const QJsonObject& disk) {
        QStringList keys = onDisk.keys();
        for (auto it = disk.begin(); it != disk.end(); ++it)
            if (!onDisk.contains(it.key()))
                keys.append(it.key());
        QStringList changed;
        for (const QString& key : keys) {
            if (disk.value(key) == onDisk.value(key) || unwritten.contains(key))
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
        const ReadOutcome outcome = readFile(path, maxBytes, bytes, identity);
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
            const bool aside = keepFileAside(path, path) == 0;
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

    // The outcome of a save (0, else the errno of its failure): a failure is tried
    // again after a growing delay, and told (logged and announced) only when the
    // reason changes; a success after failures is told once. Under the lock.
    void noteOutcome(int error) {
        const SaveProblem now = problemOf(error);
        if (now != SaveProblem::None) {
            retryMs = retryMs == 0 ? firstRetryMs : std::min(longestRetryMs, retryMs * 2);
            retryAt = Clock::now() + std::chrono::milliseconds(retryMs);
        } else {
            retryMs = 0;
            nextWriteAt = Clock::now() + std::chrono::milliseconds(kWriteIntervalMs);
        }
        if (now == problem && (now == SaveProblem::None || error == failedErrno))
            return;
        if (now == SaveProblem::None)
            qCInfo(lcSession) << "settings saved again in" << path;
        else if (error == kTooLarge)
            qCWarning(lcSession) << "settings not saved: the file would pass" << maxBytes
                                 << "bytes; the file on disk stays as it was";
        else
            qCWarning(lcSession) << "settings cannot be saved in" << path << ":" << ::strerror(error)
                                 << "; tried again later";
        const bool told = now != problem;
        problem = now;
        failedErrno = error;
        if (!told)
            return;
        FileDefaultsStore* store = owner;
        QMetaObject::invokeMethod(
            store, [store, now] { emit store->saveProblemChanged(now); }, Qt::QueuedConnection);
    }

    // One save: what does not read is kept aside first, then, under the other
    // programs' lock, an edit on disk is merged and the file written. Returns 0,
    // else the errno of the failure (kTooLarge: the file would pass the bound).
    int save(std::unique_lock<std::mutex>& lock) {
        lock.unlock();
        if (lockFd < 0) {
            const QByteArray lockPath = QFile::encodeName(path + QStringLiteral(".lock"));
            lockFd = ::open(lockPath.constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
        }
        const WriterLock writerLock(lockFd);
        // An edit made on disk is merged before it could be overwritten.
        syncFromDisk();
        lock.lock();
        // What does not read is kept before the file is written over it, also
        // what a change queued while the others were being written.
        while (!asides.isEmpty()) {
            const QList<QPair<QString, QByteArray>> due = asides;
            const std::function<void()> hook = writeHook;
            lock.unlock();
            if (hook)
                hook();
            QStringList done;
            int error = 0;
            for (const auto& [to, bytes] : due) {
                const int failed = writeAside(path, to, bytes);
                if (failed == 0)
                    done.append(to);
                else
                    error = failed;
            }
            lock.lock();
            announceKept(done);
            if (error != 0)
                return error;
            asides.remove(0, due.size());
        }
        if (!writable) {
            // The file that does not read is kept before anything is written over it.
            lock.unlock();
            const int error = keepFileAside(path, path);
            lock.lock();
            if (error != 0)
                return error;
            writable = true;
        }
        const quint64 target = generation;
        attemptedGeneration = target;
        // Copies share their data: the lock is held only for the copy, the
        // encoding (a conversation may be megabytes) is done without it.
        const QHash<QString, QVariant> valuesNow = values;
        const QJsonObject foreignNow = foreign;
        const std::function<void()> hook = writeHook;
        const std::optional<Identity> expected = known;
        lock.unlock();
        if (hook)
            hook();
        const QJsonObject root = encode(valuesNow, foreignNow);
        const QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Compact);
        Identity identity;
        Displaced displaced;
        // Never a file the store would refuse to read: the last one stays.
        const int error = qint64(bytes.size()) > maxBytes
                              ? kTooLarge
                              : writeAtomically(path, bytes, expected, maxBytes, identity, displaced);
        QJsonObject previous; // released after the lock: it may hold megabytes
        lock.lock();
        ++writes;
        if (error != 0)
            return error;
        writtenGeneration = std::max(writtenGeneration, target);
        for (auto it = unwritten.begin(); it != unwritten.end();)
            it = it.value() <= target ? unwritten.erase(it) : std::next(it);
        if (displaced.entries) {
            // Someone wrote the file between the check and the write: what they
            // changed is taken now and written with the next save.
            const QStringList changed = merge(*displaced.entries);
            if (!changed.isEmpty())
                ++generation;
            announce(changed);
        }
        previous = std::exchange(onDisk, root);
        known = identity;
        lock.unlock();
        previous = QJsonObject();
        lock.lock();
        return 0;
    }

    void run() {
        std::unique_lock lock(mutex);
        while (true) {
            // When the next save may start: a second after the last one (a stream of
            // changes, a long conversation growing, costs one write a second), or
            // when a failed one is tried again; at once for flush() and at the end.
            const auto dueAt = [&] { return problem == SaveProblem::None ? nextWriteAt : retryAt; };
            // A change waits to be written; not the very state a save found too
            // large (encoding it again would find the same).
            const auto pending = [&] {
                return generation != writtenGeneration &&
                       !(problem == SaveProblem::TooLarge && generation == attemptedGeneration);
            };
            const auto ready = [&] {
                if (stop || recheck || retryNow)
                    return true;
                return pending() && Clock::now() >= dueAt();
            };
            if (!pending())
                wake.wait(lock, [&] { return stop || recheck || retryNow || pending(); });
            else
                wake.wait_until(lock, dueAt(), ready);
            if (recheck) {
                recheck = false;
                lock.unlock();
                syncFromDisk();
                lock.lock();
            }
            const bool due = generation != writtenGeneration;
            const bool now = retryNow || stop || (pending() && Clock::now() >= dueAt());
            retryNow = false;
            if (!due || !now) {
                if (stop)
                    break;
                written.notify_all();
                continue;
            }
            ++attemptsStarted;
            const int error = save(lock);
            ++attemptsFinished;
            noteOutcome(error);
            written.notify_all();
            if (stop && error != 0)
                break; // the last try at the end
        }
        finished = true;
        written.notify_all();
    }
};

FileDefaultsStore::FileDefaultsStore(QString path, qint64 maxFileBytes)
    : path_(std::move(path))
    , state_(std::make_shared<State>()) {
    State& s = *state_;
    s.path = path_;
    s.maxBytes = maxFileBytes;
    s.owner = this;
    QDir().mkpath(QFileInfo(path_).absolutePath());
    // A temporary is a crash's only while no writer holds the lock: another program
    // writing now keeps its own (the GUI thread does not wait for it).
    s.lockFd = ::open(QFile::encodeName(path_ + QStringLiteral(".lock")).constData(),
                      O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (s.lockFd < 0) {
        removeStrayTemporaries(path_);
    } else if (::flock(s.lockFd, LOCK_EX | LOCK_NB) == 0) {
        removeStrayTemporaries(path_);
        ::flock(s.lockFd, LOCK_UN);
    }
    QByteArray bytes;
    Identity identity;
    const ReadOutcome outcome = readFile(path_, maxFileBytes, bytes, identity);
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
            s.writable = keepFileAside(path_, path_) == 0;
            s.known = outcome == ReadOutcome::Read ? std::optional<Identity>(identity) : identityAt(path_);
            s.onDisk = QJsonObject();
            ++s.generation;
        }
    }
    writer_ = std::thread([state = state_] { state->run(); });
    watch();
}

bool FileDefaultsStore::endOfProgram() {
    // The file is no longer followed once the program ends.
    delete watcher_;
    watcher_ = nullptr;
    delete settle_;
    settle_ = nullptr;
    return flush();
}

FileDefaultsStore::~FileDefaultsStore() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stop = true;
    }
    state_->wake.notify_all();
    writer_.join();
    if (state_->lockFd >= 0)
        ::close(state_->lockFd);
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

bool FileDefaultsStore::flush() {
    State& s = *state_;
    std::unique_lock lock(s.mutex);
    const quint64 target = s.generation;
    if (s.writtenGeneration >= target)
        return true;
    // A save that started before this call may not hold every change: the answer
    // is that of a save started after it (a failed one is tried at once).
    const quint64 mark = s.attemptsStarted;
    s.retryNow = true;
    s.wake.notify_all();
    s.written.wait(lock,
                   [&] { return s.writtenGeneration >= target || s.attemptsFinished > mark || s.finished; });
    return s.writtenGeneration >= target;
}

DefaultsStore::SaveProblem FileDefaultsStore::saveProblem() const {
    std::lock_guard lock(state_->mutex);
    return state_->problem;
}

void FileDefaultsStore::setRetryDelaysForTesting(int firstMs, int longestMs) {
    std::lock_guard lock(state_->mutex);
    state_->firstRetryMs = firstMs;
    state_->longestRetryMs = longestMs;
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
        state_->unwritten.insert(key, ++state_->generation);
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

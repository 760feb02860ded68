#include "platform/DefaultsStore.h"

#include "platform/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include <cmath>
#include <mutex>

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

// File form: {"key": {"bool": true}} / {"int": "123"} / {"double": 1.5} / {"string": "..."} /
// {"data": "<base64>"}. Integers are written as text so that 64-bit values survive.
FileDefaultsStore::FileDefaultsStore(QString path)
    : path_(std::move(path)) {
    load();
}

QString FileDefaultsStore::defaultPath() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return base + QStringLiteral("/ombrix/defaults.json");
}

std::optional<QVariant> FileDefaultsStore::raw(const QString& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.constFind(key);
    if (it == values_.constEnd())
        return std::nullopt;
    return *it;
}

void FileDefaultsStore::store(const QString& key, const std::optional<QVariant>& value) {
    {
        std::lock_guard lock(mutex_);
        if (value)
            values_.insert(key, *value);
        else
            values_.remove(key);
    }
    save();
}

void FileDefaultsStore::load() {
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QJsonParseError error{};
    auto doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        qCWarning(lcSession) << "settings file unreadable, starting empty:" << path_;
        return;
    }
    const QJsonObject root = doc.object();
    for (auto it = root.begin(); it != root.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        if (entry.contains(QLatin1String("bool")))
            values_.insert(it.key(), QVariant(entry.value(QLatin1String("bool")).toBool()));
        else if (entry.contains(QLatin1String("int"))) {
            bool ok = false;
            qint64 n = entry.value(QLatin1String("int")).toString().toLongLong(&ok);
            if (ok)
                values_.insert(it.key(), QVariant(n));
        } else if (entry.contains(QLatin1String("double")))
            values_.insert(it.key(), QVariant(entry.value(QLatin1String("double")).toDouble()));
        else if (entry.contains(QLatin1String("string")))
            values_.insert(it.key(), QVariant(entry.value(QLatin1String("string")).toString()));
        else if (entry.contains(QLatin1String("data")))
            values_.insert(it.key(), QVariant(QByteArray::fromBase64(
                                         entry.value(QLatin1String("data")).toString().toLatin1())));
    }
}

void FileDefaultsStore::save() const {
    QHash<QString, QVariant> values;
    {
        std::lock_guard lock(mutex_);
        values = values_;
    }
    QJsonObject root;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        QJsonObject entry;
        const QVariant& v = it.value();
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
            continue;
        }
        root.insert(it.key(), entry);
    }
    QDir().mkpath(QFileInfo(path_).absolutePath());
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly)) {
        qCWarning(lcSession) << "cannot write settings file" << path_ << file.errorString();
        return;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(root).toJson(QJsonDocument::Compact));
    if (!file.commit())
        qCWarning(lcSession) << "cannot save settings file" << path_ << file.errorString();
}

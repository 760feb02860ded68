#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>
#include <mutex>
#include <optional>

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

    // The process-wide store, made on first use (the file store). Tests install
    // their own with setShared().
    static DefaultsStore& shared();
    static void setShared(std::shared_ptr<DefaultsStore> store);

signals:
    void changed(const QString& key);

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

// Keeps the values in one JSON file, rewritten atomically on every change.
class FileDefaultsStore : public DefaultsStore {
    Q_OBJECT
public:
    explicit FileDefaultsStore(QString path);
    // $XDG_CONFIG_HOME/ombrix/defaults.json
    static QString defaultPath();
    QString path() const { return path_; }

protected:
    std::optional<QVariant> raw(const QString& key) const override;
    void store(const QString& key, const std::optional<QVariant>& value) override;

private:
    void load();
    void save() const;

    QString path_;
    mutable std::mutex mutex_; // reads may come from other threads (the keychain's)
    QHash<QString, QVariant> values_;
};

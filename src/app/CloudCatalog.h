#pragma once

#include "platform/Json.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <functional>
#include <memory>
#include <optional>

// One cloud model of the backend's providers document.
struct CloudModel {
    qint64 id = 0;
    QString slug;
    std::optional<QString> display_name;
    std::optional<QString> kind;
    std::optional<QString> tier;
    std::optional<QString> status;
    std::optional<qint64> context_window;
    std::optional<bool> supports_tools;
    std::optional<bool> supports_streaming;
    std::optional<bool> supports_audio_input;
    std::optional<bool> supports_image_input;
    std::optional<bool> supports_file_input;

    bool operator==(const CloudModel& other) const = default;

    static CloudModel fromJson(const Json& object); // throws JsonDecodingError
    Json toJson() const;                            // optional members only when present
};

// One provider of the backend's providers document.
struct CloudProvider {
    qint64 id = 0;
    QString slug;
    QString name;
    std::optional<QString> display_name;
    QList<CloudModel> models;

    bool operator==(const CloudProvider& other) const = default;

    static CloudProvider fromJson(const Json& object); // throws JsonDecodingError
    Json toJson() const;
};

// The cloud providers and models the backend publishes ("/providers.json" under the
// API base), kept in memory for the picker. A fetch replaces the list whole; any
// failure keeps the previous list and is not reported. GUI thread.
class CloudCatalog : public QObject {
    Q_OBJECT
public:
    static constexpr double kFreshSeconds = 30.0;
    static constexpr int kTimeoutMs = 8000;

    CloudCatalog();

    static CloudCatalog& shared();
    static void resetSharedForTesting();

    const QList<CloudProvider>& providers() const { return providers_; }
    std::optional<QDateTime> lastFetch() const { return lastFetch_; }

    // Fetches unless the last successful fetch is less than 30 s old (a date in the
    // future counts as fresh).
    QCoro::Task<> refreshIfStale();
    // Fetches now.
    QCoro::Task<> refresh();

    // The symbol shown for a provider slug (exact match), "cube" for any other.
    static QString iconFor(const QString& slug);

    // The providers document decoded strictly (a JSON array of providers).
    static QList<CloudProvider> decodeDocument(const QByteArray& body); // throws JsonDecodingError

    // Tests move the clock.
    void setClockForTesting(std::function<QDateTime()> clock) { clock_ = std::move(clock); }

signals:
    void providersChanged();

private:
    QList<CloudProvider> providers_;
    std::optional<QDateTime> lastFetch_;
    std::function<QDateTime()> clock_;
};

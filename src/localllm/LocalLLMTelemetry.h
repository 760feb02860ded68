#pragma once

#include "localllm/BridgeHeartbeat.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>
#include <utility>

// What the computer can say about its local model runtime: the recent generation
// speed, the model the local server has loaded, the memory in use and the models
// downloaded. Lives on the GUI thread; the session sets the probe's endpoint and
// switch, the local-inference handler records each inference, and the bridge asks
// for a snapshot before every long poll.
class LocalLLMTelemetry : public QObject {
    Q_OBJECT
public:
    explicit LocalLLMTelemetry(QObject* parent = nullptr);

    // The process-wide instance, made on first use.
    static LocalLLMTelemetry& shared();

    // The loopback base URL of the local server, "/models" not included.
    static QString defaultEndpoint();

    // Sets the probe's base URL and forgets the cached model.
    void setEndpoint(const QString& endpoint);
    // Switches the loaded-model probe; switching it off forgets the cached model.
    void setModelProbeEnabled(bool enabled);
    // Folds one inference into the moving average of tokens per second (0.3 of the
    // new rate, 0.7 of the old); a latency under 1 ms changes nothing.
    void recordInference(qint64 completionTokens, qint64 latencyMs);

    // The heartbeat: the loaded model (only when the probe is on), the memory
    // figures, the moving average and the downloaded models. Never fails.
    QCoro::Task<BridgeHeartbeat> snapshot();

    std::optional<double> tokPerSecEMA() const { return tokPerSecEMA_; }
    std::optional<QString> cachedModel() const { return cachedModel_; }
    QString endpointForModelProbe() const { return endpointForModelProbe_; }
    bool modelProbeEnabled() const { return modelProbeEnabled_; }

    // Memory used and total in GiB from a meminfo file: used = MemTotal -
    // MemAvailable (absent when the file cannot be read); total falls back to the
    // physical memory the system reports.
    static std::pair<std::optional<double>, std::optional<double>> ramSnapshot(const QString& meminfoPath);

    // For tests: the meminfo file read, the clock of the model cache, and a fresh
    // state (as at launch).
    void setMeminfoPath(const QString& path) { meminfoPath_ = path; }
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
    void resetForTesting();

private:
    QCoro::Task<std::optional<QString>> currentLoadedModel();

    std::optional<double> tokPerSecEMA_;
    std::optional<QString> cachedModel_;
    std::optional<QDateTime> cachedModelAt_;
    QString endpointForModelProbe_;
    bool modelProbeEnabled_ = false;

    // Bumped whenever the cache is cleared, so that a probe started before is not
    // cached for the new endpoint or setting.
    quint64 cacheGeneration_ = 0;
    QString meminfoPath_ = QStringLiteral("/proc/meminfo");
    std::function<QDateTime()> clock_;
};

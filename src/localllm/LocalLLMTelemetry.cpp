#include "localllm/LocalLLMTelemetry.h"

#include "localllm/LocalHttp.h"
#include "localllm/LocalLLMCatalog.h"
#include "platform/ShareWork.h"

#include <QFile>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace {
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
constexpr qint64 kModelCacheSeconds = 60;
constexpr int kProbeTimeoutMs = 2000;
constexpr qsizetype kMaxModelIdLength = 256;

std::optional<double> physicalMemoryGiB() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return std::nullopt;
    return static_cast<double>(pages) * static_cast<double>(pageSize) / kGiB;
}

// A "Name:   1234 kB" line's value in bytes.
std::optional<double> meminfoBytes(const QByteArray& line) {
    const QList<QByteArray> parts = line.simplified().split(' ');
    if (parts.size() < 2)
        return std::nullopt;
    bool ok = false;
    const qulonglong value = parts.at(1).toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    const bool kilobytes = parts.size() >= 3 && parts.at(2).compare("kB", Qt::CaseInsensitive) == 0;
    return static_cast<double>(value) * (kilobytes ? 1024.0 : 1.0);
}
} // namespace

LocalLLMTelemetry::LocalLLMTelemetry(QObject* parent)
    : QObject(parent)
    , endpointForModelProbe_(defaultEndpoint()) {}

LocalLLMTelemetry& LocalLLMTelemetry::shared() {
    static LocalLLMTelemetry* instance = new LocalLLMTelemetry();
    return *instance;
}

QString LocalLLMTelemetry::defaultEndpoint() {
    return QStringLiteral("http://127.0.0.1:8080/v1");
}

void LocalLLMTelemetry::setEndpoint(const QString& endpoint) {
    endpointForModelProbe_ = endpoint;
    cachedModel_.reset();
    cachedModelAt_.reset();
    ++cacheGeneration_;
}

void LocalLLMTelemetry::setModelProbeEnabled(bool enabled) {
    modelProbeEnabled_ = enabled;
    if (!enabled) {
        cachedModel_.reset();
        cachedModelAt_.reset();
        ++cacheGeneration_;
    }
}

void LocalLLMTelemetry::recordInference(qint64 completionTokens, qint64 latencyMs) {
    if (latencyMs < 1)
        return;
    const double rate = static_cast<double>(completionTokens) / (static_cast<double>(latencyMs) / 1000.0);
    if (!tokPerSecEMA_)
        tokPerSecEMA_ = rate;
    else
        tokPerSecEMA_ = 0.3 * rate + 0.7 * *tokPerSecEMA_;
}

void LocalLLMTelemetry::resetForTesting() {
    tokPerSecEMA_.reset();
    cachedModel_.reset();
    cachedModelAt_.reset();
    endpointForModelProbe_ = defaultEndpoint();
    modelProbeEnabled_ = false;
    ++cacheGeneration_;
    meminfoPath_ = QStringLiteral("/proc/meminfo");
    clock_ = nullptr;
}

std::pair<std::optional<double>, std::optional<double>>
LocalLLMTelemetry::ramSnapshot(const QString& meminfoPath) {
    std::optional<double> totalBytes;
    std::optional<double> availableBytes;
    QFile file(meminfoPath);
    if (file.open(QIODevice::ReadOnly)) {
        // /proc files report a size of 0 (atEnd() is true at once): read lines
        // until none comes, a few kilobytes at most.
        for (int i = 0; i < 256; ++i) {
            const QByteArray line = file.readLine(4096);
            if (line.isEmpty())
                break;
            if (line.startsWith("MemTotal:"))
                totalBytes = meminfoBytes(line);
            else if (line.startsWith("MemAvailable:"))
                availableBytes = meminfoBytes(line);
            if (totalBytes && availableBytes)
                break;
        }
    }
    std::optional<double> used;
    if (totalBytes && availableBytes && *availableBytes <= *totalBytes)
        used = (*totalBytes - *availableBytes) / kGiB;
    std::optional<double> total;
    if (totalBytes && *totalBytes > 0)
        total = *totalBytes / kGiB;
    else
        total = physicalMemoryGiB();
    return {used, total};
}

QCoro::Task<std::optional<QString>> LocalLLMTelemetry::currentLoadedModel() {
    const QDateTime now = clock_ ? clock_() : QDateTime::currentDateTimeUtc();
    if (cachedModel_ && cachedModelAt_ && cachedModelAt_->secsTo(now) < kModelCacheSeconds &&
        *cachedModelAt_ <= now)
        co_return cachedModel_;
    const auto url = LocalHttp::joinedUrl(endpointForModelProbe_, QStringLiteral("/models"));
    if (!url)
        co_return std::nullopt;
    const quint64 generation = cacheGeneration_;
    HttpResponse response;
    try {
        response = co_await LocalHttp::get(*url, kProbeTimeoutMs, LocalHttp::kMaxProbeBody);
    } catch (...) {
        co_return std::nullopt;
    }
    if (response.status < 200 || response.status > 299)
        co_return std::nullopt;
    const std::optional<Json> parsed = json::tryParse(response.body);
    if (!parsed || !parsed->is_object())
        co_return std::nullopt;
    const Json& body = *parsed;
    const auto data = body.find("data");
    if (data == body.end() || !data->is_array() || data->empty())
        co_return std::nullopt;
    const Json& first = data->front();
    if (!first.is_object())
        co_return std::nullopt;
    const auto id = first.find("id");
    if (id == first.end() || !id->is_string())
        co_return std::nullopt;
    const QString model = json::qstr(*id);
    // It goes into every poll's header: a model id is far shorter than this.
    if (model.size() > kMaxModelIdLength)
        co_return std::nullopt;
    // Cache only what was asked of the endpoint still configured.
    if (generation == cacheGeneration_) {
        cachedModel_ = model;
        cachedModelAt_ = clock_ ? clock_() : QDateTime::currentDateTimeUtc();
    }
    co_return model;
}

QCoro::Task<BridgeHeartbeat> LocalLLMTelemetry::snapshot() {
    BridgeHeartbeat heartbeat;
    if (modelProbeEnabled_)
        heartbeat.loaded_model = co_await currentLoadedModel();
    const auto ram = ramSnapshot(meminfoPath_);
    heartbeat.ram_used_gb = ram.first;
    heartbeat.ram_total_gb = ram.second;
    // Listing the cache touches the disk: off the GUI thread, on the bridge loop's
    // own threads (the heartbeat is made before every poll).
    QFuture<QSet<QString>> listing =
        QtConcurrent::run(&ShareWork::loopPool(), &LocalLLMCatalog::downloadedIds);
    const QSet<QString> ids = co_await listing;
    if (!ids.isEmpty()) {
        QStringList list(ids.begin(), ids.end());
        list.sort();
        heartbeat.downloaded_models = list;
    }
    // Read after the probe: an inference recorded meanwhile is included.
    heartbeat.tok_per_sec_recent = tokPerSecEMA_;
    co_return heartbeat;
}

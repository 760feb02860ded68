#include "session/APIConfig.h"

#include "platform/BuildConfig.h"
#include "platform/DefaultsStore.h"

#include <algorithm>

namespace APIConfig {

QString sanitizeBaseURL(const QString& candidate) {
    const QString fallback = BuildConfig::current().defaultEndpoint;
    const QString trimmed = candidate.trimmed();
    if (trimmed.isEmpty())
        return fallback;
    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid())
        return fallback;
    if (url.scheme().toLower() != QLatin1String("https"))
        return fallback;
    const QString host = url.host().toLower();
    const QString domain = BuildConfig::current().productDomain.toLower();
    if (host.isEmpty() || domain.isEmpty())
        return fallback;
    if (host != domain && !host.endsWith(QLatin1Char('.') + domain))
        return fallback;
    return trimmed;
}

QString baseURL() {
    const auto stored = DefaultsStore::shared().string(QStringLiteral("apiBaseURL"));
    if (!stored)
        return BuildConfig::current().defaultEndpoint;
    return sanitizeBaseURL(*stored);
}

QString apiBase() {
    QString base = baseURL();
    qsizetype start = 0;
    qsizetype end = base.size();
    while (start < end && base.at(start) == QLatin1Char('/'))
        ++start;
    while (end > start && base.at(end - 1) == QLatin1Char('/'))
        --end;
    base = base.mid(start, end - start);
    if (!base.endsWith(QLatin1String("/api/v1")))
        base += QLatin1String("/api/v1");
    return base;
}

QUrl endpoint(const QString& path) {
    return QUrl(apiBase() + path, QUrl::StrictMode);
}

QUrl userURL(qint64 id) {
    return QUrl(baseURL() + QStringLiteral("/users/") + QString::number(id) + QStringLiteral(".json"),
                QUrl::StrictMode);
}

QUrl bridgeNextTaskURL(qint64 wait) {
    return endpoint(QStringLiteral("/bridge/tasks/next?wait=") +
                    QString::number(std::clamp<qint64>(wait, 1, 30)));
}

QUrl recentDiscussionsURL(qint64 limit) {
    return endpoint(QStringLiteral("/discussions.json?limit=") +
                    QString::number(std::clamp<qint64>(limit, 1, 20)));
}

} // namespace APIConfig

#pragma once

#include <QString>
#include <QUrl>

// Where the backend is: the accepted "apiBaseURL" override or the default endpoint,
// and the endpoint URLs built from it. Nothing is cached: a changed override takes
// effect on the next call.
namespace APIConfig {
QString baseURL();
// The API base: baseURL() with every "/" trimmed from both ends and "/api/v1"
// appended unless already there.
QString apiBase();
// API base + path (path begins with "/"); an invalid URL when the text does not parse.
QUrl endpoint(const QString& path);
QUrl userURL(qint64 id);
QUrl bridgeNextTaskURL(qint64 wait);
QUrl recentDiscussionsURL(qint64 limit);

// The override rules: HTTPS only, host equal to the product domain or below it.
QString sanitizeBaseURL(const QString& candidate);
} // namespace APIConfig

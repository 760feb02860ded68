#pragma once

#include "corvane/CorvanePresenter.h"
#include "platform/Json.h"

#include <QDateTime>

// Proactive-settings fixtures: a base record and small edits of it.
namespace fixtures {

inline const QDateTime kNow = QDateTime(QDate(2026, 3, 1), QTime(10, 0, 0), Qt::UTC);

inline QString iso(const QDateTime& date) {
    return date.toUTC().toString(Qt::ISODate);
}

inline Json settingsJson() {
    return Json::parse(R"({"enabled":true,"execution_mode":"cloud","execution_mode_source":"user",
      "local_runtime_status":"ready","secure_access_status":"not_configured",
      "mode_readiness":{"cloud":{"ready":true}},"settings_entry_points":{}})");
}

inline corvane::Settings settings(const Json& json = settingsJson()) {
    return corvane::Settings::fromJson(json);
}

// A Secure Access window ending `remaining` seconds after kNow, of `minutes` minutes.
inline corvane::Settings windowSettings(qint64 remaining, std::optional<qint64> minutes = 30) {
    Json j = settingsJson();
    j["secure_access_status"] = "ready";
    j["mode_readiness"]["secure_access"] = {{"ready", true}};
    Json session = {{"active", true}, {"expires_at", iso(kNow.addSecs(remaining)).toStdString()}};
    if (minutes)
        session["duration_minutes"] = *minutes;
    j["secure_access_session"] = session;
    return settings(j);
}

// Signed in, bridge on and running, local model on, high security on, no settings.
inline corvane::PanelInputs signedIn() {
    corvane::PanelInputs in;
    in.isAuthenticated = true;
    in.bridgeEnabled = true;
    in.localLLMEnabled = true;
    in.localLLMEndpoint = "http://127.0.0.1:8080/v1";
    in.bridgeStatus = BridgeService::Status::polling();
    in.highSecurityMode = true;
    in.deviceId = "DEVICE-1";
    in.now = kNow;
    return in;
}

} // namespace fixtures

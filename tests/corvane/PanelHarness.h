#pragma once

// The environment of the panel's controller and view: in-memory settings and
// keychain, the fake backend over TLS (proactive settings, secure-access changes,
// the bridge's idle poll and the account), a scriptable presence gate, and the
// process-wide session and bridge made fresh for each test.
#include "bridge/BridgeService.h"
#include "corvane/CorvanePanelController.h"
#include "localllm/LocalLLMTelemetry.h"
#include "platform/DefaultsStore.h"
#include "platform/PresenceGate.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <mutex>

// Answers as told, records the reasons; may hold the asking thread until released.
class ScriptedPresenceGate : public PresenceGate {
public:
    bool confirm(const QString& reason) override {
        {
            std::lock_guard lock(mutex);
            reasons << reason;
        }
        for (int i = 0; i < 500 && hold; ++i)
            QThread::msleep(10);
        return answer;
    }
    QStringList asked() {
        std::lock_guard lock(mutex);
        return reasons;
    }
    std::atomic<bool> answer = true;
    std::atomic<bool> hold = false;

private:
    std::mutex mutex;
    QStringList reasons;
};

class PanelHarness : public ::testing::Test {
protected:
    void SetUp() override {
        defaults = installMemoryDefaults();
        secrets = installMemorySecrets();
        gate = std::make_shared<ScriptedPresenceGate>();
        PresenceGate::setShared(gate);
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
        LocalLLMTelemetry::shared().resetForTesting();
        // A long poll that stays open: the bridge stays "polling" (a status change re-renders the panel).
        ScriptedResponse idle = ScriptedResponse::noContent();
        idle.holdMs = 5000;
        backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"), idle);
        backend.route("GET", QStringLiteral("/api/v1/me.json"), ScriptedResponse::json(200, R"({"id":7})"));
        backend.route("DELETE", QStringLiteral("/api/v1/session"), ScriptedResponse::noContent());
        for (const char* method : {"GET", "POST", "DELETE"})
            backend.routePrefix(method, QStringLiteral("/api/v1/proactive/"), [this](const RecordedRequest&) {
                return ScriptedResponse::json(200, settingsJson);
            });
    }
    void TearDown() override {
        controller.reset();
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
        PresenceGate::setShared(nullptr);
        spinFor(50);
    }

    // Stores the token (behind presence when high security is on) and starts the session.
    AppSession& start(std::optional<QString> token, bool highSecurity, bool bridgeEnabled) {
        defaults->setBool("highSecurityMode", highSecurity);
        defaults->setBool("bridgeEnabled", bridgeEnabled);
        if (token)
            KeychainStore::save(*token);
        AppSession& session = AppSession::shared();
        spinUntil([&] { return !session.isLoadingStoredToken(); });
        controller = std::make_unique<CorvanePanelController>(model, session, BridgeService::shared());
        return session;
    }

    QList<RecordedRequest> proactive(const QByteArray& method = QByteArray()) const {
        QList<RecordedRequest> out;
        for (const RecordedRequest& r : backend.requests())
            if (r.path.startsWith("/api/v1/proactive/") && (method.isEmpty() || r.method == method))
                out.append(r);
        return out;
    }
    QString lastTab() const { return defaults->string("settingsInitialTab").value_or(QString()); }

    QByteArray settingsJson = R"({"enabled":true,"execution_mode":"cloud","execution_mode_source":"user",
        "local_runtime_status":"ready","secure_access_status":"not_configured","mode_readiness":{},
        "settings_entry_points":{}})";
    FakeBackend backend;
    std::shared_ptr<MemoryDefaultsStore> defaults;
    std::shared_ptr<MemorySecretStore> secrets;
    std::shared_ptr<ScriptedPresenceGate> gate;
    CorvanePanelModel model;
    std::unique_ptr<CorvanePanelController> controller;
};

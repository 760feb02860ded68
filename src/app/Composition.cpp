#include "app/Composition.h"

#include "bridge/BridgeService.h"
#include "localllm/LocalLLMHandler.h"
#include "localllm/LocalLLMTelemetry.h"
#include "session/AppSession.h"

namespace Composition {

namespace {

void runBridge(const AppSession& session) {
    if (session.isAuthenticated())
        BridgeService::shared().start(*session.userToken());
    else
        BridgeService::shared().stop();
}

QCoro::Task<QByteArray> heartbeatHeader() {
    const BridgeHeartbeat heartbeat = co_await LocalLLMTelemetry::shared().snapshot();
    co_return heartbeat.headerValue();
}

} // namespace

void install() {
    BridgeService::setCompositionHook([](BridgeService& service) {
        service.setHandler(BridgeTaskKind::LLMInfer, bridgeHandlerWithArgs(&LocalLLMHandler::handle));
        service.setHeartbeatSource(heartbeatHeader);
    });
    AppSession::setCompositionHook([](AppSession& session) {
        LocalLLMTelemetry& telemetry = LocalLLMTelemetry::shared();
        telemetry.setEndpoint(session.localLLMEndpoint());
        telemetry.setModelProbeEnabled(session.localLLMEnabled());
        QObject::connect(&session, &AppSession::localLLMEndpointChanged, &session,
                         [&session] { LocalLLMTelemetry::shared().setEndpoint(session.localLLMEndpoint()); });
        QObject::connect(&session, &AppSession::localLLMEnabledChanged, &session, [&session] {
            LocalLLMTelemetry::shared().setModelProbeEnabled(session.localLLMEnabled());
        });
        QObject::connect(&session, &AppSession::bridgeReconcileRequested, &session,
                         [&session] { runBridge(session); });
        runBridge(session);
    });
}

} // namespace Composition

#include "corvane/CorvanePanelController.h"

#include "bridge/BridgeService.h"
#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Tasks.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"

#include <QFuture>
#include <QtConcurrent>

#include <QCoro/QCoroFuture>

using namespace corvane;

namespace {

bool highSecurityMode() {
    return DefaultsStore::shared().boolValue(QString::fromLatin1(kHighSecurityModeKey)).value_or(false);
}

QString trimmed(const std::optional<QString>& token) {
    return token.value_or(QString()).trimmed();
}

} // namespace

CorvanePanelController::CorvanePanelController(CorvanePanelModel& model, AppSession& session,
                                               BridgeService& bridge, QObject* parent)
    : QObject(parent)
    , model_(model)
    , session_(session)
    , bridge_(bridge)
    , executor_(std::make_shared<DefaultsActionExecutor>()) {
    model_.followSession(session_);
    autoTimer_.setSingleShot(true);
    connect(&autoTimer_, &QTimer::timeout, this, &CorvanePanelController::onAutoRefreshDue);

    connect(&model_, &CorvanePanelModel::changed, this, &CorvanePanelController::changed);
    for (auto signal : {&AppSession::userEmailChanged, &AppSession::bridgeEnabledChanged,
                        &AppSession::localLLMEnabledChanged, &AppSession::localLLMEndpointChanged})
        connect(&session_, signal, this, &CorvanePanelController::changed);
    connect(&session_, &AppSession::userTokenChanged, this, [this] {
        emit changed();
        // The refresh tasks are keyed on the token: a new one starts them again.
        if (shown_)
            restartTasks();
    });
    for (auto signal : {&BridgeService::statusChanged, &BridgeService::lastTaskAtChanged,
                        &BridgeService::tasksServedChanged})
        connect(&bridge_, signal, this, &CorvanePanelController::changed);
    connect(&DefaultsStore::shared(), &DefaultsStore::changed, this,
            &CorvanePanelController::onDefaultsChanged);
}

CorvanePanelController::CorvanePanelController(QObject* parent)
    : CorvanePanelController(CorvanePanelModel::shared(), AppSession::shared(), BridgeService::shared(),
                             parent) {}

CorvanePanelController::~CorvanePanelController() = default;

PanelInputs CorvanePanelController::inputs(const QDateTime& now) const {
    PanelInputs in;
    in.settings = model_.settings();
    in.heartbeat = model_.localHeartbeat();
    in.isAuthenticated = session_.isAuthenticated();
    in.userEmail = session_.userEmail();
    in.bridgeEnabled = session_.bridgeEnabled();
    in.localLLMEnabled = session_.localLLMEnabled();
    in.localLLMEndpoint = session_.localLLMEndpoint();
    in.bridgeStatus = bridge_.status();
    in.tasksServed = bridge_.tasksServed();
    in.lastTaskAt = bridge_.lastTaskAt();
    in.highSecurityMode = highSecurityMode();
    // Known once the keychain's thread has read it (the bridge asks for it first).
    in.deviceId = KeychainStore::knownBridgeDeviceId().value_or(QString());
    in.isLoading = model_.isLoading();
    in.mutationInFlight = secureAccessBusy();
    in.lastError = model_.lastError();
    in.lastLoadedAt = model_.lastLoadedAt();
    in.highlightedAnchor = highlighted_;
    in.now = now;
    return in;
}

PanelSpec CorvanePanelController::spec(const QDateTime& now) const {
    return buildPanel(inputs(now));
}

QString CorvanePanelController::pendingAnchor() {
    return DefaultsStore::shared().string(QString::fromLatin1(kPanelAnchorKey)).value_or(anchor::summary);
}

bool CorvanePanelController::secureAccessBusy() const {
    return approvalPending_ || model_.secureAccessMutationInFlight();
}

// ---- Showing, refreshing and anchors --------------------------------------------------------

void CorvanePanelController::shown() {
    if (shown_)
        return;
    shown_ = true;
    lastAnchor_ = pendingAnchor();
    scrollToPendingAnchor();
    restartTasks();
}

void CorvanePanelController::hidden() {
    shown_ = false;
    ++generation_;
    autoTimer_.stop();
}

void CorvanePanelController::restartTasks() {
    const quint64 generation = ++generation_;
    autoTimer_.stop();
    firstRefresh(QPointer(this), &model_, session_.userToken(), generation);
    // The periodic refresh runs only with a token (tested once, when it starts).
    if (!trimmed(session_.userToken()).isEmpty())
        autoTimer_.start(autoInterval_);
}

QCoro::Task<> CorvanePanelController::firstRefresh(QPointer<CorvanePanelController> self,
                                                   CorvanePanelModel* model, std::optional<QString> token,
                                                   quint64 generation) {
    co_await model->refresh(std::move(token), true);
    if (self && self->generation_ == generation)
        self->scrollToPendingAnchor();
}

void CorvanePanelController::onAutoRefreshDue() {
    loopRefresh(QPointer(this), &model_, session_.userToken(), generation_);
}

QCoro::Task<> CorvanePanelController::loopRefresh(QPointer<CorvanePanelController> self,
                                                  CorvanePanelModel* model, std::optional<QString> token,
                                                  quint64 generation) {
    co_await model->refresh(std::move(token), true);
    // The next period starts when this refresh has ended, as long as the run is current.
    if (self && self->generation_ == generation && self->shown_)
        self->autoTimer_.start(self->autoInterval_);
}

void CorvanePanelController::refreshNow() {
    // The task runs on by itself; the model publishes what it gets.
    model_.refresh(session_.userToken(), true);
}

void CorvanePanelController::onDefaultsChanged(const QString& key) {
    if (key == QLatin1String(kHighSecurityModeKey)) {
        emit changed();
        return;
    }
    if (key != QLatin1String(kPanelAnchorKey) || !shown_)
        return;
    const QString anchor = pendingAnchor();
    if (anchor == lastAnchor_)
        return;
    lastAnchor_ = anchor;
    scrollToPendingAnchor();
}

void CorvanePanelController::scrollToPendingAnchor() {
    scrollToAnchor(pendingAnchor());
}

void CorvanePanelController::scrollToAnchor(const QString& anchor) {
    QTimer::singleShot(0, this, [this, anchor] {
        emit scrollRequested(anchor);
        highlightAnchor(anchor);
    });
}

void CorvanePanelController::highlightAnchor(const QString& anchor) {
    highlighted_ = anchor;
    emit highlightChanged();
    QTimer::singleShot(highlightDuration_, this, [this, anchor] {
        if (highlighted_ != anchor)
            return;
        highlighted_.reset();
        emit highlightChanged();
    });
}

// ---- Secure Access ------------------------------------------------------------------------------------

void CorvanePanelController::setApprovalPending(bool pending) {
    approvalPending_ = pending;
    emit changed();
}

QCoro::Task<std::optional<QString>> CorvanePanelController::secureAccessApprovalToken(QString reason) {
    if (!highSecurityMode()) {
        model_.setLastError(
            loc("Active d’abord le mode haute sécurité dans l’onglet Général pour autoriser Secure Access."));
        executor_->openSettingsTab(tab::general);
        co_return std::nullopt;
    }
    QPointer<CorvanePanelController> self(this);
    // Presence is asked whatever protection the stored token has (a token saved before
    // high security was turned on, or a settings file edited by hand, must not skip
    // it). The read may wait for the user's password: it runs on the keychain's thread.
    std::optional<QString> token = co_await KeychainStore::readConfirmingPresenceAsync(reason);
    if (!self)
        co_return std::nullopt;
    if (token && !token->isEmpty()) {
        // The session adopts a different stored token before the request is sent.
        if (session_.userToken() != token) {
            QPointer<AppSession> session(&session_);
            co_await session->setToken(*token);
            if (!self)
                co_return std::nullopt;
        }
        co_return token;
    }
    model_.setLastError(loc("L’authentification locale est requise pour Secure Access."));
    co_return std::nullopt;
}

QCoro::Task<> CorvanePanelController::secureAccessChange(bool renew) {
    if (secureAccessBusy()) {
        qCDebug(lcCorvane) << "a Secure Access change is already under way";
        co_return;
    }
    if (!session_.bridgeEnabled()) {
        model_.setLastError(renew ? loc("Le bridge local doit être actif pour renouveler Secure Access.")
                                  : loc("Active d’abord le bridge local pour que ce Mac puisse ouvrir une "
                                        "fenêtre Secure Access."));
        executor_->openSettingsTab(tab::bridge);
        co_return;
    }
    QPointer<CorvanePanelController> self(this);
    CorvanePanelModel* model = &model_;
    setApprovalPending(true);
    QString reason = renew
                         ? loc("Authentifie-toi pour renouveler Secure Access sur ce Mac pendant 30 minutes.")
                         : loc("Authentifie-toi pour autoriser Secure Access sur ce Mac pendant 30 minutes.");
    std::optional<QString> token = co_await secureAccessApprovalToken(std::move(reason));
    if (!self)
        co_return;
    if (!token) {
        setApprovalPending(false);
        co_return;
    }
    QString deviceId = co_await KeychainStore::cachedBridgeDeviceIdAsync();
    if (!self)
        co_return;
    // The model's own flag takes over from here.
    approvalPending_ = false;
    if (renew)
        co_await model->refreshSecureAccess(std::move(token), std::move(deviceId));
    else
        co_await model->activateSecureAccess(std::move(token), std::move(deviceId));
}

QCoro::Task<> CorvanePanelController::activateSecureAccess() {
    co_await secureAccessChange(false);
}

QCoro::Task<> CorvanePanelController::renewSecureAccess() {
    co_await secureAccessChange(true);
}

QCoro::Task<> CorvanePanelController::revokeSecureAccess() {
    if (secureAccessBusy()) {
        qCDebug(lcCorvane) << "a Secure Access change is already under way";
        co_return;
    }
    QPointer<CorvanePanelController> self(this);
    CorvanePanelModel* model = &model_;
    std::optional<QString> token = session_.userToken();
    if (!token || token->isEmpty()) {
        setApprovalPending(true);
        QString prompt = loc("Authentifie-toi pour révoquer Secure Access sur ce Mac.");
        // With high security on, presence is asked whatever protection the stored token has.
        std::optional<QString> stored;
        if (highSecurityMode())
            stored = co_await KeychainStore::readConfirmingPresenceAsync(prompt);
        else
            stored = co_await KeychainStore::readAsync(prompt);
        if (!self)
            co_return;
        approvalPending_ = false;
        token = std::move(stored);
    }
    co_await model->revokeSecureAccess(std::move(token));
}

void CorvanePanelController::runPlanAction(const PlanAction& action) {
    if (action.kind != PlanAction::Kind::ShowPanelAnchor) {
        executor_->run(action, model_.settings());
        return;
    }
    // A press brings the card into view every time, also when the stored anchor
    // already names it (the write then changes nothing that could be followed).
    lastAnchor_ = action.target;
    executor_->run(action, model_.settings());
    if (shown_)
        scrollToAnchor(action.target);
}

void CorvanePanelController::openSettingsTab(const QString& tab) {
    executor_->openSettingsTab(tab);
}

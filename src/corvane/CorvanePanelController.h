#pragma once

#include "corvane/CorvaneActions.h"
#include "corvane/CorvanePanelModel.h"
#include "corvane/CorvanePresenter.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <QCoro/QCoroTask>

#include <chrono>
#include <memory>
#include <optional>

class AppSession;
class BridgeService;

// The Corvane panel without its widgets: gathers the panel's inputs, keeps the view
// state (the highlighted card), runs the refresh tasks while the panel is shown
// (a forced refresh per token, then one every 15 s), follows the requested anchor
// (scroll, then highlight for 2.4 s), and carries out the buttons: the Secure Access
// actions behind the high-security check and the user-presence read of the token,
// the next-step actions and the tab shortcuts.
class CorvanePanelController : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kAutoRefreshInterval{15000};
    static constexpr std::chrono::milliseconds kHighlightDuration{2400};

    CorvanePanelController(CorvanePanelModel& model, AppSession& session, BridgeService& bridge,
                           QObject* parent = nullptr);
    // On the process-wide model, session and bridge.
    explicit CorvanePanelController(QObject* parent = nullptr);
    ~CorvanePanelController() override;

    CorvanePanelModel& model() const { return model_; }
    AppSession& session() const { return session_; }

    // Everything the panel shows, at the given time.
    corvane::PanelInputs inputs(const QDateTime& now = QDateTime::currentDateTimeUtc()) const;
    corvane::PanelSpec spec(const QDateTime& now = QDateTime::currentDateTimeUtc()) const;

    std::optional<QString> highlightedAnchor() const { return highlighted_; }
    // "corvanePanelAnchor", default "summary".
    static QString pendingAnchor();
    bool isShown() const { return shown_; }

    // The panel appeared or disappeared.
    void shown();
    void hidden();

    // The header's button: a forced refresh with the session's token.
    void refreshNow();
    void highlightAnchor(const QString& anchor);
    void scrollToPendingAnchor();
    // Scrolls to this card and highlights it (queued, like the pending anchor).
    void scrollToAnchor(const QString& anchor);

    // The Secure Access actions (each returns at once when another one is running).
    QCoro::Task<> activateSecureAccess();
    QCoro::Task<> renewSecureAccess();
    QCoro::Task<> revokeSecureAccess();
    // The token with which a Secure Access change may be made, or nothing (the
    // reason is then in the model's lastError). The keychain read, which may ask
    // for the user's password, runs off the GUI thread.
    QCoro::Task<std::optional<QString>> secureAccessApprovalToken(QString reason);
    // An approval or a Secure Access change is under way.
    bool secureAccessBusy() const;

    void runPlanAction(const corvane::PlanAction& action);
    void openSettingsTab(const QString& tab);

    void setActionExecutor(std::shared_ptr<CorvaneActionExecutor> executor) {
        executor_ = std::move(executor);
    }
    void setAutoRefreshInterval(std::chrono::milliseconds interval) { autoInterval_ = interval; }
    void setHighlightDuration(std::chrono::milliseconds duration) { highlightDuration_ = duration; }

signals:
    // An input of the panel changed: render again.
    void changed();
    void highlightChanged();
    // Bring the card with this anchor to the top of the visible area.
    void scrollRequested(const QString& anchor);

private:
    void restartTasks();
    void onDefaultsChanged(const QString& key);
    void onAutoRefreshDue();
    QCoro::Task<> secureAccessChange(bool renew);
    void setApprovalPending(bool pending);
    static QCoro::Task<> firstRefresh(QPointer<CorvanePanelController> self, CorvanePanelModel* model,
                                      std::optional<QString> token, quint64 generation);
    static QCoro::Task<> loopRefresh(QPointer<CorvanePanelController> self, CorvanePanelModel* model,
                                     std::optional<QString> token, quint64 generation);

    CorvanePanelModel& model_;
    AppSession& session_;
    BridgeService& bridge_;
    std::shared_ptr<CorvaneActionExecutor> executor_;
    std::optional<QString> highlighted_;
    QString lastAnchor_;
    bool shown_ = false;
    bool approvalPending_ = false;
    quint64 generation_ = 0;
    QTimer autoTimer_;
    std::chrono::milliseconds autoInterval_ = kAutoRefreshInterval;
    std::chrono::milliseconds highlightDuration_ = kHighlightDuration;
};

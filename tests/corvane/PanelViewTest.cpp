// The panel widget, offscreen: refresh on show and on the period, the clocked rows,
// the anchor scroll and highlight, the controls, and the screenshots.
#include "PanelHarness.h"
#include "corvane/widgets/CorvanePanelView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QScrollBar>
#include <QStyleFactory>
#include <QTest>

namespace {

QByteArray iso(const QDateTime& date) {
    return date.toUTC().toString(Qt::ISODate).toUtf8();
}

QPalette panelPalette(bool dark) {
    QPalette p;
    auto set = [&](QPalette::ColorRole role, QColor color) {
        p.setColor(QPalette::All, role, color);
        p.setColor(QPalette::Disabled, role, color);
    };
    const QColor text = dark ? QColor(235, 235, 240) : QColor(28, 28, 30);
    set(QPalette::Window, dark ? QColor(30, 30, 32) : QColor(242, 242, 245));
    set(QPalette::Base, dark ? QColor(44, 44, 48) : QColor(255, 255, 255));
    set(QPalette::Button, dark ? QColor(62, 62, 66) : QColor(250, 250, 250));
    set(QPalette::WindowText, text);
    set(QPalette::Text, text);
    set(QPalette::ButtonText, text);
    set(QPalette::Highlight, dark ? QColor(10, 132, 255) : QColor(0, 110, 230));
    set(QPalette::HighlightedText, Qt::white);
    set(QPalette::Light, dark ? QColor(80, 80, 84) : Qt::white);
    set(QPalette::Mid, dark ? QColor(70, 70, 74) : QColor(200, 200, 205));
    set(QPalette::Dark, dark ? QColor(20, 20, 22) : QColor(160, 160, 165));
    return p;
}

class PanelViewTest : public PanelHarness {
protected:
    // A Mac that is the preferred host, with a Secure Access window of 30 minutes
    // opened 18 minutes ago (12 left) and the local mode waiting for a fresh signal.
    void useRichSettings(const QDateTime& now) {
        const QByteArray device = KeychainStore::bridgeDeviceId().toUtf8();
        settingsJson = R"({"enabled":true,"execution_mode":"secure_access","execution_mode_source":"user",
          "execution_mode_set_at":")" +
                       iso(now.addSecs(-7200)) + R"(","local_runtime_status":"host_offline",
          "secure_access_status":"ready","secure_access_last_verified_at":")" +
                       iso(now.addSecs(-600)) + R"(",
          "secure_access_session":{"active":true,"activated_at":")" +
                       iso(now.addSecs(-18 * 60)) + R"(","expires_at":")" + iso(now.addSecs(12 * 60)) +
                       R"(","duration_minutes":30,"device_id":")" + device + R"(","device_label":"Atelier"},
          "preferred_local_host":{"kind":"mac","id":")" +
                       device + R"(","label":"Atelier","online":true,"last_seen_at":")" +
                       iso(now.addSecs(-60)) +
                       R"("},
          "mode_readiness":{"cloud":{"ready":true},"local":{"ready":false,"reason":"host_offline"},
            "secure_access":{"ready":true}},
          "settings_entry_points":{"local_setup":"https://ombrix.app/setup"}})";
    }
    QString text(CorvanePanelView& view, const QString& anchor, const QString& title) {
        QLabel* label = view.rowValue(anchor, title);
        return label ? label->text() : QString();
    }
};

} // namespace

TEST_F(PanelViewTest, RefreshesOnShowAndOnThePeriodWhileShown) {
    start(QString("tok"), false, true);
    controller->setAutoRefreshInterval(std::chrono::milliseconds(100));
    CorvanePanelView view(controller.get());
    view.resize(640, 800);
    view.show();
    ASSERT_TRUE(spinUntil([&] { return proactive("GET").size() >= 3; }));
    ASSERT_TRUE(spinUntil([&] { return text(view, "summary", "Source du mode") == "user"; }));
    view.hide();
    ASSERT_TRUE(spinUntil([&] { return !controller->model().isLoading(); })); // a refresh under way ends
    const auto count = proactive("GET").size();
    spinFor(300);
    EXPECT_EQ(proactive("GET").size(), count);
}

TEST_F(PanelViewTest, OnlyTheClockedRowsChangeOnATick) {
    const QDateTime base = QDateTime::currentDateTimeUtc();
    useRichSettings(base);
    start(QString("tok"), true, true);
    qint64 offset = 0;
    CorvanePanelView view(controller.get());
    view.setClock([&] { return base.addSecs(offset); });
    view.resize(640, 800);
    view.show();
    ASSERT_TRUE(
        spinUntil([&] { return text(view, "secureAccess", "Accès distant") == "Actif encore 12 min"; }));
    EXPECT_EQ(view.stripText(), QString("Fenêtre active 12 min"));
    EXPECT_EQ(view.secureBadgeText(), QString("Secure Access : Fenêtre active"));
    BridgeService::shared().stop(); // no status change may rebuild the panel meanwhile
    spinFor(100);
    const int renders = view.renderCount();

    offset = 9 * 60; // three minutes left
    ASSERT_TRUE(
        spinUntil([&] { return text(view, "secureAccess", "Accès distant") == "Actif encore 3 min"; }));
    EXPECT_EQ(text(view, "secureAccess", "Fenêtre active"), QString("Encore 3 min"));
    EXPECT_EQ(text(view, "approvals", "Fenêtre courte"), QString("Encore 3 min"));
    EXPECT_EQ(view.stripText(), QString("Presque expirée 3 min"));
    EXPECT_EQ(view.secureBadgeText(), QString("Secure Access : Presque expirée"));
    EXPECT_EQ(text(view, "localRuntime", "Bridge activé"), QString("Oui")); // not clocked, untouched
    EXPECT_EQ(view.renderCount(), renders);                                 // nothing was rebuilt
    EXPECT_GT(view.tickUpdates(), 0);
    EXPECT_LT(view.tickUpdates(), 20);
}

TEST_F(PanelViewTest, RefreshUpdatesTheWidgetsInPlace) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    useRichSettings(now);
    start(QString("tok"), true, true);
    CorvanePanelView view(controller.get());
    view.resize(640, 500);
    view.show();
    ASSERT_TRUE(spinUntil([&] { return view.secureAccessButton("renew") != nullptr; }));
    ASSERT_TRUE(spinUntil([&] { return text(view, "summary", "Source du mode") == "user"; }));
    spinFor(100);
    QAbstractButton* renew = view.secureAccessButton("renew");
    renew->setFocus();
    ASSERT_EQ(view.focusWidget(), renew);
    view.verticalScrollBar()->setValue(120);
    const int scroll = view.verticalScrollBar()->value();
    const auto widgets = [&] { return view.widget()->findChildren<QWidget*>().size(); };
    const auto before = widgets();

    // Only texts change: the same widgets, the focus and the scroll position stay.
    settingsJson.replace(R"("execution_mode_source":"user")", R"("execution_mode_source":"admin")");
    settingsJson.replace(R"("device_label":"Atelier")", R"("device_label":"Bureau")");
    view.refreshButton()->click();
    ASSERT_TRUE(spinUntil([&] { return text(view, "summary", "Source du mode") == "admin"; }));
    spinFor(50);
    EXPECT_EQ(text(view, "secureAccess", "Hôte approuvé"), QString("Bureau (ce Mac)"));
    EXPECT_EQ(widgets(), before);
    EXPECT_EQ(view.secureAccessButton("renew"), renew);
    EXPECT_EQ(view.focusWidget(), renew);
    EXPECT_EQ(view.verticalScrollBar()->value(), scroll);

    // Rows go (the local reason is gone: no callout, no next step); the focus stays on the
    // button, and a press whose release comes after the refresh still counts.
    settingsJson.replace(R"("local":{"ready":false,"reason":"host_offline"})", R"("local":{"ready":true})");
    settingsJson.replace(R"("local_runtime_status":"host_offline")", R"("local_runtime_status":"ready")");
    const QString blocked = text(view, "localRuntime", "Readiness backend");
    QTest::mousePress(renew, Qt::LeftButton);
    controller->refreshNow();
    ASSERT_TRUE(spinUntil([&] { return text(view, "localRuntime", "Readiness backend") != blocked; }));
    spinFor(50);
    EXPECT_LT(widgets(), before);
    EXPECT_EQ(view.secureAccessButton("renew"), renew);
    EXPECT_EQ(view.focusWidget(), renew);
    EXPECT_TRUE(renew->isDown());
    QTest::mouseRelease(renew, Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return proactive("POST").size() == 1; }));
    EXPECT_EQ(proactive("POST").last().path, QString("/api/v1/proactive/secure_access/refresh"));
}

TEST_F(PanelViewTest, AnchorScrollsItsCardToTheTopAndLightsIt) {
    useRichSettings(QDateTime::currentDateTimeUtc());
    start(QString("tok"), false, true);
    controller->setHighlightDuration(std::chrono::milliseconds(400));
    CorvanePanelView view(controller.get());
    view.resize(640, 500);
    view.show();
    ASSERT_TRUE(spinUntil([&] { return view.cardHighlighted("summary"); }));
    ASSERT_TRUE(spinUntil([&] { return text(view, "summary", "Source du mode") == "user"; }));
    EXPECT_EQ(view.verticalScrollBar()->value(), 0);

    // What the cards show at each change of the highlight, read as it changes: on a
    // loaded machine the scroll may take longer than the highlight lasts.
    QList<std::pair<bool, bool>> lit; // (approvals, summary)
    QObject::connect(controller.get(), &CorvanePanelController::highlightChanged, &view, [&] {
        lit.append({view.cardHighlighted("approvals"), view.cardHighlighted("summary")});
    });
    defaults->setString("corvanePanelAnchor", "approvals");
    ASSERT_TRUE(view.cardWidget("approvals"));
    ASSERT_TRUE(spinUntil([&] {
        const int top = view.cardWidget("approvals")->y() - 20;
        return view.verticalScrollBar()->value() == std::min(top, view.verticalScrollBar()->maximum());
    }));
    EXPECT_GT(view.verticalScrollBar()->value(), 0);
    ASSERT_TRUE(spinUntil([&] { return !lit.isEmpty() && !view.cardHighlighted("approvals"); }));
    ASSERT_FALSE(lit.isEmpty());
    EXPECT_EQ(lit.first(), std::make_pair(true, false));
}

TEST_F(PanelViewTest, ControlsFollowTheSpecAndRunTheActions) {
    useRichSettings(QDateTime::currentDateTimeUtc());
    start(QString("tok"), false, true);
    CorvanePanelView view(controller.get());
    view.resize(640, 800);
    view.show();
    ASSERT_TRUE(spinUntil([&] { return view.secureAccessButton("revoke") != nullptr; }));
    EXPECT_EQ(view.secureAccessButton("activate"), nullptr);
    EXPECT_TRUE(view.secureAccessButton("renew")->isEnabled());
    view.secureAccessButton("revoke")->click();
    ASSERT_TRUE(spinUntil([&] { return proactive("DELETE").size() == 1; }));
    EXPECT_EQ(proactive("DELETE").last().header("X-User-Token"), QByteArray("tok"));

    // The next step of the local card opens the backend's setup page… here, the tab fallback
    // is not needed: the entry is https. The header's button refreshes at once.
    const auto gets = proactive("GET").size();
    ASSERT_TRUE(spinUntil([&] { return view.refreshButton() && view.refreshButton()->isEnabled(); }));
    view.refreshButton()->click();
    ASSERT_TRUE(spinUntil([&] { return proactive("GET").size() > gets; }));
}

TEST_F(PanelViewTest, ScreenshotsInLightAndDark) {
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    for (bool dark : {false, true}) {
        useRichSettings(QDateTime::currentDateTimeUtc());
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
        start(QString("tok"), true, true);
        AppSession::shared().setLocalLLMEnabled(true);
        controller->setHighlightDuration(std::chrono::milliseconds(10));
        CorvanePanelView view(controller.get());
        view.setPalette(panelPalette(dark));
        view.resize(640, 2000);
        view.show();
        ASSERT_TRUE(spinUntil([&] { return text(view, "summary", "Source du mode") == "user"; }));
        ASSERT_TRUE(spinUntil([&] { return !view.cardHighlighted("summary"); }));
        spinFor(300);
        EXPECT_FALSE(saveScreenshot(&view, dark ? "corvane-dark" : "corvane-light").isEmpty());
        view.hide();
    }
}

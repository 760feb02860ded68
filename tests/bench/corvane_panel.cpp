// The Corvane panel's drawing costs: making and laying out the whole panel from a
// loaded snapshot (a new view), a refresh whose answer changed only texts (the widgets
// are updated in place), a refresh that changed nothing, and one tick of the
// one-second clock (only the clocked labels are updated, then the event loop paints
// what changed). Offscreen, 640 by 900.
//
//   build/tests/bench_corvane_panel [rounds]
#include "app/Composition.h"
#include "bridge/BridgeService.h"
#include "corvane/widgets/CorvanePanelView.h"
#include "localllm/LocalLLMTelemetry.h"
#include "platform/DefaultsStore.h"
#include "platform/Resources.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"
#include "support/BenchSupport.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QLayout>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {
QByteArray iso(const QDateTime& date) {
    return date.toUTC().toString(Qt::ISODate).toUtf8();
}

// Counts the widgets painted.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/ombrix-bench-XXXXXX"));
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initOmbrixResources();
    Composition::install();
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    auto defaults = installMemoryDefaults();
    installMemorySecrets();

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray device = KeychainStore::bridgeDeviceId().toUtf8();
    // Two answers that differ only in texts: the mode's source, the host's label and its last signal.
    const auto settingsWith = [&](const QByteArray& source, const QByteArray& label, qint64 seenAgo) {
        return R"({"enabled":true,"execution_mode":"secure_access","execution_mode_source":")" + source +
               R"(","execution_mode_set_at":")" + iso(now.addSecs(-7200)) +
               R"(","local_runtime_status":"host_offline","secure_access_status":"ready","secure_access_last_verified_at":")" +
               iso(now.addSecs(-600)) + R"(","secure_access_session":{"active":true,"activated_at":")" +
               iso(now.addSecs(-600)) + R"(","expires_at":")" + iso(now.addSecs(3600)) +
               R"(","duration_minutes":30,"device_id":")" + device + R"(","device_label":")" + label +
               R"("},"preferred_local_host":{"kind":"mac","id":")" + device + R"(","label":")" + label +
               R"(","last_seen_at":")" + iso(now.addSecs(-seenAgo)) +
               R"("},"mode_readiness":{"local":{"ready":false,"reason":"host_offline"},"secure_access":{"ready":true}},
        "settings_entry_points":{}})";
    };
    const QByteArray answers[] = {settingsWith("user", "Atelier", 60), settingsWith("admin", "Bureau", 7200)};
    int answered = 0;
    FakeBackend backend;
    backend.routePrefix("GET", "/api/v1/proactive/", [&](const RecordedRequest&) {
        return ScriptedResponse::json(200, answers[answered++ % 2]);
    });
    ScriptedResponse idle = ScriptedResponse::noContent();
    idle.holdMs = 200;
    backend.route("GET", "/api/v1/bridge/tasks/next", idle);
    backend.route("GET", "/api/v1/me.json", ScriptedResponse::json(200, R"({"id":7})"));
    defaults->setBool("bridgeEnabled", true);
    KeychainStore::save("tok");

    CorvanePanelModel model;
    runTask(model.refresh(QString("tok"), true));
    CorvanePanelController controller(model, AppSession::shared(), BridgeService::shared());
    controller.setAutoRefreshInterval(std::chrono::hours(1));
    qint64 offset = 0;
    PaintCounter counter;
    app.installEventFilter(&counter);
    QElapsedTimer timer;

    // A new view each time: every widget is made, laid out and painted.
    QList<double> builds;
    int buildPaints = 0;
    for (int i = 0; i < std::max(5, rounds / 10); ++i) {
        counter.paints = 0;
        timer.start();
        {
            CorvanePanelView fresh(&controller);
            fresh.resize(640, 900);
            fresh.show();
            fresh.widget()->layout()->activate();
            QCoreApplication::processEvents(); // layout and paint
            builds << timer.nsecsElapsed() / 1e6;
            buildPaints = counter.paints;
            fresh.hide();
        }
        QCoreApplication::processEvents();
    }

    CorvanePanelView view(&controller);
    view.setClock([&] { return now.addSecs(offset); });
    view.resize(640, 900);
    view.show();
    spinFor(300);
    const auto widgetCount = [&] { return view.widget()->findChildren<QWidget*>().size(); };
    const auto widgetsAtStart = widgetCount();

    // A refresh whose answer changed texts only: the model publishes, the view updates in place.
    QList<double> refreshes;
    long long refreshPaints = 0;
    bool sameWidgets = true;
    const int refreshRounds = std::max(5, rounds / 4);
    for (int i = 0; i < refreshRounds; ++i) {
        runTask(model.refresh(QString("tok"), true)); // the answer alternates between the two
        counter.paints = 0;
        timer.start();
        view.renderNow();
        QCoreApplication::processEvents(); // layout and paint what changed
        refreshes << timer.nsecsElapsed() / 1e6;
        refreshPaints += counter.paints;
        sameWidgets = sameWidgets && widgetCount() == widgetsAtStart;
    }

    // A rendering with nothing new (a highlight or a bridge status that changed no row).
    QList<double> idleRenders;
    long long idlePaints = 0;
    for (int i = 0; i < refreshRounds; ++i) {
        counter.paints = 0;
        timer.start();
        view.renderNow();
        QCoreApplication::processEvents();
        idleRenders << timer.nsecsElapsed() / 1e6;
        idlePaints += counter.paints;
    }

    counter.paints = 0;
    QList<double> ticks;
    int changed = 0;
    for (int i = 0; i < rounds; ++i) {
        ++offset;
        const int before = view.tickUpdates();
        timer.start();
        view.tickNow();
        QCoreApplication::processEvents(); // paints only what the tick changed
        ticks << timer.nsecsElapsed() / 1e6;
        changed = std::max(changed, view.tickUpdates() - before);
    }
    std::printf("make, lay out and paint a new panel: median %.2f ms (%lld runs, %d widgets painted)\n",
                medianOf(builds), static_cast<long long>(builds.size()), buildPaints);
    std::printf("refresh that changed texts only: median %.2f ms (%d runs, %.1f widgets painted on "
                "average, %lld widgets, %s)\n",
                medianOf(refreshes), refreshRounds, double(refreshPaints) / refreshRounds,
                static_cast<long long>(widgetsAtStart), sameWidgets ? "the same ones each time" : "CHANGED");
    std::printf("rendering with nothing new: median %.3f ms (%.1f widgets painted on average)\n",
                medianOf(idleRenders), double(idlePaints) / refreshRounds);
    std::printf("one tick: median %.3f ms (%d runs; at most %d labels changed in one tick)\n",
                medianOf(ticks), rounds, changed);
    std::printf("widgets painted per tick: %.1f on average\n", double(counter.paints) / rounds);
    return 0;
}

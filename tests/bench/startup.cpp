// Start-up to the tray icon shown, and resident memory after ten idle seconds,
// signed in with the bridge polling a scripted backend that answers every poll
// with 204. Runs the X11 platform: start it on a display with a tray host.
//
//   xvfb-run -a -s "-screen 0 1280x800x24" sh -c 'trayer --edge top & sleep 1; build/tests/bench_startup'
//
// The time runs from the start of main (the application object, the session,
// the tray icon and the popover), not from the process's creation.
#include "app/Composition.h"
#include "app/widgets/AppDelegate.h"
#include "app/widgets/ShellScreens.h"
#include "app/widgets/TrayPopover.h"
#include "bridge/BridgeService.h"
#include "platform/DefaultsStore.h"
#include "platform/Resources.h"
#include "platform/SecretStore.h"
#include "session/AppSession.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSystemTrayIcon>
#include <QTemporaryDir>

#include <cstdio>

namespace {
qint64 residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}
} // namespace

int main(int argc, char** argv) {
    QElapsedTimer sinceStart;
    sinceStart.start();
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/ombrix-bench-XXXXXX"));
    pointHomeAt(home.path());
    qputenv("QT_LOGGING_RULES", "ombrix.*.info=false");
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_startup: needs an X display with a tray (see the comment at the top)\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        std::fprintf(stderr, "bench_startup: no tray host on this display\n");
        return 2;
    }
    initOmbrixResources();
    Composition::install();
    DefaultsStore::setShared(std::make_shared<MemoryDefaultsStore>());
    SecretStore::setShared(std::make_shared<MemorySecretStore>());

    FakeBackend backend;
    ScriptedResponse idle = ScriptedResponse::noContent();
    idle.holdMs = 1000;
    backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"), idle);
    backend.route("GET", QStringLiteral("/api/v1/me.json"), ScriptedResponse::json(200, R"({"id":1})"));
    runTask(AppSession::shared().setToken(QStringLiteral("bench-token")));

    AppDelegate delegate(defaultShellScreens());
    delegate.launch();
    TrayPopover* popover = delegate.popover();
    const bool shown =
        spinUntil([&] { return popover->trayIcon() && popover->trayIcon()->geometry().isValid(); });
    const qint64 startupMs = sinceStart.elapsed();
    spinFor(10000);
    int polls = 0;
    for (const RecordedRequest& request : backend.requests())
        polls += request.path == QLatin1String("/api/v1/bridge/tasks/next");
    std::printf("tray icon shown: %s after %lld ms\n", shown ? "yes" : "no",
                static_cast<long long>(startupMs));
    std::printf("resident memory after 10 s idle: %lld KiB (%d polls answered 204)\n",
                static_cast<long long>(residentKiB()), polls);
    return shown ? 0 : 1;
}

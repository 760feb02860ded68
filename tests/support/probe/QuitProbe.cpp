// The program as shipped (its own main(), linked from the same objects) with one
// addition made before main() runs: at the end of the launch, it asks the session
// to save the tokens of OMBRIX_PROBE_TOKENS (separated by spaces), one after the
// other without waiting, and with OMBRIX_PROBE_QUIT=1 it quits on the next turn of
// the event loop, so that those saves are still queued when the program ends.
// With OMBRIX_PROBE_BUSY_QUIT=<folder>, once "<folder>/quit-now" exists it writes
// "<folder>/busy", keeps its GUI thread busy until "<folder>/release" exists, and
// then quits at once, without a turn of the event loop in between.
#include "app/widgets/AppDelegate.h"
#include "platform/Tasks.h"
#include "session/AppSession.h"

#include <QFile>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {
const bool installed = [] {
    AppDelegate::setLaunchHook([](AppDelegate& delegate) {
        const QStringList tokens =
            qEnvironmentVariable("OMBRIX_PROBE_TOKENS").split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const QString& token : tokens)
            detachTask(AppSession::shared().setToken(token));
        if (qEnvironmentVariable("OMBRIX_PROBE_QUIT") == QLatin1String("1"))
            QTimer::singleShot(0, &delegate, [&delegate] { delegate.quitWithoutAsking(); });
        const QString busyQuit = qEnvironmentVariable("OMBRIX_PROBE_BUSY_QUIT");
        if (!busyQuit.isEmpty()) {
            auto* watch = new QTimer(&delegate);
            QObject::connect(watch, &QTimer::timeout, &delegate, [watch, busyQuit, &delegate] {
                if (!QFile::exists(busyQuit + QStringLiteral("/quit-now")))
                    return;
                watch->stop();
                QFile busy(busyQuit + QStringLiteral("/busy"));
                if (busy.open(QIODevice::WriteOnly))
                    busy.close();
                while (!QFile::exists(busyQuit + QStringLiteral("/release")))
                    QThread::msleep(10);
                delegate.quitWithoutAsking();
            });
            watch->start(20);
        }
        std::fprintf(stderr, "probe: %d token saves asked\n", int(tokens.size()));
        std::fflush(stderr);
    });
    return true;
}();
} // namespace

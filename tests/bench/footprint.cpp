// What the tray program costs while idle, against the smallest Qt tray program
// (bench_minimal_tray, built with this benchmark), both started the same way in
// the same run: a fresh home (signed out), the X11 platform, the same display,
// tray host and session bus.
//
//   xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- bash scripts/with-keyring.sh
//       build/tests/bench_footprint [START_RUNS] [IDLE_SECONDS]
//
// Start to tray icon: from just before the process is created to the moment its
// icon window is embedded in the tray host (seen from this process through the X
// server: a viewable window carrying the child's _NET_WM_PID whose parent is not
// the root window). Median of START_RUNS runs (5), the two programs taking turns.
// Resident memory (VmRSS) at 10 s and at IDLE_SECONDS (60) after the start, both
// programs idle side by side. Relocations: the dynamic loader's start-up count
// (LD_DEBUG=statistics), in a run of their own. A tray host (trayer) is started
// when the display has none.
#include "support/BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

struct Program {
    const char* name;
    QString path;
};

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    auto cookie = xcb_intern_atom(connection, 0, uint16_t(qstrlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

class Display {
public:
    Display() {
        connection_ = xcb_connect(nullptr, &screenNumber_);
        if (xcb_connection_has_error(connection_))
            return;
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
        for (int i = 0; i < screenNumber_; ++i)
            xcb_screen_next(&it);
        root_ = it.data->root;
        pidAtom_ = internAtom(connection_, "_NET_WM_PID");
        const QByteArray tray = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screenNumber_);
        trayAtom_ = internAtom(connection_, tray.constData());
    }
    ~Display() { xcb_disconnect(connection_); }
    bool isValid() const { return !xcb_connection_has_error(connection_) && root_ != XCB_NONE; }

    bool hasTrayHost() {
        std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> reply(
            xcb_get_selection_owner_reply(connection_, xcb_get_selection_owner(connection_, trayAtom_),
                                          nullptr),
            &std::free);
        return reply && reply->owner != XCB_NONE;
    }

    // Whether a viewable window of the process sits inside another window than the root.
    bool hasEmbeddedWindow(qint64 pid) { return search(root_, pid); }

private:
    bool search(xcb_window_t window, qint64 pid) {
        std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
            xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr), &std::free);
        if (!tree)
            return false;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const int count = xcb_query_tree_children_length(tree.get());
        for (int i = 0; i < count; ++i) {
            if (window != root_ && ownedBy(children[i], pid) && isViewable(children[i]))
                return true;
            if (search(children[i], pid))
                return true;
        }
        return false;
    }
    bool ownedBy(xcb_window_t window, qint64 pid) {
        auto cookie = xcb_get_property(connection_, 0, window, pidAtom_, XCB_ATOM_CARDINAL, 0, 1);
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(connection_, cookie, nullptr), &std::free);
        if (!reply || xcb_get_property_value_length(reply.get()) != 4)
            return false;
        return *static_cast<const uint32_t*>(xcb_get_property_value(reply.get())) == uint32_t(pid);
    }
    bool isViewable(xcb_window_t window) {
        std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> reply(
            xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, window),
                                            nullptr),
            &std::free);
        return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    xcb_connection_t* connection_ = nullptr;
    int screenNumber_ = 0;
    xcb_window_t root_ = XCB_NONE;
    xcb_atom_t pidAtom_ = XCB_ATOM_NONE;
    xcb_atom_t trayAtom_ = XCB_ATOM_NONE;
};

// One started program with a home of its own (nothing saved: signed out).
class Run {
public:
    explicit Run(const Program& program, const QProcessEnvironment& extra = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QString home = home_.path();
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
        QDir(home).mkpath(QStringLiteral("run"));
        QFile::setPermissions(home + QStringLiteral("/run"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/run"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.info=false;*.debug=false"));
        for (const QString& key : extra.keys())
            environment.insert(key, extra.value(key).replace(QStringLiteral("@HOME@"), home));
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.setStandardOutputFile(QProcess::nullDevice());
        clock_.start();
        process_.start(program.path, {});
        process_.waitForStarted(5000);
    }
    ~Run() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    qint64 pid() const { return process_.processId(); }
    QString home() const { return home_.path(); }
    double elapsedMs() const { return double(clock_.nsecsElapsed()) / 1e6; }

    // Milliseconds from the start to the icon in the tray; nothing after 20 s.
    std::optional<double> waitForTrayIcon(Display& display) {
        while (elapsedMs() < 20000) {
            if (display.hasEmbeddedWindow(pid()))
                return elapsedMs();
            if (process_.state() == QProcess::NotRunning)
                return std::nullopt;
            QThread::usleep(500);
        }
        return std::nullopt;
    }

    void sleepUntilMs(double ms) const {
        while (elapsedMs() < ms)
            QThread::msleep(50);
    }

    qint64 residentKiB() const {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        return -1;
    }

    // The decoders and other heavy libraries the process has mapped.
    QStringList heavyLibraries() const {
        static const QRegularExpression heavy(QStringLiteral(
            R"(/(libav\w*|libswresample|libtesseract|liblept|libpoppler\w*|libexiv2|libheif|libespeak-ng|)"
            R"(libtracker-sparql[\w.-]*|libQt6Multimedia|libpulse|libombrix_\w+)\.so)"));
        QFile maps(QStringLiteral("/proc/%1/maps").arg(pid()));
        QStringList found;
        if (!maps.open(QIODevice::ReadOnly))
            return found;
        for (const QByteArray& line : maps.readAll().split('\n')) {
            const QRegularExpressionMatch match = heavy.match(QString::fromUtf8(line));
            if (match.hasMatch() && !found.contains(match.captured(1)))
                found << match.captured(1);
        }
        return found;
    }

private:
    QTemporaryDir home_{QDir::tempPath() + QStringLiteral("/ombrix-footprint-XXXXXX")};
    QProcess process_;
    QElapsedTimer clock_;
};

// The dynamic loader's start-up relocation count, from a run with LD_DEBUG=statistics.
qint64 startupRelocations(const Program& program, Display& display) {
    QProcessEnvironment extra;
    extra.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("statistics"));
    extra.insert(QStringLiteral("LD_DEBUG_OUTPUT"), QStringLiteral("@HOME@/ld"));
    Run run(program, extra);
    run.waitForTrayIcon(display);
    const QString file = run.home() + QStringLiteral("/ld.%1").arg(run.pid());
    QFile statistics(file);
    if (!statistics.open(QIODevice::ReadOnly))
        return -1;
    static const QRegularExpression count(QStringLiteral(R"(number of relocations:\s+(\d+))"));
    const QRegularExpressionMatch match = count.match(QString::fromUtf8(statistics.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int startRuns = argc > 1 ? qMax(1, atoi(argv[1])) : 5;
    const int idleSeconds = argc > 2 ? qMax(11, atoi(argv[2])) : 60;
    const Program programs[2] = {{"ombrix", QStringLiteral(OMBRIX_EXECUTABLE)},
                                 {"minimal Qt tray", QStringLiteral(OMBRIX_MINIMAL_TRAY)}};

    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_footprint: needs an X display (see the comment at the top)\n");
        return 2;
    }
    Display display;
    if (!display.isValid()) {
        std::fprintf(stderr, "bench_footprint: cannot open the display\n");
        return 2;
    }
    QProcess trayHost;
    if (!display.hasTrayHost()) {
        trayHost.start(QStringLiteral("trayer"), {QStringLiteral("--edge"), QStringLiteral("top")});
        QElapsedTimer waiting;
        waiting.start();
        while (!display.hasTrayHost() && waiting.elapsed() < 10000)
            QThread::msleep(20);
        if (!display.hasTrayHost()) {
            std::fprintf(stderr, "bench_footprint: no tray host (install trayer)\n");
            return 2;
        }
    }

    QList<double> startMs[2];
    for (int round = 0; round < startRuns + 1; ++round) {
        for (int which = 0; which < 2; ++which) {
            Run run(programs[which]);
            const std::optional<double> shown = run.waitForTrayIcon(display);
            if (!shown) {
                std::fprintf(stderr, "bench_footprint: %s showed no tray icon\n", programs[which].name);
                return 1;
            }
            if (round > 0) // the first round warms the caches
                startMs[which] << *shown;
            QThread::msleep(300);
        }
    }

    qint64 relocations[2];
    for (int which = 0; which < 2; ++which)
        relocations[which] = startupRelocations(programs[which], display);

    qint64 rss10[2], rssLate[2];
    QStringList heavy[2];
    {
        Run ombrix(programs[0]);
        Run minimal(programs[1]);
        ombrix.sleepUntilMs(10000);
        rss10[0] = ombrix.residentKiB();
        rss10[1] = minimal.residentKiB();
        heavy[0] = ombrix.heavyLibraries();
        heavy[1] = minimal.heavyLibraries();
        ombrix.sleepUntilMs(idleSeconds * 1000.0);
        rssLate[0] = ombrix.residentKiB();
        rssLate[1] = minimal.residentKiB();
    }

    const double start[2] = {medianOf(startMs[0]), medianOf(startMs[1])};
    std::printf("%-34s %12s %16s %8s\n", "", programs[0].name, programs[1].name, "ratio");
    std::printf("%-34s %12.1f %16.1f %8.2f\n", "start to tray icon, median (ms)", start[0], start[1],
                start[0] / start[1]);
    std::printf("%-34s %12.1f %16.1f %8.2f\n", "resident after 10 s idle (MiB)", rss10[0] / 1024.0,
                rss10[1] / 1024.0, double(rss10[0]) / double(rss10[1]));
    const QByteArray lateLabel = QStringLiteral("resident after %1 s idle (MiB)").arg(idleSeconds).toUtf8();
    std::printf("%-34s %12.1f %16.1f %8.2f\n", lateLabel.constData(), rssLate[0] / 1024.0,
                rssLate[1] / 1024.0, double(rssLate[0]) / double(rssLate[1]));
    std::printf("%-34s %12lld %16lld %8.2f\n", "relocations at start", static_cast<long long>(relocations[0]),
                static_cast<long long>(relocations[1]), double(relocations[0]) / double(relocations[1]));
    for (int which = 0; which < 2; ++which) {
        QStringList runs;
        for (double ms : startMs[which])
            runs << QString::number(ms, 'f', 1);
        std::printf("%s: start runs (ms) %s; heavy libraries mapped when idle: %s\n", programs[which].name,
                    qPrintable(runs.join(QStringLiteral(", "))),
                    heavy[which].isEmpty() ? "none" : qPrintable(heavy[which].join(QStringLiteral(", "))));
    }
    if (trayHost.state() != QProcess::NotRunning) {
        trayHost.terminate();
        trayHost.waitForFinished(5000);
    }
    return 0;
}

#include "support/TestSupport.h"

#include "platform/BuildConfig.h"
#include "platform/Errors.h"
#include "session/OmbrixHTTP.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QWidget>

#include <gtest/gtest.h>

QString errorText(const std::exception_ptr& error) {
    if (!error)
        return QString();
    return describeException(error);
}

void spinFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

QString saveScreenshot(QWidget* widget, const QString& name) {
    const QString dir = QStringLiteral(OMBRIX_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    widget->ensurePolished();
    if (!widget->isVisible())
        widget->show();
    QCoreApplication::processEvents();
    const QString path = dir + "/" + name + ".png";
    widget->grab().save(path);
    return path;
}

bool spinUntil(const std::function<bool()>& predicate, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!predicate()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

std::shared_ptr<MemoryDefaultsStore> installMemoryDefaults() {
    auto store = std::make_shared<MemoryDefaultsStore>();
    DefaultsStore::setShared(store);
    return store;
}

std::shared_ptr<MemorySecretStore> installMemorySecrets() {
    auto store = std::make_shared<MemorySecretStore>();
    SecretStore::setShared(store);
    return store;
}

void pointBackendAt(const ScriptedHttpServer& server, const QString& pinnedRootsPath) {
    BuildConfig config;
    config.productDomain = QStringLiteral("localhost");
    config.apiHost = QStringLiteral("localhost");
    config.defaultEndpoint = server.baseUrl();
    config.pinnedRootsPath =
        pinnedRootsPath.isNull() ? ScriptedHttpServer::certPath(QStringLiteral("ca.pem")) : pinnedRootsPath;
    BuildConfig::overrideForTesting(config);
    HttpSession::resetForTesting();
}

void resetBackendConfig() {
    BuildConfig::resetForTesting();
    HttpSession::resetForTesting();
}

FakeBackend::FakeBackend()
    : ScriptedHttpServer(true) {
    pointBackendAt(*this);
}

FakeBackend::~FakeBackend() {
    resetBackendConfig();
}

void routeQueuedPolls(ScriptedHttpServer& server, const QString& path, QQueue<ScriptedResponse>& polls) {
    server.route("GET", path, [&polls](const RecordedRequest&) {
        if (!polls.isEmpty())
            return polls.dequeue();
        ScriptedResponse empty = ScriptedResponse::noContent();
        empty.holdMs = 20;
        return empty;
    });
}

namespace {
// The temporary home this test program made (canonical), or empty.
QString& testHome() {
    static QString home;
    return home;
}

// The path, made absolute and canonical as far as it exists, inside this program's
// temporary home and not the home itself.
bool isInsideTestHome(const QString& path) {
    const QString home = testHome();
    if (home.isEmpty() || path.isEmpty() || QDir::isRelativePath(path))
        return false;
    // The deepest existing ancestor decides (links resolved); the rest is appended.
    QString existing = QDir::cleanPath(path);
    QString rest;
    while (!QFileInfo::exists(existing) && existing != QStringLiteral("/")) {
        rest = QLatin1Char('/') + QFileInfo(existing).fileName() + rest;
        existing = QFileInfo(existing).path();
    }
    const QString full = QDir::cleanPath(QFileInfo(existing).canonicalFilePath() + rest);
    return full.startsWith(home + QLatin1Char('/'));
}
} // namespace

namespace {
QTemporaryDir*& processTemp() {
    static QTemporaryDir* folder = nullptr;
    return folder;
}
} // namespace

QString processTempFolder() {
    if (!processTemp())
        processTemp() = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/ombrix-process-XXXXXX"));
    return processTemp()->path();
}

void removeProcessTempFolder() {
    delete processTemp();
    processTemp() = nullptr;
}

void useTestHome(const QTemporaryDir& home) {
    const QString canonical = QFileInfo(home.path()).canonicalFilePath();
    const QString temp = QFileInfo(QDir::tempPath()).canonicalFilePath();
    // Only a folder made inside the temporary folder can be the test home.
    testHome() = home.isValid() && !temp.isEmpty() && temp != QStringLiteral("/") &&
                         canonical.startsWith(temp + QLatin1Char('/'))
                     ? canonical
                     : QString();
    pointHomeAt(home.path());
}

bool testHomeIsTemporary() {
    const QStringList folders = {
        QDir::homePath(),
        qEnvironmentVariable("XDG_CONFIG_HOME"),
        qEnvironmentVariable("XDG_DATA_HOME"),
        qEnvironmentVariable("XDG_CACHE_HOME"),
        QStandardPaths::writableLocation(QStandardPaths::PicturesLocation),
    };
    for (const QString& folder : folders)
        if (!isInsideTestHome(folder) &&
            (folder.isEmpty() || QFileInfo(folder).canonicalFilePath() != testHome()))
            return false;
    return !testHome().isEmpty();
}

QProcessEnvironment childEnvironment() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

QProcessEnvironment childEnvironment(const QString& home, const QString& runtime) {
    QProcessEnvironment environment = childEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    return environment;
}

int roundsOr(const char* variable, int rounds) {
    bool ok = false;
    const int asked = qEnvironmentVariableIntValue(variable, &ok);
    return ok && asked > 0 ? asked : rounds;
}

QString runPassingChildTest(const QString& test, const QProcessEnvironment& environment) {
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + test});
    if (!child.waitForStarted()) {
        ADD_FAILURE() << "the child test did not start";
        return {};
    }
    const bool ended = spinUntil([&] { return child.state() == QProcess::NotRunning; });
    if (!ended) {
        child.kill();
        child.waitForFinished();
    }
    const QString out = QString::fromUtf8(child.readAll());
    EXPECT_TRUE(ended) << out.toStdString();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << out.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("[  PASSED  ] 1 test"))) << out.toStdString();
    return out;
}

bool removeTestFolder(const QString& path) {
    if (!testHomeIsTemporary() || !isInsideTestHome(path)) {
        ADD_FAILURE() << "refusing to delete " << path.toStdString()
                      << ": only folders inside this test program's temporary home are deleted";
        return false;
    }
    QDir(path).removeRecursively();
    return true;
}

void pointHomeAt(const QString& folder) {
    qputenv("HOME", folder.toUtf8());
    qputenv("XDG_CONFIG_HOME", (folder + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_DATA_HOME", (folder + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_CACHE_HOME", (folder + QStringLiteral("/.cache")).toUtf8());
    qputenv("XDG_PICTURES_DIR", (folder + QStringLiteral("/Pictures")).toUtf8());
}

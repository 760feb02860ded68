#include "platform/AuthFailureNotifier.h"
#include "platform/BuildConfig.h"
#include "platform/DefaultsStore.h"
#include "session/APIConfig.h"
#include "session/APIService.h"
#include "session/OmbrixHTTP.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {
QString readText(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return QString::fromUtf8(f.readAll());
}

HttpRequest getRequest(const QString& url, const QByteArray& token = QByteArray()) {
    HttpRequest r;
    r.url = QUrl(url);
    if (!token.isEmpty())
        r.setHeader("X-User-Token", token);
    return r;
}
} // namespace

TEST(PinnedHttp, ApiHostIsJudgedByThePinnedRootsOnly) {
    FakeBackend backend;
    backend.route("GET", "/ping", ScriptedResponse::text(200, "pong"));
    const QString url = backend.baseUrl() + "/ping";

    // Pinned to the test CA: accepted.
    HttpResponse ok = runTask(HttpSession::pinned().data(getRequest(url)));
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, "pong");

    // The system's roots do not know the test CA: the unpinned session refuses,
    // although a good connection to the same host was just made.
    auto refused = runTaskCatching(HttpSession::shared().data(getRequest(url)));
    ASSERT_TRUE(refused);
    EXPECT_EQ(errorText(refused), QStringLiteral("La connexion sécurisée au serveur a échoué."));

    // Pinned to an unrelated CA: refused.
    pointBackendAt(backend, ScriptedHttpServer::certPath("other-ca.pem"));
    EXPECT_TRUE(runTaskCatching(HttpSession::pinned().data(getRequest(url))));

    // No usable pinned root: refused before anything is sent.
    backend.clearRequests();
    QTemporaryDir dir;
    QFile empty(dir.filePath("empty.pem"));
    empty.open(QIODevice::WriteOnly);
    empty.close();
    pointBackendAt(backend, empty.fileName());
    auto none = runTaskCatching(HttpSession::pinned().data(getRequest(url)));
    ASSERT_TRUE(none);
    EXPECT_EQ(backend.requestCount(), 0);
    pointBackendAt(backend, dir.filePath("missing.pem"));
    EXPECT_TRUE(runTaskCatching(HttpSession::pinned().data(getRequest(url))));
}

TEST(PinnedHttp, AuthFailureIsAnnouncedOncePer401WithTheRequestToken) {
    FakeBackend backend;
    backend.route("GET", "/401", ScriptedResponse::text(401, "nope"));
    backend.route("GET", "/403", ScriptedResponse::text(403, "forbidden"));
    QSignalSpy spy(&AuthFailureNotifier::shared(), &AuthFailureNotifier::authFailure);

    HttpResponse r =
        runTask(HttpSession::pinned().ombrixData(getRequest(backend.baseUrl() + "/401", "tok-1")));
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body, "nope");
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), QStringLiteral("tok-1"));

    r = runTask(HttpSession::pinned().ombrixData(getRequest(backend.baseUrl() + "/403", "tok-1")));
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(spy.count(), 1);
}

TEST(PinnedHttp, PemReaderFollowsTheBlockRules) {
    const QString ca = readText(ScriptedHttpServer::certPath("ca.pem"));
    const QString other = readText(ScriptedHttpServer::certPath("other-ca.pem"));
    QString windows = "leading text\r\n\r\n" + ca + "\r\nbetween\r\n" + other + "\r\ntrailing";
    windows.replace(QLatin1String("\n"), QLatin1String("\r\n"));
    windows.replace(QLatin1String("\r\r\n"), QLatin1String("\r\n"));
    const auto ders = OmbrixHTTP::certificateDERs(windows);
    ASSERT_EQ(ders.size(), 2);
    EXPECT_FALSE(QSslCertificate(ders.at(0), QSsl::Der).isNull());
    EXPECT_EQ(QSslCertificate(ders.at(0), QSsl::Der).subjectInfo(QSslCertificate::CommonName).value(0),
              QStringLiteral("Ombrix Test CA"));
    EXPECT_EQ(QSslCertificate(ders.at(1), QSsl::Der).subjectInfo(QSslCertificate::CommonName).value(0),
              QStringLiteral("Unrelated Test CA"));

    // A trailing blank on one line spoils its block only.
    QStringList lines = ca.split('\n');
    lines[2] += ' ';
    EXPECT_EQ(OmbrixHTTP::certificateDERs(lines.join('\n') + other).size(), 1);
    // A block without its end line is dropped; a stray end line adds an empty entry.
    EXPECT_TRUE(OmbrixHTTP::certificateDERs("-----BEGIN CERTIFICATE-----\nQUJD\n").isEmpty());
    const auto stray = OmbrixHTTP::certificateDERs("-----END CERTIFICATE-----\n");
    ASSERT_EQ(stray.size(), 1);
    EXPECT_TRUE(stray.at(0).isEmpty());
    // Other line breaks count as line breaks too.
    EXPECT_EQ(OmbrixHTTP::certificateDERs(
                  QString::fromUtf16(u"-----BEGIN CERTIFICATE-----\u2028QUJD\u0085-----END CERTIFICATE-----"))
                  .value(0),
              QByteArray("ABC"));
    // Missing padding fails.
    EXPECT_TRUE(
        OmbrixHTTP::certificateDERs("-----BEGIN CERTIFICATE-----\nQUI\n-----END CERTIFICATE-----").isEmpty());
}

TEST(PinnedHttp, BundledRootsAreValidCertificates) {
    resetBackendConfig();
    const auto ders = OmbrixHTTP::pinnedAnchorDERs();
    ASSERT_GE(ders.size(), 1);
    for (const auto& der : ders)
        EXPECT_FALSE(QSslCertificate(der, QSsl::Der).isNull());
}

TEST(APIConfig, OverrideRules) {
    auto defaults = installMemoryDefaults();
    BuildConfig config{"ombrix.app", "api.ombrix.app", "https://api.ombrix.app", QString()};
    BuildConfig::overrideForTesting(config);
    auto base = [&](const QString& value) {
        defaults->setString("apiBaseURL", value);
        return APIConfig::baseURL();
    };
    EXPECT_EQ(base("http://api.ombrix.app"), "https://api.ombrix.app");
    EXPECT_EQ(base("https://ombrix.app"), "https://ombrix.app");
    EXPECT_EQ(base("https://a.b.staging.ombrix.app/x"), "https://a.b.staging.ombrix.app/x");
    EXPECT_EQ(base("https://evilombrix.app"), "https://api.ombrix.app");
    EXPECT_EQ(base("   "), "https://api.ombrix.app");
    EXPECT_EQ(base("not a url at all"), "https://api.ombrix.app");
    EXPECT_EQ(base("  https://Dev.Ombrix.app/  \n"), "https://Dev.Ombrix.app/");
    EXPECT_EQ(APIConfig::endpoint("/me.json").toString(), "https://dev.ombrix.app/api/v1/me.json");
    EXPECT_EQ(APIConfig::userURL(42).toString(), "https://dev.ombrix.app//users/42.json");

    defaults->setString("apiBaseURL", "https://dev.ombrix.app/api/v1/");
    EXPECT_EQ(APIConfig::endpoint("/me.json").toString(), "https://dev.ombrix.app/api/v1/me.json");
    defaults->remove("apiBaseURL");
    EXPECT_EQ(APIConfig::bridgeNextTaskURL(0).toString(),
              "https://api.ombrix.app/api/v1/bridge/tasks/next?wait=1");
    EXPECT_EQ(APIConfig::bridgeNextTaskURL(45).toString(),
              "https://api.ombrix.app/api/v1/bridge/tasks/next?wait=30");
    EXPECT_EQ(APIConfig::recentDiscussionsURL(-3).toString(),
              "https://api.ombrix.app/api/v1/discussions.json?limit=1");
    EXPECT_EQ(APIConfig::recentDiscussionsURL(50).toString(),
              "https://api.ombrix.app/api/v1/discussions.json?limit=20");
    BuildConfig::resetForTesting();
}

TEST(APIService, EnvelopeChecksTheTokenBeforeAnyIO) {
    FakeBackend backend;
    backend.route("GET", "/api/v1/me.json", ScriptedResponse::json(200, "{}"));
    APIService::Call call;
    call.path = "/me.json";
    call.timeoutMs = 15000;
    for (const std::optional<QString>& token :
         {std::optional<QString>(), std::optional<QString>(""), std::optional<QString>("a\r\nX-Evil: 1"),
          std::optional<QString>(QString("a") + QChar(0))}) {
        auto error = runTaskCatching(APIService(token).send(call));
        EXPECT_EQ(errorText(error), "Pas connecté. Configure ton jeton dans Réglages.");
    }
    EXPECT_EQ(backend.requestCount(), 0);
    // A token of one blank is sent unchanged.
    runTask(APIService(QString(" ")).send(call));
    ASSERT_EQ(backend.requestCount(), 1);
    // (HTTP trims blanks around header values: the server sees it as empty.)
    EXPECT_TRUE(backend.lastRequest().hasHeader("X-User-Token"));
}

TEST(APIService, StatusHandlingAndErrorTexts) {
    FakeBackend backend;
    int status = 200;
    QByteArray body;
    backend.route("GET", "/api/v1/x",
                  [&](const RecordedRequest&) { return ScriptedResponse::text(status, body); });
    APIService api(QString("tok"));
    APIService::Call call;
    call.path = "/x";
    auto outcome = [&](int s, const QByteArray& b) {
        status = s;
        body = b;
        return errorText(runTaskCatching(api.send(call)));
    };
    EXPECT_EQ(outcome(200, ""), QString());
    EXPECT_EQ(outcome(299, ""), QString());
    EXPECT_EQ(outcome(300, "moved"), "Erreur HTTP 300 : moved");
    EXPECT_EQ(outcome(500, "\xff\xfe"), "Erreur HTTP 500");
    EXPECT_EQ(outcome(500, ""), "Erreur HTTP 500");
    EXPECT_EQ(outcome(500, "panne"), "Erreur HTTP 500 : panne");
    EXPECT_EQ(APIError::decoding().description(), "Réponse illisible du serveur");
}

TEST(APIService, TimeOutAndClosedConnectionAreTransportErrors) {
    FakeBackend backend;
    ScriptedResponse silent;
    silent.neverAnswer = true;
    backend.route("GET", "/api/v1/slow", silent);
    ScriptedResponse drop;
    drop.closeWithoutAnswer = true;
    backend.route("GET", "/api/v1/drop", drop);
    APIService api(QString("tok"));
    APIService::Call call;
    call.path = "/slow";
    call.timeoutMs = 300;
    EXPECT_EQ(errorText(runTaskCatching(api.send(call))), "La requête a expiré.");
    call.path = "/drop";
    EXPECT_TRUE(runTaskCatching(api.send(call)));
}

TEST(PinnedHttp, TokenNeverFollowsARedirectToAnotherOrigin) {
    FakeBackend backend;
    ScriptedHttpServer elsewhere(false);
    ScriptedResponse redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", (elsewhere.baseUrl() + "/steal").toUtf8()}};
    backend.route("GET", "/api/v1/me.json", redirect);
    backend.route("GET", "/api/v1/moved", ScriptedResponse::json(200, "{}"));
    ScriptedResponse sameOrigin;
    sameOrigin.status = 302;
    sameOrigin.headers = {{"Location", "/api/v1/moved"}};
    backend.route("GET", "/api/v1/old", sameOrigin);

    APIService api(QString("secret-token"));
    APIService::Call call;
    call.path = "/me.json";
    EXPECT_TRUE(runTaskCatching(api.send(call)));
    spinFor(100);
    EXPECT_EQ(elsewhere.requestCount(), 0);

    call.path = "/old";
    EXPECT_FALSE(runTaskCatching(api.send(call)));
    EXPECT_EQ(backend.lastRequest().path, "/api/v1/moved");
    EXPECT_EQ(backend.lastRequest().header("X-User-Token"), QByteArray("secret-token"));
}

TEST(PinnedHttp, AnAnswerCutShortIsATransportError) {
    // The server announces more than it sends, then closes the connection.
    FakeBackend backend;
    const struct {
        int status;
        QByteArray announced;
        QList<QPair<int, QByteArray>> pieces;
        bool cut;
    } cases[] = {
        {200, "100", {{0, R"({"id":7,)"}}, true},
        {201, "100", {{0, "{"}, {30, R"("id":7)"}}, true},
        {500, "50", {{0, "panne"}}, true},
        {200, "8", {{0, R"({"id":7})"}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        backend.route("GET", "/api/v1/cut", [&](const RecordedRequest&) {
            ScriptedResponse answer = ScriptedResponse::stream(c.status, c.pieces, "application/json");
            answer.headers.append({"Content-Length", c.announced});
            return answer;
        });
        APIService::Call call;
        call.path = "/cut";
        const auto error = runTaskCatching(APIService(QString("tok")).send(call));
        if (c.cut)
            EXPECT_EQ(errorText(error), "La connexion au serveur a été interrompue.");
        else
            EXPECT_FALSE(error);
    }
}

TEST(PinnedHttp, BodylessWritesAnnounceAnEmptyBody) {
    FakeBackend backend;
    backend.setFallback([](const RecordedRequest&) { return ScriptedResponse::json(200, "{}"); });
    for (const QByteArray method : {"POST", "PUT", "PATCH", "DELETE", "GET"}) {
        SCOPED_TRACE(method.toStdString());
        APIService::Call call;
        call.method = method;
        call.path = "/x";
        runTask(APIService(QString("tok")).send(call));
        const bool write = method == "POST" || method == "PUT" || method == "PATCH";
        EXPECT_EQ(backend.lastRequest().header("Content-Length"),
                  write ? std::optional<QByteArray>("0") : std::nullopt);
    }
}

TEST(APIConfig, AnOverrideWrittenIntoTheSettingsFileIsSeenWhileRunning) {
    BuildConfig::overrideForTesting({"ombrix.app", "api.ombrix.app", "https://api.ombrix.app", QString()});
    QTemporaryDir dir;
    const QString path = dir.filePath("defaults.json");
    auto store = std::make_shared<FileDefaultsStore>(path);
    DefaultsStore::setShared(store);
    store->setString("selectedMode", "chat");
    store->flush();
    EXPECT_EQ(APIConfig::baseURL(), "https://api.ombrix.app");

    // The user adds the override with a text editor while the program runs.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    file.close();
    root.insert("apiBaseURL", QJsonObject{{"string", "https://staging.ombrix.app"}});
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(root).toJson());
    file.close();
    EXPECT_TRUE(spinUntil([] { return APIConfig::baseURL() == "https://staging.ombrix.app"; }));
    EXPECT_EQ(APIConfig::endpoint("/me.json").toString(), "https://staging.ombrix.app/api/v1/me.json");

    // The program's next write keeps it.
    store->setString("selectedMode", "microphone");
    store->flush();
    EXPECT_EQ(FileDefaultsStore(path).string("apiBaseURL"), "https://staging.ombrix.app");
    installMemoryDefaults();
    resetBackendConfig();
}

// The program's end with the network managers alive: their transfer threads are
// stopped while the application object goes, not left running into the statics'
// destruction (where a connection's last event crashed the program). The child
// registers its report before any session exists, so that it runs after the
// sessions' own end.
namespace {
constexpr const char* kQuitChild = "OMBRIX_HTTP_QUIT_CHILD";

int networkThreads() {
    int count = 0;
    const QFileInfoList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo& task : tasks) {
        QFile name(task.filePath() + QStringLiteral("/comm"));
        if (name.open(QIODevice::ReadOnly) && name.readAll().startsWith("QNetworkAccessM"))
            ++count;
    }
    return count;
}

// A thread whose run has ended may stay listed for a moment while it exits: a
// thread still running its event loop stays for good.
void reportNetworkThreadsAtQuit() {
    QElapsedTimer waited;
    waited.start();
    while (networkThreads() > 0 && waited.elapsed() < 2000)
        QThread::msleep(10);
    std::fprintf(stderr, "network threads at quit: %d\n", networkThreads());
}
} // namespace

TEST(HttpAtQuit, ChildEndsWithSessionsAlive) {
    if (qEnvironmentVariableIsEmpty(kQuitChild))
        GTEST_SKIP() << "run as a child by HttpAtQuit.NetworkThreadsEndWithTheApplication";
    qAddPostRoutine(reportNetworkThreadsAtQuit);
    FakeBackend backend;
    backend.setFallback([](const RecordedRequest&) { return ScriptedResponse::json(200, "{}"); });
    APIService::Call call;
    call.path = "/x";
    runTask(APIService(QString("tok")).send(call));
    ASSERT_GT(networkThreads(), 0);
    std::fprintf(stderr, "network threads after the request: %d\n", networkThreads());
}

TEST(HttpAtQuit, NetworkThreadsEndWithTheApplication) {
    QProcessEnvironment environment = childEnvironment();
    environment.insert(kQuitChild, QStringLiteral("1"));
    const QString out =
        runPassingChildTest(QStringLiteral("HttpAtQuit.ChildEndsWithSessionsAlive"), environment);
    EXPECT_TRUE(out.contains(QStringLiteral("network threads at quit: 0"))) << out.toStdString();
}

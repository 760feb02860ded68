#include "session/OmbrixHTTP.h"

#include "platform/AuthFailureNotifier.h"
#include "platform/BuildConfig.h"
#include "platform/Localization.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStringDecoder>
#include <QTimer>

#include <QCoro/QCoroNetworkReply>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

void HttpRequest::setHeader(const QByteArray& name, const QByteArray& value) {
    for (auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) {
            h.second = value;
            return;
        }
    }
    headers.append({name, value});
}

std::optional<QByteArray> HttpRequest::header(const QByteArray& name) const {
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return std::nullopt;
}

std::optional<QByteArray> HttpResponse::header(const QByteArray& name) const {
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return std::nullopt;
}

QString NetworkError::description() const {
    switch (kind_) {
    case Kind::TimedOut:
        return loc("La requête a expiré.");
    case Kind::Cancelled:
        return loc("La requête a été annulée.");
    case Kind::TlsFailed:
        return loc("La connexion sécurisée au serveur a échoué.");
    case Kind::ConnectionFailed:
        return loc("Impossible de se connecter au serveur.");
    case Kind::TooLarge:
        return loc("La réponse du serveur est trop volumineuse.");
    case Kind::Interrupted:
        return loc("La connexion au serveur a été interrompue.");
    case Kind::Other:
        break;
    }
    return loc("Erreur réseau");
}

NetworkError NetworkError::fromReply(QNetworkReply::NetworkError code, const QString& detail) {
    switch (code) {
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return NetworkError(Kind::TimedOut, detail);
    case QNetworkReply::SslHandshakeFailedError:
        return NetworkError(Kind::TlsFailed, detail);
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return NetworkError(Kind::ConnectionFailed, detail);
    default:
        return NetworkError(Kind::Other, detail);
    }
}

bool NetworkError::isTransportFailure(QNetworkReply::NetworkError code) {
    const int n = int(code);
    // 1–99 connection, 100–199 proxy, and a response that breaks the protocol. The
    // other codes stand for HTTP statuses (400 is ProtocolInvalidOperationError).
    return (n >= 1 && n <= 199) || code == QNetworkReply::ProtocolFailure;
}

namespace OmbrixHTTP {

namespace {
bool isLineBreak(QChar c) {
    const char16_t u = c.unicode();
    return u == 0x0A || u == 0x0B || u == 0x0C || u == 0x0D || u == 0x85 || u == 0x2028 || u == 0x2029;
}

// Standard Base64 with padding, no blanks and no stray characters.
std::optional<QByteArray> strictBase64(const QString& text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    qsizetype padding = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                              c == '+' || c == '/';
        if (c == '=') {
            ++padding;
            continue;
        }
        if (!alphabet || padding > 0)
            return std::nullopt;
    }
    if (padding > 2)
        return std::nullopt;
    auto result = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return *result;
}

struct AnchorCache {
    std::mutex mutex;
    std::optional<QList<QByteArray>> ders;
};
AnchorCache& anchorCache() {
    static AnchorCache cache;
    return cache;
}
} // namespace

QList<QByteArray> certificateDERs(const QString& pem) {
    QStringList lines;
    QString current;
    for (qsizetype i = 0; i < pem.size(); ++i) {
        const QChar c = pem.at(i);
        if (isLineBreak(c)) {
            if (!current.isEmpty())
                lines.append(current);
            current.clear();
            continue;
        }
        current.append(c);
    }
    if (!current.isEmpty())
        lines.append(current);

    QList<QByteArray> result;
    bool inBlock = false;
    QString accumulator;
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("-----BEGIN CERTIFICATE-----"))) {
            accumulator.clear();
            inBlock = true;
        } else if (line.startsWith(QLatin1String("-----END CERTIFICATE-----"))) {
            if (auto der = strictBase64(accumulator))
                result.append(*der);
            accumulator.clear();
            inBlock = false;
        } else if (inBlock) {
            accumulator += line;
        }
    }
    return result;
}

QList<QByteArray> pinnedAnchorDERs() {
    auto& cache = anchorCache();
    std::lock_guard lock(cache.mutex);
    if (!cache.ders) {
        QString path = BuildConfig::current().pinnedRootsPath;
        if (path.isEmpty())
            path = QStringLiteral(":/pinned-roots.pem");
        QFile file(path);
        QList<QByteArray> ders;
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = file.readAll();
            QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString text = decoder.decode(bytes);
            if (!decoder.hasError())
                ders = certificateDERs(text);
        }
        cache.ders = ders;
    }
    return *cache.ders;
}

HttpResponse responseHead(QNetworkReply* reply) {
    HttpResponse response;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        throw NetworkError::fromReply(reply->error(), reply->errorString());
    response.status = status.toInt();
    for (const auto& pair : reply->rawHeaderPairs())
        response.headers.append(pair);
    return response;
}

HttpSession& session() {
    return HttpSession::pinned();
}

} // namespace OmbrixHTTP

namespace {
std::unique_ptr<HttpSession>& pinnedSlot() {
    static std::unique_ptr<HttpSession> slot;
    return slot;
}
std::unique_ptr<HttpSession>& sharedSlot() {
    static std::unique_ptr<HttpSession> slot;
    return slot;
}
QList<QSslCertificate>& extraSystemRoots() {
    static QList<QSslCertificate> roots;
    return roots;
}
// Sessions replaced by a test reset stay alive: a reply still in flight belongs to
// their network managers and must not be deleted under its awaiting coroutine.
std::vector<std::unique_ptr<HttpSession>>& retiredSessions() {
    static std::vector<std::unique_ptr<HttpSession>> retired;
    return retired;
}

std::unique_ptr<HttpSession> makeSession(HttpSession::Policy policy) {
    return std::make_unique<HttpSession>(policy);
}
} // namespace

HttpSession::HttpSession(Policy policy)
    : policy_(policy) {}

HttpSession::~HttpSession() = default;

HttpSession& HttpSession::pinned() {
    auto& slot = pinnedSlot();
    if (!slot)
        slot = makeSession(Policy::PinnedApiHost);
    return *slot;
}

HttpSession& HttpSession::shared() {
    auto& slot = sharedSlot();
    if (!slot)
        slot = makeSession(Policy::System);
    return *slot;
}

namespace {
void retire(std::unique_ptr<HttpSession>& slot) {
    if (slot)
        retiredSessions().push_back(std::move(slot));
}
} // namespace

void HttpSession::resetForTesting() {
    retire(pinnedSlot());
    retire(sharedSlot());
    extraSystemRoots().clear();
    auto& cache = OmbrixHTTP::anchorCache();
    std::lock_guard lock(cache.mutex);
    cache.ders.reset();
}

void HttpSession::endAll() {
    pinnedSlot().reset();
    sharedSlot().reset();
    retiredSessions().clear();
}

void HttpSession::trustExtraRootsForTesting(const QString& pemPath) {
    extraSystemRoots() = QSslCertificate::fromPath(pemPath, QSsl::Pem);
    retire(sharedSlot());
}

QNetworkAccessManager* HttpSession::managerFor(bool pinnedHost) {
    auto& slot = pinnedHost ? pinnedManager_ : systemManager_;
    if (!slot) {
        slot = std::make_unique<QNetworkAccessManager>();
        slot->setAutoDeleteReplies(false);
    }
    return slot.get();
}

QNetworkReply* HttpSession::start(const HttpRequest& request) {
    const bool pinnedHost = policy_ == Policy::PinnedApiHost &&
                            request.url.host().toLower() == BuildConfig::current().apiHost.toLower();
    QNetworkRequest qreq(request.url);
    for (const auto& [name, value] : request.headers)
        qreq.setRawHeader(name, value);
    qreq.setTransferTimeout(request.timeoutMs);
    // A redirect may only stay on the same origin: the user's token and the bridge
    // headers must never follow a redirect to another host.
    qreq.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (policy_ == Policy::PinnedApiHost)
        tls.setProtocol(QSsl::TlsV1_2OrLater);
    if (pinnedHost) {
        QList<QSslCertificate> anchors;
        for (const QByteArray& der : OmbrixHTTP::pinnedAnchorDERs()) {
            QSslCertificate cert(der, QSsl::Der);
            if (!cert.isNull())
                anchors.append(cert);
        }
        if (anchors.isEmpty()) {
            qCWarning(lcHttp) << "no usable pinned root: refusing to contact" << request.url.host();
            throw NetworkError(NetworkError::Kind::Cancelled, QStringLiteral("no pinned root"));
        }
        // Only these anchors: the system's own roots are not consulted.
        tls.setCaCertificates(anchors);
    }
    if (policy_ == Policy::System && !extraSystemRoots().isEmpty())
        tls.addCaCertificates(extraSystemRoots());
    if (request.url.scheme() == QLatin1String("https"))
        qreq.setSslConfiguration(tls);

    // A POST, PUT or PATCH without a body still says so: servers and proxies may
    // refuse one without a length (411) or wait for a body that never comes.
    const bool write = request.method == "POST" || request.method == "PUT" || request.method == "PATCH";
    if (write && !request.body)
        qreq.setHeader(QNetworkRequest::ContentLengthHeader, 0);

    QNetworkAccessManager* manager = managerFor(pinnedHost);
    QNetworkReply* reply = request.body ? manager->sendCustomRequest(qreq, request.method, *request.body)
                                        : manager->sendCustomRequest(qreq, request.method);
    HttpAbortGroup::adopt(reply);
    return reply;
}

QCoro::Task<HttpResponse> HttpSession::data(HttpRequest request) {
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> reply(
        start(request), [](QNetworkReply* r) { r->deleteLater(); });
    // A whole body is held in memory: past the cap the transfer is abandoned (at
    // once when the announced length is already over it).
    const qint64 cap = request.maxBodyBytes > 0
                           ? std::min(request.maxBodyBytes, OmbrixHTTP::maxWholeBodyBytes)
                           : OmbrixHTTP::maxWholeBodyBytes;
    bool tooLarge = false;
    QObject::connect(reply.get(), &QNetworkReply::downloadProgress, reply.get(),
                     [raw = reply.get(), &tooLarge, cap](qint64 received, qint64 total) {
                         if ((received > cap || total > cap) && !tooLarge) {
                             tooLarge = true;
                             raw->abort();
                         }
                     });
    bool pastDeadline = false;
    if (request.deadlineMs > 0) {
        auto* deadline = new QTimer(reply.get());
        deadline->setSingleShot(true);
        QObject::connect(deadline, &QTimer::timeout, reply.get(), [raw = reply.get(), &pastDeadline] {
            if (!raw->isFinished()) {
                pastDeadline = true;
                raw->abort();
            }
        });
        deadline->start(request.deadlineMs);
    }
    if (!reply->isFinished())
        co_await qCoro(reply.get()).waitForFinished();
    if (tooLarge)
        throw NetworkError(NetworkError::Kind::TooLarge);
    if (pastDeadline)
        throw NetworkError(NetworkError::Kind::TimedOut, QStringLiteral("deadline"));
    // A body cut short by a time-out or an abort is no answer, even after its head.
    if (reply->error() == QNetworkReply::OperationCanceledError ||
        reply->error() == QNetworkReply::TimeoutError)
        throw NetworkError::fromReply(reply->error(), reply->errorString());
    HttpResponse response = OmbrixHTTP::responseHead(reply.get());
    // A status followed by a body cut short (the connection closed before the
    // announced length, a broken chunk) is a failed transfer, not an answer.
    if (NetworkError::isTransportFailure(reply->error()))
        throw NetworkError(NetworkError::Kind::Interrupted, reply->errorString());
    response.body = reply->readAll();
    co_return response;
}

QCoro::Task<HttpResponse> HttpSession::ombrixData(HttpRequest request) {
    const QString token = QString::fromUtf8(request.header("X-User-Token").value_or(QByteArray()));
    HttpResponse response = co_await data(std::move(request));
    if (response.status == 401)
        AuthFailureNotifier::shared().post(token);
    co_return response;
}

// ---- HttpAbortGroup ----------------------------------------------------------

namespace {
thread_local HttpAbortGroup* currentAbortGroup = nullptr;
} // namespace

HttpAbortGroup::Scope::Scope(HttpAbortGroup& group)
    : previous_(currentAbortGroup) {
    currentAbortGroup = &group;
}

HttpAbortGroup::Scope::~Scope() {
    currentAbortGroup = previous_;
}

void HttpAbortGroup::adopt(QNetworkReply* reply) {
    HttpAbortGroup* group = currentAbortGroup;
    if (!group || !reply)
        return;
    group->replies_.removeIf([](const QPointer<QNetworkReply>& r) { return r.isNull() || r->isFinished(); });
    group->replies_.append(reply);
}

void HttpAbortGroup::abortAll() {
    const auto replies = std::exchange(replies_, {});
    for (const QPointer<QNetworkReply>& reply : replies)
        if (reply && !reply->isFinished())
            reply->abort();
}

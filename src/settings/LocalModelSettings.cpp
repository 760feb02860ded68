#include "settings/LocalModelSettings.h"

#include "content/DesktopOpener.h"
#include "localllm/LocalHttp.h"
#include "platform/Characters.h"
#include "platform/Errors.h"
#include "platform/Json.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/AppSession.h"
#include "settings/LocalModelPicker.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringDecoder>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroNetworkReply>
#include <QCoro/QCoroTimer>

#include <chrono>
#include <variant>

namespace {

struct ReplyDeleter {
    void operator()(QNetworkReply* reply) const {
        if (reply)
            reply->deleteLater();
    }
};
using ReplyHandle = std::unique_ptr<QNetworkReply, ReplyDeleter>;

// An answer of the local model server, its body read up to a bound.
struct BoundedAnswer {
    std::optional<int> status; // nothing when no HTTP head came
    QByteArray body;
    bool oversized = false;
};

// Sends a request on the unpinned session and reads the whole answer, keeping at
// most maxBytes of its body (a longer body is cut there and the transfer ended).
// A transport failure (refused, time-out, abort) is thrown as NetworkError.
QCoro::Task<BoundedAnswer> fetchBounded(HttpRequest request, int deadlineMs, qint64 maxBytes,
                                        HttpAbortGroup* group) {
    QNetworkReply* started = nullptr;
    if (group) {
        HttpAbortGroup::Scope scope(*group);
        started = LocalHttp::start(request, deadlineMs);
    } else {
        started = LocalHttp::start(request, deadlineMs);
    }
    ReplyHandle reply(started);
    auto answer = std::make_shared<BoundedAnswer>();
    QNetworkReply* raw = reply.get();
    QObject::connect(raw, &QIODevice::readyRead, raw, [raw, answer, maxBytes] {
        if (answer->oversized)
            return;
        answer->body += raw->read(maxBytes + 1 - answer->body.size());
        if (answer->body.size() > maxBytes) {
            answer->body.truncate(maxBytes);
            answer->oversized = true;
            raw->abort();
        }
    });
    if (!raw->isFinished()) {
        auto awaited = qCoro(raw).waitForFinished(std::chrono::milliseconds(-1));
        co_await awaited;
    }
    if (!answer->oversized) {
        answer->body += raw->read(maxBytes + 1 - answer->body.size());
        if (answer->body.size() > maxBytes) {
            answer->body.truncate(maxBytes);
            answer->oversized = true;
        } else if (LocalHttp::isTransportError(raw)) {
            throw NetworkError::fromReply(raw->error(), raw->errorString());
        }
    }
    const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        answer->status = status.toInt();
    co_return *answer;
}

// The "id" of each object entry of the "data" list; empty for any other body.
QStringList modelIdsOf(const QByteArray& body) {
    QStringList ids;
    try {
        const Json document = json::parse(body);
        if (!document.is_object() || !document.contains("data") || !document.at("data").is_array())
            return ids;
        for (const Json& entry : document.at("data")) {
            if (entry.is_object() && entry.contains("id") && entry.at("id").is_string())
                ids << json::qstr(entry.at("id"));
        }
    } catch (const std::exception&) {
        ids.clear();
    }
    return ids;
}

// The first message's content of a chat completion, or nothing.
std::optional<QString> completionContent(const QByteArray& body) {
    try {
        const Json document = json::parse(body);
        if (!document.is_object() || !document.contains("choices") || !document.at("choices").is_array() ||
            document.at("choices").empty())
            return std::nullopt;
        const Json& first = document.at("choices").at(0);
        if (!first.is_object() || !first.contains("message") || !first.at("message").is_object())
            return std::nullopt;
        const Json& message = first.at("message");
        if (!message.contains("content") || !message.at("content").is_string())
            return std::nullopt;
        return json::qstr(message.at("content"));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The first 300 bytes of an error body as text, cut at a character boundary (a
// character across the 300th byte is left out); nothing when they are not UTF-8.
QString errorBodyPrefix(const QByteArray& body) {
    const QByteArray prefix = body.left(Characters::utf8PrefixLength(body, 300));
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(prefix);
    if (decoder.hasError())
        return QString();
    return text;
}

// The models whose download is whole, read on a worker thread.
QCoro::Task<QSet<QString>> downloadedIdsOffThread() {
    QFuture<QSet<QString>> listing = QtConcurrent::run(&LocalLLMCatalog::downloadedIds);
    co_return co_await listing;
}

QString logFilePath() {
    return QDir::homePath() + QStringLiteral("/.ombrix-local-llm/server.log");
}

} // namespace

LocalModelSettingsController::LocalModelSettingsController(QObject* parent)
    : QObject(parent)
    , revealFolder_(revealFolderInFileManager)
    , catalogModels_(LocalLLMCatalog::models())
    , machineRamGB_(ModelCatalogPicker::machineRamGB()) {}

LocalModelSettingsController::~LocalModelSettingsController() {
    if (healthRequests_)
        healthRequests_->abortAll();
}

// ---- Derived texts and rules ----

QString LocalModelSettingsController::healthLabel() const {
    switch (healthStatus_.kind()) {
    case HealthStatus::Kind::Unknown:
        return loc("Non vérifié");
    case HealthStatus::Kind::Checking:
        return loc("Vérification…");
    case HealthStatus::Kind::Ok:
        return loc("Serveur en ligne");
    case HealthStatus::Kind::Down:
        return loc("Hors ligne : ") + healthStatus_.message();
    }
    return QString();
}

bool LocalModelSettingsController::isCustomModel() const {
    return !LocalLLMCatalog::model(AppSession::shared().localLLMModel(), catalogModels_);
}

QString LocalModelSettingsController::modelHint() const {
    if (const auto model = LocalLLMCatalog::model(AppSession::shared().localLLMModel(), catalogModels_))
        return model->description;
    return loc(
        "Modèle personnalisé. Le Mac téléchargera les poids depuis Hugging Face au premier chargement.");
}

QString LocalModelSettingsController::ramFooter() const {
    return loc("RAM détectée : %1 GB. Les modèles qui dépassent la RAM disponible swapperont — à éviter.")
        .arg(static_cast<qint64>(machineRamGB_));
}

bool LocalModelSettingsController::canApply() const {
    return !serverOperationRunning() && !AppSession::shared().localLLMModel().isEmpty();
}

bool LocalModelSettingsController::canTest() const {
    return !isTesting_ && AppSession::shared().localLLMEnabled();
}

bool LocalModelSettingsController::spinnerInStatusRow() const {
    return isRestarting_ || (healthStatus_.kind() == HealthStatus::Kind::Checking && !isInstalling_);
}

QString LocalModelSettingsController::installButtonTitle() const {
    for (const auto& component : installStatus_.components) {
        if (!component.installed)
            return loc("Installer");
    }
    return loc("Réinstaller");
}

LocalModelSettingsController::RowControl
LocalModelSettingsController::rowControl(const LocalLLMModel& model) const {
    if (deletingId_ == model.id)
        return RowControl::Deleting;
    // A model being downloaded again (its snapshot may look whole already) shows
    // its download until it ends.
    if (downloadingId_ == model.id)
        return RowControl::Downloading;
    if (downloadedModelIds_.contains(model.id))
        return RowControl::Downloaded;
    return RowControl::DownloadButton;
}

QStringList LocalModelSettingsController::downloadLogTail() const {
    const QStringList& lines = installLog_.lines();
    return lines.mid(qMax<qsizetype>(0, lines.size() - kDownloadLogTailLines));
}

std::optional<QString> LocalModelSettingsController::catalogErrorLine() const {
    if (!installError_ || downloadingId_)
        return std::nullopt;
    return QStringLiteral("✗ ") + *installError_;
}

QString LocalModelSettingsController::deleteDialogTitle() const {
    if (!pendingDeleteModel_)
        return QString();
    return loc("Supprimer %1 ?").arg(pendingDeleteModel_->displayName);
}

QString LocalModelSettingsController::deleteButtonTitle() const {
    if (!pendingDeleteModel_)
        return QString();
    return loc("Supprimer %1 GB").arg(QString::number(pendingDeleteModel_->sizeGB, 'f', 1));
}

// ---- Progress log ----

qsizetype ProgressLog::utf8Size(QStringView text) {
    qsizetype size = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        if (unit < 0x80)
            size += 1;
        else if (unit < 0x800)
            size += 2;
        else if (QChar::isHighSurrogate(unit) && i + 1 < text.size() &&
                 QChar::isLowSurrogate(text[i + 1].unicode())) {
            size += 4;
            ++i;
        } else
            size += 3;
    }
    return size;
}

void ProgressLog::clear() {
    lines_.clear();
    sizes_.clear();
    bytes_ = 0;
    appended_ = 0;
    ++epoch_;
}

QString ProgressLog::cutBefore(const QString& text, qsizetype start) {
    if (start <= 0)
        return text;
    // The cut moves forward to the start of a whole character (an accent stays with
    // its letter, an emoji or a flag whole).
    return QStringLiteral("…") + text.mid(Characters::nextBoundary(text, start));
}

QString ProgressLog::lastCharacters(const QString& text, qsizetype maxUnits) {
    if (text.size() <= maxUnits)
        return text;
    return cutBefore(text, text.size() - (maxUnits - 1));
}

void ProgressLog::append(const QString& line, int maxLines) {
    QString kept = line;
    qsizetype size = utf8Size(kept);
    if (size > kMaxBytes) {
        // A line longer than the whole log keeps its end.
        qsizetype start = kept.size();
        qsizetype tail = utf8Size(u"…");
        while (start > 0) {
            const qsizetype step =
                start >= 2 && kept[start - 1].isLowSurrogate() && kept[start - 2].isHighSurrogate() ? 2 : 1;
            const qsizetype more = utf8Size(QStringView(kept).mid(start - step, step));
            if (tail + more > kMaxBytes)
                break;
            tail += more;
            start -= step;
        }
        kept = cutBefore(kept, start);
        size = utf8Size(kept);
    }
    lines_.append(kept);
    sizes_.append(size);
    bytes_ += size;
    ++appended_;
    qsizetype drop = 0;
    qsizetype bytes = bytes_;
    while (lines_.size() - drop > 1 && (lines_.size() - drop > maxLines || bytes > kMaxBytes))
        bytes -= sizes_[drop++];
    if (drop > 0) {
        lines_.remove(0, drop);
        sizes_.remove(0, drop);
        bytes_ = bytes;
    }
}

void LocalModelSettingsController::appendLine(const QString& line, LogLimit limit) {
    const bool wasEmpty = installLog_.isEmpty();
    installLog_.append(line, limit == LogLimit::Install ? kInstallLogLines : kOperationLogLines);
    // Only the log's views follow each line; the rest of the tab changes when the
    // log gets its first one.
    if (wasEmpty)
        emit changed();
    emit logAppended();
}

void LocalModelSettingsController::clearLog() {
    installLog_.clear();
}

LineHandler LocalModelSettingsController::lineSink(LogLimit limit) {
    // The installer hands lines over on this thread; the guard covers a tab
    // closed while a command still runs.
    return [this, guard = alive(), limit](const QString& line) {
        if (!guard.expired())
            appendLine(line, limit);
    };
}

void LocalModelSettingsController::setHealth(const HealthStatus& status) {
    healthStatus_ = status;
    emit changed();
}

// ---- Health ----

QCoro::Task<> LocalModelSettingsController::checkHealth() {
    const auto guard = alive();
    const quint64 generation = ++healthGeneration_;
    if (healthRequests_)
        healthRequests_->abortAll();
    const auto url = LocalHttp::joinedUrl(AppSession::shared().localLLMEndpoint(), QStringLiteral("/models"));
    if (!url) {
        setHealth(HealthStatus::down(loc("URL invalide")));
        co_return;
    }
    healthStatus_ = HealthStatus::checking();
    availableModels_.clear();
    emit changed();

    healthRequests_ = std::make_unique<HttpAbortGroup>();
    HttpRequest request;
    request.url = *url;
    request.timeoutMs = timing_.healthTimeoutMs;
    std::optional<HealthStatus> outcome;
    QStringList ids;
    try {
        BoundedAnswer answer =
            co_await fetchBounded(request, timing_.healthTimeoutMs, kMaxAnswerBytes, healthRequests_.get());
        const int status = answer.status.value_or(-1);
        if (status < 200 || status > 299) {
            outcome = HealthStatus::down(QStringLiteral("HTTP %1").arg(status));
        } else {
            if (!answer.oversized)
                ids = modelIdsOf(answer.body);
            outcome = HealthStatus::ok();
        }
    } catch (const OmbrixError& error) {
        outcome = HealthStatus::down(error.description());
    } catch (const std::exception& error) {
        outcome = HealthStatus::down(QString::fromUtf8(error.what()));
    }
    // A newer check, or the tab going away, supersedes this one: it publishes nothing.
    if (guard.expired() || generation != healthGeneration_)
        co_return;
    availableModels_ = ids;
    setHealth(*outcome);
}

QCoro::Task<> LocalModelSettingsController::pollHealthUntilUp(int seconds) {
    const auto guard = alive();
    setHealth(HealthStatus::checking());
    QElapsedTimer clock;
    clock.start();
    const qint64 deadlineMs = static_cast<qint64>(seconds) * 1000;
    while (clock.elapsed() < deadlineMs) {
        co_await checkHealth();
        if (guard.expired())
            co_return;
        if (healthStatus_.kind() == HealthStatus::Kind::Ok)
            co_return;
        co_await QCoro::sleepFor(std::chrono::milliseconds(timing_.pollPauseMs));
        if (guard.expired())
            co_return;
    }
}

QCoro::Task<> LocalModelSettingsController::onShown() {
    const auto guard = alive();
    const quint64 shown = ++shownGeneration_;
    co_await redetect();
    if (guard.expired() || shown != shownGeneration_)
        co_return;
    const QSet<QString> downloaded = co_await downloadedIdsOffThread();
    if (guard.expired() || shown != shownGeneration_)
        co_return;
    downloadedModelIds_ = downloaded;
    emit changed();
    auto remote = co_await LocalLLMCatalog::fetchRemoteModels();
    if (guard.expired() || shown != shownGeneration_)
        co_return;
    if (remote)
        catalogModels_ = *remote;
    emit changed();
    co_await checkHealth();
}

void LocalModelSettingsController::onHidden() {
    // Ends the appearance's work: its catalogue fetch is ignored and its health
    // check aborted without publishing anything.
    ++shownGeneration_;
    ++healthGeneration_;
    if (healthRequests_)
        healthRequests_->abortAll();
}

// ---- Server control ----

QCoro::Task<bool> LocalModelSettingsController::reloadServer(const QString& model) {
    const auto guard = alive();
    const LogLimit limit = LogLimit::Operation;
    appendLine(loc("▶︎ mise à jour du LaunchAgent (modèle %1)").arg(model), limit);
    auto writing = QtConcurrent::run([model]() -> std::optional<QString> {
        try {
            LocalLLMInstaller::writeLaunchAgent(model);
            return std::nullopt;
        } catch (...) {
            return describeException(std::current_exception());
        }
    });
    const std::optional<QString> writeError = co_await writing;
    if (guard.expired())
        co_return false;
    if (writeError) {
        installError_ = *writeError;
        emit changed();
        co_return false;
    }
    try {
        co_await LocalLLMInstaller::reloadLaunchAgent(lineSink(limit));
    } catch (...) {
        if (!guard.expired()) {
            installError_ = describeException(std::current_exception());
            emit changed();
        }
        co_return false;
    }
    if (guard.expired())
        co_return false;
    appendLine(loc("✓ Modèle appliqué."), limit);
    co_return true;
}

QCoro::Task<> LocalModelSettingsController::restartServer() {
    if (serverOperationRunning())
        co_return;
    const auto guard = alive();
    isRestarting_ = true;
    emit changed();
    const bool reloaded = co_await reloadServer(AppSession::shared().localLLMModel());
    if (guard.expired())
        co_return;
    if (reloaded)
        co_await pollHealthUntilUp(timing_.restartPollSeconds);
    if (guard.expired())
        co_return;
    isRestarting_ = false;
    emit changed();
}

QCoro::Task<> LocalModelSettingsController::applyModel() {
    if (!canApply())
        co_return;
    const auto guard = alive();
    const QString model = AppSession::shared().localLLMModel();
    isApplying_ = true;
    clearLog();
    emit changed();
    bool reloaded = false;
    if (!LocalLLMCatalog::isSafeModelId(model)) {
        installError_ = LocalLLMCatalog::unsafeModelIdMessage(model);
    } else {
        reloaded = co_await reloadServer(model);
    }
    if (guard.expired())
        co_return;
    if (reloaded) {
        const QSet<QString> downloaded = co_await downloadedIdsOffThread();
        if (guard.expired())
            co_return;
        downloadedModelIds_ = downloaded;
        co_await pollHealthUntilUp(timing_.applyPollSeconds);
        if (guard.expired())
            co_return;
    }
    isApplying_ = false;
    emit changed();
}

// ---- Catalogue ----

QCoro::Task<> LocalModelSettingsController::download(LocalLLMModel model) {
    if (!rowActionsEnabled())
        co_return;
    const auto guard = alive();
    if (!LocalLLMCatalog::isSafeModelId(model.id)) {
        installError_ = LocalLLMCatalog::unsafeModelIdMessage(model.id);
        emit changed();
        co_return;
    }
    downloadingId_ = model.id;
    clearLog();
    emit changed();
    std::optional<QString> failure;
    try {
        co_await LocalLLMInstaller::downloadModel(model.id, lineSink(LogLimit::Operation));
    } catch (...) {
        failure = describeException(std::current_exception());
    }
    if (guard.expired())
        co_return;
    if (failure) {
        installError_ = *failure;
    } else {
        const QSet<QString> downloaded = co_await downloadedIdsOffThread();
        if (guard.expired())
            co_return;
        downloadedModelIds_ = downloaded;
    }
    downloadingId_.reset();
    emit changed();
}

void LocalModelSettingsController::requestDelete(const LocalLLMModel& model) {
    if (!rowActionsEnabled())
        return;
    pendingDeleteModel_ = model;
    emit changed();
}

void LocalModelSettingsController::cancelDelete() {
    pendingDeleteModel_.reset();
    emit changed();
}

QCoro::Task<> LocalModelSettingsController::confirmDelete() {
    if (!pendingDeleteModel_)
        co_return;
    const LocalLLMModel model = *pendingDeleteModel_;
    pendingDeleteModel_.reset();
    co_await deleteModel(model);
}

QCoro::Task<> LocalModelSettingsController::deleteModel(LocalLLMModel model) {
    if (!rowActionsEnabled())
        co_return;
    const auto guard = alive();
    installError_.reset();
    clearLog();
    deletingId_ = model.id;
    emit changed();
    // Gigabytes of weights: measured and removed on a worker thread.
    auto removal = QtConcurrent::run([id = model.id]() -> std::variant<qint64, QString> {
        try {
            return LocalLLMCatalog::deleteDownload(id);
        } catch (...) {
            return describeException(std::current_exception());
        }
    });
    const std::variant<qint64, QString> outcome = co_await removal;
    if (guard.expired())
        co_return;
    deletingId_.reset();
    if (const QString* error = std::get_if<QString>(&outcome)) {
        installError_ = loc("Suppression échouée : ") + *error;
        emit changed();
        co_return;
    }
    const qint64 freed = std::get<qint64>(outcome);
    const QSet<QString> downloaded = co_await downloadedIdsOffThread();
    if (guard.expired())
        co_return;
    downloadedModelIds_ = downloaded;
    installLog_.append(loc("✓ %1 supprimé (%2 MB libérés)")
                           .arg(model.displayName, QString::number(static_cast<double>(freed) / 1e6, 'f', 0)),
                       kOperationLogLines);
    AppSession& session = AppSession::shared();
    if (session.localLLMModel() == model.id)
        session.setLocalLLMModel(QString());
    if (session.selectedLocalModel() == model.id)
        session.setSelectedLocalModel(QString());
    emit changed();
}

// ---- Installation and diagnostics ----

QCoro::Task<> LocalModelSettingsController::runInstall() {
    if (!canInstall())
        co_return;
    const auto guard = alive();
    isInstalling_ = true;
    installError_.reset();
    clearLog();
    emit changed();
    std::optional<QString> failure;
    try {
        co_await LocalLLMInstaller::install(AppSession::shared().localLLMModel(),
                                            lineSink(LogLimit::Install));
    } catch (...) {
        failure = describeException(std::current_exception());
    }
    if (guard.expired())
        co_return;
    if (failure) {
        installError_ = *failure;
    } else {
        const LocalLLMInstaller::Status status = co_await LocalLLMInstaller::detectWithBackend();
        if (guard.expired())
            co_return;
        ++detectGeneration_;
        installStatus_ = status;
        emit changed();
        co_await pollHealthUntilUp(timing_.installPollSeconds);
        if (guard.expired())
            co_return;
    }
    isInstalling_ = false;
    emit changed();
}

QCoro::Task<> LocalModelSettingsController::redetect() {
    const auto guard = alive();
    const quint64 generation = ++detectGeneration_;
    const LocalLLMInstaller::Status status = co_await LocalLLMInstaller::detectWithBackend();
    // Only the latest detection publishes.
    if (guard.expired() || generation != detectGeneration_)
        co_return;
    installStatus_ = status;
    emit changed();
}

QCoro::Task<> LocalModelSettingsController::runTest() {
    if (!canTest())
        co_return;
    const auto guard = alive();
    isTesting_ = true;
    testOutput_.reset();
    testError_.reset();
    emit changed();
    const AppSession& session = AppSession::shared();
    const auto url = LocalHttp::joinedUrl(session.localLLMEndpoint(), QStringLiteral("/chat/completions"));
    if (!url) {
        testError_ = loc("URL invalide");
        isTesting_ = false;
        emit changed();
        co_return;
    }
    Json body = Json::object();
    body["model"] = json::str(session.localLLMModel());
    body["messages"] = Json::array({
        Json{{"role", "system"}, {"content", json::str(loc("Réponds en une phrase très courte."))}},
        Json{{"role", "user"}, {"content", json::str(loc("Dis bonjour en français. /no_think"))}},
    });
    body["max_tokens"] = 64;
    body["temperature"] = 0.2;
    HttpRequest request;
    request.url = *url;
    request.method = "POST";
    request.setHeader("Content-Type", "application/json");
    request.body = json::dump(body);
    request.timeoutMs = timing_.testTimeoutMs;

    QElapsedTimer clock;
    clock.start();
    try {
        BoundedAnswer answer =
            co_await fetchBounded(request, timing_.testTimeoutMs, kMaxAnswerBytes, nullptr);
        if (guard.expired())
            co_return;
        const int status = answer.status.value_or(-1);
        if (status >= 200 && status <= 299) {
            const qint64 elapsed = clock.elapsed();
            const auto content = answer.oversized ? std::nullopt : completionContent(answer.body);
            if (content)
                testOutput_ = QStringLiteral("✓ %1 ms — %2").arg(elapsed).arg(content->trimmed());
            else
                testOutput_ = loc("✓ %1 ms (réponse non décodée)").arg(elapsed);
        } else {
            testError_ = QStringLiteral("HTTP %1 : %2").arg(status).arg(errorBodyPrefix(answer.body));
        }
    } catch (...) {
        if (guard.expired())
            co_return;
        testError_ = describeException(std::current_exception());
    }
    isTesting_ = false;
    emit changed();
}

QCoro::Task<> LocalModelSettingsController::openLogs() {
    const QString path = logFilePath();
    const QFileInfo info(path);
    if (info.exists() && info.isFile()) {
        const bool opened = co_await DesktopOpener::shared().openDocument(path);
        Q_UNUSED(opened);
        co_return;
    }
    if (revealFolder_)
        revealFolder_(info.absolutePath());
}

void revealFolderInFileManager(const QString& folder) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(folder).toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 3000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [folder](QDBusPendingCallWatcher* w) {
                         if (w->isError()) {
                             qCInfo(lcSettings) << "no file manager answered; opening the log folder";
                             QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
                         }
                         w->deleteLater();
                     });
}

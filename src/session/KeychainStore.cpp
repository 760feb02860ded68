#include "session/KeychainStore.h"

#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/PresenceGate.h"
#include "platform/SecretStore.h"
#include "session/APIError.h"
#include "session/Models.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QPromise>
#include <QStringEncoder>

#include <QCoro/QCoroFuture>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

QString KeychainError::description() const {
    switch (kind_) {
    case Kind::Status:
        // Without a Secret Service nothing can be kept: say what the desktop lacks.
        if (code_ == SecretStatus::notAvailable)
            return loc("Aucun trousseau n'est disponible : Ombrix a besoin d'un service de secrets "
                       "(Secret Service) pour garder ton jeton. Installe ou démarre GNOME Keyring, "
                       "KWallet ou KeePassXC, puis réessaie.");
        return loc("Erreur Trousseau ") + QString::number(code_);
    case Kind::UnexpectedData:
        return loc("Le Trousseau a renvoyé des données inattendues");
    case Kind::AccessControlFailed:
        return loc("Impossible de configurer le contrôle d'accès du Trousseau");
    }
    return QString();
}

namespace {
const QString tokenService = QString::fromLatin1(KeychainStore::tokenService);
const QString tokenAccount = QString::fromLatin1(KeychainStore::tokenAccount);
const QString deviceIdService = QString::fromLatin1(KeychainStore::deviceIdService);
const QString deviceIdAccount = QString::fromLatin1(KeychainStore::deviceIdAccount);

bool highSecurityMode() {
    return DefaultsStore::shared()
        .boolValue(QString::fromLatin1(KeychainStore::highSecurityModeKey))
        .value_or(false);
}

// UTF-8 bytes of the text; nothing when it holds a lone surrogate.
std::optional<QByteArray> encodeUtf8Strict(const QString& text) {
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        return std::nullopt;
    return bytes;
}

std::optional<QString> readBridgeDeviceIdFromKeychain() {
    const SecretLookup found = SecretStore::sharedHandle()->find(deviceIdService, deviceIdAccount);
    if (found.status != SecretStatus::success || !found.item)
        return std::nullopt;
    std::optional<QString> id = decodeUtf8Strict(found.item->value);
    if (!id || id->isEmpty())
        return std::nullopt;
    return id;
}

bool writeBridgeDeviceIdToKeychain(const QString& id) {
    const std::optional<QByteArray> bytes = encodeUtf8Strict(id);
    if (!bytes)
        return false;
    const qint32 status = SecretStore::sharedHandle()->replace(deviceIdService, deviceIdAccount,
                                                               {*bytes, SecretProtection::AfterFirstUnlock});
    if (status != SecretStatus::success)
        qCWarning(lcKeychain) << "bridge device id not stored, status" << status;
    return status == SecretStatus::success;
}
} // namespace

namespace {
QString withdrawnKey() {
    return QString::fromLatin1(KeychainStore::tokenWithdrawnKey);
}

void setTokenWithdrawn(bool withdrawn) {
    DefaultsStore& defaults = DefaultsStore::shared();
    if (withdrawn)
        defaults.setBool(withdrawnKey(), true);
    else if (defaults.contains(withdrawnKey()))
        defaults.remove(withdrawnKey());
}
} // namespace

bool KeychainStore::tokenWithdrawn() {
    return DefaultsStore::shared().boolValue(withdrawnKey()).value_or(false);
}

std::optional<QString> KeychainStore::read(const QString& prompt) {
    // Signed out, though the store kept the item: it is not given back.
    if (tokenWithdrawn())
        return std::nullopt;
    const SecretLookup found = SecretStore::sharedHandle()->find(tokenService, tokenAccount);
    if (found.status != SecretStatus::success || !found.item)
        return std::nullopt;
    if (found.item->protection == SecretProtection::UserPresence) {
        // The protection belongs to the item: one saved with high security on stays
        // behind presence after the setting is turned off, asked with the default wording.
        const QString reason = highSecurityMode() ? prompt : PresenceGate::defaultReason();
        if (!PresenceGate::shared().confirm(reason))
            return std::nullopt;
    }
    return decodeUtf8Strict(found.item->value);
}

std::optional<QString> KeychainStore::readConfirmingPresence(const QString& prompt) {
    if (tokenWithdrawn())
        return std::nullopt;
    const SecretLookup found = SecretStore::sharedHandle()->find(tokenService, tokenAccount);
    if (found.status != SecretStatus::success || !found.item)
        return std::nullopt;
    if (!PresenceGate::shared().confirm(prompt))
        return std::nullopt;
    return decodeUtf8Strict(found.item->value);
}

void KeychainStore::save(const QString& token) {
    const std::optional<QByteArray> bytes = encodeUtf8Strict(token);
    if (!bytes)
        throw KeychainError::unexpectedData();
    const SecretProtection protection =
        highSecurityMode() ? SecretProtection::UserPresence : SecretProtection::AfterFirstUnlock;
    // Replaced in place: if the store refuses, the previous token is still there.
    const qint32 status =
        SecretStore::sharedHandle()->replace(tokenService, tokenAccount, {*bytes, protection});
    if (status != SecretStatus::success)
        throw KeychainError::status(status);
    setTokenWithdrawn(false);
}

void KeychainStore::remove() {
    const qint32 status = SecretStore::sharedHandle()->remove(tokenService, tokenAccount);
    if (status != SecretStatus::success && status != SecretStatus::itemNotFound) {
        // The item may still be there: the next start must not sign in with it.
        setTokenWithdrawn(true);
        qCWarning(lcKeychain) << "token not deleted, status" << status << "- marked as withdrawn";
        throw KeychainError::status(status);
    }
    setTokenWithdrawn(false);
}

void KeychainStore::removeIfHolds(const QString& token) {
    const SecretLookup found = SecretStore::sharedHandle()->find(tokenService, tokenAccount);
    if (found.status == SecretStatus::itemNotFound)
        return;
    if (found.status != SecretStatus::success || !found.item) {
        qCWarning(lcKeychain) << "stored token not compared, status" << found.status << "- left in place";
        return;
    }
    if (decodeUtf8Strict(found.item->value) != token)
        return; // another token was saved since
    remove();
}

QString KeychainStore::bridgeDeviceId() {
    // Two callers on different threads (the keychain's worker and a direct caller)
    // must not both find no id and make two: the look-up and the creation are one step.
    static std::mutex creation;
    std::lock_guard lock(creation);
    if (std::optional<QString> stored = readBridgeDeviceIdFromKeychain())
        return *stored;
    DefaultsStore& defaults = DefaultsStore::shared();
    const QString defaultsKey = QString::fromLatin1(deviceIdDefaultsKey);
    if (std::optional<QString> copy = defaults.string(defaultsKey); copy && !copy->isEmpty()) {
        writeBridgeDeviceIdToKeychain(*copy);
        return *copy;
    }
    const QString id = newUuidText();
    if (!writeBridgeDeviceIdToKeychain(id))
        defaults.setString(defaultsKey, id);
    return id;
}

namespace {
std::mutex cachedDeviceIdMutex;
std::optional<QString> cachedDeviceId;
} // namespace

QString KeychainStore::cachedBridgeDeviceId() {
    std::lock_guard lock(cachedDeviceIdMutex);
    if (!cachedDeviceId)
        cachedDeviceId = bridgeDeviceId();
    return *cachedDeviceId;
}

void KeychainStore::forgetCachedBridgeDeviceIdForTesting() {
    std::lock_guard lock(cachedDeviceIdMutex);
    cachedDeviceId.reset();
}

std::optional<QString> KeychainStore::knownBridgeDeviceId() {
    std::lock_guard lock(cachedDeviceIdMutex);
    return cachedDeviceId;
}

// ---- The worker thread -------------------------------------------------------------

struct KeychainWorker::State {
    struct Queued {
        Kind kind;
        const char* what;
        Job job;
    };

    std::mutex mutex;
    std::condition_variable wake; // to the thread: a job, or stop
    std::condition_variable idle; // from the thread: a job ended, or the thread did
    std::deque<Queued> queue;
    bool running = false;
    Kind runningKind = Kind::Read;
    const char* runningWhat = "";
    bool finishing = false;
    bool stop = false;
    bool exited = false;
    bool finished = false;
    bool ended = false; // what finish() answered
    std::thread thread;

    // Runs on the thread. Holds the state itself: a thread left behind at quit
    // still finds it.
    static void run(const std::shared_ptr<State>& self) {
        std::unique_lock lock(self->mutex);
        for (;;) {
            self->wake.wait(lock, [&] { return self->stop || !self->queue.empty(); });
            if (self->stop)
                break;
            Queued next = std::move(self->queue.front());
            self->queue.pop_front();
            self->running = true;
            self->runningKind = next.kind;
            self->runningWhat = next.what;
            lock.unlock();
            next.job(true);
            next.job = nullptr;
            lock.lock();
            self->running = false;
            self->idle.notify_all();
        }
        self->exited = true;
        self->idle.notify_all();
    }
};

namespace {
std::mutex installedMutex;
KeychainWorker* installed = nullptr;
KeychainWorker* madeOnFirstUse = nullptr;

void logUndone(const char* what) {
    qCWarning(lcKeychain).noquote() << "keychain write left undone at quit:" << what;
}
} // namespace

KeychainWorker::KeychainWorker()
    : state_(std::make_shared<State>()) {
    state_->thread = std::thread([state = state_] { State::run(state); });
    std::lock_guard lock(installedMutex);
    if (!installed)
        installed = this;
}

KeychainWorker::~KeychainWorker() {
    finish(kQuitBudget);
    std::lock_guard lock(installedMutex);
    if (installed == this)
        installed = nullptr;
}

KeychainWorker& KeychainWorker::current() {
    {
        std::lock_guard lock(installedMutex);
        if (installed)
            return *installed;
    }
    // None installed: one made here, which the program's end finishes
    // (endMadeOnFirstUse()).
    auto* made = new KeychainWorker();
    bool mine = false;
    {
        std::lock_guard lock(installedMutex);
        mine = installed == made;
        if (mine)
            madeOnFirstUse = made;
    }
    if (!mine) { // another thread installed one meanwhile
        delete made;
        return current();
    }
    return *made;
}

bool KeychainWorker::endMadeOnFirstUse() {
    KeychainWorker* worker = nullptr;
    {
        std::lock_guard lock(installedMutex);
        std::swap(worker, madeOnFirstUse);
    }
    if (!worker)
        return true;
    const bool ended = worker->finish();
    delete worker;
    return ended;
}

void KeychainWorker::post(Kind kind, const char* what, Job job) {
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->finishing) {
            state_->queue.push_back({kind, what, std::move(job)});
            state_->wake.notify_all();
            return;
        }
    }
    if (kind == Kind::Write)
        logUndone(what);
    job(false);
}

bool KeychainWorker::finish(std::chrono::milliseconds budget) {
    using Clock = std::chrono::steady_clock;
    // Past this, the thread is only given time to return from a cancelled call.
    constexpr std::chrono::milliseconds kCancelGrace{200};
    const Clock::time_point start = Clock::now();
    State& s = *state_;
    std::deque<State::Queued> dropped;
    std::unique_lock lock(s.mutex);
    if (s.finished)
        return s.ended;
    s.finished = s.finishing = true;
    for (auto it = s.queue.begin(); it != s.queue.end();) {
        if (it->kind == Kind::Read) {
            dropped.push_back(std::move(*it));
            it = s.queue.erase(it);
        } else {
            ++it;
        }
    }
    const auto writesDone = [&] { return s.queue.empty() && !(s.running && s.runningKind == Kind::Write); };
    const bool done = s.idle.wait_until(lock, start + budget - std::min(budget, kCancelGrace), writesDone);
    if (!done) {
        if (s.running && s.runningKind == Kind::Write)
            logUndone(s.runningWhat);
        for (State::Queued& left : s.queue) {
            logUndone(left.what);
            dropped.push_back(std::move(left));
        }
        s.queue.clear();
    }
    s.stop = true;
    s.wake.notify_all();
    const bool blocked = s.running;
    lock.unlock();
    for (State::Queued& job : dropped)
        job.job(false);
    dropped.clear();
    // A call that still waits on the keyring (stopped, or showing a prompt) is
    // cancelled, so that the thread can end.
    if (blocked)
        SecretStore::sharedHandle()->cancelPendingCalls();
    lock.lock();
    s.ended = s.idle.wait_until(lock, std::max(start + budget, Clock::now() + std::chrono::milliseconds(1)),
                                [&] { return s.exited; });
    lock.unlock();
    if (s.ended) {
        s.thread.join();
    } else {
        qCWarning(lcKeychain) << "the keychain thread is still blocked in the keyring: left behind at quit";
        s.thread.detach();
    }
    return s.ended;
}

namespace {
// What a call of the store gave: its value, or what it threw.
template <typename Result> struct Outcome {
    std::optional<Result> value;
    std::exception_ptr error;

    Result take() {
        if (error)
            std::rethrow_exception(error);
        return std::move(*value);
    }
};

// Starts a call of the store on the worker. A plain function: callers await the
// future as a named variable (a lambda or a temporary handed to a coroutine is not
// kept whole by every compiler). A call dropped at quit ends as cancelled.
template <typename Result, typename Call>
QFuture<Outcome<Result>> startOnKeychainThread(KeychainWorker::Kind kind, const char* what, Call call) {
    auto promise = std::make_shared<QPromise<Outcome<Result>>>();
    QFuture<Outcome<Result>> future = promise->future();
    promise->start();
    KeychainWorker::current().post(kind, what, [promise, call](bool run) {
        Outcome<Result> outcome;
        if (run) {
            try {
                outcome.value = call();
            } catch (...) {
                outcome.error = std::current_exception();
            }
        } else {
            outcome.error = std::make_exception_ptr(KeychainError::status(SecretStatus::cancelled));
        }
        promise->addResult(std::move(outcome));
        promise->finish();
    });
    return future;
}
} // namespace

QCoro::Task<std::optional<QString>> KeychainStore::readAsync(QString prompt) {
    QFuture<Outcome<std::optional<QString>>> running = startOnKeychainThread<std::optional<QString>>(
        KeychainWorker::Kind::Read, "token read", [prompt] { return read(prompt); });
    Outcome<std::optional<QString>> outcome = co_await running;
    co_return outcome.take();
}

QCoro::Task<std::optional<QString>> KeychainStore::readConfirmingPresenceAsync(QString prompt) {
    QFuture<Outcome<std::optional<QString>>> running = startOnKeychainThread<std::optional<QString>>(
        KeychainWorker::Kind::Read, "token read", [prompt] { return readConfirmingPresence(prompt); });
    Outcome<std::optional<QString>> outcome = co_await running;
    co_return outcome.take();
}

QCoro::Task<> KeychainStore::saveAsync(QString token) {
    QFuture<Outcome<bool>> running =
        startOnKeychainThread<bool>(KeychainWorker::Kind::Write, "token save", [token] {
            save(token);
            return true;
        });
    Outcome<bool> outcome = co_await running;
    outcome.take();
}

QCoro::Task<> KeychainStore::removeAsync() {
    QFuture<Outcome<bool>> running =
        startOnKeychainThread<bool>(KeychainWorker::Kind::Write, "token deletion", [] {
            remove();
            return true;
        });
    Outcome<bool> outcome = co_await running;
    outcome.take();
}

QCoro::Task<> KeychainStore::removeIfHoldsAsync(QString token) {
    QFuture<Outcome<bool>> running =
        startOnKeychainThread<bool>(KeychainWorker::Kind::Write, "deletion of a refused token", [token] {
            removeIfHolds(token);
            return true;
        });
    Outcome<bool> outcome = co_await running;
    outcome.take();
}

QCoro::Task<QString> KeychainStore::cachedBridgeDeviceIdAsync() {
    if (std::optional<QString> known = knownBridgeDeviceId())
        co_return *known;
    QFuture<Outcome<QString>> running = startOnKeychainThread<QString>(
        KeychainWorker::Kind::Read, "device id read", [] { return cachedBridgeDeviceId(); });
    Outcome<QString> outcome = co_await running;
    co_return outcome.take();
}

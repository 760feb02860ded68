#include "settings/GeneralSettingsController.h"

#include "platform/BuildConfig.h"
#include "platform/DefaultsStore.h"
#include "platform/Errors.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/APIService.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"

#include <QTimer>

namespace {

QString highSecurityKey() {
    return QString::fromLatin1(KeychainStore::highSecurityModeKey);
}

} // namespace

GeneralSettingsController::GeneralSettingsController(AppSession& session, QObject* parent)
    : QObject(parent)
    , session_(&session) {
    DefaultsStore& defaults = DefaultsStore::shared();
    highSecurityOn_ = defaults.boolValue(highSecurityKey()).value_or(false);
    quitConfirmationSuppressed_ =
        defaults.boolValue(QString::fromLatin1(kSuppressQuitConfirmationKey)).value_or(false);
    connect(&session, &AppSession::userTokenChanged, this, [this] {
        // The e-mail of a claim goes with the claimed token (sign-out, refusal, another token).
        if (pairSuccessEmail_ && (!session_ || session_->userToken() != pairedToken_)) {
            pairSuccessEmail_.reset();
            pairedToken_.clear();
        }
        emit changed();
    });
    connect(&session, &AppSession::userEmailChanged, this, &GeneralSettingsController::changed);
}

QString GeneralSettingsController::pairingFooterSignedIn() {
    return loc("Pour changer de compte, déconnecte-toi puis recommence avec un nouveau code.");
}

QString GeneralSettingsController::pairingFooterSignedOut() {
    return loc("Ouvre ") + BuildConfig::current().productDomain +
           loc("/devices/pair sur un navigateur où tu es connecté, puis copie ici le code à 8 caractères "
               "affiché.");
}

QString GeneralSettingsController::keychainBusyText() {
    return loc("Accès au trousseau en cours…");
}

QString GeneralSettingsController::keychainFailureText() {
    return loc(
        "Impossible d'enregistrer le jeton dans le Trousseau. Essaie de désactiver « Mode haute sécurité ».");
}

bool GeneralSettingsController::isAuthenticated() const {
    return session_ && session_->isAuthenticated();
}

QString GeneralSettingsController::signedInEmail() const {
    if (pairSuccessEmail_)
        return *pairSuccessEmail_;
    if (session_ && session_->userEmail())
        return *session_->userEmail();
    return QStringLiteral("…");
}

bool GeneralSettingsController::canClaim() const {
    return !isPairingLoading_ && !pairCode_.trimmed().isEmpty();
}

void GeneralSettingsController::setPairCode(const QString& code) {
    pairCode_ = code;
    pairError_.reset();
    emit changed();
}

void GeneralSettingsController::setTokenDraft(const QString& text) {
    tokenDraft_ = text;
    tokenDraftEdited_ = true;
    emit changed();
}

QCoro::Task<> GeneralSettingsController::claimPairingCode() {
    const QString code = pairCode_.trimmed();
    if (code.isEmpty() || isPairingLoading_)
        co_return;
    isPairingLoading_ = true;
    pairError_.reset();
    pairSuccessEmail_.reset();
    emit changed();

    QPointer<GeneralSettingsController> self(this);
    QPointer<AppSession> session = session_;
    std::optional<APIService::PairingClaimResponse> claimed;
    QString failure;
    try {
        APIService::PairingClaimResponse response = co_await APIService::claimPairing(code);
        claimed = std::move(response);
    } catch (...) {
        failure = describeException(std::current_exception());
    }
    // The session stores the token even if the tab went away meanwhile.
    bool stored = false;
    if (claimed && session)
        stored = co_await session->setToken(claimed->user_token);
    if (!self)
        co_return;
    if (!claimed) {
        pairError_ = failure;
    } else if (stored) {
        pairSuccessEmail_ = claimed->email;
        pairedToken_ = claimed->user_token.trimmed();
        pairCode_.clear();
        tokenDraft_.clear();
    } else {
        pairError_ = session && session->lastError() ? *session->lastError() : keychainFailureText();
    }
    isPairingLoading_ = false;
    emit changed();
}

QCoro::Task<> GeneralSettingsController::forgetToken() {
    QPointer<GeneralSettingsController> self(this);
    QPointer<AppSession> session = session_;
    ++keychainBusy_;
    emit changed();
    bool removed = true;
    if (session)
        removed = co_await session->setToken(QString());
    if (!self)
        co_return;
    --keychainBusy_;
    // Signed out, but the keychain kept the item: the tab says so.
    if (!removed)
        tokenError_ = session ? session->lastError().value_or(AppSession::tokenKeptText())
                              : AppSession::tokenKeptText();
    emit changed();
}

QCoro::Task<> GeneralSettingsController::signOut() {
    pairSuccessEmail_.reset();
    pairedToken_.clear();
    tokenError_.reset();
    tokenDraft_.clear();
    co_await forgetToken();
}

void GeneralSettingsController::scrubTokenDraft() {
    tokenDraft_.fill(QLatin1Char('0'));
    tokenDraft_.clear();
}

QCoro::Task<> GeneralSettingsController::saveToken() {
    if (!session_ || isKeychainBusy())
        co_return;
    QPointer<GeneralSettingsController> self(this);
    QPointer<AppSession> session = session_;
    ++keychainBusy_;
    emit changed();
    const QString draft = tokenDraft_;
    const bool stored = co_await session->setToken(draft);
    if (!self)
        co_return;
    --keychainBusy_;
    if (!stored) {
        // Refused: say why, and keep the text so that nothing typed is lost.
        tokenError_ = session ? session->lastError().value_or(keychainFailureText()) : keychainFailureText();
        emit changed();
        co_return;
    }
    tokenError_.reset();
    // What was typed while the keychain answered stays.
    if (tokenDraft_ == draft)
        scrubTokenDraft();
    savedFlash_ = true;
    emit changed();
    QTimer::singleShot(kSavedFlashMs, this, [this] {
        savedFlash_ = false;
        emit changed();
    });
}

QCoro::Task<> GeneralSettingsController::clearToken() {
    tokenDraft_.clear();
    tokenError_.reset();
    co_await forgetToken();
}

QCoro::Task<> GeneralSettingsController::setHighSecurity(bool on) {
    if (on == highSecurityOn_ || isKeychainBusy())
        co_return;
    QPointer<GeneralSettingsController> self(this);
    QPointer<AppSession> session = session_;
    const bool previous = highSecurityOn_;
    DefaultsStore& defaults = DefaultsStore::shared();
    defaults.setBool(highSecurityKey(), on);
    highSecurityOn_ = on;
    securityError_.reset();
    // Saved again so that the item carries the new protection. A refused save keeps
    // the previous item (saved with the previous protection): the setting goes back.
    const std::optional<QString> token = session ? session->userToken() : std::nullopt;
    if (!token || token->isEmpty()) {
        emit changed();
        co_return;
    }
    ++keychainBusy_;
    emit changed();
    const bool stored = co_await session->setToken(*token);
    if (!self)
        co_return;
    --keychainBusy_;
    if (!stored) {
        defaults.setBool(highSecurityKey(), previous);
        highSecurityOn_ = previous;
        securityError_ =
            session ? session->lastError().value_or(keychainFailureText()) : keychainFailureText();
        qCWarning(lcSettings) << "High-security mode change undone: the token could not be saved again";
    }
    emit changed();
}

void GeneralSettingsController::reenableQuitConfirmation() {
    DefaultsStore::shared().remove(QString::fromLatin1(kSuppressQuitConfirmationKey));
    quitConfirmationSuppressed_ = false;
    emit changed();
}

QCoro::Task<> GeneralSettingsController::loadTokenDraft() {
    QPointer<GeneralSettingsController> self(this);
    const QString prompt = loc("Authentifie-toi pour accéder à Ombrix");
    const std::optional<QString> token = co_await KeychainStore::readAsync(prompt);
    if (!self || tokenDraftEdited_)
        co_return;
    tokenDraft_ = token.value_or(QString());
    emit changed();
}

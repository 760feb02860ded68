#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

class AppSession;

// The account part of the General tab: pairing with a code, signing out, the
// manual token, the high-security mode and the quit-confirmation reset. Holds the
// tab's view state; `changed()` follows every change of it. GUI thread only.
class GeneralSettingsController : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kSuppressQuitConfirmationKey = "suppressQuitConfirmation";
    static constexpr int kSavedFlashMs = 1500;

    // Reads highSecurityMode and suppressQuitConfirmation once. The token draft is
    // read later, with loadTokenDraft(), once the tab is shown.
    explicit GeneralSettingsController(AppSession& session, QObject* parent = nullptr);

    // ---- View state ------------------------------------------------------------
    bool isAuthenticated() const;
    // The e-mail of the signed-in row: the last claim's, else the session's, else "…".
    QString signedInEmail() const;
    const QString& pairCode() const { return pairCode_; }
    bool isPairingLoading() const { return isPairingLoading_; }
    std::optional<QString> pairSuccessEmail() const { return pairSuccessEmail_; }
    std::optional<QString> pairError() const { return pairError_; }
    bool canClaim() const;
    const QString& tokenDraft() const { return tokenDraft_; }
    bool savedFlash() const { return savedFlash_; }
    // Why the last save of the manual token was refused, or that a sign-out or
    // clear left the token in the keychain.
    std::optional<QString> tokenError() const { return tokenError_; }
    bool highSecurityOn() const { return highSecurityOn_; }
    // Why the last change of the high-security mode was undone.
    std::optional<QString> securityError() const { return securityError_; }
    bool quitConfirmationSuppressed() const { return quitConfirmationSuppressed_; }
    // A save, clear, sign-out or high-security change waits for the keychain: their
    // controls are disabled meanwhile and the tab says it is busy.
    bool isKeychainBusy() const { return keychainBusy_ > 0; }
    static QString keychainBusyText();

    static QString pairingFooterSignedIn();
    static QString pairingFooterSignedOut();
    static QString keychainFailureText();

    // ---- Actions -----------------------------------------------------------------
    void setPairCode(const QString& code);
    void setTokenDraft(const QString& text);
    // Claims the trimmed pairing code, then signs in with the token it gives. Runs to
    // its end even when the tab goes away (the token is then still stored).
    QCoro::Task<> claimPairingCode();
    // These four write the keychain on its worker thread and end once it answered.
    QCoro::Task<> signOut();
    QCoro::Task<> saveToken();
    QCoro::Task<> clearToken();
    QCoro::Task<> setHighSecurity(bool on);
    void reenableQuitConfirmation();
    // Fills the token field from the keychain, off the GUI thread (with high security
    // on, the presence dialog may be asked). Text typed meanwhile is kept.
    QCoro::Task<> loadTokenDraft();

signals:
    void changed();

private:
    void scrubTokenDraft();

    QPointer<AppSession> session_;
    QString tokenDraft_;
    bool tokenDraftEdited_ = false;
    bool savedFlash_ = false;
    std::optional<QString> tokenError_;
    bool highSecurityOn_ = false;
    std::optional<QString> securityError_;
    bool quitConfirmationSuppressed_ = false;
    // Signs out (the keychain's item goes), the controls busy meanwhile.
    QCoro::Task<> forgetToken();

    int keychainBusy_ = 0;
    QString pairCode_;
    bool isPairingLoading_ = false;
    std::optional<QString> pairSuccessEmail_;
    QString pairedToken_; // the token of pairSuccessEmail_
    std::optional<QString> pairError_;
};

#include "settings/widgets/GeneralSettingsTab.h"

#include "platform/Tasks.h"

#include "platform/Localization.h"
#include "platform/widgets/SymbolIcon.h"
#include "session/AppSession.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>

#include <QCoro/QCoroTask>

using SettingsForm::caption;
using SettingsForm::Role;

namespace {

// Runs a task to its end without anyone awaiting it; failures are the task's own.
QPushButton* redButton(const QString& text) {
    auto* button = new QPushButton(text);
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, SettingsForm::colorOf(Role::Red));
    button->setPalette(palette);
    return button;
}

QProgressBar* smallProgress() {
    auto* progress = new QProgressBar;
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    progress->setFixedSize(28, 8);
    return progress;
}

QLabel* symbolLabel(const QString& symbol, int size, Role role) {
    auto* label = new QLabel;
    label->setPixmap(SettingsForm::tintedSymbol(symbol, size, SettingsForm::colorOf(role)));
    return label;
}

void setComboValue(QComboBox* combo, const QVariant& value) {
    const int index = combo->findData(value);
    if (index >= 0)
        combo->setCurrentIndex(index);
}

} // namespace

GeneralSettingsTab::GeneralSettingsTab(AppSession& session, QWidget* parent)
    : QWidget(parent)
    , session_(session)
    , account_(session)
    , voice_(session) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    QVBoxLayout* page = nullptr;
    outer->addWidget(SettingsForm::makePage(this, &page));
    buildAccount(page);
    buildSummonAndVoice(page);
    page->addStretch(1);
    connect(&account_, &GeneralSettingsController::changed, this, &GeneralSettingsTab::refresh);
    connect(&voice_, &VoiceSettingsController::changed, this, &GeneralSettingsTab::refresh);
    refresh();
}

void GeneralSettingsTab::buildAccount(QVBoxLayout* page) {
    // 1. Appairage
    QVBoxLayout* pairing = SettingsForm::addSection(page, loc("Appairage"), QString(), &pairingFooter_);
    signedInRow_ = new QWidget;
    {
        auto* row = new QHBoxLayout(signedInRow_);
        row->setContentsMargins(0, 0, 0, 0);
        auto* check = symbolLabel(QStringLiteral("checkmark.circle.fill"), 20, Role::Green);
        row->addWidget(check);
        auto* column = new QVBoxLayout;
        column->setSpacing(2);
        auto* title = new QLabel(loc("Appairé"));
        QFont font = title->font();
        font.setWeight(QFont::Medium);
        title->setFont(font);
        column->addWidget(title);
        emailLabel_ = caption(QString());
        column->addWidget(emailLabel_);
        row->addLayout(column);
        row->addStretch(1);
        signOutButton_ = redButton(loc("Se déconnecter"));
        row->addWidget(signOutButton_);
    }
    pairing->addWidget(signedInRow_);
    signedOutRows_ = new QWidget;
    {
        auto* rows = new QVBoxLayout(signedOutRows_);
        rows->setContentsMargins(0, 0, 0, 0);
        pairCodeField_ = new QLineEdit;
        pairCodeField_->setPlaceholderText(loc("Code à 8 caractères"));
        rows->addWidget(pairCodeField_);
        auto* row = new QHBoxLayout;
        pairButton_ = new QPushButton(loc("Appairer"));
        pairButton_->setDefault(true);
        row->addWidget(pairButton_);
        pairProgress_ = smallProgress();
        row->addWidget(pairProgress_);
        pairErrorLabel_ = caption(QString(), Role::Red);
        pairErrorLabel_->setMaximumHeight(pairErrorLabel_->fontMetrics().lineSpacing() * 2 + 2);
        row->addWidget(pairErrorLabel_, 1);
        row->addStretch(0);
        rows->addLayout(row);
    }
    pairing->addWidget(signedOutRows_);
    connect(signOutButton_, &QPushButton::clicked, this, [this] { detachTask(account_.signOut()); });
    connect(pairCodeField_, &QLineEdit::textEdited, &account_, &GeneralSettingsController::setPairCode);
    auto claim = [this] {
        if (account_.canClaim())
            detachTask(account_.claimPairingCode());
    };
    connect(pairButton_, &QPushButton::clicked, this, claim);
    connect(pairCodeField_, &QLineEdit::returnPressed, this, claim);

    // 2. Jeton manuel (avancé)
    QVBoxLayout* token =
        SettingsForm::addSection(page, loc("Jeton manuel (avancé)"),
                                 loc("Si tu préfères : colle un X-User-Token déjà émis par le backend."));
    {
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(QStringLiteral("X-User-Token")));
        tokenField_ = new QLineEdit;
        tokenField_->setEchoMode(QLineEdit::Password);
        row->addWidget(tokenField_, 1);
        token->addLayout(row);
    }
    {
        auto* row = new QHBoxLayout;
        saveButton_ = new QPushButton(loc("Enregistrer"));
        row->addWidget(saveButton_);
        savedLabel_ = new QWidget;
        auto* saved = new QHBoxLayout(savedLabel_);
        saved->setContentsMargins(0, 0, 0, 0);
        saved->setSpacing(4);
        saved->addWidget(symbolLabel(QStringLiteral("checkmark.circle.fill"), 14, Role::Green));
        saved->addWidget(caption(loc("Enregistré"), Role::Green));
        row->addWidget(savedLabel_);
        row->addStretch(1);
        clearButton_ = redButton(loc("Effacer"));
        row->addWidget(clearButton_);
        token->addLayout(row);
        tokenErrorLabel_ = caption(QString(), Role::Red);
        token->addWidget(tokenErrorLabel_);
    }
    connect(tokenField_, &QLineEdit::textEdited, &account_, &GeneralSettingsController::setTokenDraft);
    connect(saveButton_, &QPushButton::clicked, this, [this] { detachTask(account_.saveToken()); });
    connect(clearButton_, &QPushButton::clicked, this, [this] { detachTask(account_.clearToken()); });

    // 3. Sécurité
    QVBoxLayout* security = SettingsForm::addSection(page, loc("Sécurité"));
    highSecurityToggle_ = new QCheckBox(loc("Mode haute sécurité"));
    security->addWidget(highSecurityToggle_);
    security->addWidget(caption(loc(
        "Exige Touch ID / Apple Watch / mot de passe Mac à chaque lecture du jeton depuis le Trousseau.")));
    securityErrorLabel_ = caption(QString(), Role::Red);
    security->addWidget(securityErrorLabel_);
    keychainBusyLabel_ = caption(GeneralSettingsController::keychainBusyText());
    security->addWidget(keychainBusyLabel_);
    quitRow_ = new QWidget;
    {
        auto* column = new QVBoxLayout(quitRow_);
        column->setContentsMargins(0, 0, 0, 0);
        auto* line = new QFrame;
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        column->addWidget(line);
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(loc("Confirmation avant de quitter désactivée.")));
        row->addStretch(1);
        reenableButton_ = new QPushButton(loc("Réactiver"));
        QFont font = reenableButton_->font();
        font.setPointSizeF(font.pointSizeF() * 0.85);
        reenableButton_->setFont(font);
        row->addWidget(reenableButton_);
        column->addLayout(row);
    }
    security->addWidget(quitRow_);
    connect(highSecurityToggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_)
            detachTask(account_.setHighSecurity(on));
    });
    connect(reenableButton_, &QPushButton::clicked, &account_,
            &GeneralSettingsController::reenableQuitConfirmation);
}

void GeneralSettingsTab::buildSummonAndVoice(QVBoxLayout* page) {
    // 4. Raccourci global
    QVBoxLayout* summon = SettingsForm::addSection(page, loc("Raccourci global"));
    doubleCommandToggle_ = new QCheckBox(loc("Double ⌘"));
    summon->addWidget(doubleCommandToggle_);
    auto* form = new QFormLayout;
    summonBehaviorPicker_ = new QComboBox;
    for (SummonBehavior value : allCases<SummonBehavior>())
        summonBehaviorPicker_->addItem(label(value), int(value));
    form->addRow(loc("Au double ⌘"), summonBehaviorPicker_);
    fallbackPicker_ = new QComboBox;
    for (SummonFallbackShortcut value : allCases<SummonFallbackShortcut>())
        fallbackPicker_->addItem(label(value), int(value));
    form->addRow(loc("Alias global de secours"), fallbackPicker_);
    summon->addLayout(form);
    summonExplanation_ = caption(QString());
    summon->addWidget(summonExplanation_);
    permissionButton_ = new QPushButton(loc("Demander l'autorisation…"));
    QFont small = permissionButton_->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    permissionButton_->setFont(small);
    permissionButton_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    summon->addWidget(permissionButton_);
    summonStatus_ = caption(QString());
    summon->addWidget(summonStatus_);
    connect(doubleCommandToggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_)
            session_.setDoubleCommandEnabled(on);
    });
    connect(summonBehaviorPicker_, &QComboBox::activated, this, [this](int index) {
        session_.setSummonBehavior(SummonBehavior(summonBehaviorPicker_->itemData(index).toInt()));
    });
    connect(fallbackPicker_, &QComboBox::activated, this, [this](int index) {
        session_.setSummonFallbackShortcut(SummonFallbackShortcut(fallbackPicker_->itemData(index).toInt()));
    });
    connect(permissionButton_, &QPushButton::clicked, &voice_, &VoiceSettingsController::requestPermission);

    // 5. Mode vocal
    QVBoxLayout* mode = SettingsForm::addSection(page, loc("Mode vocal"));
    voiceModePicker_ = new SegmentedPicker;
    for (VoiceMode value : allCases<VoiceMode>())
        voiceModePicker_->addItem(label(value), int(value));
    mode->addWidget(voiceModePicker_);
    voiceModeDescription_ = caption(QString());
    mode->addWidget(voiceModeDescription_);
    connect(voiceModePicker_, &SegmentedPicker::valueChosen, this,
            [this](const QVariant& value) { session_.setVoiceMode(VoiceMode(value.toInt())); });

    // 6. Transcription
    QVBoxLayout* transcription = SettingsForm::addSection(page, loc("Transcription"));
    transcriptionToggle_ = new QCheckBox(loc("Transcription Whisper"));
    transcription->addWidget(transcriptionToggle_);
    transcription->addWidget(caption(VoiceSettingsController::transcriptionHint()));
    connect(transcriptionToggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_)
            session_.setWhisperTranscription(on);
    });

    // 7. Sortie audio (push-to-talk)
    QVBoxLayout* output = SettingsForm::addSection(page, loc("Sortie audio (push-to-talk)"));
    audioOutputPicker_ = new SegmentedPicker;
    for (AudioOutput value : allCases<AudioOutput>())
        audioOutputPicker_->addItem(label(value), int(value));
    output->addWidget(audioOutputPicker_);
    audioOutputDescription_ = caption(QString());
    output->addWidget(audioOutputDescription_);
    connect(audioOutputPicker_, &SegmentedPicker::valueChosen, this,
            [this](const QVariant& value) { session_.setAudioOutput(AudioOutput(value.toInt())); });

    // 8. Voix de la réponse
    QVBoxLayout* voiceSection = SettingsForm::addSection(page, loc("Voix de la réponse"));
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(loc("Voix")));
    voicePicker_ = new QComboBox;
    row->addWidget(voicePicker_, 1);
    previewFace_ = new QStackedWidget;
    previewButton_ = new QToolButton;
    previewButton_->setAutoRaise(true);
    previewButton_->setIcon(symbolIcon(QStringLiteral("play.circle.fill")));
    previewButton_->setToolTip(loc("Écouter un échantillon"));
    previewFace_->addWidget(previewButton_);
    previewFace_->addWidget(smallProgress());
    previewFace_->setFixedSize(32, 24);
    row->addWidget(previewFace_);
    voiceSection->addLayout(row);
    voiceSection->addWidget(caption(VoiceSettingsController::voiceHint()));
    connect(voicePicker_, &QComboBox::activated, this,
            [this](int index) { session_.setAudioVoice(voicePicker_->itemData(index).toString()); });
    connect(previewButton_, &QToolButton::clicked, this,
            [this] { detachTask(voice_.previewVoice(session_.audioVoice())); });
}

void GeneralSettingsTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!draftRequested_) {
        draftRequested_ = true;
        detachTask(account_.loadTokenDraft());
    }
}

void GeneralSettingsTab::refresh() {
    refreshing_ = true;
    // Account
    const bool signedIn = account_.isAuthenticated();
    signedInRow_->setVisible(signedIn);
    signedOutRows_->setVisible(!signedIn);
    emailLabel_->setText(account_.signedInEmail());
    if (pairCodeField_->text() != account_.pairCode())
        pairCodeField_->setText(account_.pairCode());
    pairCodeField_->setEnabled(!account_.isPairingLoading());
    pairButton_->setEnabled(account_.canClaim());
    pairProgress_->setVisible(account_.isPairingLoading());
    pairErrorLabel_->setText(account_.pairError().value_or(QString()));
    pairErrorLabel_->setVisible(account_.pairError().has_value());
    pairingFooter_->setText(signedIn ? GeneralSettingsController::pairingFooterSignedIn()
                                     : GeneralSettingsController::pairingFooterSignedOut());
    if (tokenField_->text() != account_.tokenDraft())
        tokenField_->setText(account_.tokenDraft());
    savedLabel_->setVisible(account_.savedFlash());
    // While the keychain answers, its controls wait and say so.
    const bool keychainBusy = account_.isKeychainBusy();
    saveButton_->setEnabled(!keychainBusy);
    clearButton_->setEnabled(!keychainBusy);
    signOutButton_->setEnabled(!keychainBusy);
    highSecurityToggle_->setEnabled(!keychainBusy);
    keychainBusyLabel_->setVisible(keychainBusy);
    tokenErrorLabel_->setText(account_.tokenError().value_or(QString()));
    tokenErrorLabel_->setVisible(account_.tokenError().has_value());
    highSecurityToggle_->setChecked(account_.highSecurityOn());
    securityErrorLabel_->setText(account_.securityError().value_or(QString()));
    securityErrorLabel_->setVisible(account_.securityError().has_value());
    quitRow_->setVisible(account_.quitConfirmationSuppressed());

    // Summon
    doubleCommandToggle_->setChecked(session_.doubleCommandEnabled());
    setComboValue(summonBehaviorPicker_, int(session_.summonBehavior()));
    setComboValue(fallbackPicker_, int(session_.summonFallbackShortcut()));
    summonBehaviorPicker_->setEnabled(voice_.summonPickersEnabled());
    fallbackPicker_->setEnabled(voice_.summonPickersEnabled());
    summonExplanation_->setText(voice_.summonExplanation());
    SettingsForm::setRole(summonExplanation_,
                          voice_.showsPermissionRequest() ? Role::Orange : Role::Secondary);
    permissionButton_->setVisible(voice_.showsPermissionRequest());
    summonStatus_->setText(voice_.summonStatusLine().value_or(QString()));
    summonStatus_->setVisible(voice_.summonStatusLine().has_value());

    // Voice
    voiceModePicker_->setCurrentValue(int(session_.voiceMode()));
    voiceModeDescription_->setText(voice_.voiceModeDescription());
    transcriptionToggle_->setChecked(session_.whisperTranscription());
    audioOutputPicker_->setCurrentValue(int(session_.audioOutput()));
    audioOutputPicker_->setEnabled(voice_.audioOutputEnabled());
    audioOutputDescription_->setText(voice_.audioOutputDescription());
    // Refilled only when its items change, so that an open list stays open.
    const auto items = voice_.voiceItems();
    QStringList signature;
    for (const auto& item : items)
        signature << (item.separatorBefore ? QStringLiteral("|") : QString()) + item.label +
                         QLatin1Char('=') + item.value;
    if (signature != voiceItemsSignature_) {
        voiceItemsSignature_ = signature;
        voicePicker_->clear();
        for (const auto& item : items) {
            if (item.separatorBefore)
                voicePicker_->insertSeparator(voicePicker_->count());
            voicePicker_->addItem(item.label, item.value);
        }
    }
    if (voicePicker_->currentData() != QVariant(session_.audioVoice()))
        setComboValue(voicePicker_, session_.audioVoice());
    previewFace_->setCurrentIndex(voice_.isPreviewLoading() ? 1 : 0);
    previewButton_->setEnabled(!voice_.isPreviewLoading());
    refreshing_ = false;
}

#pragma once

#include "settings/GeneralSettingsController.h"
#include "settings/VoiceSettingsController.h"
#include "settings/widgets/SettingsForm.h"

#include <QWidget>

class AppSession;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QToolButton;

// The "Général" tab: account (pairing, manual token, security), then the summon
// and voice settings. The token field is filled from the keychain once the tab is
// first shown.
class GeneralSettingsTab : public QWidget {
    Q_OBJECT
public:
    explicit GeneralSettingsTab(AppSession& session, QWidget* parent = nullptr);

    GeneralSettingsController& account() { return account_; }
    VoiceSettingsController& voice() { return voice_; }

    // The parts tests click and read.
    QWidget* signedInRow() const { return signedInRow_; }
    QLabel* emailLabel() const { return emailLabel_; }
    QPushButton* signOutButton() const { return signOutButton_; }
    QLineEdit* pairCodeField() const { return pairCodeField_; }
    QPushButton* pairButton() const { return pairButton_; }
    QLabel* pairErrorLabel() const { return pairErrorLabel_; }
    QLabel* pairingFooter() const { return pairingFooter_; }
    QLineEdit* tokenField() const { return tokenField_; }
    QPushButton* saveButton() const { return saveButton_; }
    QWidget* savedLabel() const { return savedLabel_; }
    QLabel* tokenErrorLabel() const { return tokenErrorLabel_; }
    QPushButton* clearButton() const { return clearButton_; }
    QCheckBox* highSecurityToggle() const { return highSecurityToggle_; }
    QLabel* securityErrorLabel() const { return securityErrorLabel_; }
    QLabel* keychainBusyLabel() const { return keychainBusyLabel_; }
    QWidget* quitRow() const { return quitRow_; }
    QPushButton* reenableButton() const { return reenableButton_; }
    QCheckBox* doubleCommandToggle() const { return doubleCommandToggle_; }
    QComboBox* summonBehaviorPicker() const { return summonBehaviorPicker_; }
    QComboBox* fallbackPicker() const { return fallbackPicker_; }
    QLabel* summonExplanationLabel() const { return summonExplanation_; }
    QPushButton* permissionButton() const { return permissionButton_; }
    QLabel* summonStatusLabel() const { return summonStatus_; }
    SegmentedPicker* voiceModePicker() const { return voiceModePicker_; }
    QCheckBox* transcriptionToggle() const { return transcriptionToggle_; }
    SegmentedPicker* audioOutputPicker() const { return audioOutputPicker_; }
    QLabel* audioOutputLabel() const { return audioOutputDescription_; }
    QComboBox* voicePicker() const { return voicePicker_; }
    QToolButton* previewButton() const { return previewButton_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildAccount(QVBoxLayout* page);
    void buildSummonAndVoice(QVBoxLayout* page);
    void refresh();

    AppSession& session_;
    GeneralSettingsController account_;
    VoiceSettingsController voice_;
    bool draftRequested_ = false;
    bool refreshing_ = false;

    QWidget* signedInRow_ = nullptr;
    QLabel* emailLabel_ = nullptr;
    QPushButton* signOutButton_ = nullptr;
    QWidget* signedOutRows_ = nullptr;
    QLineEdit* pairCodeField_ = nullptr;
    QPushButton* pairButton_ = nullptr;
    QProgressBar* pairProgress_ = nullptr;
    QLabel* pairErrorLabel_ = nullptr;
    QLabel* pairingFooter_ = nullptr;
    QLineEdit* tokenField_ = nullptr;
    QPushButton* saveButton_ = nullptr;
    QWidget* savedLabel_ = nullptr;
    QLabel* tokenErrorLabel_ = nullptr;
    QPushButton* clearButton_ = nullptr;
    QCheckBox* highSecurityToggle_ = nullptr;
    QLabel* securityErrorLabel_ = nullptr;
    QLabel* keychainBusyLabel_ = nullptr;
    QStringList voiceItemsSignature_;
    QWidget* quitRow_ = nullptr;
    QPushButton* reenableButton_ = nullptr;
    QCheckBox* doubleCommandToggle_ = nullptr;
    QComboBox* summonBehaviorPicker_ = nullptr;
    QComboBox* fallbackPicker_ = nullptr;
    QLabel* summonExplanation_ = nullptr;
    QPushButton* permissionButton_ = nullptr;
    QLabel* summonStatus_ = nullptr;
    SegmentedPicker* voiceModePicker_ = nullptr;
    QLabel* voiceModeDescription_ = nullptr;
    QCheckBox* transcriptionToggle_ = nullptr;
    SegmentedPicker* audioOutputPicker_ = nullptr;
    QLabel* audioOutputDescription_ = nullptr;
    QComboBox* voicePicker_ = nullptr;
    QStackedWidget* previewFace_ = nullptr;
    QToolButton* previewButton_ = nullptr;
};

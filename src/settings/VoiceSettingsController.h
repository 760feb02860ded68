#pragma once

#include "session/Models.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

class AppSession;

// The summon and voice part of the General tab: what each section shows and
// enables, the permission request through the summon monitor, and the voice
// sample played through VoiceSamplePlayer. The settings themselves live in the
// session; `changed()` follows them and the preview state. GUI thread only.
class VoiceSettingsController : public QObject {
    Q_OBJECT
public:
    struct VoiceItem {
        QString label;
        QString value;
        bool separatorBefore = false;
    };

    explicit VoiceSettingsController(AppSession& session, QObject* parent = nullptr);

    // ---- Summon ("Raccourci global") -------------------------------------------
    bool summonPickersEnabled() const;
    // The text under the pickers: the permission sentence or the warning for the
    // chosen alias; "Le raccourci global est désactivé." when off.
    QString summonExplanation() const;
    // Whether the "Demander l'autorisation…" button is shown.
    bool showsPermissionRequest() const;
    // "État actuel : …" when the monitor published a status and the summon is on.
    std::optional<QString> summonStatusLine() const;
    void requestPermission();

    // ---- Voice -------------------------------------------------------------------
    QString voiceModeDescription() const;
    bool audioOutputEnabled() const;
    QString audioOutputDescription() const;
    // The items of the "Voix" picker; a stored voice that is none of them comes
    // first, shown with its raw id, so that the picker never hides what is stored.
    QList<VoiceItem> voiceItems() const;
    static QList<VoiceItem> standardVoiceItems();

    // ---- Voice sample --------------------------------------------------------------
    bool isPreviewLoading() const { return isPreviewLoading_; }
    // Fetches the sample of `slug` ("alloy" when empty) and plays it in place of the
    // one playing. Failures end silently. Runs to its end even if the tab goes away.
    QCoro::Task<> previewVoice(QString slug);

    static QString transcriptionHint();
    static QString voiceHint();

signals:
    void changed();

private:
    QPointer<AppSession> session_;
    bool isPreviewLoading_ = false;
};

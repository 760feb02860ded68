#include "settings/VoiceSettingsController.h"

#include "app/DoubleCommandMonitor.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/APIService.h"
#include "session/AppSession.h"
#include "settings/VoiceSamplePlayer.h"

#include <algorithm>

namespace {

// Standard Base64 as strictly as the other platform reads it: the alphabet and
// the padding only, a length that is a multiple of four, nothing else.
std::optional<QByteArray> decodeStrictBase64(const QString& text) {
    const QByteArray ascii = text.toLatin1();
    if (ascii.isEmpty() || ascii.size() % 4 != 0 || QString::fromLatin1(ascii) != text)
        return std::nullopt;
    auto result = QByteArray::fromBase64Encoding(ascii, QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return *result;
}

} // namespace

VoiceSettingsController::VoiceSettingsController(AppSession& session, QObject* parent)
    : QObject(parent)
    , session_(&session) {
    for (auto signal :
         {&AppSession::doubleCommandEnabledChanged, &AppSession::summonBehaviorChanged,
          &AppSession::summonFallbackShortcutChanged, &AppSession::globalShortcutPermissionGrantedChanged,
          &AppSession::globalShortcutStatusMessageChanged, &AppSession::voiceModeChanged,
          &AppSession::whisperTranscriptionChanged, &AppSession::audioOutputChanged,
          &AppSession::audioVoiceChanged})
        connect(&session, signal, this, &VoiceSettingsController::changed);
}

bool VoiceSettingsController::summonPickersEnabled() const {
    return session_ && session_->doubleCommandEnabled();
}

QString VoiceSettingsController::summonExplanation() const {
    if (!summonPickersEnabled())
        return loc("Le raccourci global est désactivé.");
    if (session_->globalShortcutPermissionGranted())
        return loc(
            "Ombrix écoute un double appui isolé sur ⌘ pour ouvrir ou fermer sa fenêtre depuis n'importe "
            "quelle app.");
    if (session_->summonFallbackShortcut() == SummonFallbackShortcut::CommandJ)
        return loc(
            "Sans l'autorisation macOS d'écoute clavier globale, le double ⌘ ne marche que quand Ombrix a "
            "déjà le focus. En attendant, Ombrix active un alias global ⌘J. Autorise Ombrix dans Réglages "
            "Système > Confidentialité et sécurité > Surveillance de l’entrée pour retrouver le vrai double "
            "⌘ partout.");
    return loc(
        "Sans l'autorisation macOS d'écoute clavier globale, le double ⌘ ne marche que quand Ombrix a déjà "
        "le focus. Autorise Ombrix dans Réglages Système > Confidentialité et sécurité > Surveillance de "
        "l’entrée pour retrouver le vrai double ⌘ partout.");
}

bool VoiceSettingsController::showsPermissionRequest() const {
    return summonPickersEnabled() && !session_->globalShortcutPermissionGranted();
}

std::optional<QString> VoiceSettingsController::summonStatusLine() const {
    if (!summonPickersEnabled() || !session_->globalShortcutStatusMessage())
        return std::nullopt;
    return loc("État actuel : ") + *session_->globalShortcutStatusMessage();
}

void VoiceSettingsController::requestPermission() {
    DoubleCommandMonitor::shared().requestGlobalShortcutPermission();
}

QString VoiceSettingsController::voiceModeDescription() const {
    return session_ ? description(session_->voiceMode()) : QString();
}

bool VoiceSettingsController::audioOutputEnabled() const {
    return session_ && session_->voiceMode() != VoiceMode::Realtime;
}

QString VoiceSettingsController::audioOutputDescription() const {
    if (!session_)
        return QString();
    if (session_->voiceMode() == VoiceMode::Realtime)
        return loc("En mode Temps réel, la voix est toujours celle du modèle.");
    return description(session_->audioOutput());
}

QList<VoiceSettingsController::VoiceItem> VoiceSettingsController::standardVoiceItems() {
    QList<VoiceItem> items = {
        {loc("Par défaut (alloy)"), QString()},
        {loc("Cedar — recommandée"), QStringLiteral("cedar")},
        {loc("Marin — recommandée"), QStringLiteral("marin")},
    };
    bool first = true;
    for (const char* id :
         {"alloy", "ash", "ballad", "coral", "echo", "fable", "nova", "onyx", "sage", "shimmer", "verse"}) {
        const QString value = QString::fromLatin1(id);
        items.append({value.left(1).toUpper() + value.mid(1).toLower(), value, first});
        first = false;
    }
    return items;
}

QList<VoiceSettingsController::VoiceItem> VoiceSettingsController::voiceItems() const {
    QList<VoiceItem> items = standardVoiceItems();
    const QString stored = session_ ? session_->audioVoice() : QString();
    const bool known =
        std::any_of(items.begin(), items.end(), [&](const VoiceItem& item) { return item.value == stored; });
    if (!known)
        items.prepend({stored, stored});
    return items;
}

QString VoiceSettingsController::transcriptionHint() {
    return loc("Si désactivée, le serveur saute Whisper et laisse gpt-audio tout faire. Tu ne verras plus la "
               "transcription côté client.");
}

QString VoiceSettingsController::voiceHint() {
    return loc("Voix utilisée par OpenAI pour les réponses vocales (push-to-talk et Temps réel).");
}

QCoro::Task<> VoiceSettingsController::previewVoice(QString slug) {
    if (isPreviewLoading_)
        co_return;
    if (slug.isEmpty())
        slug = QStringLiteral("alloy");
    isPreviewLoading_ = true;
    emit changed();

    QPointer<VoiceSettingsController> self(this);
    const APIService api(session_ ? session_->userToken() : std::nullopt);
    std::optional<APIService::VoiceSampleResponse> sample;
    try {
        APIService::VoiceSampleResponse response = co_await api.fetchVoiceSample(slug);
        sample = std::move(response);
    } catch (...) {
        qCInfo(lcSettings) << "Voice sample not available:" << describeException(std::current_exception());
    }
    if (sample) {
        // The sample playing ends only now that the new one has arrived.
        VoiceSamplePlayer& player = VoiceSamplePlayer::shared();
        player.stop();
        if (const std::optional<QByteArray> audio = decodeStrictBase64(sample->audio_base64))
            player.play(*audio);
        else
            qCInfo(lcSettings) << "Voice sample not played: its Base64 text is invalid";
    }
    if (!self)
        co_return;
    isPreviewLoading_ = false;
    emit changed();
}

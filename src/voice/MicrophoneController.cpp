#include "voice/MicrophoneController.h"

#include "platform/Errors.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/AppSession.h"

#include <QFile>
#include <QPointer>

MicrophoneController::MicrophoneController(AppSession& session, QObject* parent)
    : QObject(parent)
    , session_(session)
    , status_(loc("Appuie pour parler")) {
    connect(&recorder_, &AudioRecorder::isRecordingChanged, this, &MicrophoneController::changed);
    connect(&recorder_, &AudioRecorder::levelChanged, this, &MicrophoneController::changed);
    connect(&synth_, &SpeechSynth::isSpeakingChanged, this, &MicrophoneController::changed);
    connect(&player_, &AudioPlayer::isPlayingChanged, this, &MicrophoneController::changed);
    connect(&session_, &AppSession::audioOutputChanged, this, &MicrophoneController::changed);
}

MicrophoneController::~MicrophoneController() {
    blockSignals(true); // nothing is published from a screen being destroyed
    ++generation_;
    recorder_.discard();
}

QString MicrophoneController::primaryLabel() const {
    if (recorder_.isRecording())
        return loc("À l'écoute…");
    if (isVoicing())
        return loc("Ombrix parle…");
    return status_;
}

QString MicrophoneController::secondaryLabel() const {
    if (recorder_.isRecording())
        return loc("Appuie pour arrêter");
    if (isVoicing())
        return loc("Appuie pour couper");
    return loc("Mode push-to-talk · %1").arg(label(session_.audioOutput()));
}

bool MicrophoneController::orbActive() const {
    return recorder_.isRecording() || isVoicing();
}

QString MicrophoneController::orbSymbol() const {
    return orbActive() ? QStringLiteral("waveform") : QStringLiteral("mic.fill");
}

void MicrophoneController::cutVoice() {
    synth_.stop();
    synth_.setIsSpeaking(false);
    player_.stop();
}

void MicrophoneController::toggle() {
    if (isBusy_ || starting_)
        return; // the orb is dimmed, or a recording is already being started
    if (isVoicing()) {
        cutVoice();
        setStatus(loc("Appuie pour parler"));
        return;
    }
    if (recorder_.isRecording()) {
        handOn();
        return;
    }
    startRecording(generation_);
}

void MicrophoneController::handOn() {
    const bool transcribe = session_.whisperTranscription();
    std::optional<qint64> recordingMs;
    if (recordingStartedAt_)
        recordingMs = recordingStartedAt_->nsecsElapsed() / 1000000;
    recordingStartedAt_.reset();
    const bool audio =
        session_.audioOutput() != AudioOutput::Local && session_.provider() == Provider::OpenAI;
    handleRecording(generation_, transcribe, recordingMs, audio);
}

void MicrophoneController::screenHidden() {
    if (recorder_.isRecording())
        handOn();
}

QCoro::Task<> MicrophoneController::startRecording(quint64 generation) {
    QPointer<MicrophoneController> self(this);
    starting_ = true;
    const bool granted = co_await recorder_.requestPermission();
    if (!self || generation != generation_)
        co_return;
    starting_ = false;
    if (!granted) {
        setStatus(loc("Accès microphone refusé"));
        co_return;
    }
    setReply(QString());
    setStatus(loc("À l'écoute…"));
    try {
        recorder_.start();
    } catch (const OmbrixError& error) {
        setStatus(error.description());
        co_return;
    }
    recordingStartedAt_.emplace();
    recordingStartedAt_->start();
}

QCoro::Task<> MicrophoneController::handleRecording(quint64 generation, bool transcribe,
                                                    std::optional<qint64> recordingMs, bool audio) {
    QPointer<MicrophoneController> self(this);
    setStatus(transcribe ? loc("Transcription…") : loc("Envoi…"));
    setReply(QString());
    setBusy(true);
    std::optional<QString> path;
    try {
        path = co_await recorder_.stop();
    } catch (...) {
        // The file could not be finished (it is gone already): the turn ends on its error.
        const QString text = describeException(std::current_exception());
        if (self && generation == generation_) {
            setStatus(text);
            setBusy(false);
            emit turnFinished();
        }
        co_return;
    }
    if (!self || generation != generation_) {
        if (path)
            QFile::remove(*path);
        co_return;
    }
    if (!path) {
        setStatus(loc("Appuie pour parler"));
        setBusy(false);
        emit turnFinished();
        co_return;
    }
    const QString file = *path;
    try {
        const APIService api(session_.userToken());
        const RecordingResult upload =
            co_await api.uploadRecording(file, QStringLiteral("fr-FR"), transcribe, recordingMs);
        if (self && generation == generation_) {
            setStatus(loc("Réflexion…"));
            const Provider provider = session_.provider();
            QString voice = session_.audioVoice();
            if (voice.isEmpty())
                voice = QStringLiteral("alloy");
            std::optional<QString> localModel;
            std::optional<QString> cloudModel;
            if (provider == Provider::Local)
                localModel = session_.selectedLocalModel();
            else
                cloudModel = session_.selectedCloudModel();
            const APIService::VoiceReply answer =
                co_await api.sendVoiceQuery(upload.id, upload.transcription, provider, audio, voice,
                                            upload.uploadMs, localModel, cloudModel);
            if (self && generation == generation_) {
                setReply(answer.text);
                setStatus(loc("Appuie pour parler"));
                co_await speakReply(generation, answer);
                if (self && generation == generation_)
                    setBusy(false);
            }
        }
    } catch (...) {
        const QString text = describeException(std::current_exception());
        if (self && generation == generation_) {
            setStatus(text);
            setBusy(false);
        }
    }
    QFile::remove(file);
    if (self && generation == generation_)
        emit turnFinished();
}

QCoro::Task<> MicrophoneController::speakReply(quint64 generation, APIService::VoiceReply answer) {
    QPointer<MicrophoneController> self(this);
    // Only one voice at a time: what still plays of an earlier reply is cut.
    cutVoice();
    if (session_.audioOutput() != AudioOutput::Local && answer.audioBase64) {
        if (const std::optional<QByteArray> bytes = AudioPlayer::strictBase64(*answer.audioBase64)) {
            const bool playing = co_await player_.play(*bytes);
            if (!self || generation != generation_ || playing)
                co_return;
        }
    }
    synth_.speak(answer.text, QStringLiteral("fr-FR"));
}

void MicrophoneController::leave() {
    ++generation_;
    starting_ = false;
    recordingStartedAt_.reset();
    recorder_.discard();
    cutVoice();
    setBusy(false);
}

void MicrophoneController::setStatus(const QString& value) {
    status_ = value;
    emit changed();
}

void MicrophoneController::setReply(const QString& value) {
    reply_ = value;
    emit changed();
}

void MicrophoneController::setBusy(bool value) {
    isBusy_ = value;
    emit changed();
}

#pragma once

#include "session/APIService.h"
#include "voice/AudioPlayer.h"
#include "voice/AudioRecorder.h"
#include "voice/SpeechSynth.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

class AppSession;

// The push-to-talk screen without its widgets: one tap records, the next one
// uploads the recording and asks the backend for a reply, which is shown and
// voiced (the backend's audio when allowed and playable, speech otherwise); a tap
// while the reply is voiced cuts it off. changed() is emitted whenever anything
// shown may have changed.
class MicrophoneController : public QObject {
    Q_OBJECT

public:
    explicit MicrophoneController(AppSession& session, QObject* parent = nullptr);
    ~MicrophoneController() override;

    AudioRecorder& recorder() { return recorder_; }
    SpeechSynth& synth() { return synth_; }
    AudioPlayer& player() { return player_; }

    QString status() const { return status_; }
    QString reply() const { return reply_; }
    bool isBusy() const { return isBusy_; }
    bool isVoicing() const { return synth_.isSpeaking() || player_.isPlaying(); }

    QString primaryLabel() const;
    QString secondaryLabel() const;
    bool orbActive() const;
    float orbLevel() const { return recorder_.level(); }
    QString orbSymbol() const;

    // The orb's tap.
    void toggle();
    // The screen was hidden (the popover closed): a recording running is handed on
    // as a tap would, so the microphone does not stay open unseen; an upload, a
    // query or a reply being voiced goes on and lands on the screen.
    void screenHidden();
    // The screen goes away for good (it is destroyed): the recording stops and its
    // file is deleted, the voice is cut, and a turn still under way finishes
    // (deleting its file) without writing to the screen.
    void leave();

    // Whether a recording is being started (permission asked, microphone opening).
    bool isStarting() const { return starting_; }

signals:
    void changed();
    // A turn ended (reply voiced or failed); for tests and measurements.
    void turnFinished();

private:
    QCoro::Task<> startRecording(quint64 generation);
    QCoro::Task<> handleRecording(quint64 generation, bool transcribe, std::optional<qint64> recordingMs,
                                  bool audio);
    QCoro::Task<> speakReply(quint64 generation, APIService::VoiceReply answer);
    // Stops the running recording and hands the file on (upload, query, reply).
    void handOn();
    void setStatus(const QString& value);
    void setReply(const QString& value);
    void setBusy(bool value);
    void cutVoice();

    AppSession& session_;
    AudioRecorder recorder_;
    SpeechSynth synth_;
    AudioPlayer player_;
    QString status_;
    QString reply_;
    bool isBusy_ = false;
    bool starting_ = false;
    std::optional<QElapsedTimer> recordingStartedAt_;
    // Bumped when the screen goes away: a road of an older generation writes nothing.
    quint64 generation_ = 0;
};

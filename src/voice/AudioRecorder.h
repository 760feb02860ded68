#pragma once

#include "voice/AudioDevices.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <QCoro/QCoroTask>

#include <memory>
#include <optional>

class AacFileWriter;

// Records one utterance from the default microphone into an AAC file
// ("ombrix-<UUID>.m4a", mode 0600, in the private recordings folder; 44.1 kHz mono)
// and publishes whether it records and the input level (0…1, every 0.1 s). The PCM
// is encoded on a worker thread; the level is measured on the GUI thread from the
// same PCM. The caller owns the finished file and deletes it after the turn.
class AudioRecorder : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(float level READ level NOTIFY levelChanged)

public:
    static constexpr const char* kErrorDomain = "OmbrixMac.AudioRecorder";
    static constexpr int kLevelIntervalMs = 100;

    explicit AudioRecorder(QObject* parent = nullptr);
    ~AudioRecorder() override;

    bool isRecording() const { return isRecording_; }
    float level() const { return level_; }
    // Samples the microphone has given the running recording so far.
    qint64 recordedSamples() const { return recordedSamples_; }

    // Whether a microphone exists: this desktop asks no permission of its own.
    QCoro::Task<bool> requestPermission();

    // Starts a recording and returns its file's path. Throws VoiceError code 1
    // ("Impossible de préparer l'enregistrement": no microphone, the file or the
    // encoder cannot be made) or code 2 ("Démarrage de l'enregistrement refusé": the
    // microphone refuses to start). A failed start leaves everything as it was.
    QString start();

    // Ends the recording at once (isRecording false, level 0, published also when
    // nothing ran) and returns its path once the file is complete; nothing when no
    // recording ran. Throws VoiceError code 3 ("Impossible de terminer
    // l'enregistrement") when the file could not be completed (encoder or disk
    // error), and code 4 ("Enregistrement trop court") when the microphone gave
    // no audio at all (two taps in one turn of the event loop); the file is then
    // deleted.
    QCoro::Task<std::optional<QString>> stop();

    // Ends the recording and deletes its file (the screen went away).
    void discard();

    // The recordings folder of this user and display, inside the private runtime
    // folder (0700, checked to be ours; made when missing); empty when refused.
    static QString recordingsFolder(QString* why = nullptr);
    // Deletes the recordings an earlier run left there (a crash); called once at
    // start by the running program. Returns how many were removed.
    static int removeLeftovers();

    // The level for an average power in dBFS: (power + 60) / 60 within 0…1.
    static float levelForPower(double powerDb);
    // The average power of 16-bit samples in dBFS (-160 for silence or nothing).
    static double averagePowerDb(double sumOfSquares, qint64 count);

signals:
    void isRecordingChanged();
    void levelChanged();

private:
    struct Encoding;
    void setRecording(bool value);
    void setLevel(float value);
    void onPcm(const QByteArray& pcm);
    void onLevelTick();
    std::shared_ptr<Encoding> finishRunning();

    bool isRecording_ = false;
    float level_ = 0;
    std::unique_ptr<AudioInputStream> input_;
    std::shared_ptr<Encoding> encoding_;
    QTimer levelTimer_;
    double sumOfSquares_ = 0;
    qint64 sampleCount_ = 0;
    qint64 recordedSamples_ = 0; // in the running recording
};

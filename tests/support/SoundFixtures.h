#pragma once

#include "voice/AudioDevices.h"

#include <QByteArray>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <memory>

// Whether the private sound server of scripts/with-sound.sh runs for this process.
bool soundServerAvailable();
#define SKIP_WITHOUT_SOUND_SERVER()                                                                          \
    do {                                                                                                     \
        if (!soundServerAvailable())                                                                         \
            GTEST_SKIP() << "no private sound server: run under scripts/with-sound.sh (package pulseaudio)"; \
    } while (0)

// 16-bit PCM of a sine (amplitude 0…1 of full scale), the same on every channel.
QByteArray sinePcm(PcmFormat format, double frequency, double amplitude, int ms);
QByteArray silencePcm(PcmFormat format, int ms);
// Root mean square of 16-bit PCM, 0…1 of full scale.
double rmsOf(const QByteArray& pcm);
// A WAV file holding the PCM.
QByteArray wavFile(PcmFormat format, const QByteArray& pcm);
// The root mean square of the loudest stretch of `ms` in the PCM (0 when shorter),
// whatever silence lies around it.
double loudestRms(const QByteArray& pcm, PcmFormat format, int ms);

// The playback and capture streams that the process `pid` holds open on the private
// sound server ("sink-input N", "source-output N"), as the server lists them.
QStringList soundStreamsOf(qint64 pid);

// Records what the private server's speaker plays (its monitor), as 16-bit PCM in
// `format`, through `parec`.
class SinkCapture {
public:
    explicit SinkCapture(PcmFormat format = {24000, 1});
    ~SinkCapture();
    bool start();
    QByteArray stop();
    // What arrived so far.
    QByteArray captured();
    PcmFormat format() const { return format_; }

private:
    PcmFormat format_;
    QProcess process_;
    QByteArray bytes_;
};

// Plays PCM into the private server's speaker (`pacat`), so that it also reaches
// the microphone. Returns at once; finished() says whether it ended.
class SinkPlayer {
public:
    bool play(const QByteArray& pcm, PcmFormat format);
    bool finished() const { return process_.state() == QProcess::NotRunning; }
    void waitFinished();
    ~SinkPlayer();

private:
    QProcess process_;
};

// Scripted sound devices: a microphone that delivers a sine (or silence) in real
// time, and speakers that take their fifo in real time and keep what they took.
class FakeAudioDevices : public AudioDevices {
public:
    struct Output {
        PcmFormat format;
        QByteArray played;
        bool stopped = false;
        bool drained = false;
    };

    bool microphone = true;
    bool microphoneStarts = true;
    bool speakers = true;
    PcmFormat inputFormat{48000, 2};
    bool honourWantedFormat = true; // false: the microphone gives inputFormat whatever is asked
    std::shared_ptr<int> runningInputs = std::make_shared<int>(0);
    double inputAmplitude = 0.5;
    // Audio delivered per 20 ms tick (more than 20 runs the microphone faster than real time).
    int inputMsPerTick = 20;
    // Numbered pieces: the first sample of each piece is its number (1, 2, 3…).
    bool numberPieces = false;
    int inputsOpened = 0;
    std::vector<std::shared_ptr<Output>> outputs;

    bool hasInput() override { return microphone; }
    std::unique_ptr<AudioInputStream> openInput(std::optional<PcmFormat> wanted) override;
    std::unique_ptr<AudioOutputStream> openOutput(PcmFormat format) override;

    // The outputs still playing.
    int playingOutputs() const;
    // The running microphones or speakers break, as a device that goes away does.
    void failInputs();
    void failOutputs();

private:
    std::vector<QPointer<AudioInputStream>> inputs_;
    std::vector<QPointer<AudioOutputStream>> outputStreams_;
};

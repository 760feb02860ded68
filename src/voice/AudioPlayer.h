#pragma once

#include "voice/AudioDevices.h"

#include <QByteArray>
#include <QObject>

#include <QCoro/QCoroTask>

#include <memory>
#include <optional>

// Plays one block of audio bytes (any container and codec libavformat reads: the
// backend's spoken reply, the Settings window's voice sample) and publishes whether
// it plays. Decoding runs on the thread pool. Only a playback that started sets
// isPlaying; its end, a device failure or stop() clear it.
class AudioPlayer : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)

public:
    explicit AudioPlayer(QObject* parent = nullptr);
    ~AudioPlayer() override;

    bool isPlaying() const { return isPlaying_; }

    // Stops what plays (and any playback still being decoded), then decodes `bytes`
    // and plays them. True when playback started; false when the bytes do not
    // decode, the speaker refuses, or a later stop() or play() came first.
    QCoro::Task<bool> play(QByteArray bytes);
    // Stops the playback, if any; isPlaying becomes false (published also when nothing played).
    void stop();

    // Standard base64 decoded strictly: any character outside the alphabet (line
    // breaks included) or a wrong padding gives nothing. An empty text gives nothing.
    static std::optional<QByteArray> strictBase64(const QString& text);

    // Monotonic nanoseconds when the speaker first took samples of the current
    // playback (0 before); for measurements.
    qint64 firstSampleNs() const { return fifo_ ? fifo_->firstReadNs() : 0; }

signals:
    void isPlayingChanged();

private:
    void setPlaying(bool value);
    void releaseOutput();

    bool isPlaying_ = false;
    quint64 generation_ = 0;
    std::unique_ptr<AudioOutputStream> output_;
    std::shared_ptr<PcmFifo> fifo_;
};

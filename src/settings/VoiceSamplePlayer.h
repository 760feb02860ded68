#pragma once

#include <QByteArray>

#include <memory>

// Plays the voice samples of the Settings window: whole audio files (the format is
// recognised from the bytes), one at a time.
class VoiceSamplePlayer {
public:
    virtual ~VoiceSamplePlayer() = default;
    // Starts playing the audio file in `audio`. False when the bytes cannot be read as
    // audio or playback cannot start; nothing plays then.
    virtual bool play(const QByteArray& audio) = 0;
    // Ends the sample playing, if any.
    virtual void stop() = 0;

    // The process-wide player (until an audio output is connected, one that refuses
    // to play); replaceable.
    static VoiceSamplePlayer& shared();
    static void setShared(std::shared_ptr<VoiceSamplePlayer> player);
};

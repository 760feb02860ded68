#pragma once

#include "platform/Errors.h"
#include "voice/AudioDevices.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

class PcmResampler;
class AacEncoder;

// The codecs come from the audio codec module (FFmpeg), loaded on first use: every
// constructor or call below that needs it throws ModuleError when it is missing.

// Converts 16-bit PCM between rates and channel counts (libswresample). Keeps its
// filter state between calls, so a stream converted piece by piece sounds the same
// as converted whole.
class PcmConverter {
public:
    PcmConverter(PcmFormat from, PcmFormat to);
    ~PcmConverter();
    PcmConverter(const PcmConverter&) = delete;
    PcmConverter& operator=(const PcmConverter&) = delete;

    bool isValid() const { return impl_ != nullptr; }
    PcmFormat from() const { return from_; }
    PcmFormat to() const { return to_; }
    // Converts whole frames of `from`; an odd tail is ignored.
    QByteArray convert(const QByteArray& pcm);
    // What the filter still holds at the end of the stream.
    QByteArray flush();

private:
    PcmFormat from_;
    PcmFormat to_;
    std::unique_ptr<PcmResampler> impl_;
};

// Writes AAC-LC, 44,100 Hz, mono, in an MPEG-4 (.m4a) file from 16-bit PCM of any
// rate and channel count. Blocking and single-threaded: the recorder runs it on a
// worker thread.
class AacFileWriter {
public:
    static constexpr int kSampleRate = 44100;
    static constexpr int kBitRate = 96000;

    AacFileWriter();
    ~AacFileWriter();
    AacFileWriter(const AacFileWriter&) = delete;
    AacFileWriter& operator=(const AacFileWriter&) = delete;

    // Creates the file and the encoder for PCM in `input`. False (with the reason in
    // the log) when either cannot be made; ModuleError without the codec module.
    bool open(const QString& path, PcmFormat input);
    bool write(const QByteArray& pcm);
    // Encodes what remains and writes the file's index. The writer is closed after.
    bool finish();
    // Closes without finishing (the file is left as it is; the caller deletes it).
    void abandon();
    qint64 framesWritten() const;

private:
    std::unique_ptr<AacEncoder> impl_;
};

// Audio decoded to 16-bit PCM in its own rate, at most two channels.
struct DecodedAudio {
    PcmFormat format;
    QByteArray pcm;
    QString codecName;
    qint64 durationMs() const;
};

// Bytes that hold no audio libavformat can read, or hold too much of it.
class AudioDecodeError : public OmbrixError {
public:
    explicit AudioDecodeError(QString detail)
        : detail_(std::move(detail)) {}
    QString description() const override;
    QString detail() const { return detail_; }

private:
    QString detail_;
};

// Decodes a whole audio file held in memory (any container and codec libavformat
// reads). Nothing outside the bytes is ever opened. Stops with AudioDecodeError
// beyond maxDurationMs of audio (ModuleError without the codec module). Blocking:
// run it off the GUI thread.
DecodedAudio decodeAudio(const QByteArray& bytes, qint64 maxDurationMs = 15 * 60 * 1000);

#pragma once

#include "voice/AudioDevices.h"

#include <QByteArray>
#include <QString>

#include <memory>

// The interface of the audio codec module (libombrix_audiocodec.so, FFmpeg),
// loaded on first use through Modules. AudioCodec.h is what the program uses.

class PcmResampler {
public:
    virtual ~PcmResampler() = default;
    virtual QByteArray convert(const QByteArray& pcm) = 0;
    virtual QByteArray flush() = 0;
};

class AacEncoder {
public:
    virtual ~AacEncoder() = default;
    // False with the reason in `why` when the file or the encoder cannot be made.
    virtual bool open(const QString& path, PcmFormat input, QString* why) = 0;
    virtual bool write(const QByteArray& pcm) = 0;
    virtual bool finish() = 0;
    virtual void abandon() = 0;
    virtual qint64 framesWritten() const = 0;
};

struct AudioDecoding {
    bool ok = false;
    PcmFormat format;
    QByteArray pcm;
    QString codecName;
    QString error; // why it failed, in libav's words
};

class AudioCodecModule {
public:
    // Null when the formats cannot be converted.
    virtual std::unique_ptr<PcmResampler> resampler(PcmFormat from, PcmFormat to) = 0;
    virtual std::unique_ptr<AacEncoder> aacEncoder(int sampleRate, int bitRate) = 0;
    virtual AudioDecoding decode(const QByteArray& bytes, qint64 maxDurationMs) = 0;

protected:
    ~AudioCodecModule() = default;
};

// The loaded module; throws ModuleError when it is missing.
AudioCodecModule& audioCodecModule();

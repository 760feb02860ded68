#pragma once

#include "voice/AudioDevices.h"

#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The interface of the sound device module (libombrix_sound.so, Qt Multimedia and
// the sound server's client libraries), loaded on first use through Modules.
// AudioDevices is what the program uses. Every object lives on the thread that
// made it (the GUI thread).

class SoundSource {
public:
    virtual ~SoundSource() = default;
    // Starts the capture with a buffer of `bufferBytes`; the device to read from
    // (the source's own), nothing when it refuses (the reason in `why`).
    virtual QIODevice* start(qint64 bufferBytes, QString* why) = 0;
    virtual void stop() = 0;
    // Called when the capture stops on an error (the device went away or broke).
    virtual void onFailure(std::function<void(const QString& why)> callback) = 0;
};

class SoundSink {
public:
    virtual ~SoundSink() = default;
    // Starts playing what `source` gives; false when the device refuses (the reason in `why`).
    virtual bool start(QIODevice* source, QString* why) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
    // Why the sink stopped, when it stopped on an error other than running dry.
    virtual std::optional<QString> failure() const = 0;
    virtual void onStateChanged(std::function<void()> callback) = 0;
};

class SoundModule {
public:
    virtual bool hasInput() = 0;
    // The format the default microphone captures in: `wanted` when it takes it,
    // else its own rate and channel count (one or two); nothing without a microphone.
    virtual std::optional<PcmFormat> inputFormat(std::optional<PcmFormat> wanted) = 0;
    virtual std::unique_ptr<SoundSource> openInput(PcmFormat format) = 0;
    // The default speaker for this format with a buffer of `bufferBytes`; nothing
    // when there is none or it does not take the format.
    virtual std::unique_ptr<SoundSink> openOutput(PcmFormat format, qint64 bufferBytes) = 0;

protected:
    ~SoundModule() = default;
};

// The loaded module; throws ModuleError when it is missing.
SoundModule& soundModule();

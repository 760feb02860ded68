#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

// The interface of the speech module (libombrix_speech.so, eSpeak NG), loaded on
// first use through Modules. SpeechSynth is what the program uses. eSpeak NG is
// one global engine: callers hold one lock around every call.

struct SpeechEngineVoice {
    QString name;
    QString identifier;
    QString language; // eSpeak NG's form: "fr", "fr-be"
};

class SpeechModule {
public:
    // The engine's sample rate (mono 16-bit); 0 when it cannot start.
    virtual int sampleRate() = 0;
    // The installed voices (MBROLA ones left out), in eSpeak NG's order.
    virtual QList<SpeechEngineVoice> voices() = 0;
    // Synthesises `utf8` with the voice `identifier` (empty, or unknown: the first
    // voice of `language`), handing the samples to `sink` as they come; stops when
    // `sink` returns false.
    virtual void synthesize(const QByteArray& utf8, const QByteArray& identifier, const QByteArray& language,
                            const std::function<bool(const short* samples, int count)>& sink) = 0;

protected:
    ~SpeechModule() = default;
};

// The loaded module; throws ModuleError when it is missing.
SpeechModule& speechModule();

// The speech module: eSpeak NG behind the interface of voice/SpeechModule.h.
// Links eSpeak NG and Qt only.
#include "platform/ModuleExport.h"
#include "voice/SpeechModule.h"

#include <espeak-ng/speak_lib.h>

namespace {

thread_local const std::function<bool(const short*, int)>* currentSink = nullptr;

int synthCallback(short* wav, int samples, espeak_EVENT*) {
    const std::function<bool(const short*, int)>* sink = currentSink;
    if (!sink)
        return 1; // abort
    if (wav && samples > 0 && !(*sink)(wav, samples))
        return 1;
    return 0;
}

class EspeakModule final : public SpeechModule {
public:
    int sampleRate() override {
        if (rate_ < 0) {
            rate_ = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 100, nullptr, espeakINITIALIZE_DONT_EXIT);
            if (rate_ <= 0)
                rate_ = 0;
        }
        return rate_;
    }

    QList<SpeechEngineVoice> voices() override {
        QList<SpeechEngineVoice> voices;
        if (sampleRate() <= 0)
            return voices;
        const espeak_VOICE** list = espeak_ListVoices(nullptr);
        for (int i = 0; list && list[i]; ++i) {
            const espeak_VOICE* v = list[i];
            // languages: a priority byte, then a zero-terminated name, repeated; a zero priority ends it.
            if (!v->languages || !v->languages[0] || !v->identifier)
                continue;
            const QString identifier = QString::fromUtf8(v->identifier);
            if (identifier.startsWith(QLatin1String("mb/"))) // MBROLA voices need a separate engine
                continue;
            voices.append(SpeechEngineVoice{QString::fromUtf8(v->name), identifier,
                                            QString::fromUtf8(v->languages + 1)});
        }
        return voices;
    }

    void synthesize(const QByteArray& utf8, const QByteArray& identifier, const QByteArray& language,
                    const std::function<bool(const short*, int)>& sink) override {
        if (sampleRate() <= 0)
            return;
        bool chosen = false;
        if (!identifier.isEmpty())
            chosen = espeak_SetVoiceByName(identifier.constData()) == EE_OK;
        if (!chosen) {
            espeak_VOICE spec{};
            spec.languages = language.constData();
            espeak_SetVoiceByProperties(&spec);
        }
        espeak_SetParameter(espeakRATE, espeakRATE_NORMAL, 0);
        espeak_SetSynthCallback(synthCallback);
        currentSink = &sink;
        const QByteArray text = utf8 + '\0';
        espeak_Synth(text.constData(), static_cast<size_t>(text.size()), 0, POS_CHARACTER, 0,
                     espeakCHARS_UTF8, nullptr, nullptr);
        currentSink = nullptr;
    }

private:
    int rate_ = -1;
};

} // namespace

OMBRIX_MODULE_EXPORT(speech) {
    static EspeakModule module;
    return &module;
}

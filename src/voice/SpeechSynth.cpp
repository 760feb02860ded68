#include "voice/SpeechSynth.h"

#include "platform/Log.h"

#include <QMutex>
#include <QMutexLocker>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <espeak-ng/speak_lib.h>

#include <atomic>

namespace {

// eSpeak NG is one global engine: every use holds this lock.
QMutex& engineMutex() {
    static QMutex mutex;
    return mutex;
}

// One synthesis thread: utterances are synthesised one after the other.
QThreadPool& synthesisPool() {
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(1);
        return p;
    }();
    return *pool;
}

// The engine's sample rate once initialised (under the lock); 0 when it cannot start.
int engineRate() {
    static int rate = -1;
    if (rate < 0) {
        rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 100, nullptr, espeakINITIALIZE_DONT_EXIT);
        if (rate <= 0) {
            qCWarning(lcVoice) << "speech synthesis unavailable";
            rate = 0;
        }
    }
    return rate;
}

constexpr qint64 kMaxUtteranceBytes = 22050LL * 2 * 60 * 20; // twenty minutes at 22 kHz

} // namespace

struct SpeechSynth::Job {
    std::atomic<bool> cancelled{false};
    std::shared_ptr<PcmFifo> fifo = std::make_shared<PcmFifo>(kMaxUtteranceBytes);
    quint64 generation = 0;
    int sampleRate = 0;
    bool announced = false;
    // The synthesiser the worker reports to; cleared (under the lock) when it goes.
    QMutex ownerMutex;
    SpeechSynth* owner = nullptr;

    void announce() {
        QMutexLocker lock(&ownerMutex);
        if (owner)
            QMetaObject::invokeMethod(
                owner, [o = owner, g = generation] { o->onAudioReady(g); }, Qt::QueuedConnection);
    }
};

namespace {
thread_local SpeechSynth::Job* currentJob = nullptr;

int synthCallback(short* wav, int samples, espeak_EVENT*) {
    SpeechSynth::Job* job = currentJob;
    if (!job || job->cancelled.load())
        return 1; // abort
    if (wav && samples > 0) {
        job->fifo->append(
            QByteArray(reinterpret_cast<const char*>(wav), static_cast<qsizetype>(samples) * 2));
        if (!job->announced) {
            job->announced = true;
            job->announce();
        }
    }
    return 0;
}
} // namespace

SpeechSynth::SpeechSynth(QObject* parent)
    : QObject(parent) {}

SpeechSynth::~SpeechSynth() {
    stop();
}

QString SpeechSynth::bcp47Language(const QString& espeakLanguage) {
    const QStringList parts = espeakLanguage.split('-');
    if (parts.size() == 1)
        return parts[0] + "-" + parts[0].toUpper();
    QStringList out{parts[0]};
    for (int i = 1; i < parts.size(); ++i)
        out << (parts[i].size() == 2 ? parts[i].toUpper() : parts[i]);
    return out.join('-');
}

QList<SpeechSynth::Voice> SpeechSynth::installedVoices() {
    QMutexLocker lock(&engineMutex());
    QList<Voice> voices;
    if (engineRate() <= 0)
        return voices;
    const espeak_VOICE** list = espeak_ListVoices(nullptr);
    for (int i = 0; list && list[i]; ++i) {
        const espeak_VOICE* v = list[i];
        // languages: a priority byte, then a zero-terminated name, repeated; a zero priority ends it.
        if (!v->languages || !v->languages[0] || !v->identifier)
            continue;
        const QString identifier = QString::fromUtf8(v->identifier);
        if (identifier.startsWith("mb/")) // MBROLA voices need a separate engine
            continue;
        voices.append(Voice{QString::fromUtf8(v->name), identifier,
                            bcp47Language(QString::fromUtf8(v->languages + 1)), Quality::Default});
    }
    return voices;
}

std::optional<SpeechSynth::Voice> SpeechSynth::bestVoice(const QList<Voice>& voices,
                                                         const QString& language) {
    QList<Voice> kept;
    for (const Voice& voice : voices)
        if (voice.language == language)
            kept.append(voice);
    if (kept.isEmpty())
        return std::nullopt;
    for (Quality quality : {Quality::Premium, Quality::Enhanced})
        for (const Voice& voice : kept)
            if (voice.quality == quality)
                return voice;
    return kept.first();
}

void SpeechSynth::speak(const QString& text, const QString& language) {
    if (text.isEmpty())
        return;
    stop();
    auto job = std::make_shared<Job>();
    job->generation = ++generation_;
    job->owner = this;
    job_ = job;
    const QByteArray utf8 = text.toUtf8();
    (void)QtConcurrent::run(&synthesisPool(), [job, utf8, language] {
        if (job->cancelled.load())
            return;
        const std::optional<Voice> voice = bestVoice(installedVoices(), language);
        QMutexLocker lock(&engineMutex());
        const int rate = engineRate();
        if (rate > 0 && !job->cancelled.load()) {
            job->sampleRate = rate;
            bool chosen = false;
            if (voice)
                chosen = espeak_SetVoiceByName(voice->identifier.toUtf8().constData()) == EE_OK;
            if (!chosen) {
                const QByteArray lang = language.toLower().toUtf8();
                espeak_VOICE spec{};
                spec.languages = lang.constData();
                espeak_SetVoiceByProperties(&spec);
            }
            espeak_SetParameter(espeakRATE, espeakRATE_NORMAL, 0);
            espeak_SetSynthCallback(synthCallback);
            currentJob = job.get();
            espeak_Synth(utf8.constData(), static_cast<size_t>(utf8.size()) + 1, 0, POS_CHARACTER, 0,
                         espeakCHARS_UTF8, nullptr, nullptr);
            currentJob = nullptr;
        }
        job->fifo->markEnded();
    });
}

void SpeechSynth::onAudioReady(quint64 generation) {
    if (!job_ || generation != generation_ || output_)
        return;
    std::unique_ptr<AudioOutputStream> output =
        AudioDevices::shared().openOutput(PcmFormat{job_->sampleRate, 1});
    if (!output)
        return;
    connect(output.get(), &AudioOutputStream::drained, this, [this, generation] {
        if (generation != generation_)
            return;
        releaseOutput();
        job_.reset();
        setIsSpeaking(false);
    });
    if (!output->start(job_->fifo))
        return;
    output_ = std::move(output);
    setIsSpeaking(true);
}

void SpeechSynth::stop() {
    ++generation_;
    if (job_) {
        job_->cancelled = true;
        job_->fifo->clear();
        QMutexLocker lock(&job_->ownerMutex);
        job_->owner = nullptr;
    }
    job_.reset();
    releaseOutput();
    if (isSpeaking_)
        setIsSpeaking(false);
}

qint64 SpeechSynth::firstSampleNs() const {
    return job_ ? job_->fifo->firstReadNs() : 0;
}

void SpeechSynth::releaseOutput() {
    if (output_) {
        output_->stop();
        output_->disconnect(this);
        output_.release()->deleteLater();
    }
}

void SpeechSynth::setIsSpeaking(bool value) {
    isSpeaking_ = value;
    emit isSpeakingChanged();
}

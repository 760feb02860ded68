#include "voice/SpeechSynth.h"

#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Modules.h"
#include "platform/WorkPools.h"
#include "voice/SpeechModule.h"

#include <QMutex>
#include <QMutexLocker>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>

namespace {

// eSpeak NG is one global engine: every use holds this lock. Never destroyed: a
// synthesis that outlives the quit wait still holds it while the statics go.
QMutex& engineMutex() {
    static auto* mutex = new QMutex;
    return *mutex;
}

// Set when the program ends: the synthesis under way stops at its next piece.
std::atomic<bool> programEnding{false};

// One synthesis thread: utterances are synthesised one after the other.
QThreadPool& synthesisPool() {
    static QThreadPool* const pool =
        WorkPools::make(QStringLiteral("ombrix-speech"), 1, [] { programEnding = true; });
    return *pool;
}

// The engine (under the lock); nothing when the speech module is missing.
SpeechModule* engine() {
    try {
        return &speechModule();
    } catch (const ModuleError& error) {
        qCWarning(lcVoice) << "speech synthesis unavailable:" << error.description();
        return nullptr;
    }
}

// The engine's sample rate once initialised (under the lock); 0 when it cannot start.
int engineRate() {
    static int rate = -1;
    if (rate < 0) {
        SpeechModule* speech = engine();
        rate = speech ? speech->sampleRate() : 0;
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

SpeechModule& speechModule() {
    return Modules::get<SpeechModule>("speech", loc("La synthèse vocale"));
}

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
    for (const SpeechEngineVoice& voice : speechModule().voices())
        voices.append(Voice{voice.name, voice.identifier, bcp47Language(voice.language), Quality::Default});
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
        const auto abandoned = [&job] { return job->cancelled.load() || programEnding.load(); };
        if (abandoned())
            return;
        const std::optional<Voice> voice = bestVoice(installedVoices(), language);
        QMutexLocker lock(&engineMutex());
        const int rate = engineRate();
        if (rate > 0 && !abandoned()) {
            job->sampleRate = rate;
            const QByteArray identifier = voice ? voice->identifier.toUtf8() : QByteArray();
            speechModule().synthesize(utf8, identifier, language.toLower().toUtf8(),
                                      [&job, &abandoned](const short* samples, int count) {
                                          if (abandoned())
                                              return false;
                                          job->fifo->append(QByteArray(reinterpret_cast<const char*>(samples),
                                                                       static_cast<qsizetype>(count) * 2));
                                          if (!job->announced) {
                                              job->announced = true;
                                              job->announce();
                                          }
                                          return true;
                                      });
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

#include "voice/AudioRecorder.h"

#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/RuntimeFolder.h"
#include "platform/WorkPools.h"
#include "session/Models.h"
#include "voice/AudioCodec.h"
#include "voice/VoiceError.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <cmath>

#include <fcntl.h>
#include <unistd.h>

namespace {
// One encoding thread for the process: the pieces of a recording are encoded in
// the order they were captured. At quit it is waited for, so that a recording being
// dropped is removed from the disk before the program ends.
QThreadPool& encoderPool() {
    static QThreadPool* const pool = [] {
        QThreadPool* made = WorkPools::make(QStringLiteral("ombrix-encoder"), 1);
        made->setExpiryTimeout(-1);
        return made;
    }();
    return *pool;
}
} // namespace

struct AudioRecorder::Encoding {
    QString path;
    AacFileWriter writer;
    bool failed = false;
};

AudioRecorder::AudioRecorder(QObject* parent)
    : QObject(parent) {
    levelTimer_.setInterval(kLevelIntervalMs);
    connect(&levelTimer_, &QTimer::timeout, this, &AudioRecorder::onLevelTick);
}

AudioRecorder::~AudioRecorder() {
    blockSignals(true); // nothing is published from a recorder being destroyed
    discard();
}

QCoro::Task<bool> AudioRecorder::requestPermission() {
    co_return AudioDevices::shared().hasInput();
}

QString AudioRecorder::recordingsFolder(QString* why) {
    return RuntimeFolder::privateSubfolder(QStringLiteral("recordings-") + RuntimeFolder::displayKey(), why);
}

int AudioRecorder::removeLeftovers() {
    QString why;
    const QString folder = recordingsFolder(&why);
    if (folder.isEmpty()) {
        qCWarning(lcVoice).noquote() << "recordings folder refused:" << why;
        return 0;
    }
    int removed = 0;
    const QDir dir(folder);
    for (const QString& name : dir.entryList({QStringLiteral("ombrix-*.m4a")}, QDir::Files | QDir::System))
        removed += QFile::remove(dir.filePath(name)) ? 1 : 0;
    if (removed > 0)
        qCInfo(lcVoice) << "removed" << removed << "recordings left by an earlier run";
    return removed;
}

float AudioRecorder::levelForPower(double powerDb) {
    const double level = (powerDb + 60.0) / 60.0;
    return static_cast<float>(std::max(0.0, std::min(1.0, level)));
}

double AudioRecorder::averagePowerDb(double sumOfSquares, qint64 count) {
    if (count <= 0 || sumOfSquares <= 0)
        return -160.0;
    const double meanSquare = sumOfSquares / static_cast<double>(count) / (32768.0 * 32768.0);
    return std::max(-160.0, 10.0 * std::log10(meanSquare));
}

QString AudioRecorder::start() {
    auto prepareFailed = [] {
        return VoiceError(kErrorDomain, 1, loc("Impossible de préparer l'enregistrement"));
    };
    QString why;
    const QString folder = recordingsFolder(&why);
    if (folder.isEmpty()) {
        qCWarning(lcVoice).noquote() << "no private folder for the recording:" << why;
        throw prepareFailed();
    }
    const QString path = QDir(folder).filePath(QStringLiteral("ombrix-%1.m4a").arg(newUuidText()));
    std::unique_ptr<AudioInputStream> input = AudioDevices::shared().openInput();
    if (!input)
        throw prepareFailed();
    // Made here, readable by this user only; the encoder then writes into it.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw prepareFailed();
    ::close(fd);
    auto encoding = std::make_shared<Encoding>();
    encoding->path = path;
    if (!encoding->writer.open(path, input->format())) {
        QFile::remove(path);
        throw prepareFailed();
    }
    connect(input.get(), &AudioInputStream::data, this, &AudioRecorder::onPcm);
    if (!input->start()) {
        encoding->writer.abandon();
        QFile::remove(path);
        throw VoiceError(kErrorDomain, 2, loc("Démarrage de l'enregistrement refusé"));
    }
    input_ = std::move(input);
    encoding_ = std::move(encoding);
    sumOfSquares_ = 0;
    sampleCount_ = 0;
    recordedSamples_ = 0;
    setRecording(true);
    levelTimer_.start();
    qCDebug(lcVoice) << "recording started";
    return path;
}

void AudioRecorder::onPcm(const QByteArray& pcm) {
    if (!encoding_)
        return;
    const auto* samples = reinterpret_cast<const qint16*>(pcm.constData());
    const qint64 n = pcm.size() / 2;
    double sum = 0;
    for (qint64 i = 0; i < n; ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    sumOfSquares_ += sum;
    sampleCount_ += n;
    recordedSamples_ += n;
    std::shared_ptr<Encoding> encoding = encoding_;
    (void)QtConcurrent::run(&encoderPool(), [encoding, pcm] {
        if (!encoding->failed && !encoding->writer.write(pcm))
            encoding->failed = true;
    });
}

void AudioRecorder::onLevelTick() {
    if (!input_)
        return;
    // No new samples since the last tick: the level stays as it was.
    if (sampleCount_ == 0)
        return;
    setLevel(levelForPower(averagePowerDb(sumOfSquares_, sampleCount_)));
    sumOfSquares_ = 0;
    sampleCount_ = 0;
}

std::shared_ptr<AudioRecorder::Encoding> AudioRecorder::finishRunning() {
    if (input_) {
        input_->disconnect(this);
        input_->stop();
        input_.reset();
    }
    levelTimer_.stop();
    sumOfSquares_ = 0;
    sampleCount_ = 0;
    setRecording(false);
    setLevel(0);
    return std::exchange(encoding_, nullptr);
}

QCoro::Task<std::optional<QString>> AudioRecorder::stop() {
    const bool silent = recordedSamples_ == 0;
    std::shared_ptr<Encoding> encoding = finishRunning();
    if (!encoding)
        co_return std::nullopt;
    // Runs after every piece already queued; `this` is not touched after this point.
    QFuture<bool> finished = QtConcurrent::run(&encoderPool(), [encoding, silent] {
        const bool ok = !silent && !encoding->failed && encoding->writer.finish();
        if (!ok) {
            encoding->writer.abandon();
            QFile::remove(encoding->path);
        }
        return ok;
    });
    const bool ok = co_await finished;
    if (silent) {
        qCInfo(lcVoice) << "a recording without audio was dropped";
        throw VoiceError(kErrorDomain, 4, loc("Enregistrement trop court"));
    }
    if (!ok) {
        qCWarning(lcVoice) << "the recording could not be completed";
        throw VoiceError(kErrorDomain, 3, loc("Impossible de terminer l'enregistrement"));
    }
    co_return encoding->path;
}

void AudioRecorder::discard() {
    std::shared_ptr<Encoding> encoding = finishRunning();
    if (!encoding)
        return;
    (void)QtConcurrent::run(&encoderPool(), [encoding] {
        encoding->writer.abandon();
        QFile::remove(encoding->path);
    });
}

void AudioRecorder::setRecording(bool value) {
    isRecording_ = value;
    emit isRecordingChanged();
}

void AudioRecorder::setLevel(float value) {
    level_ = value;
    emit levelChanged();
}

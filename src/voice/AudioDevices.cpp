#include "voice/AudioDevices.h"

#include "platform/Log.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QAudioSource>
#include <QMediaDevices>
#include <QMutexLocker>
#include <QTimer>

#include <chrono>
#include <cstring>

qint64 steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- PcmFifo -------------------------------------------------------------------

PcmFifo::PcmFifo(qint64 maxBytes, QObject* parent)
    : QIODevice(parent)
    , maxBytes_(maxBytes) {
    open(QIODevice::ReadOnly);
}

qint64 PcmFifo::append(const QByteArray& bytes) {
    QMutexLocker lock(&mutex_);
    if (ended_)
        return 0;
    // Compact once the read position has passed half of the buffer.
    if (readPos_ > 0 && readPos_ * 2 >= buffer_.size()) {
        buffer_.remove(0, readPos_);
        readPos_ = 0;
    }
    const qint64 room = qMax<qint64>(0, maxBytes_ - (buffer_.size() - readPos_));
    qint64 kept = qMin<qint64>(room, bytes.size());
    kept -= kept % 2; // whole samples only
    buffer_.append(bytes.constData(), kept);
    dropped_ += bytes.size() - kept;
    return kept;
}

void PcmFifo::markEnded() {
    QMutexLocker lock(&mutex_);
    ended_ = true;
}

void PcmFifo::setSilenceWhenEmpty(bool value) {
    QMutexLocker lock(&mutex_);
    silenceWhenEmpty_ = value;
}

void PcmFifo::clear() {
    QMutexLocker lock(&mutex_);
    buffer_.clear();
    readPos_ = 0;
}

bool PcmFifo::ended() const {
    QMutexLocker lock(&mutex_);
    return ended_;
}

qint64 PcmFifo::queuedBytes() const {
    QMutexLocker lock(&mutex_);
    return buffer_.size() - readPos_;
}

bool PcmFifo::drained() const {
    QMutexLocker lock(&mutex_);
    return ended_ && buffer_.size() == readPos_;
}

qint64 PcmFifo::droppedBytes() const {
    QMutexLocker lock(&mutex_);
    return dropped_;
}

qint64 PcmFifo::firstReadNs() const {
    QMutexLocker lock(&mutex_);
    return firstReadNs_;
}

qint64 PcmFifo::bytesAvailable() const {
    return queuedBytes() + QIODevice::bytesAvailable();
}

qint64 PcmFifo::readData(char* data, qint64 maxSize) {
    QMutexLocker lock(&mutex_);
    const qint64 n = qMin<qint64>(maxSize, buffer_.size() - readPos_);
    if (n <= 0) {
        if (!silenceWhenEmpty_ || ended_)
            return 0;
        const qint64 quiet = maxSize - maxSize % 2;
        std::memset(data, 0, static_cast<size_t>(quiet));
        return quiet;
    }
    std::memcpy(data, buffer_.constData() + readPos_, static_cast<size_t>(n));
    readPos_ += n;
    if (firstReadNs_ == 0)
        firstReadNs_ = qMax<qint64>(1, steadyNowNs());
    return n;
}

qint64 PcmFifo::writeData(const char*, qint64) {
    return -1;
}

// ---- Qt Multimedia ---------------------------------------------------------------

namespace {

QAudioFormat qtFormat(PcmFormat format) {
    QAudioFormat f;
    f.setSampleRate(format.sampleRate);
    f.setChannelCount(format.channels);
    f.setSampleFormat(QAudioFormat::Int16);
    return f;
}

class QtInputStream : public AudioInputStream {
public:
    QtInputStream(const QAudioDevice& device, PcmFormat format)
        : format_(format)
        , source_(device, qtFormat(format)) {
        // The device went away or broke while capturing: the source stops with an error.
        connect(&source_, &QAudioSource::stateChanged, this, [this](QAudio::State state) {
            if (!io_ || state != QAudio::StoppedState || source_.error() == QAudio::NoError)
                return;
            qCWarning(lcVoice) << "microphone failed:" << source_.error();
            io_->disconnect(this);
            io_ = nullptr;
            emit failed();
        });
    }

    PcmFormat format() const override { return format_; }

    bool start() override {
        // Small fragments: the level is shown every 0.1 s and realtime chunks go out as they come.
        source_.setBufferSize(format_.bytesForMs(40));
        io_ = source_.start();
        if (!io_ || source_.error() != QAudio::NoError) {
            qCWarning(lcVoice) << "microphone refused to start:" << source_.error();
            io_ = nullptr;
            source_.stop();
            return false;
        }
        connect(io_, &QIODevice::readyRead, this, [this] {
            if (!io_)
                return;
            QByteArray bytes = io_->readAll();
            bytes.chop(bytes.size() % format_.bytesPerFrame());
            if (!bytes.isEmpty())
                emit data(bytes);
        });
        return true;
    }

    void stop() override {
        if (io_)
            io_->disconnect(this);
        io_ = nullptr;
        source_.stop();
    }

    ~QtInputStream() override { stop(); }

private:
    PcmFormat format_;
    QAudioSource source_;
    QIODevice* io_ = nullptr;
};

class QtOutputStream : public AudioOutputStream {
public:
    QtOutputStream(const QAudioDevice& device, PcmFormat format)
        : format_(format)
        , sink_(device, qtFormat(format)) {
        // A short buffer: a live stream that reads silence between deltas must not
        // queue much of it ahead of the next delta.
        sink_.setBufferSize(format.bytesForMs(200));
        connect(&sink_, &QAudioSink::stateChanged, this, &QtOutputStream::checkDrained);
        // The fifo may end after the sink went idle on an empty queue: look again.
        watch_.setInterval(40);
        connect(&watch_, &QTimer::timeout, this, &QtOutputStream::checkDrained);
    }

    void checkDrained() {
        if (!fifo_ || finished_)
            return;
        const QAudio::State state = sink_.state();
        const bool broke = state == QAudio::StoppedState && sink_.error() != QAudio::NoError &&
                           sink_.error() != QAudio::UnderrunError;
        if ((state != QAudio::ActiveState && fifo_->drained()) || broke) {
            finished_ = true;
            watch_.stop();
            if (broke) {
                qCWarning(lcVoice) << "speaker failed:" << sink_.error();
                emit failed();
            }
            emit drained();
        }
    }

    PcmFormat format() const override { return format_; }

    bool start(std::shared_ptr<PcmFifo> fifo) override {
        fifo_ = std::move(fifo);
        finished_ = false;
        sink_.start(fifo_.get());
        if (sink_.error() != QAudio::NoError && sink_.error() != QAudio::UnderrunError) {
            qCWarning(lcVoice) << "speaker refused to start:" << sink_.error();
            sink_.stop();
            fifo_.reset();
            return false;
        }
        watch_.start();
        return true;
    }

    void stop() override {
        finished_ = true;
        watch_.stop();
        sink_.stop();
    }

    ~QtOutputStream() override {
        finished_ = true;
        sink_.stop();
    }

private:
    PcmFormat format_;
    QAudioSink sink_;
    std::shared_ptr<PcmFifo> fifo_;
    QTimer watch_;
    bool finished_ = false;
};

class QtAudioDevices : public AudioDevices {
public:
    bool hasInput() override { return !QMediaDevices::defaultAudioInput().isNull(); }

    std::unique_ptr<AudioInputStream> openInput(std::optional<PcmFormat> wanted) override {
        const QAudioDevice device = QMediaDevices::defaultAudioInput();
        if (device.isNull())
            return nullptr;
        PcmFormat format;
        if (wanted && device.isFormatSupported(qtFormat(*wanted))) {
            format = *wanted;
        } else {
            const QAudioFormat preferred = device.preferredFormat();
            format = {preferred.sampleRate() > 0 ? preferred.sampleRate() : 48000,
                      qBound(1, preferred.channelCount(), 2)};
        }
        return std::make_unique<QtInputStream>(device, format);
    }

    std::unique_ptr<AudioOutputStream> openOutput(PcmFormat format) override {
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull() || !device.isFormatSupported(qtFormat(format)))
            return nullptr;
        return std::make_unique<QtOutputStream>(device, format);
    }
};

std::shared_ptr<AudioDevices>& sharedDevices() {
    static std::shared_ptr<AudioDevices> devices;
    return devices;
}

} // namespace

AudioDevices& AudioDevices::shared() {
    auto& devices = sharedDevices();
    if (!devices)
        devices = std::make_shared<QtAudioDevices>();
    return *devices;
}

void AudioDevices::setShared(std::shared_ptr<AudioDevices> devices) {
    sharedDevices() = std::move(devices);
}

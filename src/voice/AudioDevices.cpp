#include "voice/AudioDevices.h"

#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Modules.h"
#include "voice/SoundModule.h"

#include <QMutexLocker>
#include <QTimer>

#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

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

// ---- Qt Multimedia (the sound module) -------------------------------------------

SoundModule& soundModule() {
    return Modules::get<SoundModule>("sound", loc("Le son (micro et haut-parleur)"));
}

namespace {

// A stream of the sound module that the program's end closes if its owner has
// not (AudioDevices::closeAll()): its device released, the stream inert after.
class Closable {
public:
    virtual void close() = 0;

protected:
    ~Closable() = default;
};

// The streams of the sound module open now (GUI thread only). Never destroyed: a
// stream object that goes late (at a test program's exit) still finds it.
std::vector<Closable*>& openStreams() {
    static auto* const streams = new std::vector<Closable*>;
    return *streams;
}

void forgetStream(Closable* stream) {
    std::erase(openStreams(), stream);
}

class QtInputStream : public AudioInputStream, public Closable {
public:
    QtInputStream(std::unique_ptr<SoundSource> source, PcmFormat format)
        : format_(format)
        , source_(std::move(source)) {
        openStreams().push_back(this);
        // The device went away or broke while capturing: the source stops with an error.
        source_->onFailure([this](const QString& why) {
            if (!io_)
                return;
            qCWarning(lcVoice) << "microphone failed:" << why;
            io_->disconnect(this);
            io_ = nullptr;
            emit failed();
        });
    }

    PcmFormat format() const override { return format_; }

    bool start() override {
        if (!source_)
            return false;
        // Small fragments: the level is shown every 0.1 s and realtime chunks go out as they come.
        QString why;
        io_ = source_->start(format_.bytesForMs(40), &why);
        if (!io_) {
            qCWarning(lcVoice) << "microphone refused to start:" << why;
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
        if (source_)
            source_->stop();
    }

    void close() override {
        stop();
        // Last, and nothing of this stream is touched after it: Qt Multimedia's
        // source runs the event loop as it goes, which may delete this very stream
        // (a deleteLater() due).
        std::unique_ptr<SoundSource> source = std::move(source_);
        source.reset();
    }

    ~QtInputStream() override {
        forgetStream(this);
        close();
    }

private:
    PcmFormat format_;
    std::unique_ptr<SoundSource> source_;
    QIODevice* io_ = nullptr;
};

class QtOutputStream : public AudioOutputStream, public Closable {
public:
    QtOutputStream(std::unique_ptr<SoundSink> sink, PcmFormat format)
        : format_(format)
        , sink_(std::move(sink)) {
        openStreams().push_back(this);
        sink_->onStateChanged([this] { checkDrained(); });
        // The fifo may end after the sink went idle on an empty queue: look again.
        watch_.setInterval(40);
        connect(&watch_, &QTimer::timeout, this, &QtOutputStream::checkDrained);
    }

    void checkDrained() {
        if (!fifo_ || finished_ || !sink_)
            return;
        const std::optional<QString> broke = sink_->failure();
        if ((!sink_->isActive() && fifo_->drained()) || broke) {
            finished_ = true;
            watch_.stop();
            if (broke) {
                qCWarning(lcVoice) << "speaker failed:" << *broke;
                emit failed();
            }
            emit drained();
        }
    }

    PcmFormat format() const override { return format_; }

    bool start(std::shared_ptr<PcmFifo> fifo) override {
        fifo_ = std::move(fifo);
        finished_ = false;
        QString why;
        if (!sink_ || !sink_->start(fifo_.get(), &why)) {
            qCWarning(lcVoice) << "speaker refused to start:" << why;
            fifo_.reset();
            return false;
        }
        watch_.start();
        return true;
    }

    void stop() override {
        finished_ = true;
        watch_.stop();
        if (sink_)
            sink_->stop();
    }

    void close() override {
        stop();
        // Last, and nothing of this stream is touched after it: Qt Multimedia's
        // sink runs the event loop as it goes (QAudioSink's destructor processes
        // events), which may delete this very stream or another one (a
        // deleteLater() due).
        std::unique_ptr<SoundSink> sink = std::move(sink_);
        if (sink)
            sink->onStateChanged(nullptr);
        sink.reset();
    }

    ~QtOutputStream() override {
        forgetStream(this);
        finished_ = true;
        close();
    }

private:
    PcmFormat format_;
    std::unique_ptr<SoundSink> sink_;
    std::shared_ptr<PcmFifo> fifo_;
    QTimer watch_;
    bool finished_ = false;
};

// Without the sound module there is no microphone and no speaker (the reason is logged once per use).
SoundModule* sound() {
    try {
        return &soundModule();
    } catch (const ModuleError& error) {
        qCWarning(lcVoice) << error.description();
        return nullptr;
    }
}

class QtAudioDevices : public AudioDevices {
public:
    // Without a module, the sound module, loaded on first use.
    explicit QtAudioDevices(SoundModule* module = nullptr)
        : module_(module) {}

    bool hasInput() override {
        SoundModule* module = this->module();
        return module && module->hasInput();
    }

    std::unique_ptr<AudioInputStream> openInput(std::optional<PcmFormat> wanted) override {
        SoundModule* module = this->module();
        const std::optional<PcmFormat> format = module ? module->inputFormat(wanted) : std::nullopt;
        if (!format)
            return nullptr;
        std::unique_ptr<SoundSource> source = module->openInput(*format);
        if (!source)
            return nullptr;
        return std::make_unique<QtInputStream>(std::move(source), *format);
    }

    std::unique_ptr<AudioOutputStream> openOutput(PcmFormat format) override {
        SoundModule* module = this->module();
        // A short buffer: a live stream that reads silence between deltas must not
        // queue much of it ahead of the next delta.
        std::unique_ptr<SoundSink> sink =
            module ? module->openOutput(format, format.bytesForMs(200)) : nullptr;
        if (!sink)
            return nullptr;
        return std::make_unique<QtOutputStream>(std::move(sink), format);
    }

private:
    SoundModule* module() { return module_ ? module_ : sound(); }

    SoundModule* module_;
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

std::shared_ptr<AudioDevices> AudioDevices::overModule(SoundModule& module) {
    return std::make_shared<QtAudioDevices>(&module);
}

int AudioDevices::closeAll() {
    // One stream at a time, taken out of the list of those open before it is
    // closed: closing one runs the event loop (see close()), where any stream may
    // be deleted, and a deleted stream leaves the list. Nothing walks a copy.
    int closed = 0;
    while (!openStreams().empty()) {
        Closable* stream = openStreams().back();
        openStreams().pop_back();
        stream->close();
        ++closed;
    }
    return closed;
}

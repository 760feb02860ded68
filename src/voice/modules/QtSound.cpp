// The sound device module: Qt Multimedia behind the interface of
// voice/SoundModule.h. Links Qt Multimedia and Qt only.
#include "platform/ModuleExport.h"
#include "voice/SoundModule.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QAudioSource>
#include <QMediaDevices>

namespace {

QAudioFormat qtFormat(PcmFormat format) {
    QAudioFormat f;
    f.setSampleRate(format.sampleRate);
    f.setChannelCount(format.channels);
    f.setSampleFormat(QAudioFormat::Int16);
    return f;
}

QString errorName(QAudio::Error error) {
    switch (error) {
    case QAudio::NoError:
        return QStringLiteral("no error");
    case QAudio::OpenError:
        return QStringLiteral("open error");
    case QAudio::IOError:
        return QStringLiteral("input/output error");
    case QAudio::UnderrunError:
        return QStringLiteral("underrun");
    case QAudio::FatalError:
        return QStringLiteral("fatal error");
    }
    return QString::number(int(error));
}

class QtSource final : public SoundSource {
public:
    QtSource(const QAudioDevice& device, PcmFormat format)
        : source_(device, qtFormat(format)) {
        QObject::connect(&source_, &QAudioSource::stateChanged, &source_, [this](QAudio::State state) {
            if (!running_ || state != QAudio::StoppedState || source_.error() == QAudio::NoError)
                return;
            running_ = false;
            if (onFailure_)
                onFailure_(errorName(source_.error()));
        });
    }
    ~QtSource() override { source_.stop(); }

    QIODevice* start(qint64 bufferBytes, QString* why) override {
        source_.setBufferSize(bufferBytes);
        QIODevice* io = source_.start();
        if (!io || source_.error() != QAudio::NoError) {
            *why = errorName(source_.error());
            source_.stop();
            return nullptr;
        }
        running_ = true;
        return io;
    }
    void stop() override {
        running_ = false;
        source_.stop();
    }
    void onFailure(std::function<void(const QString&)> callback) override {
        onFailure_ = std::move(callback);
    }

private:
    QAudioSource source_;
    bool running_ = false;
    std::function<void(const QString&)> onFailure_;
};

class QtSink final : public SoundSink {
public:
    QtSink(const QAudioDevice& device, PcmFormat format, qint64 bufferBytes)
        : sink_(device, qtFormat(format)) {
        sink_.setBufferSize(bufferBytes);
        QObject::connect(&sink_, &QAudioSink::stateChanged, &sink_, [this] {
            if (onStateChanged_)
                onStateChanged_();
        });
    }
    ~QtSink() override { sink_.stop(); }

    bool start(QIODevice* source, QString* why) override {
        sink_.start(source);
        if (sink_.error() != QAudio::NoError && sink_.error() != QAudio::UnderrunError) {
            *why = errorName(sink_.error());
            sink_.stop();
            return false;
        }
        return true;
    }
    void stop() override { sink_.stop(); }
    bool isActive() const override { return sink_.state() == QAudio::ActiveState; }
    std::optional<QString> failure() const override {
        if (sink_.state() == QAudio::StoppedState && sink_.error() != QAudio::NoError &&
            sink_.error() != QAudio::UnderrunError)
            return errorName(sink_.error());
        return std::nullopt;
    }
    void onStateChanged(std::function<void()> callback) override { onStateChanged_ = std::move(callback); }

private:
    QAudioSink sink_;
    std::function<void()> onStateChanged_;
};

class QtSoundModule final : public SoundModule {
public:
    bool hasInput() override { return !QMediaDevices::defaultAudioInput().isNull(); }

    std::optional<PcmFormat> inputFormat(std::optional<PcmFormat> wanted) override {
        const QAudioDevice device = QMediaDevices::defaultAudioInput();
        if (device.isNull())
            return std::nullopt;
        if (wanted && device.isFormatSupported(qtFormat(*wanted)))
            return *wanted;
        const QAudioFormat preferred = device.preferredFormat();
        return PcmFormat{preferred.sampleRate() > 0 ? preferred.sampleRate() : 48000,
                         qBound(1, preferred.channelCount(), 2)};
    }

    std::unique_ptr<SoundSource> openInput(PcmFormat format) override {
        const QAudioDevice device = QMediaDevices::defaultAudioInput();
        if (device.isNull())
            return nullptr;
        return std::make_unique<QtSource>(device, format);
    }

    std::unique_ptr<SoundSink> openOutput(PcmFormat format, qint64 bufferBytes) override {
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull() || !device.isFormatSupported(qtFormat(format)))
            return nullptr;
        return std::make_unique<QtSink>(device, format, bufferBytes);
    }
};

} // namespace

OMBRIX_MODULE_EXPORT(sound) {
    static QtSoundModule module;
    return &module;
}

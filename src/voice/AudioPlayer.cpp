#include "voice/AudioPlayer.h"

#include "platform/Log.h"
#include "platform/Modules.h"
#include "voice/AudioCodec.h"

#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

AudioPlayer::AudioPlayer(QObject* parent)
    : QObject(parent) {}

AudioPlayer::~AudioPlayer() {
    ++generation_;
    if (output_)
        output_->stop();
}

std::optional<QByteArray> AudioPlayer::strictBase64(const QString& text) {
    // Padding is required: the length is a whole number of four-character groups.
    if (text.isEmpty() || text.size() % 4 != 0)
        return std::nullopt;
    const QByteArray::FromBase64Result result =
        QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    // toLatin1 turns characters beyond Latin-1 into '?', which the strict decoder refuses.
    if (!result || result.decoded.isEmpty())
        return std::nullopt;
    return result.decoded;
}

QCoro::Task<bool> AudioPlayer::play(QByteArray bytes) {
    stop();
    const quint64 generation = ++generation_;
    QPointer<AudioPlayer> self(this);
    QFuture<std::optional<DecodedAudio>> decoding =
        QtConcurrent::run([bytes = std::move(bytes)]() -> std::optional<DecodedAudio> {
            try {
                return decodeAudio(bytes);
            } catch (const AudioDecodeError& error) {
                qCInfo(lcVoice) << "audio not playable:" << error.detail();
                return std::nullopt;
            } catch (const ModuleError& error) {
                qCWarning(lcVoice) << "audio not playable:" << error.description();
                return std::nullopt;
            }
        });
    std::optional<DecodedAudio> decoded = co_await decoding;
    if (!self || generation != generation_ || !decoded)
        co_return false;
    std::unique_ptr<AudioOutputStream> output = AudioDevices::shared().openOutput(decoded->format);
    if (!output)
        co_return false;
    auto fifo = std::make_shared<PcmFifo>(decoded->pcm.size());
    fifo->append(decoded->pcm);
    fifo->markEnded();
    connect(output.get(), &AudioOutputStream::drained, this, [this, generation] {
        if (generation != generation_)
            return;
        releaseOutput();
        setPlaying(false);
    });
    if (!output->start(fifo))
        co_return false;
    output_ = std::move(output);
    fifo_ = std::move(fifo);
    setPlaying(true);
    co_return true;
}

void AudioPlayer::stop() {
    ++generation_;
    releaseOutput();
    setPlaying(false);
}

void AudioPlayer::releaseOutput() {
    if (output_) {
        output_->stop();
        output_->disconnect(this);
        // May be called from the stream's own signal.
        output_.release()->deleteLater();
    }
}

void AudioPlayer::setPlaying(bool value) {
    isPlaying_ = value;
    emit isPlayingChanged();
}

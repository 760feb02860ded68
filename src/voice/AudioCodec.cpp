#include "voice/AudioCodec.h"

#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Modules.h"
#include "voice/AudioCodecModule.h"

AudioCodecModule& audioCodecModule() {
    return Modules::get<AudioCodecModule>("audiocodec", loc("L'audio (micro, voix et lecture)"));
}

// ---- PcmConverter ------------------------------------------------------------------

PcmConverter::PcmConverter(PcmFormat from, PcmFormat to)
    : from_(from)
    , to_(to) {
    if (from.sampleRate <= 0 || to.sampleRate <= 0 || from.channels <= 0 || to.channels <= 0)
        return;
    impl_ = audioCodecModule().resampler(from, to);
}

PcmConverter::~PcmConverter() = default;

QByteArray PcmConverter::convert(const QByteArray& pcm) {
    return impl_ ? impl_->convert(pcm) : QByteArray();
}

QByteArray PcmConverter::flush() {
    return impl_ ? impl_->flush() : QByteArray();
}

// ---- AacFileWriter --------------------------------------------------------------------

AacFileWriter::AacFileWriter() = default;

AacFileWriter::~AacFileWriter() = default;

bool AacFileWriter::open(const QString& path, PcmFormat input) {
    impl_ = audioCodecModule().aacEncoder(kSampleRate, kBitRate);
    QString why;
    if (!impl_->open(path, input, &why)) {
        qCWarning(lcVoice) << why;
        impl_.reset();
        return false;
    }
    return true;
}

bool AacFileWriter::write(const QByteArray& pcm) {
    return impl_ && impl_->write(pcm);
}

bool AacFileWriter::finish() {
    if (!impl_)
        return false;
    return impl_->finish(); // the count of frames stays readable
}

void AacFileWriter::abandon() {
    if (impl_)
        impl_->abandon();
    impl_.reset();
}

qint64 AacFileWriter::framesWritten() const {
    return impl_ ? impl_->framesWritten() : 0;
}

// ---- Decoding ---------------------------------------------------------------------------

qint64 DecodedAudio::durationMs() const {
    if (format.sampleRate <= 0 || format.channels <= 0)
        return 0;
    return pcm.size() / format.bytesPerFrame() * 1000 / format.sampleRate;
}

QString AudioDecodeError::description() const {
    return loc("Audio illisible");
}

DecodedAudio decodeAudio(const QByteArray& bytes, qint64 maxDurationMs) {
    if (bytes.isEmpty())
        throw AudioDecodeError(QStringLiteral("empty"));
    AudioDecoding decoded = audioCodecModule().decode(bytes, maxDurationMs);
    if (!decoded.ok)
        throw AudioDecodeError(decoded.error);
    return DecodedAudio{decoded.format, std::move(decoded.pcm), decoded.codecName};
}

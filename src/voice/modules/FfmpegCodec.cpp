// The audio codec module: FFmpeg's resampler, AAC encoder and decoders behind
// the interface of voice/AudioCodecModule.h. Links FFmpeg and Qt only.
#include "platform/ModuleExport.h"
#include "voice/AudioCodecModule.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <cstring>
#include <stdexcept>

namespace {

QString avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

AVChannelLayout layoutFor(int channels) {
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    return layout;
}

// A mono 16-bit buffer as 32-bit float samples.
void toFloat(const int16_t* in, float* out, int count) {
    for (int i = 0; i < count; ++i)
        out[i] = static_cast<float>(in[i]) / 32768.0f;
}

// libav's own messages only for errors (it reports every encoder's statistics otherwise).
void quietLibav() {
    static const bool once = [] {
        av_log_set_level(AV_LOG_ERROR);
        return true;
    }();
    (void)once;
}

// ---- Resampling ------------------------------------------------------------------

class FfmpegResampler final : public PcmResampler {
public:
    FfmpegResampler(PcmFormat from, PcmFormat to)
        : from_(from)
        , to_(to) {
        quietLibav();
        AVChannelLayout in = layoutFor(from.channels);
        AVChannelLayout out = layoutFor(to.channels);
        if (swr_alloc_set_opts2(&swr_, &out, AV_SAMPLE_FMT_S16, to.sampleRate, &in, AV_SAMPLE_FMT_S16,
                                from.sampleRate, 0, nullptr) < 0 ||
            swr_init(swr_) < 0) {
            swr_free(&swr_);
        }
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
    }
    ~FfmpegResampler() override { swr_free(&swr_); }
    bool isValid() const { return swr_ != nullptr; }
    QByteArray convert(const QByteArray& pcm) override;
    QByteArray flush() override;

private:
    PcmFormat from_;
    PcmFormat to_;
    SwrContext* swr_ = nullptr;
};

QByteArray FfmpegResampler::convert(const QByteArray& pcm) {
    if (!swr_)
        return {};
    const int inFrames = static_cast<int>(pcm.size() / from_.bytesPerFrame());
    const int capacity = swr_get_out_samples(swr_, inFrames);
    if (capacity <= 0)
        return {};
    QByteArray out(static_cast<qsizetype>(capacity) * to_.bytesPerFrame(), Qt::Uninitialized);
    auto* outPtr = reinterpret_cast<uint8_t*>(out.data());
    const auto* inPtr = reinterpret_cast<const uint8_t*>(pcm.constData());
    const int produced = swr_convert(swr_, &outPtr, capacity, inFrames > 0 ? &inPtr : nullptr, inFrames);
    if (produced <= 0)
        return {};
    out.truncate(static_cast<qsizetype>(produced) * to_.bytesPerFrame());
    return out;
}

QByteArray FfmpegResampler::flush() {
    if (!swr_)
        return {};
    QByteArray out;
    constexpr int kChunk = 4096;
    while (true) {
        QByteArray piece(static_cast<qsizetype>(kChunk) * to_.bytesPerFrame(), Qt::Uninitialized);
        auto* outPtr = reinterpret_cast<uint8_t*>(piece.data());
        const int produced = swr_convert(swr_, &outPtr, kChunk, nullptr, 0);
        if (produced <= 0)
            break;
        out.append(piece.constData(), static_cast<qsizetype>(produced) * to_.bytesPerFrame());
    }
    return out;
}

// ---- AAC in MPEG-4 --------------------------------------------------------------------

class FfmpegAacEncoder final : public AacEncoder {
public:
    FfmpegAacEncoder(int sampleRate, int bitRate)
        : kSampleRate(sampleRate)
        , kBitRate(bitRate) {}
    ~FfmpegAacEncoder() override { release(); }
    bool open(const QString& path, PcmFormat input, QString* why) override;
    bool write(const QByteArray& pcm) override;
    bool finish() override;
    void abandon() override;
    qint64 framesWritten() const override { return samplesEncoded_; }

private:
    bool encodePending(bool flushAll);
    bool sendFrame(AVFrame* frame);
    void release();

    const int kSampleRate;
    const int kBitRate;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVStream* stream_ = nullptr;
    std::unique_ptr<FfmpegResampler> converter_;
    QByteArray pending_; // mono PCM at the output rate not yet encoded
    qint64 samplesEncoded_ = 0;
    bool headerWritten_ = false;
};

void FfmpegAacEncoder::release() {
    avcodec_free_context(&codec_);
    if (format_) {
        if (format_->pb)
            avio_closep(&format_->pb);
        avformat_free_context(format_);
        format_ = nullptr;
    }
    stream_ = nullptr;
    converter_.reset();
}

bool FfmpegAacEncoder::open(const QString& path, PcmFormat input, QString* why) {
    quietLibav();
    release();
    pending_.clear();
    samplesEncoded_ = 0;
    headerWritten_ = false;
    const QByteArray file = path.toUtf8();
    int rc = avformat_alloc_output_context2(&format_, nullptr, "ipod", file.constData());
    if (rc < 0 || !format_) {
        *why = QStringLiteral("no MPEG-4 muxer:") + avError(rc);
        return false;
    }
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!aac) {
        *why = QStringLiteral("no AAC encoder");
        release();
        return false;
    }
    stream_ = avformat_new_stream(format_, nullptr);
    codec_ = avcodec_alloc_context3(aac);
    if (!stream_ || !codec_) {
        release();
        return false;
    }
    codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec_->sample_rate = kSampleRate;
    codec_->bit_rate = kBitRate;
    codec_->time_base = AVRational{1, kSampleRate};
    codec_->profile = FF_PROFILE_AAC_LOW;
    av_channel_layout_default(&codec_->ch_layout, 1);
    if (format_->oformat->flags & AVFMT_GLOBALHEADER)
        codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((rc = avcodec_open2(codec_, aac, nullptr)) < 0 ||
        (rc = avcodec_parameters_from_context(stream_->codecpar, codec_)) < 0) {
        *why = QStringLiteral("AAC encoder refused:") + avError(rc);
        release();
        return false;
    }
    stream_->time_base = codec_->time_base;
    if ((rc = avio_open(&format_->pb, file.constData(), AVIO_FLAG_WRITE)) < 0) {
        *why = QStringLiteral("recording file cannot be created:") + avError(rc);
        release();
        return false;
    }
    if ((rc = avformat_write_header(format_, nullptr)) < 0) {
        *why = QStringLiteral("MPEG-4 header refused:") + avError(rc);
        release();
        return false;
    }
    headerWritten_ = true;
    const PcmFormat target{kSampleRate, 1};
    if (!(input == target)) {
        converter_ = std::make_unique<FfmpegResampler>(input, target);
        if (!converter_->isValid()) {
            *why = QStringLiteral("no converter for the input format");
            release();
            return false;
        }
    }
    return true;
}

bool FfmpegAacEncoder::sendFrame(AVFrame* frame) {
    int rc = avcodec_send_frame(codec_, frame);
    if (rc < 0)
        return false;
    AVPacket* packet = av_packet_alloc();
    bool ok = true;
    while (true) {
        rc = avcodec_receive_packet(codec_, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            break;
        if (rc < 0) {
            ok = false;
            break;
        }
        av_packet_rescale_ts(packet, codec_->time_base, stream_->time_base);
        packet->stream_index = stream_->index;
        if (av_interleaved_write_frame(format_, packet) < 0) {
            ok = false;
            break;
        }
    }
    av_packet_free(&packet);
    return ok;
}

bool FfmpegAacEncoder::encodePending(bool flushAll) {
    const int frameSize = codec_->frame_size > 0 ? codec_->frame_size : 1024;
    AVFrame* frame = av_frame_alloc();
    bool ok = true;
    while (ok) {
        const int available = static_cast<int>(pending_.size() / 2);
        if (available == 0 || (available < frameSize && !flushAll))
            break;
        const int n = qMin(available, frameSize);
        frame->nb_samples = n;
        frame->format = codec_->sample_fmt;
        frame->sample_rate = kSampleRate;
        av_channel_layout_copy(&frame->ch_layout, &codec_->ch_layout);
        if (av_frame_get_buffer(frame, 0) < 0) {
            ok = false;
            break;
        }
        toFloat(reinterpret_cast<const int16_t*>(pending_.constData()),
                reinterpret_cast<float*>(frame->data[0]), n);
        frame->pts = samplesEncoded_;
        samplesEncoded_ += n;
        pending_.remove(0, static_cast<qsizetype>(n) * 2);
        ok = sendFrame(frame);
        av_frame_unref(frame);
    }
    av_frame_free(&frame);
    return ok;
}

bool FfmpegAacEncoder::write(const QByteArray& pcm) {
    if (!headerWritten_)
        return false;
    pending_ += converter_ ? converter_->convert(pcm) : pcm;
    return encodePending(false);
}

bool FfmpegAacEncoder::finish() {
    if (!headerWritten_)
        return false;
    if (converter_)
        pending_ += converter_->flush();
    bool ok = encodePending(true) && sendFrame(nullptr);
    ok = av_write_trailer(format_) >= 0 && ok;
    // The last buffered bytes reach the disk here: a full disk shows only now.
    if (format_->pb) {
        avio_flush(format_->pb);
        ok = format_->pb->error >= 0 && ok;
        ok = avio_closep(&format_->pb) >= 0 && ok;
    }
    headerWritten_ = false;
    release();
    return ok;
}

void FfmpegAacEncoder::abandon() {
    headerWritten_ = false;
    release();
}

// ---- Decoding ---------------------------------------------------------------------------

struct MemoryReader {
    const QByteArray* bytes;
    qint64 pos = 0;
};

int readPacket(void* opaque, uint8_t* buf, int size) {
    auto* reader = static_cast<MemoryReader*>(opaque);
    const qint64 left = reader->bytes->size() - reader->pos;
    if (left <= 0)
        return AVERROR_EOF;
    const int n = static_cast<int>(qMin<qint64>(left, size));
    std::memcpy(buf, reader->bytes->constData() + reader->pos, static_cast<size_t>(n));
    reader->pos += n;
    return n;
}

int64_t seekPacket(void* opaque, int64_t offset, int whence) {
    auto* reader = static_cast<MemoryReader*>(opaque);
    const qint64 size = reader->bytes->size();
    qint64 target = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return size;
    case SEEK_SET:
        target = offset;
        break;
    case SEEK_CUR:
        target = reader->pos + offset;
        break;
    case SEEK_END:
        target = size + offset;
        break;
    default:
        return -1;
    }
    if (target < 0 || target > size)
        return -1;
    reader->pos = target;
    return target;
}

// Owns the libav objects of one decoding.
struct DecodeSession {
    AVFormatContext* format = nullptr;
    AVIOContext* io = nullptr;
    AVCodecContext* codec = nullptr;
    SwrContext* swr = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    ~DecodeSession() {
        av_frame_free(&frame);
        av_packet_free(&packet);
        swr_free(&swr);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }
};

struct DecodeFailure {
    QString detail;
    explicit DecodeFailure(QString text)
        : detail(std::move(text)) {}
    explicit DecodeFailure(const char* text)
        : detail(QString::fromUtf8(text)) {}
};

AudioDecoding decodeWhole(const QByteArray& bytes, qint64 maxDurationMs) {
    quietLibav();
    if (bytes.isEmpty())
        throw DecodeFailure("empty");
    MemoryReader reader{&bytes};
    DecodeSession s;
    constexpr int kIoBuffer = 32 * 1024;
    auto* ioBuffer = static_cast<uint8_t*>(av_malloc(kIoBuffer));
    s.io = avio_alloc_context(ioBuffer, kIoBuffer, 0, &reader, readPacket, nullptr, seekPacket);
    s.format = avformat_alloc_context();
    if (!s.io || !s.format)
        throw DecodeFailure("out of memory");
    s.format->pb = s.io;
    s.format->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Playlists and other containers that name further files or URLs open nothing.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "none", 0);
    int rc = avformat_open_input(&s.format, nullptr, nullptr, &options);
    av_dict_free(&options);
    if (rc < 0) {
        s.format = nullptr; // freed by avformat_open_input on failure
        throw DecodeFailure(avError(rc));
    }
    if ((rc = avformat_find_stream_info(s.format, nullptr)) < 0)
        throw DecodeFailure(avError(rc));
    const AVCodec* decoder = nullptr;
    const int streamIndex = av_find_best_stream(s.format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (streamIndex < 0 || !decoder)
        throw DecodeFailure("no audio stream");
    s.codec = avcodec_alloc_context3(decoder);
    if (!s.codec || avcodec_parameters_to_context(s.codec, s.format->streams[streamIndex]->codecpar) < 0 ||
        avcodec_open2(s.codec, decoder, nullptr) < 0)
        throw DecodeFailure("decoder refused");
    const int rate = s.codec->sample_rate;
    const int inChannels = s.codec->ch_layout.nb_channels;
    if (rate <= 0 || rate > 384000 || inChannels <= 0)
        throw DecodeFailure("bad stream parameters");
    AudioDecoding out;
    out.format = {rate, qMin(inChannels, 2)};
    out.codecName = QString::fromUtf8(decoder->name);
    const qint64 maxBytes = out.format.bytesForMs(maxDurationMs);

    AVChannelLayout outLayout = layoutFor(out.format.channels);
    rc = swr_alloc_set_opts2(&s.swr, &outLayout, AV_SAMPLE_FMT_S16, rate, &s.codec->ch_layout,
                             s.codec->sample_fmt, rate, 0, nullptr);
    av_channel_layout_uninit(&outLayout);
    if (rc < 0 || swr_init(s.swr) < 0)
        throw DecodeFailure("no converter");

    s.packet = av_packet_alloc();
    s.frame = av_frame_alloc();
    auto drain = [&]() {
        while (true) {
            const int r = avcodec_receive_frame(s.codec, s.frame);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
                return;
            if (r < 0)
                throw DecodeFailure(avError(r));
            // The frame must still match what the converter was set up for.
            if (s.frame->sample_rate != rate || s.frame->ch_layout.nb_channels != inChannels ||
                s.frame->format != s.codec->sample_fmt)
                throw DecodeFailure("stream parameters changed");
            const int capacity = swr_get_out_samples(s.swr, s.frame->nb_samples);
            if (capacity <= 0) {
                av_frame_unref(s.frame);
                continue;
            }
            const qint64 room = maxBytes - out.pcm.size();
            if (static_cast<qint64>(capacity) * out.format.bytesPerFrame() >
                room + out.format.bytesForMs(1000))
                throw DecodeFailure("too long");
            const qsizetype start = out.pcm.size();
            out.pcm.resize(start + static_cast<qsizetype>(capacity) * out.format.bytesPerFrame());
            auto* dst = reinterpret_cast<uint8_t*>(out.pcm.data() + start);
            const int produced =
                swr_convert(s.swr, &dst, capacity, const_cast<const uint8_t**>(s.frame->extended_data),
                            s.frame->nb_samples);
            av_frame_unref(s.frame);
            if (produced < 0)
                throw DecodeFailure("conversion failed");
            out.pcm.truncate(start + static_cast<qsizetype>(produced) * out.format.bytesPerFrame());
            if (out.pcm.size() > maxBytes)
                throw DecodeFailure("too long");
        }
    };
    while ((rc = av_read_frame(s.format, s.packet)) >= 0) {
        if (s.packet->stream_index == streamIndex) {
            const int sent = avcodec_send_packet(s.codec, s.packet);
            av_packet_unref(s.packet);
            // A damaged packet is skipped, as players do.
            if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA)
                throw DecodeFailure(avError(sent));
            drain();
        } else {
            av_packet_unref(s.packet);
        }
    }
    avcodec_send_packet(s.codec, nullptr);
    drain();
    if (out.pcm.isEmpty())
        throw DecodeFailure("no samples");
    out.ok = true;
    return out;
}

class FfmpegCodecModule final : public AudioCodecModule {
public:
    std::unique_ptr<PcmResampler> resampler(PcmFormat from, PcmFormat to) override {
        auto resampler = std::make_unique<FfmpegResampler>(from, to);
        if (!resampler->isValid())
            return nullptr;
        return resampler;
    }
    std::unique_ptr<AacEncoder> aacEncoder(int sampleRate, int bitRate) override {
        return std::make_unique<FfmpegAacEncoder>(sampleRate, bitRate);
    }
    AudioDecoding decode(const QByteArray& bytes, qint64 maxDurationMs) override {
        try {
            return decodeWhole(bytes, maxDurationMs);
        } catch (const DecodeFailure& failure) {
            AudioDecoding failed;
            failed.error = failure.detail;
            return failed;
        } catch (const std::bad_alloc&) {
            AudioDecoding failed;
            failed.error = QStringLiteral("out of memory");
            return failed;
        }
    }
};

} // namespace

OMBRIX_MODULE_EXPORT(audiocodec) {
    static FfmpegCodecModule module;
    return &module;
}

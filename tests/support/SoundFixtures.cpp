#include "support/SoundFixtures.h"

#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSet>
#include <QtEndian>

#include <cmath>

bool soundServerAvailable() {
    return qEnvironmentVariable("OMBRIX_TEST_SOUND") == "1" && !qEnvironmentVariableIsEmpty("PULSE_SERVER");
}

QByteArray sinePcm(PcmFormat format, double frequency, double amplitude, int ms) {
    const qint64 frames = static_cast<qint64>(format.sampleRate) * ms / 1000;
    QByteArray out(frames * format.bytesPerFrame(), Qt::Uninitialized);
    auto* s = reinterpret_cast<qint16*>(out.data());
    for (qint64 i = 0; i < frames; ++i) {
        const double v =
            amplitude * std::sin(2 * M_PI * frequency * static_cast<double>(i) / format.sampleRate);
        const auto sample = static_cast<qint16>(std::lround(v * 32767));
        for (int c = 0; c < format.channels; ++c)
            s[i * format.channels + c] = sample;
    }
    return out;
}

QByteArray silencePcm(PcmFormat format, int ms) {
    return QByteArray(static_cast<qsizetype>(format.sampleRate) * ms / 1000 * format.bytesPerFrame(), '\0');
}

double rmsOf(const QByteArray& pcm) {
    const auto* s = reinterpret_cast<const qint16*>(pcm.constData());
    const qint64 n = pcm.size() / 2;
    if (n == 0)
        return 0;
    double sum = 0;
    for (qint64 i = 0; i < n; ++i)
        sum += static_cast<double>(s[i]) * s[i];
    return std::sqrt(sum / static_cast<double>(n)) / 32768.0;
}

QByteArray wavFile(PcmFormat format, const QByteArray& pcm) {
    QByteArray h;
    auto u32 = [&](quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        h.append(b, 4);
    };
    auto u16 = [&](quint16 v) {
        char b[2];
        qToLittleEndian(v, b);
        h.append(b, 2);
    };
    h += "RIFF";
    u32(static_cast<quint32>(36 + pcm.size()));
    h += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(static_cast<quint16>(format.channels));
    u32(static_cast<quint32>(format.sampleRate));
    u32(static_cast<quint32>(format.sampleRate * format.bytesPerFrame()));
    u16(static_cast<quint16>(format.bytesPerFrame()));
    u16(16);
    h += "data";
    u32(static_cast<quint32>(pcm.size()));
    return h + pcm;
}

double loudestRms(const QByteArray& pcm, PcmFormat format, int ms) {
    const qsizetype window = format.bytesForMs(ms);
    const qsizetype step = qMax<qsizetype>(format.bytesPerFrame(), format.bytesForMs(10));
    double loudest = 0;
    for (qsizetype at = 0; window > 0 && at + window <= pcm.size(); at += step)
        loudest = std::max(loudest, rmsOf(pcm.mid(at, window)));
    return loudest;
}

namespace {
// What `pactl list short WHAT` prints, in the C locale.
QList<QStringList> pactlShort(const QString& what) {
    QProcess pactl;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    pactl.setProcessEnvironment(environment);
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), what});
    pactl.waitForFinished(kEventWaitMs);
    QList<QStringList> rows;
    for (const QString& line : QString::fromUtf8(pactl.readAllStandardOutput()).split(QLatin1Char('\n')))
        if (!line.trimmed().isEmpty())
            rows << line.split(QLatin1Char('\t'));
    return rows;
}
} // namespace

QStringList soundStreamsOf(qint64 pid) {
    // The clients of that process, by their index, then the streams of those clients.
    QProcess pactl;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    pactl.setProcessEnvironment(environment);
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("clients")});
    pactl.waitForFinished(kEventWaitMs);
    QSet<QString> clients;
    QString client;
    static const QRegularExpression header(QStringLiteral("^Client #(\\d+)"));
    const QString processId = QStringLiteral("application.process.id = \"%1\"").arg(pid);
    for (const QString& line : QString::fromUtf8(pactl.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = header.match(line);
        if (match.hasMatch())
            client = match.captured(1);
        else if (line.trimmed() == processId)
            clients.insert(client);
    }
    QStringList streams;
    for (const QString& kind : {QStringLiteral("sink-inputs"), QStringLiteral("source-outputs")})
        for (const QStringList& row : pactlShort(kind))
            if (row.size() > 2 && clients.contains(row.at(2)))
                streams << kind.chopped(1) + QLatin1Char(' ') + row.at(0);
    return streams;
}

// ---- parec / pacat ------------------------------------------------------------------

SinkCapture::SinkCapture(PcmFormat format)
    : format_(format) {}

SinkCapture::~SinkCapture() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(kEventWaitMs);
    }
}

bool SinkCapture::start() {
    process_.start("parec", {"--device=ombrix_speaker.monitor", "--raw", "--format=s16le",
                             QStringLiteral("--rate=%1").arg(format_.sampleRate),
                             QStringLiteral("--channels=%1").arg(format_.channels), "--latency-msec=20"});
    if (!process_.waitForStarted(kEventWaitMs))
        return false;
    // The stream is connected and running once the monitor's first samples (silence
    // until something plays) have come: only then may anything be played.
    if (!spinUntil(
            [&] { return process_.bytesAvailable() > 0 || process_.state() == QProcess::NotRunning; }) ||
        process_.state() == QProcess::NotRunning)
        return false;
    process_.readAllStandardOutput();
    bytes_.clear();
    return true;
}

QByteArray SinkCapture::captured() {
    bytes_ += process_.readAllStandardOutput();
    return bytes_;
}

QByteArray SinkCapture::stop() {
    bytes_ += process_.readAllStandardOutput();
    process_.terminate();
    process_.waitForFinished(kEventWaitMs);
    bytes_ += process_.readAllStandardOutput();
    return bytes_;
}

bool SinkPlayer::play(const QByteArray& pcm, PcmFormat format) {
    process_.start("pacat", {"--playback", "--device=ombrix_speaker", "--raw", "--format=s16le",
                             QStringLiteral("--rate=%1").arg(format.sampleRate),
                             QStringLiteral("--channels=%1").arg(format.channels), "--latency-msec=20"});
    if (!process_.waitForStarted(kEventWaitMs))
        return false;
    process_.write(pcm);
    process_.closeWriteChannel();
    return true;
}

void SinkPlayer::waitFinished() {
    spinUntil([&] { return finished(); });
}

SinkPlayer::~SinkPlayer() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(kEventWaitMs);
    }
}

// ---- Scripted devices --------------------------------------------------------------------

namespace {

constexpr int kTickMs = 20;

class FakeInput : public AudioInputStream {
public:
    FakeInput(PcmFormat format, double amplitude, bool starts, std::shared_ptr<int> running, int msPerTick,
              bool numbered)
        : format_(format)
        , amplitude_(amplitude)
        , starts_(starts)
        , running_(std::move(running)) {
        timer_.setInterval(kTickMs);
        QObject::connect(&timer_, &QTimer::timeout, this, [this, msPerTick, numbered] {
            QByteArray chunk = sinePcm(format_, 440, amplitude_, msPerTick);
            if (numbered && chunk.size() >= 2)
                reinterpret_cast<qint16*>(chunk.data())[0] = static_cast<qint16>(++pieces_);
            emit data(chunk);
        });
    }
    void fail() {
        if (!timer_.isActive())
            return;
        stop();
        emit failed();
    }
    PcmFormat format() const override { return format_; }
    bool start() override {
        if (!starts_)
            return false;
        if (!timer_.isActive())
            ++*running_;
        timer_.start();
        return true;
    }
    void stop() override {
        if (timer_.isActive())
            --*running_;
        timer_.stop();
    }
    ~FakeInput() override { stop(); }

private:
    PcmFormat format_;
    double amplitude_;
    bool starts_;
    std::shared_ptr<int> running_;
    QTimer timer_;
    int pieces_ = 0;
};

class FakeOutput : public AudioOutputStream {
public:
    FakeOutput(std::shared_ptr<FakeAudioDevices::Output> record)
        : record_(std::move(record)) {
        timer_.setInterval(kTickMs);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            const qint64 want = record_->format.bytesForMs(kTickMs);
            QByteArray chunk(want, Qt::Uninitialized);
            const qint64 n = fifo_->read(chunk.data(), want);
            if (n > 0)
                record_->played.append(chunk.constData(), n);
            if (fifo_->drained()) {
                timer_.stop();
                record_->drained = true;
                emit drained();
            }
        });
    }
    PcmFormat format() const override { return record_->format; }
    bool start(std::shared_ptr<PcmFifo> fifo) override {
        fifo_ = std::move(fifo);
        timer_.start();
        return true;
    }
    void stop() override {
        timer_.stop();
        record_->stopped = true;
    }
    void fail() {
        if (!timer_.isActive())
            return;
        stop();
        emit failed();
        emit drained();
    }
    ~FakeOutput() override { record_->stopped = true; }

private:
    std::shared_ptr<FakeAudioDevices::Output> record_;
    std::shared_ptr<PcmFifo> fifo_;
    QTimer timer_;
};

} // namespace

std::unique_ptr<AudioInputStream> FakeAudioDevices::openInput(std::optional<PcmFormat> wanted) {
    if (!microphone)
        return nullptr;
    ++inputsOpened;
    const PcmFormat format = honourWantedFormat && wanted ? *wanted : inputFormat;
    auto input = std::make_unique<FakeInput>(format, inputAmplitude, microphoneStarts, runningInputs,
                                             inputMsPerTick, numberPieces);
    inputs_.emplace_back(input.get());
    return input;
}

std::unique_ptr<AudioOutputStream> FakeAudioDevices::openOutput(PcmFormat format) {
    if (!speakers)
        return nullptr;
    auto record = std::make_shared<Output>();
    record->format = format;
    outputs.push_back(record);
    auto output = std::make_unique<FakeOutput>(record);
    outputStreams_.emplace_back(output.get());
    return output;
}

void FakeAudioDevices::failInputs() {
    for (const QPointer<AudioInputStream>& input : inputs_)
        if (input)
            static_cast<FakeInput*>(input.data())->fail();
}

void FakeAudioDevices::failOutputs() {
    for (const QPointer<AudioOutputStream>& output : outputStreams_)
        if (output)
            static_cast<FakeOutput*>(output.data())->fail();
}

int FakeAudioDevices::playingOutputs() const {
    int n = 0;
    for (const auto& o : outputs)
        if (!o->stopped && !o->drained)
            ++n;
    return n;
}

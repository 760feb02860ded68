#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QMutex>
#include <QObject>

#include <memory>
#include <optional>

class SoundModule;

// The monotonic clock in nanoseconds (steady_clock), for latency measurements.
qint64 steadyNowNs();

// PCM as the voice code moves it around: signed 16-bit samples, native byte order
// (little-endian here), channels interleaved.
struct PcmFormat {
    int sampleRate = 0;
    int channels = 0;

    int bytesPerFrame() const { return channels * 2; }
    qint64 bytesForMs(qint64 ms) const { return ms * sampleRate / 1000 * bytesPerFrame(); }
    bool operator==(const PcmFormat&) const = default;
};

// A queue of PCM bytes that an output stream reads from. Filled from any thread
// (the synthesis worker, the GUI thread), read by the sink. Holds at most
// maxBytes: what would go beyond is dropped and counted, so that no source can make
// it grow without bound. ended() says that nothing more will be appended.
class PcmFifo : public QIODevice {
    Q_OBJECT
public:
    explicit PcmFifo(qint64 maxBytes, QObject* parent = nullptr);

    // Appends bytes; returns how many were kept.
    qint64 append(const QByteArray& bytes);
    void markEnded();
    // A live stream: while nothing is queued the sink reads silence instead of
    // running dry (it then keeps its pace and plays what comes next at once).
    void setSilenceWhenEmpty(bool value);
    // Drops everything queued (what the sink already took plays out).
    void clear();

    bool ended() const;
    qint64 queuedBytes() const;
    // Whether the end was marked and everything was read.
    bool drained() const;
    qint64 droppedBytes() const;
    // Nanoseconds on the monotonic clock when the sink first read bytes; 0 before.
    qint64 firstReadNs() const;

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    mutable QMutex mutex_;
    QByteArray buffer_;
    qint64 readPos_ = 0;
    qint64 maxBytes_;
    qint64 dropped_ = 0;
    qint64 firstReadNs_ = 0;
    bool ended_ = false;
    bool silenceWhenEmpty_ = false;
};

// Microphone capture. data() delivers PCM in format() on the GUI thread; failed()
// says that a started capture stopped on a device error (nothing more will come).
class AudioInputStream : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual PcmFormat format() const = 0;
    virtual bool start() = 0;
    virtual void stop() = 0;

signals:
    void data(const QByteArray& pcm);
    void failed();
};

// Playback of a PcmFifo. drained() is emitted once the fifo has ended and the
// sink has played everything it took (or the device failed while playing); a
// device failure also emits failed(), just before.
class AudioOutputStream : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual PcmFormat format() const = 0;
    // Starts reading the fifo (kept alive by the stream); false when the device refuses.
    virtual bool start(std::shared_ptr<PcmFifo> fifo) = 0;
    virtual void stop() = 0;

signals:
    void drained();
    void failed();
};

// The sound devices, behind one small interface so that the voice logic runs the
// same against Qt Multimedia (the real one) and against a scripted set in tests.
class AudioDevices {
public:
    virtual ~AudioDevices() = default;

    // Whether a microphone exists (what "microphone access" means here).
    virtual bool hasInput() = 0;
    // Opens the default microphone in `wanted` when the device takes it, otherwise in
    // the device's own rate and channel count (the caller converts). Nothing when
    // there is no microphone.
    virtual std::unique_ptr<AudioInputStream> openInput(std::optional<PcmFormat> wanted = std::nullopt) = 0;
    // Opens the default speaker for PCM in `format`; nothing when there is none or it
    // does not take the format.
    virtual std::unique_ptr<AudioOutputStream> openOutput(PcmFormat format) = 0;

    // The process-wide devices: Qt Multimedia unless a test installed others.
    static AudioDevices& shared();
    static void setShared(std::shared_ptr<AudioDevices> devices);
    // The devices of a given sound module, as the shared ones are of the loaded one.
    static std::shared_ptr<AudioDevices> overModule(SoundModule& module);
    // At the program's end (Lifetime): every stream of the sound module still open
    // is stopped and its device released (the stream stays, inert), so that the
    // sound server's client library is never left with a stream open. How many
    // were open. GUI thread.
    static int closeAll();
};

#pragma once

#include "voice/AudioDevices.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <memory>
#include <optional>
#include <string>

class PcmConverter;
class QWebSocket;

// One realtime voice conversation at a time: asks the backend for a realtime
// session, opens the WebSocket it names with the short-lived token, speaks the
// realtime event protocol on it, streams the microphone as 16-bit PCM at 24 kHz
// and plays the model's voice as it arrives. Everything runs on the GUI thread.
//
// Each start has a generation: stop() during the session call wins (the start
// then opens nothing), and signals of a replaced or stopped socket are dropped.
// A session is live only on a live connection: a socket error, a close, an
// upgrade unanswered within the time-out, a sound device that fails or audio
// piling up unsent all end it, idle, with failure() saying why.
class RealtimeClient : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kErrorDomain = "OmbrixMac.Realtime";
    static constexpr int kSampleRate = 24000;
    // Bounds on what the service can make the client hold. An event (text, or a
    // binary frame read as text) is at most 256 KiB: an audio delta (a fraction of
    // a second of speech) is a few kilobytes, the session events a few more, and
    // Qt reads a message on the GUI thread (1 MiB cost it tenths of a second on a
    // loaded machine, docs/benchmarks.md). A larger one ends the session with an error.
    static constexpr qint64 kMaxEventBytes = 256 * 1024;
    // Events longer than this are read (JSON, base64) on the thread pool, so that
    // the largest one costs the GUI thread no more than a small one; the events
    // keep their order. At most kMaxPendingEventChars wait to be read.
    static constexpr qsizetype kInlineEventChars = 64 * 1024;
    static constexpr qsizetype kMaxPendingEventChars = 8 * 1024 * 1024;
    static constexpr qint64 kMaxQueuedPlaybackBytes = 2LL * kSampleRate * 300; // five minutes
    static constexpr qsizetype kMaxTranscriptChars = 100000;
    // The service must answer the WebSocket upgrade within this time.
    static constexpr int kOpenTimeoutMs = 60000;
    // Microphone audio kept while the socket opens (10 s of 24 kHz PCM16), sent once it is open.
    static constexpr qint64 kMaxEarlyAudioBytes = 10LL * 2 * kSampleRate;
    // At most about four seconds of audio (base64 in JSON) may wait to go out.
    static constexpr qint64 kMaxUnsentBytes = 4LL * 2 * kSampleRate * 4 / 3;

    struct State {
        enum class Kind { Idle, Connecting, Listening, Speaking, Error };
        Kind kind = Kind::Idle;
        QString message; // for Error

        static State idle() { return {}; }
        static State connecting() { return {Kind::Connecting, {}}; }
        static State listening() { return {Kind::Listening, {}}; }
        static State speaking() { return {Kind::Speaking, {}}; }
        static State error(QString message) { return {Kind::Error, std::move(message)}; }
        bool operator==(const State&) const = default;
    };

    explicit RealtimeClient(QObject* parent = nullptr);
    ~RealtimeClient() override;

    State state() const { return state_; }
    QString lastAssistantText() const { return lastAssistantText_; }
    QString lastUserText() const { return lastUserText_; }

    // Runs one session start; never throws. Does nothing while connecting,
    // listening or speaking; from an error, stops first. Every failure ends idle.
    QCoro::Task<> start(QString token, QString voice);
    // Ends the session: microphone, playback and socket (closed with 1001). Safe in any state.
    void stop();

    // The backend's realtime session endpoint.
    static QUrl sessionURL();
    // The exact session.update message.
    static QByteArray sessionUpdateMessage();
    // Why the last session ended on a failure (its start, the connection, a sound
    // device, a backlog), in French; empty after a start or a stop() asked for.
    // The client is idle then; the screen shows it as an error.
    QString failure() const { return failure_; }
    // Test and measurement knobs: the upgrade time-out and the unsent-bytes bound.
    void setOpenTimeout(int ms) { openTimeoutMs_ = ms; }
    void setMaxUnsentBytes(qint64 bytes) { maxUnsentBytes_ = bytes; }
    // Samples handed to the speaker so far (for tests and measurements).
    qint64 scheduledFrames() const { return scheduledFrames_; }
    // Called with each append message sent and each delta queued (for measurements).
    void setObserverForTesting(std::function<void(const char* what)> observer) {
        observer_ = std::move(observer);
    }

signals:
    void stateChanged();
    void failureChanged();
    void lastAssistantTextChanged();
    void lastUserTextChanged();

public:
    // One service event as read, with what the client acts on: "delta",
    // "transcript" or the error's "message" by type, and an audio delta decoded.
    struct Event {
        std::string type;
        std::optional<QString> text;
        std::optional<QByteArray> audio;
    };
    // Reads an event's text (any thread); nothing for text that is no event.
    static std::optional<Event> readEvent(const QString& text);

private:
    struct SessionInfo {
        QUrl wsURL;
        QString ephemeralToken;
    };
    static QCoro::Task<SessionInfo> fetchSession(QString userToken, QString voice);
    void connectSocket(const QUrl& url, const QString& ephemeralToken);
    void startAudio();
    void handleEvent(const QString& text);
    void applyEvent(const Event& event);
    // Reads the events waiting behind one being read on the thread pool.
    void readPendingEvents();
    void sendSessionUpdate();
    void schedulePlayback(const QByteArray& pcm16);
    void forwardMic(const QByteArray& pcm);
    void setState(const State& value);
    void setAssistantText(const QString& value);
    void releaseSocket();
    void onConnected();
    void sendAppend(const QByteArray& samples);
    // Releases everything the session holds and goes idle.
    void endSession();
    // Ends the session and keeps why.
    void fail(const QString& message);
    // The same, from the event loop (when called from a device's or the socket's signal).
    void failLater(const QString& message);

    State state_;
    QString lastAssistantText_;
    QString lastUserText_;
    quint64 generation_ = 0;
    QWebSocket* socket_ = nullptr;
    bool socketOpen_ = false; // the upgrade was answered
    std::unique_ptr<AudioInputStream> input_;
    std::unique_ptr<PcmConverter> micConverter_;
    std::unique_ptr<AudioOutputStream> output_;
    std::shared_ptr<PcmFifo> playback_;
    bool sessionConfigured_ = false;
    qint64 scheduledFrames_ = 0;
    QString failure_;
    std::function<void(const char*)> observer_;
    QTimer openTimer_;
    int openTimeoutMs_ = kOpenTimeoutMs;
    qint64 maxUnsentBytes_ = kMaxUnsentBytes;
    // Converted microphone pieces waiting for the socket to open, and their size.
    QList<QByteArray> earlyAudio_;
    qint64 earlyAudioBytes_ = 0;
    // What the catch-up send of earlyAudio_ still has to write (not counted as backlog).
    qint64 catchUpBytes_ = 0;
    // Events waiting while a large one is read on the thread pool.
    QList<QString> pendingEvents_;
    qsizetype pendingEventChars_ = 0;
    bool readingEvent_ = false;
};

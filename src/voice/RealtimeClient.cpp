#include "voice/RealtimeClient.h"

#include "platform/Characters.h"
#include "platform/Json.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/APIConfig.h"
#include "session/OmbrixHTTP.h"
#include "voice/AudioCodec.h"
#include "voice/AudioPlayer.h"
#include "voice/VoiceError.h"

#include <QFutureWatcher>
#include <QNetworkRequest>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>
#include <QWebSocket>
#include <QtConcurrent/QtConcurrentRun>

namespace {
QString connectionImpossible() {
    return loc("Connexion au service vocal impossible");
}
QString connectionLost() {
    return loc("Connexion au service vocal interrompue");
}
QString eventTooLarge() {
    return loc("Le service vocal a envoyé un message trop volumineux");
}
} // namespace

RealtimeClient::RealtimeClient(QObject* parent)
    : QObject(parent) {
    openTimer_.setSingleShot(true);
    connect(&openTimer_, &QTimer::timeout, this, [this] {
        if (socket_ && !socketOpen_) {
            qCInfo(lcVoice) << "realtime service did not answer the upgrade in time";
            fail(loc("Le service vocal ne répond pas"));
        }
    });
}

RealtimeClient::~RealtimeClient() {
    blockSignals(true);
    stop();
}

QUrl RealtimeClient::sessionURL() {
    return APIConfig::endpoint(QStringLiteral("/realtime_sessions"));
}

QByteArray RealtimeClient::sessionUpdateMessage() {
    Json session = Json::object();
    session["modalities"] = Json::array({"text", "audio"});
    session["input_audio_format"] = "pcm16";
    session["output_audio_format"] = "pcm16";
    session["input_audio_transcription"] = {{"model", "gpt-4o-mini-transcribe"}};
    session["turn_detection"] = {
        {"type", "server_vad"}, {"threshold", 0.5}, {"prefix_padding_ms", 300}, {"silence_duration_ms", 500}};
    Json message = Json::object();
    message["type"] = "session.update";
    message["session"] = session;
    return json::dump(message);
}

QCoro::Task<> RealtimeClient::start(QString token, QString voice) {
    if (state_.kind == State::Kind::Connecting || state_.kind == State::Kind::Listening ||
        state_.kind == State::Kind::Speaking)
        co_return;
    if (state_.kind == State::Kind::Error)
        stop();
    const quint64 generation = ++generation_;
    QPointer<RealtimeClient> self(this);
    const bool hadFailure = !failure_.isEmpty();
    failure_.clear();
    setState(State::connecting());
    if (hadFailure)
        emit failureChanged();
    try {
        const SessionInfo info = co_await fetchSession(token, voice);
        // A stop() during the call wins: nothing is opened for a superseded start.
        if (!self || generation != generation_)
            co_return;
        connectSocket(info.wsURL, info.ephemeralToken);
        startAudio();
        setState(State::listening());
    } catch (...) {
        const QString failure = describeException(std::current_exception());
        if (self && generation == generation_) {
            qCInfo(lcVoice) << "realtime session not started:" << failure;
            fail(failure);
        }
    }
}

QCoro::Task<RealtimeClient::SessionInfo> RealtimeClient::fetchSession(QString userToken, QString voice) {
    HttpRequest request;
    request.url = sessionURL();
    request.method = "POST";
    request.timeoutMs = 60000;
    request.setHeader("Content-Type", "application/json");
    request.setHeader("X-User-Token", userToken.toUtf8());
    Json body = Json::object();
    body["provider"] = "openai";
    body["voice"] = json::str(voice);
    body["channel"] = "realtime_desktop";
    body["product_context"] = "ombrix";
    body["surface"] = "ombrix_desktop";
    body["agent_slug"] = "assistant";
    body["proactive_mode"] = "suggestions";
    request.body = json::dump(body);
    const HttpResponse response = co_await HttpSession::pinned().ombrixData(std::move(request));
    if (response.status < 200 || response.status > 299)
        throw VoiceError(kErrorDomain, response.status,
                         loc("Session refusée (HTTP %1)").arg(response.status));
    const Json value = json::parse(response.body);
    auto invalid = [] { return VoiceError(kErrorDomain, 0, loc("Réponse /realtime_sessions invalide")); };
    if (!value.is_object())
        throw invalid();
    const auto url = value.find("ws_url");
    const auto token = value.find("ephemeral_token");
    if (url == value.end() || !url->is_string() || token == value.end() || !token->is_string())
        throw invalid();
    const QUrl wsURL(json::qstr(*url), QUrl::StrictMode);
    // Only a WebSocket address is opened; anything else is refused before any connection.
    const QString scheme = wsURL.scheme();
    if (json::qstr(*url).isEmpty() || !wsURL.isValid() || wsURL.host().isEmpty() ||
        (scheme != QLatin1String("ws") && scheme != QLatin1String("wss")))
        throw invalid();
    co_return SessionInfo{wsURL, json::qstr(*token)};
}

void RealtimeClient::connectSocket(const QUrl& url, const QString& ephemeralToken) {
    // A socket still held is closed before the new one is used.
    releaseSocket();
    QNetworkRequest request(url);
    request.setTransferTimeout(60000);
    request.setRawHeader("Authorization", "Bearer " + ephemeralToken.toUtf8());
    request.setRawHeader("OpenAI-Beta", "realtime=v1");
    auto* socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    socket->setMaxAllowedIncomingMessageSize(kMaxEventBytes);
    socket->setMaxAllowedIncomingFrameSize(kMaxEventBytes);
    socket_ = socket;
    const quint64 generation = generation_;
    auto current = [this, socket, generation] { return socket == socket_ && generation == generation_; };
    connect(socket, &QWebSocket::textMessageReceived, this, [this, current](const QString& text) {
        if (current())
            handleEvent(text);
    });
    connect(socket, &QWebSocket::binaryMessageReceived, this, [this, current](const QByteArray& bytes) {
        if (!current())
            return;
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(bytes);
        if (!decoder.hasError())
            handleEvent(text);
    });
    connect(socket, &QWebSocket::connected, this, [this, current] {
        if (current())
            onConnected();
    });
    connect(socket, &QWebSocket::bytesWritten, this, [this, current](qint64 bytes) {
        if (current())
            catchUpBytes_ = qMax<qint64>(0, catchUpBytes_ - bytes);
    });
    connect(socket, &QWebSocket::disconnected, this, [this, current, socket] {
        if (!current())
            return;
        qCInfo(lcVoice) << "realtime connection ended" << socket->closeCode();
        // The socket closes itself with "too much data" on a message past the bound.
        if (socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData)
            fail(eventTooLarge());
        else
            fail(socketOpen_ ? connectionLost() : connectionImpossible());
    });
    // Some refusals (a wrong upgrade answer, an unsupported address) come only as
    // error(), with the socket left as it was: they end the session all the same.
    // Handled from the event loop, not inside the socket's own signal.
    connect(
        socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
        [this, current, socket](QAbstractSocket::SocketError error) {
            if (!current())
                return;
            qCInfo(lcVoice) << "realtime connection failed:" << error << socket->errorString();
            fail(socketOpen_ ? connectionLost() : connectionImpossible());
        },
        Qt::QueuedConnection);
    openTimer_.start(openTimeoutMs_);
    socket->open(request);
}

void RealtimeClient::onConnected() {
    openTimer_.stop();
    socketOpen_ = true;
    // What the microphone said while the socket opened goes first, in order.
    const QList<QByteArray> early = std::exchange(earlyAudio_, {});
    earlyAudioBytes_ = 0;
    for (const QByteArray& samples : early)
        sendAppend(samples);
    catchUpBytes_ = socket_ ? socket_->bytesToWrite() : 0;
}

void RealtimeClient::startAudio() {
    const PcmFormat target{kSampleRate, 1};
    std::unique_ptr<AudioInputStream> input = AudioDevices::shared().openInput(target);
    if (!input)
        throw MessageError(loc("Aucun micro disponible"));
    micConverter_.reset();
    if (!(input->format() == target)) {
        micConverter_ = std::make_unique<PcmConverter>(input->format(), target);
        if (!micConverter_->isValid())
            micConverter_.reset();
    }
    const bool convertible = input->format() == target || micConverter_;
    auto playback = std::make_shared<PcmFifo>(kMaxQueuedPlaybackBytes);
    playback->setSilenceWhenEmpty(true);
    std::unique_ptr<AudioOutputStream> output = AudioDevices::shared().openOutput(target);
    if (!output || !output->start(playback))
        throw MessageError(loc("Le haut-parleur n’a pas pu démarrer"));
    if (convertible)
        connect(input.get(), &AudioInputStream::data, this, &RealtimeClient::forwardMic);
    // A device that breaks mid-session ends it.
    connect(input.get(), &AudioInputStream::failed, this,
            [this] { failLater(loc("Le micro s’est arrêté")); });
    connect(output.get(), &AudioOutputStream::failed, this,
            [this] { failLater(loc("Le haut-parleur s’est arrêté")); });
    if (!input->start()) {
        output->stop();
        throw MessageError(loc("Le micro n’a pas pu démarrer"));
    }
    input_ = std::move(input);
    output_ = std::move(output);
    playback_ = std::move(playback);
}

void RealtimeClient::forwardMic(const QByteArray& pcm) {
    if (!socket_)
        return;
    const QByteArray samples = micConverter_ ? micConverter_->convert(pcm) : pcm;
    if (samples.isEmpty())
        return;
    if (!socketOpen_) {
        // Kept until the socket opens, up to the bound; later audio is dropped.
        if (earlyAudioBytes_ + samples.size() <= kMaxEarlyAudioBytes) {
            earlyAudio_.append(samples);
            earlyAudioBytes_ += samples.size();
        }
        return;
    }
    // A connection that cannot keep up ends the session instead of piling audio up.
    if (socket_->bytesToWrite() - catchUpBytes_ > maxUnsentBytes_) {
        qCInfo(lcVoice) << "realtime audio backlog:" << socket_->bytesToWrite() << "bytes unsent";
        failLater(loc("Connexion trop lente : l’audio ne passe plus"));
        return;
    }
    sendAppend(samples);
}

void RealtimeClient::sendAppend(const QByteArray& samples) {
    if (!socket_)
        return;
    Json message = Json::object();
    message["type"] = "input_audio_buffer.append";
    message["audio"] = samples.toBase64().toStdString();
    socket_->sendTextMessage(QString::fromUtf8(json::dump(message)));
    if (observer_)
        observer_("append");
}

void RealtimeClient::handleEvent(const QString& text) {
    if (pendingEvents_.isEmpty() && !readingEvent_ && text.size() <= kInlineEventChars) {
        if (const std::optional<Event> event = readEvent(text))
            applyEvent(*event);
        return;
    }
    // Behind the one being read, in order, up to the bound.
    if (pendingEventChars_ + text.size() > kMaxPendingEventChars) {
        qCInfo(lcVoice) << "realtime events arrive faster than they are read";
        failLater(eventTooLarge());
        return;
    }
    pendingEvents_.append(text);
    pendingEventChars_ += text.size();
    if (!readingEvent_)
        readPendingEvents();
}

void RealtimeClient::readPendingEvents() {
    while (!pendingEvents_.isEmpty()) {
        const QString text = pendingEvents_.takeFirst();
        pendingEventChars_ -= text.size();
        if (text.size() <= kInlineEventChars) {
            if (const std::optional<Event> event = readEvent(text))
                applyEvent(*event);
            continue;
        }
        readingEvent_ = true;
        const quint64 generation = generation_;
        auto* watcher = new QFutureWatcher<std::optional<Event>>(this);
        connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation] {
            const std::optional<Event> event = watcher->result();
            watcher->deleteLater();
            if (generation != generation_)
                return; // the session ended meanwhile
            readingEvent_ = false;
            if (event)
                applyEvent(*event);
            readPendingEvents();
        });
        watcher->setFuture(QtConcurrent::run(&RealtimeClient::readEvent, text));
        return;
    }
}

std::optional<RealtimeClient::Event> RealtimeClient::readEvent(const QString& text) {
    Json value;
    try {
        value = json::parse(text.toUtf8());
    } catch (const JsonDecodingError&) {
        return std::nullopt;
    }
    if (!value.is_object())
        return std::nullopt;
    const auto typeIt = value.find("type");
    if (typeIt == value.end() || !typeIt->is_string())
        return std::nullopt;
    Event event;
    event.type = typeIt->get<std::string>();
    const auto stringMember = [](const Json& object, const char* key) -> std::optional<QString> {
        const auto it = object.find(key);
        if (it == object.end() || !it->is_string())
            return std::nullopt;
        return json::qstr(*it);
    };
    if (event.type == "response.audio.delta") {
        if (const auto delta = stringMember(value, "delta"))
            event.audio = AudioPlayer::strictBase64(*delta);
    } else if (event.type == "response.audio_transcript.delta") {
        event.text = stringMember(value, "delta");
    } else if (event.type == "response.audio_transcript.done" ||
               event.type == "conversation.item.input_audio_transcription.completed") {
        event.text = stringMember(value, "transcript");
    } else if (event.type == "error") {
        const auto it = value.find("error");
        if (it != value.end() && it->is_object())
            event.text = stringMember(*it, "message");
    }
    return event;
}

void RealtimeClient::applyEvent(const Event& event) {
    const std::string& type = event.type;
    if (type == "session.created") {
        sendSessionUpdate();
    } else if (type == "response.audio.delta") {
        if (event.audio)
            schedulePlayback(*event.audio);
        if (state_.kind != State::Kind::Speaking)
            setState(State::speaking());
    } else if (type == "response.audio.done") {
        if (state_.kind == State::Kind::Speaking)
            setState(State::listening());
    } else if (type == "response.audio_transcript.delta") {
        if (event.text && lastAssistantText_.size() + event.text->size() <= kMaxTranscriptChars)
            setAssistantText(lastAssistantText_ + *event.text);
    } else if (type == "response.audio_transcript.done") {
        if (event.text)
            setAssistantText(Characters::fit(*event.text, kMaxTranscriptChars));
    } else if (type == "conversation.item.input_audio_transcription.completed") {
        if (event.text) {
            lastUserText_ = Characters::fit(*event.text, kMaxTranscriptChars);
            emit lastUserTextChanged();
        }
    } else if (type == "input_audio_buffer.speech_started") {
        setAssistantText(QString());
    } else if (type == "error") {
        if (event.text)
            setState(State::error(*event.text));
    }
}

void RealtimeClient::sendSessionUpdate() {
    if (sessionConfigured_)
        return;
    sessionConfigured_ = true;
    if (socket_)
        socket_->sendTextMessage(QString::fromUtf8(sessionUpdateMessage()));
}

void RealtimeClient::schedulePlayback(const QByteArray& pcm16) {
    const qsizetype frames = pcm16.size() / 2;
    if (frames == 0 || !playback_)
        return;
    playback_->append(pcm16.left(frames * 2));
    scheduledFrames_ += frames;
    if (observer_)
        observer_("delta");
}

void RealtimeClient::stop() {
    const bool hadFailure = !failure_.isEmpty();
    failure_.clear();
    endSession();
    if (hadFailure)
        emit failureChanged();
}

void RealtimeClient::fail(const QString& message) {
    failure_ = message;
    endSession();
    emit failureChanged();
}

void RealtimeClient::failLater(const QString& message) {
    // From the event loop: the device whose signal got here is not deleted under it.
    const quint64 generation = generation_;
    QMetaObject::invokeMethod(
        this,
        [this, generation, message] {
            if (generation == generation_)
                fail(message);
        },
        Qt::QueuedConnection);
}

void RealtimeClient::endSession() {
    ++generation_;
    openTimer_.stop();
    pendingEvents_.clear();
    pendingEventChars_ = 0;
    readingEvent_ = false;
    earlyAudio_.clear();
    earlyAudioBytes_ = 0;
    catchUpBytes_ = 0;
    if (input_) {
        input_->disconnect(this);
        input_->stop();
        input_.reset();
    }
    if (output_) {
        output_->disconnect(this);
        output_->stop();
        output_.reset();
    }
    if (playback_) {
        playback_->clear();
        playback_.reset();
    }
    releaseSocket();
    sessionConfigured_ = false;
    if (!(state_ == State::idle()))
        setState(State::idle());
    else
        emit stateChanged();
}

void RealtimeClient::releaseSocket() {
    socketOpen_ = false;
    QWebSocket* socket = std::exchange(socket_, nullptr);
    if (!socket)
        return;
    socket->disconnect(this);
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
        return;
    }
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->abort(); // still opening: there is no connection to close politely
        socket->deleteLater();
        return;
    }
    // The close frame goes out asynchronously: the socket lives until it is done.
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(5000, socket, &QObject::deleteLater);
    socket->close(QWebSocketProtocol::CloseCodeGoingAway);
}

void RealtimeClient::setState(const State& value) {
    state_ = value;
    emit stateChanged();
}

void RealtimeClient::setAssistantText(const QString& value) {
    lastAssistantText_ = value;
    emit lastAssistantTextChanged();
}

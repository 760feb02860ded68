#include "voice/RealtimeController.h"

#include "platform/Localization.h"
#include "session/AppSession.h"
#include "voice/AudioRecorder.h"

#include <QPointer>

RealtimeController::RealtimeController(AppSession& session, QObject* parent)
    : QObject(parent)
    , session_(session) {
    connect(&client_, &RealtimeClient::stateChanged, this, &RealtimeController::changed);
    connect(&client_, &RealtimeClient::failureChanged, this, &RealtimeController::changed);
    connect(&client_, &RealtimeClient::lastAssistantTextChanged, this, &RealtimeController::changed);
    connect(&client_, &RealtimeClient::lastUserTextChanged, this, &RealtimeController::changed);
}

RealtimeController::~RealtimeController() {
    blockSignals(true);
    client_.stop();
}

QString RealtimeController::primaryLabel() const {
    using K = RealtimeClient::State::Kind;
    if (showsFailure())
        return loc("Erreur : ") + client_.failure();
    switch (client_.state().kind) {
    case K::Idle:
        return loc("Appuie pour commencer");
    case K::Connecting:
        return loc("Connexion…");
    case K::Listening:
        return loc("À l'écoute…");
    case K::Speaking:
        return loc("Ombrix parle…");
    case K::Error:
        return loc("Erreur : ") + client_.state().message;
    }
    return {};
}

QString RealtimeController::secondaryLabel() const {
    using K = RealtimeClient::State::Kind;
    if (showsFailure())
        return loc("Appuie pour réessayer.");
    switch (client_.state().kind) {
    case K::Idle:
        return loc("Mode temps réel · OpenAI");
    case K::Connecting:
        return loc("Établissement du canal audio");
    case K::Listening:
        return loc("Parle naturellement. Appuie pour raccrocher.");
    case K::Speaking:
        return loc("Appuie pour interrompre.");
    case K::Error:
        return loc("Appuie pour réessayer.");
    }
    return {};
}

QString RealtimeController::orbSymbol() const {
    using K = RealtimeClient::State::Kind;
    if (showsFailure())
        return QStringLiteral("exclamationmark.triangle");
    switch (client_.state().kind) {
    case K::Idle:
        return QStringLiteral("mic.fill");
    case K::Connecting:
        return QStringLiteral("arrow.2.circlepath");
    case K::Listening:
        return QStringLiteral("waveform");
    case K::Speaking:
        return QStringLiteral("waveform.circle.fill");
    case K::Error:
        return QStringLiteral("exclamationmark.triangle");
    }
    return {};
}

bool RealtimeController::orbLive() const {
    const auto kind = client_.state().kind;
    return kind == RealtimeClient::State::Kind::Listening || kind == RealtimeClient::State::Kind::Speaking;
}

bool RealtimeController::showsFailure() const {
    return client_.state().kind == RealtimeClient::State::Kind::Idle && !client_.failure().isEmpty();
}

bool RealtimeController::showsTranscripts() const {
    return !client_.lastUserText().isEmpty() || !client_.lastAssistantText().isEmpty();
}

void RealtimeController::toggle() {
    const auto kind = client_.state().kind;
    if (kind == RealtimeClient::State::Kind::Connecting || orbLive()) {
        client_.stop();
        return;
    }
    const std::optional<QString> token = session_.userToken();
    if (!token || token->isEmpty())
        return;
    if (!micGranted_) {
        askPermission();
        return;
    }
    QString voice = session_.audioVoice();
    if (voice.isEmpty())
        voice = QStringLiteral("alloy");
    startClient(*token, voice);
}

QCoro::Task<> RealtimeController::startClient(QString token, QString voice) {
    co_await client_.start(token, voice);
}

QCoro::Task<> RealtimeController::askPermission() {
    QPointer<RealtimeController> self(this);
    AudioRecorder recorder;
    const bool granted = co_await recorder.requestPermission();
    if (!self)
        co_return;
    micGranted_ = granted;
    emit changed();
}

void RealtimeController::appear() {
    askPermission();
}

void RealtimeController::disappear() {
    client_.stop();
}
